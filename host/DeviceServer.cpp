#include "DeviceServer.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <variant>

#include "HostLog.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::host {
namespace {

// epoll keys below kFirstConnectionKey are the server's own descriptors.
constexpr std::uint64_t kListenKey = 1;
constexpr std::uint64_t kInboxKey = 2;
constexpr std::uint64_t kSignalKey = 3;
constexpr std::uint64_t kTimerKey = 4;
constexpr std::uint64_t kFirstConnectionKey = 16;

// Frames read from one connection before the loop looks at the others.
constexpr int kReadBurst = 16;

const char* StatusText(NTSTATUS status, char* buf, std::size_t size) {
    return FormatStatus(static_cast<std::uint32_t>(status), buf, size);
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

// Work handed to the loop thread by other threads.
struct DeviceServer::Inbox {
    struct Completed {
        std::uint64_t connection;
        std::uint64_t tag;
        DeviceCompletion completion;
    };
    struct DeviceRemoved {};
    struct StopRequest {};
    using Item = std::variant<Completed, DeviceRemoved, StopRequest>;

    int eventFd = -1;
    std::mutex lock;
    std::vector<Item> items;

    Inbox() { eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~Inbox() { CloseFd(eventFd); }

    // Never blocks: a short critical section and an eventfd write.
    void Post(Item&& item) {
        {
            std::lock_guard guard(lock);
            items.push_back(std::move(item));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(eventFd, &one, sizeof one);
    }

    std::vector<Item> Take() {
        std::uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(eventFd, &count, sizeof count);
        std::lock_guard guard(lock);
        return std::exchange(items, {});
    }
};

DeviceServer::DeviceServer(DeviceAccess& device, Limits limits)
    : device_(device), limits_(limits), inbox_(std::make_shared<Inbox>()) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (epoll_ < 0 || timer_ < 0 || inbox_->eventFd < 0) {
        GNSSD_LOG(kLogError, "ERROR: cannot create the event loop: %s", std::strerror(errno));
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kInboxKey;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, inbox_->eventFd, &ev);
    ev.data.u64 = kTimerKey;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev);
    readBuffer_.resize(frame::kMaxRequestFrame);
}

DeviceServer::~DeviceServer() {
    while (!connections_.empty()) Abort(*connections_.begin()->second, "server shutting down");
    StopAccepting();
    CloseFd(timer_);
    CloseFd(epoll_);
}

// --- the listening socket ---------------------------------------------------------

bool DeviceServer::Listen(const std::string& path, std::string& error) {
    if (epoll_ < 0) {
        error = "the event loop could not be created";
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path '" + path + "' is empty or longer than " +
                std::to_string(sizeof addr.sun_path - 1) + " bytes";
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    // The directory: created (one level) when missing, as /run/gnss is on a fresh boot.
    if (const auto slash = path.rfind('/'); slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create directory '" + dir + "': " + std::strerror(errno);
            return false;
        }
    }

    // An existing socket file is either a live server's (refuse) or stale (remove).
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = "'" + path + "' exists and is not a socket";
            return false;
        }
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        const int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        const int err = errno;
        ::close(probe);
        if (rc == 0 || err != ECONNREFUSED) {
            error = "another server is listening on '" + path + "'";
            return false;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove the stale socket '" + path + "': " + std::strerror(errno);
            return false;
        }
        GNSSD_LOG(kLogInfo, "removed the stale socket %s", path.c_str());
    }

    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot bind '" + path + "': " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // Nobody can connect before listen(), so the mode is right before anyone can use it.
    if (::chmod(path.c_str(), 0660) != 0 || ::lstat(path.c_str(), &st) != 0 ||
        ::listen(fd, 16) != 0) {
        error = "cannot set up '" + path + "': " + std::strerror(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    socketDev_ = st.st_dev;
    socketIno_ = st.st_ino;
    listen_ = fd;
    path_ = path;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenKey;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);
    GNSSD_LOG(kLogInfo, "listening on %s", path.c_str());
    return true;
}

void DeviceServer::StopAccepting() {
    if (listen_ < 0) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listen_, nullptr);
    CloseFd(listen_);
    // Remove the file only while it is still ours (not a successor's socket).
    struct stat st{};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDev_ && st.st_ino == socketIno_)
        ::unlink(path_.c_str());
    GNSSD_LOG(kLogInfo, "stopped listening on %s", path_.c_str());
}

