#include "Outputs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "FeedLog.h"

namespace gnss::feed {
namespace {

// What an epoll event is about: the kind in the upper half of its key, the
// listener index, consumer number or pseudo-terminal index in the lower.
enum Kind : std::uint64_t { kSignal = 1, kWake, kTick, kInotify, kAcceptPause, kListener, kStream, kPty };

std::uint64_t Key(Kind kind, std::uint64_t index = 0) { return (std::uint64_t{kind} << 32) | index; }

// How long accepting pauses after running out of descriptors.
constexpr std::chrono::seconds kAcceptPauseLength{1};

// Stream consumers: readable (their input is discarded) and hang-ups.
constexpr std::uint32_t kStreamEvents = EPOLLIN | EPOLLRDHUP;

std::string SocketAddressText(const sockaddr* address) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
    }
    return "?";
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

struct Outputs::Listener {
    int fd = -1;
    std::string label;     // "tcp 127.0.0.1:10110", "unix /path"
    std::string unixPath;  // removed at the end when still ours
    ino_t unixInode = 0;
    bool tcp = true;
};

namespace {

// The bytes that wait for a consumer, written from the front.
class Backlog {
public:
    std::size_t Waiting() const { return bytes_.size() - sent_; }
    const char* Front() const { return bytes_.data() + sent_; }
    void Append(const std::string& block) {
        // What was written goes once it is half the buffer.
        if (sent_ > 0 && sent_ * 2 >= bytes_.size()) {
            bytes_.erase(0, sent_);
            sent_ = 0;
        }
        bytes_ += block;
    }
    void Consume(std::size_t n) {
        sent_ += n;
        if (sent_ == bytes_.size()) Clear();
    }
    void Clear() {
        bytes_.clear();
        sent_ = 0;
    }

private:
    std::string bytes_;
    std::size_t sent_ = 0;
};

}  // namespace

struct Outputs::Stream {
    int id = 0;
    int fd = -1;
    std::string label;
    Backlog backlog;
    bool wantsOut = false;
};

struct Outputs::Pty {
    std::size_t index = 0;
    int master = -1;
    std::string slave;  // /dev/pts/N
    std::string link;
    int watch = -1;       // inotify watch of the slave
    int opens = 0;        // opens of the slave not yet closed
    int consumer = 0;     // its consumer number while opened
    bool watched = false; // the master is in the epoll set
    bool wantsOut = false;
    bool stalled = false; // its waiting bytes were discarded; said once
    Backlog backlog;
};

Outputs::Outputs(std::size_t bufferLimit) : bufferLimit_(bufferLimit) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    acceptPause_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (epoll_ < 0 || wake_ < 0 || inotify_ < 0 || acceptPause_ < 0)
        throw SetupError("cannot set up the event loop: " + ErrorText(errno));
    Watch(wake_, EPOLLIN, Key(kWake));
    Watch(inotify_, EPOLLIN, Key(kInotify));
    Watch(acceptPause_, EPOLLIN, Key(kAcceptPause));
}

Outputs::~Outputs() {
    for (auto& [id, stream] : streams_) ::close(stream->fd);
    for (auto& listener : listeners_) {
        ::close(listener->fd);
        struct stat st {};
        if (!listener->unixPath.empty() && ::lstat(listener->unixPath.c_str(), &st) == 0 &&
            st.st_ino == listener->unixInode)
            ::unlink(listener->unixPath.c_str());
    }
    for (auto& pty : ptys_) {
        char target[256];
        const ssize_t n = ::readlink(pty->link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == pty->slave)
            ::unlink(pty->link.c_str());
        ::close(pty->master);
    }
    CloseFd(acceptPause_);
    CloseFd(inotify_);
    CloseFd(wake_);
    CloseFd(epoll_);
}

void Outputs::Watch(int fd, std::uint32_t events, std::uint64_t key) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = key;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) != 0)
        throw SetupError("cannot watch a descriptor: " + ErrorText(errno));
}

void Outputs::Rewatch(int fd, std::uint32_t events, std::uint64_t key) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = key;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &e);
}

void Outputs::Unwatch(int fd) { ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); }

// --- set-up ----------------------------------------------------------------------

std::string Outputs::ListenTcp(const std::string& addressPort) {
    const auto colon = addressPort.rfind(':');
    std::string host = addressPort.substr(0, colon);
    const std::string port = addressPort.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || port.empty())
        throw SetupError("--tcp " + addressPort + ": give ADDRESS:PORT, e.g. 127.0.0.1:10110");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
        throw SetupError("--tcp " + addressPort + ": " + ::gai_strerror(rc));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, ::freeaddrinfo);

    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw SetupError("--tcp " + addressPort + ": " + ErrorText(errno));
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (found->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
        const int error = errno;
        ::close(fd);
        throw SetupError("cannot listen on tcp " + addressPort + ": " + ErrorText(error));
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    auto listener = std::make_unique<Listener>();
    listener->fd = fd;
    const std::string where = SocketAddressText(reinterpret_cast<sockaddr*>(&bound));
    listener->label = "tcp " + where;
    Watch(fd, EPOLLIN, Key(kListener, listeners_.size()));
    Say("serving NMEA on " + listener->label);
    listeners_.push_back(std::move(listener));
    return where;
}

