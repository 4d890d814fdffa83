#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>

#include "Command.h"
#include "Json.h"
#include "gnss/client/error.h"
#include "gnss/client/names.h"
#include "gnss/client/structures.h"
#include "gnss/package_version.h"

namespace gnss::ctl {
namespace {

std::map<std::string, const CommandEntry*>& Registry() {
    static std::map<std::string, const CommandEntry*> registry;
    return registry;
}

std::string Overview() {
    std::ostringstream text;
    text << "Usage: gnssctl [--socket PATH] [--timeout S] COMMAND [ARGS...]\n"
            "       gnssctl COMMAND --help\n"
            "\n"
            "Talks to the GNSS driver through gnssd's device socket.\n"
            "\n"
            "A first fix:\n"
            "  gnssctl status         is the location service on? is a modem attached?\n"
            "  gnssctl location on    switch the receiver on\n"
            "  gnssctl fix            one fix (a line on the terminal shows the wait)\n"
            "  gnssctl watch          a live view of fixes and satellites; q quits\n"
            "\n"
            "Options:\n"
            "  --socket PATH   gnssd's socket; default here: "
         << client::Device::DefaultSocketPath()
         << "\n"
            "                  ($GNSS_SOCKET when set, else /run/gnss/gnss.sock when\n"
            "                  the system's gnssd serves there, else\n"
            "                  $XDG_RUNTIME_DIR/gnss.sock, else /tmp/gnss-UID/gnss.sock;\n"
            "                  a socket in the user's folder is refused unless the\n"
            "                  folder is the user's own with mode 0700)\n"
            "  --timeout S     how long to wait for each answer, seconds (fractions\n"
            "                  allowed); default 10\n"

            "  --version       print the package version and exit\n"
            "  -h, --help      print this help (or a command's) and exit\n"
            "Every option, here and after a command, takes its value as --name VALUE\n"
            "or --name=VALUE; every duration is in seconds.\n"
            "\n"
            "Commands:\n";
    for (const CommandEntry* entry : Commands()) {
        // A long synopsis gets a line of its own, the summary below it.
        const std::string synopsis = entry->synopsis;
        if (synopsis.size() < 42)
            text << "  " << std::left << std::setw(42) << synopsis << entry->summary << "\n";
        else
            text << "  " << synopsis << "\n  " << std::string(42, ' ') << entry->summary << "\n";
    }
    text << "\n"
            "Exit status: 0 done, 1 the driver answered with a failure status (printed\n"
            "by name) or not in time, 2 usage error, 3 gnssd cannot be reached.\n"
            "\n"
            "Examples:\n"
            "  gnssctl info\n"
            "  gnssctl --socket /tmp/gnss.sock info --json\n"
            "  gnssctl location on\n"
            "  gnssctl fix\n"
            "  gnssctl track --interval 1 --count 5 --gpx track.gpx\n"
            "  gnssctl command SetLocationServiceEnabled 1\n"
            "  gnssctl raw IOCTL_GNSS_GET_CHIPSETINFO --out 660\n"
            "  gnssctl fix --help\n";
    return text.str();
}

std::string CommandHelp(const CommandEntry& entry) {
    return std::string("Usage: gnssctl [--socket PATH] [--timeout S] ") + entry.synopsis + "\n\n" +
           entry.summary + ".\n\n" + entry.help;
}

}  // namespace

RegisterCommand::RegisterCommand(const CommandEntry& entry) { Registry()[entry.name] = &entry; }

std::vector<const CommandEntry*> Commands() {
    std::vector<const CommandEntry*> commands;
    for (const auto& [name, entry] : Registry()) commands.push_back(entry);
    return commands;
}

std::ostream& Context::err() { return err_ != nullptr ? *err_ : std::cerr; }

client::Device& Context::Device() {
    if (!device_) device_ = client::Device::Open(socketPath_, timeout_);
    return *device_;
}

std::vector<std::uint8_t> ParseHex(const std::string& text, const char* option) {
    const auto bad = [&](const std::string& why) {
        return UsageError(std::string(option) + " needs hex bytes such as 0a1b2c (" + why + ")");
    };
    if (text.size() % 2 != 0) throw bad("odd number of digits");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                throw bad(std::string("'") + c + "' is not a hex digit");
            value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                           ? c - '0'
                                                           : std::tolower(c) - 'a' + 10);
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

void HexDump(std::ostream& out, std::span<const std::uint8_t> bytes) {
    char line[96];
    for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
        int n = std::snprintf(line, sizeof line, "%04zx ", offset);
        for (std::size_t i = 0; i < 16; ++i) {
            if (offset + i < bytes.size())
                n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " %02x",
                                   bytes[offset + i]);
            else
                n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "   ");
        }
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "  |");
        for (std::size_t i = 0; i < 16 && offset + i < bytes.size(); ++i) {
            const auto c = bytes[offset + i];
            line[n++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        line[n++] = '|';
        line[n] = '\0';
        out << line << "\n";
    }
}

