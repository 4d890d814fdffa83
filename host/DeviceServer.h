// The device socket: serves the device interface to local clients.
//
// One connection is one open of the device (one file object).  The server
// sends the open result first; after a refused open it closes the connection.
// Requests are submitted as they arrive, many may be outstanding on one
// connection, and each completion is sent back under its request's tag as
// soon as it arrives.  A cancel frame cancels a request that still waits.
//
// A connection ends when the client closes it (or dies), when it breaks the
// protocol (the first malformed frame, an empty one included; a duplicate
// outstanding tag; more outstanding requests or request buffer bytes than
// Limits allows), when sending to it fails, and when the server closes it.
// Ending it is one teardown (End): its socket is closed and its outstanding
// requests cancelled; then, with its file object still open, the server undoes
// what the client left running in the driver (SessionLedger: a stop for every
// fix session it started and did not stop, single-shot, continuous and
// last-known-good; a GNSS_SetNMEALogging 1 for every NMEA request it raised
// and did not lower, as far as no other connection still wants NMEA), and only
// when the driver has answered those does it close the file object.  What to
// undo is decided once no request that changes those states is unanswered on
// any connection (they are never parked, so this is a matter of moments); a
// device that answers none of it within the grace time has the file object
// closed all the same.  The NMEA log file a client opened (255) stays open: it
// is the daemon's switch, not the connection's (see SessionLedger.h).  Nothing
// else is affected.
//
// Opens are answered in order with ends: every ready connection event is
// handled before the listening socket, hang-ups are checked once more before
// an open is answered, and no open is answered (nor a new connection
// accepted) while an ended connection's cleanup is in flight, so that a
// client that closes and at once reopens finds its session slot free.  Out
// of descriptors (EMFILE, ENFILE), the server stops accepting and says so
// once; it accepts again when a connection ends or after Limits::acceptPause.
// Once the last connection has gone, the heap's free memory is returned to
// the system (malloc_trim).
//
// Threads: everything runs on the thread that calls Run/RunUntilIdle (the
// loop thread; the destructor serves the last cleanup on its own thread once
// Run has returned), except the completion handlers, Stop and
// NotifyDeviceRemoved, which append to the loop's inbox and wake it through
// an eventfd.
//
// Direct completions.  A completion that changes nothing the ledger follows
// (its request has no RequestEffect) is written to the socket by the thread
// that completes it, without waking the loop, when that cannot reorder the
// connection's output: nothing is queued for it, it is not blocked on
// EAGAIN, no completion of it waits in the inbox, it is open and not closing.
// Anything else, or a send that fails (EAGAIN included), goes through the
// inbox as before, and the loop queues, sends or ends the connection.  Each
// connection has a Wire, shared by the loop and the completion handlers:
//   - Wire::lock is held by the loop around every send to the connection
//     (Flush) and by a handler around its check and its send, so frames
//     never interleave, and a frame the loop has queued is never overtaken;
//   - Wire::fd is the socket while the loop allows direct writes, else -1;
//     the loop recomputes it under the lock at the end of every Flush and
//     sets it to -1 before it closes the socket (End) or stops reading it
//     (BeginClose), so no handler ever sends on a closed, or reused,
//     descriptor, nor to a connection that is draining;
//   - Wire::behind counts the connection's completions posted to the inbox
//     and not yet sent or queued by the loop; while it is not 0 every
//     completion takes the inbox, so completions keep the order they had;
//   - Wire::sent holds the tags written directly; the loop forgets those
//     requests (Reconcile) before it reads the next frame (a client may
//     reuse a tag once it has its answer), when it starts closing the
//     connection and when it ends it.  Until then they count against
//     Limits as outstanding, which errs on the safe side.
// The Wire is owned by the connection and by every handler of its requests,
// so a handler that runs after the connection was erased finds fd -1 and
// posts to an inbox that drops it.  The lock is a leaf: nothing is called
// while holding it but send(), so a handler may run under the driver's locks
// (and a device may complete inside Submit or Cancel, on the loop thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

#include "DeviceAccess.h"
#include "SessionLedger.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::host {

