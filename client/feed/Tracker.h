// gnssfeed's side of gnssd: one connection, one continuous-tracking session
// while it is wanted, one fix request and one listen-NMEA request waiting in
// the driver at a time.
//
// The tracker runs on a thread of its own.  While tracking is wanted it
// connects (again and again, once a second, when gnssd cannot be reached or
// the connection breaks), optionally switches the location service on and
// raises the driver's NMEA count, starts the session and hands every fix to
// `onFix` (and, with raw sentences, every NMEA block to `onRaw`).  While the
// location service is off the driver refuses the session and every listener,
// so the start is asked again once a second.  When tracking is no longer wanted, and at Stop,
// it stops the session, lowers the NMEA count and closes the connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "gnss/client/device.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::feed {

struct TrackerSettings {
    std::string socketPath;
    std::uint32_t interval = 1;  // seconds
    std::uint32_t accuracy = 50; // metres
    bool locationOn = false;
    bool raw = false;
    ULONG sessionId = 1;         // never 0
    std::chrono::milliseconds retry{1000};
};

class Tracker {
public:
    using FixHandler = std::function<void(const GNSS_FIXDATA&)>;
    using RawHandler = std::function<void(const std::string&)>;

    Tracker(TrackerSettings settings, FixHandler onFix, RawHandler onRaw);
    // Stops (see Stop).
    ~Tracker();
    Tracker(const Tracker&) = delete;
    Tracker& operator=(const Tracker&) = delete;

    // From any thread: track or not.
    void SetWanted(bool wanted);
    // Stops the session, lowers the NMEA count, closes the connection and
    // ends the thread.  Idempotent.
    void Stop();

private:
    // What the thread waits for.
    struct Event {
        enum class Kind { Fix, Listen } kind;
        unsigned generation;  // of the connection the request was sent on
        client::Completion completion;
    };

    void Main();
    // Connected, NMEA raised, listen parked, session started: as far as it goes.
    void Advance();
    bool Connect();
    void StartSession();
    void ParkFixRequest();
    void ParkListen();
    void OnFix(client::Completion&& completion);
    void OnListen(client::Completion&& completion);
    // Stops the session and lowers the NMEA count when connected, then closes.
    void Wind();
    void StopSession();
    // The connection broke: forget it, connect again a second later.
    void Lost(const std::string& reason);
    // Closes the connection and forgets what ran on it.
    void Drop();
    void RetryLater();
    client::CompletionCallback Deliver(Event::Kind kind);

    const TrackerSettings settings_;
    const FixHandler onFix_;
    const RawHandler onRaw_;

    // Shared with the callers and the device's callbacks.
    std::mutex lock_;
    std::condition_variable changed_;
    bool wanted_ = false;   // guarded by lock_
    bool stopping_ = false; // guarded by lock_
    std::deque<Event> events_;  // guarded by lock_
    unsigned generation_ = 0;   // guarded by lock_: bumped at every connect

    // The thread's own.
    std::unique_ptr<client::Device> device_;
    bool nmeaRaised_ = false;
    bool sessionRunning_ = false;
    bool listenParked_ = false;
    bool serviceOff_ = false;      // the session was refused: the service is off
    bool unreachableSaid_ = false; // "cannot reach gnssd" said for this outage
    NTSTATUS lastStartError_ = STATUS_SUCCESS;  // said once until it changes
    std::optional<std::chrono::steady_clock::time_point> retryAt_;
    std::thread thread_;
};

}  // namespace gnss::feed
