// Events, waits, critical sections, threads and sleep with the semantics the
// driver relies on.
//
// - Event: manual-reset (stays signalled until Reset) or auto-reset (consumed
//   by the wait it ends, and only by that one).
// - WaitForAny: waits until one of up to 64 events is signalled or the
//   time-out passes.  When several are signalled, the first in the caller's
//   list wins; only the winning auto-reset event is consumed.
// - CriticalSection: a lock that its owner may enter again (recursive).
// - Thread: a thread whose join is bounded; a thread that outlives its join
//   keeps running on its own and releases its resources when it ends.
//
// All durations pass through the time scale (timescale.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>

#include "gnss/platform/types.h"

namespace gnss::os {

struct WaitBlock;

class Event {
public:
    enum class Mode : bool { AutoReset = false, ManualReset = true };

    Event(Mode mode, bool initiallySignalled);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    static std::shared_ptr<Event> Create(Mode mode, bool initiallySignalled = false) {
        return std::make_shared<Event>(mode, initiallySignalled);
    }

    void Set();
    void Reset();
    // True when signalled, without consuming an auto-reset event.
    bool IsSignalled() const;
    // Waits for this event alone; true when it was signalled (and consumed if auto-reset).
    bool Wait(DWORD timeoutMs = INFINITE);

    bool IsManualReset() const { return manual_; }

private:
    friend struct WaitAccess;
    const bool manual_;
    bool signalled_;
    WaitBlock* waiters_ = nullptr;  // guarded by the wait lock
};

using EventHandle = std::shared_ptr<Event>;

inline constexpr DWORD WAIT_TIMEOUT = 0x102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr std::size_t MAXIMUM_WAIT_OBJECTS = 64;

// Returns the index of the event that ended the wait, WAIT_TIMEOUT, or
// WAIT_FAILED (no events, more than 64, or a null entry).
DWORD WaitForAny(std::span<Event* const> events, DWORD timeoutMs);
DWORD WaitForAny(std::initializer_list<Event*> events, DWORD timeoutMs);

class CriticalSection {
public:
    void Enter() { mutex_.lock(); }
    bool TryEnter() { return mutex_.try_lock(); }
    void Leave() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~CriticalSectionLock() { cs_.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& cs_;
};

class Thread {
public:
    Thread() = default;
    ~Thread();  // a thread still running is left to finish on its own
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the thread; false when it could not be created or one already runs.
    bool Start(std::function<void()> body, const char* name = nullptr);
    // Waits up to timeoutMs for the thread to end; true when it has ended (or
    // never started).  On a time-out the thread is let go and Started() is false.
    bool Join(DWORD timeoutMs = INFINITE);
    bool Started() const { return state_ != nullptr; }
    // Kernel thread id of the running thread (0 when none).
    DWORD Id() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Kernel id of the calling thread.
DWORD CurrentThreadId();

void Sleep(DWORD milliseconds);

// A pause of `milliseconds` (scaled like every wait) that ends early when one
// of `until` is signalled: true when the whole time has passed, false when an
// event ended it (or one of them is null).  Meant for manual-reset events; an
// auto-reset one that ends it is consumed, as by any wait.
bool Pause(DWORD milliseconds, std::initializer_list<Event*> until);

// Called by Sleep and Pause first, on the pausing thread, with the duration
// they were given (before the time scale); null removes it.  For tests: a
// pause leaves no other trace a test could look for without timing it.
using PauseObserver = void (*)(DWORD milliseconds);
void SetPauseObserver(PauseObserver observer);

}  // namespace gnss::os
