// The host side: driver loading, the device's Plug and Play and power life on
// its power thread, the idle policy, file objects and request submission.
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "framework.h"
#include "gnss/platform/timescale.h"

namespace gnss::fw::detail {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Idle accounting (host lock held).
bool Host::BusyLocked() const {
    if (device == nullptr) return false;
    if (device->stopIdleRefs > 0) return true;
    for (auto& q : device->queues)
        if (q->alive && q->powerManaged && (!q->waiting.empty() || !q->owned.empty())) return true;
    return false;
}

void Host::TouchIdleLocked() {
    if (device == nullptr) return;
    idleSince = Clock::now();
    idleDeadline = idleSince + device->idleTimeout;
}

void Host::PowerStopQueuesLocked() {
    if (device == nullptr) return;
    for (auto& q : device->queues)
        if (q->powerManaged) q->powerStopped = true;
}

void Host::PowerStartQueuesLocked() {
    if (device == nullptr) return;
    for (auto& q : device->queues)
        if (q->powerManaged) {
            q->powerStopped = false;
            q->wake.notify_all();
        }
    cv.notify_all();
}

// ---------------------------------------------------------------------------
// The power thread.
namespace {

template <class F, class... Args>
auto CallDriver(Host& host, std::unique_lock<std::mutex>& lock, const char* name, F callback, Args... args) {
    using R = decltype(callback(args...));
    lock.unlock();
    if constexpr (std::is_void_v<R>) {
        if (callback != nullptr) {
            host.RecordCallback(name);
            callback(args...);
        }
        lock.lock();
    } else {
        R result{};
        if (callback != nullptr) {
            host.RecordCallback(name);
            result = callback(args...);
        }
        lock.lock();
        return result;
    }
}

std::string WithState(const char* name, WDF_POWER_DEVICE_STATE state) {
    return std::string(name) + "(" + PowerStateName(state) + ")";
}

}  // namespace

void Host::PowerLoop() {
    std::unique_lock lock(mu);
    for (;;) {
        if (!ops.empty()) {
            auto op = ops.front();
            ops.pop_front();
            NTSTATUS status = STATUS_SUCCESS;
            switch (op->type) {
                case PowerOp::Type::Start: status = StartLocked(lock); break;
                case PowerOp::Type::Remove: status = RemoveLocked(lock, false); break;
                case PowerOp::Type::Surprise:
                    status = op->generation == generation ? RemoveLocked(lock, true) : STATUS_NO_SUCH_DEVICE;
                    break;
                case PowerOp::Type::Sleep: status = SleepLocked(lock); break;
                case PowerOp::Type::Resume: status = ResumeLocked(lock); break;
            }
            op->status = status;
            op->done = true;
            cv.notify_all();
            if (pnp == Pnp::None || pnp == Pnp::Removed) break;
            continue;
        }
        if (pnp != Pnp::Started || device == nullptr) {
            cv.wait(lock);
            continue;
        }
        if (pwr == Pwr::D3 && !sleeping && (BusyLocked() || !device->idleEnabled)) {
            GoUpLocked(lock, device->idleState);
            if (pnp == Pnp::None || pnp == Pnp::Removed) break;
            continue;
        }
        if (pwr == Pwr::D0 && !sleeping && device->idleEnabled && !BusyLocked()) {
            if (Clock::now() >= idleDeadline) {
                IdleOutLocked(lock);
                continue;
            }
            // A later deadline (the device was busy meanwhile) is seen on waking.
            cv.wait_until(lock, idleDeadline);
            continue;
        }
        // Busy in D0: the request path wakes this once the device falls idle.
        powerWaitsForIdle = pwr == Pwr::D0 && !sleeping && device->idleEnabled;
        cv.wait(lock);
        powerWaitsForIdle = false;
    }
    powerThreadRunning = false;
    for (auto& op : ops) {
        op->status = STATUS_NO_SUCH_DEVICE;
        op->done = true;
    }
    ops.clear();
    cv.notify_all();
}

// A start that failed after device add is undone like a removal: from here on
// the device never reaches D0, so a StopIdle waiting for D0 ends now (with
// STATUS_DELETE_PENDING) rather than when the device object goes, and the
// driver's release hardware need not wait for a wait that would never end.
void Host::AbandonStartLocked() {
    pnp = Pnp::Removing;
    cv.notify_all();
}

NTSTATUS Host::StartLocked(std::unique_lock<std::mutex>& lock) {
    pnp = Pnp::Adding;
    pwr = Pwr::Off;
    sleeping = false;
    pendingInit = std::make_unique<WDFDEVICE_INIT>();
    initConsumed = false;
    WDFDEVICE_INIT* init = pendingInit.get();
    Registry::Instance().AddRecord(init, shared_from_this());
    const auto deviceAdd = driver->config.EvtDriverDeviceAdd;
    const WDFDRIVER driverHandle = driver->HandleAs<WDFDRIVER>();

    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (deviceAdd != nullptr) status = CallDriver(*this, lock, "DeviceAdd", deviceAdd, driverHandle, init);
    Registry::Instance().RemoveRecord(init);
    pendingInit.reset();
    if (NT_SUCCESS(status) && device == nullptr) {
        Error("device add returned success without creating a device");
        status = STATUS_INVALID_DEVICE_STATE;
    }
    if (!NT_SUCCESS(status)) {
        Error("device add failed, status=0x%X", static_cast<unsigned>(status));
        if (device != nullptr) FinishDeviceLocked(lock, false);
        pnp = Pnp::None;
        visible = DevicePowerState::None;
        return status;
    }

    const WDFDEVICE dev = device->HandleAs<WDFDEVICE>();
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = device->pnp;
    status = CallDriver(*this, lock, "PrepareHardware", cb.EvtDevicePrepareHardware, dev, WDFOBJECT{}, WDFOBJECT{});
    if (!NT_SUCCESS(status)) {
        Error("prepare hardware failed, status=0x%X", static_cast<unsigned>(status));
        AbandonStartLocked();
        TearDownLocked(lock, false, false);
        FinishDeviceLocked(lock, false);
        pnp = Pnp::None;
        visible = DevicePowerState::None;
        return status;
    }
    pwr = Pwr::Entering;
    status = CallDriver(*this, lock, WithState("D0Entry", WdfPowerDeviceD3Final).c_str(), cb.EvtDeviceD0Entry, dev,
                        WdfPowerDeviceD3Final);
    if (!NT_SUCCESS(status)) {
        Error("D0 entry failed at start, status=0x%X", static_cast<unsigned>(status));
        pwr = Pwr::Off;
        AbandonStartLocked();
        TearDownLocked(lock, false, false);
        FinishDeviceLocked(lock, false);
        pnp = Pnp::None;
        visible = DevicePowerState::None;
        return status;
    }
    status = CallDriver(*this, lock, "SelfManagedIoInit", cb.EvtDeviceSelfManagedIoInit, dev);
    if (!NT_SUCCESS(status)) {
        Error("self-managed I/O init failed, status=0x%X", static_cast<unsigned>(status));
        AbandonStartLocked();
        CallDriver(*this, lock, WithState("D0Exit", WdfPowerDeviceD3Final).c_str(), cb.EvtDeviceD0Exit, dev,
                   WdfPowerDeviceD3Final);
        pwr = Pwr::Off;
        TearDownLocked(lock, false, true);
        FinishDeviceLocked(lock, false);
        pnp = Pnp::None;
        visible = DevicePowerState::None;
        return status;
    }
    pnp = Pnp::Started;
    pwr = Pwr::D0;
    visible = DevicePowerState::D0;
    PowerStartQueuesLocked();
    TouchIdleLocked();
    Note("device started, in D0");
    cv.notify_all();
    return STATUS_SUCCESS;
}

NTSTATUS Host::GoUpLocked(std::unique_lock<std::mutex>& lock, WDF_POWER_DEVICE_STATE previous) {
    const WDFDEVICE dev = device->HandleAs<WDFDEVICE>();
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = device->pnp;
    pwr = Pwr::Entering;
    NTSTATUS status = CallDriver(*this, lock, WithState("D0Entry", previous).c_str(), cb.EvtDeviceD0Entry, dev, previous);
    if (!NT_SUCCESS(status)) {
        Error("D0 entry failed, status=0x%X: the device is removed", static_cast<unsigned>(status));
        pwr = Pwr::D3;
        RemoveLocked(lock, true);
        return status;
    }
    status = CallDriver(*this, lock, "SelfManagedIoRestart", cb.EvtDeviceSelfManagedIoRestart, dev);
    pwr = Pwr::D0;
    if (!NT_SUCCESS(status)) {
        Error("self-managed I/O restart failed, status=0x%X: the device is removed", static_cast<unsigned>(status));
        RemoveLocked(lock, true);
        return status;
    }
    visible = DevicePowerState::D0;
    PowerStartQueuesLocked();
    TouchIdleLocked();
    Note("device back in D0");
    cv.notify_all();
    return STATUS_SUCCESS;
}

void Host::GoDownLocked(std::unique_lock<std::mutex>& lock, WDF_POWER_DEVICE_STATE target, ULONG stopFlags) {
    const WDFDEVICE dev = device->HandleAs<WDFDEVICE>();
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = device->pnp;
    auto dev_ = device;
    PowerStopQueuesLocked();

    // Requests the driver still works on from power-managed queues: tell the
    // driver, then wait until each is completed, forwarded or requeued.
    struct Stop {
        std::shared_ptr<QueueObj> queue;
        std::shared_ptr<RequestObj> request;
    };
    std::vector<Stop> stops;
    for (auto& q : dev_->queues) {
        if (!q->alive || !q->powerManaged) continue;
        for (auto& r : q->owned) {
            r->internalRefs++;
            stops.push_back({q, r});
        }
    }
    for (auto& s : stops) {
        const auto evtIoStop = s.queue->config.EvtIoStop;
        if (evtIoStop != nullptr && s.request->state == RequestObj::State::Owned && s.request->owner == s.queue) {
            const WDFQUEUE qh = s.queue->HandleAs<WDFQUEUE>();
            const WDFREQUEST rh = s.request->HandleAs<WDFREQUEST>();
            lock.unlock();
            evtIoStop(qh, rh, stopFlags);
            lock.lock();
        }
    }
    {
        Deferred deferred;
        for (auto& s : stops) {
            s.request->internalRefs--;
            ReleaseLocked(s.request, deferred);
        }
        lock.unlock();
        deferred.Run();
        lock.lock();
    }
    drainWaiters++;
    cv.wait(lock, [&] {
        for (auto& q : dev_->queues)
            if (q->alive && q->powerManaged && !q->owned.empty()) return false;
        return true;
    });
    drainWaiters--;

    pwr = Pwr::Leaving;
    CallDriver(*this, lock, "SelfManagedIoSuspend", cb.EvtDeviceSelfManagedIoSuspend, dev);
    CallDriver(*this, lock, WithState("D0Exit", target).c_str(), cb.EvtDeviceD0Exit, dev, target);
    pwr = Pwr::D3;
    cv.notify_all();
}

void Host::IdleOutLocked(std::unique_lock<std::mutex>& lock) {
    const WDFDEVICE dev = device->HandleAs<WDFDEVICE>();
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = device->pnp;
    const WDF_POWER_DEVICE_STATE target = device->idleState;
    // Told in the driver's milliseconds: the time the device stayed idle is
    // scaled back as its time-out was scaled down, rounded to the nearest
    // millisecond so that a scaled wait of exactly the time-out reads as it.
    const std::chrono::duration<double, std::milli> idle = Clock::now() - idleSince;
    const IdleOut out{device->idleTimeoutMs,
                      static_cast<ULONG>(std::llround(idle.count() / gnss::os::TimeScale()))};
    // A daemon idles out every few seconds for years: only the latest are kept.
    if (idleOuts.size() == kKeptIdleOuts) idleOuts.erase(idleOuts.begin());
    idleOuts.push_back(out);
    Note("idle time-out of %u ms passed after %u ms idle: leaving D0",
         static_cast<unsigned>(out.idleTimeoutMs), static_cast<unsigned>(out.idleMs));
    // Decided and power-stopped under one hold of the lock: nothing new is
    // presented, and a StopIdle from now on waits for the way back.
    PowerStopQueuesLocked();
    pwr = Pwr::Leaving;
    CallDriver(*this, lock, "SelfManagedIoSuspend", cb.EvtDeviceSelfManagedIoSuspend, dev);
    CallDriver(*this, lock, WithState("D0Exit", target).c_str(), cb.EvtDeviceD0Exit, dev, target);
    pwr = Pwr::D3;
    visible = DevicePowerState::D3;
    Note("device idle in %s", PowerStateName(target));
    cv.notify_all();
}

NTSTATUS Host::SleepLocked(std::unique_lock<std::mutex>& lock) {
    if (pnp != Pnp::Started || sleeping) return STATUS_INVALID_DEVICE_STATE;
    sleeping = true;
    d0BeforeSleep = pwr == Pwr::D0;
    Note("system sleep");
    if (d0BeforeSleep) GoDownLocked(lock, WdfPowerDeviceD3, WdfRequestStopActionSuspend);
    if (pnp == Pnp::Started) visible = DevicePowerState::D3;
    cv.notify_all();
    return STATUS_SUCCESS;
}

NTSTATUS Host::ResumeLocked(std::unique_lock<std::mutex>& lock) {
    if (pnp != Pnp::Started || !sleeping) return STATUS_INVALID_DEVICE_STATE;
    sleeping = false;
    Note("system resume");
    cv.notify_all();
    if (pwr == Pwr::D3 && (d0BeforeSleep || device->powerUpOnSystemWake || BusyLocked() || !device->idleEnabled))
        return GoUpLocked(lock, WdfPowerDeviceD3);
    return STATUS_SUCCESS;
}

NTSTATUS Host::RemoveLocked(std::unique_lock<std::mutex>& lock, bool surprise) {
    if (pnp != Pnp::Started || device == nullptr) return STATUS_NO_SUCH_DEVICE;
    const WDFDEVICE dev = device->HandleAs<WDFDEVICE>();
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = device->pnp;
    if (surprise) {
        Note("surprise removal");
        pnp = Pnp::Removing;
        cv.notify_all();
        CallDriver(*this, lock, "SurpriseRemoval", cb.EvtDeviceSurpriseRemoval, dev);
    } else {
        Note("orderly removal");
        NTSTATUS status = CallDriver(*this, lock, "QueryRemove", cb.EvtDeviceQueryRemove, dev);
        if (!NT_SUCCESS(status)) {
            Note("query-remove vetoed the removal, status=0x%X", static_cast<unsigned>(status));
            return status;
        }
        pnp = Pnp::Removing;
        cv.notify_all();
    }
    if (pwr == Pwr::D0) {
        GoDownLocked(lock, WdfPowerDeviceD3Final, WdfRequestStopActionPurge);
    }
    pwr = Pwr::Off;
    TearDownLocked(lock, true, true);
    FinishDeviceLocked(lock, true);
    return STATUS_SUCCESS;
}

void Host::TearDownLocked(std::unique_lock<std::mutex>& lock, bool flush, bool cleanup) {
    const WDFDEVICE dev = device->HandleAs<WDFDEVICE>();
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = device->pnp;
    if (flush) CallDriver(*this, lock, "SelfManagedIoFlush", cb.EvtDeviceSelfManagedIoFlush, dev);
    CallDriver(*this, lock, "ReleaseHardware", cb.EvtDeviceReleaseHardware, dev, WDFOBJECT{});
    if (cleanup) CallDriver(*this, lock, "SelfManagedIoCleanup", cb.EvtDeviceSelfManagedIoCleanup, dev);
}

void Host::CloseFileLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<FileObj>& file) {
    activeCloses++;
    file->open = false;
    auto dev = device;
    {
        Deferred deferred;
        if (dev != nullptr)
            for (auto& q : dev->queues) CancelWaitingLocked(*q, deferred, file.get());
        lock.unlock();
        deferred.Run();
    }
    const WDFFILEOBJECT fh = file->HandleAs<WDFFILEOBJECT>();
    if (dev != nullptr && dev->hasFileConfig) {
        if (dev->fileConfig.EvtFileCleanup != nullptr) {
            RecordCallback("FileCleanup");
            dev->fileConfig.EvtFileCleanup(fh);
        }
        if (dev->fileConfig.EvtFileClose != nullptr) {
            RecordCallback("FileClose");
            dev->fileConfig.EvtFileClose(fh);
        }
    }
    Deferred deferred;
    lock.lock();
    KillLocked(file, deferred);
    activeCloses--;
    cv.notify_all();
    lock.unlock();
    deferred.Run();
    lock.lock();
}