void WriteJson(std::ostream& out, const Json& value) {
    out << value.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
}

Json JsonNumber(double value, int decimals) {
    if (!std::isfinite(value)) return nullptr;
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

client::Completion SetNmeaLogging(Context& context, std::uint32_t value) {
    return context.Device().Control(IOCTL_GNSS_SEND_DRIVERCOMMAND,
                                    client::BuildDriverCommandValue(GNSS_SetNMEALogging, value), 0,
                                    context.timeout());
}

NmeaWanted::NmeaWanted(Context& context, bool optional) : context_(context) {
    const client::Completion raised = SetNmeaLogging(context, kNmeaWanted);
    if (!raised.ok() && !optional) throw client::StatusError(raised.status, "GNSS_SetNMEALogging");
    raised_ = raised.ok();
}

NmeaWanted::~NmeaWanted() {
    if (!raised_) return;
    try {
        if (!context_.Device().Connected()) return;  // gnssd lowers what a connection left
        const client::Completion c = SetNmeaLogging(context_, kNmeaNotWanted);
        if (!c.ok())
            context_.err() << "gnssctl: GNSS_SetNMEALogging " << kNmeaNotWanted << ": "
                           << client::StatusError::Name(c.status) << "\n";
    } catch (const client::Error& e) {
        context_.err() << "gnssctl: GNSS_SetNMEALogging " << kNmeaNotWanted << ": " << e.what()
                       << "\n";
    }
}

void CheckOutput(std::ostream& out) {
    if (!out) throw OutputClosed();
}

std::FILE* OpenOutput(const std::string& path, bool force, const char* what) {
    if (path == "-") return stdout;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (force ? O_TRUNC : O_EXCL);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0 && errno == EEXIST)
        throw UsageError(std::string(what) + " '" + path + "' exists; give --force to replace it");
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        throw client::Error(std::string("cannot write the ") + what + " '" + path +
                            "': " + std::strerror(error));
    }
    return file;
}

// --- EventWait ----------------------------------------------------------------------

// What the device's reader thread hands over; it outlives the EventWait when
// a request is still outstanding as the command returns.
struct EventWait::Shared {
    std::mutex lock;
    std::deque<std::pair<int, client::Completion>> arrived;
    int eventFd = -1;

    ~Shared() {
        if (eventFd >= 0) ::close(eventFd);
    }
};

namespace {

sigset_t EndingSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

EventWait::EventWait() : shared_(std::make_shared<Shared>()) {
    shared_->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A pipe or socket on standard output tells when its reader has gone
    // (POLLERR), so a command that prints seldom learns of it while it waits.
    struct stat out{};
    if (::fstat(STDOUT_FILENO, &out) == 0 && (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode)))
        watchOutput_ = true;
    const sigset_t set = EndingSignals();
    restoreMask_ = ::pthread_sigmask(SIG_BLOCK, &set, &oldMask_) == 0;
    signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (shared_->eventFd < 0 || signalFd_ < 0)
        throw client::Error(std::string("cannot wait for completions: ") + std::strerror(errno));
}

EventWait::~EventWait() {
    // Signals that came and were not taken are dropped with the descriptor
    // rather than delivered when the mask is restored.
    signalfd_siginfo info;
    while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    ::close(signalFd_);
    if (restoreMask_) ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
}

