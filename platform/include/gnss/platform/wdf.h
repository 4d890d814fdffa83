// The driver framework, driver-facing side.
//
// A small user-mode driver framework with the object model and calls the
// driver is written against: one driver object, one device object with a
// typed context, Plug and Play and power callbacks with an idle policy, I/O
// queues with sequential or manual dispatch, requests with buffered input and
// output, file objects, and a USB target with pipes and a continuous reader.
// Whoever hosts a driver uses the host-facing side (wdfhost.h).
//
// What a driver may rely on:
// - Callbacks arrive in the documented order.  Plug and Play and power
//   callbacks are serialised against each other on the framework's power
//   thread.  Device-control requests of a sequential queue are presented one
//   at a time on the queue's dispatch thread; the next one is presented once
//   the previous one has been completed, forwarded or requeued.
// - Idle: after WdfDeviceAssignS0IdleSettings, the device leaves D0 for the
//   idle state once the idle time-out has passed with no StopIdle reference
//   held and no request in progress or waiting on a power-managed queue
//   (self-managed I/O suspend, then D0 exit).  A StopIdle reference or a
//   request arriving on a power-managed queue brings it back (D0 entry, then
//   self-managed I/O restart) before the request is presented.  StopIdle with
//   WaitForD0 returns only in D0.
// - A manual queue keeps forwarded requests across power changes.  A find
//   walks the queue from its head and returns a tag that carries a reference;
//   a requeued request goes back to the head of the queue it came from.  A
//   request cancelled by its sender while it waits in a queue is completed by
//   the framework with STATUS_CANCELLED.
// - Every request is completed exactly once.  A second completion is a driver
//   bug: the framework logs and refuses it.
// - Buffered I/O: a request has an input buffer (a copy of the sender's
//   input) and a separate, zero-filled output buffer of the output length.
//   The first `information` bytes of the output buffer (at most its length)
//   go back to the sender.
//
// Calls that take a tag location (StopIdle, ResumeIdle, Reference,
// Dereference) are macros that pass the calling file and line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gnss/platform/types.h"

using ULONG_PTR = std::uintptr_t;
using PVOID = void*;
using PCSTR = const char*;
using WDFCONTEXT = void*;
using USBD_STATUS = LONG;

enum WDF_TRI_STATE : std::int32_t { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 };

// ---------------------------------------------------------------------------
// Handles.  Every handle converts implicitly to WDFOBJECT.
struct WDFOBJECT__ {
protected:
    WDFOBJECT__() = default;
    ~WDFOBJECT__() = default;
};
#define GNSS_WDF_HANDLE(name)                     \
    struct name##__ : WDFOBJECT__ {               \
    protected:                                    \
        name##__() = default;                     \
        ~name##__() = default;                    \
    };                                            \
    using name = name##__*;
using WDFOBJECT = WDFOBJECT__*;
GNSS_WDF_HANDLE(WDFDRIVER)
GNSS_WDF_HANDLE(WDFDEVICE)
GNSS_WDF_HANDLE(WDFQUEUE)
GNSS_WDF_HANDLE(WDFREQUEST)
GNSS_WDF_HANDLE(WDFFILEOBJECT)
GNSS_WDF_HANDLE(WDFMEMORY)
GNSS_WDF_HANDLE(WDFIOTARGET)
#undef GNSS_WDF_HANDLE
// USB objects are I/O targets of their own, as in the framework they imitate.
struct WDFUSBDEVICE__ : WDFIOTARGET__ {
protected:
    WDFUSBDEVICE__() = default;
    ~WDFUSBDEVICE__() = default;
};
struct WDFUSBPIPE__ : WDFIOTARGET__ {
protected:
    WDFUSBPIPE__() = default;
    ~WDFUSBPIPE__() = default;
};
struct WDFUSBINTERFACE__ : WDFOBJECT__ {
protected:
    WDFUSBINTERFACE__() = default;
    ~WDFUSBINTERFACE__() = default;
};
using WDFUSBDEVICE = WDFUSBDEVICE__*;
using WDFUSBPIPE = WDFUSBPIPE__*;
using WDFUSBINTERFACE = WDFUSBINTERFACE__*;

// The driver object the host hands to DriverEntry, and the device
// initialisation record handed to device add.
struct DRIVER_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
struct WDFDEVICE_INIT;
using PWDFDEVICE_INIT = WDFDEVICE_INIT*;

// The module entry point every driver exports (extern "C" DriverEntry).
using PFN_DRIVER_ENTRY = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PCSTR RegistryPath);