void Host::FinishDeviceLocked(std::unique_lock<std::mutex>& lock, bool announce) {
    auto dev = device;
    cv.wait(lock, [&] { return activeOpens == 0 && activeCloses == 0; });

    // Every open file is closed the way CloseFile closes it.
    std::vector<std::shared_ptr<FileObj>> open;
    for (auto& [id, f] : files) open.push_back(f);
    files.clear();
    std::sort(open.begin(), open.end(), [](auto& x, auto& y) { return x->fid < y->fid; });
    for (auto& f : open) CloseFileLocked(lock, f);

    // Queues: waiting requests are cancelled, dispatchers end.
    {
        Deferred deferred;
        for (auto& q : dev->queues) {
            CancelWaitingLocked(*q, deferred);
            q->exit = true;
            q->wake.notify_all();
        }
        cv.notify_all();
        lock.unlock();
        deferred.Run();
        lock.lock();
    }

    // USB: readers stop, transfers fail from now on.
    if (auto usbDevice = dev->usb) {
        usbDevice->started = false;
        for (auto& i : usbDevice->interfaces)
            for (auto& p : i->pipes) {
                p->started = false;
                StopReaderLocked(lock, p, WdfIoTargetCancelSentIo);
            }
    }

    std::vector<std::thread> dispatchers;
    for (auto& q : dev->queues)
        if (q->dispatcher.joinable()) {
            if (q->dispatcherId == std::this_thread::get_id())
                q->dispatcher.detach();
            else
                dispatchers.push_back(std::move(q->dispatcher));
        }
    lock.unlock();
    for (auto& t : dispatchers) t.join();
    lock.lock();

    // Children first, then the device itself.  The USB back-end goes with
    // them: its readers are joined and its transfers refused from now on, so
    // it is closed here (without the lock), not when the objects are freed.
    {
        Deferred deferred;
        std::vector<std::shared_ptr<UsbBackend>> backends;
        for (auto& q : dev->queues) KillLocked(q, deferred);
        if (auto usbDevice = dev->usb) {
            for (auto& i : usbDevice->interfaces) {
                for (auto& p : i->pipes) {
                    if (p->readerBuffer != nullptr) KillLocked(p->readerBuffer, deferred);
                    KillLocked(p, deferred);
                }
                KillLocked(i, deferred);
            }
            KillLocked(usbDevice, deferred);
            TakeUsbBackendsLocked(*usbDevice, backends);
        }
        KillLocked(dev, deferred);
        if (backend != nullptr) {
            backend->SetRemovalHandler({});  // nothing of this device is left to remove
            backends.push_back(std::move(backend));
        }
        lock.unlock();
        deferred.Run();
        backends.clear();
        lock.lock();
    }

    device.reset();
    pwr = Pwr::Off;
    sleeping = false;
    if (announce) {
        pnp = Pnp::Removed;
        Note("device removed");
        // The host's handler runs first: whoever sees the Removed state knows
        // that the handler is done.
        if (std::function<void()> handler = removedHandler) {
            lock.unlock();
            handler();
            lock.lock();
        }
        if (pnp == Pnp::Removed) visible = DevicePowerState::Removed;
    }
    cv.notify_all();
}

