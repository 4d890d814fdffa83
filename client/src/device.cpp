#include "gnss/client/device.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "gnss/client/host_status.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::client {
namespace {

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void SetReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::string UserName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    group entry{};
    group* found = nullptr;
    char buffer[1024];
    if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->gr_name;
    return "gid " + std::to_string(gid);
}

// What stands in the way when connect() says EACCES, and what to do about
// it: the socket's owner, group and mode, or its folder's when the folder
// is what keeps the user out.
std::string PermissionAdvice(const std::string& socketPath) {
    struct stat st{};
    std::string what = "the socket";
    if (::stat(socketPath.c_str(), &st) != 0) {
        const std::string folder = frame::SocketFolderOf(socketPath);
        if (folder.empty() || ::stat(folder.c_str(), &st) != 0) return {};
        what = "its folder " + folder;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::string text = " (" + what + " belongs to user " + UserName(st.st_uid) + " and group " +
                       GroupName(st.st_gid) + ", mode " + mode + "; ";
    // A socket left in root's group was not meant to be shared.
    if (st.st_gid == 0)
        return text + "only its owner may use it, unless gnssd runs with --socket-group GROUP)";
    return text + "add yourself to group " + GroupName(st.st_gid) +
           ", e.g. sudo usermod -aG " + GroupName(st.st_gid) + " $USER, and log in again)";
}

// The driver's file-object slots: a fourth open is refused.
constexpr const char* kDriverClientsInWords = "three";

// gnssd's status answer that follows a refused open (a completion of tag 0);
// empty from a gnssd that closes at once.  The receive time-out is still set.
std::optional<HostStatus> StatusAfterRefusal(int fd, std::vector<std::uint8_t>& buffer) {
    ssize_t n;
    do {
        n = ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    frame::Completion c;
    if (n <= 0 || static_cast<std::size_t>(n) > buffer.size() ||
        frame::DecodeCompletion({buffer.data(), static_cast<std::size_t>(n)}, c) !=
            frame::FrameError::None ||
        c.tag != 0 || !NT_SUCCESS(c.status))
        return std::nullopt;
    return DecodeHostStatus({reinterpret_cast<const char*>(c.output.data()), c.output.size()});
}

// A refused open in words, for the StatusError that carries its status.
std::string RefusalText(NTSTATUS status, const std::optional<HostStatus>& host) {
    if (status == STATUS_NOT_SUPPORTED)
        return std::string("gnssd admits ") + kDriverClientsInWords +
               " clients at a time (the driver's limit) and " + kDriverClientsInWords +
               " are connected; try again once one of them has ended";
    if (status == STATUS_NO_SUCH_DEVICE) {
        if (host && host->modemAttached == false && !host->modemWaitsFor.empty())
            return "no modem attached: gnssd is waiting for " + host->modemWaitsFor;
        return "no modem attached to gnssd";
    }
    return "open of the GNSS device refused";
}

}  // namespace

std::string Device::DefaultSocketPath() { return frame::ClientSocketPath(); }

std::unique_ptr<Device> Device::Open(const std::string& socketPath,
                                     std::chrono::milliseconds timeout) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path)
        throw ConnectionError("the socket path '" + socketPath + "' is empty or too long");
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);

    // A socket in the user's own folder is only trusted while nobody else
    // can reach into that folder.  A missing folder is left to connect(),
    // which then says that no daemon serves there.
    if (const std::string folder = frame::UserSocketFolder();
        !folder.empty() && frame::SocketFolderOf(socketPath) == folder) {
        struct stat st{};
        std::string error;
        if ((::lstat(folder.c_str(), &st) == 0 || errno != ENOENT) &&
            !frame::CheckPrivateFolder(folder, ::geteuid(), error))
            throw ConnectionError("refusing " + socketPath + ": " + error);
    }

    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ConnectionError(Errno("socket"));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int code = errno;
        std::string text = "cannot reach gnssd at " + socketPath + ": " + std::strerror(code);
        if (code == EACCES) text += PermissionAdvice(socketPath);
        if (code == ENOENT || code == ECONNREFUSED)
            text += " (is gnssd running? start it with 'gnssd', or as a service with "
                    "'systemctl start gnssd@PORT'; or name its socket with --socket or "
                    "GNSS_SOCKET)";
        ::close(fd);
        throw ConnectionError(text);
    }

    // The open result is the first frame; a daemon that sends nothing in
    // time is as good as absent.
    SetReceiveTimeout(fd, timeout);
    std::vector<std::uint8_t> buffer(frame::kMaxFrame);
    ssize_t n;
    do {
        n = ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    std::string failure;
    frame::OpenResult result;
    if (n < 0) {
        failure = (errno == EAGAIN || errno == EWOULDBLOCK)
                      ? "gnssd at " + socketPath + " did not answer the open within " +
                            std::to_string(timeout.count()) + " ms"
                      : Errno("receiving the open result");
    } else if (n == 0) {
        failure = "gnssd at " + socketPath + " closed the connection without answering";
    } else if (static_cast<std::size_t>(n) > buffer.size()) {
        failure = "bad open result from gnssd: oversized frame";
    } else if (const auto e = frame::DecodeOpenResult({buffer.data(), static_cast<std::size_t>(n)},
                                                      result);
               e != frame::FrameError::None) {
        failure = std::string("bad open result from gnssd: ") + frame::FrameErrorText(e);
    }
    if (!failure.empty()) {
        ::close(fd);
        throw ConnectionError(failure);
    }
    if (!NT_SUCCESS(result.status)) {
        const std::optional<HostStatus> host = StatusAfterRefusal(fd, buffer);
        ::close(fd);
        throw StatusError(result.status, RefusalText(result.status, host));
    }
    SetReceiveTimeout(fd, std::chrono::milliseconds(0));
    return std::unique_ptr<Device>(new Device(fd, result.interfaceVersion));
}

