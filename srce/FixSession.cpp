// Fix sessions and fix data: the session tables keyed by file object, the
// last-known-good session and the last fix the engine delivered.
#include <cstring>
#include <mutex>

#include "GnssState.h"
#include "engine/AtClient.h"

namespace {

struct SESSION_SLOT {
    WDFFILEOBJECT FileObject;  // null: free slot
    ULONG FixSessionID;        // 0: no session on this file object
};

// No session is named 0: that is what an empty slot holds.
constexpr ULONG kNoSession = 0;

constexpr std::size_t kSessionSlots = 3;

// The session tables are used by the dispatch thread, the file callbacks and
// (read only) the engine's modify procedure; this lock guards them.
std::mutex g_sessionLock;
SESSION_SLOT g_SingleShotSessions[kSessionSlots]{};
SESSION_SLOT g_ContinuousSessions[kSessionSlots]{};

std::atomic<ULONG> m_ulLkgSessionId{0};

// The last fix and its two flags, used under m_csRequestLock (the fresh-fix
// flag is also cleared by driver commands without it).
GNSS_FIXDATA g_LastFix{};
BOOL g_bLastFixValid = FALSE;
std::atomic<BOOL> g_bFreshFix{FALSE};

// The third word of the session-type union: ResponseTime or PreferredInterval.
ULONG SessionTypeWord(const GNSS_FIXSESSION_PARAM* param) {
    return param->SingleShotParam.ResponseTime;
}

void LogSessionParameters(const char* function, const GNSS_FIXSESSION_PARAM* param) {
    GnssLog(GNSS_LEVEL_INFO,
            "[%s] %s SessionID=%d SessionType=%d HzAccuracy=%d HzConfidence=%d, "
            "FixLevelOfDetails=%d, RespTime/Interval=%d",
            TAG_IOCTRL, function, static_cast<int>(param->FixSessionID),
            static_cast<int>(param->SessionType), static_cast<int>(param->HorizontalAccuracy),
            static_cast<int>(param->HorizontalConfidence),
            static_cast<int>(param->FixLevelOfDetails), static_cast<int>(SessionTypeWord(param)));
}

// The session request's input, or the request completed with
// STATUS_INVALID_PARAMETER and information 4 (the helper's status returned).
template <class T>
NTSTATUS GetSessionInput(const char* function, WDFREQUEST Request, std::size_t InputBufferLength,
                         const T** param) {
    PVOID buffer = nullptr;
    const NTSTATUS status = HelperGetInputBuffer(Request, InputBufferLength, sizeof(T), &buffer);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, sizeof(ULONG));
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED", TAG_IOCTRL, function);
        return status;
    }
    *param = static_cast<const T*>(buffer);
    return STATUS_SUCCESS;
}

}  // namespace

BOOL RegisterFileObject(WDFFILEOBJECT FileObject) {
    std::lock_guard guard(g_sessionLock);
    for (std::size_t i = 0; i < kSessionSlots; ++i) {
        if (g_SingleShotSessions[i].FileObject == nullptr) {
            g_SingleShotSessions[i] = {FileObject, kNoSession};
            g_ContinuousSessions[i] = {FileObject, kNoSession};
            return TRUE;
        }
    }
    return FALSE;
}

BOOL UnregisterFileObject(WDFFILEOBJECT FileObject) {
    if (FileObject == nullptr) return FALSE;
    std::lock_guard guard(g_sessionLock);
    for (std::size_t i = 0; i < kSessionSlots; ++i) {
        if (g_SingleShotSessions[i].FileObject == FileObject) {
            g_SingleShotSessions[i] = {nullptr, kNoSession};
            g_ContinuousSessions[i] = {nullptr, kNoSession};
            return TRUE;
        }
    }
    return FALSE;
}

BOOL IsContinuousSessionId(ULONG FixSessionID) {
    std::lock_guard guard(g_sessionLock);
    for (const SESSION_SLOT& slot : g_ContinuousSessions)
        if (slot.FixSessionID == FixSessionID) return TRUE;
    return FALSE;
}

void CacheFixData(const GNSS_FIXDATA* FixData, BOOL Delivered) {
    std::memcpy(&g_LastFix, FixData, sizeof g_LastFix);
    g_bLastFixValid = TRUE;
    if (!Delivered) g_bFreshFix = TRUE;
}

