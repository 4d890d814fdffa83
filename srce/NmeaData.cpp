// NMEA blocks: the queue of blocks nobody listened for, and the handler that
// answers a listen-NMEA request with one block.  Used under m_csRequestLock.
#include <cstdlib>
#include <cstring>
#include <deque>

#include "GnssState.h"

namespace {

constexpr std::size_t kMaxQueuedBlocks = 5;

std::deque<GNSS_NMEA_DATA*> g_NmeaQueue;
BOOL g_bNmeaAvailable = FALSE;

}  // namespace

void ClearNmeaData() {
    while (!g_NmeaQueue.empty()) {
        std::free(g_NmeaQueue.front());
        g_NmeaQueue.pop_front();
    }
}

void CacheNmeaData(const GNSS_NMEA_DATA* NmeaData) {
    auto* copy = static_cast<GNSS_NMEA_DATA*>(std::malloc(sizeof(GNSS_NMEA_DATA)));
    if (copy == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Memory allocation FAILED, NMEA block dropped",
                TAG_IOCTRL, __func__);
        return;
    }
    std::memcpy(copy, NmeaData, sizeof(GNSS_NMEA_DATA));
    if (g_NmeaQueue.size() >= kMaxQueuedBlocks) {
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: NMEA Queue hit MAX, Clearing it.", TAG_IOCTRL,
                __func__);
        ClearNmeaData();
    }
    g_NmeaQueue.push_back(copy);
    g_bNmeaAvailable = TRUE;
}

BOOL GetCachedGnssNmeaData(GNSS_NMEA_DATA* NmeaData) {
    if (g_bNmeaAvailable != TRUE) {
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: NMEA Queue, No Data Available.", TAG_IOCTRL,
                __func__);
        return FALSE;
    }
    if (g_NmeaQueue.empty()) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: NMEA Queue Empty.", TAG_IOCTRL, __func__);
        return FALSE;
    }
    GNSS_NMEA_DATA* front = g_NmeaQueue.front();
    g_NmeaQueue.pop_front();
    std::memcpy(NmeaData, front, sizeof(GNSS_NMEA_DATA));
    std::free(front);
    if (g_NmeaQueue.empty()) g_bNmeaAvailable = FALSE;
    return TRUE;
}

NTSTATUS OnGNSSListenNmeaData(WDFREQUEST Request, const GNSS_NMEA_DATA* NmeaData) {
    PVOID output = nullptr;
    const NTSTATUS status = HelperGetOutputBuffer(Request, GNSS_EVENT_SIZE, GNSS_EVENT_SIZE, &output);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, sizeof(ULONG));
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetOutputBuffer FAILED", TAG_IOCTRL, __func__);
        return status;
    }
    auto* event = static_cast<GNSS_EVENT*>(output);
    HelperInitEvent(event, GNSS_Event_NmeaData, sizeof(GNSS_NMEA_DATA));
    GNSS_NMEA_DATA& nmea = event->NmeaData;
    nmea.Size = sizeof(GNSS_NMEA_DATA);
    nmea.Version = GNSS_INTERFACE_VERSION;
    constexpr std::size_t kField = sizeof nmea.NmeaSentences;
    const std::size_t length = strnlen(NmeaData->NmeaSentences, kField);
    std::memcpy(nmea.NmeaSentences, NmeaData->NmeaSentences, length < kField ? length : kField);
    nmea.NmeaSentences[kField - 1] = '\0';
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, GNSS_EVENT_SIZE);
    return STATUS_SUCCESS;
}