// ---------------------------------------------------------------------------
// Host-facing operations.
NTSTATUS Host::LoadDriver(PFN_DRIVER_ENTRY entry, const std::string& registryPath) {
    if (entry == nullptr) return STATUS_INVALID_PARAMETER;
    std::unique_lock lock(mu);
    if (driverObject != nullptr) {
        Error("LoadDriver: a driver is already loaded");
        return STATUS_INVALID_DEVICE_STATE;
    }
    driverObject = std::make_unique<DRIVER_OBJECT>();
    driverObject->host = weak_from_this();
    DRIVER_OBJECT* object = driverObject.get();
    Registry::Instance().AddRecord(object, shared_from_this());
    lock.unlock();

    NTSTATUS status = entry(object, registryPath.c_str());

    Deferred deferred;
    lock.lock();
    if (NT_SUCCESS(status) && driver == nullptr) {
        Error("LoadDriver: the driver entry returned success without creating its driver object");
        status = STATUS_INVALID_DEVICE_STATE;
    }
    if (!NT_SUCCESS(status)) {
        Error("LoadDriver: driver entry failed, status=0x%X", static_cast<unsigned>(status));
        // No callback of a failed driver runs later.
        if (driver != nullptr) {
            driver->cleanup = nullptr;
            driver->destroy = nullptr;
            KillLocked(driver, deferred);
            driver.reset();
        }
        Registry::Instance().RemoveRecord(object);
        driverObject.reset();
        lock.unlock();
        deferred.Run();
        return status;
    }
    Note("driver loaded");
    return STATUS_SUCCESS;
}

