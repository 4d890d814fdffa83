// An open of the GNSS device through gnssd's device socket.
//
//   auto device = gnss::client::Device::Open();            // default socket
//   auto c = device->Control(IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, 604);
//   if (!c.ok()) throw gnss::client::StatusError(c.status);
//
// One Device is one open file object of the driver.  Any number of requests
// may be outstanding; each completes exactly once, through its callback or
// the synchronous call waiting for it.  All member functions are safe to
// call from several threads at once.
//
// Callbacks run on the Device's own reader thread, one at a time, in the
// order the completions arrive.  They may call ControlAsync and Cancel, but
// not Control, Close or the destructor (those wait for the reader thread),
// and they must not throw.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "gnss/client/error.h"
#include "gnss/protocol/status.h"

namespace gnss::client {

using Tag = std::uint64_t;

struct Completion {
    NTSTATUS status = STATUS_SUCCESS;
    std::uint64_t information = 0;
    std::vector<std::uint8_t> output;  // min(information, output length) bytes
    // The connection ended before the completion came; status is then
    // STATUS_DEVICE_NOT_CONNECTED.
    bool disconnected = false;

    bool ok() const { return NT_SUCCESS(status); }
};

using CompletionCallback = std::function<void(Completion&&)>;

class Device {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    // Connects to the daemon and reads the open result.  Throws
    // ConnectionError when the daemon cannot be reached (or answers nothing
    // sensible within the time-out) or when the socket lies in the user's
    // socket folder (gnss::frame::UserSocketFolder()) and that folder is not
    // private to the user; StatusError when the daemon refused the open,
    // with the reason in words: STATUS_NOT_SUPPORTED, all three of the
    // driver's session slots are taken; STATUS_NO_SUCH_DEVICE, no modem is
    // attached (and what gnssd waits for, from the status it sends along).
    static std::unique_ptr<Device> Open(const std::string& socketPath,
                                        std::chrono::milliseconds timeout = kDefaultTimeout);
    // The socket to use unless told otherwise (gnss::frame::ClientSocketPath()):
    // $GNSS_SOCKET, else the system's /run/gnss/gnss.sock when it exists,
    // else the user's own (gnss::frame::DefaultSocketPath()).
    static std::string DefaultSocketPath();

    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Closes the connection: the daemon cancels what is still outstanding and
    // closes the file object.  Callbacks of outstanding requests run (with
    // `disconnected` set) before Close returns.  Idempotent.
    void Close();
    // False once the connection has ended (closed here or by the daemon).
    bool Connected() const;
    // Why the connection ended, for messages ("" while connected).
    std::string DisconnectReason() const;
    // The GNSS interface version the daemon reported with the open.
    std::uint32_t InterfaceVersion() const { return interfaceVersion_; }

    // Sends a device-control request; `done` runs once with its completion.
    // Returns the request's tag.  Throws ConnectionError when the connection
    // has ended and FormatError when the input or output length is above 64 KiB.
    Tag ControlAsync(std::uint32_t controlCode, std::span<const std::uint8_t> input,
                     std::size_t outputLength, CompletionCallback done);
    // Asks the daemon to cancel a request that still waits in the driver; it
    // then completes with STATUS_CANCELLED.  False when the tag is not
    // outstanding (already completed).  A request the driver is working on
    // completes normally.
    bool Cancel(Tag tag);
    // Sends a request and waits for its completion.  A failure status of the
    // driver is returned, not thrown.  Throws TimeoutError (after cancelling
    // the request) when nothing came within `timeout`, ConnectionError when
    // the connection ended first.
    Completion Control(std::uint32_t controlCode, std::span<const std::uint8_t> input,
                       std::size_t outputLength,
                       std::chrono::milliseconds timeout = kDefaultTimeout);

    // Asks gnssd itself (not the driver) a host query (frame::kHostQueryStatus)
    // and waits for its answer, as Control does.  A gnssd that predates host
    // queries ends the connection instead: ConnectionError.
    Completion HostQuery(std::uint32_t query, std::size_t outputLength,
                         std::chrono::milliseconds timeout = kDefaultTimeout);

private:
    // ControlAsync's work, for a device control or a host query frame.
    Tag Send(bool hostQuery, std::uint32_t code, std::span<const std::uint8_t> input,
             std::size_t outputLength, CompletionCallback done);
    Completion Wait(bool hostQuery, std::uint32_t code, std::span<const std::uint8_t> input,
                    std::size_t outputLength, std::chrono::milliseconds timeout);
    struct Pending {
        std::size_t outputLength;
        CompletionCallback done;
    };

    Device(int fd, std::uint32_t interfaceVersion);
    void ReaderLoop();
    // Ends the connection with `reason`; returns the requests still pending.
    std::map<Tag, Pending> Disconnect(const std::string& reason);
    bool SendFrame(const std::vector<std::uint8_t>& frame);

    const int fd_;
    const std::uint32_t interfaceVersion_;
    mutable std::mutex lock_;
    std::map<Tag, Pending> pending_;  // guarded by lock_
    Tag nextTag_ = 1;                 // guarded by lock_
    bool connected_ = true;           // guarded by lock_
    std::string reason_;              // guarded by lock_
    std::mutex closeLock_;            // serialises Close
    std::thread reader_;
};

}  // namespace gnss::client