void Outputs::ListenUnix(const std::string& path, unsigned mode) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw SetupError("--unix " + path + ": the path is too long for a socket");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw SetupError("--unix " + path + ": it exists and is not a socket");
        // A live server answers; a stale file refuses.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address),
                                                  sizeof address) == 0;
        if (probe >= 0) ::close(probe);
        if (live) throw SetupError("--unix " + path + ": another program serves this socket");
        if (::unlink(path.c_str()) != 0)
            throw SetupError("--unix " + path + ": cannot remove the stale socket: " +
                             ErrorText(errno));
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw SetupError("--unix " + path + ": " + ErrorText(errno));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), mode) != 0 || ::listen(fd, 16) != 0 ||
        ::lstat(path.c_str(), &st) != 0) {
        const int error = errno;
        ::close(fd);
        throw SetupError("cannot listen on unix " + path + ": " + ErrorText(error));
    }
    auto listener = std::make_unique<Listener>();
    listener->fd = fd;
    listener->tcp = false;
    listener->label = "unix " + path;
    listener->unixPath = path;
    listener->unixInode = st.st_ino;
    Watch(fd, EPOLLIN, Key(kListener, listeners_.size()));
    Say("serving NMEA on " + listener->label);
    listeners_.push_back(std::move(listener));
}

void Outputs::OpenPty(const std::string& link) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char slave[128] = "";
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, slave, sizeof slave) != 0) {
        const int error = errno;
        if (master >= 0) ::close(master);
        throw SetupError("--pty " + link + ": cannot create a pseudo-terminal: " + ErrorText(error));
    }
    auto pty = std::make_unique<Pty>();
    pty->index = ptys_.size();
    pty->master = master;
    pty->slave = slave;
    pty->link = link;
    // Raw, so that the sentences pass unchanged and nothing echoes back; a
    // program that opens the slave may set its own modes.
    termios modes{};
    if (::tcgetattr(master, &modes) == 0) {
        ::cfmakeraw(&modes);
        ::cfsetspeed(&modes, B115200);
        ::tcsetattr(master, TCSANOW, &modes);
    }

    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        ::close(master);
        throw SetupError("--pty " + link + ": it exists and is not a symbolic link");
    }
    // A new link under another name, then renamed over the old one.
    const std::string temporary = link + ".new." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(slave, temporary.c_str()) != 0 || ::rename(temporary.c_str(), link.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        ::close(master);
        throw SetupError("--pty " + link + ": cannot create the link: " + ErrorText(error));
    }
    pty->watch = ::inotify_add_watch(inotify_, slave, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (pty->watch < 0) {
        const int error = errno;
        ::unlink(link.c_str());
        ::close(master);
        throw SetupError("--pty " + link + ": cannot watch " + slave + ": " + ErrorText(error));
    }
    Say("serving NMEA on pty " + pty->slave + " (link " + link + ")");
    ptys_.push_back(std::move(pty));
}

// --- publishing --------------------------------------------------------------------

