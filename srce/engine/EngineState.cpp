// The engine's state record and the internal event queue.
#include "engine/EngineState.h"

#include <cstdlib>
#include <deque>
#include <new>

#include "Trace.h"

namespace {

struct EventQueue {
    gnss::os::CriticalSection lock;  // the queue lock: held only around queue operations
    std::deque<INTERNAL_EVENT*> records;
};

EventQueue& Queue() {
    static EventQueue queue;
    return queue;
}

}  // namespace

ENGINE_STATE& Engine() {
    static ENGINE_STATE state;
    return state;
}

ENGINE_EVENTS EngineEvents() {
    ENGINE_STATE& e = Engine();
    std::lock_guard guard(e.handleLock);
    return e.events;
}

GPSCLIENT_CALLBACKS EngineCallbacks() {
    ENGINE_STATE& e = Engine();
    std::lock_guard guard(e.handleLock);
    return e.callbacks;
}

void EngineSetImsi(const std::string& imsi) {
    ENGINE_STATE& e = Engine();
    std::lock_guard guard(e.textLock);
    e.m_strIMSI = imsi;
}

std::string EngineGetImsi() {
    ENGINE_STATE& e = Engine();
    std::lock_guard guard(e.textLock);
    return e.m_strIMSI;
}

void EngineClearImsi() {
    ENGINE_STATE& e = Engine();
    std::lock_guard guard(e.textLock);
    e.m_strIMSI.clear();
}

void EngineAppendSpectrumLine(const std::string& line) {
    // Spectrum output collects only while production test mode is on and is
    // taken by each scan; a bound keeps a modem that talks on in test mode
    // from growing it without limit.
    constexpr std::size_t kSpectrumLimit = 1024 * 1024;
    ENGINE_STATE& e = Engine();
    std::lock_guard guard(e.textLock);
    if (e.m_strSpectrumResult.size() + line.size() + 2 > kSpectrumLimit) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: spectrum output over %u bytes, line dropped", TAG_MODEM,
                __func__, static_cast<unsigned>(kSpectrumLimit));
        return;
    }
    e.m_strSpectrumResult += line;
    e.m_strSpectrumResult += "\r\n";
}

std::string EngineTakeSpectrumResult() {
    ENGINE_STATE& e = Engine();
    std::lock_guard guard(e.textLock);
    std::string result;
    result.swap(e.m_strSpectrumResult);
    return result;
}

BOOL AddInternalEvent(LONG nEventType, void* pParam, DWORD dwTimeoutMs) {
    ENGINE_STATE& engine = Engine();
    gnss::os::EventHandle done;
    if (dwTimeoutMs != 0) {
        done = gnss::os::Event::Create(gnss::os::Event::Mode::AutoReset);
        engine.m_iEventResult = 0;
    }

    auto* record = new (std::nothrow) INTERNAL_EVENT;
    if (record == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Memory allocation FAILED", TAG_MODEM, __func__);
        std::free(pParam);
        return 0;
    }
    record->hDoneEvent = done;
    record->nEventType = nEventType;
    record->pParam = pParam;

    EventQueue& q = Queue();
    q.lock.Enter();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s [** %02d **] Event Posted ----->", TAG_MODEM, __func__,
            static_cast<int>(nEventType));
    q.records.push_back(record);
    q.lock.Leave();

    const ENGINE_EVENTS events = EngineEvents();
    if (events.m_hClientStateEvent) events.m_hClientStateEvent->Set();

    if (dwTimeoutMs == 0) return 1;
    if (!events.m_hDeviceRemoveEvent || !events.m_hShutdownEvent) return 0;

    BOOL result = 0;
    switch (gnss::os::WaitForAny(
        {events.m_hDeviceRemoveEvent.get(), events.m_hShutdownEvent.get(), done.get()},
        dwTimeoutMs)) {
        case 2:
            result = engine.m_iEventResult.load();
            break;
        case 1:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hShutdownEvent", TAG_MODEM, __func__);
            break;
        case 0:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hDeviceRemoveEvent", TAG_MODEM,
                    __func__);
            break;
        default:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s [** %02d **] Event Timed out", TAG_MODEM, __func__,
                    static_cast<int>(nEventType));
            break;
    }
    return result;
}

INTERNAL_EVENT* TakeInternalEvent() {
    EventQueue& q = Queue();
    gnss::os::CriticalSectionLock guard(q.lock);
    if (q.records.empty()) {
        const ENGINE_EVENTS events = EngineEvents();
        if (events.m_hClientStateEvent) events.m_hClientStateEvent->Reset();
        return nullptr;
    }
    INTERNAL_EVENT* record = q.records.front();
    q.records.pop_front();
    return record;
}

void EmptyInternalEventQueue() {
    EventQueue& q = Queue();
    gnss::os::CriticalSectionLock guard(q.lock);
    for (INTERNAL_EVENT* record : q.records) {
        std::free(record->pParam);
        delete record;
    }
    q.records.clear();
}

void FreeInternalEvent(INTERNAL_EVENT* pEvent) { delete pEvent; }

std::size_t InternalEventQueueLength() {
    EventQueue& q = Queue();
    gnss::os::CriticalSectionLock guard(q.lock);
    return q.records.size();
}