// ---------------------------------------------------------------------------
// Objects and typed contexts.
struct WDF_OBJECT_CONTEXT_TYPE_INFO {
    const char* ContextName;
    std::size_t ContextSize;
};

enum WDF_EXECUTION_LEVEL : std::int32_t {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
};
enum WDF_SYNCHRONIZATION_SCOPE : std::int32_t {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
};

using PFN_WDF_OBJECT_CONTEXT_CLEANUP = void (*)(WDFOBJECT Object);
using PFN_WDF_OBJECT_CONTEXT_DESTROY = void (*)(WDFOBJECT Object);

struct WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    std::size_t ContextSizeOverride;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* ContextTypeInfo;
};

void WDF_OBJECT_ATTRIBUTES_INIT(WDF_OBJECT_ATTRIBUTES* Attributes);

// Declares a context type and its accessor, e.g.
//   WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, DeviceGetContext)
// The accessor returns the zero-filled context of an object created with
// WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT), or
// nullptr for an object without that context.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(type, accessor)                                 \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_##type##_TYPE_INFO = {#type, sizeof(type)}; \
    inline type* accessor(WDFOBJECT Handle) {                                              \
        return static_cast<type*>(WdfObjectGetTypedContextWorker(Handle, &WDF_##type##_TYPE_INFO)); \
    }
#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(attributes, type) \
    do {                                                          \
        WDF_OBJECT_ATTRIBUTES_INIT(attributes);                   \
        (attributes)->ContextTypeInfo = &WDF_##type##_TYPE_INFO;   \
    } while (0)

void* WdfObjectGetTypedContextWorker(WDFOBJECT Handle, const WDF_OBJECT_CONTEXT_TYPE_INFO* TypeInfo);
void WdfObjectDelete(WDFOBJECT Object);
void WdfObjectReferenceActual(WDFOBJECT Object, PVOID Tag, LONG Line, PCSTR File);
void WdfObjectDereferenceActual(WDFOBJECT Object, PVOID Tag, LONG Line, PCSTR File);
#define WdfObjectReference(h) WdfObjectReferenceActual((h), nullptr, __LINE__, __FILE__)
#define WdfObjectDereference(h) WdfObjectDereferenceActual((h), nullptr, __LINE__, __FILE__)
#define WdfObjectDereferenceWithTag(h, tag) WdfObjectDereferenceActual((h), (tag), __LINE__, __FILE__)

// ---------------------------------------------------------------------------
// Driver.
using PFN_WDF_DRIVER_DEVICE_ADD = NTSTATUS (*)(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
using PFN_WDF_DRIVER_UNLOAD = void (*)(WDFDRIVER Driver);

struct WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
};
void WDF_DRIVER_CONFIG_INIT(WDF_DRIVER_CONFIG* Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd);

// Creates the driver object.  The attributes' cleanup callback runs last,
// after the unload callback, when the host unloads the driver.
NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCSTR RegistryPath,
                         const WDF_OBJECT_ATTRIBUTES* DriverAttributes,
                         const WDF_DRIVER_CONFIG* DriverConfig, WDFDRIVER* Driver);

// ---------------------------------------------------------------------------
// Device power states as the D0 callbacks see them.
enum WDF_POWER_DEVICE_STATE : std::int32_t {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0 = 1,
    WdfPowerDeviceD1 = 2,
    WdfPowerDeviceD2 = 3,
    WdfPowerDeviceD3 = 4,
    WdfPowerDeviceD3Final = 5,
    WdfPowerDevicePrepareForHibernation = 6,
};

using PFN_WDF_DEVICE_D0_ENTRY = NTSTATUS (*)(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
using PFN_WDF_DEVICE_D0_EXIT = NTSTATUS (*)(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
using PFN_WDF_DEVICE_PREPARE_HARDWARE = NTSTATUS (*)(WDFDEVICE Device, WDFOBJECT ResourcesRaw,
                                                     WDFOBJECT ResourcesTranslated);
using PFN_WDF_DEVICE_RELEASE_HARDWARE = NTSTATUS (*)(WDFDEVICE Device, WDFOBJECT ResourcesTranslated);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT = NTSTATUS (*)(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART = NTSTATUS (*)(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND = NTSTATUS (*)(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH = void (*)(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP = void (*)(WDFDEVICE Device);
using PFN_WDF_DEVICE_QUERY_REMOVE = NTSTATUS (*)(WDFDEVICE Device);
using PFN_WDF_DEVICE_QUERY_STOP = NTSTATUS (*)(WDFDEVICE Device);
using PFN_WDF_DEVICE_SURPRISE_REMOVAL = void (*)(WDFDEVICE Device);

// Callback slots the framework calls.  Slots the framework never calls
// (usage notification, relations query, the interrupt variants of the D0
// callbacks) are kept so that a driver can state that it leaves them empty.
struct WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    void* EvtDeviceUsageNotification;
    void* EvtDeviceRelationsQuery;
};
void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(WDF_PNPPOWER_EVENT_CALLBACKS* Callbacks);

// File objects: one per open of the device.
using PFN_WDF_DEVICE_FILE_CREATE = void (*)(WDFDEVICE Device, WDFREQUEST Request,
                                            WDFFILEOBJECT FileObject);
using PFN_WDF_FILE_CLOSE = void (*)(WDFFILEOBJECT FileObject);
using PFN_WDF_FILE_CLEANUP = void (*)(WDFFILEOBJECT FileObject);

enum WDF_FILEOBJECT_CLASS : std::int32_t {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
};

struct WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
};
void WDF_FILEOBJECT_CONFIG_INIT(WDF_FILEOBJECT_CONFIG* Config, PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                PFN_WDF_FILE_CLOSE EvtFileClose, PFN_WDF_FILE_CLEANUP EvtFileCleanup);

void WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner);
void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            const WDF_PNPPOWER_EVENT_CALLBACKS* Callbacks);
void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, const WDF_FILEOBJECT_CONFIG* Config,
                                      const WDF_OBJECT_ATTRIBUTES* FileObjectAttributes);
// Creates the device; the init record is consumed (set to nullptr) on success.
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, const WDF_OBJECT_ATTRIBUTES* DeviceAttributes,
                         WDFDEVICE* Device);

struct WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
};
void WDF_DEVICE_PNP_CAPABILITIES_INIT(WDF_DEVICE_PNP_CAPABILITIES* Caps);
void WdfDeviceSetPnpCapabilities(WDFDEVICE Device, const WDF_DEVICE_PNP_CAPABILITIES* Caps);

