// gnssfeed and its real peers in whole-process tests: the program itself,
// gpsd with gpspipe, GeoClue on a bus of the test's own, and plain NMEA
// consumers on TCP and Unix sockets.
//
// Program paths come from tests/feed/process.cmake (GNSSFEED_PATH, GPSD_PATH,
// GPSPIPE_PATH, DBUS_DAEMON_PATH, GEOCLUE_PATH, GEOCLUE_AGENT_PATH,
// UNSHARE_PATH, FEED_PYTHON3_PATH; empty when the program is missing).
// Nothing here sleeps: every start waits for a line the program writes once
// it serves (a log line, dbus-daemon's address), and every stop waits for
// the child's exit.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "GnssdProcess.h"

namespace gnss::test {

// A child process that is ended with SIGTERM when the test lets go of it.
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(Child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    Child& operator=(Child&& other) noexcept {
        std::swap(pid_, other.pid_);
        return *this;
    }
    ~Child() { Stop(); }
    // Ends it with `signal`; its exit status (-1 when none runs).
    int Stop(int signal = SIGTERM) {
        if (pid_ <= 0) return -1;
        ::kill(pid_, signal);
        return Wait();
    }
    int Wait() {
        if (pid_ <= 0) return -1;
        const int status = WaitExit(pid_);
        pid_ = -1;
        return status;
    }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A TCP port on the loopback that nobody listens on now.  gpsd takes no
// port 0, so the port is chosen here; another program could take it before
// gpsd does, which its start would then report.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// gnssfeed with --socket of the given gnssd; its log (standard error) in
// gnssfeed.err of the test's folder.
class Gnssfeed {
public:
    Gnssfeed(TempDir& dir, const GnssdProcess& gnssd) : dir_(dir), gnssd_(gnssd) {}

    void Start(std::vector<std::string> options) {
        options.insert(options.begin(), {GNSSFEED_PATH, "--socket", gnssd_.Socket()});
        child_ = Child(Spawn(options, dir_.File("gnssfeed.out"), log_).pid);
    }
    int Stop(int signal = SIGTERM) { return child_.Stop(signal); }
    bool WaitForLog(const std::string& needle, std::size_t count = 1) const {
        return WaitForText(log_, needle, count);
    }
    std::string Log() const { return ReadFile(log_); }
    // The port of its first TCP output, once it says it serves there; -1
    // when it never does.
    int TcpPort() const {
        const std::string needle = "gnssfeed: serving NMEA on tcp 127.0.0.1:";
        if (!WaitForLog(needle)) return -1;
        const std::string log = Log();
        return std::atoi(log.c_str() + log.find(needle) + needle.size());
    }

private:
    TempDir& dir_;
    const GnssdProcess& gnssd_;
    std::string log_ = dir_.File("gnssfeed.err");
    Child child_;
};

// gpsd in the foreground on a port of its own, reading `source` only, never
// writing to it (-b), with its control socket in the test's folder: it has
// nothing to do with a gpsd the system may run.  gpspipe -w prints its
// reports into gpspipe.out.
class Gpsd {
public:
    explicit Gpsd(TempDir& dir) : dir_(dir) {}

    // Starts gpsd on `source`; true once it listens.
    bool Start(const std::string& source) {
        port_ = FreePort();
        // -D 3: the INFO lines, "listening on port" among them.
        gpsd_ = Child(Spawn({GPSD_PATH, "-N", "-n", "-b", "-D", "3", "-S", std::to_string(port_), "-F",
                             dir_.File("gpsd.control"), source},
                            dir_.File("gpsd.out"), log_)
                          .pid);
        return WaitForFile(log_, [&](const std::string& text) {
            return text.find("listening on port " + std::to_string(port_)) != std::string::npos ||
                   text.find("exiting") != std::string::npos;
        }) && ReadFile(log_).find("listening on port") != std::string::npos;
    }
    void Watch() {
        pipe_ = Child(Spawn({GPSPIPE_PATH, "-w", "127.0.0.1:" + std::to_string(port_)}, Reports(),
                            dir_.File("gpspipe.err"))
                          .pid);
    }
    std::string Reports() const { return dir_.File("gpspipe.out"); }
    std::string Log() const { return ReadFile(log_); }

private:
    TempDir& dir_;
    std::string log_ = dir_.File("gpsd.err");
    int port_ = -1;
    Child gpsd_;
    Child pipe_;  // stops before gpsd
};

// A client socket connected to 127.0.0.1:port or to a Unix socket; -1
// when the connection is refused.
inline int ConnectTcp(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

inline int ConnectUnix(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

// An NMEA consumer that reads a connection (ConnectTcp, ConnectUnix), on a
// thread of its own, into a file; Close() hangs up.  EndOfStream() tells
// whether gnssfeed closed it first.
class Consumer {
public:
    Consumer(const std::string& file, int fd) : file_(file), fd_(fd) {
        std::ofstream{file_};
        if (fd_ >= 0) reader_ = std::thread([this] { Read(); });
    }
    ~Consumer() { Close(); }
    Consumer(const Consumer&) = delete;
    Consumer& operator=(const Consumer&) = delete;

    bool Connected() const { return fd_ >= 0; }
    void Close() {
        if (fd_ < 0) return;
        // The reader wakes with the end of the stream.
        ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
        ::close(fd_);
        fd_ = -1;
    }
    bool EndOfStream() const { return ended_; }
    const std::string& File() const { return file_; }
    std::string Text() const { return ReadFile(file_); }

private:
    void Read() {
        std::ofstream out(file_, std::ios::binary | std::ios::app);
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            out.write(buffer, n);
            out.flush();
        }
        ended_ = true;
    }

    std::string file_;
    int fd_ = -1;
    std::atomic<bool> ended_{false};
    std::thread reader_;
};

// dbus-daemon on a socket in the test's folder, taken as the system bus by
// every child started after Start() (DBUS_SYSTEM_BUS_ADDRESS).
class PrivateBus {
public:
    explicit PrivateBus(TempDir& dir) : dir_(dir) {}

    bool Start() {
        const std::string config = dir_.File("bus.conf");
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>system</type>\n"
               "  <listen>unix:path="
            << dir_.File("bus")
            << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n"
               "    <allow own=\"*\"/>\n"
               "    <allow send_destination=\"*\"/>\n"
               "    <allow receive_sender=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
        // It prints its address on descriptor 3 once it accepts connections.
        const Spawned s = Spawn({DBUS_DAEMON_PATH, "--config-file=" + config, "--nofork", "--print-address=3"},
                                dir_.File("bus.out"), dir_.File("bus.err"), 3);
        bus_ = Child(s.pid);
        const std::string address = ReadLine(s.pipeFd);
        ::close(s.pipeFd);
        if (address.rfind("unix:path=" + dir_.File("bus"), 0) != 0) return false;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        return true;
    }

private:
    TempDir& dir_;
    Child bus_;
};

// GeoClue with a configuration of the test's own: the NMEA socket as its
// only source of positions, the web service pointed at a closed local port,
// the demo agent and the test's client allowed.  GeoClue reads its
// configuration from a fixed path, so it runs in a mount namespace of its
// own (unshare -m, which needs root) with the test's file mounted over it.
class Geoclue {
public:
    explicit Geoclue(TempDir& dir) : dir_(dir) {}
    ~Geoclue() {
        // Clients first, the bus last: GeoClue complains when its bus goes.
        client_.Stop();
        geoclue_.Stop();
        agent_.Stop();
    }

    static constexpr const char* kDesktopId = "gnssfeed-test";

    // Starts the agent and GeoClue reading `nmeaSocket`; true once GeoClue
    // has taken the agent (no client gets a location before that).
    bool Start(const std::string& nmeaSocket) {
        const std::string config = dir_.File("geoclue.conf");
        std::ofstream(config) << "[agent]\nwhitelist=geoclue-demo-agent\n"
                                 "[network-nmea]\nenable=true\n"
                                 "[3g]\nenable=false\n[cdma]\nenable=false\n[modem-gps]\nenable=false\n"
                                 "[wifi]\nenable=false\nurl=http://127.0.0.1:9/\nsubmit-data=false\n"
                                 "[compass]\nenable=false\n"
                                 "[geoclue-demo-agent]\nallowed=true\nsystem=true\nusers=\n"
                              << "[" << kDesktopId << "]\nallowed=true\nsystem=false\nusers=\n";
        // The agent waits for GeoClue to appear on the bus and registers then.
        agent_ = Child(Spawn({GEOCLUE_AGENT_PATH}, dir_.File("agent.out"), dir_.File("agent.err")).pid);
        // With G_MESSAGES_DEBUG its debug messages go to standard output:
        // both streams into one log.
        geoclue_ = Child(Spawn({UNSHARE_PATH, "-m", "sh", "-c",
                                "exec 2>&1; mount --bind \"$0\" /etc/geoclue/geoclue.conf && "
                                "G_MESSAGES_DEBUG=all exec \"$1\" -t 0 --nmea-socket=\"$2\"",
                                config, GEOCLUE_PATH, nmeaSocket},
                               log_, "")
                             .pid);
        return WaitForText(log_, "New agent for user ID");
    }
    // Starts the client (tests/feed/geoclue_client.py), which prints each
    // location as a line of JSON into `out` and ends after `count`.
    void StartClient(int count, const std::string& out) {
        client_ = Child(Spawn({FEED_PYTHON3_PATH, GEOCLUE_CLIENT_PATH, std::to_string(count), "60"}, out,
                              out + ".err")
                            .pid);
    }
    int WaitClient() { return client_.Wait(); }
    std::string Log() const { return ReadFile(log_); }

private:
    TempDir& dir_;
    std::string log_ = dir_.File("geoclue.log");
    Child agent_;
    Child geoclue_;
    Child client_;
};

}  // namespace gnss::test
