// bench_relay: what relaying a receiver's NMEA to a socket client costs with
// gnssd, against gpsd, on the same machine in the same run.
//
// For each capture (default: every *.log of the project's captures), one
// system at a time:
//   gnssd  modemsim replays the capture on a pseudo-terminal and stamps the
//          moment each block's closing OK is written (--stamps); gnssd reads
//          it through tty:; a client of the library keeps its one listen-NMEA
//          request armed (NmeaListener) and one fix request, and stamps what
//          arrives.
//   gpsd   this program writes the same epochs, at the same rate, to a
//          pseudo-terminal gpsd reads, stamping each write; a client of gpsd's
//          raw watch stamps what arrives.
// Latency is from the stamp of a block to the arrival of its first sentence
// (monotonic clock, both sides).  CPU comes from /proc (user and system
// time of every thread, over the whole replay), resident memory is VmRSS at
// the end, idle wake-ups are the context switches of every thread over a few
// seconds with the device attached and no client.  Then the capability
// request's round trip through gnssd against a bare SOCK_SEQPACKET round trip
// between two processes.
//
// Usage: bench_relay [--scale F] [--no-gpsd] [CAPTURE...]
//   --scale F   the modem's time scale: epochs every F seconds (default 0.05)
//   --no-gpsd   leave gpsd's column out
// Environment: GNSS_NMEA_CAPTURES, the folder of the captures.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "gnss/client/device.h"
#include "gnss/client/nmea_listener.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"
#include "gnss/sim/receiver.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "bench_relay: %s\n", text.c_str());
    std::exit(1);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

// --- processes -------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    void Stop() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        int status;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
};

// Starts `argv`; `fds` are (descriptor in this process, number in the child)
// pairs; standard output and error go to `log` unless given in `fds`.
Child Spawn(const std::vector<std::string>& argv, const std::vector<std::pair<int, int>>& fds,
            const std::string& log) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) Fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        for (const auto& [from, to] : fds) ::dup2(from, to);  // dup2 clears close-on-exec
        ::execv(args[0], args.data());
        std::_Exit(127);
    }
    return Child{pid};
}

// User and system time of every thread of `pid`, in microseconds.
double CpuMicros(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A "Key:   N kB" line of /proc/PID/status, in kB.
long StatusKb(const std::string& path, const char* key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return 0;
}

// Context switches of every thread of `pid` so far.
long ContextSwitches(pid_t pid) {
    long total = 0;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        const std::string status = task.path() / "status";
        total += StatusKb(status, "voluntary_ctxt_switches:") +
                 StatusKb(status, "nonvoluntary_ctxt_switches:");
    }
    return total;
}

// Wake-ups per second of an idle `pid`, once the driver's idle time-out (1000
// ms) has passed: a measurement over a fixed window, not a wait for an event.
double IdleWakeups(pid_t pid) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long before = ContextSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return static_cast<double>(ContextSwitches(pid) - before) / 3.0;
}

// One line from `fd`, waiting at most `timeout`; "" at its end or time-out.
std::string ReadLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto until = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
        char c;
        if (::read(fd, &c, 1) != 1) return {};
        if (c == '\n') return line;
        line += c;
    }
}

// --- what one run measured --------------------------------------------------------

struct Run {
    std::vector<double> latencyUs;  // per block, first sentence
    std::size_t sentencesSent = 0, sentencesGot = 0;
    std::size_t fixesSent = 0, fixesGot = 0;
    std::size_t blocks = 0;
    double cpuUs = 0;
    long rssKb = 0;
    double idleWakeups = 0;
    std::uint64_t dropsCounted = 0;  // blocks the driver said it dropped
};

struct Stamp {
    std::int64_t ns;
    std::size_t sentences;
    std::string first;
};

// What a client receives, from its thread, and who waits for it.
struct Arrivals {
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::string, std::deque<std::int64_t>> sentences;  // text -> arrival times
    std::size_t count = 0;
    std::set<std::string> fixes;  // distinct fix times (gpsd) or sequence numbers (gnssd)
    bool watching = false;

