// The device's two queues and the dispatch of control requests.
#include "Driver.h"
#include "DriverEvents.h"
#include "GnssState.h"

using gnss::events::EventValue;

NTSTATUS GNSSDriverQueueInitialize(WDFDEVICE Device) {
    m_hDevice = Device;

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.PowerManaged = WdfUseDefault;
    queueConfig.AllowZeroLengthRequests = FALSE;
    queueConfig.EvtIoDeviceControl = GNSSDriverEvtIoDeviceControl;
    queueConfig.EvtIoStop = GNSSDriverEvtIoStop;
    WDFQUEUE defaultQueue = nullptr;
    NTSTATUS status = WdfIoQueueCreate(Device, &queueConfig, nullptr, &defaultQueue);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfIoQueueCreate(DefaultQueue) FAILED, status=0x%X",
                TAG_QUEUE, __func__, static_cast<ULONG>(status));
        return status;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfIoQueueCreate(DefaultQueue) SUCCESS", TAG_QUEUE, __func__);

    DEVICE_CONTEXT* context = DeviceGetContext(Device);
    if (context == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: DeviceGetContext returned NULL", TAG_QUEUE, __func__);
        return STATUS_UNSUCCESSFUL;
    }
    WDF_IO_QUEUE_CONFIG manualConfig;
    WDF_IO_QUEUE_CONFIG_INIT(&manualConfig, WdfIoQueueDispatchManual);
    manualConfig.PowerManaged = WdfFalse;
    status = WdfIoQueueCreate(Device, &manualConfig, nullptr, &context->ManualQueue);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfIoQueueCreate(ManualQueue) FAILED, status=0x%X",
                TAG_QUEUE, __func__, static_cast<ULONG>(status));
        return status;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfIoQueueCreate(ManualQueue) SUCCESS", TAG_QUEUE, __func__);
    return STATUS_SUCCESS;
}

const char* GNSSDriverGetIoctlName(ULONG IoControlCode) {
    switch (IoControlCode) {
        case IOCTL_GNSS_SEND_PLATFORM_CAPABILITY: return "IOCTL_GNSS_SEND_PLATFORM_CAPABILITY";
        case IOCTL_GNSS_GET_DEVICE_CAPABILITY: return "IOCTL_GNSS_GET_DEVICE_CAPABILITY";
        case IOCTL_GNSS_SEND_DRIVERCOMMAND: return "IOCTL_GNSS_SEND_DRIVERCOMMAND";
        case IOCTL_GNSS_START_FIXSESSION: return "IOCTL_GNSS_START_FIXSESSION";
        case IOCTL_GNSS_MODIFY_FIXSESSION: return "IOCTL_GNSS_MODIFY_FIXSESSION";
        case IOCTL_GNSS_STOP_FIXSESSION: return "IOCTL_GNSS_STOP_FIXSESSION";
        case IOCTL_GNSS_GET_FIXDATA: return "IOCTL_GNSS_GET_FIXDATA";
        case IOCTL_GNSS_INJECT_AGNSS: return "IOCTL_GNSS_INJECT_AGNSS";
        case IOCTL_GNSS_LISTEN_AGNSS: return "IOCTL_GNSS_LISTEN_AGNSS";
        case IOCTL_GNSS_LISTEN_ERROR: return "IOCTL_GNSS_LISTEN_ERROR";
        case IOCTL_GNSS_LISTEN_NI: return "IOCTL_GNSS_LISTEN_NI";
        case IOCTL_GNSS_SET_SUPL_HSLP: return "IOCTL_GNSS_SET_SUPL_HSLP";
        case IOCTL_GNSS_CONFIG_SUPL_CERT: return "IOCTL_GNSS_CONFIG_SUPL_CERT";
        case IOCTL_GNSS_RESPOND_NI: return "IOCTL_GNSS_RESPOND_NI";
        case IOCTL_GNSS_EXECUTE_CWTEST: return "IOCTL_GNSS_EXECUTE_CWTEST";
        case IOCTL_GNSS_EXECUTE_SELFTEST: return "IOCTL_GNSS_EXECUTE_SELFTEST";
        case IOCTL_GNSS_GET_CHIPSETINFO: return "IOCTL_GNSS_GET_CHIPSETINFO";
        case IOCTL_GNSS_LISTEN_NMEA: return "IOCTL_GNSS_LISTEN_NMEA";
        case IOCTL_GNSS_SET_V2UPL_CONFIG: return "IOCTL_GNSS_SET_V2UPL_CONFIG";
        case IOCTL_GNSS_CREATE_GEOFENCE: return "IOCTL_GNSS_CREATE_GEOFENCE";
        case IOCTL_GNSS_DELETE_GEOFENCE: return "IOCTL_GNSS_DELETE_GEOFENCE";
        case IOCTL_GNSS_LISTEN_GEOFENCE_ALERT: return "IOCTL_GNSS_LISTEN_GEOFENCE_ALERT";
        case IOCTL_GNSS_LISTEN_GEOFENCES_TRACKINGSTATUS:
            return "IOCTL_GNSS_LISTEN_GEOFENCES_TRACKINGSTATUS";
        case IOCTL_GNSS_LISTEN_DRIVER_REQUEST: return "IOCTL_GNSS_LISTEN_DRIVER_REQUEST";
        case IOCTL_GNSS_START_BREADCRUMBING: return "IOCTL_GNSS_START_BREADCRUMBING";
        case IOCTL_GNSS_STOP_BREADCRUMBING: return "IOCTL_GNSS_STOP_BREADCRUMBING";
        case IOCTL_GNSS_LISTEN_BREADCRUMBING_ALERT: return "IOCTL_GNSS_LISTEN_BREADCRUMBING_ALERT";
        case IOCTL_GNSS_POP_BREADCRUMBS: return "IOCTL_GNSS_POP_BREADCRUMBS";
        default: return "IOCTL_UNKNOWN";
    }
}