Device::Device(int fd, std::uint32_t interfaceVersion)
    : fd_(fd), interfaceVersion_(interfaceVersion) {
    reader_ = std::thread([this] { ReaderLoop(); });
}

Device::~Device() {
    if (reader_.joinable() && reader_.get_id() == std::this_thread::get_id()) {
        std::fputs("gnss::client::Device destroyed from its own callback\n", stderr);
        std::abort();
    }
    Close();
    ::close(fd_);
}

void Device::Close() {
    if (reader_.joinable() && reader_.get_id() == std::this_thread::get_id())
        throw std::logic_error("gnss::client::Device::Close called from a completion callback");
    std::lock_guard closing(closeLock_);
    {
        std::lock_guard guard(lock_);
        if (connected_ && reason_.empty()) reason_ = "closed by this client";
    }
    // Ends the reader's receive; the reader then fails what is still pending.
    ::shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
}

bool Device::Connected() const {
    std::lock_guard guard(lock_);
    return connected_;
}

std::string Device::DisconnectReason() const {
    std::lock_guard guard(lock_);
    return connected_ ? std::string() : reason_;
}

std::map<Tag, Device::Pending> Device::Disconnect(const std::string& reason) {
    std::map<Tag, Pending> left;
    {
        std::lock_guard guard(lock_);
        if (connected_) {
            connected_ = false;
            if (reason_.empty()) reason_ = reason;
        }
        left.swap(pending_);
    }
    ::shutdown(fd_, SHUT_RDWR);
    return left;
}

void Device::ReaderLoop() {
    std::vector<std::uint8_t> buffer(frame::kMaxCompletionFrame);
    std::string reason;
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            reason = Errno("connection to gnssd failed");
            break;
        }
        if (n == 0) {
            reason = "gnssd closed the connection";
            break;
        }
        if (static_cast<std::size_t>(n) > buffer.size()) {
            reason = "gnssd sent an oversized frame";
            break;
        }
        frame::Completion c;
        if (const auto e = frame::DecodeCompletion({buffer.data(), static_cast<std::size_t>(n)}, c);
            e != frame::FrameError::None) {
            reason = std::string("gnssd sent a bad frame: ") + frame::FrameErrorText(e);
            break;
        }
        CompletionCallback done;
        {
            std::lock_guard guard(lock_);
            const auto it = pending_.find(c.tag);
            if (it == pending_.end()) {
                reason = "gnssd completed tag " + std::to_string(c.tag) + ", which is not outstanding";
            } else if (c.output.size() > it->second.outputLength) {
                reason = "gnssd returned more output than asked for (tag " +
                         std::to_string(c.tag) + ")";
            } else {
                done = std::move(it->second.done);
                pending_.erase(it);
            }
        }
        if (!done) break;
        done(Completion{c.status, c.information, {c.output.begin(), c.output.end()}, false});
    }
    for (auto& [tag, pending] : Disconnect(reason))
        pending.done(Completion{STATUS_DEVICE_NOT_CONNECTED, 0, {}, true});
}