void Outputs::Publish(std::string block) {
    if (block.empty()) return;
    {
        std::lock_guard guard(queueLock_);
        queue_.push_back(std::move(block));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void Outputs::Deliver(const std::string& block) {
    std::vector<int> ids;
    for (const auto& [id, stream] : streams_) ids.push_back(id);
    for (const int id : ids) {
        const auto it = streams_.find(id);
        if (it != streams_.end()) DeliverTo(*it->second, block);
    }
    for (auto& pty : ptys_)
        if (pty->opens > 0) DeliverTo(*pty, block);
}

void Outputs::DeliverTo(Stream& stream, const std::string& block) {
    if (stream.backlog.Waiting() + block.size() > bufferLimit_) {
        DropStream(stream.id, "dropped: it stopped reading (" +
                                  std::to_string(stream.backlog.Waiting()) + " bytes waiting)");
        return;
    }
    stream.backlog.Append(block);
    if (!stream.wantsOut) FlushStream(stream);
}

void Outputs::FlushStream(Stream& stream) {
    while (stream.backlog.Waiting() > 0) {
        const ssize_t n = ::send(stream.fd, stream.backlog.Front(), stream.backlog.Waiting(),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            stream.backlog.Consume(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!stream.wantsOut) {
                stream.wantsOut = true;
                Rewatch(stream.fd, kStreamEvents | EPOLLOUT, Key(kStream, stream.id));
            }
            return;
        }
        DropStream(stream.id, "left");
        return;
    }
    if (stream.wantsOut) {
        stream.wantsOut = false;
        Rewatch(stream.fd, kStreamEvents, Key(kStream, stream.id));
    }
}

void Outputs::ReadStream(Stream& stream) {
    char scratch[4096];
    for (;;) {
        const ssize_t n = ::recv(stream.fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) {
            if (static_cast<std::size_t>(n) < sizeof scratch) return;  // read again when it sends more
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        DropStream(stream.id, "left");
        return;
    }
}

void Outputs::DropStream(int id, const std::string& why) {
    const auto it = streams_.find(id);
    if (it == streams_.end()) return;
    Unwatch(it->second->fd);
    ::close(it->second->fd);
    streams_.erase(it);
    Say("consumer " + std::to_string(id) + " " + why);
    // A slot is free again.
    if (!accepting_) ResumeAccepting();
    CountChanged();
}

// --- accepting -----------------------------------------------------------------------

void Outputs::Accept(Listener& listener) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                PauseAccepting(errno);
            return;  // EAGAIN: all taken
        }
        auto stream = std::make_unique<Stream>();
        stream->id = nextConsumer_++;
        stream->fd = fd;
        stream->label = listener.tcp
                            ? "tcp " + SocketAddressText(reinterpret_cast<sockaddr*>(&peer))
                            : listener.label;
        Watch(fd, kStreamEvents, Key(kStream, stream->id));
        Say("consumer " + std::to_string(stream->id) + " connected (" + stream->label + ")");
        streams_.emplace(stream->id, std::move(stream));
        CountChanged();
    }
}

// Out of descriptors (or memory): a pending connection would be reported as
// readable again at once.  Stop watching the listeners until a consumer
// leaves or the pause ends.
void Outputs::PauseAccepting(int error) {
    if (!accepting_) return;
    accepting_ = false;
    for (auto& listener : listeners_) Unwatch(listener->fd);
    itimerspec when{};
    when.it_value.tv_sec = kAcceptPauseLength.count();
    ::timerfd_settime(acceptPause_, 0, &when, nullptr);
    Say("cannot accept a consumer: " + ErrorText(error) + "; not accepting for " +
        std::to_string(kAcceptPauseLength.count()) + " s");
}

void Outputs::ResumeAccepting() {
    if (accepting_) return;
    accepting_ = true;
    const itimerspec off{};
    ::timerfd_settime(acceptPause_, 0, &off, nullptr);
    for (std::size_t i = 0; i < listeners_.size(); ++i)
        Watch(listeners_[i]->fd, EPOLLIN, Key(kListener, i));
}

// --- pseudo-terminals ------------------------------------------------------------------

void Outputs::PtyEvents() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                Say("lost track of the pseudo-terminals' opens (inotify queue overflow)");
                continue;
            }
            for (auto& pty : ptys_) {
                if (pty->watch != event->wd) continue;
                if (event->mask & IN_OPEN) {
                    if (++pty->opens == 1) PtyOpened(*pty);
                } else if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                    if (pty->opens > 0 && --pty->opens == 0) PtyClosed(*pty);
                }
            }
        }
    }
}

void Outputs::PtyOpened(Pty& pty) {
    pty.consumer = nextConsumer_++;
    pty.stalled = false;
    if (!pty.watched) {
        pty.wantsOut = false;
        Watch(pty.master, EPOLLIN, Key(kPty, pty.index));
        pty.watched = true;
    }
    Say("consumer " + std::to_string(pty.consumer) + " connected (pty " + pty.link + ")");
    CountChanged();
}

void Outputs::PtyClosed(Pty& pty) {
    if (pty.watched) Unwatch(pty.master);
    pty.watched = false;
    pty.backlog.Clear();
    // What the last reader left unread is no news to the next one.
    ::tcflush(pty.master, TCIOFLUSH);
    Say("consumer " + std::to_string(pty.consumer) + " left");
    pty.consumer = 0;
    CountChanged();
}

void Outputs::PtyReadable(Pty& pty, std::uint32_t events) {
    if (events & EPOLLOUT) FlushPty(pty);
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return;
    char scratch[4096];
    for (;;) {
        const ssize_t n = ::read(pty.master, scratch, sizeof scratch);
        if (n > 0) continue;  // what the reader writes is not for us
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // EIO: nobody holds the slave open right now.  Its close is on the
        // way through inotify; until a new open the master stays unwatched,
        // or its hang-up would be reported for ever.
        if (pty.watched) Unwatch(pty.master);
        pty.watched = false;
        return;
    }
}