class DeviceServer {
public:
    struct Limits {
        // Outstanding requests one connection may have; one more ends it.
        std::size_t maxOutstanding = 1024;
        // Input and output bytes of one connection's outstanding requests
        // together; a request that would go beyond ends the connection.  The
        // largest legitimate requests (a certificate in, a self-test result
        // out) are 64 KiB each way: eight of them fit at once, and so do three
        // hundred listeners with their 2736-byte event.
        std::size_t maxOutstandingBytes = 1024 * 1024;
        // Completions waiting to be sent to one connection, in frames and in
        // bytes, before the server stops reading its requests until it has
        // caught up.
        std::size_t maxQueuedFrames = 64;
        std::size_t maxQueuedBytes = 256 * 1024;
        // How long a connection that is being closed by the server may take
        // to receive what is queued for it, and how long an ended
        // connection's cleanup may wait for the device before its file
        // object is closed anyway.
        std::chrono::milliseconds closeGrace{3000};
        // How long accepting pauses when the process is out of descriptors,
        // unless a connection ends (and frees one) first.
        std::chrono::milliseconds acceptPause{1000};
    };

    explicit DeviceServer(DeviceAccess& device) : DeviceServer(device, Limits{}) {}
    DeviceServer(DeviceAccess& device, Limits limits);
    // Ends the connections left, serves their cleanup until it is done (at
    // most the grace time), and removes the socket file.
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Creates the listening socket at `path` with mode 0660, creating its
    // directory when missing and replacing a stale socket file.  Fails when
    // another server listens there or the path is not usable.  With `group`
    // (not -1) the socket belongs to that group, for its members.
    bool Listen(const std::string& path, std::string& error,
                gid_t group = static_cast<gid_t>(-1));
    const std::string& SocketPath() const { return path_; }

    // Watches a signalfd; `onSignal` runs on the loop thread for each signal.
    void WatchSignals(int signalFd, std::function<void(int)> onSignal);

    // Serves until Stop is called.
    void Run();
    // Handles what is ready, and what that makes ready, without waiting for
    // more; returns once nothing is.  For single-threaded drivers of the
    // server (the fuzz target).
    void RunUntilIdle();
    // Asks Run to return.  Any thread.
    void Stop();
    // The device went away: every connection is closed once what is queued
    // for it has been sent (its file object is already closed).  Any thread.
    void NotifyDeviceRemoved();
    // Runs on the loop thread after a removal's connections have been set
    // closing, so that whatever it starts (a new device) is only seen by
    // connections accepted afterwards.
    void OnDeviceRemoved(std::function<void()> callback) { onDeviceRemoved_ = std::move(callback); }
    // The NMEA blocks the driver has dropped so far, for the status query's
    // "nmea-lost" line; called on the loop thread.
    void ReportNmeaLosses(std::function<std::uint64_t()> count) { nmeaLost_ = std::move(count); }

    // Closes the listening socket and removes the socket file.
    void StopAccepting();
    // Closes every connection once its outstanding requests have completed
    // and their completions have been sent (or its grace time has passed),
    // serving the loop meanwhile; returns when none is left.
    void CloseAllAndDrain();

    // What gnssd waits for while no device is attached (the modem's tty path,
    // or its --modem text), for the status answer.  Before Run.
    void DescribeModem(std::string waitsFor) { modemWaitsFor_ = std::move(waitsFor); }

    // Loop thread only; for diagnostics and tests.  Ended connections whose
    // cleanup is still in flight count.
    std::size_t ConnectionCount() const { return connections_.size(); }

private:
    // An outstanding request of the client.
    struct Request {
        RequestHandle handle = 0;
        std::size_t bytes = 0;  // input and output length, against maxOutstandingBytes
        RequestEffect effect;   // what it changes in the driver if it succeeds
    };

    struct Wire;

    struct Connection {
        std::uint64_t id = 0;
        int fd = -1;  // -1 once ended
        FileHandle file = 0;
        bool fileOpen = false;
        bool opened = false;   // its open has been answered
        bool closing = false;  // no more reading; ends once drained
        bool ended = false;    // socket closed; the cleanup in the driver is left
        bool undoSubmitted = false;
        std::size_t undoing = 0;  // undo requests the device has not answered yet
        std::chrono::steady_clock::time_point closeBy{};
        std::unordered_map<std::uint64_t, Request> outstanding;  // by tag
        std::size_t outstandingBytes = 0;
        std::deque<std::vector<std::uint8_t>> outgoing;
        std::size_t queuedBytes = 0;
        bool writeBlocked = false;    // the last send hit EAGAIN
        std::uint32_t registered = 0;  // epoll events currently registered
        bool credentials = false;      // frames carry credentials (SO_PASSCRED)
        std::shared_ptr<Wire> wire;    // what completing threads share (see above)
    };