bool Device::SendFrame(const std::vector<std::uint8_t>& bytes) {
    for (;;) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n >= 0) return true;
        if (errno != EINTR) return false;
    }
}

Tag Device::ControlAsync(std::uint32_t controlCode, std::span<const std::uint8_t> input,
                         std::size_t outputLength, CompletionCallback done) {
    return Send(false, controlCode, input, outputLength, std::move(done));
}

Tag Device::Send(bool hostQuery, std::uint32_t controlCode, std::span<const std::uint8_t> input,
                 std::size_t outputLength, CompletionCallback done) {
    if (input.size() > frame::kMaxInputLength || outputLength > frame::kMaxOutputLength)
        throw FormatError("input and output are limited to " +
                          std::to_string(frame::kMaxInputLength) + " bytes each");
    Tag tag;
    {
        std::lock_guard guard(lock_);
        if (!connected_) throw ConnectionError("not connected to gnssd: " + reason_);
        tag = nextTag_++;
        pending_.emplace(tag, Pending{outputLength, std::move(done)});
    }
    std::vector<std::uint8_t> bytes;
    if (hostQuery)
        bytes = frame::EncodeHostQuery(tag, controlCode, static_cast<std::uint32_t>(outputLength));
    else
        frame::EncodeDeviceControl(tag, controlCode, input, outputLength, bytes);
    if (!SendFrame(bytes)) {
        const std::string text = Errno("sending to gnssd");
        std::lock_guard guard(lock_);
        // Still ours: the request never left, its callback will never run.
        // Otherwise the reader has failed it already (the connection ended).
        if (pending_.erase(tag) != 0) throw ConnectionError(text);
    }
    return tag;
}

bool Device::Cancel(Tag tag) {
    {
        std::lock_guard guard(lock_);
        if (!connected_ || pending_.count(tag) == 0) return false;
    }
    return SendFrame(frame::EncodeCancel(tag));
}

Completion Device::Control(std::uint32_t controlCode, std::span<const std::uint8_t> input,
                           std::size_t outputLength, std::chrono::milliseconds timeout) {
    return Wait(false, controlCode, input, outputLength, timeout);
}

Completion Device::HostQuery(std::uint32_t query, std::size_t outputLength,
                             std::chrono::milliseconds timeout) {
    return Wait(true, query, {}, outputLength, timeout);
}

Completion Device::Wait(bool hostQuery, std::uint32_t controlCode,
                        std::span<const std::uint8_t> input, std::size_t outputLength,
                        std::chrono::milliseconds timeout) {
    if (reader_.get_id() == std::this_thread::get_id())
        throw std::logic_error("gnss::client::Device::Control called from a completion callback");
    struct Waiter {
        std::mutex lock;
        std::condition_variable ready;
        bool done = false;
        Completion completion;
    };
    auto waiter = std::make_shared<Waiter>();
    const Tag tag = Send(hostQuery, controlCode, input, outputLength, [waiter](Completion&& c) {
        std::lock_guard guard(waiter->lock);
        waiter->completion = std::move(c);
        waiter->done = true;
        waiter->ready.notify_all();
    });
    std::unique_lock guard(waiter->lock);
    if (!waiter->ready.wait_for(guard, timeout, [&] { return waiter->done; })) {
        guard.unlock();
        Cancel(tag);
        throw TimeoutError("no completion within " + std::to_string(timeout.count()) +
                           " ms; the request was cancelled");
    }
    if (waiter->completion.disconnected)
        throw ConnectionError("connection to gnssd lost: " + DisconnectReason());
    return std::move(waiter->completion);
}

}  // namespace gnss::client
