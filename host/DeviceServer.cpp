#include "DeviceServer.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <variant>

#include "HostLog.h"
#include "HostOptions.h"
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

unsigned long long Id(std::uint64_t id) { return static_cast<unsigned long long>(id); }

// The completion frame of a request.  The output never exceeds the
// information (the framework trims it to the output length already).
void EncodeAnswer(std::uint64_t connection, std::uint64_t tag, const DeviceCompletion& done,
                  std::vector<std::uint8_t>& out) {
    std::size_t count = done.output.size();
    if (count > done.information) count = static_cast<std::size_t>(done.information);
    const frame::FrameError error = frame::EncodeCompletion(
        tag, done.status, done.information, {done.output.data(), count}, out);
    if (error != frame::FrameError::None) {
        GNSSD_LOG(kLogError, "ERROR: connection %llu: completion of tag %llu: %s", Id(connection),
                  static_cast<unsigned long long>(tag), frame::FrameErrorText(error));
        frame::EncodeCompletion(tag, STATUS_INTERNAL_ERROR, 0, {}, out);
    }
}

}  // namespace

// What a connection shares with the threads that complete its requests; the
// rules are in DeviceServer.h (Direct completions).
struct DeviceServer::Wire {
    std::mutex lock;
    int fd = -1;             // the socket while direct writes are allowed, else -1
    std::size_t behind = 0;  // its completions posted to the inbox, not yet sent or queued
    std::vector<std::uint64_t> sent;  // tags written directly, not yet forgotten by the loop

    // On the completing thread.  True when the completion has been written
    // to the socket; false when it must go through the inbox (counted behind).
    bool WriteOrHold(std::uint64_t connection, std::uint64_t tag, const DeviceCompletion& done,
                     bool direct) {
        std::vector<std::uint8_t> out;
        if (direct) EncodeAnswer(connection, tag, done, out);
        std::lock_guard guard(lock);
        if (direct && fd >= 0 && behind == 0) {
            ssize_t n;
            do {
                n = ::send(fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            } while (n < 0 && errno == EINTR);
            if (n >= 0) {
                sent.push_back(tag);
                return true;
            }
            // EAGAIN or a broken connection: the loop finds the same when it
            // sends this completion, and waits for room or ends the connection.
            fd = -1;
        }
        ++behind;
        return false;
    }
};

// Work handed to the loop thread by other threads.
struct DeviceServer::Inbox {
    struct Completed {
        std::uint64_t connection;
        std::uint64_t tag;
        DeviceCompletion completion;
    };
    // The answer to one of the server's own requests that undo what an ended
    // connection left in the driver.
    struct UndoCompleted {
        std::uint64_t connection;
        RequestEffect effect;
        NTSTATUS status;
    };
    struct DeviceRemoved {};
    struct StopRequest {};
    using Item = std::variant<Completed, UndoCompleted, DeviceRemoved, StopRequest>;

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
        CloseFd(epoll_);
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kInboxKey;
    const int inboxAdded = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, inbox_->eventFd, &ev);
    ev.data.u64 = kTimerKey;
    if (inboxAdded != 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev) != 0) {
        GNSSD_LOG(kLogError, "ERROR: cannot create the event loop: %s", std::strerror(errno));
        CloseFd(epoll_);
        return;
    }
    readBuffer_.resize(frame::kMaxRequestFrame);
}

DeviceServer::~DeviceServer() {
    // No new clients while the last ones' cleanup runs.
    StopAccepting();
    for (const std::uint64_t id : Ids())
        if (Connection* c = Find(id); c != nullptr && !c->ended) End(*c, "server shutting down");
    // The cleanup of connections whose file objects are open waits for the
    // device's answers; the grace time bounds it.
    if (epoll_ >= 0 && !connections_.empty()) {
        ReapAndArmTimer();
        Loop([this] { return connections_.empty(); });
    }
    for (auto& [id, c] : connections_)
        if (c->fileOpen) device_.Close(c->file);  // only when the loop failed
    connections_.clear();
    CloseFd(timer_);
    CloseFd(epoll_);
}

