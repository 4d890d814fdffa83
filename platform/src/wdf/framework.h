// Internals of the driver framework (wdf.h, wdfhost.h).
//
// Handles.  A handle is not a pointer: it encodes a 64-bit object id (shifted
// left by four bits so that it never is null and looks aligned).  Every call
// looks the id up in the process-wide registry, so a handle of a deleted
// object, or any made-up value, is refused with a logged violation and never
// dereferenced.  Ids are never reused.
//
// Locks.  Each DriverHost owns one framework lock (Host::mu) that guards all
// framework state of its driver: objects' life flags and references, the
// device's Plug and Play and power state, queues and requests, file objects,
// USB targets and readers.  Host::cv is its condition variable for every
// waiter but the dispatchers; every state change notifies it and every
// waiter re-checks its own condition.  The request path (a request queued,
// presented, forwarded, requeued or completed) wakes only whom it concerns:
// each dispatch thread waits on its queue's own QueueObj::wake (with
// Host::mu), which the request path notifies with notify_one and the
// queue's other state changes (start, power start, deletion, exit) with
// notify_all; Host::cv is notified from the request path only when
// somebody waits on it for that change: the power thread for a request in a
// power-stopped queue or for a busy device that fell idle
// (powerWaitsForIdle), a stop, purge or power-down for the driver's
// requests to drain (drainWaiters).
// Lock order: Host::mu -> Registry lock -> Host::diagMu (history and
// violations) -> the trace back-end's own lock.  Driver callbacks, completion
// handlers and USB back-end calls are never made with Host::mu held.
//
// Threads.  Per device: one power thread that runs every Plug and Play and
// power callback (device add included) and the idle timer; one dispatch
// thread per queue with sequential or parallel dispatch; one reader thread
// per running continuous reader.
//
// Lifetime.  An object stays registered (its handle valid) while it is alive
// (not deleted, completed or closed) or referenced (driver references from
// WdfObjectReference and find tags, or internal ones such as a request's hold
// on its file object).  Requests and file objects (one per open) are freed
// once unregistered.  Devices, queues, USB and memory objects are kept in the
// host's graveyard instead, so that a context pointer the driver took before
// a removal stays readable while the driver's own threads finish with the
// device that went; they are freed when the next device is added (from its
// device add on, the driver serves only the new device) and when the
// DriverHost is destroyed.  So a host that has seen any number of devices
// come and go holds the objects of at most one removed device.  A driver must
// not use a context pointer of a removed device once the next device add has
// begun.
//
// A device's USB back-end is the device's: the framework lets go of it at the
// end of the device's removal (or of a failed start), after its readers have
// been joined and from when its transfers are refused, so the back-end closes
// what it holds (a serial port, a USB handle, a simulated modem) right then.
// A transfer that had already begun holds the back-end until it returns.
//
// Not provided: framework synchronisation scopes and execution levels (the
// driver's callbacks are never serialised by a framework lock beyond what
// the dispatch and power threads imply), stop acknowledgement and the
// EvtIoResume callback, parent objects other than the device.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gnss/platform/wdf.h"
#include "gnss/platform/wdfhost.h"

namespace gnss::fw::detail {

class Host;

enum class Kind : std::uint8_t { Driver, Device, Queue, Request, File, Memory, UsbDevice, UsbInterface, UsbPipe };
const char* KindName(Kind kind);

// ---------------------------------------------------------------------------
// Handle encoding.
inline constexpr unsigned kHandleShift = 4;

template <class H>
H MakeHandle(std::uint64_t id) {
    return reinterpret_cast<H>(static_cast<std::uintptr_t>(id) << kHandleShift);
}

inline std::uint64_t HandleId(const void* handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == 0 || (value & ((std::uintptr_t{1} << kHandleShift) - 1)) != 0) return 0;
    return static_cast<std::uint64_t>(value >> kHandleShift);
}

// ---------------------------------------------------------------------------
// Steps to run once the framework lock is released: driver callbacks,
// completion handlers, and the follow-up work that needs the lock again.
// Declare it before the lock so that it runs after the lock's release.
class Deferred {
public:
    Deferred() = default;
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;
    ~Deferred() { Run(); }
    void Add(std::function<void()> step) { steps_.push_back(std::move(step)); }
    void Run() {
        while (!steps_.empty()) {
            auto steps = std::move(steps_);
            steps_.clear();
            for (auto& step : steps) step();
        }
    }

private:
    std::vector<std::function<void()>> steps_;
};

