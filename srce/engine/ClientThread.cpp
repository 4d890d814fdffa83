// The engine's client thread and its events.
//
// All modem work runs on one thread, which sleeps until an internal event has
// been queued, the engine shuts down or the device has been removed.  The
// thread keeps the event handles it was started with (shared references), so
// the events it waits on stay valid for as long as it runs, also when the
// shut-down has given up waiting for it and released the engine's own
// references.  Such a late thread is retired: from then on it sees no
// callbacks, takes nothing from the queue, empties nothing and posts nothing;
// its own shut-down event stays set, so every wait it still makes ends at once.
#include <cstdlib>
#include <memory>
#include <mutex>

#include "Driver.h"
#include "Trace.h"
#include "engine/Engine.h"
#include "engine/EngineState.h"

namespace {

struct ClientContext {
    ENGINE_EVENTS events;  // the events the thread was started with
    // Set once the thread has dropped what was queued before it ran: from
    // then on nothing posted is lost.
    gnss::os::EventHandle ready = gnss::os::Event::Create(gnss::os::Event::Mode::ManualReset);
    std::mutex lock;       // guards retired, and makes each queue use of the thread exclusive of retiring
    bool retired = false;
};

// The context of the calling client thread; null on every other thread.
thread_local ClientContext* t_context = nullptr;

struct ClientThreadRecord {
    std::mutex lock;  // serialises start-up and shut-down
    gnss::os::Thread thread;
    std::shared_ptr<ClientContext> context;
};

// Never destroyed: a thread that outlives its shut-down must not find it gone.
ClientThreadRecord& ThreadRecord() {
    static auto* record = new ClientThreadRecord;
    return *record;
}

void EmptyQueueFromClient() {
    if (t_context == nullptr) {
        EmptyInternalEventQueue();
        return;
    }
    std::lock_guard guard(t_context->lock);
    if (!t_context->retired) EmptyInternalEventQueue();
}

INTERNAL_EVENT* TakeFromClient() {
    if (t_context == nullptr) return TakeInternalEvent();
    std::lock_guard guard(t_context->lock);
    if (t_context->retired) return nullptr;
    return TakeInternalEvent();
}

void Retire(ClientContext& context) {
    std::lock_guard guard(context.lock);
    context.retired = true;
}

// Creates the event in `slot` when it does not exist yet.
void CreateEventIfMissing(gnss::os::EventHandle& slot, gnss::os::Event::Mode mode,
                          const char* function, const char* name) {
    if (slot) return;
    slot = gnss::os::Event::Create(mode);
    if (slot) GnssLog(GNSS_LEVEL_INFO, "[%s] %s %s created", TAG_MODEM, function, name);
}

void CloseEventIfPresent(gnss::os::EventHandle& slot, const char* function, const char* name) {
    if (!slot) return;
    slot.reset();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s %s Closed", TAG_MODEM, function, name);
}

void ClearModemSession() {
    Engine().m_ModemSessionParam.Clear();
}

void SignalReady() {
    if (t_context != nullptr) t_context->ready->Set();
}

// How long a device that comes back waits for the client thread to take the
// previous removal (the thread's own exit wait).  Every engine wait ends on
// the removal, so the thread takes it within moments unless it is stuck.
constexpr DWORD kRemovalHandledWaitMs = 3000;

// Waits until the client thread has taken the last device removal; false
// (logged) when it did not within the bound.
bool WaitForRemovalHandled(const char* function) {
    if (Engine().m_hRemovalHandled->Wait(kRemovalHandledWaitMs)) return true;
    GnssLog(GNSS_LEVEL_WARNING,
            "[%s] %s WARNING: the client thread did not take the device removal in time",
            TAG_MODEM, function);
    return false;
}

}  // namespace

ENGINE_EVENTS ClientEvents() {
    if (t_context != nullptr) return t_context->events;
    return EngineEvents();
}

GPSCLIENT_CALLBACKS ClientCallbacks() {
    if (t_context != nullptr) {
        std::lock_guard guard(t_context->lock);
        if (t_context->retired) return GPSCLIENT_CALLBACKS{};
    }
    return EngineCallbacks();
}

BOOL PostFromClient(LONG nEventType, void* pParam) {
    if (t_context == nullptr) return AddInternalEvent(nEventType, pParam, 0);
    std::lock_guard guard(t_context->lock);
    if (t_context->retired) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: [** %02d **] not posted, the engine has shut down",
                TAG_MODEM, __func__, static_cast<int>(nEventType));
        std::free(pParam);
        return 0;
    }
    return AddInternalEvent(nEventType, pParam, 0);
}