void DeviceServer::WatchSignals(int signalFd, std::function<void(int)> onSignal) {
    signalFd_ = signalFd;
    onSignal_ = std::move(onSignal);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kSignalKey;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, signalFd_, &ev);
}

// --- the loop -------------------------------------------------------------------------

void DeviceServer::Run() {
    stopRequested_ = false;
    Loop([this] { return stopRequested_; });
}

void DeviceServer::Stop() { inbox_->Post(Inbox::StopRequest{}); }

void DeviceServer::NotifyDeviceRemoved() { inbox_->Post(Inbox::DeviceRemoved{}); }

void DeviceServer::CloseAllAndDrain() {
    for (auto& [id, c] : connections_)
        if (!c->closing) BeginClose(*c, "closing every connection");
    ReapAndArmTimer();
    Loop([this] { return connections_.empty(); });
}

void DeviceServer::Loop(const std::function<bool()>& done) {
    epoll_event events[32];
    while (!done()) {
        const int n = ::epoll_wait(epoll_, events, 32, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            GNSSD_LOG(kLogError, "ERROR: epoll_wait: %s", std::strerror(errno));
            return;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[i].data.u64;
            switch (key) {
                case kListenKey: Accept(); break;
                case kInboxKey: HandleInbox(); break;
                case kTimerKey: HandleTimer(); break;
                case kSignalKey: {
                    signalfd_siginfo info;
                    while (::read(signalFd_, &info, sizeof info) == sizeof info)
                        if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
                    break;
                }
                default: {
                    // The connection may have gone while handling an earlier event.
                    Connection* c = Find(key - kFirstConnectionKey);
                    if (c == nullptr) break;
                    const std::uint32_t what = events[i].events;
                    if ((what & EPOLLOUT) != 0) {
                        c->writeBlocked = false;
                        if (!Flush(*c)) break;
                    }
                    if ((what & EPOLLIN) != 0 && !c->closing) {
                        HandleReadable(*c);
                    } else if ((what & (EPOLLHUP | EPOLLERR)) != 0) {
                        Abort(*c, "connection closed by the client");
                    }
                    break;
                }
            }
        }
        ReapAndArmTimer();
    }
}

DeviceServer::Connection* DeviceServer::Find(std::uint64_t id) {
    const auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second.get();
}

void DeviceServer::HandleInbox() {
    for (auto& item : inbox_->Take()) {
        if (auto* done = std::get_if<Inbox::Completed>(&item)) {
            Deliver(done->connection, done->tag, std::move(done->completion));
        } else if (std::holds_alternative<Inbox::DeviceRemoved>(item)) {
            GNSSD_LOG(kLogInfo, "device removed: closing %zu connection(s)", connections_.size());
            for (auto& [id, c] : connections_) {
                c->fileOpen = false;  // the framework closed every file object
                if (!c->closing) BeginClose(*c, "device removed");
            }
            if (onDeviceRemoved_) onDeviceRemoved_();
        } else {
            stopRequested_ = true;
        }
    }
}

// --- connections ----------------------------------------------------------------------

void DeviceServer::Accept() {
    if (listen_ < 0) return;
    for (;;) {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                GNSSD_LOG(kLogError, "ERROR: accept: %s", std::strerror(errno));
            return;
        }
        auto owned = std::make_unique<Connection>();
        Connection& c = *owned;
        c.id = nextId_++;
        c.fd = fd;
        connections_.emplace(c.id, std::move(owned));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kFirstConnectionKey + c.id;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        c.registered = EPOLLIN;

        NTSTATUS status = STATUS_NO_SUCH_DEVICE;
        if (device_.Available()) {
            status = device_.Open(&c.file);
            c.fileOpen = NT_SUCCESS(status);
        }
        char text[64];
        GNSSD_LOG(kLogInfo, "connection %llu: open %s", static_cast<unsigned long long>(c.id),
                  StatusText(status, text, sizeof text));
        Enqueue(c, frame::EncodeOpenResult(status, GNSS_INTERFACE_VERSION));
        if (!Flush(c)) continue;
        if (!NT_SUCCESS(status)) BeginClose(c, "open refused");
    }
}

