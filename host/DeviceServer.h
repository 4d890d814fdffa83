// The device socket: serves the device interface to local clients.
//
// One connection is one open of the device (one file object).  The server
// sends the open result first; after a refused open it closes the connection.
// Requests are submitted as they arrive, many may be outstanding on one
// connection, and each completion is sent back under its request's tag as
// soon as it arrives.  A cancel frame cancels a request that still waits.  A
// connection that closes, or breaks the protocol (the first malformed frame,
// a duplicate outstanding tag, too many outstanding requests), has its
// requests cancelled and its file object closed; nothing else is affected.
//
// Threads: everything runs on the thread that calls Run/RunUntilIdle (the
// loop thread), except the completion handlers, Stop and NotifyDeviceRemoved,
// which only append to the loop's inbox and wake it through an eventfd.
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
#include "gnss/protocol/device_frame.h"

namespace gnss::host {

class DeviceServer {
public:
    struct Limits {
        // Outstanding requests one connection may have; one more ends it.
        std::size_t maxOutstanding = 1024;
        // Completions waiting to be sent to one connection before the server
        // stops reading its requests until it has caught up.
        std::size_t maxQueuedFrames = 64;
        // How long a connection that is being closed by the server may take
        // to receive what is queued for it.
        std::chrono::milliseconds closeGrace{3000};
    };

    explicit DeviceServer(DeviceAccess& device) : DeviceServer(device, Limits{}) {}
    DeviceServer(DeviceAccess& device, Limits limits);
    ~DeviceServer();  // aborts the connections left and removes the socket file
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Creates the listening socket at `path` with mode 0660, creating its
    // directory when missing and replacing a stale socket file.  Fails when
    // another server listens there or the path is not usable.
    bool Listen(const std::string& path, std::string& error);
    const std::string& SocketPath() const { return path_; }

    // Watches a signalfd; `onSignal` runs on the loop thread for each signal.
    void WatchSignals(int signalFd, std::function<void(int)> onSignal);

    // Serves until Stop is called.
    void Run();
    // Asks Run to return.  Any thread.
    void Stop();
    // The device went away: every connection is closed once what is queued
    // for it has been sent (its file object is already closed).  Any thread.
    void NotifyDeviceRemoved();
    // Runs on the loop thread after a removal's connections have been set
    // closing, so that whatever it starts (a new device) is only seen by
    // connections accepted afterwards.
    void OnDeviceRemoved(std::function<void()> callback) { onDeviceRemoved_ = std::move(callback); }

    // Closes the listening socket and removes the socket file.
    void StopAccepting();
    // Closes every connection once its outstanding requests have completed
    // and their completions have been sent (or its grace time has passed),
    // serving the loop meanwhile; returns when none is left.
    void CloseAllAndDrain();

    // Loop thread only; for diagnostics and tests.
    std::size_t ConnectionCount() const { return connections_.size(); }

private:
    struct Connection {
        std::uint64_t id = 0;
        int fd = -1;
        FileHandle file = 0;
        bool fileOpen = false;
        bool closing = false;  // no more reading; closes once drained
        std::chrono::steady_clock::time_point closeBy{};
        std::unordered_map<std::uint64_t, RequestHandle> outstanding;  // by tag
        std::deque<std::vector<std::uint8_t>> outgoing;
        bool writeBlocked = false;    // the last send hit EAGAIN
        std::uint32_t registered = 0;  // epoll events currently registered
    };

    struct Inbox;

    void Loop(const std::function<bool()>& done);
    void HandleInbox();
    void Accept();
    void HandleReadable(Connection& c);
    // Each of these returns false when it ended the connection.
    bool HandleFrame(Connection& c, std::span<const std::uint8_t> bytes);
    bool Flush(Connection& c);
    void Deliver(std::uint64_t connection, std::uint64_t tag, DeviceCompletion&& completion);
    void Enqueue(Connection& c, std::vector<std::uint8_t>&& frame);
    void BeginClose(Connection& c, const char* why);
    // Cancels the connection's requests, closes its file object and its socket.
    void Abort(Connection& c, const char* why, unsigned level = 4);
    void UpdateInterest(Connection& c);
    void ReapAndArmTimer();
    void HandleTimer();
    Connection* Find(std::uint64_t id);

    DeviceAccess& device_;
    const Limits limits_;
    std::shared_ptr<Inbox> inbox_;
    int epoll_ = -1;
    int listen_ = -1;
    int timer_ = -1;
    int signalFd_ = -1;
    std::function<void(int)> onSignal_;
    std::function<void()> onDeviceRemoved_;
    std::string path_;
    dev_t socketDev_ = 0;
    ino_t socketIno_ = 0;
    bool stopRequested_ = false;
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
    std::vector<std::uint8_t> readBuffer_;
};

}  // namespace gnss::host