    struct Inbox;

    void Loop(const std::function<bool()>& done);
    // One wait (up to timeoutMs, -1 for ever) and the handling of what it
    // found; false when nothing was ready or the wait failed.
    bool Step(int timeoutMs);
    void HandleInbox();
    void Accept();
    // Answers the opens of accepted connections, in order, unless an ended
    // connection's cleanup is in flight.
    void AnswerOpens();
    bool Cleaning() const;
    void HandleHangUps();
    void HandleReadable(Connection& c);
    // False while the connection is not read (closing, or back-pressure).
    bool Reading(const Connection& c) const;
    // Each of these returns false when it ended the connection.
    bool HandleFrame(Connection& c, std::span<const std::uint8_t> bytes);
    // A host query: answered here from the server's own state, at once.
    bool AnswerHostQuery(Connection& c, const frame::Request& request);
    // The text of the status answer (frame::kHostQueryStatus), also sent
    // after a refused open.
    std::string StatusAnswer() const;
    // Sends what is queued, under the wire's lock; `delivered` is a
    // completion taken from the inbox (one less behind on the wire).
    bool Flush(Connection& c, bool delivered = false);
    // Forgets the requests whose completions a handler wrote directly.
    void Reconcile(Connection& c);
    // No more direct writes to the connection; the requests answered so far forgotten.
    void StopDirectWrites(Connection& c);
    void Deliver(std::uint64_t connection, std::uint64_t tag, DeviceCompletion&& completion);
    void DeliverUndo(std::uint64_t connection, const RequestEffect& effect, NTSTATUS status);
    void Enqueue(Connection& c, std::vector<std::uint8_t>&& frame);
    void BeginClose(Connection& c, const char* why);
    // The one teardown: closes the socket, cancels the outstanding requests
    // and starts the cleanup that ends with the file object's close.
    void End(Connection& c, const char* why, unsigned level = 4);
    // Moves an ended connection's cleanup on; erases it once done.
    void Cleanup(Connection& c);
    void SubmitUndo(Connection& c);
    // Cleanup for every ended connection (any of them may be waiting for
    // what has just happened); connections may be gone afterwards.
    void AdvanceCleanups();
    void Erase(Connection& c);
    void UpdateInterest(Connection& c);
    void UpdateListening();
    void ReapAndArmTimer();
    void HandleTimer();
    Connection* Find(std::uint64_t id);
    // The connections' ids, for loops whose steps may end or erase connections.
    std::vector<std::uint64_t> Ids() const;

    DeviceAccess& device_;
    const Limits limits_;
    std::shared_ptr<Inbox> inbox_;
    int epoll_ = -1;
    int listen_ = -1;
    int timer_ = -1;
    int signalFd_ = -1;
    std::function<void(int)> onSignal_;
    std::function<void()> onDeviceRemoved_;
    std::function<std::uint64_t()> nmeaLost_;
    std::string path_;
    std::string modemWaitsFor_;
    dev_t socketDev_ = 0;
    ino_t socketIno_ = 0;
    bool stopRequested_ = false;
    bool loopFailed_ = false;
    bool listening_ = false;         // the listening socket is in the poll set
    bool outOfDescriptors_ = false;  // accepting paused until acceptRetryAt_ or an end
    bool acceptFailureLogged_ = false;
    std::chrono::steady_clock::time_point acceptRetryAt_{};
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
    SessionLedger ledger_;
    // Requests that may change what the ledger follows and whose answers
    // have not been seen: the clients' (EffectOf) and the server's undo.
    std::size_t effectsInFlight_ = 0;
    std::vector<std::uint8_t> readBuffer_;
    std::vector<std::uint64_t> sentTags_;  // Reconcile's, kept for its capacity
};

}  // namespace gnss::host
