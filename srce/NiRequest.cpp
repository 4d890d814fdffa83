// Network-initiated requests: the platform learns of one through a parked
// listen-NI request and answers it with respond-NI.
#include <cstring>

#include "GnssState.h"
#include "engine/AtClient.h"

NTSTATUS OnGNSSNiRequest(WDFREQUEST Request, const GNSS_NI_REQUEST_PARAM* NiRequest) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_IOCTRL, __func__);
    PVOID output = nullptr;
    const NTSTATUS status = HelperGetOutputBuffer(Request, GNSS_EVENT_SIZE, GNSS_EVENT_SIZE, &output);
    if (!NT_SUCCESS(status) || NiRequest == nullptr) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, sizeof(ULONG));
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetOutputBuffer FAILED or NULL Data",
                TAG_IOCTRL, __func__);
    } else {
        auto* event = static_cast<GNSS_EVENT*>(output);
        HelperInitEvent(event, GNSS_Event_NiRequest, sizeof(GNSS_NI_REQUEST_PARAM));
        std::memcpy(EventDataArea(event), NiRequest, sizeof(GNSS_NI_REQUEST_PARAM));
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, GNSS_EVENT_SIZE);
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_IOCTRL, __func__);
    return status;
}

NTSTATUS OnGNSSRespondNi(WDFREQUEST Request, std::size_t InputBufferLength) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_IOCTRL, __func__);
    PVOID buffer = nullptr;
    NTSTATUS status =
        HelperGetInputBuffer(Request, InputBufferLength, sizeof(GNSS_NI_RESPONSE), &buffer);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED or NULL Data",
                TAG_IOCTRL, __func__);
    } else {
        const auto* response = static_cast<const GNSS_NI_RESPONSE*>(buffer);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s Version=%d, RequestId=%d, UserResponse=%d", TAG_IOCTRL,
                __func__, static_cast<int>(response->Version),
                static_cast<int>(response->RequestId), static_cast<int>(response->UserResponse));
        if (!atclient_NiResponse(response)) {
            status = STATUS_INTERNAL_ERROR;
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: atclient_NiResponse FAILED", TAG_IOCTRL,
                    __func__);
        }
    }
    WdfRequestCompleteWithInformation(Request, status, 0);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_IOCTRL, __func__);
    return status;
}
