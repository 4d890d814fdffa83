// The driver core: driver entry, the device and its context, the Plug and
// Play and power callbacks, the power references, the queues and the module-
// wide device state they share.
#pragma once

#include <atomic>

#include "Trace.h"
#include "gnss/platform/sync.h"
#include "gnss/platform/wdf.h"

// The device context: the framework allocates it zero-filled with the device.
struct DEVICE_CONTEXT {
    WDFUSBDEVICE UsbDevice;          // the USB target of the modem function
    WDFQUEUE ManualQueue;            // parks requests waiting for the modem
    WDFUSBINTERFACE UsbInterface;    // interface 1, the data interface
    WDFUSBPIPE BulkInputPipe;        // read by the continuous reader
    WDFUSBPIPE BulkOutputPipe;       // written with AT commands
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, DeviceGetContext)

// Module-wide device state: one device per loaded driver module.
extern std::atomic<WDFDEVICE> m_hDevice;        // stored when the queues are set up
extern gnss::os::CriticalSection m_csRequestLock;  // guards the parked requests
extern std::atomic<DWORD> m_bDeviceRemoved;      // 1 after query-remove or surprise removal
extern std::atomic<DWORD> m_dwRefCount;          // outstanding engine power-up calls

// Driver entry and the driver object's end-of-life callbacks.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PCSTR RegistryPath);
void GNSSDriverEvtDriverUnload(WDFDRIVER Driver);
void GNSSDriverEvtDriverContextCleanup(WDFOBJECT Driver);

// Device creation and file objects.
NTSTATUS GNSSDriverEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
NTSTATUS GNSSDriverCreateDevice(PWDFDEVICE_INIT DeviceInit);
NTSTATUS AssignIdleSettings(WDFDEVICE Device);
void GNSSDriverDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject);
void GNSSDriverDeviceFileClose(WDFFILEOBJECT FileObject);

// Plug and Play and power callbacks.
NTSTATUS GNSSDriverEvtDevicePrepareHardware(WDFDEVICE Device, WDFOBJECT ResourcesRaw,
                                            WDFOBJECT ResourcesTranslated);
NTSTATUS GNSSDeviceEvtDeviceReleaseHardware(WDFDEVICE Device, WDFOBJECT ResourcesTranslated);
NTSTATUS GNSSDeviceEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
NTSTATUS GNSSDeviceEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
NTSTATUS GNSSDeviceEvtDeviceSelfManagedIoInit(WDFDEVICE Device);
NTSTATUS GNSSDeviceEvtDeviceSelfManagedIoRestart(WDFDEVICE Device);
NTSTATUS GNSSDeviceEvtDeviceSelfManagedIoSuspend(WDFDEVICE Device);
void GNSSDeviceEvtDeviceSelfManagedIoFlush(WDFDEVICE Device);
void GNSSDeviceEvtDeviceSelfManagedIoCleanup(WDFDEVICE Device);
NTSTATUS GNSSDeviceEvtDeviceQueryRemove(WDFDEVICE Device);
void GNSSDeviceEvtDeviceSurpriseRemoval(WDFDEVICE Device);
void GNSSDriverMarkDevicePresent();
void GNSSDriverMarkDeviceRemoved();

// Power references: holds the device in D0 while the engine uses the modem.
NTSTATUS GNSSDriverSetDevicePower(BOOL bPowerUp, BOOL bResetCounter);

// The engine's thread reaches the device only through m_hDevice: power
// references, writes, control-line resets and the parked requests of its
// callbacks.  It may do so from prepare hardware to release hardware, and
// never after: the engine outlives the device, and the framework refuses
// (and reports) every call with the handle of a device that is gone.  Each
// such use holds a DeviceUse while it runs; release hardware ends the span
// and waits for the uses in progress.  A use that finds no device does nothing.
class DeviceUse {
public:
    DeviceUse();
    ~DeviceUse();
    DeviceUse(const DeviceUse&) = delete;
    DeviceUse& operator=(const DeviceUse&) = delete;

    // The device to use, or null when there is none.
    WDFDEVICE Device() const { return device_; }
    explicit operator bool() const { return device_ != nullptr; }

private:
    WDFDEVICE device_ = nullptr;
};
// Prepare hardware: the engine may use the device from now on.
void GNSSDriverBeginDeviceUse(WDFDEVICE Device);
// Release hardware: no use begins any more; returns once those in progress
// have ended.  The device's framework power reference goes with it.
void GNSSDriverEndDeviceUse();

// USB transport.
NTSTATUS UsbDeviceInit(WDFDEVICE Device);
NTSTATUS UsbDeviceDeinit(WDFDEVICE Device);
NTSTATUS UsbDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
NTSTATUS UsbDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
ULONG UsbDeviceSend(WDFDEVICE Device, const BYTE* Buffer, LONG Length);
NTSTATUS UsbDeviceReset(WDFDEVICE Device);
// Resets the modem's control lines of the module's device (m_hDevice).
NTSTATUS HelperUsbDeviceReset();
void GNSSDeviceUsbReaderPipeReadComplete(WDFUSBPIPE Pipe, WDFMEMORY Buffer,
                                         std::size_t NumBytesTransferred, WDFCONTEXT Context);
BOOLEAN GNSSDeviceUsbReaderPipeReadFailed(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus);

// Queues and dispatch.
NTSTATUS GNSSDriverQueueInitialize(WDFDEVICE Device);
void GNSSDriverEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, std::size_t OutputBufferLength,
                                  std::size_t InputBufferLength, ULONG IoControlCode);
void GNSSDriverEvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
const char* GNSSDriverGetIoctlName(ULONG IoControlCode);

// Parked requests.
NTSTATUS HelperRequestFowardToManaulQueue(WDFQUEUE Queue, WDFREQUEST Request);
NTSTATUS HelperManualQueueFindRequest(ULONG IoControlCode, WDFREQUEST* Request);
NTSTATUS CancelRequestFromManualQueue(ULONG IoControlCode, ULONG FixSessionID);
void GNSSDriverQueueDeinitialize(WDFDEVICE Device);

// The engine callbacks' side of the driver.
void GNSSDriverInitAtClient();
