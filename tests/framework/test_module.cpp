// A driver module for DriverHost::LoadDriverModule: it exports DriverEntry,
// creates its device and publishes one device interface.
#include "gnss/platform/wdf.h"

namespace {

NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE) { return STATUS_SUCCESS; }
NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE) { return STATUS_SUCCESS; }
void Unload(WDFDRIVER) {}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = D0Entry;
    callbacks.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, nullptr, &device);
    if (!NT_SUCCESS(status)) return status;
    static const GUID kInterface = {0x0DD1E5, 0x0001, 0x0002, {9, 8, 7, 6, 5, 4, 3, 2}};
    return WdfDeviceCreateDeviceInterface(device, &kInterface, nullptr);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                       PCSTR registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    config.EvtDriverUnload = Unload;
    return WdfDriverCreate(driverObject, registryPath, nullptr, &config, nullptr);
}