BOOL GetCachedFixData(GNSS_FIXDATA* FixData, BOOL OnlyFresh) {
    if (!g_bLastFixValid) return FALSE;
    if (OnlyFresh) {
        if (!g_bFreshFix) return FALSE;
        g_bFreshFix = FALSE;
    }
    std::memcpy(FixData, &g_LastFix, sizeof g_LastFix);
    return TRUE;
}

void ClearFreshFixFlag() { g_bFreshFix = FALSE; }

BOOL IsLKGSessionId(WDFREQUEST Request) {
    PVOID buffer = nullptr;
    if (!NT_SUCCESS(HelperGetInputBuffer(Request, sizeof(ULONG), sizeof(ULONG), &buffer))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED", TAG_IOCTRL, __func__);
        return FALSE;
    }
    ULONG id = 0;
    std::memcpy(&id, buffer, sizeof id);
    if (id != m_ulLkgSessionId) return FALSE;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Session ID is LKG, m_ulLkgSessionId=%d", TAG_IOCTRL, __func__,
            static_cast<int>(m_ulLkgSessionId.load()));
    return TRUE;
}

NTSTATUS OnGNSSStartFixSession(WDFREQUEST Request, std::size_t InputBufferLength) {
    const GNSS_FIXSESSION_PARAM* param = nullptr;
    const NTSTATUS status = GetSessionInput(__func__, Request, InputBufferLength, &param);
    if (!NT_SUCCESS(status)) return status;
    LogSessionParameters(__func__, param);

    switch (param->SessionType) {
        case GNSS_FixSession_LKG:
            m_ulLkgSessionId = param->FixSessionID;
            break;
        case GNSS_FixSession_SingleShot:
        case GNSS_FixSession_ContinuousTracking: {
            if (param->FixSessionID == kNoSession) {
                // A session started under the id of an empty slot could never
                // be named again, so never stopped.
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: FixSessionID=0 names no session",
                        TAG_IOCTRL, __func__);
                WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, sizeof(ULONG));
                return STATUS_INVALID_PARAMETER;
            }
            WDFFILEOBJECT fileObject = WdfRequestGetFileObject(Request);
            SESSION_SLOT* table = param->SessionType == GNSS_FixSession_SingleShot
                                      ? g_SingleShotSessions
                                      : g_ContinuousSessions;
            bool found = false;
            {
                std::lock_guard guard(g_sessionLock);
                for (std::size_t i = 0; i < kSessionSlots; ++i) {
                    if (table[i].FileObject == fileObject && fileObject != nullptr) {
                        table[i].FixSessionID = param->FixSessionID;
                        found = true;
                        break;
                    }
                }
            }
            if (found)
                atclient_StartFix(param);
            else
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Could not find FileObj=0x%X", TAG_IOCTRL,
                        __func__,
                        static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(fileObject)));
            break;
        }
        default:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Unsupported SessionType=%d", TAG_IOCTRL,
                    __func__, static_cast<int>(param->SessionType));
            return STATUS_NOT_SUPPORTED;
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS OnGNSSModifyFixSession(WDFREQUEST Request, std::size_t InputBufferLength) {
    const GNSS_FIXSESSION_PARAM* param = nullptr;
    const NTSTATUS status = GetSessionInput(__func__, Request, InputBufferLength, &param);
    if (!NT_SUCCESS(status)) return status;
    LogSessionParameters(__func__, param);
    atclient_ModifyFixSession(param);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS OnGNSSStopFixSession(WDFREQUEST Request, std::size_t InputBufferLength) {
    const GNSS_STOPFIXSESSION_PARAM* param = nullptr;
    const NTSTATUS status = GetSessionInput(__func__, Request, InputBufferLength, &param);
    if (!NT_SUCCESS(status)) return status;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FixSessionID=%d", TAG_IOCTRL, __func__,
            static_cast<int>(param->FixSessionID));

    if (param->FixSessionID == m_ulLkgSessionId) {
        m_ulLkgSessionId = 0;
    } else {
        WDFFILEOBJECT fileObject = WdfRequestGetFileObject(Request);
        SESSION_SLOT* slot = nullptr;
        // Id 0 is what every empty slot holds: it names no session of anyone.
        if (param->FixSessionID != kNoSession) {
            std::lock_guard guard(g_sessionLock);
            for (SESSION_SLOT* table : {g_SingleShotSessions, g_ContinuousSessions}) {
                for (std::size_t i = 0; i < kSessionSlots && slot == nullptr; ++i)
                    if (table[i].FileObject == fileObject &&
                        table[i].FixSessionID == param->FixSessionID)
                        slot = &table[i];
                if (slot != nullptr) break;
            }
        }
        if (slot != nullptr) {
            atclient_StopFix(param);
            std::lock_guard guard(g_sessionLock);
            // The slot may have been freed by a close meanwhile; clear it only if it is still ours.
            if (slot->FileObject == fileObject && slot->FixSessionID == param->FixSessionID)
                slot->FixSessionID = kNoSession;
        } else {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: UNKNOWN Request ID %d", TAG_IOCTRL, __func__,
                    static_cast<int>(param->FixSessionID));
        }
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS OnGNSSGetFixData(WDFREQUEST Request, const GNSS_FIXDATA* FixData) {
    ULONG sessionId = 0;
    PVOID input = nullptr;
    if (NT_SUCCESS(HelperGetInputBuffer(Request, sizeof(ULONG), sizeof(ULONG), &input)))
        std::memcpy(&sessionId, input, sizeof sessionId);
    else
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED", TAG_IOCTRL, __func__);

    PVOID output = nullptr;
    const NTSTATUS status = HelperGetOutputBuffer(Request, GNSS_EVENT_SIZE, GNSS_EVENT_SIZE, &output);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, sizeof(ULONG));
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetOutputBuffer FAILED", TAG_IOCTRL, __func__);
        return status;
    }
    auto* event = static_cast<GNSS_EVENT*>(output);
    HelperInitEvent(event, GNSS_Event_FixAvailable, sizeof(GNSS_FIXDATA));
    GNSS_FIXDATA& fix = event->FixData;
    fix.Size = sizeof(GNSS_FIXDATA);
    fix.Version = GNSS_INTERFACE_VERSION;
    fix.FixSessionID = sessionId;
    fix.IsFinalFix = 1;
    fix.FixStatus = STATUS_SUCCESS;

    GNSS_FIXDATA cached{};
    const GNSS_FIXDATA* source = FixData;
    if (source == nullptr) {
        if (GetCachedFixData(&cached, TRUE)) {
            source = &cached;
        } else if (!IsLKGSessionId(Request)) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s Pot Fixdata Request to Manual Queue", TAG_IOCTRL,
                    __func__);
            return STATUS_PENDING;
        } else if (GetCachedFixData(&cached, FALSE)) {
            source = &cached;
        } else {
            fix.FixStatus = STATUS_NOT_FOUND;
            WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, GNSS_EVENT_SIZE);
            return STATUS_NOT_FOUND;
        }
    }

    fix.FixTimeStamp = source->FixTimeStamp;
    fix.FixLevelOfDetails = GNSS_FIXDETAIL_BASIC | GNSS_FIXDETAIL_ACCURACY | GNSS_FIXDETAIL_SATELLITE;

    fix.BasicData.Size = sizeof(GNSS_FIXDATA_BASIC);
    fix.BasicData.Version = GNSS_INTERFACE_VERSION;
    fix.BasicData.Latitude = source->BasicData.Latitude;
    fix.BasicData.Longitude = source->BasicData.Longitude;
    fix.BasicData.Altitude = source->BasicData.Altitude;
    fix.BasicData.Speed = source->BasicData.Speed;
    fix.BasicData.Heading = source->BasicData.Heading;
    GnssLog(GNSS_LEVEL_DATA,
            "[%s] %s SessionID=%d, Latitude=%f, Longitude=%f, Altitude=%f, Speed=%f, Heading=%f",
            TAG_IOCTRL, __func__, static_cast<int>(sessionId), fix.BasicData.Latitude,
            fix.BasicData.Longitude, fix.BasicData.Altitude, fix.BasicData.Speed,
            fix.BasicData.Heading);

    GNSS_FIXDATA_ACCURACY& accuracy = fix.AccuracyData;
    accuracy.Size = sizeof(GNSS_FIXDATA_ACCURACY);
    accuracy.Version = GNSS_INTERFACE_VERSION;
    accuracy.HorizontalAccuracy = source->AccuracyData.HorizontalAccuracy;
    accuracy.HorizontalErrorMajorAxis = source->AccuracyData.HorizontalErrorMajorAxis;
    accuracy.HorizontalErrorMinorAxis = source->AccuracyData.HorizontalErrorMinorAxis;
    accuracy.AltitudeAccuracy = source->AccuracyData.AltitudeAccuracy;
    accuracy.PositionDilutionOfPrecision = source->AccuracyData.PositionDilutionOfPrecision;
    accuracy.HorizontalDilutionOfPrecision = source->AccuracyData.HorizontalDilutionOfPrecision;
    accuracy.VerticalDilutionOfPrecision = source->AccuracyData.VerticalDilutionOfPrecision;
    accuracy.HorizontalErrorAngle = 5;
    accuracy.HeadingConfidence = 70;
    GnssLog(GNSS_LEVEL_DATA,
            "[%s] %s HzAccuracy=%d, HzErrMajorAxis=%d, HzErrMinorAxis=%d, AltAccuracy=%d, "
            "PDOP=%f, HDOP=%f, VDOP=%f",
            TAG_IOCTRL, __func__, static_cast<int>(accuracy.HorizontalAccuracy),
            static_cast<int>(accuracy.HorizontalErrorMajorAxis),
            static_cast<int>(accuracy.HorizontalErrorMinorAxis),
            static_cast<int>(accuracy.AltitudeAccuracy),
            static_cast<double>(accuracy.PositionDilutionOfPrecision),
            static_cast<double>(accuracy.HorizontalDilutionOfPrecision),
            static_cast<double>(accuracy.VerticalDilutionOfPrecision));

    GNSS_FIXDATA_SATELLITE& satellites = fix.SatelliteData;
    satellites.Size = sizeof(GNSS_FIXDATA_SATELLITE);
    satellites.Version = GNSS_INTERFACE_VERSION;
    satellites.SatelliteCount = source->SatelliteData.SatelliteCount;
    if (satellites.SatelliteCount >= 1 && satellites.SatelliteCount <= GNSS_MAXSATELLITE) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s SatelliteCount=%d", TAG_IOCTRL, __func__,
                static_cast<int>(satellites.SatelliteCount));
        for (ULONG i = 0; i < satellites.SatelliteCount; ++i) {
            const GNSS_SATELLITEINFO& from = source->SatelliteData.SatelliteArray[i];
            GNSS_SATELLITEINFO& to = satellites.SatelliteArray[i];
            to.SatelliteId = from.SatelliteId;
            to.UsedInPositiong = from.UsedInPositiong;
            to.Elevation = from.Elevation;
            to.Azimuth = from.Azimuth;
            to.SignalToNoiseRatio = from.SignalToNoiseRatio;
        }
    }

    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, GNSS_EVENT_SIZE);
    return STATUS_SUCCESS;
}

NTSTATUS OnGNSSFixError(WDFREQUEST Request, const GNSS_ERRORINFO* ErrorInfo) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_IOCTRL, __func__);
    PVOID output = nullptr;
    const NTSTATUS status = HelperGetOutputBuffer(Request, GNSS_EVENT_SIZE, GNSS_EVENT_SIZE, &output);
    if (NT_SUCCESS(status) && ErrorInfo != nullptr) {
        auto* event = static_cast<GNSS_EVENT*>(output);
        HelperInitEvent(event, GNSS_Event_Error, sizeof(GNSS_ERRORINFO));
        std::memcpy(EventDataArea(event), ErrorInfo, sizeof(GNSS_ERRORINFO));
        WdfRequestCompleteWithInformation(Request, status, GNSS_EVENT_SIZE);
    } else {
        WdfRequestCompleteWithInformation(Request, status, 0);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetOutputBuffer FAILED or NULL Data",
                TAG_IOCTRL, __func__);
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_IOCTRL, __func__);
    return status;
}