// --- the listening socket ---------------------------------------------------------

bool DeviceServer::Listen(const std::string& path, std::string& error, gid_t group) {
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
    if (::chmod(path.c_str(), 0660) != 0 ||
        (group != static_cast<gid_t>(-1) && ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) ||
        ::lstat(path.c_str(), &st) != 0 ||
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
    UpdateListening();
    GNSSD_LOG(kLogInfo, "listening on %s", path.c_str());
    return true;
}

void DeviceServer::StopAccepting() {
    if (listen_ < 0) return;
    if (listening_) {
        [[maybe_unused]] const int rc = ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listen_, nullptr);
        listening_ = false;
    }
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
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, signalFd_, &ev) != 0)
        GNSSD_LOG(kLogError, "ERROR: cannot watch the signals: %s", std::strerror(errno));
}

// --- the loop -------------------------------------------------------------------------

void DeviceServer::Run() {
    stopRequested_ = false;
    Loop([this] { return stopRequested_; });
}

void DeviceServer::RunUntilIdle() {
    loopFailed_ = false;
    while (!loopFailed_ && Step(0)) {
    }
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
    loopFailed_ = false;
    while (!done() && !loopFailed_) Step(-1);
}

bool DeviceServer::Step(int timeoutMs) {
    if (epoll_ < 0) {
        loopFailed_ = true;
        return false;
    }
    epoll_event events[32];
    const int n = ::epoll_wait(epoll_, events, 32, timeoutMs);
    if (n < 0) {
        if (errno == EINTR) return true;
        GNSSD_LOG(kLogError, "ERROR: epoll_wait: %s", std::strerror(errno));
        loopFailed_ = true;
        return false;
    }
    // The listening socket comes last: a client that closes one connection
    // and at once opens another must find the first one's end handled (and
    // its session slot free) before the new open is answered.
    bool acceptReady = false;
    for (int i = 0; i < n; ++i) {
        const std::uint64_t key = events[i].data.u64;
        switch (key) {
            case kListenKey: acceptReady = true; break;
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
                if (c == nullptr || c->ended) break;
                const std::uint32_t what = events[i].events;
                if ((what & EPOLLOUT) != 0) {
                    c->writeBlocked = false;
                    if (!Flush(*c)) break;
                }
                if ((what & EPOLLIN) != 0 && !c->closing) {
                    HandleReadable(*c);
                } else if ((what & (EPOLLHUP | EPOLLERR)) != 0) {
                    End(*c, "connection closed by the client");
                }
                break;
            }
        }
    }
    if (acceptReady && listening_) Accept();
    AnswerOpens();
    ReapAndArmTimer();
    return n > 0;
}

std::vector<std::uint64_t> DeviceServer::Ids() const {
    std::vector<std::uint64_t> ids;
    ids.reserve(connections_.size());
    for (const auto& [id, c] : connections_) ids.push_back(id);
    return ids;
}

DeviceServer::Connection* DeviceServer::Find(std::uint64_t id) {
    const auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second.get();
}

void DeviceServer::HandleInbox() {
    for (auto& item : inbox_->Take()) {
        if (auto* done = std::get_if<Inbox::Completed>(&item)) {
            Deliver(done->connection, done->tag, std::move(done->completion));
        } else if (auto* undone = std::get_if<Inbox::UndoCompleted>(&item)) {
            DeliverUndo(undone->connection, undone->effect, undone->status);
        } else if (std::holds_alternative<Inbox::DeviceRemoved>(item)) {
            GNSSD_LOG(kLogInfo, "device removed: closing %zu connection(s)", connections_.size());
            for (auto& [id, c] : connections_) {
                c->fileOpen = false;  // the framework closed every file object
                if (c->opened && !c->closing)
                    BeginClose(*c, "device removed");  // an unanswered open is answered later
            }
            AdvanceCleanups();  // nothing is left to undo through a closed file object
            if (onDeviceRemoved_) onDeviceRemoved_();
        } else {
            stopRequested_ = true;
        }
    }
}

