// Driver-facing calls: driver object, device creation, device set-up and the
// idle policy with its power references.
#include <cstring>

#include "framework.h"
#include "gnss/platform/timescale.h"

using namespace gnss::fw::detail;

namespace {

constexpr ULONG kDefaultIdleTimeoutMs = 5000;

// The host of a device init record, with its lock held, when the record is
// the one of the device add in progress.
std::shared_ptr<Host> InitHost(PWDFDEVICE_INIT init, const char* api, std::unique_lock<std::mutex>* lock) {
    auto host = init != nullptr ? Registry::Instance().RecordHost(init) : nullptr;
    if (host == nullptr) {
        for (auto& h : Registry::Instance().Hosts())
            h->Violation("%s: %p is not a device init record of a device add in progress", api,
                         static_cast<void*>(init));
        return nullptr;
    }
    *lock = std::unique_lock<std::mutex>(host->mu);
    if (host->pendingInit.get() != init || host->initConsumed) {
        host->Violation("%s: device init record %p was already used", api, static_cast<void*>(init));
        lock->unlock();
        return nullptr;
    }
    return host;
}

}  // namespace

// ---------------------------------------------------------------------------
void WDF_DRIVER_CONFIG_INIT(WDF_DRIVER_CONFIG* Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
    if (Config == nullptr) return;
    *Config = WDF_DRIVER_CONFIG{};
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCSTR RegistryPath, const WDF_OBJECT_ATTRIBUTES* DriverAttributes,
                         const WDF_DRIVER_CONFIG* DriverConfig, WDFDRIVER* Driver) {
    (void)RegistryPath;
    if (Driver != nullptr) *Driver = nullptr;
    auto host = DriverObject != nullptr ? Registry::Instance().RecordHost(DriverObject) : nullptr;
    if (host == nullptr) {
        for (auto& h : Registry::Instance().Hosts())
            h->Violation("WdfDriverCreate: %p is not a driver object handed to a driver entry",
                         static_cast<void*>(DriverObject));
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverConfig == nullptr) {
        host->Error("WdfDriverCreate: no driver configuration");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(host->mu);
    if (host->driver != nullptr) {
        host->Violation("WdfDriverCreate: the driver object was already created");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto driver = std::make_shared<DriverObj>();
    driver->config = *DriverConfig;
    driver->ApplyAttributes(DriverAttributes);
    host->RegisterLocked(driver);
    host->driver = driver;
    host->Note("driver object %p created", static_cast<void*>(driver->Handle()));
    if (Driver != nullptr) *Driver = driver->HandleAs<WDFDRIVER>();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(WDF_PNPPOWER_EVENT_CALLBACKS* Callbacks) {
    if (Callbacks == nullptr) return;
    *Callbacks = WDF_PNPPOWER_EVENT_CALLBACKS{};
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

void WDF_FILEOBJECT_CONFIG_INIT(WDF_FILEOBJECT_CONFIG* Config, PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                PFN_WDF_FILE_CLOSE EvtFileClose, PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    if (Config == nullptr) return;
    *Config = WDF_FILEOBJECT_CONFIG{};
    Config->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    Config->EvtDeviceFileCreate = EvtDeviceFileCreate;
    Config->EvtFileClose = EvtFileClose;
    Config->EvtFileCleanup = EvtFileCleanup;
    Config->AutoForwardCleanupClose = WdfUseDefault;
    Config->FileObjectClass = WdfFileObjectWdfCanUseFsContext;
}

void WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner) {
    std::unique_lock<std::mutex> lock;
    if (!InitHost(DeviceInit, "WdfDeviceInitSetPowerPolicyOwnership", &lock)) return;
    DeviceInit->powerPolicyOwner = IsPowerPolicyOwner != 0;
}

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit, const WDF_PNPPOWER_EVENT_CALLBACKS* Callbacks) {
    std::unique_lock<std::mutex> lock;
    if (!InitHost(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks", &lock) || Callbacks == nullptr) return;
    DeviceInit->pnp = *Callbacks;
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, const WDF_FILEOBJECT_CONFIG* Config,
                                      const WDF_OBJECT_ATTRIBUTES* FileObjectAttributes) {
    std::unique_lock<std::mutex> lock;
    if (!InitHost(DeviceInit, "WdfDeviceInitSetFileObjectConfig", &lock)) return;
    if (Config != nullptr) {
        DeviceInit->hasFileConfig = true;
        DeviceInit->fileConfig = *Config;
    }
    if (FileObjectAttributes != nullptr) {
        DeviceInit->hasFileAttributes = true;
        DeviceInit->fileAttributes = *FileObjectAttributes;
    }
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, const WDF_OBJECT_ATTRIBUTES* DeviceAttributes, WDFDEVICE* Device) {
    if (Device != nullptr) *Device = nullptr;
    if (DeviceInit == nullptr || *DeviceInit == nullptr) return STATUS_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock;
    auto host = InitHost(*DeviceInit, "WdfDeviceCreate", &lock);
    if (host == nullptr) return STATUS_INVALID_DEVICE_STATE;
    const WDFDEVICE_INIT& init = **DeviceInit;
    auto device = std::make_shared<DeviceObj>();
    device->powerPolicyOwner = init.powerPolicyOwner;
    device->pnp = init.pnp;
    device->hasFileConfig = init.hasFileConfig;
    device->fileConfig = init.fileConfig;
    device->hasFileAttributes = init.hasFileAttributes;
    device->fileAttributes = init.fileAttributes;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&device->capabilities);
    device->ApplyAttributes(DeviceAttributes);
    if (Object::AsksForSynchronization(DeviceAttributes))
        host->Error("WdfDeviceCreate: synchronisation scopes are not provided; callbacks are not serialised");
    host->RegisterLocked(device);
    host->device = device;
    host->initConsumed = true;
    *DeviceInit = nullptr;
    if (Device != nullptr) *Device = device->HandleAs<WDFDEVICE>();
    host->Note("device %p created", static_cast<void*>(device->Handle()));
    return STATUS_SUCCESS;
}

void WDF_DEVICE_PNP_CAPABILITIES_INIT(WDF_DEVICE_PNP_CAPABILITIES* Caps) {
    if (Caps == nullptr) return;
    *Caps = WDF_DEVICE_PNP_CAPABILITIES{};
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = Caps->EjectSupported = Caps->Removable = Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = Caps->SilentInstall = Caps->SurpriseRemovalOK = Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = 0xFFFFFFFFu;
    Caps->UINumber = 0xFFFFFFFFu;
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE Device, const WDF_DEVICE_PNP_CAPABILITIES* Caps) {
    auto a = Acquire<DeviceObj>(Device, "WdfDeviceSetPnpCapabilities", "device");
    if (!a || Caps == nullptr) return;
    a->capabilities = *Caps;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID, PCSTR ReferenceString) {
    (void)ReferenceString;
    auto a = Acquire<DeviceObj>(Device, "WdfDeviceCreateDeviceInterface", "device");
    if (!a) return STATUS_INVALID_HANDLE;
    if (InterfaceClassGUID == nullptr) return STATUS_INVALID_PARAMETER;
    for (const GUID& g : a->interfaces)
        if (g == *InterfaceClassGUID) return STATUS_SUCCESS;
    a->interfaces.push_back(*InterfaceClassGUID);
    char text[40];
    gnss::FormatGuid(*InterfaceClassGUID, text, sizeof text);
    a.host->Note("device interface %s published", text);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Idle policy.
void WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS* Settings,
                                                WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps) {
    if (Settings == nullptr) return;
    *Settings = WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS{};
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS);
    Settings->IdleCaps = IdleCaps;
    Settings->DxState = PowerDeviceD3;
    Settings->IdleTimeout = 0;
    Settings->UserControlOfIdleSettings = IdleAllowUserControl;
    Settings->Enabled = WdfUseDefault;
    Settings->PowerUpIdleDeviceOnSystemWake = WdfUseDefault;
    Settings->IdleTimeoutType = DriverManagedIdleTimeout;
    Settings->ExcludeD3Cold = WdfUseDefault;
}

NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device, const WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS* Settings) {
    auto a = Acquire<DeviceObj>(Device, "WdfDeviceAssignS0IdleSettings", "device");
    if (!a) return STATUS_INVALID_HANDLE;
    if (Settings == nullptr || Settings->IdleCaps == IdleCapsInvalid) return STATUS_INVALID_PARAMETER;
    DeviceObj& device = *a.obj;
    if (!device.powerPolicyOwner) {
        a.host->Error("WdfDeviceAssignS0IdleSettings: the driver is not the power policy owner");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG requested = Settings->IdleTimeout != 0 ? Settings->IdleTimeout : kDefaultIdleTimeoutMs;
    device.idleAssigned = true;
    device.idleEnabled = Settings->Enabled != WdfFalse;
    device.idleTimeoutMs = requested;
    device.idleTimeout = std::chrono::milliseconds(gnss::os::ScaleDuration(requested));
    device.powerUpOnSystemWake = Settings->PowerUpIdleDeviceOnSystemWake == WdfTrue;
    switch (Settings->DxState) {
        case PowerDeviceD1: device.idleState = WdfPowerDeviceD1; break;
        case PowerDeviceD2: device.idleState = WdfPowerDeviceD2; break;
        default: device.idleState = WdfPowerDeviceD3; break;
    }
    a.host->Note("idle settings: %s, time-out %u ms (%lld ms scaled), idle state %s", device.idleEnabled ? "enabled" : "disabled",
                 static_cast<unsigned>(requested), static_cast<long long>(device.idleTimeout.count()),
                 PowerStateName(device.idleState));
    a.host->TouchIdleLocked();
    a.host->cv.notify_all();
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceStopIdleActual(WDFDEVICE Device, BOOLEAN WaitForD0, PVOID Tag, LONG Line, PCSTR File) {
    auto a = Acquire<DeviceObj>(Device, "WdfDeviceStopIdle", "device");
    if (!a) return STATUS_INVALID_HANDLE;
    Host& host = *a.host;
    DeviceObj& device = *a.obj;
    const char* file = File != nullptr ? File : "?";
    if (host.device.get() != &device || host.pnp == Pnp::Removing || host.pnp == Pnp::Removed) {
        host.Note("WdfDeviceStopIdle (%s:%d): the device is being removed", file, static_cast<int>(Line));
        return STATUS_DELETE_PENDING;
    }
    if (host.InD0Locked()) {
        device.stopIdleRefs++;
        return STATUS_SUCCESS;
    }
    if (!WaitForD0) {
        device.stopIdleRefs++;
        host.cv.notify_all();  // the power thread brings the device back
        return STATUS_PENDING;
    }
    if (host.OnPowerThread()) {
        host.Violation("WdfDeviceStopIdle: waiting for D0 on the framework's power thread (tag %p, %s:%d)", Tag, file,
                       static_cast<int>(Line));
        return STATUS_INVALID_DEVICE_STATE;
    }
    device.stopIdleRefs++;
    host.cv.notify_all();
    host.cv.wait(a.lock, [&] {
        return host.InD0Locked() || host.device.get() != &device || host.pnp == Pnp::Removing || host.pnp == Pnp::Removed;
    });
    if (host.InD0Locked() && host.device.get() == &device) return STATUS_SUCCESS;
    // Removal started while waiting: the reference is not kept.
    device.stopIdleRefs--;
    host.cv.notify_all();
    return STATUS_DELETE_PENDING;
}

void WdfDeviceResumeIdleActual(WDFDEVICE Device, PVOID Tag, LONG Line, PCSTR File) {
    auto a = Acquire<DeviceObj>(Device, "WdfDeviceResumeIdle", "device");
    if (!a) return;
    DeviceObj& device = *a.obj;
    if (device.stopIdleRefs == 0) {
        a.host->Violation("WdfDeviceResumeIdle: no power reference is held (tag %p, %s:%d)", Tag,
                          File != nullptr ? File : "?", static_cast<int>(Line));
        return;
    }
    device.stopIdleRefs--;
    if (device.stopIdleRefs == 0) a.host->TouchIdleLocked();
    a.host->cv.notify_all();
}