namespace {

// Looks the code up in the dispatch table and carries out its action.  The
// result follows the handler contract: STATUS_PENDING parks the request,
// STATUS_NOT_SUPPORTED and STATUS_ACCESS_DENIED are still to be completed.
NTSTATUS DispatchControlCode(WDFREQUEST Request, std::size_t OutputBufferLength,
                             std::size_t InputBufferLength, ULONG IoControlCode) {
    switch (IoControlCode) {
        case IOCTL_GNSS_SEND_PLATFORM_CAPABILITY:
            return OnGNSSSendPlatformCapability(Request, InputBufferLength);
        case IOCTL_GNSS_GET_DEVICE_CAPABILITY:
            return OnGNSSGetDeviceCapability(Request, OutputBufferLength);
        case IOCTL_GNSS_SEND_DRIVERCOMMAND:
            return OnGNSSSendDriverCommand(Request, InputBufferLength);
        case IOCTL_GNSS_START_FIXSESSION:
            return CheckRadioStatus() ? OnGNSSStartFixSession(Request, InputBufferLength)
                                      : STATUS_ACCESS_DENIED;
        case IOCTL_GNSS_MODIFY_FIXSESSION:
            return CheckRadioStatus() ? OnGNSSModifyFixSession(Request, InputBufferLength)
                                      : STATUS_ACCESS_DENIED;
        case IOCTL_GNSS_STOP_FIXSESSION:
            return OnGNSSStopFixSession(Request, InputBufferLength);
        case IOCTL_GNSS_GET_FIXDATA: {
            if (!CheckRadioStatus()) return STATUS_ACCESS_DENIED;
            gnss::os::CriticalSectionLock guard(m_csRequestLock);
            return OnGNSSGetFixData(Request, nullptr);
        }
        case IOCTL_GNSS_INJECT_AGNSS:
            return OnGNSSInjectAgnss(Request, InputBufferLength);
        case IOCTL_GNSS_LISTEN_AGNSS:
        case IOCTL_GNSS_LISTEN_ERROR:
        case IOCTL_GNSS_LISTEN_NI:
        case IOCTL_GNSS_LISTEN_DRIVER_REQUEST:
            return STATUS_PENDING;
        case IOCTL_GNSS_SET_SUPL_HSLP:
            return OnGNSSSetSuplHslp(Request, InputBufferLength);
        case IOCTL_GNSS_CONFIG_SUPL_CERT:
            return OnGNSSConfigSuplCert(Request, InputBufferLength);
        case IOCTL_GNSS_RESPOND_NI:
            return OnGNSSRespondNi(Request, InputBufferLength);
        case IOCTL_GNSS_EXECUTE_SELFTEST:
            return OnGNSSSelfTest(Request, InputBufferLength, OutputBufferLength);
        case IOCTL_GNSS_GET_CHIPSETINFO:
            return OnGNSSGetChipsetInfo(Request, OutputBufferLength);
        case IOCTL_GNSS_LISTEN_NMEA: {
            if (!CheckRadioStatus()) return STATUS_ACCESS_DENIED;
            gnss::os::CriticalSectionLock guard(m_csRequestLock);
            GNSS_NMEA_DATA nmea{};
            if (GetCachedGnssNmeaData(&nmea)) return OnGNSSListenNmeaData(Request, &nmea);
            return STATUS_PENDING;
        }
        case IOCTL_GNSS_EXECUTE_CWTEST:
        case IOCTL_GNSS_SET_V2UPL_CONFIG:
        case IOCTL_GNSS_CREATE_GEOFENCE:
        case IOCTL_GNSS_DELETE_GEOFENCE:
        case IOCTL_GNSS_LISTEN_GEOFENCE_ALERT:
        case IOCTL_GNSS_LISTEN_GEOFENCES_TRACKINGSTATUS:
            return STATUS_NOT_SUPPORTED;
        default:
            GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: UNKNOWN IOCTL Code IoControlCode=0x%X",
                    TAG_QUEUE, "GNSSDriverEvtIoDeviceControl", IoControlCode);
            return STATUS_NOT_SUPPORTED;
    }
}

}  // namespace

void GNSSDriverEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, std::size_t OutputBufferLength,
                                  std::size_t InputBufferLength, ULONG IoControlCode) {
    WDFFILEOBJECT fileObject = WdfRequestGetFileObject(Request);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> IoctlCode=0x%X (%s) InBufLen=%d OutBufLen=%d FileObject=0x%p",
            TAG_QUEUE, __func__, IoControlCode, GNSSDriverGetIoctlName(IoControlCode),
            static_cast<int>(InputBufferLength), static_cast<int>(OutputBufferLength),
            static_cast<void*>(fileObject));
    gnss::driver::WriteEvent(125, {EventValue::Pointer(Request), EventValue::Pointer(Queue),
                                   EventValue::Number(OutputBufferLength),
                                   EventValue::Number(InputBufferLength),
                                   EventValue::Number(IoControlCode)});

    NTSTATUS status =
        DispatchControlCode(Request, OutputBufferLength, InputBufferLength, IoControlCode);

    if (status == STATUS_PENDING) {
        gnss::os::CriticalSectionLock guard(m_csRequestLock);
        status = HelperRequestFowardToManaulQueue(Queue, Request);
    } else if (status == STATUS_NOT_SUPPORTED) {
        WdfRequestCompleteWithInformation(Request, status, 0);
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: IOCTL not Supported IoControlCode=0x%X",
                TAG_QUEUE, __func__, IoControlCode);
    } else if (status == STATUS_ACCESS_DENIED) {
        WdfRequestCompleteWithInformation(Request, status, 0);
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR IoControlCode=0x%X status=0x%X", TAG_QUEUE,
                __func__, IoControlCode, static_cast<ULONG>(status));
    } else if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR IoControlCode=0x%X status=0x%X", TAG_QUEUE,
                __func__, IoControlCode, static_cast<ULONG>(status));
    }

    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- status=0x%X", TAG_QUEUE, __func__,
            static_cast<ULONG>(status));
    gnss::driver::WriteEvent(126, {EventValue::Pointer(Request),
                                   EventValue::Number(static_cast<ULONG>(status))});
}

void GNSSDriverEvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-> Queue 0x%p, Request 0x%p ActionFlags %d", TAG_QUEUE,
            __func__, static_cast<void*>(Queue), static_cast<void*>(Request),
            static_cast<int>(ActionFlags));
    gnss::driver::WriteEvent(135, {EventValue::Pointer(Queue), EventValue::Pointer(Request),
                                   EventValue::Number(ActionFlags)});
    gnss::driver::WriteEvent(136);
}
