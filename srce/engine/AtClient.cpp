// The engine's entry points.  Almost every one copies its argument into a
// heap block, posts an internal event and returns at once; the client thread
// carries the work out later, in posting order.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Trace.h"
#include "engine/AtClient.h"
#include "engine/Engine.h"

namespace {

void LogEntry(const char* function) { GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_CLIENT, function); }

BOOL LogExit(const char* function, BOOL bRetVal) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_CLIENT, function, bRetVal);
    return bRetVal;
}

void LogInvalidParameter(const char* function) {
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: INVALID_PARAMETER", TAG_CLIENT, function);
}

void LogAllocationFailure(const char* function) {
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Memory Allocation Failed FAILED", TAG_CLIENT, function);
}

// A heap copy of `size` bytes at `source`, zero-filled up to `minimum` bytes.
void* CopyBlock(const void* source, std::size_t size, std::size_t minimum = 0) {
    void* copy = std::calloc(1, std::max(size, minimum));
    if (copy != nullptr) std::memcpy(copy, source, size);
    return copy;
}

// The positioning switches: 1 selects `onEvent`, any other value `offEvent`.
BOOL PostSwitch(const char* function, ULONG bEnable, LONG onEvent, LONG offEvent) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> bEnable=%d", TAG_CLIENT, function, static_cast<int>(bEnable));
    const BOOL bRetVal = AddInternalEvent(bEnable == 1 ? onEvent : offEvent, nullptr, 0);
    return LogExit(function, bRetVal);
}

}  // namespace

BOOL InitGpsClientCbs(const GPSCLIENT_CALLBACKS* pCallbacks) {
    ENGINE_STATE& engine = Engine();
    if (pCallbacks == nullptr) return 0;
    {
        std::lock_guard guard(engine.handleLock);
        engine.callbacks = *pCallbacks;
    }
    const GPSCLIENT_CALLBACKS& cb = *pCallbacks;
    const struct {
        bool missing;
        const char* line;
    } checks[] = {
        {cb.pfnFixDataCb == nullptr, "[%s] %s ERROR: pfnFixDataCb is NULL"},
        {cb.pfnErrInfoCb == nullptr, "[%s] %s ERROR: pfnErrInfoCb is NULL"},
        {cb.pfnNmeaDataCb == nullptr, "[%s] %s ERROR: pfnNmeaDataCb is NULL"},
        {cb.pfnAssistanceReqCb == nullptr, "[%s] %s ERROR: pfnAssistanceReqCb is NULL"},
        {cb.pfnDriverRequestCb == nullptr, "[%s] %s ERROR: pfnDriverRequestCb is NULL"},
        {cb.pfnNiReqDataCb == nullptr, "[%s] %s ERROR: pfnNiReqDataCb is NULL"},
        {cb.pfnModemSendCb == nullptr, "[%s] %s ERROR: pfnModemSendCb is NULL"},
        {cb.pfnServiceStatusCb == nullptr, "[%s] %s ERROR: pfnServiceStatusCb is NULL"},
        {cb.pfnStopSessionCb == nullptr, "[%s] %s ERROR: pfnStopSessionCb is NULL"},
        {cb.pfnSelfTestResultCb == nullptr, "[%s] %s ERROR: pfnSelfTestResultCb is NULL"},
    };
    for (const auto& check : checks)
        if (check.missing) GnssLog(GNSS_LEVEL_ERROR, check.line, TAG_CLIENT, __func__);
    return 1;
}

BOOL atclient_Init(const GPSCLIENT_CALLBACKS* pCallbacks) {
    LogEntry(__func__);
    if (pCallbacks == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 0);
    }
    InitGpsClientCbs(pCallbacks);
    if (!InitGpsClientThread()) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: InitGpsClientThread FAILED", TAG_CLIENT, __func__);
        return LogExit(__func__, 0);
    }
    return LogExit(__func__, 1);
}

BOOL atclient_DeInit() {
    LogEntry(__func__);
    const BOOL bRetVal = DeInitGpsClientThread();
    if (!bRetVal)
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: DeInitGpsClientThread FAILED", TAG_CLIENT, __func__);
    return LogExit(__func__, bRetVal);
}