// --- connections ----------------------------------------------------------------------

void DeviceServer::UpdateListening() {
    // While an ended connection's cleanup is in flight its file object is
    // still open: a new open would find its session slot taken.
    const bool want = listen_ >= 0 && !outOfDescriptors_ && !Cleaning();
    if (want == listening_) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenKey;
    if (::epoll_ctl(epoll_, want ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listen_, &ev) != 0) {
        GNSSD_LOG(kLogError, "ERROR: epoll_ctl of the listening socket: %s", std::strerror(errno));
        return;
    }
    listening_ = want;
}

void DeviceServer::Accept() {
    // One connection per wait: at the limit of descriptors accept fails with
    // EMFILE even when nobody is waiting, so it is called only when somebody is.
    int fd;
    do {
        fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED));
    if (fd < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) return;
        // Out of descriptors (EMFILE, ENFILE) or memory, the pending
        // connection stays ready and accept fails again at once: stop polling
        // the listening socket until a connection ends or the pause is over,
        // and say so once.
        if (!acceptFailureLogged_) {
            GNSSD_LOG(kLogError,
                      "ERROR: accept: %s; accepting again once a connection ends or in %lld ms",
                      std::strerror(error), static_cast<long long>(limits_.acceptPause.count()));
            acceptFailureLogged_ = true;
        }
        outOfDescriptors_ = true;
        acceptRetryAt_ = std::chrono::steady_clock::now() + limits_.acceptPause;
        UpdateListening();
        return;
    }
    if (acceptFailureLogged_) {
        GNSSD_LOG(kLogInfo, "accepting connections again");
        acceptFailureLogged_ = false;
    }
    auto owned = std::make_unique<Connection>();
    Connection& c = *owned;
    c.id = nextId_++;
    c.fd = fd;
    c.wire = std::make_shared<Wire>();  // no direct writes before the open is answered
    // Every frame then carries the sender's credentials, which tells an empty
    // frame from the end of the connection (recvmsg returns 0 for both).
    const int on = 1;
    c.credentials = ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0;
    // Nothing is read before the open is answered (AnswerOpens); a hang-up
    // is reported all the same.
    epoll_event ev{};
    ev.events = 0;
    ev.data.u64 = kFirstConnectionKey + c.id;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        GNSSD_LOG(kLogError, "ERROR: connection %llu: cannot poll it: %s; closed", Id(c.id),
                  std::strerror(errno));
        ::close(fd);
        return;
    }
    connections_.emplace(c.id, std::move(owned));
}

void DeviceServer::AnswerOpens() {
    std::vector<std::uint64_t> waiting;
    for (const auto& [id, c] : connections_)
        if (!c->opened && !c->ended) waiting.push_back(id);
    for (const std::uint64_t id : waiting) {
        // A client that has closed a connection and now opens this one must
        // find the first one's end handled and its session slot free.
        HandleHangUps();
        if (Cleaning()) return;  // answered once the cleanup is done
        Connection* c = Find(id);
        if (c == nullptr || c->ended) continue;  // it hung up itself
        NTSTATUS status = STATUS_NO_SUCH_DEVICE;
        if (device_.Available()) {
            status = device_.Open(&c->file);
            c->fileOpen = NT_SUCCESS(status);
        }
        c->opened = true;
        char text[64];
        GNSSD_LOG(kLogInfo, "connection %llu: open %s", Id(id),
                  StatusText(status, text, sizeof text));
        Enqueue(*c, frame::EncodeOpenResult(status, GNSS_INTERFACE_VERSION));
        if (!NT_SUCCESS(status)) {
            // Why, for the client's message: the status answer under tag 0,
            // which no request carries (a refused connection sends none).
            const std::string text = StatusAnswer();
            std::vector<std::uint8_t> out;
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
            frame::EncodeCompletion(0, STATUS_SUCCESS, text.size(), {bytes, text.size()}, out);
            Enqueue(*c, std::move(out));
        }
        if (Flush(*c) && !NT_SUCCESS(status)) BeginClose(*c, "open refused");
    }
}

