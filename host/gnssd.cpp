// gnssd: the framework host of the GNSS driver.
//
// Claims its socket (SocketClaim: the socket's folder and a lock beside it)
// and listens on it, then loads the driver module, attaches the modem's
// device with its USB back-end and serves the GNSS device interface on that
// Unix-domain socket (DeviceServer) until SIGTERM or SIGINT; then removes the
// device in order (every waiting request completes with STATUS_CANCELLED and
// reaches its client), closes the connections, unloads the driver and removes
// the socket.
//
// As a system service it runs in the foreground under systemd (Type=notify,
// SystemdNotify.h), writes its log for the journal, reopens its log file on
// SIGHUP, and may share its socket with a group (--socket-group).
//
// Threads: the main thread runs the event loop (socket, signals, and the
// completions the framework and driver threads hand over); the framework and
// the driver run their own threads.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Backends.h"
#include "DeviceServer.h"
#include "DriverHostDevice.h"
#include "HostLog.h"
#include "HostOptions.h"
#include "ModemReattach.h"
#include "SocketClaim.h"
#include "SystemdNotify.h"
#include "gnss/platform/eventprovider.h"
#include "gnss/platform/trace.h"
#include "gnss/platform/wdfhost.h"
#include "gnss/protocol/device_frame.h"
#include "gnss_driver_version.h"

namespace gnss::host {
namespace {

// The driver's event provider, {3336E5E4-018A-4669-84C5-BD05F3BD368B}.
constexpr GUID kDriverEventProvider = {
    0x3336E5E4, 0x018A, 0x4669, {0x84, 0xC5, 0xBD, 0x05, 0xF3, 0xBD, 0x36, 0x8B}};

void WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Tells whoever waits for the daemon that its socket accepts: the --ready-fd
// descriptor and, for a daemon, the starting process.
struct Readiness {
    int userFd = -1;
    int parentFd = -1;

