// The modem's USB function: the control-line request, the bulk pipes, the
// continuous reader and synchronous writes.  Bytes only: what they mean is
// the AT protocol's business.
#include <cstring>

#include "Driver.h"
#include "engine/AtClient.h"

namespace {

constexpr UCHAR kDataInterfaceIndex = 1;
constexpr std::size_t kReaderTransferLength = 1024;

// SET_CONTROL_LINE_STATE with DTR and RTS set, to interface 0.
WDF_USB_CONTROL_SETUP_PACKET ControlLineRequest() {
    WDF_USB_CONTROL_SETUP_PACKET packet;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&packet, BmRequestHostToDevice, BmRequestToInterface,
                                            0x22, 0x0003, 0x0000);
    return packet;
}

NTSTATUS SendControlLineRequest(WDFUSBDEVICE usbDevice, const char* function) {
    WDF_USB_CONTROL_SETUP_PACKET packet = ControlLineRequest();
    const NTSTATUS status = WdfUsbTargetDeviceSendControlTransferSynchronously(
        usbDevice, nullptr, nullptr, &packet, nullptr, nullptr);
    if (!NT_SUCCESS(status))
        GnssLog(GNSS_LEVEL_ERROR,
                "[%s] %s ERROR: WdfUsbTargetDeviceSendControlTransferSynchronously FAILED. status=0x%X",
                TAG_USBDEV, function, static_cast<ULONG>(status));
    else
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfUsbTargetDeviceSendControlTransferSynchronously SUCCESS",
                TAG_USBDEV, function);
    return status;
}

}  // namespace

NTSTATUS UsbDeviceInit(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_USBDEV, __func__);
    DEVICE_CONTEXT* context = DeviceGetContext(Device);

    NTSTATUS status = SendControlLineRequest(context->UsbDevice, __func__);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_USBDEV, __func__);
        return status;
    }

    context->UsbInterface = WdfUsbTargetDeviceGetInterface(context->UsbDevice, kDataInterfaceIndex);
    if (context->UsbInterface == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfUsbTargetDeviceGetInterface FAILED. status=0x%X",
                TAG_USBDEV, __func__, static_cast<ULONG>(STATUS_UNSUCCESSFUL));
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_USBDEV, __func__);
        return STATUS_UNSUCCESSFUL;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfUsbTargetDeviceGetInterface SUCCESS", TAG_USBDEV, __func__);

    const BYTE pipeCount = WdfUsbInterfaceGetNumConfiguredPipes(context->UsbInterface);
    if (pipeCount == 0)
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ucNumberConfiguredPipes is zero", TAG_USBDEV,
                __func__);
    else
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s ucNumberConfiguredPipes=%d SUCCESS", TAG_USBDEV, __func__,
                pipeCount);
    context->BulkInputPipe = nullptr;
    context->BulkOutputPipe = nullptr;

    for (BYTE index = 0; index < pipeCount; ++index) {
        WDF_USB_PIPE_INFORMATION pipeInfo;
        WDF_USB_PIPE_INFORMATION_INIT(&pipeInfo);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(context->UsbInterface, index, &pipeInfo);
        if (pipe == nullptr) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfUsbInterfaceGetConfiguredPipe returned NULL",
                    TAG_USBDEV, __func__);
            continue;
        }
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        if (pipeInfo.PipeType == WdfUsbPipeTypeBulk && WdfUsbTargetPipeIsInEndpoint(pipe)) {
            context->BulkInputPipe = pipe;
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s BulkInput Pipe is 0x%p", TAG_USBDEV, __func__,
                    static_cast<void*>(pipe));
        } else if (pipeInfo.PipeType == WdfUsbPipeTypeBulk && WdfUsbTargetPipeIsOutEndpoint(pipe)) {
            context->BulkOutputPipe = pipe;
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s BulkOutput Pipe is 0x%p", TAG_USBDEV, __func__,
                    static_cast<void*>(pipe));
        } else {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Unknows Pipe, IGNORE.", TAG_USBDEV, __func__);
        }
    }

    if (context->BulkInputPipe != nullptr && context->BulkOutputPipe != nullptr) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Read and Write USB pipes configuration SUCCESS", TAG_USBDEV,
                __func__);
        WDF_USB_CONTINUOUS_READER_CONFIG readerConfig;
        WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&readerConfig, GNSSDeviceUsbReaderPipeReadComplete,
                                              context, kReaderTransferLength);
        readerConfig.HeaderLength = 0;
        readerConfig.TrailerLength = 0;
        readerConfig.NumPendingReads = 1;
        readerConfig.BufferAttributes = nullptr;
        readerConfig.EvtUsbTargetPipeReadersFailed = GNSSDeviceUsbReaderPipeReadFailed;
        status = WdfUsbTargetPipeConfigContinuousReaders(context->BulkInputPipe, &readerConfig);
        if (NT_SUCCESS(status))
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfUsbTargetPipeConfigContinuousReaders SUCCESS",
                    TAG_USBDEV, __func__);
        else
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfUsbTargetPipeConfigContinuousReaders FAILED",
                    TAG_USBDEV, __func__);
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_USBDEV, __func__);
        return status;
    }

    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Getting USB pipes FAILED", TAG_USBDEV, __func__);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_USBDEV, __func__);
    return STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS UsbDeviceDeinit(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_USBDEV, __func__);
    DEVICE_CONTEXT* context = DeviceGetContext(Device);
    if (context != nullptr && context->UsbDevice != nullptr)
        WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(context->UsbDevice), WdfIoTargetCancelSentIo);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfIoTargetStop", TAG_USBDEV, __func__);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_USBDEV, __func__);
    return STATUS_SUCCESS;
}

