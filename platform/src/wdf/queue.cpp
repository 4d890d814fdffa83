// Queues and requests: dispatch, driver start/stop/purge, forwarding, the
// find/retrieve/requeue walk of manual queues, buffered I/O and completion.
#include <cstring>

#include "framework.h"

namespace gnss::fw::detail {

// ---------------------------------------------------------------------------
// Request state changes (host lock held).
void Host::ReleaseOwnershipLocked(RequestObj& request) {
    if (request.state != RequestObj::State::Owned || request.owner == nullptr) return;
    auto owner = std::move(request.owner);
    request.owner.reset();
    std::erase_if(owner->owned, [&](const std::shared_ptr<RequestObj>& r) { return r.get() == &request; });
    if (owner->powerManaged) TouchIdleLocked();
    owner->wake.notify_one();  // a sequential queue presents its next request
    if (drainWaiters > 0) cv.notify_all();
}

void Host::WakeIfIdleLocked() {
    if (powerWaitsForIdle && !BusyLocked()) cv.notify_all();
}

void Host::CompleteLocked(const std::shared_ptr<RequestObj>& request, NTSTATUS status, ULONG_PTR information,
                          Deferred& deferred) {
    ReleaseOwnershipLocked(*request);
    if (request->state == RequestObj::State::Queued && request->queue != nullptr) {
        auto& waiting = request->queue->waiting;
        std::erase_if(waiting, [&](const std::shared_ptr<RequestObj>& r) { return r == request; });
        if (request->queue->powerManaged) TouchIdleLocked();
        request->queue.reset();
    }
    request->state = RequestObj::State::Completed;
    requests.erase(request->rid);

    Completion completion;
    completion.id = request->rid;
    completion.status = status;
    completion.information = information;
    if (request->type == WdfRequestTypeDeviceControl) {
        // A buffer the driver never asked for reads as zeros, as it would have.
        const std::size_t n = std::min<std::size_t>(information, request->outputLength);
        if (request->output.empty())
            completion.output.assign(n, 0);
        else
            completion.output.assign(request->output.begin(), request->output.begin() + static_cast<std::ptrdiff_t>(n));
    }
    // The buffers are done with; the request object may outlive its completion
    // (a tag reference of the driver's) and need not keep them.
    std::vector<std::uint8_t>().swap(request->input);
    std::vector<std::uint8_t>().swap(request->output);
    if (request->handler) {
        deferred.Add([handler = std::move(request->handler), completion = std::move(completion)] { handler(completion); });
    }
    request->handler = nullptr;
    WakeIfIdleLocked();
    KillLocked(request, deferred);
}

void Host::EnqueueLocked(const std::shared_ptr<QueueObj>& queue, const std::shared_ptr<RequestObj>& request,
                         bool atHead, Deferred& deferred) {
    request->state = RequestObj::State::Queued;
    request->queue = queue;
    if (!queue->alive || queue->state == QueueObj::State::Purged ||
        (request->file != nullptr && !request->file->open)) {
        CompleteLocked(request, STATUS_CANCELLED, 0, deferred);
        return;
    }
    if (atHead)
        queue->waiting.push_front(request);
    else
        queue->waiting.push_back(request);
    queue->wake.notify_one();
    // In D3 the power thread brings the device back for it.
    if (queue->powerStopped) cv.notify_all();
}

void Host::CancelWaitingLocked(QueueObj& queue, Deferred& deferred, const FileObj* onlyFile) {
    std::vector<std::shared_ptr<RequestObj>> victims;
    for (auto& r : queue.waiting)
        if (onlyFile == nullptr || r->file.get() == onlyFile) victims.push_back(r);
    for (auto& r : victims) CompleteLocked(r, STATUS_CANCELLED, 0, deferred);
}

// ---------------------------------------------------------------------------
// Dispatch.
bool Host::CanPresentLocked(const QueueObj& queue) const {
    if (!queue.alive || queue.state != QueueObj::State::Started || queue.powerStopped || queue.waiting.empty())
        return false;
    return queue.config.DispatchType == WdfIoQueueDispatchParallel || queue.owned.empty();
}

void Host::StartDispatcherLocked(const std::shared_ptr<QueueObj>& queue) {
    auto self = shared_from_this();
    queue->dispatcher = std::thread([self, queue] { self->DispatchLoop(queue); });
    queue->dispatcherId = queue->dispatcher.get_id();
}

void Host::DispatchLoop(std::shared_ptr<QueueObj> queue) {
    std::unique_lock lock(mu);
    for (;;) {
        queue->wake.wait(lock, [&] { return queue->exit || CanPresentLocked(*queue); });
        if (queue->exit) break;
        std::shared_ptr<RequestObj> request = queue->waiting.front();
        queue->waiting.pop_front();
        request->state = RequestObj::State::Owned;
        request->queue.reset();
        request->owner = queue;
        queue->owned.push_back(request);
        const auto callback = queue->config.EvtIoDeviceControl;
        const WDFQUEUE queueHandle = queue->HandleAs<WDFQUEUE>();
        const WDFREQUEST requestHandle = request->HandleAs<WDFREQUEST>();
        const std::size_t out = request->outputLength, in = request->inputLength;
        const ULONG code = request->code;
        request.reset();
        lock.unlock();
        if (callback != nullptr) {
            callback(queueHandle, requestHandle, out, in, code);
        } else {
            WdfRequestComplete(requestHandle, STATUS_INVALID_DEVICE_REQUEST);
        }
        lock.lock();
    }
}

void Host::DeleteQueueLocked(const std::shared_ptr<QueueObj>& queue, Deferred& deferred) {
    if (!queue->alive) return;
    CancelWaitingLocked(*queue, deferred);
    queue->exit = true;
    KillLocked(queue, deferred);
    if (queue->powerManaged) TouchIdleLocked();
    queue->wake.notify_all();
    cv.notify_all();
    Note("queue %p deleted", static_cast<void*>(queue->Handle()));
}

}  // namespace gnss::fw::detail

