#include "HostOptions.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "Backends.h"
#include "gnss/platform/eventprovider.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::host {
namespace {

bool ParseNumber(const char* text, unsigned long max, unsigned long& out) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > max) return false;
    out = value;
    return true;
}

// A size in bytes with an optional K, M or G (1024, 1024^2, 1024^3) after it.
bool ParseSize(const char* text, std::uint64_t& out) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0) return false;
    unsigned shift = 0;
    switch (*end) {
        case '\0': break;
        case 'k': case 'K': shift = 10; break;
        case 'm': case 'M': shift = 20; break;
        case 'g': case 'G': shift = 30; break;
        default: return false;
    }
    if (*end != '\0' && end[1] != '\0') return false;
    if (value > (std::numeric_limits<std::uint64_t>::max() >> shift)) return false;
    out = static_cast<std::uint64_t>(value) << shift;
    return true;
}

}  // namespace

std::string DefaultDriverPath() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::string("../lib/") + kDriverModuleName;
    return (exe.parent_path().parent_path() / "lib" / kDriverModuleName).lexically_normal().string();
}

std::string HostUsage() {
    std::string text =
        "Usage: gnssd [OPTIONS]\n"
        "\n"
        "The framework host of the GNSS driver: loads the driver module, attaches\n"
        "the modem with its USB back-end, and serves the GNSS device interface on\n"
        "a Unix-domain socket until SIGTERM or SIGINT (SIGUSR1 dumps the driver's\n"
        "in-flight recorder to the log).\n"
        "\n"
        "Options:\n"
        "  --modem BACKEND        the modem's USB back-end; default sim (the simulated modem)\n";
    text += BackendsHelp();
    text +=
        "  --socket PATH          the device socket (mode 0660); default here:\n"
        "                         " + frame::DefaultSocketPath() + "\n"
        "                         (/run/gnss/gnss.sock for root, else\n"
        "                         $XDG_RUNTIME_DIR/gnss.sock, else /tmp/gnss-UID/gnss.sock;\n"
        "                         the user's folder is created with mode 0700 and refused\n"
        "                         unless it is the user's own, closed to group and others).\n"
        "                         One gnssd per socket: it locks PATH.lock (which holds\n"
        "                         its pid) before it touches the driver or the modem; a\n"
        "                         second one exits with status 1.  Default from\n"
        "                         GNSS_SOCKET when that is set\n"
        "  --socket-group NAME    make the socket, and a socket folder gnssd creates\n"
        "                         (mode 0750), belong to group NAME, so that its\n"
        "                         members may use gnssd; default: gnssd's own group\n"
        "  --driver PATH          the driver module; default ../lib/" + kDriverModuleName +
        "\n"
        "                         beside this program, here:\n"
        "                         " + DefaultDriverPath() + "\n"
        "  --nmea-log PATH        where the driver writes its NMEA log when asked to\n"
        "                         (GNSS_NMEA_LOG_FILE); default " + kDefaultNmeaLog + "\n"
        "  --log-level N          real-time trace level, 1 to 6: the lines of level N\n"
        "                         and below; 1 data and AT traffic, 2 errors,\n"
        "                         3 warnings (default), 4 information; the driver\n"
        "                         writes nothing at 5 and 6.  At 2 and 3 the data and\n"
        "                         AT traffic (level 1) are left out\n"
        "  --log-file PATH        write trace lines to PATH (appended; SIGHUP opens\n"
        "                         PATH again, after log rotation); default: standard\n"
        "                         error, or syslog (daemon facility) for a daemon.\n"
        "                         Multi-line text is written escaped (\\n), one entry\n"
        "                         a line.  A line that repeats the one before\n"
        "                         it (but for its time stamp) is written once and then\n"
        "                         counted: \"last message repeated N times\" follows\n"
        "                         with the next different line or a second later\n"
        "  --log-max-size SIZE    with --log-file: once the file would grow past SIZE\n"
        "                         bytes (K, M or G multiply by 1024, 1024^2, 1024^3;\n"
        "                         at least 4K), rename it to PATH.1, replacing the one\n"
        "                         before, and begin a new PATH; default: no limit\n"
        "  --journal              write standard error's lines for the system journal:\n"
        "                         each starts with its syslog priority, <3> error to\n"
        "                         <7> debug, and has no time stamp; the default when\n"
        "                         JOURNAL_STREAM names standard error (under systemd)\n"
        "  --events FILE          start an event trace session of the driver's event\n"
        "                         provider, writing JSON lines to FILE (- for stdout);\n"
        "                         default: none\n"
        "  --events-level N       the session's level: 0 (all, default) or 2 to 5\n"
        "  --events-keywords MASK the session's match-any keyword mask, e.g. 0x4011;\n"
        "                         default 0 (all keywords)\n"
        "  --foreground           stay in the foreground; default: become a daemon\n"
        "                         (the starting process exits 0 once the socket\n"
        "                         accepts, 1 when start-up failed)\n"
        "  --ready-fd N           write \"READY <socket path>\" and a newline to file\n"
        "                         descriptor N once the socket accepts, then close it;\n"
        "                         default: none\n"
        "  --version              print the driver version and exit\n"
        "  -h, --help             print this help and exit\n"
        "\n"
        "Environment:\n"
        "  GNSS_SOCKET=PATH       the default of --socket\n"
        "  NOTIFY_SOCKET=PATH     where to tell systemd (Type=notify) that gnssd serves\n"
        "  GNSS_TIME_SCALE=F      multiply every fixed duration of the driver and the\n"
        "                         framework by F, 0 < F <= 1 (tests); default 1\n"
        "\n"
        "When the modem goes away (unplugged, its serial port removed), the device is\n"
        "removed and the connected clients are disconnected; gnssd keeps running,\n"
        "waits for the same --modem to come back and serves new connections again:\n"
        "tty:PATH once PATH exists and opens again, usb:VID:PID once a USB device\n"
        "node appears and the modem opens by its ids, sim at once as a fresh modem\n"
        "(without the unplug faults of its options, but for unplug:after:N, which\n"
        "makes a modem that goes away every N commands).\n"
        "\n"
        "Example:\n"
        "  gnssd --foreground --modem sim:chip=pv7710 --socket /tmp/gnss.sock --log-level 3\n"
        "  gnssctl --socket /tmp/gnss.sock info\n";
    return text;
}