    void Sentences(const std::string& text, std::int64_t ns) {
        std::lock_guard guard(lock);
        std::size_t begin = 0;
        while (begin < text.size()) {
            std::size_t end = text.find('\n', begin);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(begin, end - begin);
            begin = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty() || line[0] != '$') continue;
            sentences[line].push_back(ns);
            ++count;
        }
        changed.notify_all();
    }
    void Fix(const std::string& key) {
        std::lock_guard guard(lock);
        fixes.insert(key);
        changed.notify_all();
    }
    // Waits (at most `bound`) until `sentences` and `fixesWanted` have come.
    void WaitFor(std::size_t wanted, std::size_t fixesWanted, std::chrono::milliseconds bound) {
        std::unique_lock guard(lock);
        changed.wait_for(guard, bound, [&] { return count >= wanted && fixes.size() >= fixesWanted; });
    }
    void Match(const std::vector<Stamp>& stamps, Run& run) {
        std::lock_guard guard(lock);
        for (const Stamp& s : stamps) {
            auto it = sentences.find(s.first);
            if (it == sentences.end() || it->second.empty()) continue;
            run.latencyUs.push_back(static_cast<double>(it->second.front() - s.ns) / 1000.0);
            it->second.pop_front();
        }
        run.sentencesGot = count;
        run.fixesGot = fixes.size();
    }
};

struct Capture {
    std::string name;
    std::string path;
    gnss::sim::Capture epochs;
    std::size_t sentences = 0, blocks = 0, fixes = 0;
};

// --- gnssd ------------------------------------------------------------------------

struct Setup {
    fs::path bin;
    double scale = 0.05;
    fs::path work;
};