BOOL atclient_StartFix(const GNSS_FIXSESSION_PARAM* pParam) {
    LogEntry(__func__);
    if (pParam == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 0);
    }

    switch (pParam->SessionType) {
        case GNSS_FixSession_SingleShot: {
            void* copy = CopyBlock(pParam, sizeof(GNSS_FIXSESSION_PARAM));
            if (copy == nullptr) {
                LogAllocationFailure(__func__);
                return LogExit(__func__, 0);
            }
            GnssLog(GNSS_LEVEL_INFO,
                    "[%s] %s GNSS_FixSession_SingleShot, ID=0x%x, HzAcc=%d, HzConf=%d, RespTime=%d",
                    TAG_CLIENT, __func__, static_cast<unsigned>(pParam->FixSessionID),
                    static_cast<int>(pParam->HorizontalAccuracy),
                    static_cast<int>(pParam->HorizontalConfidence),
                    static_cast<int>(pParam->SingleShotParam.ResponseTime));
            AddInternalEvent(SINGLESHOT_REQUEST, copy, 0);
            return LogExit(__func__, 1);
        }
        case GNSS_FixSession_DistanceTracking:
            GnssLog(GNSS_LEVEL_INFO,
                    "[%s] %s GNSS_FixSession_DistanceTracking, ID=0x%x, HzAcc=%d, HzConf=%d, Movement=%d",
                    TAG_CLIENT, __func__, static_cast<unsigned>(pParam->FixSessionID),
                    static_cast<int>(pParam->HorizontalAccuracy),
                    static_cast<int>(pParam->HorizontalConfidence),
                    static_cast<int>(pParam->DistanceParam.MovementThreshold));
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Not supported", TAG_CLIENT, __func__);
            return LogExit(__func__, 0);
        case GNSS_FixSession_ContinuousTracking: {
            void* copy = CopyBlock(pParam, sizeof(GNSS_FIXSESSION_PARAM));
            if (copy == nullptr) {
                LogAllocationFailure(__func__);
                return LogExit(__func__, 0);
            }
            GnssLog(GNSS_LEVEL_INFO,
                    "[%s] %s GNSS_FixSession_ContinuousTracking, ID=0x%x, HzAcc=%d, HzConf=%d, "
                    "Interval=%d",
                    TAG_CLIENT, __func__, static_cast<unsigned>(pParam->FixSessionID),
                    static_cast<int>(pParam->HorizontalAccuracy),
                    static_cast<int>(pParam->HorizontalConfidence),
                    static_cast<int>(pParam->ContinuousParam.PreferredInterval));
            AddInternalEvent(PERIODIC_REQUEST, copy, 0);
            return LogExit(__func__, 1);
        }
        case GNSS_FixSession_LKG:
            // The last-known-good fix is served by the driver itself.
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS_FixSession_LKG, ID=0x%X", TAG_CLIENT, __func__,
                    static_cast<unsigned>(pParam->FixSessionID));
            return LogExit(__func__, 1);
    }
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: UNKNOWN Session Type", TAG_CLIENT, __func__);
    return LogExit(__func__, 0);
}

BOOL atclient_ModifyFixSession(const GNSS_FIXSESSION_PARAM* pParam) {
    LogEntry(__func__);
    if (pParam == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 0);
    }
    auto* copy = static_cast<GNSS_FIXSESSION_PARAM*>(CopyBlock(pParam, sizeof(GNSS_FIXSESSION_PARAM)));
    if (copy == nullptr) {
        LogAllocationFailure(__func__);
        return LogExit(__func__, 0);
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ID=0x%x Type=%d", TAG_CLIENT, __func__,
            static_cast<unsigned>(copy->FixSessionID), static_cast<int>(copy->SessionType));
    AddInternalEvent(MODIFY_REQUEST, copy, 0);
    return LogExit(__func__, 1);
}