// Publishes a device interface through which clients open the device.
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCSTR ReferenceString);

// ---------------------------------------------------------------------------
// Idle policy.
enum WDF_POWER_POLICY_S0_IDLE_CAPABILITIES : std::int32_t {
    IdleCapsInvalid = 0,
    IdleCannotWakeFromS0 = 1,
    IdleCanWakeFromS0 = 2,
    IdleUsbSelectiveSuspend = 3,
};
enum WDF_POWER_POLICY_S0_IDLE_USER_CONTROL : std::int32_t {
    IdleUserControlInvalid = 0,
    IdleDoNotAllowUserControl = 1,
    IdleAllowUserControl = 2,
};
enum WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE : std::int32_t {
    DriverManagedIdleTimeout = 0,
    SystemManagedIdleTimeout = 1,
    SystemManagedIdleTimeoutWithHint = 2,
};
enum DEVICE_POWER_STATE : std::int32_t {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
};

struct WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS {
    ULONG Size;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
    DEVICE_POWER_STATE DxState;
    ULONG IdleTimeout;  // milliseconds
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControlOfIdleSettings;
    WDF_TRI_STATE Enabled;
    WDF_TRI_STATE PowerUpIdleDeviceOnSystemWake;
    WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE IdleTimeoutType;
    WDF_TRI_STATE ExcludeD3Cold;
};
void WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS* Settings,
                                                WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps);
NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device,
                                       const WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS* Settings);

// Takes a power reference.  With WaitForD0 the call returns only once the
// device is in D0 (STATUS_SUCCESS); without it, it returns at once
// (STATUS_PENDING while the device is not yet back in D0).  Fails when the
// device is being removed.  Must not wait for D0 on the power thread.
NTSTATUS WdfDeviceStopIdleActual(WDFDEVICE Device, BOOLEAN WaitForD0, PVOID Tag, LONG Line, PCSTR File);
// Releases one power reference; releasing one that is not held is a driver
// bug that the framework logs and ignores.
void WdfDeviceResumeIdleActual(WDFDEVICE Device, PVOID Tag, LONG Line, PCSTR File);
#define WdfDeviceStopIdle(device, wait) \
    WdfDeviceStopIdleActual((device), (wait), nullptr, __LINE__, __FILE__)
#define WdfDeviceStopIdleWithTag(device, wait, tag) \
    WdfDeviceStopIdleActual((device), (wait), (tag), __LINE__, __FILE__)
#define WdfDeviceResumeIdle(device) WdfDeviceResumeIdleActual((device), nullptr, __LINE__, __FILE__)
#define WdfDeviceResumeIdleWithTag(device, tag) \
    WdfDeviceResumeIdleActual((device), (tag), __LINE__, __FILE__)