bool ParseHostOptions(int argc, char** argv, HostOptions& options, std::string& error) {
    enum {
        kLogLevel = 1000, kLogFile, kEvents, kEventsLevel, kEventsKeywords, kForeground, kVersion,
        kModem, kSocket, kDriver, kNmeaLog, kReadyFd, kLogMaxSize, kSocketGroup, kJournal,
    };
    static const option kLong[] = {
        {"modem", required_argument, nullptr, kModem},
        {"socket", required_argument, nullptr, kSocket},
        {"socket-group", required_argument, nullptr, kSocketGroup},
        {"driver", required_argument, nullptr, kDriver},
        {"nmea-log", required_argument, nullptr, kNmeaLog},
        {"log-level", required_argument, nullptr, kLogLevel},
        {"log-file", required_argument, nullptr, kLogFile},
        {"log-max-size", required_argument, nullptr, kLogMaxSize},
        {"journal", no_argument, nullptr, kJournal},
        {"events", required_argument, nullptr, kEvents},
        {"events-level", required_argument, nullptr, kEventsLevel},
        {"events-keywords", required_argument, nullptr, kEventsKeywords},
        {"foreground", no_argument, nullptr, kForeground},
        {"ready-fd", required_argument, nullptr, kReadyFd},
        {"version", no_argument, nullptr, kVersion},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kLong, nullptr)) != -1) {
        unsigned long n = 0;
        switch (c) {
            case kModem: options.modem = optarg; break;
            case kSocket:
                if (*optarg == '\0') {
                    error = "--socket needs a path";
                    return false;
                }
                options.socketPath = optarg;
                break;
            case kSocketGroup:
                if (*optarg == '\0') {
                    error = "--socket-group needs a group name";
                    return false;
                }
                options.socketGroup = optarg;
                break;
            case kJournal: options.journal = true; break;
            case kDriver: options.driverPath = optarg; break;
            case kNmeaLog: options.nmeaLog = optarg; break;
            case kLogLevel:
                if (!ParseNumber(optarg, 6, n) || n == 0) {
                    error = std::string("--log-level needs a number from 1 to 6, not '") + optarg + "'";
                    return false;
                }
                options.logLevel = static_cast<unsigned>(n);
                break;
            case kLogFile: options.logFile = optarg; break;
            case kLogMaxSize:
                // Below a few lines' worth every line would start a new file.
                if (!ParseSize(optarg, options.logMaxSize) || options.logMaxSize < kMinLogMaxSize) {
                    error = std::string("--log-max-size needs a size of at least 4K, ") +
                            "such as 10M, not '" + optarg + "'";
                    return false;
                }
                break;
            case kEvents: options.eventsFile = optarg; break;
            case kEventsLevel:
                if (!ParseNumber(optarg, 5, n) || n == 1) {
                    error = std::string("--events-level needs 0 or a level from 2 to 5, not '") + optarg + "'";
                    return false;
                }
                options.eventsLevel = static_cast<UCHAR>(n);
                break;
            case kEventsKeywords:
                if (!events::ParseKeywordMask(optarg, &options.eventsKeywords)) {
                    error = std::string("--events-keywords needs a mask such as 0x4011, not '") + optarg + "'";
                    return false;
                }
                break;
            case kReadyFd:
                if (!ParseNumber(optarg, INT_MAX, n) || n <= 2) {
                    error = std::string("--ready-fd needs a descriptor number above 2, not '") + optarg + "'";
                    return false;
                }
                options.readyFd = static_cast<int>(n);
                break;
            case kForeground: options.foreground = true; break;
            case kVersion: options.version = true; break;
            case 'h': options.help = true; break;
            case ':':
                error = std::string("option ") + argv[optind - 1] + " needs a value";
                return false;
            default:
                error = std::string("unknown option '") + argv[optind - 1] + "'";
                return false;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument '") + argv[optind] + "'";
        return false;
    }
    if (options.logMaxSize != 0 && options.logFile.empty()) {
        error = "--log-max-size needs --log-file";
        return false;
    }
    return true;
}

}  // namespace gnss::host