Run RunGnssd(const Setup& setup, const Capture& capture) {
    Run run;
    const fs::path dir = setup.work / ("gnssd-" + capture.name);
    fs::create_directories(dir);
    int stamps[2], pty[2], ready[2];
    if (::pipe2(stamps, O_CLOEXEC) != 0 || ::pipe2(pty, O_CLOEXEC) != 0 || ::pipe2(ready, O_CLOEXEC) != 0)
        Fail("pipe2 failed");
    Child modem = Spawn({(setup.bin / "modemsim").string(), "--pty", "--replay", capture.path,
                         "--time-scale", std::to_string(setup.scale), "--stamps", "/dev/fd/3"},
                        {{pty[1], 1}, {stamps[1], 3}}, (dir / "modemsim.log").string());
    ::close(pty[1]);
    ::close(stamps[1]);
    const std::string tty = ReadLine(pty[0], std::chrono::seconds(10));
    if (tty.empty()) Fail("modemsim did not start; see " + (dir / "modemsim.log").string());
    const std::string socket = (dir / "gnss.sock").string();
    Child gnssd = Spawn({(setup.bin / "gnssd").string(), "--foreground", "--modem", "tty:" + tty,
                         "--socket", socket, "--log-file", (dir / "gnssd.log").string(),
                         "--ready-fd", "3"},
                        {{ready[1], 3}}, (dir / "gnssd.err").string());
    ::close(ready[1]);
    if (ReadLine(ready[0], std::chrono::seconds(20)) != "READY " + socket)
        Fail("gnssd did not come up; see " + dir.string());

    run.idleWakeups = IdleWakeups(gnssd.pid);

    // The location service on, as a user does it.
    Child on = Spawn({(setup.bin / "gnssctl").string(), "--socket", socket, "location", "on"}, {},
                     (dir / "gnssctl.log").string());
    int status = 0;
    ::waitpid(on.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail("gnssctl location on failed; see " + (dir / "gnssctl.log").string());

    // The stamps, read as the modem writes them.
    std::mutex stampLock;
    std::condition_variable stampChanged;
    std::vector<Stamp> blocks;
    std::size_t fixesStamped = 0;
    bool stampsEnded = false;
    std::thread reader([&] {
        FILE* in = ::fdopen(stamps[0], "r");
        char line[2048];
        while (std::fgets(line, sizeof line, in) != nullptr) {
            std::istringstream words(line);
            std::string kind;
            long long ns = 0;
            words >> kind >> ns;
            std::lock_guard guard(stampLock);
            if (kind == "nmea") {
                Stamp s{ns, 0, {}};
                words >> s.sentences >> s.first;
                blocks.push_back(s);
            } else if (kind == "fix") {
                ++fixesStamped;
            }
            stampChanged.notify_all();
        }
        std::fclose(in);
        std::lock_guard guard(stampLock);
        stampsEnded = true;
        stampChanged.notify_all();
    });

    Arrivals arrivals;
    {
        auto device = gnss::client::Device::Open(socket);
        // NMEA wanted (GNSS_SetNMEALogging 256), as gnssctl nmea asks for it.
        gnss::client::CheckedControl(*device, IOCTL_GNSS_SEND_DRIVERCOMMAND,
                                     gnss::client::BuildDriverCommandValue(GNSS_SetNMEALogging, 256),
                                     0, "GNSS_SetNMEALogging");
        gnss::client::NmeaListener listener(*device, [&arrivals](gnss::client::Completion&& c) {
            const std::int64_t ns = NowNs();
            if (!c.ok()) return;
            const auto event = gnss::client::DecodeEvent(c.output);
            if (const auto* nmea = std::get_if<gnss::client::NmeaData>(&event.data))
                arrivals.Sentences(nmea->sentences, ns);
        });
        listener.Start();

        const double cpuBefore = CpuMicros(gnssd.pid);
        gnss::client::FixSessionParameters parameters;
        parameters.sessionId = static_cast<ULONG>(::getpid());
        parameters.type = GNSS_FixSession_ContinuousTracking;
        parameters.horizontalAccuracy = 50;
        parameters.typeValue = 1;
        gnss::client::CheckedControl(*device, IOCTL_GNSS_START_FIXSESSION,
                                     gnss::client::BuildFixSession(parameters), 0, "fix session");
        // One fix request armed at all times: the next goes out first.
        const ULONG id = parameters.sessionId;
        std::atomic<bool> tracking{true};
        std::atomic<std::uint64_t> fixSerial{0};
        std::function<void()> arm = [&] {
            std::uint8_t bytes[sizeof id];
            std::memcpy(bytes, &id, sizeof id);
            device->ControlAsync(IOCTL_GNSS_GET_FIXDATA, bytes, sizeof(GNSS_EVENT),
                                 [&](gnss::client::Completion&& c) {
                                     if (!tracking || c.disconnected) return;
                                     arm();
                                     if (c.ok()) arrivals.Fix(std::to_string(fixSerial++));
                                 });
        };
        arm();

        const auto bound = std::chrono::milliseconds(
            static_cast<long long>(20000 + 2000.0 * setup.scale * static_cast<double>(capture.blocks)));
        {
            std::unique_lock guard(stampLock);
            stampChanged.wait_for(guard, bound,
                                  [&] { return stampsEnded || blocks.size() >= capture.blocks; });
        }
        std::size_t sent = 0, fixes = 0;
        {
            std::lock_guard guard(stampLock);
            for (const Stamp& s : blocks) sent += s.sentences;
            fixes = fixesStamped;
        }
        // What is on its way arrives in moments; this only bounds a loss.
        arrivals.WaitFor(sent, fixes, std::chrono::seconds(2));
        run.cpuUs = CpuMicros(gnssd.pid) - cpuBefore;
        run.rssKb = StatusKb("/proc/" + std::to_string(gnssd.pid) + "/status", "VmRSS:");
        run.dropsCounted = listener.Lost();
        tracking = false;
        device->Control(IOCTL_GNSS_STOP_FIXSESSION, gnss::client::BuildStopFixSession(id), 0);
        listener.Stop();
        device->Close();
        std::lock_guard guard(stampLock);
        run.sentencesSent = sent;
        run.fixesSent = fixes;
        run.blocks = blocks.size();
    }
    arrivals.Match(blocks, run);
    gnssd.Stop();
    modem.Stop();
    reader.join();
    ::close(pty[0]);
    ::close(ready[0]);
    return run;
}

// --- gpsd -------------------------------------------------------------------------

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        Fail("no free TCP port");
    ::close(fd);
    return ntohs(addr.sin_port);
}