// ---------------------------------------------------------------------------
// Objects.
struct Object : std::enable_shared_from_this<Object> {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    const Kind kind;
    std::uint64_t id = 0;       // set once at registration
    std::weak_ptr<Host> host;   // set once at registration

    // Guarded by the host lock.
    bool alive = true;
    bool registered = false;
    bool destroyCalled = false;
    int driverRefs = 0;
    int internalRefs = 0;

    // Fixed after creation.
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* contextType = nullptr;
    std::string contextName;
    std::size_t contextSize = 0;
    void* context = nullptr;

    WDFOBJECT Handle() const { return MakeHandle<WDFOBJECT>(id); }
    template <class H>
    H HandleAs() const {
        return MakeHandle<H>(id);
    }
    // Callbacks and a zero-filled context from the attributes (may be null).
    void ApplyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes);
    // True when the attributes ask for synchronisation the framework does not provide.
    static bool AsksForSynchronization(const WDF_OBJECT_ATTRIBUTES* attributes) {
        return attributes != nullptr && (attributes->SynchronizationScope == WdfSynchronizationScopeDevice ||
                                         attributes->SynchronizationScope == WdfSynchronizationScopeQueue);
    }
};

struct FileObj;
struct QueueObj;
struct RequestObj;
struct UsbDeviceObj;
struct UsbPipeObj;

struct DriverObj : Object {
    static bool Accepts(Kind k) { return k == Kind::Driver; }
    DriverObj() : Object(Kind::Driver) {}
    WDF_DRIVER_CONFIG config{};
};

struct DeviceObj : Object {
    static bool Accepts(Kind k) { return k == Kind::Device; }
    DeviceObj() : Object(Kind::Device) {}

    bool powerPolicyOwner = true;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    bool hasFileConfig = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    WDF_DEVICE_PNP_CAPABILITIES capabilities{};
    std::vector<GUID> interfaces;

    std::vector<std::shared_ptr<QueueObj>> queues;
    std::shared_ptr<QueueObj> defaultQueue;
    std::shared_ptr<UsbDeviceObj> usb;

    // Idle policy, enforced once assigned.
    bool idleAssigned = false;
    bool idleEnabled = false;
    bool powerUpOnSystemWake = false;
    std::chrono::milliseconds idleTimeout{0};  // scaled by the time scale
    ULONG idleTimeoutMs = 0;                   // as the driver assigned it
    WDF_POWER_DEVICE_STATE idleState = WdfPowerDeviceD3;
    int stopIdleRefs = 0;
};

struct QueueObj : Object {
    static bool Accepts(Kind k) { return k == Kind::Queue; }
    QueueObj() : Object(Kind::Queue) {}

    enum class State { Started, Stopped, Purged };

    std::weak_ptr<DeviceObj> device;
    WDFDEVICE deviceHandle = nullptr;
    WDF_IO_QUEUE_CONFIG config{};
    bool powerManaged = false;
    State state = State::Started;  // the driver's start/stop/purge
    bool powerStopped = false;     // the framework's power stop
    std::deque<std::shared_ptr<RequestObj>> waiting;
    std::vector<std::shared_ptr<RequestObj>> owned;  // delivered, still with the driver
    bool exit = false;
    std::condition_variable wake;  // its dispatch thread waits here (see Locks)
    std::thread dispatcher;
    std::thread::id dispatcherId;

    bool Manual() const { return config.DispatchType == WdfIoQueueDispatchManual; }
};

struct FileObj : Object {
    static bool Accepts(Kind k) { return k == Kind::File; }
    FileObj() : Object(Kind::File) {}
    FileId fid = 0;
    bool open = false;
};

struct RequestObj : Object {
    static bool Accepts(Kind k) { return k == Kind::Request; }
    RequestObj() : Object(Kind::Request) {}

    enum class State { Owned, Queued, Completed };

    RequestId rid = 0;
    WDF_REQUEST_TYPE type = WdfRequestTypeDeviceControl;
    ULONG code = 0;
    std::size_t inputLength = 0;
    std::size_t outputLength = 0;
    std::vector<std::uint8_t> input;   // a copy of the sender's input
    std::vector<std::uint8_t> output;  // zero-filled, the output length, once retrieved (else empty)
    ULONG_PTR information = 0;
    std::shared_ptr<FileObj> file;
    State state = State::Owned;
    std::shared_ptr<QueueObj> queue;  // Queued: the queue it waits in
    std::shared_ptr<QueueObj> owner;  // Owned: the queue that delivered it
    CompletionHandler handler;
};

struct MemoryObj : Object {
    static bool Accepts(Kind k) { return k == Kind::Memory; }
    MemoryObj() : Object(Kind::Memory) {}
    std::vector<std::uint8_t> bytes;  // never resized after creation
};

