// modemsim: the simulated modem on a pseudo-terminal.
//
// Creates a pseudo-terminal in raw mode, prints the path of its terminal side
// on standard output and serves the modem there until SIGTERM or SIGINT.  A
// client opening the terminal raises the modem's DTR and RTS; the last client
// closing it drops them (a hang-up), after which the modem waits for the next
// client.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "gnss/package_version.h"
#include "gnss/sim/modem.h"

namespace {

using gnss::sim::Modem;
using gnss::sim::ReadStatus;

constexpr int kExitUsage = 2;
constexpr int kExitSetup = 1;
constexpr int kExitUnplugged = 3;

const char* Usage() {
    return "Usage: modemsim --pty [OPTIONS]\n"
           "\n"
           "Serves the simulated GNSS modem on a new pseudo-terminal: prints the path of\n"
           "the terminal (one line) and answers AT commands there until SIGTERM or SIGINT.\n"
           "Opening the terminal raises the modem's DTR; closing it drops DTR (hang-up).\n"
           "\n"
           "Options (each maps onto a key of the modem option string):\n"
           "  --pty                  serve on a pseudo-terminal (required)\n"
           "  --options STRING       a whole option string, applied before the options below\n"
           "  --chip pv7710|rxa7300  chip generation (chip=)\n"
           "  --no-sim               no SIM inserted (sim=off)\n"
           "  --imsi DIGITS          IMSI of the SIM, 14 or 15 digits (imsi=)\n"
           "  --mnc-length 2|3       MNC length stored on the SIM (mnc=)\n"
           "  --shape 0|1|2|3        position report shape (shape=)\n"
           "  --echo on|off          echo after power-up (echo=)\n"
           "  --linefeed ignore|end  a line feed in a command: dropped, or its end (linefeed=)\n"
           "  --replay FILE          replay an NMEA capture (replay=)\n"
           "  --loop                 start the capture again at its end (loop=on)\n"
           "  --no-fix skip|error    epochs without a fix (nofix=)\n"
           "  --fault FAULT          inject a fault; repeatable (fault=)\n"
           "  --record FILE          append every byte received to FILE (record=)\n"
           "  --seed N               seed of the synthetic route (seed=)\n"
           "  --time-scale F         scale intervals and delays, 0 < F <= 1 (time-scale=)\n"
           "  --start TIME           receiver time at start, YYYY-MM-DDTHH:MM:SS or now (start=)\n"
           "  --ttff SECONDS         time to the first report of a request (ttff=)\n"
           "  --lat DEG --lon DEG    centre of the synthetic route (lat=, lon=)\n"
           "  --alt M                altitude of the route (alt=)\n"
           "  --speed M/S            mean speed on the route (speed=)\n"
           "  --radius M             mean radius of the route (radius=)\n"
           "  --dtr honour|ignore    whether DTR low silences the modem (dtr=)\n"
           "  --spectrum TEXT        the one line every spectrum scan answers (spectrum=)\n"
           "  --stamps FILE          append a line to FILE for every NMEA block and position\n"
           "                         report once its closing OK is written: \"nmea NS COUNT\n"
           "                         FIRST-SENTENCE\" or \"fix NS\" (NS: monotonic clock, ns)\n"
           "  --version              print the package version and exit\n"
           "  -h, --help             print this help and exit\n"
           "\n";
}

const char* Examples() {
    return "\n"
           "Examples:\n"
           "  modemsim --pty\n"
           "  modemsim --pty --chip rxa7300 --shape 0 --time-scale 0.1\n"
           "  modemsim --pty --replay drive.nmea --no-fix error --fault delay:300:AT+CIMI\n"
           "  modemsim --pty --options chip=rxa7300,mnc=3 --fault split:1 --record host.bin\n"
           "\n"
           "  A session by hand (the path is the one modemsim printed):\n"
           "    exec 3<>/dev/pts/5\n"
           "    printf 'ATE0\\r\\n' >&3; printf 'AT+XLCSSWITCH=1\\r\\n' >&3\n"
           "    printf 'AT+XLCSLSR=1,1,,,,,1,,,2\\r\\n' >&3; timeout 3 cat <&3\n"
           "\n"
           "Exit status: 0 after SIGTERM or SIGINT, 1 when the terminal cannot be set up,\n"
           "2 on a bad option, 3 when the modem was unplugged (fault unplug).\n";
}

bool AppendOption(std::string& options, const char* key, const char* value, std::string& error,
                  const char* option) {
    if (std::strchr(value, ',') != nullptr) {
        error = std::string(option) + ": the value may not contain a comma, not '" + value + "'";
        return false;
    }
    if (!options.empty()) options += ',';
    options += key;
    options += '=';
    options += value;
    return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // Nobody reads the terminal: wait a while, then drop the rest as a
            // serial line without flow control would.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) > 0 && (p.revents & POLLOUT) != 0) continue;
        }
        return false;
    }
    return true;
}

