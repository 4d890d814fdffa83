// Assistance data: time injection from the platform, and the answer to a
// listen-AGNSS request.
#include <cstring>

#include "GnssState.h"
#include "engine/AtClient.h"

NTSTATUS OnGNSSInjectAgnss(WDFREQUEST Request, std::size_t InputBufferLength) {
    PVOID buffer = nullptr;
    const NTSTATUS status =
        HelperGetInputBuffer(Request, InputBufferLength, sizeof(GNSS_AGNSS_INJECT), &buffer);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetInputBuffer FAILED", TAG_IOCTRL, __func__);
    } else {
        const auto* inject = static_cast<const GNSS_AGNSS_INJECT*>(buffer);
        GnssLog(GNSS_LEVEL_INFO,
                "[%s] %s Version=%d, InjectionStatus=0x%X, InjectionType=%d, InjectionDataSize=%d",
                TAG_IOCTRL, __func__, static_cast<int>(inject->Version),
                static_cast<ULONG>(inject->InjectionStatus), static_cast<int>(inject->InjectionType),
                static_cast<int>(inject->InjectionDataSize));
        if (atclient_InjectAssistance(inject)) {
            WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
            return STATUS_SUCCESS;
        }
    }
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS OnGNSSRequestAgnss(WDFREQUEST Request, const GNSS_AGNSS_REQUEST_PARAM* AgnssRequest) {
    return HelperAnswerListener(__func__, Request, GNSS_Event_RequireAgnss, AgnssRequest,
                                sizeof(GNSS_AGNSS_REQUEST_PARAM));
}