NTSTATUS Host::LoadDriverModule(const std::string& path, const std::string& registryPath) {
    {
        std::lock_guard lock(mu);
        if (driverObject != nullptr) {
            Error("LoadDriverModule: a driver is already loaded");
            return STATUS_INVALID_DEVICE_STATE;
        }
    }
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        Error("LoadDriverModule: cannot load driver module '%s': %s", path.c_str(), why != nullptr ? why : "unknown error");
        return STATUS_NOT_FOUND;
    }
    dlerror();
    void* symbol = dlsym(handle, "DriverEntry");
    if (symbol == nullptr) {
        const char* why = dlerror();
        Error("LoadDriverModule: driver module '%s' exports no DriverEntry: %s", path.c_str(),
              why != nullptr ? why : "symbol is null");
        dlclose(handle);
        return STATUS_INVALID_PARAMETER;
    }
    auto entry = reinterpret_cast<PFN_DRIVER_ENTRY>(symbol);
    NTSTATUS status = LoadDriver(entry, registryPath);
    if (!NT_SUCCESS(status)) {
        dlclose(handle);
        return status;
    }
    std::lock_guard lock(mu);
    modules.push_back(handle);
    return STATUS_SUCCESS;
}

void Host::JoinPowerThread(std::unique_lock<std::mutex>& lock) {
    if (!powerThread.joinable()) return;
    if (powerThread.get_id() == std::this_thread::get_id()) return;  // joined later, from another thread
    cv.wait(lock, [&] { return !powerThreadRunning; });
    std::thread t = std::move(powerThread);
    lock.unlock();
    t.join();
    lock.lock();
}

