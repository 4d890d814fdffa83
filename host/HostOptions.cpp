#include "HostOptions.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

#include "gnss/platform/eventprovider.h"

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

}  // namespace

const char* HostUsage() {
    return "Usage: gnssd [OPTIONS]\n"
           "\n"
           "The framework host of the GNSS driver: loads the driver, brings its\n"
           "diagnostics up and down.\n"
           "\n"
           "Options:\n"
           "  --log-level N          real-time trace level, 1 (data) to 5 (verbose);\n"
           "                         default 4 (information and more severe)\n"
           "  --log-file PATH        write trace lines to PATH (appended); default:\n"
           "                         standard error\n"
           "  --events FILE          start an event trace session of the driver's event\n"
           "                         provider, writing JSON lines to FILE (- for stdout)\n"
           "  --events-level N       the session's level: 0 (all, default) or 2 to 5\n"
           "  --events-keywords MASK the session's match-any keyword mask, e.g. 0x4011;\n"
           "                         default 0 (all keywords)\n"
           "  --foreground           stay in the foreground (default: also foreground)\n"
           "  --version              print the driver version and exit\n"
           "  -h, --help             print this help and exit\n"
           "\n"
           "Environment:\n"
           "  GNSS_TIME_SCALE=F      multiply every fixed duration of the driver and the\n"
           "                         framework by F, 0 < F <= 1 (tests); default 1\n";
}

bool ParseHostOptions(int argc, char** argv, HostOptions& options, std::string& error) {
    enum { kLogLevel = 1000, kLogFile, kEvents, kEventsLevel, kEventsKeywords, kForeground, kVersion };
    static const option kLong[] = {
        {"log-level", required_argument, nullptr, kLogLevel},
        {"log-file", required_argument, nullptr, kLogFile},
        {"events", required_argument, nullptr, kEvents},
        {"events-level", required_argument, nullptr, kEventsLevel},
        {"events-keywords", required_argument, nullptr, kEventsKeywords},
        {"foreground", no_argument, nullptr, kForeground},
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
            case kLogLevel:
                if (!ParseNumber(optarg, 6, n) || n == 0) {
                    error = std::string("--log-level needs a number from 1 to 6, not '") + optarg + "'";
                    return false;
                }
                options.logLevel = static_cast<unsigned>(n);
                break;
            case kLogFile: options.logFile = optarg; break;
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
    return true;
}

}  // namespace gnss::host
