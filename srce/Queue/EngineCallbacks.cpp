// The driver's side of the engine's callback table: each report from the
// engine is handed to the parked requests that wait for it.
#include <cstring>

#include "Driver.h"
#include "GnssState.h"
#include "engine/AtClient.h"

namespace {

void gpsclient_FixDataCb(GNSS_FIXDATA* pFixData);
void gpsclient_ErrInfoCb(GNSS_ERRORINFO* pErrorInfo);
void gpsclient_NmeaCb(GNSS_NMEA_DATA* pNmeaData);
void gpsclient_ServiceStatusCb(ULONG status);
void gpsclient_StopSessionCb(ULONG FixSessionID);
void gpsclient_NiReqDataCb(GNSS_NI_REQUEST_PARAM* pNiRequest, void* pArgument);
void gpsclient_AssistanceReqCb(GNSS_AGNSS_REQUEST_PARAM* pAgnssRequest);
void gpsclient_DriverRequestCb(GNSS_DRIVER_REQUEST_DATA* pDriverRequest);
void gpsclient_SelfTestResultCb(GNSS_SELFTESTRESULT* pResult);
LONG gpsclient_ModemSendCb(const BYTE* pBuffer, ULONG uiLength);

NTSTATUS HelperHandleRequestsCallbacks(ULONG IoControlCode, const void* pData) {
    const DeviceUse use;  // the parked requests are the device's
    if (pData == nullptr || m_bDeviceRemoved == 1 || !use) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: IOCTL=0x%X, pData is NULL or device is removed",
                TAG_QUEUE, __func__, IoControlCode);
        return STATUS_SUCCESS;
    }
    gnss::os::CriticalSectionLock guard(m_csRequestLock);
    WDFREQUEST request = nullptr;
    NTSTATUS status = HelperManualQueueFindRequest(IoControlCode, &request);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: IOCTL=0x%x Not Found, Cache Data, status=0x%X",
                TAG_QUEUE, __func__, IoControlCode, static_cast<ULONG>(status));
        return status;
    }
    switch (IoControlCode) {
        case IOCTL_GNSS_LISTEN_AGNSS:
            status = OnGNSSRequestAgnss(request, static_cast<const GNSS_AGNSS_REQUEST_PARAM*>(pData));
            break;
        case IOCTL_GNSS_LISTEN_ERROR:
            status = OnGNSSFixError(request, static_cast<const GNSS_ERRORINFO*>(pData));
            break;
        case IOCTL_GNSS_LISTEN_NI:
            status = OnGNSSNiRequest(request, static_cast<const GNSS_NI_REQUEST_PARAM*>(pData));
            break;
        case IOCTL_GNSS_LISTEN_DRIVER_REQUEST:
            status = OnGNSSRequestDriver(request, static_cast<const GNSS_DRIVER_REQUEST_DATA*>(pData));
            break;
        default:
            // Only the four listen codes come here; anything else is answered
            // rather than left waiting.
            status = STATUS_INVALID_PARAMETER;
            WdfRequestCompleteWithInformation(request, status, 0);
            break;
    }
    if (!NT_SUCCESS(status))
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: IOCTL=0x%x Function Failed, status=0x%X",
                TAG_QUEUE, __func__, IoControlCode, static_cast<ULONG>(status));
    return status;
}

void gpsclient_FixDataCb(GNSS_FIXDATA* pFixData) {
    const DeviceUse use;
    if (pFixData == nullptr || m_bDeviceRemoved == 1 || !use) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: pFixData is NULL or device removed", TAG_QUEUE,
                __func__);
        return;
    }
    gnss::os::CriticalSectionLock guard(m_csRequestLock);
    BOOL delivered = FALSE;
    for (;;) {
        WDFREQUEST request = nullptr;
        const NTSTATUS found = HelperManualQueueFindRequest(IOCTL_GNSS_GET_FIXDATA, &request);
        if (!NT_SUCCESS(found)) {
            if (!delivered)
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: IOCTL Not Found, Cache Data, status=0x%X",
                        TAG_QUEUE, __func__, static_cast<ULONG>(found));
            break;
        }
        const NTSTATUS status = OnGNSSGetFixData(request, pFixData);
        if (!NT_SUCCESS(status)) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: OnGNSSGetFixData FAILED, status=0x%X",
                    TAG_QUEUE, __func__, static_cast<ULONG>(status));
            break;
        }
        delivered = TRUE;
    }
    CacheFixData(pFixData, delivered);
}

void gpsclient_ErrInfoCb(GNSS_ERRORINFO* pErrorInfo) {
    HelperHandleRequestsCallbacks(IOCTL_GNSS_LISTEN_ERROR, pErrorInfo);
}

void gpsclient_NmeaCb(GNSS_NMEA_DATA* pNmeaData) {
    const DeviceUse use;
    if (pNmeaData == nullptr || m_bDeviceRemoved == 1 || !use) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: pNmeaData is NULL or device is removed",
                TAG_QUEUE, __func__);
        return;
    }
    gnss::os::CriticalSectionLock guard(m_csRequestLock);
    BOOL delivered = FALSE;
    for (;;) {
        WDFREQUEST request = nullptr;
        const NTSTATUS found = HelperManualQueueFindRequest(IOCTL_GNSS_LISTEN_NMEA, &request);
        if (!NT_SUCCESS(found)) {
            if (!delivered) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: IOCTL Not Found, Cache Data, status=0x%X",
                        TAG_QUEUE, __func__, static_cast<ULONG>(found));
                CacheNmeaData(pNmeaData);
            }
            break;
        }
        const NTSTATUS status = OnGNSSListenNmeaData(request, pNmeaData);
        if (!NT_SUCCESS(status)) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: OnGNSSListenNmeaData FAILED, status=0x%X",
                    TAG_QUEUE, __func__, static_cast<ULONG>(status));
            break;
        }
        delivered = TRUE;
    }
}

