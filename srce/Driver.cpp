// Driver entry and the driver object's end-of-life callbacks.
#include "Driver.h"

#include "GnssState.h"
#include "engine/AtClient.h"
#include "gnss_driver_version.h"

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                        PCSTR RegistryPath) {
    // Tracing comes up before anything else and goes down last.
    GnssDiagnosticsInitialize();
    GnssLogVersionBanner();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_DRIVER, __func__);

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, GNSSDriverEvtDeviceAdd);
    config.EvtDriverUnload = GNSSDriverEvtDriverUnload;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = GNSSDriverEvtDriverContextCleanup;
    attributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes.SynchronizationScope = WdfSynchronizationScopeInheritFromParent;

    const NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, nullptr);
    if (!NT_SUCCESS(status)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfDriverCreate FAILED, status=0x%X", TAG_DRIVER,
                __func__, static_cast<ULONG>(status));
        GnssDiagnosticsCleanup();
        return status;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_DRIVER, __func__);
    return status;
}

void GNSSDriverEvtDriverUnload(WDFDRIVER) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_DRIVER, __func__);
    atclient_DeInit();
    // The engine is gone, so no callback queues a block any more: free the
    // blocks nobody listened for.
    ClearNmeaData();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s GNSS Driver Version: %s unloaded", TAG_DRIVER, __func__,
            GNSS_DRIVER_VERSION_TEXT);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_DRIVER, __func__);
}

void GNSSDriverEvtDriverContextCleanup(WDFOBJECT) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_DRIVER, __func__);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_DRIVER, __func__);
    GnssDiagnosticsCleanup();
}