Run RunGpsd(const Setup& setup, const std::string& gpsd, const Capture& capture) {
    Run run;
    const fs::path dir = setup.work / ("gpsd-" + capture.name);
    fs::create_directories(dir);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char path[256] = {};
    termios raw{};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, path, sizeof path) != 0 || ::tcgetattr(master, &raw) != 0)
        Fail("cannot create a pseudo-terminal");
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    const int inotify = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(inotify, path, IN_OPEN);
    const int port = FreePort();
    Child daemon = Spawn({gpsd, "-N", "-n", "-b", "-S", std::to_string(port), "-F",
                          (dir / "gpsd.sock").string(), path},
                         {}, (dir / "gpsd.log").string());
    // gpsd listens on its port before it opens its device.
    pollfd opened{inotify, POLLIN, 0};
    if (::poll(&opened, 1, 10000) <= 0) Fail("gpsd did not open " + std::string(path));
    ::close(inotify);

    run.idleWakeups = IdleWakeups(daemon.pid);

    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        Fail("cannot connect to gpsd");
    const char watch[] = "?WATCH={\"enable\":true,\"json\":true,\"raw\":1}\n";
    if (::write(client, watch, sizeof watch - 1) != static_cast<ssize_t>(sizeof watch - 1))
        Fail("cannot write to gpsd");
    Arrivals arrivals;
    std::thread reader([&] {
        std::string pending;
        char buffer[8192];
        ssize_t n;
        while ((n = ::read(client, buffer, sizeof buffer)) > 0) {
            const std::int64_t ns = NowNs();
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line[0] == '$') {
                    arrivals.Sentences(line, ns);
                } else if (line.find("\"class\":\"TPV\"") != std::string::npos &&
                           (line.find("\"mode\":2") != std::string::npos ||
                            line.find("\"mode\":3") != std::string::npos)) {
                    const std::size_t t = line.find("\"time\":\"");
                    if (t != std::string::npos) arrivals.Fix(line.substr(t + 8, 24));
                } else if (line.find("\"class\":\"WATCH\"") != std::string::npos) {
                    std::lock_guard guard(arrivals.lock);
                    arrivals.watching = true;
                    arrivals.changed.notify_all();
                }
            }
        }
    });
    {
        std::unique_lock guard(arrivals.lock);
        if (!arrivals.changed.wait_for(guard, std::chrono::seconds(10), [&] { return arrivals.watching; }))
            Fail("gpsd did not answer the watch");
    }

    // The epochs at the modem's rate, each block in one write; gpsd drops
    // the QZSS talker GQ by its design, so those are not counted as sent.
    std::vector<Stamp> stamps;
    const double cpuBefore = CpuMicros(daemon.pid);
    const auto interval = std::chrono::nanoseconds(static_cast<long long>(setup.scale * 1e9));
    auto due = Clock::now();
    for (const gnss::sim::Epoch& epoch : capture.epochs.epochs) {
        if (epoch.nmea.empty()) continue;
        due += interval;
        std::this_thread::sleep_until(due);
        std::string block;
        Stamp s{0, 0, {}};
        for (const std::string& sentence : epoch.nmea) {
            block += sentence + "\r\n";
            if (sentence.compare(1, 2, "GQ") == 0) continue;
            if (s.sentences++ == 0) s.first = sentence;
        }
        for (std::size_t at = 0; at < block.size();) {
            const ssize_t n = ::write(master, block.data() + at, block.size() - at);
            if (n <= 0) Fail("cannot write to gpsd's terminal");
            at += static_cast<std::size_t>(n);
        }
        s.ns = NowNs();
        run.sentencesSent += s.sentences;
        if (epoch.fix.valid) ++run.fixesSent;
        stamps.push_back(s);
    }
    arrivals.WaitFor(run.sentencesSent, run.fixesSent, std::chrono::seconds(2));
    run.cpuUs = CpuMicros(daemon.pid) - cpuBefore;
    run.rssKb = StatusKb("/proc/" + std::to_string(daemon.pid) + "/status", "VmRSS:");
    run.blocks = stamps.size();
    ::shutdown(client, SHUT_RDWR);
    reader.join();
    ::close(client);
    daemon.Stop();
    ::close(master);
    arrivals.Match(stamps, run);
    return run;
}

