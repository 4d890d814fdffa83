#include "gnss/platform/sync.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "gnss/platform/timescale.h"

namespace gnss::os {

// One waiter's registration on one event.  Blocks live on the waiting
// thread's stack and are linked into the event's list while it waits.
struct WaitBlock {
    std::condition_variable* cv = nullptr;
    WaitBlock* prev = nullptr;
    WaitBlock* next = nullptr;
};

namespace {

// Every event's state and waiter list is guarded by this one lock, which
// makes a wait on several events a single atomic check-and-consume.
std::mutex& WaitLock() {
    static auto* lock = new std::mutex;  // never destroyed: events may be used at exit
    return *lock;
}

}  // namespace

struct WaitAccess {
    static bool& Signalled(Event& e) { return e.signalled_; }
    static bool Manual(const Event& e) { return e.manual_; }
    static void Link(Event& e, WaitBlock& b) {
        b.prev = nullptr;
        b.next = e.waiters_;
        if (e.waiters_ != nullptr) e.waiters_->prev = &b;
        e.waiters_ = &b;
    }
    static void Unlink(Event& e, WaitBlock& b) {
        if (b.prev != nullptr)
            b.prev->next = b.next;
        else
            e.waiters_ = b.next;
        if (b.next != nullptr) b.next->prev = b.prev;
        b.prev = b.next = nullptr;
    }
    static void Wake(Event& e) {
        for (WaitBlock* b = e.waiters_; b != nullptr; b = b->next) b->cv->notify_one();
    }
};

Event::Event(Mode mode, bool initiallySignalled)
    : manual_(mode == Mode::ManualReset), signalled_(initiallySignalled) {}

Event::~Event() = default;

void Event::Set() {
    std::lock_guard lock(WaitLock());
    signalled_ = true;
    WaitAccess::Wake(*this);
}

void Event::Reset() {
    std::lock_guard lock(WaitLock());
    signalled_ = false;
}

bool Event::IsSignalled() const {
    std::lock_guard lock(WaitLock());
    return signalled_;
}

bool Event::Wait(DWORD timeoutMs) {
    Event* self = this;
    return WaitForAny(std::span<Event* const>(&self, 1), timeoutMs) == 0;
}

DWORD WaitForAny(std::initializer_list<Event*> events, DWORD timeoutMs) {
    return WaitForAny(std::span<Event* const>(events.begin(), events.size()), timeoutMs);
}

DWORD WaitForAny(std::span<Event* const> events, DWORD timeoutMs) {
    if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) return WAIT_FAILED;
    for (Event* e : events)
        if (e == nullptr) return WAIT_FAILED;

    const DWORD timeout = ScaleDuration(timeoutMs);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);

    std::unique_lock lock(WaitLock());
    auto takeFirstSignalled = [&]() -> DWORD {
        for (std::size_t i = 0; i < events.size(); ++i) {
            bool& signalled = WaitAccess::Signalled(*events[i]);
            if (signalled) {
                if (!WaitAccess::Manual(*events[i])) signalled = false;
                return static_cast<DWORD>(i);
            }
        }
        return WAIT_TIMEOUT;
    };

    DWORD result = takeFirstSignalled();
    if (result != WAIT_TIMEOUT || timeout == 0) return result;

    std::condition_variable cv;
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    for (std::size_t i = 0; i < events.size(); ++i) {
        blocks[i].cv = &cv;
        WaitAccess::Link(*events[i], blocks[i]);
    }
    for (;;) {
        if (timeout == INFINITE) {
            cv.wait(lock);
        } else if (cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            result = takeFirstSignalled();
            break;
        }
        result = takeFirstSignalled();
        if (result != WAIT_TIMEOUT) break;
    }
    for (std::size_t i = 0; i < events.size(); ++i) WaitAccess::Unlink(*events[i], blocks[i]);
    return result;
}

DWORD CurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

namespace {

std::atomic<PauseObserver> g_pauseObserver{nullptr};

void NotifyPause(DWORD milliseconds) {
    if (const PauseObserver observer = g_pauseObserver.load()) observer(milliseconds);
}

}  // namespace

void SetPauseObserver(PauseObserver observer) { g_pauseObserver.store(observer); }

bool Pause(DWORD milliseconds, std::initializer_list<Event*> until) {
    NotifyPause(milliseconds);
    for (Event* event : until)
        if (event == nullptr) return false;
    return WaitForAny(until, milliseconds) == WAIT_TIMEOUT;
}

void Sleep(DWORD milliseconds) {
    NotifyPause(milliseconds);
    if (milliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ScaleDuration(milliseconds)));
}

struct Thread::State {
    std::thread thread;
    std::atomic<DWORD> id{0};
    EventHandle started = Event::Create(Event::Mode::ManualReset);
    EventHandle done = Event::Create(Event::Mode::ManualReset);
};

bool Thread::Start(std::function<void()> body, const char* name) {
    if (state_ != nullptr || !body) return false;
    auto state = std::make_shared<State>();
    char shortName[16] = {};
    if (name != nullptr) std::strncpy(shortName, name, sizeof shortName - 1);
    try {
        // The thread keeps its own reference to the state, so a thread that
        // outlives a bounded join still finds its events alive.
        state->thread = std::thread([state, body = std::move(body), shortName]() mutable {
            if (shortName[0] != '\0') pthread_setname_np(pthread_self(), shortName);
            state->id.store(CurrentThreadId());
            state->started->Set();
            body();
            body = nullptr;
            state->done->Set();
        });
    } catch (const std::system_error&) {
        return false;
    }
    state->started->Wait(INFINITE);
    state_ = std::move(state);
    return true;
}

bool Thread::Join(DWORD timeoutMs) {
    if (state_ == nullptr) return true;
    if (state_->id.load() == CurrentThreadId()) {
        state_->thread.detach();
        state_.reset();
        return false;
    }
    const bool ended = state_->done->Wait(timeoutMs);
    if (ended)
        state_->thread.join();
    else
        state_->thread.detach();
    state_.reset();
    return ended;
}

DWORD Thread::Id() const { return state_ != nullptr ? state_->id.load() : 0; }

Thread::~Thread() {
    if (state_ == nullptr) return;
    if (state_->done->IsSignalled() && state_->id.load() != CurrentThreadId())
        state_->thread.join();
    else
        state_->thread.detach();
}

}  // namespace gnss::os