    void Ready(const std::string& socketPath) {
        const std::string line = "READY " + socketPath + "\n";
        for (int* fd : {&userFd, &parentFd}) {
            if (*fd < 0) continue;
            WriteAll(*fd, line);
            ::close(*fd);
            *fd = -1;
        }
    }
};

std::string Absolute(const std::string& path) {
    if (path.empty() || path == "-") return path;
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

int RedirectTo(const std::string& path, int target, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const int rc = ::dup2(fd, target);
    ::close(fd);
    return rc;
}

// Forks; the child becomes the daemon (returns -1), the starting process
// waits for its readiness and returns the exit status it should end with.
int Daemonize(const HostOptions& options, Readiness& readiness) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "gnssd: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::fprintf(stderr, "gnssd: fork: %s\n", std::strerror(errno));
        return 1;
    }
    if (pid > 0) {
        ::close(pipeFds[1]);
        std::string line;
        char buf[256];
        for (;;) {
            const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            line.append(buf, static_cast<std::size_t>(n));
        }
        ::close(pipeFds[0]);
        if (line.rfind("READY ", 0) == 0) return 0;
        // The daemon gave up before serving; it has said why on standard error.
        int status = 0;
        ::waitpid(pid, &status, 0);
        return 1;
    }
    ::close(pipeFds[0]);
    readiness.parentFd = pipeFds[1];
    ::setsid();
    if (::chdir("/") != 0) {
        // Paths are absolute by now; the working directory only must not pin a mount.
    }
    RedirectTo("/dev/null", STDIN_FILENO, O_RDONLY);
    const std::string out = options.logFile.empty() ? "/dev/null" : options.logFile;
    RedirectTo(out, STDOUT_FILENO, O_WRONLY | O_APPEND | O_CREAT);
    // Standard error stays with the starting terminal until the daemon serves,
    // so that start-up failures are seen.
    return -1;
}

// The recorder's content goes to the log through the session, so that it
// counts against the log's size cap like any line.
void DumpRecorderToLog() {
    const std::string content = trace::RecorderSnapshot();
    GNSSD_LOG(kLogInfo, "SIGUSR1: dumping the in-flight recorder (%zu bytes)", content.size());
    trace::WriteToRealtimeSession("----- in-flight recorder: begin -----\n" + content +
                                  "----- in-flight recorder: end -----\n");
}

// Whether standard error is the journal's stream: systemd names that stream
// in JOURNAL_STREAM as "<device>:<inode>" (a variable a child inherits even
// after its standard error went elsewhere, hence the comparison).
bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st{};
    return ::fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

// Tells a waiting service manager; a failure is worth a warning, no more.
void Notify(const std::string& state) {
    std::string error;
    if (!NotifyServiceManager(state, error) && !error.empty())
        GNSSD_LOG(kLogWarning, "WARNING: %s", error.c_str());
}

// SIGHUP: the log file was moved away (log rotation); go on in a new one at
// its path.  A daemon's standard output and error follow it.
void ReopenLog(const HostOptions& options) {
    if (options.logFile.empty()) {
        GNSSD_LOG(kLogInfo, "SIGHUP: no log file to reopen");
        return;
    }
    if (!trace::ReopenRealtimeSession()) {
        GNSSD_LOG(kLogError, "ERROR: SIGHUP: cannot reopen the log file %s: %s",
                  options.logFile.c_str(), std::strerror(errno));
        return;
    }
    if (!options.foreground) {
        RedirectTo(options.logFile, STDOUT_FILENO, O_WRONLY | O_APPEND | O_CREAT);
        RedirectTo(options.logFile, STDERR_FILENO, O_WRONLY | O_APPEND | O_CREAT);
    }
    GNSSD_LOG(kLogInfo, "SIGHUP: reopened the log file %s", options.logFile.c_str());
}

// Reports a start-up failure on standard error and in the log.
void StartupError(const std::string& text) {
    std::fprintf(stderr, "gnssd: %s\n", text.c_str());
    HostLog(kLogError, "Serve", "ERROR: %s", text.c_str());
}

int Serve(const HostOptions& options, gid_t socketGroup, Readiness& readiness, int signalFd) {
    ::setenv(kNmeaLogVariable, options.nmeaLog.c_str(), 1);

    fw::DriverHost host;
    DriverHostDevice device(host);
    DeviceServer server(device);
    // A modem that goes away is attached again once it is back; the server
    // starts the wait after it has closed the removed device's connections.
    ModemReattach reattach(host, options.modem);
    server.DescribeModem(ModemReattach::WaitsFor(options.modem));
    server.OnDeviceRemoved([&reattach] { reattach.DeviceRemoved(); });
    // The driver queues five NMEA blocks for a listener that is busy; the
    // sixth clears the queue with a warning ("NMEA Queue hit MAX, Clearing
    // it."), dropping the five.  Each warning is counted, even at a log
    // level without warnings, and clients read the drops in the status query.
    static std::atomic<std::uint64_t> nmeaQueueOverflows{0};
    constexpr std::uint64_t kDriverNmeaQueue = 5;
    gnss::trace::CountLines(kLogWarning, "NMEA Queue hit MAX", &nmeaQueueOverflows);
    server.ReportNmeaLosses([] { return nmeaQueueOverflows.load() * kDriverNmeaQueue; });
    // The framework calls this on its power thread after any removal.
    host.SetDeviceRemovedHandler([&server] { server.NotifyDeviceRemoved(); });
    const auto unload = [&host, &reattach] {
        reattach.Stop();
        host.UnloadDriver();
        host.SetDeviceRemovedHandler({});
    };

    // The socket first: a daemon that cannot serve touches neither the driver
    // nor the modem.  Clients that connect meanwhile wait in the listen
    // queue until the loop runs, with the device attached.
    std::string error;
    if (!server.Listen(options.socketPath, error, socketGroup)) {
        StartupError(error);
        host.SetDeviceRemovedHandler({});
        return 1;
    }

    char text[64];
    NTSTATUS status = host.LoadDriverModule(options.driverPath);
    if (!NT_SUCCESS(status)) {
        StartupError("cannot load the driver module " + options.driverPath + ": " +
                     FormatStatus(static_cast<std::uint32_t>(status), text, sizeof text));
        host.SetDeviceRemovedHandler({});
        return 1;
    }
    GNSSD_LOG(kLogInfo, "driver module %s loaded", options.driverPath.c_str());

    auto backend = CreateUsbBackend(options.modem, error);
    if (!backend) {
        StartupError(error);
        unload();
        return 1;
    }
    const std::string described = backend->Describe();
    status = host.AddDevice(std::move(backend));
    if (!NT_SUCCESS(status)) {
        StartupError("cannot attach the device (" + described + "): " +
                     FormatStatus(static_cast<std::uint32_t>(status), text, sizeof text));
        unload();
        return 1;
    }
    GNSSD_LOG(kLogInfo, "device attached (%s)", described.c_str());
    if (!device.Available()) {
        StartupError("the driver did not publish the GNSS device interface");
        unload();
        return 1;
    }
    server.WatchSignals(signalFd, [&server, &options](int signo) {
        if (signo == SIGUSR1) {
            DumpRecorderToLog();
        } else if (signo == SIGHUP) {
            ReopenLog(options);
        } else {
            Notify("STOPPING=1");
            HostLog(kLogInfo, "Serve", "%s: stopping", signo == SIGTERM ? "SIGTERM" : "SIGINT");
            server.Stop();
        }
    });
    readiness.Ready(server.SocketPath());
    Notify("READY=1\nSTATUS=serving " + server.SocketPath());
    if (!options.foreground)
        RedirectTo(options.logFile.empty() ? "/dev/null" : options.logFile, STDERR_FILENO,
                   O_WRONLY | O_APPEND | O_CREAT);

    server.Run();

    // Orderly shut-down: no new clients; the device's removal completes every
    // waiting request (STATUS_CANCELLED) and closes every file object; the
    // clients receive those completions before their connections close.
    server.StopAccepting();
    reattach.Stop();  // no modem is attached again from here on
    if (host.DevicePresent()) {
        status = host.RemoveDevice();
        if (!NT_SUCCESS(status)) {
            GNSSD_LOG(kLogWarning, "WARNING: the driver vetoed the removal (%s); removing anyway",
                      FormatStatus(static_cast<std::uint32_t>(status), text, sizeof text));
            host.SurpriseRemoveDevice();
        }
    }
    server.CloseAllAndDrain();
    unload();
    GNSSD_LOG(kLogInfo, "driver unloaded; exiting");
    return 0;
}

}  // namespace
}  // namespace gnss::host