void Outputs::DeliverTo(Pty& pty, const std::string& block) {
    if (pty.backlog.Waiting() + block.size() > bufferLimit_) {
        if (!pty.stalled)
            Say("consumer " + std::to_string(pty.consumer) + " (pty " + pty.link +
                ") stopped reading: " + std::to_string(pty.backlog.Waiting()) +
                " bytes discarded, and so on until it reads again");
        pty.stalled = true;
        pty.backlog.Clear();
        return;
    }
    pty.backlog.Append(block);
    if (!pty.wantsOut) FlushPty(pty);
}

void Outputs::FlushPty(Pty& pty) {
    while (pty.backlog.Waiting() > 0) {
        const ssize_t n = ::write(pty.master, pty.backlog.Front(), pty.backlog.Waiting());
        if (n > 0) {
            pty.backlog.Consume(static_cast<std::size_t>(n));
            pty.stalled = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && pty.watched) {
            if (!pty.wantsOut) {
                pty.wantsOut = true;
                Rewatch(pty.master, EPOLLIN | EPOLLOUT, Key(kPty, pty.index));
            }
            return;
        }
        // The reader is going (EIO) or the master is unwatched: keep nothing.
        pty.backlog.Clear();
        break;
    }
    if (pty.wantsOut && pty.watched) Rewatch(pty.master, EPOLLIN, Key(kPty, pty.index));
    pty.wantsOut = false;
}

// --- the loop ----------------------------------------------------------------------------

std::size_t Outputs::Consumers() const {
    std::size_t count = streams_.size();
    for (const auto& pty : ptys_)
        if (pty->opens > 0) ++count;
    return count;
}

void Outputs::CountChanged() {
    const std::size_t count = Consumers();
    if (count == lastCount_) return;
    lastCount_ = count;
    if (hooks_.consumersChanged) hooks_.consumersChanged(count);
}

int Outputs::Run(const sigset_t& signals, std::chrono::milliseconds tickInterval, Hooks hooks) {
    hooks_ = std::move(hooks);
    int signalFd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    int tick = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (signalFd < 0 || tick < 0) throw SetupError("cannot set up the event loop: " + ErrorText(errno));
    struct Closer {
        int& a;
        int& b;
        Outputs& self;
        ~Closer() {
            self.Unwatch(a);
            self.Unwatch(b);
            CloseFd(a);
            CloseFd(b);
        }
    } closer{signalFd, tick, *this};
    Watch(signalFd, EPOLLIN, Key(kSignal));
    itimerspec every{};
    every.it_interval.tv_sec = tickInterval.count() / 1000;
    every.it_interval.tv_nsec = (tickInterval.count() % 1000) * 1000000;
    every.it_value = every.it_interval;
    ::timerfd_settime(tick, 0, &every, nullptr);
    Watch(tick, EPOLLIN, Key(kTick));

    epoll_event events[32];
    for (;;) {
        const int n = ::epoll_wait(epoll_, events, 32, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SetupError("the event loop failed: " + ErrorText(errno));
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[i].data.u64;
            const auto kind = static_cast<Kind>(key >> 32);
            const auto index = static_cast<std::uint32_t>(key);
            switch (kind) {
            case kSignal: {
                signalfd_siginfo info{};
                if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                    return static_cast<int>(info.ssi_signo);
                break;
            }
            case kWake: {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(wake_, &count, sizeof count);
                std::deque<std::string> blocks;
                {
                    std::lock_guard guard(queueLock_);
                    blocks.swap(queue_);
                }
                for (const auto& block : blocks) Deliver(block);
                break;
            }
            case kTick: {
                std::uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t r = ::read(tick, &expirations, sizeof expirations);
                if (hooks_.tick) hooks_.tick();
                break;
            }
            case kInotify:
                PtyEvents();
                break;
            case kAcceptPause: {
                std::uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t r =
                    ::read(acceptPause_, &expirations, sizeof expirations);
                ResumeAccepting();
                break;
            }
            case kListener:
                if (accepting_ && index < listeners_.size()) Accept(*listeners_[index]);
                break;
            case kStream: {
                const auto it = streams_.find(static_cast<int>(index));
                if (it == streams_.end()) break;
                Stream& stream = *it->second;
                if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                    DropStream(stream.id, "left");
                    break;
                }
                if (events[i].events & EPOLLOUT) FlushStream(stream);
                if (streams_.count(static_cast<int>(index)) != 0 &&
                    (events[i].events & (EPOLLIN | EPOLLRDHUP)))
                    ReadStream(stream);
                break;
            }
            case kPty:
                if (index < ptys_.size() && ptys_[index]->watched)
                    PtyReadable(*ptys_[index], events[i].events);
                break;
            }
        }
    }
}

}  // namespace gnss::feed