void Host::UnloadDriver() {
    std::unique_lock lock(mu);
    if (driverObject == nullptr) return;
    // Wait for a start or removal in progress, then remove a present device.
    cv.wait(lock, [&] { return pnp != Pnp::Adding && pnp != Pnp::Removing; });
    if (pnp == Pnp::Started && !OnPowerThread()) {
        lock.unlock();
        NTSTATUS status = PostAndWait(PowerOp::Type::Remove);
        if (!NT_SUCCESS(status) && status != STATUS_NO_SUCH_DEVICE) {
            Note("unload: removal vetoed (0x%X); removing the device anyway", static_cast<unsigned>(status));
            PostAndWait(PowerOp::Type::Surprise);
        }
        lock.lock();
    }
    JoinPowerThread(lock);
    auto drv = driver;
    if (drv == nullptr) return;
    const auto unload = drv->config.EvtDriverUnload;
    const WDFDRIVER handle = drv->HandleAs<WDFDRIVER>();
    lock.unlock();
    if (unload != nullptr) {
        RecordCallback("DriverUnload");
        unload(handle);
    }
    lock.lock();

    Deferred deferred;
    // Requests the driver never completed are answered now.
    std::vector<std::shared_ptr<RequestObj>> leftovers;
    for (auto& [id, r] : requests) leftovers.push_back(r);
    std::sort(leftovers.begin(), leftovers.end(), [](auto& x, auto& y) { return x->rid < y->rid; });
    for (auto& r : leftovers) {
        Violation("request %p (id %llu) was never completed by the driver; cancelled at unload",
                  static_cast<void*>(r->Handle()), static_cast<unsigned long long>(r->rid));
        CompleteLocked(r, STATUS_CANCELLED, 0, deferred);
    }
    if (drv->cleanup != nullptr) {
        auto cleanup = drv->cleanup;
        drv->cleanup = nullptr;
        drv->alive = false;
        drv->internalRefs++;
        lock.unlock();
        deferred.Run();
        RecordCallback("DriverCleanup");
        cleanup(handle);
        lock.lock();
        drv->internalRefs--;
    }
    KillLocked(drv, deferred);
    ReleaseLocked(drv, deferred);
    driver.reset();
    Registry::Instance().RemoveRecord(driverObject.get());
    driverObject.reset();
    pnp = Pnp::None;
    Note("driver unloaded");
    lock.unlock();
    deferred.Run();
}

