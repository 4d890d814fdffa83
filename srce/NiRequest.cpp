// Network-initiated requests: the platform learns of one through a parked
// listen-NI request and answers it with respond-NI.
#include <cstring>

#include "GnssState.h"
#include "engine/AtClient.h"

NTSTATUS OnGNSSNiRequest(WDFREQUEST Request, const GNSS_NI_REQUEST_PARAM* NiRequest) {
    return HelperAnswerListener(__func__, Request, GNSS_Event_NiRequest, NiRequest,
                                sizeof(GNSS_NI_REQUEST_PARAM));
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