client::CompletionCallback EventWait::Deliver(int key) {
    return [shared = shared_, key](client::Completion&& c) {
        {
            std::lock_guard guard(shared->lock);
            shared->arrived.emplace_back(key, std::move(c));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(shared->eventFd, &one, sizeof one);
    };
}

EventWait::Event EventWait::Next(std::optional<std::chrono::steady_clock::time_point> deadline,
                                 bool signals) {
    for (;;) {
        {
            std::lock_guard guard(shared_->lock);
            if (!shared_->arrived.empty()) {
                Event e;
                e.kind = Event::Kind::Completion;
                e.key = shared_->arrived.front().first;
                e.completion = std::move(shared_->arrived.front().second);
                shared_->arrived.pop_front();
                return e;
            }
        }
        if (signals && signal_ != 0) {
            Event e;
            e.kind = Event::Kind::Signal;
            e.signal = std::exchange(signal_, 0);
            return e;
        }
        int wait = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Event{};
            wait = static_cast<int>(std::min<long long>(left.count(), 24 * 3600 * 1000LL));
        }
        std::vector<pollfd> fds = {{shared_->eventFd, POLLIN, 0}, {signalFd_, POLLIN, 0}};
        if (signals) {
            for (const int fd : inputs_) fds.push_back({fd, POLLIN, 0});
            if (watchOutput_) fds.push_back({STDOUT_FILENO, 0, 0});
        }
        const int n = ::poll(fds.data(), signals || signal_ == 0 ? fds.size() : 1, wait);
        if (n < 0 && errno != EINTR)
            throw client::Error(std::string("poll: ") + std::strerror(errno));
        if (n > 0 && (fds[0].revents & POLLIN) != 0) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t r = ::read(shared_->eventFd, &count, sizeof count);
        }
        if (n > 0 && (fds[1].revents & POLLIN) != 0) {
            signalfd_siginfo info;
            if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info) &&
                signal_ == 0)
                signal_ = static_cast<int>(info.ssi_signo);
        }
        for (std::size_t i = 2; n > 0 && i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            if (fds[i].fd == STDOUT_FILENO && watchOutput_) {
                watchOutput_ = false;  // once is enough
                if (signal_ == 0) signal_ = SIGPIPE;
                break;
            }
            Event e;
            e.kind = Event::Kind::Input;
            e.key = fds[i].fd;
            return e;
        }
    }
}

int Run(int argc, char** argv, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string socketPath = client::Device::DefaultSocketPath();
    std::chrono::milliseconds timeout = client::Device::kDefaultTimeout;
    const CommandEntry* entry = nullptr;
    try {
        const Options global("gnssctl", args,
                             {{"--socket", KnownOption::Arg::One},
                              {"--timeout", KnownOption::Arg::One},
                              {"--version"},
                              {"--help", KnownOption::Arg::None, "-h"}},
                             true);
        if (global.Has("--help")) {
            out << Overview();
            return kExitOk;
        }
        if (global.Has("--version")) {
            out << "gnssctl " GNSS_PACKAGE_VERSION "\n";
            return kExitOk;
        }
        if (const auto path = global.Value("--socket")) {
            if (path->empty()) throw UsageError("--socket needs a path");
            socketPath = *path;
        }
        if (const auto seconds = global.Seconds("--timeout")) timeout = *seconds;
        const std::vector<std::string>& words = global.Words();
        if (words.empty()) throw UsageError("no command given");
        const auto found = Registry().find(words[0]);
        if (found == Registry().end()) {
            std::vector<std::string> names;
            for (const auto& [name, e] : Registry()) names.push_back(name);
            const auto near = Nearest(words[0], names);
            throw UsageError("unknown command '" + words[0] + "'" +
                             (near ? "; did you mean '" + *near + "'?" : std::string()));
        }
        entry = found->second;
        const std::vector<std::string> rest(words.begin() + 1, words.end());
        if (std::find_if(rest.begin(), rest.end(), [](const std::string& s) {
                return s == "-h" || s == "--help";
            }) != rest.end()) {
            out << CommandHelp(*entry);
            return kExitOk;
        }
        Context context(socketPath, timeout, out, &err);
        return entry->run(context, rest);
    } catch (const OutputClosed&) {
        return kExitOk;
    } catch (const UsageError& e) {
        err << "gnssctl: " << e.what() << "\n"
            << "Try 'gnssctl " << (entry != nullptr ? std::string(entry->name) + " " : "")
            << "--help'.\n";
        return kExitUsage;
    } catch (const client::ConnectionError& e) {
        err << "gnssctl: " << e.what() << "\n";
        return kExitUnreachable;
    } catch (const client::Error& e) {
        // StatusError, TimeoutError, FormatError of an answer.
        err << "gnssctl: " << e.what() << "\n";
        return kExitStatus;
    }
}

}  // namespace gnss::ctl