bool DeviceServer::Cleaning() const {
    for (const auto& [id, c] : connections_)
        if (c->ended) return true;
    return false;
}

// Hang-ups the loop has not seen yet: a client that closed a connection just
// before it opened another, when the two became ready in different waits.
void DeviceServer::HandleHangUps() {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    for (const auto& [id, c] : connections_) {
        if (c->closing) continue;  // holds no session slot (or has ended)
        fds.push_back(pollfd{c->fd, POLLRDHUP, 0});
        ids.push_back(id);
    }
    if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) continue;
        Connection* c = Find(ids[i]);
        if (c == nullptr || c->closing) continue;
        if (c->opened)
            HandleReadable(*c);  // what it sent before it went, then its end
        else
            End(*c, "connection closed by the client");
    }
}

bool DeviceServer::Reading(const Connection& c) const {
    // Back-pressure: a client that does not read its completions is not read either.
    return c.opened && !c.closing && c.outgoing.size() < limits_.maxQueuedFrames &&
           c.queuedBytes < limits_.maxQueuedBytes;
}

void DeviceServer::HandleReadable(Connection& c) {
    for (int i = 0; i < kReadBurst; ++i) {
        iovec iov{readBuffer_.data(), readBuffer_.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(c.fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            End(c, "connection failed", kLogWarning);
            return;
        }
        // Only a frame carries credentials; the end of the connection has none.
        if (n == 0 && (!c.credentials || msg.msg_controllen == 0)) {
            End(c, "connection closed by the client");
            return;
        }
        if ((msg.msg_flags & MSG_TRUNC) != 0 || static_cast<std::size_t>(n) > readBuffer_.size()) {
            End(c, frame::FrameErrorText(frame::FrameError::OversizedFrame), kLogWarning);
            return;
        }
        // An empty frame goes to the decoder like any other: a short frame.
        if (!HandleFrame(c, {readBuffer_.data(), static_cast<std::size_t>(n)})) return;
        if (!Reading(c)) return;
    }
}

bool DeviceServer::HandleFrame(Connection& c, std::span<const std::uint8_t> bytes) {
    // The client may reuse the tags of requests answered directly.
    Reconcile(c);
    frame::Request request;
    const frame::FrameError error = frame::DecodeRequest(bytes, request);
    if (error != frame::FrameError::None) {
        End(c, frame::FrameErrorText(error), kLogWarning);
        return false;
    }
    const auto tag = static_cast<unsigned long long>(request.tag);
    if (request.type == frame::FrameType::HostQuery) return AnswerHostQuery(c, request);
    if (request.type == frame::FrameType::Cancel) {
        const auto it = c.outstanding.find(request.tag);
        if (it == c.outstanding.end()) {
            // Already completed (its completion may be on its way): nothing to do.
            GNSSD_LOG(kLogVerbose, "connection %llu: cancel of tag %llu, not outstanding", Id(c.id),
                      tag);
            return true;
        }
        const bool cancelled = device_.Cancel(it->second.handle);
        GNSSD_LOG(kLogVerbose, "connection %llu: cancel of tag %llu: %s", Id(c.id), tag,
                  cancelled ? "cancelled" : "not waiting, left to complete");
        return true;
    }

    if (c.outstanding.count(request.tag) != 0) {
        End(c, "duplicate outstanding tag", kLogWarning);
        return false;
    }
    if (c.outstanding.size() >= limits_.maxOutstanding) {
        End(c, "too many outstanding requests", kLogWarning);
        return false;
    }
    // While a request is outstanding the framework keeps a copy of its input
    // and, once the driver writes it, an output buffer of its length: that
    // is what a client can make the daemon hold, and what the limit bounds.
    const std::size_t buffers = request.input.size() + request.outputLength;
    if (buffers > limits_.maxOutstandingBytes - c.outstandingBytes) {
        char why[96];
        std::snprintf(why, sizeof why, "outstanding request buffers over %zu bytes",
                      limits_.maxOutstandingBytes);
        End(c, why, kLogWarning);
        return false;
    }
    RequestHandle handle = 0;
    std::weak_ptr<Inbox> inbox = inbox_;
    std::shared_ptr<Wire> wire = c.wire;
    const std::uint64_t connection = c.id;
    const std::uint64_t requestTag = request.tag;
    const RequestEffect effect = EffectOf(request.controlCode, request.input);
    // What a request changes in the driver is followed on the loop thread:
    // only the others may be answered by the completing thread itself.
    const bool direct = !effect.Any();
    const NTSTATUS status = device_.Submit(
        c.file, request.controlCode, request.input.data(), request.input.size(),
        request.outputLength,
        [inbox, wire, connection, requestTag, direct](DeviceCompletion&& done) {
            if (wire->WriteOrHold(connection, requestTag, done, direct)) return;
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
    c.outstanding.emplace(request.tag, Request{handle, buffers, effect});
    c.outstandingBytes += buffers;
    if (effect.Any()) ++effectsInFlight_;
    return true;
}

bool DeviceServer::AnswerHostQuery(Connection& c, const frame::Request& request) {
    std::string text;
    NTSTATUS status = STATUS_SUCCESS;
    if (request.controlCode == frame::kHostQueryStatus)
        text = StatusAnswer();
    else
        status = STATUS_NOT_SUPPORTED;
    if (text.size() > request.outputLength && status == STATUS_SUCCESS) status = STATUS_BUFFER_TOO_SMALL;
    const std::size_t count = NT_SUCCESS(status) ? text.size() : 0;
    GNSSD_LOG(kLogVerbose, "connection %llu: host query %u: %zu bytes", Id(c.id),
              request.controlCode, count);
    std::vector<std::uint8_t> out;
    frame::EncodeCompletion(request.tag, status, text.size(),
                            {reinterpret_cast<const std::uint8_t*>(text.data()), count}, out);
    Enqueue(c, std::move(out));
    return Flush(c);
}

std::string DeviceServer::StatusAnswer() const {
    std::string text = "connections " + std::to_string(connections_.size()) + "\n";
    for (const SessionLedger::Session& s : ledger_.Sessions())
        text += "session " + std::to_string(s.id) +
                (s.continuous ? " continuous " : " single-shot ") + std::to_string(s.interval) +
                "\n";
    text += "nmea-wanted " + std::to_string(ledger_.NmeaCount()) + "\n";
    if (ledger_.LkgId() != 0) text += "lkg " + std::to_string(ledger_.LkgId()) + "\n";
    if (nmeaLost_) text += "nmea-lost " + std::to_string(nmeaLost_()) + "\n";
    const auto onOff = [](bool on) { return on ? " on\n" : " off\n"; };
    text += std::string("location") + onOff(ledger_.LocationOn());
    text += std::string("test-mode") + onOff(ledger_.TestModeOn());
    text += std::string("nmea-log") + onOff(ledger_.NmeaLogOn());
    // The driver's rule for the path, read from the environment gnssd and
    // the driver share (gnssd sets it from --nmea-log before loading the module).
    const char* fromEnvironment = std::getenv(kNmeaLogVariable);
    const std::string path = fromEnvironment != nullptr && *fromEnvironment != '\0'
                                 ? fromEnvironment
                                 : kDefaultNmeaLog;
    text += "nmea-log-path " + path + "\n";
    if (ledger_.NmeaLogOn()) {
        // The driver creates the file but never its folder; opening fails
        // while the folder is missing, and the switch is on all the same.
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0                ? "/"
                                                               : path.substr(0, slash);
        struct stat st{};
        const bool file = ::stat(path.c_str(), &st) == 0;
        const bool dir = ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        text += std::string("nmea-log-file ") + (file ? "present\n" : "missing\n");
        text += std::string("nmea-log-folder ") + (dir ? "present\n" : "missing\n");
    }
    if (device_.Available())
        text += "modem attached\n";
    else
        text += "modem waiting" + (modemWaitsFor_.empty() ? "" : " " + modemWaitsFor_) + "\n";
    return text;
}

void DeviceServer::Deliver(std::uint64_t connection, std::uint64_t tag, DeviceCompletion&& done) {
    Connection* c = Find(connection);
    if (c == nullptr) return;  // the connection ended; its completion goes nowhere
    const auto it = c->outstanding.find(tag);
    if (it == c->outstanding.end()) {
        GNSSD_LOG(kLogError, "ERROR: connection %llu: completion for tag %llu, not outstanding",
                  Id(connection), static_cast<unsigned long long>(tag));
        Flush(*c, true);  // nothing to send for it, but no longer behind
        return;
    }
    const Request request = it->second;
    c->outstanding.erase(it);
    c->outstandingBytes -= request.bytes;
    if (request.effect.Any()) {
        // After its undo has gone out (the grace time ran out first) only
        // the driver-wide part of the change is followed.
        const std::uint64_t owner = c->undoSubmitted ? SessionLedger::kNoConnection : c->id;
        if (request.effect.TookEffect(done.status)) ledger_.Applied(owner, request.effect);
        --effectsInFlight_;
    }
    if (c->ended || request.effect.Any()) {
        const bool ended = c->ended;
        AdvanceCleanups();  // c may be gone from here on
        if (ended) return;  // its client is gone: only what it changed mattered
        c = Find(connection);
        if (c == nullptr) return;
    }
    std::vector<std::uint8_t> out;
    EncodeAnswer(connection, tag, done, out);
    Enqueue(*c, std::move(out));
    Flush(*c, true);
}

void DeviceServer::Enqueue(Connection& c, std::vector<std::uint8_t>&& frame) {
    c.queuedBytes += frame.size();
    c.outgoing.push_back(std::move(frame));
}

bool DeviceServer::Flush(Connection& c, bool delivered) {
    bool failed = false;
    {
        Wire& w = *c.wire;
        std::lock_guard guard(w.lock);
        if (delivered && w.behind > 0) --w.behind;
        while (!c.outgoing.empty() && !c.writeBlocked) {
            const auto& f = c.outgoing.front();
            const ssize_t n = ::send(c.fd, f.data(), f.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    c.writeBlocked = true;
                    break;
                }
                failed = true;
                break;
            }
            c.queuedBytes -= f.size();
            c.outgoing.pop_front();
        }
        const bool direct = !failed && c.opened && !c.closing && !c.ended && !c.writeBlocked &&
                            c.outgoing.empty();
        w.fd = direct ? c.fd : -1;
    }
    if (failed) {
        End(c, "connection failed while sending", kLogWarning);
        return false;
    }
    UpdateInterest(c);
    return true;
}

void DeviceServer::Reconcile(Connection& c) {
    sentTags_.clear();
    {
        std::lock_guard guard(c.wire->lock);
        if (c.wire->sent.empty()) return;
        // The handlers keep the capacity of the one, the loop that of the other.
        c.wire->sent.swap(sentTags_);
    }
    for (const std::uint64_t tag : sentTags_) {
        const auto it = c.outstanding.find(tag);
        if (it == c.outstanding.end()) continue;
        c.outstandingBytes -= it->second.bytes;
        c.outstanding.erase(it);
    }
}

void DeviceServer::StopDirectWrites(Connection& c) {
    {
        std::lock_guard guard(c.wire->lock);
        c.wire->fd = -1;
    }
    Reconcile(c);
}

void DeviceServer::UpdateInterest(Connection& c) {
    std::uint32_t want = 0;
    if (Reading(c)) want |= EPOLLIN;
    if (c.writeBlocked) want |= EPOLLOUT;
    if (want == c.registered) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = kFirstConnectionKey + c.id;
    if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev) != 0) {
        GNSSD_LOG(kLogError, "ERROR: connection %llu: epoll_ctl: %s", Id(c.id),
                  std::strerror(errno));
        return;
    }
    c.registered = want;
}