NTSTATUS Host::AddDevice(std::shared_ptr<UsbBackend> usb) {
    std::unique_lock lock(mu);
    if (driver == nullptr) {
        Error("AddDevice: no driver is loaded");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (pnp == Pnp::Adding || pnp == Pnp::Started || pnp == Pnp::Removing || OnPowerThread()) {
        Error("AddDevice: a device is already present");
        return STATUS_INVALID_DEVICE_STATE;
    }
    JoinPowerThread(lock);
    if (pnp == Pnp::Adding || pnp == Pnp::Started || pnp == Pnp::Removing) return STATUS_INVALID_DEVICE_STATE;
    // The objects of the device that went before: its power thread has just
    // been joined, and from this device add on the driver serves only the new
    // device (see Lifetime in framework.h).
    if (std::vector<std::shared_ptr<Object>> retired = TakeGraveyardLocked(); !retired.empty()) {
        Note("%zu objects of the removed device freed", retired.size());
        lock.unlock();
        retired.clear();
        lock.lock();
        if (pnp == Pnp::Adding || pnp == Pnp::Started || pnp == Pnp::Removing || powerThread.joinable())
            return STATUS_INVALID_DEVICE_STATE;
    }
    generation++;
    const std::uint64_t gen = generation;
    backend = usb;
    pnp = Pnp::Adding;
    visible = DevicePowerState::None;
    if (usb != nullptr) {
        std::weak_ptr<Host> weak = weak_from_this();
        usb->SetRemovalHandler([weak, gen] {
            if (auto host = weak.lock()) host->OnBackendRemoved(gen);
        });
    }
    auto op = std::make_shared<PowerOp>();
    op->type = PowerOp::Type::Start;
    op->generation = gen;
    ops.push_back(op);
    powerThreadRunning = true;
    auto self = shared_from_this();
    powerThread = std::thread([self] { self->PowerLoop(); });
    powerThreadId = powerThread.get_id();
    cv.wait(lock, [&] { return op->done; });
    return op->status;
}

NTSTATUS Host::PostAndWait(PowerOp::Type type) {
    std::unique_lock lock(mu);
    if (!powerThreadRunning) return STATUS_NO_SUCH_DEVICE;
    if (OnPowerThread()) {
        Error("a Plug and Play or power operation was requested on the framework's power thread");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto op = std::make_shared<PowerOp>();
    op->type = type;
    op->generation = generation;
    ops.push_back(op);
    cv.notify_all();
    cv.wait(lock, [&] { return op->done; });
    return op->status;
}

void Host::OnBackendRemoved(std::uint64_t gen) {
    std::lock_guard lock(mu);
    if (gen != generation || !powerThreadRunning) return;
    for (auto& op : ops)
        if (op->type == PowerOp::Type::Surprise && op->generation == gen) return;
    Note("the USB back-end reports the device gone");
    auto op = std::make_shared<PowerOp>();
    op->type = PowerOp::Type::Surprise;
    op->generation = gen;
    ops.push_back(op);
    cv.notify_all();
}

bool Host::WaitForVisible(DevicePowerState state, DWORD timeoutMs) const {
    std::unique_lock lock(mu);
    auto reached = [&] { return visible == state; };
    if (timeoutMs == INFINITE) {
        cv.wait(lock, reached);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), reached);
}

NTSTATUS Host::OpenFile(FileId* id) {
    if (id != nullptr) *id = 0;
    std::unique_lock lock(mu);
    if (pnp == Pnp::Removing) return STATUS_DELETE_PENDING;
    if (pnp != Pnp::Started || device == nullptr) return STATUS_NO_SUCH_DEVICE;
    auto dev = device;
    activeOpens++;

    auto file = std::make_shared<FileObj>();
    if (dev->hasFileAttributes) file->ApplyAttributes(&dev->fileAttributes);
    RegisterLocked(file);

    struct CreateResult {
        bool done = false;
        NTSTATUS status = STATUS_SUCCESS;
    };
    auto result = std::make_shared<CreateResult>();
    auto request = std::make_shared<RequestObj>();
    request->type = WdfRequestTypeCreate;
    request->rid = nextRequest++;
    request->file = file;
    file->internalRefs++;
    request->state = RequestObj::State::Owned;
    auto self = shared_from_this();
    request->handler = [self, result](const Completion& c) {
        std::lock_guard l(self->mu);
        result->done = true;
        result->status = c.status;
        self->cv.notify_all();
    };
    RegisterLocked(request);
    requests[request->rid] = request;

    const auto create = dev->hasFileConfig ? dev->fileConfig.EvtDeviceFileCreate : nullptr;
    if (create != nullptr) {
        const WDFDEVICE dh = dev->HandleAs<WDFDEVICE>();
        const WDFREQUEST rh = request->HandleAs<WDFREQUEST>();
        const WDFFILEOBJECT fh = file->HandleAs<WDFFILEOBJECT>();
        request.reset();
        lock.unlock();
        RecordCallback("FileCreate");
        create(dh, rh, fh);
        lock.lock();
        cv.wait(lock, [&] { return result->done; });
    } else {
        Deferred deferred;
        CompleteLocked(request, STATUS_SUCCESS, 0, deferred);
        request.reset();
        lock.unlock();
        deferred.Run();
        lock.lock();
    }

    activeOpens--;
    cv.notify_all();
    if (!NT_SUCCESS(result->status)) {
        // Refused: the file object is discarded without a close callback.
        Deferred deferred;
        KillLocked(file, deferred);
        lock.unlock();
        deferred.Run();
        return result->status;
    }
    file->fid = nextFile++;
    file->open = true;
    files[file->fid] = file;
    if (id != nullptr) *id = file->fid;
    return STATUS_SUCCESS;
}

void Host::CloseFile(FileId id) {
    std::unique_lock lock(mu);
    auto it = files.find(id);
    if (it == files.end()) return;
    auto file = it->second;
    files.erase(it);
    CloseFileLocked(lock, file);
}

NTSTATUS Host::SubmitDeviceControl(FileId fid, ULONG code, const void* input, std::size_t inputLength,
                                   std::size_t outputLength, CompletionHandler handler, RequestId* id) {
    Deferred deferred;
    std::unique_lock lock(mu);
    if (id != nullptr) *id = 0;
    auto it = files.find(fid);
    if (it == files.end()) return STATUS_INVALID_HANDLE;
    if (pnp == Pnp::Removing) return STATUS_DELETE_PENDING;
    if (pnp != Pnp::Started || device == nullptr) return STATUS_NO_SUCH_DEVICE;
    if (input == nullptr && inputLength != 0) return STATUS_INVALID_PARAMETER;
    auto queue = device->defaultQueue;
    if (queue == nullptr || !queue->alive) return STATUS_INVALID_DEVICE_REQUEST;

    auto request = std::make_shared<RequestObj>();
    request->type = WdfRequestTypeDeviceControl;
    request->rid = nextRequest++;
    request->code = code;
    request->inputLength = inputLength;
    request->outputLength = outputLength;
    if (inputLength != 0)
        request->input.assign(static_cast<const std::uint8_t*>(input),
                              static_cast<const std::uint8_t*>(input) + inputLength);
    request->file = it->second;
    it->second->internalRefs++;
    request->handler = std::move(handler);
    RegisterLocked(request);
    requests[request->rid] = request;
    if (id != nullptr) *id = request->rid;
    EnqueueLocked(queue, request, false, deferred);
    return STATUS_SUCCESS;
}

bool Host::CancelRequest(RequestId id) {
    Deferred deferred;
    std::unique_lock lock(mu);
    auto it = requests.find(id);
    if (it == requests.end()) return false;
    auto request = it->second;
    if (request->state != RequestObj::State::Queued) return false;
    CompleteLocked(request, STATUS_CANCELLED, 0, deferred);
    return true;
}

void Host::Shutdown() {
    UnloadDriver();
    std::unique_lock lock(mu);
    if (powerThread.joinable()) {
        if (powerThread.get_id() == std::this_thread::get_id()) {
            powerThread.detach();
        } else {
            std::thread t = std::move(powerThread);
            lock.unlock();
            t.join();
            lock.lock();
        }
    }
    std::vector<std::shared_ptr<Object>> dead = TakeGraveyardLocked();
    requests.clear();
    files.clear();
    device.reset();
    backend.reset();
    std::vector<void*> loaded = std::move(modules);
    modules.clear();
    lock.unlock();
    Registry::Instance().RemoveHost(this);
    dead.clear();
    for (void* m : loaded) dlclose(m);
}

std::vector<std::shared_ptr<Object>> Host::TakeGraveyardLocked() {
    // Threads a driver never let end (a reader stopped from its own
    // completion callback) are left to end on their own; each holds what it
    // uses.
    for (auto& object : graveyard) {
        if (object->kind == Kind::Queue) {
            auto q = std::static_pointer_cast<QueueObj>(object);
            q->exit = true;
            q->wake.notify_all();
            q->waiting.clear();
            q->owned.clear();
            if (q->dispatcher.joinable()) q->dispatcher.detach();
        } else if (object->kind == Kind::UsbPipe) {
            auto p = std::static_pointer_cast<UsbPipeObj>(object);
            p->readerStop = true;
            if (p->reader.joinable()) p->reader.detach();
        } else if (object->kind == Kind::UsbInterface) {
            std::static_pointer_cast<UsbInterfaceObj>(object)->pipes.clear();
        } else if (object->kind == Kind::UsbDevice) {
            std::static_pointer_cast<UsbDeviceObj>(object)->interfaces.clear();
        } else if (object->kind == Kind::Device) {
            auto d = std::static_pointer_cast<DeviceObj>(object);
            d->queues.clear();
            d->defaultQueue.reset();
            d->usb.reset();
        }
    }
    cv.notify_all();
    std::vector<std::shared_ptr<Object>> taken = std::move(graveyard);
    graveyard.clear();
    return taken;
}

}  // namespace gnss::fw::detail