BOOL atclient_StopFix(const GNSS_STOPFIXSESSION_PARAM* pParam) {
    LogEntry(__func__);
    if (pParam == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 0);
    }
    void* copy = CopyBlock(pParam, sizeof(GNSS_STOPFIXSESSION_PARAM));
    if (copy == nullptr) {
        LogAllocationFailure(__func__);
        return LogExit(__func__, 0);
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ID=0x%x", TAG_CLIENT, __func__,
            static_cast<unsigned>(pParam->FixSessionID));
    AddInternalEvent(STOP_REQUEST, copy, 0);
    return LogExit(__func__, 1);
}

BOOL atclient_SetGnssPositioning(ULONG bEnable) { return PostSwitch(__func__, bEnable, GNSS_ON, GNSS_OFF); }

BOOL atclient_SetAgnssPositioning(ULONG bEnable) {
    return PostSwitch(__func__, bEnable, AGNSS_ON, AGNSS_OFF);
}

BOOL atclient_SetPgnssPositioning(ULONG bEnable) {
    return PostSwitch(__func__, bEnable, PGNSS_ON, PGNSS_OFF);
}

BOOL atclient_SetNmea(ULONG value) {
    LogEntry(__func__);
    SetNmea(value);
    return LogExit(__func__, 1);
}

BOOL atclient_UpdateOperationMode(ULONG value) {
    LogEntry(__func__);
    UpdateOperationMode(value);
    return LogExit(__func__, 1);
}

BOOL atclient_UpdateSatelliteSystem(ULONG value) {
    LogEntry(__func__);
    Engine().m_dwSatelliteSystem = value;
    return LogExit(__func__, 1);
}

BOOL atclient_SetDeviceRemoveEvent() {
    LogEntry(__func__);
    SetDeviceRemoveEvent();
    return LogExit(__func__, 1);
}

BOOL atclient_ResetDeviceRemoveEvent() {
    LogEntry(__func__);
    ResetDeviceRemoveEvent();
    return LogExit(__func__, 1);
}

// ---------------------------------------------------------------------------
// Feature entry points.

BOOL atclient_NiResponse(const GNSS_NI_RESPONSE* pNiResponse) {
    LogEntry(__func__);
    if (pNiResponse == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 0);
    }
    void* copy = CopyBlock(pNiResponse, sizeof(GNSS_NI_RESPONSE));
    if (copy == nullptr) {
        LogAllocationFailure(__func__);
        return LogExit(__func__, 0);
    }
    AddInternalEvent(NI_RESPONSE, copy, 0);
    return LogExit(__func__, 1);
}

BOOL atclient_InjectAssistance(const GNSS_AGNSS_INJECT* pAgnssInject) {
    LogEntry(__func__);
    BOOL bRetVal = 1;
    if (pAgnssInject == nullptr) {
        LogInvalidParameter(__func__);
    } else if (pAgnssInject->InjectionType != GNSS_AGNSS_TimeInjection) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Unsupported InjectionType=%d", TAG_CLIENT, __func__,
                static_cast<int>(pAgnssInject->InjectionType));
        bRetVal = 0;
    } else if (pAgnssInject->InjectionStatus < 0) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GNSS_AGNSS_TimeInjection Data incorrect", TAG_CLIENT,
                __func__);
    } else {
        GnssLog(GNSS_LEVEL_INFO,
                "[%s] %s GNSS_AGNSS_TimeInjection TimeUncertainty=%d, dwHighDateTime=%d, dwLowDateTime=%d",
                TAG_CLIENT, __func__, static_cast<int>(pAgnssInject->Time.TimeUncertainty),
                static_cast<int>(pAgnssInject->Time.UtcTime.dwHighDateTime),
                static_cast<int>(pAgnssInject->Time.UtcTime.dwLowDateTime));
        void* copy = CopyBlock(pAgnssInject, sizeof(GNSS_AGNSS_INJECT));
        if (copy == nullptr)
            LogAllocationFailure(__func__);
        else
            AddInternalEvent(INJECT_ASSISTANCE, copy, 0);
    }
    return LogExit(__func__, bRetVal);
}