void DeviceServer::HandleReadable(Connection& c) {
    for (int i = 0; i < kReadBurst; ++i) {
        iovec iov{readBuffer_.data(), readBuffer_.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(c.fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            Abort(c, "connection failed", kLogWarning);
            return;
        }
        if (n == 0) {
            Abort(c, "connection closed by the client");
            return;
        }
        if ((msg.msg_flags & MSG_TRUNC) != 0 || static_cast<std::size_t>(n) > readBuffer_.size()) {
            Abort(c, frame::FrameErrorText(frame::FrameError::OversizedFrame), kLogWarning);
            return;
        }
        if (!HandleFrame(c, {readBuffer_.data(), static_cast<std::size_t>(n)})) return;
        // Back-pressure: a client that does not read its completions is not read either.
        if (c.closing || c.outgoing.size() >= limits_.maxQueuedFrames) return;
    }
}

bool DeviceServer::HandleFrame(Connection& c, std::span<const std::uint8_t> bytes) {
    frame::Request request;
    const frame::FrameError error = frame::DecodeRequest(bytes, request);
    if (error != frame::FrameError::None) {
        Abort(c, frame::FrameErrorText(error), kLogWarning);
        return false;
    }
    const auto tag = static_cast<unsigned long long>(request.tag);
    if (request.type == frame::FrameType::Cancel) {
        const auto it = c.outstanding.find(request.tag);
        if (it == c.outstanding.end()) {
            // Already completed (its completion may be on its way): nothing to do.
            GNSSD_LOG(kLogVerbose, "connection %llu: cancel of tag %llu, not outstanding",
                      static_cast<unsigned long long>(c.id), tag);
            return true;
        }
        const bool cancelled = device_.Cancel(it->second);
        GNSSD_LOG(kLogVerbose, "connection %llu: cancel of tag %llu: %s",
                  static_cast<unsigned long long>(c.id), tag,
                  cancelled ? "cancelled" : "not waiting, left to complete");
        return true;
    }

    if (c.outstanding.count(request.tag) != 0) {
        Abort(c, "duplicate outstanding tag", kLogWarning);
        return false;
    }
    if (c.outstanding.size() >= limits_.maxOutstanding) {
        Abort(c, "too many outstanding requests", kLogWarning);
        return false;
    }
    RequestHandle handle = 0;
    std::weak_ptr<Inbox> inbox = inbox_;
    const std::uint64_t connection = c.id;
    const std::uint64_t requestTag = request.tag;
    const NTSTATUS status = device_.Submit(
        c.file, request.controlCode, request.input.data(), request.input.size(),
        request.outputLength,
        [inbox, connection, requestTag](DeviceCompletion&& done) {
            if (auto box = inbox.lock())
                box->Post(Inbox::Completed{connection, requestTag, std::move(done)});
        },
        &handle);
    if (!NT_SUCCESS(status)) {
        // Refused at once (no handler call): answer it here.
        std::vector<std::uint8_t> out;
        frame::EncodeCompletion(request.tag, status, 0, {}, out);
        Enqueue(c, std::move(out));
        return Flush(c);
    }
    c.outstanding.emplace(request.tag, handle);
    return true;
}

void DeviceServer::Deliver(std::uint64_t connection, std::uint64_t tag, DeviceCompletion&& done) {
    Connection* c = Find(connection);
    if (c == nullptr) return;  // the connection ended; its completion goes nowhere
    const auto it = c->outstanding.find(tag);
    if (it == c->outstanding.end()) {
        GNSSD_LOG(kLogError, "ERROR: connection %llu: completion for tag %llu, not outstanding",
                  static_cast<unsigned long long>(connection), static_cast<unsigned long long>(tag));
        return;
    }
    c->outstanding.erase(it);
    // The output never exceeds the information (the framework trims it to the
    // output length already).
    std::size_t count = done.output.size();
    if (count > done.information) count = static_cast<std::size_t>(done.information);
    std::vector<std::uint8_t> out;
    const frame::FrameError error = frame::EncodeCompletion(
        tag, done.status, done.information, {done.output.data(), count}, out);
    if (error != frame::FrameError::None) {
        GNSSD_LOG(kLogError, "ERROR: connection %llu: completion of tag %llu: %s",
                  static_cast<unsigned long long>(connection), static_cast<unsigned long long>(tag),
                  frame::FrameErrorText(error));
        frame::EncodeCompletion(tag, STATUS_INTERNAL_ERROR, 0, {}, out);
    }
    Enqueue(*c, std::move(out));
    Flush(*c);
}

void DeviceServer::Enqueue(Connection& c, std::vector<std::uint8_t>&& frame) {
    c.outgoing.push_back(std::move(frame));
}

bool DeviceServer::Flush(Connection& c) {
    while (!c.outgoing.empty() && !c.writeBlocked) {
        const auto& f = c.outgoing.front();
        const ssize_t n = ::send(c.fd, f.data(), f.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                c.writeBlocked = true;
                break;
            }
            Abort(c, "connection failed while sending", kLogWarning);
            return false;
        }
        c.outgoing.pop_front();
    }
    UpdateInterest(c);
    return true;
}

