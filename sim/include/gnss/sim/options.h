// Configuration of the simulated modem.
//
// Every front end (the library's users, the modemsim program, the daemon's
// "--modem sim:<options>") configures the modem with one option string of
// comma-separated key=value pairs, for example
//
//     chip=rxa7300,imsi=001010123456789,mnc=3,shape=1,fault=split:1,fault=error:AT+CIMI
//
// The keys are documented in sim/README.md and in OptionHelp().  Unknown keys,
// malformed values and values out of range are refused with a message that
// names the key and the value; nothing is ignored silently.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gnss::sim {

// The two generations of the modem's GNSS chip; they differ in the answer to
// "AT+XLCSSWITCH?" only.
enum class Chip { PV7710, RXA7300 };

// Shapes of the position report.
enum class ReportShape : int { Circle = 0, Ellipse = 1, Ellipsoid = 2, Arc = 3 };

// What an epoch without a valid fix produces.
enum class NoFixPolicy { Skip, PositionError };

// What a line feed inside a command line does.  Modems differ here: some
// take only the carriage return as the end of a command and drop line feeds,
// others end the command at a line feed too, so that a command carrying a
// line feed in its text reaches them as several lines, each answered.
enum class LineFeed { Ignore, End };

// One injected fault.  See FaultHelp() for the text form.
struct Fault {
    enum class Kind {
        Silent,    // commands are neither carried out nor answered
        Error,     // commands are answered ERROR and not carried out
        Delay,     // answers are held back for `value` milliseconds (scaled)
        Split,     // every read returns at most `value` bytes
        Nul,       // a zero byte, then `value` junk bytes, follow the data of every read
        Garbage,   // a line of `text` goes out before every answer and report block
        NavError,  // position errors instead of reports (`value` of them, 0 = all)
        Unplug,    // the modem drops off the bus (see `when`)
    };
    enum class When { Now, AfterCommands, OnPrefix };

    Kind kind = Kind::Silent;
    std::string prefix;       // Silent, Error, Delay, Unplug(OnPrefix): command prefix, "" = all
    std::uint64_t value = 0;  // see the kinds above; Unplug(AfterCommands): the command count
    std::string text;         // Garbage: the line
    When when = When::Now;    // Unplug only

    std::string ToString() const;  // the text form, as ParseFault reads it
    bool operator==(const Fault&) const = default;
};

// Thrown by the parsers on bad input; what() names the offending key and value.
class OptionError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct ModemOptions {
    Chip chip = Chip::PV7710;
    bool simPresent = true;
    std::string imsi = "001010123456789";
    unsigned mncLength = 2;
    ReportShape shape = ReportShape::Ellipsoid;
    bool echo = true;  // echo after power-up (E1)
    LineFeed lineFeed = LineFeed::Ignore;

    std::string replayPath;  // empty: synthetic receiver
    bool replayLoop = false;
    NoFixPolicy noFix = NoFixPolicy::Skip;

    std::vector<Fault> faults;
    std::string recordPath;  // empty: no record file

    std::uint64_t seed = 1;
    double timeScale = 1.0;                // factor in (0, 1]
    std::optional<std::int64_t> start;     // UTC seconds since 1970; empty: the time of creation
    double firstFixSeconds = 1.0;          // delay of the first report after a request
    double latitude = 47.3769;             // centre of the synthetic route, degrees
    double longitude = 8.5417;
    double altitude = 408.0;               // metres
    double speed = 12.5;                   // mean speed, metres per second
    double radius = 600.0;                 // mean radius of the route, metres
    bool honourDtr = true;                 // DTR low: commands are not carried out
    std::string spectrumLine;              // non-empty: the one line every spectrum scan answers
};

// The time scale from the environment variable GNSS_TIME_SCALE: a factor in
// (0, 1], or 1 when the variable is unset, empty or out of range.
double TimeScaleFromEnvironment();

// Defaults, with the time scale from the environment.
ModemOptions DefaultModemOptions();

// Parses the option string on top of `base` (by default DefaultModemOptions()).
// Throws OptionError.  An empty string yields the base unchanged.
ModemOptions ParseModemOptions(std::string_view text);
ModemOptions ParseModemOptions(std::string_view text, const ModemOptions& base);
// The same without exceptions: false and a message in `error` on bad input,
// `options` untouched then.
bool TryParseModemOptions(std::string_view text, ModemOptions& options, std::string& error);

// One fault in its text form ("split:1", "error:AT+CIMI", "unplug:after:5", ...).
Fault ParseFault(std::string_view form);

// Parses "YYYY-MM-DDTHH:MM:SS" (optionally ending in "Z") or "now".
std::int64_t ParseStartTime(std::string_view text);

// Help texts: the keys of the option string, and the fault forms.
const char* OptionHelp();
const char* FaultHelp();

}  // namespace gnss::sim