void DeviceServer::BeginClose(Connection& c, const char* why) {
    GNSSD_LOG(kLogInfo, "connection %llu: %s; closing after %zu outstanding request(s)", Id(c.id),
              why, c.outstanding.size());
    c.closing = true;
    // From here on every completion comes through the inbox: the end of a
    // draining connection waits for its outstanding requests.
    StopDirectWrites(c);
    c.closeBy = std::chrono::steady_clock::now() + limits_.closeGrace;
    ::shutdown(c.fd, SHUT_RD);
    UpdateInterest(c);
}

void DeviceServer::End(Connection& c, const char* why, unsigned level) {
    // Before the socket closes: no handler may send on its descriptor (or on
    // one that reuses its number), and only what is outstanding is cancelled.
    StopDirectWrites(c);
    if (c.outstanding.empty())
        GNSSD_LOG(level, "connection %llu: %s; closed", Id(c.id), why);
    else
        GNSSD_LOG(level, "connection %llu: %s; cancelling %zu request(s) and closing", Id(c.id),
                  why, c.outstanding.size());
    if (c.fd >= 0) {
        [[maybe_unused]] const int rc = ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
        CloseFd(c.fd);
        // A descriptor is free again: a connection that waits for one is taken.
        outOfDescriptors_ = false;
    }
    c.ended = true;
    c.closing = true;
    c.closeBy = std::chrono::steady_clock::now() + limits_.closeGrace;
    std::deque<std::vector<std::uint8_t>>().swap(c.outgoing);
    c.queuedBytes = 0;
    if (c.fileOpen)
        for (const auto& [tag, request] : c.outstanding) device_.Cancel(request.handle);
    AdvanceCleanups();  // c may be gone from here on
    UpdateListening();
}