void DeviceServer::UpdateInterest(Connection& c) {
    std::uint32_t want = 0;
    if (!c.closing && c.outgoing.size() < limits_.maxQueuedFrames) want |= EPOLLIN;
    if (c.writeBlocked) want |= EPOLLOUT;
    if (want == c.registered) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = kFirstConnectionKey + c.id;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    c.registered = want;
}

void DeviceServer::BeginClose(Connection& c, const char* why) {
    GNSSD_LOG(kLogInfo, "connection %llu: %s; closing after %zu outstanding request(s)",
              static_cast<unsigned long long>(c.id), why, c.outstanding.size());
    c.closing = true;
    c.closeBy = std::chrono::steady_clock::now() + limits_.closeGrace;
    ::shutdown(c.fd, SHUT_RD);
    UpdateInterest(c);
}

void DeviceServer::Abort(Connection& c, const char* why, unsigned level) {
    const std::uint64_t id = c.id;
    if (c.outstanding.empty())
        GNSSD_LOG(level, "connection %llu: %s; closed",
                  static_cast<unsigned long long>(id), why);
    else
        GNSSD_LOG(level, "connection %llu: %s; cancelling %zu request(s) and closing",
                  static_cast<unsigned long long>(id), why, c.outstanding.size());
    if (c.fileOpen) {
        for (const auto& [tag, request] : c.outstanding) device_.Cancel(request);
        device_.Close(c.file);
        c.fileOpen = false;
    }
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    connections_.erase(id);  // c is gone from here on
}

void DeviceServer::ReapAndArmTimer() {
    auto earliest = std::chrono::steady_clock::time_point::max();
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& c = *(it++)->second;  // advance first: Abort erases c
        if (!c.closing) continue;
        if (c.outgoing.empty() && c.outstanding.empty()) {
            Abort(c, "drained");
            continue;
        }
        earliest = std::min(earliest, c.closeBy);
    }
    itimerspec due{};
    if (earliest != std::chrono::steady_clock::time_point::max()) {
        auto left = earliest - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0)) left = std::chrono::nanoseconds(1);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        due.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        due.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    ::timerfd_settime(timer_, 0, &due, nullptr);
}

void DeviceServer::HandleTimer() {
    std::uint64_t expirations;
    [[maybe_unused]] const ssize_t n = ::read(timer_, &expirations, sizeof expirations);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& c = *(it++)->second;
        if (c.closing && c.closeBy <= now) Abort(c, "grace time over", kLogWarning);
    }
}

}  // namespace gnss::host
