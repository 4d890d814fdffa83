#include "FeedOptions.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace gnss::feed {
namespace {

std::uint64_t Number(const std::string& text, const std::string& option, std::uint64_t min,
                     std::uint64_t max, int base = 10) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        throw UsageError(option + " needs a number, not '" + text + "'");
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        throw UsageError(option + " needs a number, not '" + text + "'");
    if (value < min || value > max)
        throw UsageError(option + " needs a value from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + text + "'");
    return value;
}

}  // namespace

FeedOptions ParseFeedOptions(int argc, char** argv, std::string defaultSocket) {
    FeedOptions o;
    o.socketPath = std::move(defaultSocket);
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        std::string inlineValue;
        bool hasInline = false;
        if (a.rfind("--", 0) == 0) {
            if (const auto eq = a.find('='); eq != std::string::npos) {
                inlineValue = a.substr(eq + 1);
                a.resize(eq);
                hasInline = true;
            }
        }
        const auto value = [&]() -> std::string {
            if (hasInline) return inlineValue;
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        const auto path = [&]() {
            std::string p = value();
            if (p.empty()) throw UsageError(a + " needs a path");
            return p;
        };
        const auto flag = [&] {
            if (hasInline) throw UsageError(a + " takes no value");
        };
        if (a == "-h" || a == "--help") {
            flag();
            o.help = true;
        } else if (a == "--version") {
            flag();
            o.version = true;
        } else if (a == "--socket") {
            o.socketPath = path();
        } else if (a == "--tcp") {
            std::string address = value();
            if (address.find(':') == std::string::npos)
                throw UsageError("--tcp needs ADDRESS:PORT, not '" + address + "'");
            o.tcp.push_back(std::move(address));
        } else if (a == "--unix") {
            o.unixPaths.push_back(path());
        } else if (a == "--unix-mode") {
            o.unixMode = static_cast<unsigned>(Number(value(), a, 0, 0777, 8));
        } else if (a == "--pty") {
            o.ptyLinks.push_back(path());
        } else if (a == "--interval") {
            o.interval = static_cast<std::uint32_t>(Number(value(), a, 1, 3600));
        } else if (a == "--accuracy") {
            o.accuracy = static_cast<std::uint32_t>(
                Number(value(), a, 0, std::numeric_limits<std::uint32_t>::max()));
        } else if (a == "--buffer") {
            o.buffer = static_cast<std::size_t>(Number(value(), a, 4096, 64u << 20));
        } else if (a == "--always") {
            flag();
            o.always = true;
        } else if (a == "--location-on") {
            flag();
            o.locationOn = true;
        } else if (a == "--raw") {
            flag();
            o.raw = true;
        } else if (!a.empty() && a[0] == '-') {
            throw UsageError("unknown option '" + a + "' (gnssfeed --help lists them)");
        } else {
            throw UsageError("unexpected argument '" + a + "' (gnssfeed --help)");
        }
    }
    if (o.tcp.empty() && o.unixPaths.empty() && o.ptyLinks.empty()) o.tcp.push_back(kDefaultTcp);
    return o;
}

std::string FeedHelp(const std::string& defaultSocket) {
    return "Usage: gnssfeed [OPTIONS]\n"
           "\n"
           "Serves the GNSS driver's positions as NMEA 0183 to any number of consumers:\n"
           "gpsd, GeoClue, and programs that read NMEA from a serial port.  gnssfeed is\n"
           "one client of gnssd.  For every fix it sends GGA, RMC, GST and ZDA (talker\n"
           "GN when several constellations were used), and GSA and GSV for each\n"
           "constellation under its own talker (GP, GL, GA, GB, GQ); while there is no\n"
           "fix it sends GGA with quality 0 and RMC with status V once an interval, so\n"
           "consumers show \"no fix\".\n"
           "\n"
           "A continuous-tracking session runs while at least one consumer is connected\n"
           "(a pseudo-terminal counts while some program holds it open) and is stopped\n"
           "when the last one leaves and when gnssfeed ends by a signal (SIGINT,\n"
           "SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM).\n"
           "gnssfeed never switches the location service on unless --location-on is\n"
           "given; while it is off, the log says so once and consumers get no-fix\n"
           "sentences.  When gnssd restarts or the modem goes away and comes back,\n"
           "gnssfeed connects again on its own; consumers stay connected.\n"
           "\n"
           "Each consumer has a buffer of its own: a consumer that would have more than\n"
           "--buffer bytes waiting is dropped (a pseudo-terminal's waiting bytes are\n"
           "discarded instead), so no consumer slows another or the session.\n"
           "\n"
           "Outputs (any number, any mix; with none given: --tcp " +
           std::string(kDefaultTcp) +
           ")\n"
           "  --tcp ADDRESS:PORT  listen on TCP; ADDRESS an IPv4 address, [IPv6 address]\n"
           "                      or host name; PORT 0 takes a free port (the log says\n"
           "                      which).  10110 is NMEA-0183's registered port\n"
           "  --unix PATH         listen on a Unix stream socket at PATH\n"
           "  --unix-mode MODE    permissions of the Unix sockets, octal; default 0660\n"
           "  --pty LINK          create a pseudo-terminal and a symbolic link LINK to\n"
           "                      it (the link's folder must exist)\n"
           "\n"
           "Options:\n"
           "  --socket PATH       gnssd's socket; default here: " +
           defaultSocket +
           "\n"
           "  --interval S        seconds between fixes, 1 to 3600; default 1\n"
           "  --accuracy M        horizontal accuracy asked for, metres; default 50\n"
           "  --always            track even while no consumer is connected\n"
           "  --location-on       switch the location service on whenever gnssfeed\n"
           "                      connects to gnssd\n"
           "  --raw               also pass on the receiver's own sentences as they come.\n"
           "                      The driver queues a few blocks of them for a busy\n"
           "                      listener and drops the rest, so a burst can lose some;\n"
           "                      the sentences built from fixes are never lost\n"
           "  --buffer BYTES      bytes a consumer may have waiting; default 65536\n"
           "  --version           print the package version and exit\n"
           "  -h, --help          this text\n"
           "\n"
           "Log lines go to standard error.  Exit status: 0 after a signal, 1 when an\n"
           "output cannot be set up, 2 on a usage error.\n"
           "\n"
           "Examples:\n"
           "  gnssfeed                                   then: gpsd -N tcp://127.0.0.1:10110\n"
           "  gnssfeed --pty /run/gnss/nmea0             then: gpsd -N /run/gnss/nmea0\n"
           "  gnssfeed --unix /run/gnss/nmea.sock --unix-mode 0666\n"
           "      with GeoClue's /etc/geoclue/geoclue.conf:\n"
           "      [network-nmea]\n"
           "      enable=true\n"
           "      nmea-socket=/run/gnss/nmea.sock\n"
           "  gnssfeed --tcp 0.0.0.0:10110 --interval 5 --location-on\n";
}

}  // namespace gnss::feed
