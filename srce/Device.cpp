// Device creation, the device context, idle settings and file objects.
#include "Driver.h"
#include "DriverEvents.h"
#include "GnssState.h"
#include "gnss/protocol/gnss_ddi.h"

std::atomic<WDFDEVICE> m_hDevice{nullptr};
gnss::os::CriticalSection m_csRequestLock;
std::atomic<DWORD> m_bDeviceRemoved{0};
std::atomic<DWORD> m_dwRefCount{0};

using gnss::events::EventValue;

NTSTATUS GNSSDriverEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    gnss::driver::WriteEvent(105, {EventValue::Pointer(Driver), EventValue::Pointer(DeviceInit)});
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_DRIVER, __func__);
    const NTSTATUS status = GNSSDriverCreateDevice(DeviceInit);
    if (!NT_SUCCESS(status))
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GNSSDriverCreateDevice FAILED, status=0x%X",
                TAG_DRIVER, __func__, static_cast<ULONG>(status));
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_DRIVER, __func__);
    gnss::driver::WriteEvent(106, {EventValue::Number(static_cast<ULONG>(status))});
    return status;
}

NTSTATUS GNSSDriverCreateDevice(PWDFDEVICE_INIT DeviceInit) {
    WdfDeviceInitSetPowerPolicyOwnership(DeviceInit, TRUE);

    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDeviceD0Entry = GNSSDeviceEvtDeviceD0Entry;
    pnpPowerCallbacks.EvtDeviceD0Exit = GNSSDeviceEvtDeviceD0Exit;
    pnpPowerCallbacks.EvtDevicePrepareHardware = GNSSDriverEvtDevicePrepareHardware;
    pnpPowerCallbacks.EvtDeviceReleaseHardware = GNSSDeviceEvtDeviceReleaseHardware;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoCleanup = GNSSDeviceEvtDeviceSelfManagedIoCleanup;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoFlush = GNSSDeviceEvtDeviceSelfManagedIoFlush;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoInit = GNSSDeviceEvtDeviceSelfManagedIoInit;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoSuspend = GNSSDeviceEvtDeviceSelfManagedIoSuspend;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoRestart = GNSSDeviceEvtDeviceSelfManagedIoRestart;
    pnpPowerCallbacks.EvtDeviceSurpriseRemoval = GNSSDeviceEvtDeviceSurpriseRemoval;
    pnpPowerCallbacks.EvtDeviceQueryRemove = GNSSDeviceEvtDeviceQueryRemove;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, GNSSDriverDeviceFileCreate, GNSSDriverDeviceFileClose,
                               nullptr);
    fileConfig.AutoForwardCleanupClose = WdfUseDefault;
    fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, nullptr);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfDeviceCreate FAILED status=0x%X", TAG_DEVICE,
                __func__, static_cast<ULONG>(status));
        return status;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfDeviceCreate SUCCESS", TAG_DEVICE, __func__);

    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.Removable = WdfTrue;
    pnpCaps.SurpriseRemovalOK = WdfTrue;
    pnpCaps.LockSupported = WdfUseDefault;
    pnpCaps.EjectSupported = WdfUseDefault;
    pnpCaps.DockDevice = WdfUseDefault;
    pnpCaps.UniqueID = WdfUseDefault;
    pnpCaps.SilentInstall = WdfUseDefault;
    pnpCaps.HardwareDisabled = WdfUseDefault;
    pnpCaps.NoDisplayInUI = WdfUseDefault;
    pnpCaps.Address = 0xFFFFFFFF;
    pnpCaps.UINumber = 0xFFFFFFFF;
    WdfDeviceSetPnpCapabilities(device, &pnpCaps);

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_GNSS, nullptr);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfDeviceCreateDeviceInterface FAILED status=0x%X",
                TAG_DEVICE, __func__, static_cast<ULONG>(status));
        return status;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s WdfDeviceCreateDeviceInterface SUCCESS", TAG_DEVICE, __func__);

    return GNSSDriverQueueInitialize(device);
}

NTSTATUS AssignIdleSettings(WDFDEVICE Device) {
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idleSettings;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idleSettings, IdleCannotWakeFromS0);
    idleSettings.DxState = PowerDeviceD3;
    idleSettings.IdleTimeout = 1000;
    idleSettings.UserControlOfIdleSettings = IdleAllowUserControl;
    idleSettings.Enabled = WdfUseDefault;
    idleSettings.PowerUpIdleDeviceOnSystemWake = WdfTrue;
    idleSettings.IdleTimeoutType = SystemManagedIdleTimeout;
    idleSettings.ExcludeD3Cold = WdfFalse;
    const NTSTATUS status = WdfDeviceAssignS0IdleSettings(Device, &idleSettings);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- status=0x%X", TAG_DEVICE, __func__,
            static_cast<ULONG>(status));
    return status;
}

void GNSSDriverDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject -> Device=0x%p FileObject=0x%p", TAG_DEVICE,
            __func__, static_cast<void*>(Device), static_cast<void*>(FileObject));
    const NTSTATUS status = RegisterFileObject(FileObject) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    WdfRequestComplete(Request, status);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject <- FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(FileObject));
}

void GNSSDriverDeviceFileClose(WDFFILEOBJECT FileObject) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject -> FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(FileObject));
    UnregisterFileObject(FileObject);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject <- FileObject=0x%p", TAG_DEVICE, __func__,
            static_cast<void*>(FileObject));
}