int main(int argc, char** argv) {
    using namespace gnss::host;
    HostOptions options;
    std::string error;
    if (!ParseHostOptions(argc, argv, options, error) ||
        !CheckBackendName(options.modem, error)) {
        std::fprintf(stderr, "gnssd: %s\nTry 'gnssd --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(HostUsage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("gnssd %s\n", GNSS_DRIVER_VERSION_TEXT);
        return 0;
    }
    if (options.socketPath.empty()) {
        const char* fromEnvironment = std::getenv(gnss::frame::kSocketEnvironment);
        options.socketPath = fromEnvironment != nullptr && *fromEnvironment != '\0'
                                 ? fromEnvironment
                                 : gnss::frame::DefaultSocketPath();
    }
    if (options.driverPath.empty()) options.driverPath = DefaultDriverPath();
    for (std::string* path : {&options.socketPath, &options.driverPath, &options.logFile,
                              &options.eventsFile, &options.nmeaLog})
        *path = Absolute(*path);

    gid_t socketGroup = kNoGroup;
    if (!options.socketGroup.empty()) {
        group entry{};
        group* found = nullptr;
        char buffer[4096];
        if (::getgrnam_r(options.socketGroup.c_str(), &entry, buffer, sizeof buffer, &found) != 0 ||
            found == nullptr) {
            std::fprintf(stderr, "gnssd: --socket-group: there is no group '%s'\n",
                         options.socketGroup.c_str());
            return 2;
        }
        socketGroup = found->gr_gid;
        // The user's own folder stays closed to everyone else (SocketClaim.h).
        if (gnss::frame::SocketFolderOf(options.socketPath) == gnss::frame::UserSocketFolder()) {
            std::fprintf(stderr, "gnssd: --socket-group needs a --socket outside %s, which is "
                         "the user's alone\n", gnss::frame::UserSocketFolder().c_str());
            return 2;
        }
    }

    Readiness readiness;
    readiness.userFd = options.readyFd;
    if (options.readyFd >= 0 && ::fcntl(options.readyFd, F_SETFD, FD_CLOEXEC) != 0) {
        std::fprintf(stderr, "gnssd: --ready-fd %d is not an open descriptor\n", options.readyFd);
        return 2;
    }

    // Signals are taken from a signalfd by the event loop; block them before
    // any thread exists so that every thread inherits the mask.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);

    if (!options.foreground) {
        const int parentStatus = Daemonize(options, readiness);
        if (parentStatus >= 0) return parentStatus;
    }

    // One daemon per socket, decided before the log, the driver or the modem
    // is touched: a second one must leave all of them to the first.
    SocketClaim claim;
    std::string claimError;
    if (!claim.Take(options.socketPath, claimError, socketGroup)) {
        std::fprintf(stderr, "gnssd: %s\n", claimError.c_str());
        return 1;
    }

    const int signalFd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        std::fprintf(stderr, "gnssd: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    // Without a file: a daemon's standard error goes nowhere once it serves,
    // so it logs to syslog; under systemd standard error is the journal.
    using Form = gnss::trace::RealtimeSessionConfig::Form;
    Form form = Form::Plain;
    if (options.logFile.empty()) {
        if (!options.foreground) {
            ::openlog("gnssd", LOG_PID | LOG_NDELAY, LOG_DAEMON);
            form = Form::Syslog;
        } else if (options.journal || StderrIsJournal()) {
            form = Form::Journal;
        }
    }
    // Levels 2 and 3 ask for errors and warnings alone, without the data
    // lines (level 1) that would otherwise fill a system's log.
    const bool dataLines = options.logLevel == 1 || options.logLevel >= 4;
    if (!gnss::trace::StartRealtimeSession({options.logFile, options.logLevel, 0xFFFF,
                                            options.logMaxSize, true, form, dataLines})) {
        std::fprintf(stderr, "gnssd: cannot open log file '%s'\n", options.logFile.c_str());
        return 1;
    }
    // The driver's in-flight recorder (dumped on SIGUSR1) keeps what the log
    // keeps, so that the levels not logged cost no formatting and no lock.
    gnss::trace::SetRecorderLevel(options.logLevel, dataLines);
    if (!options.eventsFile.empty()) {
        const int session = gnss::events::EnableTraceSession(
            kDriverEventProvider,
            {options.eventsFile, options.eventsLevel, options.eventsKeywords, 0});
        if (session < 0) {
            std::fprintf(stderr, "gnssd: cannot open event file '%s'\n", options.eventsFile.c_str());
            gnss::trace::StopRealtimeSession();
            return 1;
        }
    }
    GNSSD_LOG(kLogInfo, "gnssd %s: modem %s, socket %s, log level %u", GNSS_DRIVER_VERSION_TEXT,
              options.modem.c_str(), options.socketPath.c_str(), options.logLevel);

    const int status = Serve(options, socketGroup, readiness, signalFd);

    ::close(signalFd);
    gnss::events::DisableAllTraceSessions();
    gnss::trace::StopRealtimeSession();
    return status;
}