void DeviceServer::AdvanceCleanups() {
    for (const std::uint64_t id : Ids())
        if (Connection* c = Find(id); c != nullptr && c->ended) Cleanup(*c);
}

void DeviceServer::Cleanup(Connection& c) {
    if (!c.fileOpen) {
        ledger_.Forget(c.id);
        Erase(c);
        return;
    }
    if (!c.undoSubmitted) {
        // The ledger matches the driver only while nothing that changes the
        // driver's state is on its way, on any connection: another client's
        // last-known-good id or NMEA request decides this one's undo, too.
        // Those requests are never parked: this waits for moments only, and
        // not at all for a connection that has left nothing and asks nothing.
        bool asks = false;
        for (const auto& [tag, request] : c.outstanding) asks = asks || request.effect.Any();
        if (effectsInFlight_ > 0 && (asks || ledger_.Holds(c.id))) return;
        SubmitUndo(c);
    }
    if (c.undoing > 0) return;
    device_.Close(c.file);
    c.fileOpen = false;
    Erase(c);
}

void DeviceServer::SubmitUndo(Connection& c) {
    c.undoSubmitted = true;
    for (UndoRequest& undo : ledger_.TakeUndo(c.id)) {
        if (undo.effect.kind == RequestEffect::Kind::Stop)
            GNSSD_LOG(kLogInfo, "connection %llu: stopping fix session %u, which the client left",
                      Id(c.id), static_cast<unsigned>(undo.effect.value));
        else
            GNSSD_LOG(kLogInfo,
                      "connection %llu: withdrawing an NMEA request the client left "
                      "(GNSS_SetNMEALogging %u)",
                      Id(c.id), static_cast<unsigned>(undo.effect.value));
        std::weak_ptr<Inbox> inbox = inbox_;
        const std::uint64_t connection = c.id;
        const RequestEffect effect = undo.effect;
        RequestHandle handle = 0;
        const NTSTATUS status = device_.Submit(
            c.file, undo.controlCode, undo.input.data(), undo.input.size(), 0,
            [inbox, connection, effect](DeviceCompletion&& done) {
                if (auto box = inbox.lock())
                    box->Post(Inbox::UndoCompleted{connection, effect, done.status});
            },
            &handle);
        if (NT_SUCCESS(status)) {
            ++c.undoing;
            ++effectsInFlight_;
        } else {
            char text[64];
            GNSSD_LOG(kLogError, "ERROR: connection %llu: the device refused the undo: %s",
                      Id(c.id), StatusText(status, text, sizeof text));
        }
    }
}