BOOL InitGpsClientThread() {
    using Mode = gnss::os::Event::Mode;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_MODEM, __func__);
    ENGINE_STATE& engine = Engine();
    ClientThreadRecord& record = ThreadRecord();
    std::lock_guard recordGuard(record.lock);
    BOOL bRetVal = 0;

    // The session record belongs to the client thread while it is busy with
    // a removed device: it clears the record itself when it takes the removal.
    if (!record.thread.Started() || WaitForRemovalHandled(__func__)) ClearModemSession();

    ENGINE_EVENTS events;
    {
        std::lock_guard guard(engine.handleLock);
        ENGINE_EVENTS& e = engine.events;
        CreateEventIfMissing(e.m_hClientStateEvent, Mode::ManualReset, __func__, "m_hClientStateEvent");
        CreateEventIfMissing(e.m_hShutdownEvent, Mode::ManualReset, __func__, "m_hShutdownEvent");
        CreateEventIfMissing(e.m_hATResponseEvent, Mode::AutoReset, __func__, "m_hATResponseEvent");
        CreateEventIfMissing(e.m_hWaitForStopComplete, Mode::AutoReset, __func__,
                             "m_hWaitForStopComplete");
        CreateEventIfMissing(e.m_hDeviceRemoveEvent, Mode::ManualReset, __func__, "m_hDeviceRemoveEvent");
        events = e;
    }

    if (!events.m_hATResponseEvent || !events.m_hShutdownEvent || !events.m_hClientStateEvent ||
        !events.m_hDeviceRemoveEvent) {
        GnssLog(GNSS_LEVEL_ERROR,
                "[%s] %s ERROR: RespEvt=0x%p, ShutDwnEvt=0x%p, StateEvt=0x%p, DevRemEvt=0x%p",
                TAG_MODEM, __func__, static_cast<void*>(events.m_hATResponseEvent.get()),
                static_cast<void*>(events.m_hShutdownEvent.get()),
                static_cast<void*>(events.m_hClientStateEvent.get()),
                static_cast<void*>(events.m_hDeviceRemoveEvent.get()));
    } else if (record.thread.Started()) {
        bRetVal = 1;
    } else {
        auto context = std::make_shared<ClientContext>();
        context->events = events;
        const bool started = record.thread.Start(
            [context] {
                t_context = context.get();
                ModemStateThread();
                t_context = nullptr;
            },
            "GPS Client");
        if (started) {
            // The start-up is done when the thread has emptied the queue.
            context->ready->Wait(INFINITE);
            record.context = context;
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s GPS Client thread created dwThreadId=0x%X", TAG_MODEM,
                    __func__, static_cast<unsigned>(record.thread.Id()));
            bRetVal = 1;
        } else {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GPS Client thread FAILED", TAG_MODEM, __func__);
        }
    }

    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_MODEM, __func__, bRetVal);
    return bRetVal;
}

DWORD ModemStateThread() {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_MODEM, __func__);
    ENGINE_STATE& engine = Engine();
    const ENGINE_EVENTS events = ClientEvents();
    if (!events.m_hClientStateEvent || !events.m_hShutdownEvent) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ShutDwnEvt=0x%p StateEvt=0x%p", TAG_MODEM, __func__,
                static_cast<void*>(events.m_hShutdownEvent.get()),
                static_cast<void*>(events.m_hClientStateEvent.get()));
        SignalReady();
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_MODEM, __func__);
        return 0;
    }

    // Whatever was posted before the thread ran is dropped.
    EmptyQueueFromClient();
    SignalReady();

    for (;;) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Waiting for GNSS Events", TAG_MODEM, __func__);
        const DWORD wait = gnss::os::WaitForAny(
            {events.m_hShutdownEvent.get(), events.m_hDeviceRemoveEvent.get(),
             events.m_hClientStateEvent.get()},
            INFINITE);
        if (wait == 0) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s m_hShutdownEvent or m_hDeviceRemoveEvent Signaled",
                    TAG_MODEM, __func__);
            EmptyQueueFromClient();
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hShutdownEvent", TAG_MODEM, __func__);
            break;
        }
        if (wait == 1) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s m_hShutdownEvent or m_hDeviceRemoveEvent Signaled",
                    TAG_MODEM, __func__);
            EmptyQueueFromClient();
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hDeviceRemoveEvent", TAG_MODEM,
                    __func__);
            MODEM_SESSION_PARAM& session = engine.m_ModemSessionParam;
            // The sessions of the removed device end with it: each client
            // forgotten here gives back the power reference it took when it
            // joined, as its stop would have.  Its framework reference went
            // with the device's D0 exit, so only the count changes.
            for (ULONG client = 0; client < session.NumberOfClients; ++client)
                GNSSDriverSetDevicePower(FALSE, FALSE);
            session.bSessionInUse = 0;
            session.SessionID = 0;
            session.NumberOfClients = 0;
            session.RI = 0;
            session.Update = 0;
            session.bNmeaRequested = 0;
            {
                std::lock_guard guard(engine.removalLock);
                events.m_hDeviceRemoveEvent->Reset();
                engine.m_bRemovalPending = false;
                engine.m_hRemovalHandled->Set();
            }
            continue;
        }
        if (wait == 2) {
            INTERNAL_EVENT* record = TakeFromClient();
            if (record == nullptr) continue;
            BOOL result = 0;
            if (record->nEventType != 0) {
                result = ProcessInternalEvent(record->nEventType, record->pParam);
            } else {
                std::free(record->pParam);
            }
            record->pParam = nullptr;
            if (record->hDoneEvent) {
                engine.m_iEventResult = result;
                record->hDoneEvent->Set();
            }
            FreeInternalEvent(record);
            continue;
        }
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WaitForMultipleObjects FAILED", TAG_MODEM, __func__);
    }

    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_MODEM, __func__);
    return 0;
}