// True while a client holds the terminal side open.
bool ClientPresent(int master) {
    pollfd p{master, POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

// The --stamps lines: what the bytes about to be written complete, stamped
// once they are written.  A block's sentences are the lines beginning with $
// before its OK; a position report is a +XLCSLSR line with a shape.
class Stamper {
public:
    explicit Stamper(int fd) : fd_(fd) {}

    void Scan(const std::uint8_t* data, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(data[i]);
            if (c != '\n') {
                if (c != '\r' && line_.size() < 1024) line_ += c;
                continue;
            }
            if (!line_.empty() && line_[0] == '$') {
                if (sentences_++ == 0) first_ = line_;
            } else if (line_ == "OK" && sentences_ > 0) {
                done_ += "nmea @ " + std::to_string(sentences_) + " " + first_ + "\n";
                sentences_ = 0;
            } else if (line_.rfind("+XLCSLSR: ", 0) == 0 && line_.size() > 10 &&
                       line_[10] >= '0' && line_[10] <= '9') {
                done_ += "fix @\n";
            }
            line_.clear();
        }
    }

    // The stamps of what Scan found, with the time now in place of each @.
    void Written() {
        if (done_.empty()) return;
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
        std::string out;
        for (const char c : done_) {
            if (c == '@') out += std::to_string(now);
            else out += c;
        }
        done_.clear();
        [[maybe_unused]] const ssize_t n = ::write(fd_, out.data(), out.size());
    }

private:
    int fd_;
    std::string line_;
    std::string first_;
    std::string done_;
    int sentences_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    enum {
        kPty = 1000, kOptions, kChip, kNoSim, kImsi, kMnc, kShape, kEcho, kLineFeed, kReplay,
        kLoop, kNoFix, kFault, kRecord, kSeed, kTimeScale, kStart, kTtff, kLat, kLon, kAlt,
        kSpeed, kRadius, kDtr, kSpectrum, kStamps, kVersion
    };
    static const option kLong[] = {
        {"pty", no_argument, nullptr, kPty},
        {"options", required_argument, nullptr, kOptions},
        {"chip", required_argument, nullptr, kChip},
        {"no-sim", no_argument, nullptr, kNoSim},
        {"imsi", required_argument, nullptr, kImsi},
        {"mnc-length", required_argument, nullptr, kMnc},
        {"shape", required_argument, nullptr, kShape},
        {"echo", required_argument, nullptr, kEcho},
        {"linefeed", required_argument, nullptr, kLineFeed},
        {"replay", required_argument, nullptr, kReplay},
        {"loop", no_argument, nullptr, kLoop},
        {"no-fix", required_argument, nullptr, kNoFix},
        {"fault", required_argument, nullptr, kFault},
        {"record", required_argument, nullptr, kRecord},
        {"seed", required_argument, nullptr, kSeed},
        {"time-scale", required_argument, nullptr, kTimeScale},
        {"start", required_argument, nullptr, kStart},
        {"ttff", required_argument, nullptr, kTtff},
        {"lat", required_argument, nullptr, kLat},
        {"lon", required_argument, nullptr, kLon},
        {"alt", required_argument, nullptr, kAlt},
        {"speed", required_argument, nullptr, kSpeed},
        {"radius", required_argument, nullptr, kRadius},
        {"dtr", required_argument, nullptr, kDtr},
        {"spectrum", required_argument, nullptr, kSpectrum},
        {"stamps", required_argument, nullptr, kStamps},
        {"version", no_argument, nullptr, kVersion},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    struct Mapping {
        int id;
        const char* key;
    };
    static const Mapping kKeys[] = {
        {kChip, "chip"}, {kImsi, "imsi"}, {kMnc, "mnc"}, {kShape, "shape"}, {kEcho, "echo"},
        {kLineFeed, "linefeed"}, {kReplay, "replay"}, {kNoFix, "nofix"}, {kFault, "fault"},
        {kRecord, "record"}, {kSeed, "seed"}, {kTimeScale, "time-scale"}, {kStart, "start"},
        {kTtff, "ttff"}, {kLat, "lat"}, {kLon, "lon"}, {kAlt, "alt"}, {kSpeed, "speed"},
        {kRadius, "radius"}, {kDtr, "dtr"}, {kSpectrum, "spectrum"},
    };

    bool pty = false;
    std::string base, extra, error, stampsPath;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kLong, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
            case kPty: pty = true; break;
            case kOptions: base = optarg; break;
            case kNoSim: ok = AppendOption(extra, "sim", "off", error, "--no-sim"); break;
            case kLoop: ok = AppendOption(extra, "loop", "on", error, "--loop"); break;
            case kStamps: stampsPath = optarg; break;
            case kVersion: std::puts("modemsim " GNSS_PACKAGE_VERSION); return 0;
            case 'h':
                std::fputs(Usage(), stdout);
                std::fputs(gnss::sim::OptionHelp(), stdout);
                std::fputs("\n", stdout);
                std::fputs(gnss::sim::FaultHelp(), stdout);
                std::fputs(Examples(), stdout);
                return 0;
            case ':':
                std::fprintf(stderr, "modemsim: option %s needs a value\n", argv[optind - 1]);
                return kExitUsage;
            case '?':
                std::fprintf(stderr, "modemsim: unknown option '%s' (see --help)\n", argv[optind - 1]);
                return kExitUsage;
            default:
                for (const Mapping& m : kKeys) {
                    if (m.id != c) continue;
                    std::string name = "--";
                    for (const option& o : kLong)
                        if (o.val == c && o.name != nullptr) name += o.name;
                    ok = AppendOption(extra, m.key, optarg, error, name.c_str());
                }
                break;
        }
        if (!ok) {
            std::fprintf(stderr, "modemsim: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "modemsim: unexpected argument '%s' (see --help)\n", argv[optind]);
        return kExitUsage;
    }
    if (!pty) {
        std::fprintf(stderr, "modemsim: say --pty to serve the modem on a pseudo-terminal (see --help)\n");
        return kExitUsage;
    }

    gnss::sim::ModemOptions options;
    try {
        options = gnss::sim::ParseModemOptions(extra, gnss::sim::ParseModemOptions(base));
    } catch (const gnss::sim::OptionError& e) {
        std::fprintf(stderr, "modemsim: %s\n", e.what());
        return kExitUsage;
    }

    // Signals are taken through a descriptor; no thread sees them otherwise.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char path[256] = {};
    termios raw{};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, path, sizeof path) != 0 || ::tcgetattr(master, &raw) != 0) {
        std::fprintf(stderr, "modemsim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return kExitSetup;
    }
    ::cfmakeraw(&raw);
    const int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const int unpluggedFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signalFd < 0 || inotify < 0 || unpluggedFd < 0 || ::tcsetattr(master, TCSANOW, &raw) != 0 ||
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0 ||
        ::inotify_add_watch(inotify, path, IN_OPEN | IN_CLOSE) < 0) {
        std::fprintf(stderr, "modemsim: cannot set up the pseudo-terminal %s: %s\n", path, std::strerror(errno));
        return kExitSetup;
    }

    int stampsFd = -1;
    if (!stampsPath.empty()) {
        stampsFd = ::open(stampsPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (stampsFd < 0) {
            std::fprintf(stderr, "modemsim: cannot open %s: %s\n", stampsPath.c_str(), std::strerror(errno));
            return kExitSetup;
        }
    }

    std::unique_ptr<Modem> modem;
    try {
        modem = std::make_unique<Modem>(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "modemsim: %s\n", e.what());
        return kExitSetup;
    }
    // Clients are counted from the open and close events of the terminal
    // side: a close followed at once by the next open is still a hang-up.
    int opens = 0;
    modem->SetControlLines(false, false);

    std::printf("%s\n", path);
    std::fflush(stdout);

    std::atomic<bool> present{false};
    std::thread output([&] {
        std::uint8_t buffer[1024];
        Stamper stamper{stampsFd};
        while (true) {
            const auto result = modem->Read(buffer, sizeof buffer, std::chrono::hours(1));
            if (result.status == ReadStatus::Data) {
                if (present.load()) {
                    if (stampsFd >= 0) stamper.Scan(buffer, result.bytes);
                    WriteAll(master, buffer, result.bytes);
                    if (stampsFd >= 0) stamper.Written();
                }
            } else if (result.status == ReadStatus::Closed) {
                return;
            } else if (result.status == ReadStatus::Unplugged) {
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t n = ::write(unpluggedFd, &one, sizeof one);
                return;
            }
        }
    });

    int status = 0;
    std::uint8_t buffer[1024];
    while (true) {
        pollfd fds[4] = {{signalFd, POLLIN, 0}, {unpluggedFd, POLLIN, 0}, {inotify, POLLIN, 0},
                         {opens > 0 ? master : -1, POLLIN, 0}};
        if (::poll(fds, 4, -1) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "modemsim: poll: %s\n", std::strerror(errno));
            status = kExitSetup;
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) {
            std::fprintf(stderr, "modemsim: the modem was unplugged\n");
            status = kExitUnplugged;
            break;
        }
        if (fds[2].revents != 0) {
            // Events first, so that a new client's bytes reach a modem that
            // has seen the hang-up of the previous one.
            alignas(inotify_event) char events[4096];
            bool hangUp = false;
            ssize_t n;
            while ((n = ::read(inotify, events, sizeof events)) > 0) {
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                    if ((event->mask & IN_Q_OVERFLOW) != 0) {
                        opens = ClientPresent(master) ? 1 : 0;
                        hangUp = true;
                    } else if ((event->mask & IN_OPEN) != 0) {
                        ++opens;
                    } else if ((event->mask & IN_CLOSE) != 0 && opens > 0) {
                        if (--opens == 0) hangUp = true;
                    }
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            if (hangUp && present.load()) {
                present = false;
                modem->SetControlLines(false, false);
            }
            if (opens > 0 && !present.load()) {
                present = true;
                modem->SetControlLines(true, true);
            }
            continue;
        }
        if ((fds[3].revents & POLLIN) != 0) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0 && modem->Write(buffer, static_cast<std::size_t>(n)) == 0) {
                std::fprintf(stderr, "modemsim: the modem was unplugged\n");
                status = kExitUnplugged;
                break;
            }
        }
    }

    modem->Close();
    output.join();
    modem.reset();
    ::close(master);
    ::close(inotify);
    ::close(unpluggedFd);
    ::close(signalFd);
    if (stampsFd >= 0) ::close(stampsFd);
    return status;
}