// ---------------------------------------------------------------------------
// Queues.
enum WDF_IO_QUEUE_DISPATCH_TYPE : std::int32_t {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential = 1,
    WdfIoQueueDispatchParallel = 2,
    WdfIoQueueDispatchManual = 3,
};

// Action flags of the queue stop callback.
inline constexpr ULONG WdfRequestStopActionSuspend = 0x1;
inline constexpr ULONG WdfRequestStopActionPurge = 0x2;
inline constexpr ULONG WdfRequestStopRequestCancelable = 0x10000000;

using PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL = void (*)(WDFQUEUE Queue, WDFREQUEST Request,
                                                    std::size_t OutputBufferLength,
                                                    std::size_t InputBufferLength, ULONG IoControlCode);
using PFN_WDF_IO_QUEUE_IO_STOP = void (*)(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
using PFN_WDF_IO_QUEUE_IO_RESUME = void (*)(WDFQUEUE Queue, WDFREQUEST Request);

struct WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;  // default: power-managed when the driver owns power policy
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
};
void WDF_IO_QUEUE_CONFIG_INIT(WDF_IO_QUEUE_CONFIG* Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType);
void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(WDF_IO_QUEUE_CONFIG* Config,
                                            WDF_IO_QUEUE_DISPATCH_TYPE DispatchType);

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, const WDF_IO_QUEUE_CONFIG* Config,
                          const WDF_OBJECT_ATTRIBUTES* QueueAttributes, WDFQUEUE* Queue);
WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue);
// Start: the queue presents (or accepts) requests again.
void WdfIoQueueStart(WDFQUEUE Queue);
// Stop: the queue keeps accepting requests but presents none; returns once
// every request delivered from it has been completed, forwarded or requeued.
void WdfIoQueueStopSynchronously(WDFQUEUE Queue);
// Purge: the queue cancels (STATUS_CANCELLED) every request waiting in it and
// every new one; returns once every request delivered from it is done.
void WdfIoQueuePurgeSynchronously(WDFQUEUE Queue);

// ---------------------------------------------------------------------------
// Requests.
enum WDF_REQUEST_TYPE : std::int32_t {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeDeviceControl = 0xE,
    WdfRequestTypeOther = 0xFF,
};

struct WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            std::size_t OutputBufferLength;
            std::size_t InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            std::size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Read, Write;
    } Parameters;
};
void WDF_REQUEST_PARAMETERS_INIT(WDF_REQUEST_PARAMETERS* Parameters);

void WdfRequestGetParameters(WDFREQUEST Request, WDF_REQUEST_PARAMETERS* Parameters);
// Both fail with STATUS_BUFFER_TOO_SMALL when the buffer is empty or shorter
// than MinimumRequiredSize.  Length may be null.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, std::size_t MinimumRequiredSize,
                                       PVOID* Buffer, std::size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, std::size_t MinimumRequiredSize,
                                        PVOID* Buffer, std::size_t* Length);
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request);
void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request);
void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);

// Parks a driver-owned request in another queue of the same device.
NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue);
// Puts a request retrieved from a manual queue back at the head of that queue.
NTSTATUS WdfRequestRequeue(WDFREQUEST Request);
// Walks a manual queue from its head.  FoundRequest is the tag of the previous
// find (nullptr to start); the returned tag carries a reference the caller
// releases with WdfObjectDereference.  STATUS_NO_MORE_ENTRIES at the end;
// STATUS_NOT_FOUND when FoundRequest is no longer in the queue.  FileObject,
// when given, restricts the walk to that file object's requests.
NTSTATUS WdfIoQueueFindRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest, WDFFILEOBJECT FileObject,
                               WDF_REQUEST_PARAMETERS* Parameters, WDFREQUEST* OutRequest);
// Takes a found request out of the queue; the caller owns it then.
// STATUS_NOT_FOUND when it has left the queue meanwhile.
NTSTATUS WdfIoQueueRetrieveFoundRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest,
                                        WDFREQUEST* OutRequest);
// Takes the request at the head of a manual queue (STATUS_NO_MORE_ENTRIES when empty).
NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest);

// ---------------------------------------------------------------------------
// Memory.
struct WDF_MEMORY_DESCRIPTOR {
    PVOID Buffer;
    ULONG Length;
};
void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(WDF_MEMORY_DESCRIPTOR* Descriptor, PVOID Buffer, ULONG Length);
PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, std::size_t* BufferSize);

struct WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;  // 100 ns units, negative = relative
};