struct UsbInterfaceObj : Object {
    static bool Accepts(Kind k) { return k == Kind::UsbInterface; }
    UsbInterfaceObj() : Object(Kind::UsbInterface) {}
    UCHAR number = 0;
    std::vector<std::shared_ptr<UsbPipeObj>> pipes;
};

struct UsbDeviceObj : Object {
    static bool Accepts(Kind k) { return k == Kind::UsbDevice; }
    UsbDeviceObj() : Object(Kind::UsbDevice) {}
    std::shared_ptr<UsbBackend> backend;
    bool started = true;
    std::vector<std::shared_ptr<UsbInterfaceObj>> interfaces;
};

struct UsbPipeObj : Object {
    static bool Accepts(Kind k) { return k == Kind::UsbPipe; }
    UsbPipeObj() : Object(Kind::UsbPipe) {}
    std::weak_ptr<UsbDeviceObj> usb;
    std::shared_ptr<UsbBackend> backend;
    UsbPipeDescriptor desc{};
    bool started = true;
    bool noMaximumPacketSizeCheck = false;

    // Continuous reader.
    bool readerConfigured = false;
    WDF_USB_CONTINUOUS_READER_CONFIG readerConfig{};
    std::shared_ptr<MemoryObj> readerBuffer;
    std::thread reader;
    std::thread::id readerId;
    bool readerRunning = false;  // a reader thread was started and not yet joined
    bool readerStop = false;
    bool readerExited = true;
    bool readInFlight = false;
    std::uint64_t readerGeneration = 0;

    bool In() const { return (desc.EndpointAddress & 0x80) != 0; }
};

// Any object (generic calls) and I/O targets (USB device or pipe).
struct AnyObject {
    static bool Accepts(Kind) { return true; }
};
struct AnyIoTarget {
    static bool Accepts(Kind k) { return k == Kind::UsbDevice || k == Kind::UsbPipe; }
};

// ---------------------------------------------------------------------------
// The registry of live objects and of the raw records handed to the driver
// (driver objects, device init records).
class Registry {
public:
    static Registry& Instance();

    void Add(const std::shared_ptr<Object>& object);
    void Remove(const Object& object);
    std::shared_ptr<Object> Find(std::uint64_t id);
    // For an id that was registered once: its kind and host.
    bool Tombstone(std::uint64_t id, Kind* kind, std::shared_ptr<Host>* host);

    void AddHost(const std::shared_ptr<Host>& host);
    void RemoveHost(const Host* host);
    std::vector<std::shared_ptr<Host>> Hosts();

    void AddRecord(const void* record, const std::shared_ptr<Host>& host);
    void RemoveRecord(const void* record);
    std::shared_ptr<Host> RecordHost(const void* record);

private:
    struct Tomb {
        Kind kind;
        std::weak_ptr<Host> host;
    };
    std::mutex mu_;
    std::uint64_t nextId_ = 0x1000;
    std::unordered_map<std::uint64_t, std::shared_ptr<Object>> live_;
    std::unordered_map<std::uint64_t, Tomb> tombs_;
    std::deque<std::uint64_t> tombOrder_;
    std::vector<std::weak_ptr<Host>> hosts_;
    std::unordered_map<const void*, std::weak_ptr<Host>> records_;
};

// Looks a handle up without taking any host lock; logs a violation naming
// `api` and returns nulls when the handle is unknown or of another kind.
struct Resolved {
    std::shared_ptr<Object> object;
    std::shared_ptr<Host> host;
};
Resolved ResolveHandle(const void* handle, const char* api, bool (*accepts)(Kind), const char* expected);

template <class T>
struct ObjectType {
    using type = T;
};
template <>
struct ObjectType<AnyObject> {
    using type = Object;
};
template <>
struct ObjectType<AnyIoTarget> {
    using type = Object;
};

// A resolved object with the host lock held.
template <class T>
struct Access {
    std::shared_ptr<typename ObjectType<T>::type> obj;
    std::shared_ptr<Host> host;
    std::unique_lock<std::mutex> lock;
    explicit operator bool() const { return obj != nullptr; }
    typename ObjectType<T>::type* operator->() const { return obj.get(); }
};

enum class Need { Alive, Registered };

// ---------------------------------------------------------------------------
enum class Pnp { None, Adding, Started, Removing, Removed };
enum class Pwr { Off, Entering, D0, Leaving, D3 };

struct PowerOp {
    enum class Type { Start, Remove, Surprise, Sleep, Resume };
    Type type;
    std::uint64_t generation = 0;
    bool done = false;
    NTSTATUS status = STATUS_SUCCESS;
};