// ===========================================================================
// Driver-facing calls.
using namespace gnss::fw::detail;

namespace {

bool OnDispatcherOf(const QueueObj& queue) { return std::this_thread::get_id() == queue.dispatcherId; }

void FillParameters(const RequestObj& request, WDF_REQUEST_PARAMETERS* parameters) {
    if (parameters == nullptr) return;
    const USHORT size = parameters->Size;
    *parameters = WDF_REQUEST_PARAMETERS{};
    parameters->Size = size;
    parameters->Type = request.type;
    if (request.type == WdfRequestTypeDeviceControl) {
        parameters->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        parameters->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
        parameters->Parameters.DeviceIoControl.IoControlCode = request.code;
    }
}

}  // namespace

void WDF_IO_QUEUE_CONFIG_INIT(WDF_IO_QUEUE_CONFIG* Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    if (Config == nullptr) return;
    *Config = WDF_IO_QUEUE_CONFIG{};
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->DispatchType = DispatchType;
    Config->PowerManaged = WdfUseDefault;
}

void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(WDF_IO_QUEUE_CONFIG* Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    if (Config != nullptr) Config->DefaultQueue = TRUE;
}

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, const WDF_IO_QUEUE_CONFIG* Config, const WDF_OBJECT_ATTRIBUTES* QueueAttributes,
                          WDFQUEUE* Queue) {
    if (Queue != nullptr) *Queue = nullptr;
    auto a = Acquire<DeviceObj>(Device, "WdfIoQueueCreate", "device");
    if (!a) return STATUS_INVALID_HANDLE;
    Host& host = *a.host;
    if (Config == nullptr || Config->DispatchType < WdfIoQueueDispatchSequential ||
        Config->DispatchType > WdfIoQueueDispatchManual)
        return STATUS_INVALID_PARAMETER;
    if (host.device != a.obj || host.pnp == Pnp::Removing || host.pnp == Pnp::Removed)
        return STATUS_INVALID_DEVICE_STATE;
    if (Config->DefaultQueue && a->defaultQueue != nullptr && a->defaultQueue->alive) {
        host.Error("WdfIoQueueCreate: the device already has a default queue");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto queue = std::make_shared<QueueObj>();
    queue->device = a.obj;
    queue->deviceHandle = a->HandleAs<WDFDEVICE>();
    queue->config = *Config;
    queue->powerManaged = Config->PowerManaged == WdfTrue || (Config->PowerManaged == WdfUseDefault && a->powerPolicyOwner);
    queue->powerStopped = queue->powerManaged && !host.InD0Locked();
    queue->ApplyAttributes(QueueAttributes);
    if (Object::AsksForSynchronization(QueueAttributes))
        host.Error("WdfIoQueueCreate: synchronisation scopes are not provided; callbacks are not serialised");
    host.RegisterLocked(queue);
    a->queues.push_back(queue);
    if (Config->DefaultQueue) a->defaultQueue = queue;
    if (!queue->Manual()) host.StartDispatcherLocked(queue);
    static const char* const kTypes[] = {"?", "sequential", "parallel", "manual"};
    host.Note("queue %p created: %s%s, %s", static_cast<void*>(queue->Handle()), kTypes[Config->DispatchType],
              Config->DefaultQueue ? " default" : "", queue->powerManaged ? "power-managed" : "not power-managed");
    if (Queue != nullptr) *Queue = queue->HandleAs<WDFQUEUE>();
    return STATUS_SUCCESS;
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
    auto a = Acquire<DeviceObj>(Device, "WdfDeviceGetDefaultQueue", "device");
    if (!a || a->defaultQueue == nullptr || !a->defaultQueue->alive) return nullptr;
    return a->defaultQueue->HandleAs<WDFQUEUE>();
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    auto a = Acquire<QueueObj>(Queue, "WdfIoQueueGetDevice", "queue");
    return a ? a->deviceHandle : nullptr;
}

void WdfIoQueueStart(WDFQUEUE Queue) {
    auto a = Acquire<QueueObj>(Queue, "WdfIoQueueStart", "queue");
    if (!a) return;
    a->state = QueueObj::State::Started;
    a->wake.notify_all();
    a.host->cv.notify_all();
}

void WdfIoQueueStopSynchronously(WDFQUEUE Queue) {
    auto a = Acquire<QueueObj>(Queue, "WdfIoQueueStopSynchronously", "queue");
    if (!a) return;
    a->state = QueueObj::State::Stopped;
    a.host->cv.notify_all();
    if (OnDispatcherOf(*a.obj)) {
        a.host->Violation("WdfIoQueueStopSynchronously: called on the queue's own dispatch thread; not waiting");
        return;
    }
    auto queue = a.obj;
    a.host->drainWaiters++;
    a.host->cv.wait(a.lock, [&] { return queue->owned.empty() || !queue->alive; });
    a.host->drainWaiters--;
}

void WdfIoQueuePurgeSynchronously(WDFQUEUE Queue) {
    Deferred deferred;
    auto a = Acquire<QueueObj>(Queue, "WdfIoQueuePurgeSynchronously", "queue");
    if (!a) return;
    auto queue = a.obj;
    Host& host = *a.host;
    queue->state = QueueObj::State::Purged;
    host.CancelWaitingLocked(*queue, deferred);
    host.cv.notify_all();
    // Completion handlers run before the wait, without the lock.
    a.lock.unlock();
    deferred.Run();
    a.lock.lock();
    if (OnDispatcherOf(*queue)) {
        host.Violation("WdfIoQueuePurgeSynchronously: called on the queue's own dispatch thread; not waiting");
        return;
    }
    host.drainWaiters++;
    host.cv.wait(a.lock, [&] { return queue->owned.empty() || !queue->alive; });
    host.drainWaiters--;
}

// ---------------------------------------------------------------------------
// Requests.
void WDF_REQUEST_PARAMETERS_INIT(WDF_REQUEST_PARAMETERS* Parameters) {
    if (Parameters == nullptr) return;
    *Parameters = WDF_REQUEST_PARAMETERS{};
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

void WdfRequestGetParameters(WDFREQUEST Request, WDF_REQUEST_PARAMETERS* Parameters) {
    auto a = Acquire<RequestObj>(Request, "WdfRequestGetParameters", "request");
    if (!a) return;
    FillParameters(*a.obj, Parameters);
}

namespace {

NTSTATUS RetrieveBuffer(WDFREQUEST handle, const char* api, bool input, std::size_t minimum, PVOID* buffer,
                        std::size_t* length) {
    if (buffer != nullptr) *buffer = nullptr;
    if (length != nullptr) *length = 0;
    auto a = Acquire<RequestObj>(handle, api, "request");
    if (!a) return STATUS_INVALID_HANDLE;
    if (a->state != RequestObj::State::Owned) {
        a.host->Violation("%s: request %p is waiting in a queue, not owned by the driver", api,
                          static_cast<void*>(handle));
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
    const std::size_t available = input ? a->inputLength : a->outputLength;
    if (available == 0 || available < minimum) return STATUS_BUFFER_TOO_SMALL;
    // The output buffer is made when the driver first asks for it: a parked
    // request that waits with a large buffer holds none until it is answered.
    if (!input && a->output.empty()) a->output.assign(available, 0);
    *buffer = input ? a->input.data() : a->output.data();
    if (length != nullptr) *length = available;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, std::size_t MinimumRequiredSize, PVOID* Buffer,
                                       std::size_t* Length) {
    return RetrieveBuffer(Request, "WdfRequestRetrieveInputBuffer", true, MinimumRequiredSize, Buffer, Length);
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, std::size_t MinimumRequiredSize, PVOID* Buffer,
                                        std::size_t* Length) {
    return RetrieveBuffer(Request, "WdfRequestRetrieveOutputBuffer", false, MinimumRequiredSize, Buffer, Length);
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request) {
    auto a = Acquire<RequestObj>(Request, "WdfRequestGetFileObject", "request");
    if (!a || a->file == nullptr) return nullptr;
    return a->file->HandleAs<WDFFILEOBJECT>();
}

void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    auto a = Acquire<RequestObj>(Request, "WdfRequestSetInformation", "request");
    if (!a) return;
    a->information = Information;
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
    auto a = Acquire<RequestObj>(Request, "WdfRequestGetInformation", "request");
    return a ? a->information : 0;
}

namespace {

void Complete(WDFREQUEST handle, const char* api, NTSTATUS status, const ULONG_PTR* information) {
    Deferred deferred;
    auto a = Acquire<RequestObj>(handle, api, "request", Need::Registered);
    if (!a) return;
    Host& host = *a.host;
    auto request = a.obj;
    if (request->state == RequestObj::State::Completed) {
        host.Violation("%s: request %p was already completed; the second completion is refused", api,
                       static_cast<void*>(handle));
        return;
    }
    if (request->state == RequestObj::State::Queued) {
        host.Violation("%s: request %p is still waiting in a queue; the completion is refused", api,
                       static_cast<void*>(handle));
        return;
    }
    if (status == STATUS_PENDING) {
        host.Violation("%s: request %p completed with STATUS_PENDING; the completion is refused", api,
                       static_cast<void*>(handle));
        return;
    }
    host.CompleteLocked(request, status, information != nullptr ? *information : request->information, deferred);
}

}  // namespace

void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    Complete(Request, "WdfRequestComplete", Status, nullptr);
}

void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    Complete(Request, "WdfRequestCompleteWithInformation", Status, &Information);
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue) {
    Deferred deferred;
    constexpr const char* api = "WdfRequestForwardToIoQueue";
    auto a = Acquire<RequestObj>(Request, api, "request");
    if (!a) return STATUS_INVALID_HANDLE;
    Host& host = *a.host;
    auto request = a.obj;
    auto queue = AcquireAlso<QueueObj>(host, DestinationQueue, api, "queue");
    if (queue == nullptr) return STATUS_INVALID_HANDLE;
    if (request->state != RequestObj::State::Owned) {
        host.Violation("%s: request %p is not owned by the driver", api, static_cast<void*>(Request));
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (request->type != WdfRequestTypeDeviceControl) return STATUS_INVALID_DEVICE_REQUEST;
    if (request->owner == queue) return STATUS_INVALID_DEVICE_REQUEST;
    if (request->owner != nullptr && request->owner->device.lock() != queue->device.lock()) {
        host.Violation("%s: queue %p belongs to another device", api, static_cast<void*>(DestinationQueue));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (queue->state == QueueObj::State::Purged) return STATUS_INVALID_DEVICE_STATE;
    host.ReleaseOwnershipLocked(*request);
    host.EnqueueLocked(queue, request, false, deferred);
    host.WakeIfIdleLocked();  // into a queue that is not power-managed
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRequeue(WDFREQUEST Request) {
    Deferred deferred;
    constexpr const char* api = "WdfRequestRequeue";
    auto a = Acquire<RequestObj>(Request, api, "request");
    if (!a) return STATUS_INVALID_HANDLE;
    Host& host = *a.host;
    auto request = a.obj;
    if (request->state != RequestObj::State::Owned) {
        host.Violation("%s: request %p is not owned by the driver", api, static_cast<void*>(Request));
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto queue = request->owner;
    if (queue == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (!queue->alive || queue->state == QueueObj::State::Purged) return STATUS_INVALID_DEVICE_STATE;
    host.ReleaseOwnershipLocked(*request);
    host.EnqueueLocked(queue, request, true, deferred);
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoQueueFindRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest, WDFFILEOBJECT FileObject,
                               WDF_REQUEST_PARAMETERS* Parameters, WDFREQUEST* OutRequest) {
    constexpr const char* api = "WdfIoQueueFindRequest";
    if (OutRequest != nullptr) *OutRequest = nullptr;
    auto a = Acquire<QueueObj>(Queue, api, "queue");
    if (!a) return STATUS_INVALID_HANDLE;
    if (OutRequest == nullptr) return STATUS_INVALID_PARAMETER;
    Host& host = *a.host;
    auto& waiting = a->waiting;
    auto it = waiting.begin();
    if (FoundRequest != nullptr) {
        auto previous = AcquireAlso<RequestObj>(host, FoundRequest, api, "request", Need::Registered);
        if (previous == nullptr) return STATUS_INVALID_HANDLE;
        it = std::find(waiting.begin(), waiting.end(), previous);
        if (it == waiting.end()) return STATUS_NOT_FOUND;
        ++it;
    }
    std::shared_ptr<FileObj> file;
    if (FileObject != nullptr) {
        file = AcquireAlso<FileObj>(host, FileObject, api, "file object", Need::Registered);
        if (file == nullptr) return STATUS_INVALID_HANDLE;
    }
    for (; it != waiting.end(); ++it) {
        if (file != nullptr && (*it)->file != file) continue;
        (*it)->driverRefs++;  // the tag's reference
        FillParameters(**it, Parameters);
        *OutRequest = (*it)->HandleAs<WDFREQUEST>();
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MORE_ENTRIES;
}

namespace {

NTSTATUS CheckRetrievable(Host& host, const QueueObj& queue, const char* api) {
    if (!queue.Manual()) {
        host.Violation("%s: queue %p does not use manual dispatch", api, static_cast<void*>(queue.Handle()));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (queue.state == QueueObj::State::Stopped || queue.powerStopped) return STATUS_INVALID_DEVICE_STATE;
    return STATUS_SUCCESS;
}

void TakeOut(const std::shared_ptr<QueueObj>& queue, const std::shared_ptr<RequestObj>& request) {
    std::erase_if(queue->waiting, [&](const std::shared_ptr<RequestObj>& r) { return r == request; });
    request->state = RequestObj::State::Owned;
    request->queue.reset();
    request->owner = queue;
    queue->owned.push_back(request);
    // Nobody waits for this: the device stays busy, and a manual queue has no dispatcher.
}

}  // namespace

NTSTATUS WdfIoQueueRetrieveFoundRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest, WDFREQUEST* OutRequest) {
    constexpr const char* api = "WdfIoQueueRetrieveFoundRequest";
    if (OutRequest != nullptr) *OutRequest = nullptr;
    auto a = Acquire<QueueObj>(Queue, api, "queue");
    if (!a) return STATUS_INVALID_HANDLE;
    Host& host = *a.host;
    auto request = AcquireAlso<RequestObj>(host, FoundRequest, api, "request", Need::Registered);
    if (request == nullptr) return STATUS_INVALID_HANDLE;
    if (OutRequest == nullptr) return STATUS_INVALID_PARAMETER;
    if (NTSTATUS s = CheckRetrievable(host, *a.obj, api); !NT_SUCCESS(s)) return s;
    if (request->state != RequestObj::State::Queued || request->queue != a.obj) return STATUS_NOT_FOUND;
    TakeOut(a.obj, request);
    *OutRequest = request->HandleAs<WDFREQUEST>();
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest) {
    constexpr const char* api = "WdfIoQueueRetrieveNextRequest";
    if (OutRequest != nullptr) *OutRequest = nullptr;
    auto a = Acquire<QueueObj>(Queue, api, "queue");
    if (!a) return STATUS_INVALID_HANDLE;
    if (OutRequest == nullptr) return STATUS_INVALID_PARAMETER;
    Host& host = *a.host;
    if (NTSTATUS s = CheckRetrievable(host, *a.obj, api); !NT_SUCCESS(s)) return s;
    if (a->waiting.empty()) return STATUS_NO_MORE_ENTRIES;
    auto request = a->waiting.front();
    TakeOut(a.obj, request);
    *OutRequest = request->HandleAs<WDFREQUEST>();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
void WdfObjectDelete(WDFOBJECT Object) {
    Deferred deferred;
    auto a = Acquire<AnyObject>(Object, "WdfObjectDelete", "object");
    if (!a) return;
    Host& host = *a.host;
    switch (a->kind) {
        case Kind::Queue:
            host.DeleteQueueLocked(std::static_pointer_cast<QueueObj>(a.obj), deferred);
            return;
        case Kind::UsbDevice:
            host.DeleteUsbDeviceLocked(a.lock, std::static_pointer_cast<UsbDeviceObj>(a.obj), deferred);
            return;
        default:
            host.Violation("WdfObjectDelete: a %s (%p) is deleted by the framework, not by the driver",
                           KindName(a->kind), static_cast<void*>(Object));
            return;
    }
}