// ===========================================================================
// DriverHost.
namespace gnss::fw {

using detail::Host;

struct DriverHost::Impl {
    std::shared_ptr<Host> host;
};

DriverHost::DriverHost() : impl_(std::make_unique<Impl>()) {
    impl_->host = std::make_shared<Host>();
    detail::Registry::Instance().AddHost(impl_->host);
}

DriverHost::~DriverHost() { impl_->host->Shutdown(); }

NTSTATUS DriverHost::LoadDriver(PFN_DRIVER_ENTRY entry, const std::string& registryPath) {
    return impl_->host->LoadDriver(entry, registryPath);
}

NTSTATUS DriverHost::LoadDriverModule(const std::string& path, const std::string& registryPath) {
    return impl_->host->LoadDriverModule(path, registryPath);
}

void DriverHost::UnloadDriver() { impl_->host->UnloadDriver(); }

NTSTATUS DriverHost::AddDevice(std::shared_ptr<UsbBackend> usb) { return impl_->host->AddDevice(std::move(usb)); }

NTSTATUS DriverHost::RemoveDevice() { return impl_->host->PostAndWait(detail::PowerOp::Type::Remove); }

void DriverHost::SurpriseRemoveDevice() { impl_->host->PostAndWait(detail::PowerOp::Type::Surprise); }

NTSTATUS DriverHost::SystemSleep() { return impl_->host->PostAndWait(detail::PowerOp::Type::Sleep); }

NTSTATUS DriverHost::SystemResume() { return impl_->host->PostAndWait(detail::PowerOp::Type::Resume); }

bool DriverHost::DevicePresent() const {
    std::lock_guard lock(impl_->host->mu);
    return impl_->host->pnp == detail::Pnp::Started;
}

DevicePowerState DriverHost::PowerState() const {
    std::lock_guard lock(impl_->host->mu);
    return impl_->host->visible;
}

bool DriverHost::WaitForPowerState(DevicePowerState state, DWORD timeoutMs) const {
    return impl_->host->WaitForVisible(state, timeoutMs);
}

std::vector<IdleOut> DriverHost::IdleOuts() const {
    std::lock_guard lock(impl_->host->mu);
    return impl_->host->idleOuts;
}

std::vector<GUID> DriverHost::DeviceInterfaces() const {
    std::lock_guard lock(impl_->host->mu);
    if (impl_->host->device == nullptr) return {};
    return impl_->host->device->interfaces;
}

void DriverHost::SetDeviceRemovedHandler(std::function<void()> handler) {
    std::lock_guard lock(impl_->host->mu);
    impl_->host->removedHandler = std::move(handler);
}

NTSTATUS DriverHost::OpenFile(FileId* file) { return impl_->host->OpenFile(file); }

void DriverHost::CloseFile(FileId file) { impl_->host->CloseFile(file); }

NTSTATUS DriverHost::SubmitDeviceControl(FileId file, ULONG ioControlCode, const void* input, std::size_t inputLength,
                                         std::size_t outputLength, CompletionHandler handler, RequestId* request) {
    return impl_->host->SubmitDeviceControl(file, ioControlCode, input, inputLength, outputLength, std::move(handler),
                                            request);
}

bool DriverHost::CancelRequest(RequestId request) { return impl_->host->CancelRequest(request); }

std::vector<std::string> DriverHost::Violations() const { return impl_->host->ViolationList(); }

std::vector<std::string> DriverHost::CallbackHistory() const { return impl_->host->History(); }

std::size_t DriverHost::RetainedObjects() const {
    std::lock_guard lock(impl_->host->mu);
    return impl_->host->graveyard.size();
}

}  // namespace gnss::fw