void DeviceServer::DeliverUndo(std::uint64_t connection, const RequestEffect& effect,
                               NTSTATUS status) {
    if (NT_SUCCESS(status)) {
        ledger_.Applied(SessionLedger::kNoConnection, effect);
    } else {
        char text[64];
        GNSSD_LOG(kLogWarning, "WARNING: connection %llu: undoing what the client left: %s",
                  Id(connection), StatusText(status, text, sizeof text));
    }
    --effectsInFlight_;
    // (Its connection may be gone: closed without waiting, grace time over.)
    if (Connection* c = Find(connection); c != nullptr && c->undoing > 0) --c->undoing;
    AdvanceCleanups();
}

void DeviceServer::Erase(Connection& c) {
    // Its outstanding requests' completions will find no connection.
    for (const auto& [tag, request] : c.outstanding)
        if (request.effect.Any()) --effectsInFlight_;
    connections_.erase(c.id);  // c is gone from here on
    UpdateListening();
    // glibc keeps freed blocks in its arenas (the framework's threads have
    // arenas of their own) for later use; with no client left, what is free
    // goes back to the system.
    if (connections_.empty()) ::malloc_trim(0);
}

void DeviceServer::ReapAndArmTimer() {
    for (const std::uint64_t id : Ids()) {
        Connection* c = Find(id);
        if (c != nullptr && c->closing && !c->ended && c->outgoing.empty() &&
            c->outstanding.empty())
            End(*c, "drained");
    }
    auto earliest = std::chrono::steady_clock::time_point::max();
    for (const auto& [id, c] : connections_)
        if (c->closing) earliest = std::min(earliest, c->closeBy);
    if (outOfDescriptors_) earliest = std::min(earliest, acceptRetryAt_);
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
    for (const std::uint64_t id : Ids()) {
        Connection* found = Find(id);  // an earlier one's end may have moved this one on
        if (found == nullptr) continue;
        Connection& c = *found;
        if (!c.closing || c.closeBy > now) continue;
        if (!c.ended) {
            End(c, "grace time over", kLogWarning);
            continue;
        }
        if (!c.undoSubmitted && c.fileOpen) {
            // Requests that change the driver's state are still unanswered:
            // undo what is known rather than nothing.
            GNSSD_LOG(kLogWarning,
                      "WARNING: connection %llu: the device has not answered in time; "
                      "undoing what the client is known to have left",
                      Id(c.id));
            SubmitUndo(c);
            c.closeBy = now + limits_.closeGrace;
            Cleanup(c);  // c may be gone from here on
            continue;
        }
        GNSSD_LOG(kLogWarning,
                  "WARNING: connection %llu: the device has not answered its cleanup in time; "
                  "closing its file object",
                  Id(c.id));
        if (c.fileOpen) device_.Close(c.file);
        c.fileOpen = false;
        ledger_.Forget(c.id);
        Erase(c);
    }
    if (outOfDescriptors_ && acceptRetryAt_ <= now) {
        outOfDescriptors_ = false;
        UpdateListening();
    }
}

}  // namespace gnss::host
