// Plug and Play and power callbacks.
#include "Driver.h"
#include "DriverEvents.h"
#include "engine/AtClient.h"

using gnss::events::EventValue;

void GNSSDriverMarkDevicePresent() {
    m_bDeviceRemoved = 0;
    atclient_ResetDeviceRemoveEvent();
}

void GNSSDriverMarkDeviceRemoved() {
    m_bDeviceRemoved = 1;
    atclient_SetDeviceRemoveEvent();
}

NTSTATUS GNSSDriverEvtDevicePrepareHardware(WDFDEVICE Device, WDFOBJECT ResourcesRaw,
                                            WDFOBJECT ResourcesTranslated) {
    (void)ResourcesTranslated;
    gnss::driver::WriteEvent(115, {EventValue::Pointer(Device), EventValue::Pointer(ResourcesRaw),
                                   EventValue::Number(0), EventValue::Unicode(u"NULL")});

    DEVICE_CONTEXT* context = DeviceGetContext(Device);
    if (context->UsbDevice != nullptr) {
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s UsbDevice != NULL, already having USB Device",
                TAG_DEVICE, __func__);
    } else {
        const NTSTATUS status = WdfUsbTargetDeviceCreate(Device, nullptr, &context->UsbDevice);
        if (!NT_SUCCESS(status)) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfUsbTargetDeviceCreate FAILED status=0x%X",
                    TAG_DEVICE, __func__, static_cast<ULONG>(status));
            return status;
        }
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfUsbTargetDeviceCreate SUCCESS", TAG_DEVICE, __func__);
    }

    const NTSTATUS status = UsbDeviceInit(Device);
    // The engine is started and the device marked present even when the USB
    // side failed: the framework fails the start with that status.
    GNSSDriverInitAtClient();
    GNSSDriverMarkDevicePresent();
    // Release hardware follows whatever the status, and ends the span again.
    GNSSDriverBeginDeviceUse(Device);
    gnss::driver::WriteEvent(116, {EventValue::Number(static_cast<ULONG>(status))});
    return status;
}

NTSTATUS GNSSDeviceEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    gnss::driver::WriteEvent(107, {EventValue::Pointer(Device),
                                   EventValue::Number(static_cast<ULONG>(PreviousState))});
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> PreviousState=%d", TAG_DEVICE, __func__,
            static_cast<int>(PreviousState));
    const NTSTATUS status = UsbDeviceD0Entry(Device, PreviousState);
    GNSSDriverSetDevicePower(TRUE, TRUE);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- status=0x%x", TAG_DEVICE, __func__,
            static_cast<ULONG>(status));
    gnss::driver::WriteEvent(108, {EventValue::Number(static_cast<ULONG>(status))});
    return status;
}

NTSTATUS GNSSDeviceEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    gnss::driver::WriteEvent(109, {EventValue::Pointer(Device),
                                   EventValue::Number(static_cast<ULONG>(TargetState))});
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> TargetState=%d", TAG_DEVICE, __func__,
            static_cast<int>(TargetState));
    const NTSTATUS status = UsbDeviceD0Exit(Device, TargetState);
    GNSSDriverSetDevicePower(FALSE, TRUE);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> status=0x%x", TAG_DEVICE, __func__,
            static_cast<ULONG>(status));
    gnss::driver::WriteEvent(110, {EventValue::Number(static_cast<ULONG>(status))});
    return status;
}

NTSTATUS GNSSDeviceEvtDeviceSelfManagedIoInit(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject -> FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    const NTSTATUS status = AssignIdleSettings(Device);
    GNSSDriverInitAtClient();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject <- FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    return status;
}

NTSTATUS GNSSDeviceEvtDeviceSelfManagedIoSuspend(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> Device=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    // Let the request being dispatched finish, then take requests again.
    WDFQUEUE queue = WdfDeviceGetDefaultQueue(Device);
    WdfIoQueueStopSynchronously(queue);
    WdfIoQueueStart(queue);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- Device=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    return STATUS_SUCCESS;
}

NTSTATUS GNSSDeviceEvtDeviceSelfManagedIoRestart(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> Device=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- Device=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    return STATUS_SUCCESS;
}

void GNSSDeviceEvtDeviceSelfManagedIoFlush(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject -> FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    WdfIoQueuePurgeSynchronously(WdfDeviceGetDefaultQueue(Device));
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject <- FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
}

void GNSSDeviceEvtDeviceSelfManagedIoCleanup(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject -> FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject <- FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
}

NTSTATUS GNSSDeviceEvtDeviceQueryRemove(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject -> FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    GNSSDriverMarkDeviceRemoved();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject <- FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    return STATUS_SUCCESS;
}

void GNSSDeviceEvtDeviceSurpriseRemoval(WDFDEVICE Device) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject -> FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
    GNSSDriverMarkDeviceRemoved();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject <- FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(Device));
}

NTSTATUS GNSSDeviceEvtDeviceReleaseHardware(WDFDEVICE Device, WDFOBJECT ResourcesTranslated) {
    gnss::driver::WriteEvent(117, {EventValue::Pointer(Device),
                                   EventValue::Pointer(ResourcesTranslated), EventValue::Number(0),
                                   EventValue::Unicode(u"NULL")});
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_DEVICE, __func__);
    // The engine's thread lets go of the device first: the parked requests
    // and the USB target it uses go next, and the device itself after this.
    GNSSDriverEndDeviceUse();
    GNSSDriverQueueDeinitialize(Device);
    UsbDeviceDeinit(Device);
    gnss::driver::WriteEvent(118, {EventValue::Number(0)});
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_DEVICE, __func__);
    return STATUS_SUCCESS;
}