// --- round trips ------------------------------------------------------------------

// Capability requests through gnssd, microseconds each.
std::vector<double> CapabilityRoundTrips(const Setup& setup, const std::string& tty) {
    const fs::path dir = setup.work / "capability";
    fs::create_directories(dir);
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) Fail("pipe2 failed");
    const std::string socket = (dir / "gnss.sock").string();
    Child gnssd = Spawn({(setup.bin / "gnssd").string(), "--foreground", "--modem", tty, "--socket",
                         socket, "--log-file", (dir / "gnssd.log").string(), "--ready-fd", "3"},
                        {{ready[1], 3}}, (dir / "gnssd.err").string());
    ::close(ready[1]);
    if (ReadLine(ready[0], std::chrono::seconds(20)) != "READY " + socket)
        Fail("gnssd did not come up; see " + dir.string());
    ::close(ready[0]);
    std::vector<double> us;
    {
        auto device = gnss::client::Device::Open(socket);
        for (int i = 0; i < 2200; ++i) {
            const std::int64_t start = NowNs();
            gnss::client::GetDeviceCapability(*device);
            if (i >= 200) us.push_back(static_cast<double>(NowNs() - start) / 1000.0);
        }
    }
    gnssd.Stop();
    return us;
}

// A request and an answer of the capability request's sizes between two
// processes over SOCK_SEQPACKET, microseconds each.
std::vector<double> BareRoundTrips() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) Fail("socketpair failed");
    const pid_t echo = ::fork();
    if (echo == 0) {
        ::close(pair[0]);
        std::uint8_t buffer[1024] = {};
        while (::recv(pair[1], buffer, sizeof buffer, 0) > 0)
            if (::send(pair[1], buffer, 64 + sizeof(GNSS_DEVICE_CAPABILITY), 0) < 0) break;
        std::_Exit(0);
    }
    ::close(pair[1]);
    std::vector<double> us;
    std::uint8_t request[64] = {}, answer[1024];
    for (int i = 0; i < 2200; ++i) {
        const std::int64_t start = NowNs();
        if (::send(pair[0], request, sizeof request, 0) < 0 || ::recv(pair[0], answer, sizeof answer, 0) <= 0)
            Fail("bare round trip failed");
        if (i >= 200) us.push_back(static_cast<double>(NowNs() - start) / 1000.0);
    }
    ::close(pair[0]);
    ::waitpid(echo, nullptr, 0);
    return us;
}

// --- the table --------------------------------------------------------------------

struct Totals {
    std::vector<double> latency;
    double cpuUs = 0;
    std::size_t sentencesSent = 0, sentencesGot = 0, fixesSent = 0, fixesGot = 0;
    long rssKb = 0;
    double idle = 0;
    std::uint64_t drops = 0;
    bool any = false;

    void Add(const Run& r) {
        latency.insert(latency.end(), r.latencyUs.begin(), r.latencyUs.end());
        cpuUs += r.cpuUs;
        sentencesSent += r.sentencesSent;
        sentencesGot += r.sentencesGot;
        fixesSent += r.fixesSent;
        fixesGot += r.fixesGot;
        rssKb = std::max(rssKb, r.rssKb);
        idle = std::max(idle, r.idleWakeups);
        drops += r.dropsCounted;
        any = true;
    }
    std::size_t SentencesLost() const { return sentencesSent > sentencesGot ? sentencesSent - sentencesGot : 0; }
    std::size_t FixesLost() const { return fixesSent > fixesGot ? fixesSent - fixesGot : 0; }
};