BOOL atclient_ClearAgnssData(LONG dwFlags) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> dwFlags=%d", TAG_CLIENT, __func__, static_cast<int>(dwFlags));
    ULONG mask = 0;
    if (!ClearValueToMask(dwFlags, &mask)) return LogExit(__func__, 0);
    void* copy = nullptr;
    if (dwFlags != 0) {
        copy = CopyBlock(&dwFlags, sizeof(dwFlags));
        if (copy == nullptr) {
            // Clearing everything is not what was asked for: refuse.
            LogAllocationFailure(__func__);
            return LogExit(__func__, 0);
        }
    }
    return LogExit(__func__, AddInternalEvent(CLEAR_ASSISTANCE, copy, 0));
}

BOOL atclient_SetHslpAddress(const GNSS_SUPL_HSLP_CONFIG* pHslpConfig) {
    LogEntry(__func__);
    if (pHslpConfig == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 1);
    }
    void* copy = CopyBlock(pHslpConfig, sizeof(GNSS_SUPL_HSLP_CONFIG));
    if (copy == nullptr) {
        LogAllocationFailure(__func__);
        return LogExit(__func__, 1);
    }
    return LogExit(__func__, AddInternalEvent(SET_SUPL_SERVER, copy, 0));
}

BOOL atclient_SetCertificate(const GNSS_SUPL_CERT_CONFIG* pCertConfig) {
    LogEntry(__func__);
    if (pCertConfig == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 1);
    }
    // The header and CertSize bytes of certificate.
    void* copy = CopyBlock(pCertConfig, SUPL_CERT_HEADER_SIZE + pCertConfig->CertSize,
                           sizeof(GNSS_SUPL_CERT_CONFIG));
    if (copy == nullptr) {
        LogAllocationFailure(__func__);
        return LogExit(__func__, 1);
    }
    return LogExit(__func__, AddInternalEvent(SET_CERTIFICATE, copy, 0));
}

BOOL atclient_SetSuplVersion(const GNSS_SUPL_VERSION* pSuplVersion) {
    LogEntry(__func__);
    if (pSuplVersion == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 0);
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s MajorVersion=%d, MinorVersion=%d", TAG_CLIENT, __func__,
            static_cast<int>(pSuplVersion->MajorVersion), static_cast<int>(pSuplVersion->MinorVersion));
    if (pSuplVersion->MajorVersion > 2 || pSuplVersion->MinorVersion != 0) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 0);
    }
    void* copy = CopyBlock(pSuplVersion, sizeof(GNSS_SUPL_VERSION));
    if (copy == nullptr) {
        LogAllocationFailure(__func__);
        return LogExit(__func__, 0);
    }
    return LogExit(__func__, AddInternalEvent(SET_SUPL_VERSION, copy, 0));
}

BOOL atclient_SelfTest(const GNSS_SELFTESTCONFIG* pSelfTestConfig) {
    LogEntry(__func__);
    if (pSelfTestConfig == nullptr) {
        LogInvalidParameter(__func__);
        return LogExit(__func__, 0);
    }
    const ULONG testType = pSelfTestConfig->TestType;
    if (!(testType == 1 || testType == 2 || (testType == 3 && pSelfTestConfig->InBufLen != 0))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Unsupported Self TestType=%d", TAG_CLIENT, __func__,
                static_cast<int>(testType));
        return LogExit(__func__, 0);
    }
    // The header and, for the scan, the InBufLen bytes of its argument text.
    // Test-mode on and off never read the text, and their InBufLen may say
    // anything: only the header is theirs.
    const std::size_t inputBytes = testType == 3 ? pSelfTestConfig->InBufLen : 0;
    void* copy = CopyBlock(pSelfTestConfig, SELFTEST_CONFIG_HEADER_SIZE + inputBytes,
                           sizeof(GNSS_SELFTESTCONFIG));
    if (copy == nullptr) {
        LogAllocationFailure(__func__);
        return LogExit(__func__, 0);
    }
    AddInternalEvent(SELF_TEST, copy, 0);
    return LogExit(__func__, 1);
}