// ---------------------------------------------------------------------------
// USB target.
enum WDF_USB_PIPE_TYPE : std::int32_t {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl = 1,
    WdfUsbPipeTypeIsochronous = 2,
    WdfUsbPipeTypeBulk = 3,
    WdfUsbPipeTypeInterrupt = 4,
};

struct WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
};
void WDF_USB_PIPE_INFORMATION_INIT(WDF_USB_PIPE_INFORMATION* Info);

union WDF_USB_CONTROL_SETUP_PACKET {
    struct {
        UCHAR bmRequestType;
        UCHAR bRequest;
        USHORT wValue;
        USHORT wIndex;
        USHORT wLength;
    } Packet;
    UCHAR Generic[8];
};

enum WDF_USB_BMREQUEST_DIRECTION : std::int32_t {
    BmRequestHostToDevice = 0,
    BmRequestDeviceToHost = 1,
};
enum WDF_USB_BMREQUEST_TYPE : std::int32_t {
    BmRequestStandard = 0,
    BmRequestClass = 1,
    BmRequestVendor = 2,
};
enum WDF_USB_BMREQUEST_RECIPIENT : std::int32_t {
    BmRequestToDevice = 0,
    BmRequestToInterface = 1,
    BmRequestToEndpoint = 2,
    BmRequestToOther = 3,
};
void WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(WDF_USB_CONTROL_SETUP_PACKET* Packet,
                                             WDF_USB_BMREQUEST_DIRECTION Direction,
                                             WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request,
                                             USHORT Value, USHORT Index);

using PFN_WDF_USB_READER_COMPLETION_ROUTINE = void (*)(WDFUSBPIPE Pipe, WDFMEMORY Buffer,
                                                       std::size_t NumBytesTransferred,
                                                       WDFCONTEXT Context);
using PFN_WDF_USB_READERS_FAILED = BOOLEAN (*)(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus);

struct WDF_USB_CONTINUOUS_READER_CONFIG {
    ULONG Size;
    std::size_t TransferLength;
    std::size_t HeaderLength;
    std::size_t TrailerLength;
    UCHAR NumPendingReads;
    const WDF_OBJECT_ATTRIBUTES* BufferAttributes;
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
    PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
};
void WDF_USB_CONTINUOUS_READER_CONFIG_INIT(WDF_USB_CONTINUOUS_READER_CONFIG* Config,
                                           PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtReadComplete,
                                           WDFCONTEXT Context, std::size_t TransferLength);

// Creates the USB target of the device's USB function (once per device).
NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, const WDF_OBJECT_ATTRIBUTES* Attributes,
                                  WDFUSBDEVICE* UsbDevice);
// Sends a control request without a data stage (MemoryDescriptor nullptr) or
// with one.  Request and RequestOptions may be nullptr (no time-out).
NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(
    WDFUSBDEVICE UsbDevice, WDFREQUEST Request, const WDF_REQUEST_SEND_OPTIONS* RequestOptions,
    WDF_USB_CONTROL_SETUP_PACKET* SetupPacket, WDF_MEMORY_DESCRIPTOR* MemoryDescriptor,
    ULONG* BytesTransferred);
// The configured interface with this index, or nullptr.
WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex);
BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);
// The configured pipe with this index (its information filled when given), or nullptr.
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            WDF_USB_PIPE_INFORMATION* PipeInfo);
BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe);
BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe);
WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe);
void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe);
// Configures the pipe's continuous reader: from WdfIoTargetStart on, it keeps
// NumPendingReads (one) reads of TransferLength bytes in flight and hands
// each completed transfer to the completion callback (the next read is issued
// after the callback returns).  A failed read calls the readers-failed
// callback; when that returns TRUE the pipe is reset and reading restarts.
NTSTATUS WdfUsbTargetPipeConfigContinuousReaders(WDFUSBPIPE Pipe,
                                                 WDF_USB_CONTINUOUS_READER_CONFIG* Config);
// Writes to a bulk OUT pipe and returns when the transfer is done.
NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            const WDF_REQUEST_SEND_OPTIONS* RequestOptions,
                                            WDF_MEMORY_DESCRIPTOR* MemoryDescriptor,
                                            ULONG* BytesWritten);

enum WDF_IO_TARGET_SENT_IO_ACTION : std::int32_t {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo = 1,
    WdfIoTargetWaitForSentIoToComplete = 2,
    WdfIoTargetLeaveSentIoPending = 3,
};
WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice);
WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);
// Starting a pipe with a continuous reader starts the reader.  Stopping the
// USB device's target stops all its pipes and fails further transfers with
// STATUS_INVALID_DEVICE_STATE.
NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget);
void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