class Host : public std::enable_shared_from_this<Host> {
public:
    Host();
    ~Host();

    mutable std::mutex mu;
    mutable std::condition_variable cv;

    // --- diagnostics -------------------------------------------------------
    void Violation(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void RecordCallback(std::string name);
    std::vector<std::string> ViolationList() const;
    std::vector<std::string> History() const;

    // --- objects (host lock held) -------------------------------------------
    void RegisterLocked(const std::shared_ptr<Object>& object);
    // Marks the object deleted and queues its cleanup callback; it is
    // unregistered once unreferenced.
    void KillLocked(const std::shared_ptr<Object>& object, Deferred& deferred);
    // Unregisters a dead object once nothing references it.
    void ReleaseLocked(const std::shared_ptr<Object>& object, Deferred& deferred);
    // Checks an object resolved earlier against the held lock.
    bool UsableLocked(const Object& object, const char* api, const void* handle, Need need);

    // --- requests (host lock held) ------------------------------------------
    void CompleteLocked(const std::shared_ptr<RequestObj>& request, NTSTATUS status, ULONG_PTR information,
                        Deferred& deferred);
    void ReleaseOwnershipLocked(RequestObj& request);
    // Puts a request into a queue (tail or head).  A request of a closed file
    // or a queue that no longer accepts requests is cancelled instead.
    void EnqueueLocked(const std::shared_ptr<QueueObj>& queue, const std::shared_ptr<RequestObj>& request,
                       bool atHead, Deferred& deferred);
    void CancelWaitingLocked(QueueObj& queue, Deferred& deferred, const FileObj* onlyFile = nullptr);
    void StartDispatcherLocked(const std::shared_ptr<QueueObj>& queue);
    void DispatchLoop(std::shared_ptr<QueueObj> queue);
    bool CanPresentLocked(const QueueObj& queue) const;
    // Wakes the power thread when it waits for a busy device to fall idle
    // and the device now is idle (its idle time-out starts).
    void WakeIfIdleLocked();
    void DeleteQueueLocked(const std::shared_ptr<QueueObj>& queue, Deferred& deferred);

    // --- power (host lock held) ---------------------------------------------
    bool BusyLocked() const;
    void TouchIdleLocked();
    bool InD0Locked() const { return pnp == Pnp::Started && pwr == Pwr::D0; }
    bool OnPowerThread() const { return std::this_thread::get_id() == powerThreadId; }

    // --- USB (host lock held; may release it while waiting) ------------------
    void StartReaderLocked(const std::shared_ptr<UsbPipeObj>& pipe);
    void StopReaderLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<UsbPipeObj>& pipe,
                          WDF_IO_TARGET_SENT_IO_ACTION action);
    void ReaderLoop(std::shared_ptr<UsbPipeObj> pipe, std::uint64_t generation);
    void DeleteUsbDeviceLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<UsbDeviceObj>& usb,
                               Deferred& deferred);
    // Takes the back-end away from a deleted USB target and its pipes; the
    // caller drops the references without the lock.
    static void TakeUsbBackendsLocked(UsbDeviceObj& usb, std::vector<std::shared_ptr<UsbBackend>>& out);

    // --- host-facing operations --------------------------------------------
    NTSTATUS LoadDriver(PFN_DRIVER_ENTRY entry, const std::string& registryPath);
    NTSTATUS LoadDriverModule(const std::string& path, const std::string& registryPath);
    void UnloadDriver();
    NTSTATUS AddDevice(std::shared_ptr<UsbBackend> usb);
    NTSTATUS PostAndWait(PowerOp::Type type);
    void OnBackendRemoved(std::uint64_t generation);
    bool WaitForVisible(DevicePowerState state, DWORD timeoutMs) const;
    NTSTATUS OpenFile(FileId* file);
    void CloseFile(FileId file);
    NTSTATUS SubmitDeviceControl(FileId file, ULONG code, const void* input, std::size_t inputLength,
                                 std::size_t outputLength, CompletionHandler handler, RequestId* id);
    bool CancelRequest(RequestId id);
    void Shutdown();

    // --- power thread --------------------------------------------------------
    void PowerLoop();
    NTSTATUS StartLocked(std::unique_lock<std::mutex>& lock);
    void AbandonStartLocked();
    NTSTATUS RemoveLocked(std::unique_lock<std::mutex>& lock, bool surprise);
    NTSTATUS SleepLocked(std::unique_lock<std::mutex>& lock);
    NTSTATUS ResumeLocked(std::unique_lock<std::mutex>& lock);
    NTSTATUS GoUpLocked(std::unique_lock<std::mutex>& lock, WDF_POWER_DEVICE_STATE previous);
    void GoDownLocked(std::unique_lock<std::mutex>& lock, WDF_POWER_DEVICE_STATE target, ULONG stopFlags);
    void IdleOutLocked(std::unique_lock<std::mutex>& lock);
    void PowerStartQueuesLocked();
    void PowerStopQueuesLocked();
    void TearDownLocked(std::unique_lock<std::mutex>& lock, bool flush, bool cleanup);
    void FinishDeviceLocked(std::unique_lock<std::mutex>& lock, bool announce);
    void CloseFileLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<FileObj>& file);
    void JoinPowerThread(std::unique_lock<std::mutex>& lock);
    // Empties the graveyard: threads a driver never let end are let go and the
    // links between the objects cut.  The caller frees them without the lock.
    std::vector<std::shared_ptr<Object>> TakeGraveyardLocked();

    // --- state (guarded by mu) ---------------------------------------------
    std::unique_ptr<DRIVER_OBJECT> driverObject;
    std::shared_ptr<DriverObj> driver;
    std::vector<void*> modules;  // closed when the host is destroyed

    Pnp pnp = Pnp::None;
    Pwr pwr = Pwr::Off;
    bool sleeping = false;
    bool d0BeforeSleep = false;
    DevicePowerState visible = DevicePowerState::None;
    std::shared_ptr<DeviceObj> device;
    std::unique_ptr<WDFDEVICE_INIT> pendingInit;
    bool initConsumed = false;
    std::shared_ptr<UsbBackend> backend;
    std::uint64_t generation = 0;
    std::deque<std::shared_ptr<PowerOp>> ops;
    bool powerThreadRunning = false;
    std::thread powerThread;
    std::thread::id powerThreadId;
    std::chrono::steady_clock::time_point idleSince{};  // the last time the device fell idle
    std::chrono::steady_clock::time_point idleDeadline{};
    static constexpr std::size_t kKeptIdleOuts = 64;
    std::vector<IdleOut> idleOuts;  // the latest idle-outs of this host's devices, in order
    bool powerWaitsForIdle = false;  // the power thread waits, untimed, for a busy device
    int drainWaiters = 0;            // threads waiting for queues' owned requests to drain
    int activeOpens = 0;
    int activeCloses = 0;
    std::function<void()> removedHandler;

    std::unordered_map<FileId, std::shared_ptr<FileObj>> files;
    FileId nextFile = 1;
    std::unordered_map<RequestId, std::shared_ptr<RequestObj>> requests;
    RequestId nextRequest = 1;
    std::vector<std::shared_ptr<Object>> graveyard;  // see Lifetime above