void gpsclient_ServiceStatusCb(ULONG status) {
    const DeviceUse use;
    if (m_bDeviceRemoved == 1 || !use) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Device is removed", TAG_QUEUE, __func__);
        return;
    }
    gnss::os::CriticalSectionLock guard(m_csRequestLock);
    for (;;) {
        WDFREQUEST request = nullptr;
        if (!NT_SUCCESS(HelperManualQueueFindRequest(IOCTL_GNSS_LISTEN_NMEA, &request))) break;
        PVOID buffer = nullptr;
        if (!NT_SUCCESS(HelperGetOutputBuffer(request, GNSS_EVENT_SIZE, GNSS_EVENT_SIZE, &buffer))) {
            WdfRequestCompleteWithInformation(request, STATUS_INVALID_PARAMETER, sizeof(ULONG));
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: HelperGetOutputBuffer FAILED", TAG_QUEUE,
                    __func__);
            break;
        }
        auto* event = static_cast<GNSS_EVENT*>(buffer);
        std::memset(event, 0, GNSS_EVENT_SIZE);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STEP 1", TAG_QUEUE, __func__);
        event->Size = GNSS_EVENT_SIZE;
        event->Version = GNSS_INTERFACE_VERSION;
        event->EventType = GNSS_Event_Custom;
        event->EventDataSize = sizeof(GNSS_SERVICE_STATUS_EVENT);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STEP 2", TAG_QUEUE, __func__);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STEP 3", TAG_QUEUE, __func__);
        GNSS_SERVICE_STATUS_EVENT serviceStatus{};
        serviceStatus.Size = sizeof(GNSS_SERVICE_STATUS_EVENT);
        serviceStatus.Version = GNSS_INTERFACE_VERSION;
        serviceStatus.Kind = GNSS_CUSTOM_EVENT_SERVICE_STATUS;
        serviceStatus.Status = status;
        std::memcpy(EventDataArea(event), &serviceStatus, sizeof serviceStatus);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STEP 4", TAG_QUEUE, __func__);
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, GNSS_EVENT_SIZE);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: STEP 5", TAG_QUEUE, __func__);
    }
}

void gpsclient_StopSessionCb(ULONG FixSessionID) {
    const DeviceUse use;
    if (m_bDeviceRemoved == 1 || !use) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Device is removed", TAG_QUEUE, __func__);
        return;
    }
    gnss::os::CriticalSectionLock guard(m_csRequestLock);
    CancelRequestFromManualQueue(IOCTL_GNSS_GET_FIXDATA, FixSessionID);
    CancelRequestFromManualQueue(IOCTL_GNSS_LISTEN_NMEA, FixSessionID);
}

void gpsclient_NiReqDataCb(GNSS_NI_REQUEST_PARAM* pNiRequest, void*) {
    HelperHandleRequestsCallbacks(IOCTL_GNSS_LISTEN_NI, pNiRequest);
}

void gpsclient_AssistanceReqCb(GNSS_AGNSS_REQUEST_PARAM* pAgnssRequest) {
    HelperHandleRequestsCallbacks(IOCTL_GNSS_LISTEN_AGNSS, pAgnssRequest);
}

void gpsclient_DriverRequestCb(GNSS_DRIVER_REQUEST_DATA* pDriverRequest) {
    HelperHandleRequestsCallbacks(IOCTL_GNSS_LISTEN_DRIVER_REQUEST, pDriverRequest);
}

void gpsclient_SelfTestResultCb(GNSS_SELFTESTRESULT* pResult) { OnGNSSSelfTestResponse(pResult); }

LONG gpsclient_ModemSendCb(const BYTE* pBuffer, ULONG uiLength) {
    const DeviceUse use;
    if (!use) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Device is removed", TAG_QUEUE, __func__);
        return 0;
    }
    return static_cast<LONG>(UsbDeviceSend(use.Device(), pBuffer, static_cast<LONG>(uiLength)));
}

}  // namespace

void GNSSDriverInitAtClient() {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_QUEUE, __func__);
    GPSCLIENT_CALLBACKS callbacks{};
    callbacks.pfnFixDataCb = gpsclient_FixDataCb;
    callbacks.pfnErrInfoCb = gpsclient_ErrInfoCb;
    callbacks.pfnNmeaDataCb = gpsclient_NmeaCb;
    callbacks.pfnServiceStatusCb = gpsclient_ServiceStatusCb;
    callbacks.pfnStopSessionCb = gpsclient_StopSessionCb;
    callbacks.pfnNiReqDataCb = gpsclient_NiReqDataCb;
    callbacks.pfnAssistanceReqCb = gpsclient_AssistanceReqCb;
    callbacks.pfnDriverRequestCb = gpsclient_DriverRequestCb;
    callbacks.pfnSelfTestResultCb = gpsclient_SelfTestResultCb;
    callbacks.pfnModemSendCb = gpsclient_ModemSendCb;
    atclient_Init(&callbacks);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_QUEUE, __func__);
}