std::string Number(double v, int decimals = 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

void Row(const char* figure, const std::string& gpsd, const std::string& gnssd, const std::string& ratio,
         const std::string& target) {
    std::printf("| %-38s | %12s | %12s | %7s | %-22s |\n", figure, gpsd.c_str(), gnssd.c_str(),
                ratio.c_str(), target.c_str());
}

std::string Ratio(double ours, double theirs) {
    return theirs > 0 ? Number(ours / theirs, 2) : "-";
}

std::string Verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    Setup setup;
    bool withGpsd = true;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--scale" && i + 1 < argc) {
            setup.scale = std::atof(argv[++i]);
            if (!(setup.scale > 0 && setup.scale <= 1)) Fail("--scale needs 0 < F <= 1");
        } else if (a == "--no-gpsd") {
            withGpsd = false;
        } else if (!a.empty() && a[0] == '-') {
            Fail("usage: bench_relay [--scale F] [--no-gpsd] [CAPTURE...]");
        } else {
            names.push_back(a);
        }
    }
    setup.bin = fs::canonical("/proc/self/exe").parent_path();
    const char* folder = std::getenv("GNSS_NMEA_CAPTURES");
    const fs::path captures = folder != nullptr ? fs::path(folder) : fs::path(GNSS_NMEA_CAPTURES_DIR);
    if (names.empty())
        for (const auto& entry : fs::directory_iterator(captures))
            if (entry.path().extension() == ".log") names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());

    std::string gpsd;
    if (withGpsd) {
        for (const char* candidate : {"/usr/sbin/gpsd", "/usr/bin/gpsd"})
            if (::access(candidate, X_OK) == 0) gpsd = candidate;
        if (gpsd.empty())
            std::printf("gpsd is not installed (./x setup installs it): its column is left out\n");
    }

    char work[] = "/tmp/gnss-relay-XXXXXX";
    if (::mkdtemp(work) == nullptr) Fail("mkdtemp failed");
    setup.work = work;

    Totals ours, theirs;
    std::printf("relay of %zu capture(s), an epoch every %.0f ms; per capture:\n", names.size(),
                setup.scale * 1000);
    for (const std::string& name : names) {
        Capture c;
        c.name = fs::path(name).stem().string();
        c.path = fs::exists(name) ? name : (captures / name).string();
        c.epochs = gnss::sim::LoadCapture(c.path, 0);
        for (const auto& e : c.epochs.epochs) {
            if (e.nmea.empty()) continue;
            ++c.blocks;
            c.sentences += e.nmea.size();
            if (e.fix.valid) ++c.fixes;
        }
        const Run r = RunGnssd(setup, c);
        ours.Add(r);
        std::printf("  %-16s %4zu blocks, %4.1f sentences each: gnssd lost %zu of %zu sentences "
                    "(driver queue drops counted: %llu blocks), %zu of %zu fixes",
                    c.name.c_str(), c.blocks, static_cast<double>(c.sentences) / static_cast<double>(c.blocks),
                    r.sentencesSent - std::min(r.sentencesSent, r.sentencesGot), r.sentencesSent,
                    static_cast<unsigned long long>(r.dropsCounted),
                    r.fixesSent - std::min(r.fixesSent, r.fixesGot), r.fixesSent);
        if (!gpsd.empty()) {
            const Run g = RunGpsd(setup, gpsd, c);
            theirs.Add(g);
            std::printf("; gpsd lost %zu of %zu, %zu of %zu fixes",
                        g.sentencesSent - std::min(g.sentencesSent, g.sentencesGot), g.sentencesSent,
                        g.fixesSent - std::min(g.fixesSent, g.fixesGot), g.fixesSent);
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    // The round trips against a modem on a terminal nobody replays to.
    int pty[2];
    if (::pipe2(pty, O_CLOEXEC) != 0) Fail("pipe2 failed");
    Child modem = Spawn({(setup.bin / "modemsim").string(), "--pty"}, {{pty[1], 1}},
                        (setup.work / "modemsim-idle.log").string());
    ::close(pty[1]);
    const std::string tty = ReadLine(pty[0], std::chrono::seconds(10));
    ::close(pty[0]);
    if (tty.empty()) Fail("modemsim did not start");
    const std::vector<double> capability = CapabilityRoundTrips(setup, "tty:" + tty);
    modem.Stop();
    const std::vector<double> bare = BareRoundTrips();

    const double ourP50 = Percentile(ours.latency, 0.5), ourP99 = Percentile(ours.latency, 0.99);
    const double theirP50 = Percentile(theirs.latency, 0.5), theirP99 = Percentile(theirs.latency, 0.99);
    const double ourCpu = ours.sentencesGot ? ours.cpuUs / static_cast<double>(ours.sentencesGot) : 0;
    const double theirCpu = theirs.sentencesGot ? theirs.cpuUs / static_cast<double>(theirs.sentencesGot) : 0;
    const double ourFixCpu = ours.fixesGot ? ours.cpuUs / static_cast<double>(ours.fixesGot) : 0;
    const double theirFixCpu = theirs.fixesGot ? theirs.cpuUs / static_cast<double>(theirs.fixesGot) : 0;
    const std::string none = "-";
    const auto col = [&](double v, int decimals) { return theirs.any ? Number(v, decimals) : none; };

    std::printf("\n| %-38s | %12s | %12s | %7s | %-22s |\n", "figure", "gpsd", "gnssd", "ratio", "target");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(40, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(9, '-').c_str(), std::string(24, '-').c_str());
    Row("latency p50, us", col(theirP50, 0), Number(ourP50), Ratio(ourP50, theirP50),
        "<= 2x: " + (theirs.any ? Verdict(ourP50 <= 2 * theirP50) : none));
    Row("latency p99, us", col(theirP99, 0), Number(ourP99), Ratio(ourP99, theirP99),
        "<= 2x: " + (theirs.any ? Verdict(ourP99 <= 2 * theirP99) : none));
    Row("CPU per relayed sentence, us", col(theirCpu, 1), Number(ourCpu, 1), Ratio(ourCpu, theirCpu),
        "<= 1x: " + (theirs.any ? Verdict(ourCpu <= theirCpu) : none));
    Row("CPU per fix, us", col(theirFixCpu, 0), Number(ourFixCpu), Ratio(ourFixCpu, theirFixCpu), "");
    Row("resident memory, MB", col(theirs.rssKb / 1024.0, 1), Number(ours.rssKb / 1024.0, 1),
        Ratio(ours.rssKb, theirs.rssKb),
        "<= 1x: " + (theirs.any ? Verdict(ours.rssKb <= theirs.rssKb) : none));
    Row("sentences lost", col(static_cast<double>(theirs.SentencesLost()), 0),
        Number(static_cast<double>(ours.SentencesLost())) + " of " + Number(static_cast<double>(ours.sentencesSent)),
        "", "counted: " + Number(static_cast<double>(ours.drops)) + " blocks");
    Row("fixes lost", col(static_cast<double>(theirs.FixesLost()), 0),
        Number(static_cast<double>(ours.FixesLost())) + " of " + Number(static_cast<double>(ours.fixesSent)), "",
        "0: " + Verdict(ours.FixesLost() == 0));
    Row("idle wake-ups per second", col(theirs.idle, 1), Number(ours.idle, 1), Ratio(ours.idle, theirs.idle),
        "0: " + Verdict(ours.idle < 0.5));
    const double capP50 = Percentile(capability, 0.5), bareP50 = Percentile(bare, 0.5);
    std::printf("\n| %-38s | %12s | %12s | %7s | %-22s |\n", "round trip", "bare socket", "gnssd", "ratio",
                "target");
    Row("capability request p50, us", Number(bareP50, 1), Number(capP50, 1), Ratio(capP50, bareP50),
        "<= 2x: " + Verdict(capP50 <= 2 * bareP50));
    Row("capability request p99, us", Number(Percentile(bare, 0.99), 1),
        Number(Percentile(capability, 0.99), 1), Ratio(Percentile(capability, 0.99), Percentile(bare, 0.99)), "");

    std::error_code error;
    fs::remove_all(setup.work, error);
    return 0;
}