private:
    mutable std::mutex diagMu_;
    std::vector<std::string> violations_;
    std::vector<std::string> history_;
};

// Resolves a handle and takes its host's lock; logs a violation and returns
// an empty access when the handle is unknown, of another kind, or (with
// Need::Alive) refers to a deleted or completed object.
template <class T>
Access<T> Acquire(const void* handle, const char* api, const char* expected, Need need = Need::Alive) {
    Resolved r = ResolveHandle(handle, api, &T::Accepts, expected);
    if (!r.object) return {};
    Access<T> access;
    access.lock = std::unique_lock<std::mutex>(r.host->mu);
    if (!r.host->UsableLocked(*r.object, api, handle, need)) return {};
    access.obj = std::static_pointer_cast<typename ObjectType<T>::type>(r.object);
    access.host = std::move(r.host);
    return access;
}

// Resolves a second handle while the host lock of the first is held.
template <class T>
std::shared_ptr<T> AcquireAlso(Host& host, const void* handle, const char* api, const char* expected,
                               Need need = Need::Alive) {
    Resolved r = ResolveHandle(handle, api, &T::Accepts, expected);
    if (!r.object) return nullptr;
    if (r.host.get() != &host) {
        host.Violation("%s: handle %p belongs to another driver host", api, handle);
        return nullptr;
    }
    if (!host.UsableLocked(*r.object, api, handle, need)) return nullptr;
    return std::static_pointer_cast<T>(r.object);
}

const char* PowerStateName(WDF_POWER_DEVICE_STATE state);

}  // namespace gnss::fw::detail

// The records the driver receives from the host.
struct DRIVER_OBJECT {
    std::weak_ptr<gnss::fw::detail::Host> host;
};

struct WDFDEVICE_INIT {
    bool powerPolicyOwner = true;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    bool hasFileConfig = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
};