BOOL DeInitGpsClientThread() {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_MODEM, __func__);
    ENGINE_STATE& engine = Engine();
    ClientThreadRecord& record = ThreadRecord();
    std::lock_guard recordGuard(record.lock);

    const ENGINE_EVENTS events = EngineEvents();
    if (events.m_hShutdownEvent) {
        events.m_hShutdownEvent->Set();
        if (record.thread.Started()) {
            const bool ended = record.thread.Join(CLIENT_THREAD_EXIT_TIMEOUT_MS);
            // From here on the thread (if it still runs) uses nothing of the engine.
            if (record.context) Retire(*record.context);
            record.context.reset();
            if (!ended)
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GPS Client thread exit TIMED OUT", TAG_MODEM,
                        __func__);
        }
    } else {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid m_hShutdownEvent handle", TAG_MODEM, __func__);
    }

    {
        std::lock_guard guard(engine.handleLock);
        ENGINE_EVENTS& e = engine.events;
        CloseEventIfPresent(e.m_hClientStateEvent, __func__, "m_hClientStateEvent");
        CloseEventIfPresent(e.m_hShutdownEvent, __func__, "m_hShutdownEvent");
        CloseEventIfPresent(e.m_hATResponseEvent, __func__, "m_hATResponseEvent");
        CloseEventIfPresent(e.m_hWaitForStopComplete, __func__, "m_hWaitForStopComplete");
        CloseEventIfPresent(e.m_hDeviceRemoveEvent, __func__, "m_hDeviceRemoveEvent");
        // The driver's callbacks are not reached any more after the shut-down.
        engine.callbacks = GPSCLIENT_CALLBACKS{};
    }

    CloseNmeaLogFile();
    ClearModemSession();

    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_MODEM, __func__);
    return 1;
}

namespace {

BOOL SetOrResetDeviceRemoveEvent(bool set, const char* function) {
    ENGINE_STATE& engine = Engine();
    gnss::os::EventHandle event;
    {
        std::lock_guard guard(engine.handleLock);
        CreateEventIfMissing(engine.events.m_hDeviceRemoveEvent, gnss::os::Event::Mode::ManualReset,
                             function, "m_hDeviceRemoveEvent");
        event = engine.events.m_hDeviceRemoveEvent;
    }
    if (!event) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: m_hDeviceRemoveEvent is NULL", TAG_MODEM, function);
        return 0;
    }
    if (set) {
        std::lock_guard guard(engine.removalLock);
        engine.m_bRemovalPending = true;
        engine.m_hRemovalHandled->Reset();
        event->Set();
        return 1;
    }
    // A device that comes back soon after one went away: the client thread
    // takes the removal first, or the old device's modem session would reach
    // the new modem.  Should it not take it in time, the event stays set for
    // it to take (and reset) when it gets there.
    ClientThreadRecord& record = ThreadRecord();
    std::lock_guard recordGuard(record.lock);
    const bool threadRuns = record.thread.Started();
    if (threadRuns) WaitForRemovalHandled(function);
    std::lock_guard guard(engine.removalLock);
    if (threadRuns && engine.m_bRemovalPending) return 1;
    event->Reset();
    engine.m_bRemovalPending = false;
    engine.m_hRemovalHandled->Set();
    return 1;
}

}  // namespace

BOOL SetDeviceRemoveEvent() { return SetOrResetDeviceRemoveEvent(true, __func__); }

BOOL ResetDeviceRemoveEvent() { return SetOrResetDeviceRemoveEvent(false, __func__); }