NTSTATUS UsbDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s PreviousState=%d", TAG_USBDEV, __func__,
            static_cast<int>(PreviousState));
    DEVICE_CONTEXT* context = DeviceGetContext(Device);
    const NTSTATUS status =
        context->BulkInputPipe != nullptr
            ? WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(context->BulkInputPipe))
            : STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(status))
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfIoTargetStart FAILED, status=0x%X", TAG_USBDEV,
                __func__, static_cast<ULONG>(status));
    else
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s ------------------Reader pipe STARTED-------------------",
                TAG_USBDEV, __func__);
    return status;
}

NTSTATUS UsbDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s TargetState=%d", TAG_USBDEV, __func__,
            static_cast<int>(TargetState));
    DEVICE_CONTEXT* context = DeviceGetContext(Device);
    if (context->BulkInputPipe != nullptr)
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(context->BulkInputPipe), WdfIoTargetCancelSentIo);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ------------------Reader pipe STOPPED-------------------",
            TAG_USBDEV, __func__);
    return STATUS_SUCCESS;
}

ULONG UsbDeviceSend(WDFDEVICE Device, const BYTE* Buffer, LONG Length) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s UsbDeviceSend NumBytes=%d", TAG_USBDEV, __func__,
            static_cast<int>(Length));
    if (Buffer == nullptr || Length <= 0) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Parameter", TAG_USBDEV, __func__);
        return 0;
    }
    DEVICE_CONTEXT* context = DeviceGetContext(Device);
    if (context == nullptr || context->BulkOutputPipe == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfUsbTargetPipeWriteSynchronously FAILED, status=0x%X",
                TAG_USBDEV, __func__, static_cast<ULONG>(STATUS_INVALID_DEVICE_STATE));
        return 0;
    }
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, const_cast<BYTE*>(Buffer),
                                      static_cast<ULONG>(Length));
    ULONG written = 0;
    const NTSTATUS status = WdfUsbTargetPipeWriteSynchronously(context->BulkOutputPipe, nullptr,
                                                               nullptr, &descriptor, &written);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfUsbTargetPipeWriteSynchronously FAILED, status=0x%X",
                TAG_USBDEV, __func__, static_cast<ULONG>(status));
        return 0;
    }
    return written;
}

NTSTATUS UsbDeviceReset(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_USBDEV, __func__);
    DEVICE_CONTEXT* context = Device != nullptr ? DeviceGetContext(Device) : nullptr;
    const NTSTATUS status = context != nullptr && context->UsbDevice != nullptr
                                ? SendControlLineRequest(context->UsbDevice, __func__)
                                : STATUS_INVALID_DEVICE_STATE;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_USBDEV, __func__);
    return status;
}

NTSTATUS HelperUsbDeviceReset() {
    // Called by the engine's thread: only while the device has its hardware
    // (without it, UsbDeviceReset finds no device to reset).
    const DeviceUse use;
    return UsbDeviceReset(use.Device());
}

void GNSSDeviceUsbReaderPipeReadComplete(WDFUSBPIPE Pipe, WDFMEMORY Buffer,
                                         std::size_t NumBytesTransferred, WDFCONTEXT) {
    GnssLog(GNSS_LEVEL_INFO,
            "[%s] %s GNSSDeviceUsbReaderPipeReadComplete Pipe=0x%X, Buffer=0x%X, NumBytes=%d",
            TAG_USBDEV, __func__, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(Pipe)),
            static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(Buffer)),
            static_cast<int>(NumBytesTransferred));
    if (NumBytesTransferred == 0) {
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: Zero length buffer is received, IGNORE",
                TAG_USBDEV, __func__);
        return;
    }
    const auto* data = static_cast<const BYTE*>(WdfMemoryGetBuffer(Buffer, nullptr));
    if (data == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfMemoryGetBuffer returned NULL", TAG_USBDEV,
                __func__);
        return;
    }
    // A zero byte ends the chunk; what follows it is dropped.
    const std::size_t count =
        strnlen(reinterpret_cast<const char*>(data), NumBytesTransferred);
    if (count == 0) {
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: Zero length data is received, IGNORE",
                TAG_USBDEV, __func__);
        return;
    }
    atclient_ReceivedModemData(data, static_cast<ULONG>(count));
}

BOOLEAN GNSSDeviceUsbReaderPipeReadFailed(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus) {
    GnssLog(GNSS_LEVEL_ERROR,
            "[%s] %s ERROR: GNSSDeviceUsbReaderPipeReadFailed FAILED. Pipe=0x%X, Status=0x%X, "
            "UsbdStatus=0x%X",
            TAG_USBDEV, __func__, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(Pipe)),
            static_cast<ULONG>(Status), static_cast<ULONG>(UsbdStatus));
    return TRUE;
}
