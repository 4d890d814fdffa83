#include "gnss/sim/options.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>

#include "gnss/sim/fix.h"

namespace gnss::sim {
namespace {

std::string Quote(std::string_view text) { return "'" + std::string(text) + "'"; }

[[noreturn]] void Fail(std::string message) { throw OptionError(std::move(message)); }

bool ParseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

bool ParseReal(std::string_view text, double& out) {
    if (text.empty() || text.size() > 64) return false;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (errno != 0 || end != copy.c_str() + copy.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

bool ParseSwitch(std::string_view text, bool& out) {
    if (text == "on" || text == "1" || text == "yes" || text == "true") {
        out = true;
        return true;
    }
    if (text == "off" || text == "0" || text == "no" || text == "false") {
        out = false;
        return true;
    }
    return false;
}

double RealIn(std::string_view key, std::string_view value, double low, double high,
              bool lowOpen = false) {
    double number = 0.0;
    if (!ParseReal(value, number) || number > high || number < low || (lowOpen && number == low)) {
        Fail("option " + std::string(key) + " needs a number " + (lowOpen ? "above " : "from ") +
             std::to_string(low) + " to " + std::to_string(high) + ", not " + Quote(value));
    }
    return number;
}

std::uint64_t UnsignedIn(std::string_view what, std::string_view value, std::uint64_t low,
                         std::uint64_t high) {
    std::uint64_t number = 0;
    if (!ParseUnsigned(value, high, number) || number < low) {
        Fail(std::string(what) + " needs a whole number from " + std::to_string(low) + " to " +
             std::to_string(high) + ", not " + Quote(value));
    }
    return number;
}

bool IsDigits(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return !text.empty();
}

void CheckPrefix(std::string_view form, std::string_view prefix) {
    for (char c : prefix) {
        if (c == '\r' || c == '\n' || c == '\0' || c == ',')
            Fail("fault " + Quote(form) + ": a command prefix may not hold a comma, CR, LF or zero byte");
    }
}

void ApplyOption(ModemOptions& options, std::string_view key, std::string_view value) {
    bool flag = false;
    if (key == "chip") {
        if (value == "pv7710") options.chip = Chip::PV7710;
        else if (value == "rxa7300") options.chip = Chip::RXA7300;
        else Fail("option chip needs pv7710 or rxa7300, not " + Quote(value));
    } else if (key == "sim") {
        if (!ParseSwitch(value, flag)) Fail("option sim needs on or off, not " + Quote(value));
        options.simPresent = flag;
    } else if (key == "imsi") {
        if (!IsDigits(value) || (value.size() != 14 && value.size() != 15))
            Fail("option imsi needs 14 or 15 decimal digits, not " + Quote(value));
        options.imsi = std::string(value);
    } else if (key == "mnc") {
        if (value != "2" && value != "3") Fail("option mnc needs 2 or 3 (digits of the MNC), not " + Quote(value));
        options.mncLength = value == "2" ? 2 : 3;
    } else if (key == "shape") {
        if (value == "0" || value == "circle") options.shape = ReportShape::Circle;
        else if (value == "1" || value == "ellipse") options.shape = ReportShape::Ellipse;
        else if (value == "2" || value == "ellipsoid") options.shape = ReportShape::Ellipsoid;
        else if (value == "3" || value == "arc") options.shape = ReportShape::Arc;
        else Fail("option shape needs 0 to 3 (circle, ellipse, ellipsoid, arc), not " + Quote(value));
    } else if (key == "echo") {
        if (!ParseSwitch(value, flag)) Fail("option echo needs on or off, not " + Quote(value));
        options.echo = flag;
    } else if (key == "linefeed") {
        if (value == "ignore") options.lineFeed = LineFeed::Ignore;
        else if (value == "end") options.lineFeed = LineFeed::End;
        else Fail("option linefeed needs ignore or end, not " + Quote(value));
    } else if (key == "replay") {
        if (value.empty()) Fail("option replay needs the path of an NMEA capture");
        options.replayPath = std::string(value);
    } else if (key == "loop") {
        if (!ParseSwitch(value, flag)) Fail("option loop needs on or off, not " + Quote(value));
        options.replayLoop = flag;
    } else if (key == "nofix") {
        if (value == "skip") options.noFix = NoFixPolicy::Skip;
        else if (value == "error") options.noFix = NoFixPolicy::PositionError;
        else Fail("option nofix needs skip or error, not " + Quote(value));
    } else if (key == "fault") {
        if (value == "none") options.faults.clear();
        else options.faults.push_back(ParseFault(value));
    } else if (key == "record") {
        if (value.empty()) Fail("option record needs a file path");
        options.recordPath = std::string(value);
    } else if (key == "seed") {
        options.seed = UnsignedIn("option seed", value, 0, UINT64_MAX);
    } else if (key == "time-scale") {
        options.timeScale = RealIn(key, value, 0.0, 1.0, true);
    } else if (key == "start") {
        options.start = ParseStartTime(value);
    } else if (key == "ttff") {
        options.firstFixSeconds = RealIn(key, value, 0.0, 3600.0);
    } else if (key == "lat") {
        options.latitude = RealIn(key, value, -85.0, 85.0);
    } else if (key == "lon") {
        options.longitude = RealIn(key, value, -180.0, 180.0);
    } else if (key == "alt") {
        options.altitude = RealIn(key, value, -500.0, 9000.0);
    } else if (key == "speed") {
        options.speed = RealIn(key, value, 3.0, 60.0);
    } else if (key == "radius") {
        options.radius = RealIn(key, value, 50.0, 50000.0);
    } else if (key == "dtr") {
        if (value == "honour" || value == "honor") options.honourDtr = true;
        else if (value == "ignore") options.honourDtr = false;
        else Fail("option dtr needs honour or ignore, not " + Quote(value));
    } else if (key == "spectrum") {
        // A host files any other line as a spectrum line only when it cannot
        // take it for something else: an IMSI, an NMEA sentence, a report or
        // a final result.
        const bool reserved = value.size() == 14 || value.size() == 15 || value.substr(0, 1) == "$" ||
                              value.substr(0, 1) == "+" || value.substr(0, 2) == "OK" ||
                              value.substr(0, 5) == "ERROR";
        if (value.empty() || value.size() > 1000 || reserved ||
            value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            Fail("option spectrum needs one line of 1 to 1000 characters, not 14 or 15 long and not "
                 "beginning with $, +, OK or ERROR, not " + Quote(value));
        options.spectrumLine = std::string(value);
    } else {
        Fail("unknown modem option " + Quote(key) +
             " (known: chip, sim, imsi, mnc, shape, echo, linefeed, replay, loop, nofix, fault, "
             "record, seed, time-scale, start, ttff, lat, lon, alt, speed, radius, dtr, spectrum)");
    }
}

}  // namespace

double TimeScaleFromEnvironment() {
    const char* text = std::getenv("GNSS_TIME_SCALE");
    if (text == nullptr || *text == '\0') return 1.0;
    double value = 0.0;
    if (!ParseReal(text, value) || !(value > 0.0) || value > 1.0) return 1.0;
    return value;
}

ModemOptions DefaultModemOptions() {
    ModemOptions options;
    options.timeScale = TimeScaleFromEnvironment();
    return options;
}

ModemOptions ParseModemOptions(std::string_view text) {
    return ParseModemOptions(text, DefaultModemOptions());
}

ModemOptions ParseModemOptions(std::string_view text, const ModemOptions& base) {
    ModemOptions options = base;
    if (text.empty()) return options;
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = text.find(',', begin);
        const std::string_view item =
            text.substr(begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin);
        if (item.empty()) Fail("empty modem option in " + Quote(text) + " (two commas, or a comma at an end)");
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos || equals == 0)
            Fail("modem option " + Quote(item) + " is not of the form key=value");
        ApplyOption(options, item.substr(0, equals), item.substr(equals + 1));
        if (comma == std::string_view::npos) break;
        begin = comma + 1;
    }
    return options;
}

bool TryParseModemOptions(std::string_view text, ModemOptions& options, std::string& error) {
    try {
        options = ParseModemOptions(text, options);
        return true;
    } catch (const OptionError& e) {
        error = e.what();
        return false;
    }
}

Fault ParseFault(std::string_view form) {
    const std::size_t colon = form.find(':');
    const std::string_view kind = form.substr(0, colon);
    const bool hasArgument = colon != std::string_view::npos;
    const std::string_view argument = hasArgument ? form.substr(colon + 1) : std::string_view();
    Fault fault;
    const std::string what = "fault " + Quote(form);
    if (kind == "silent" || kind == "error") {
        fault.kind = kind == "silent" ? Fault::Kind::Silent : Fault::Kind::Error;
        if (hasArgument && argument.empty()) Fail(what + ": the command prefix after ':' is empty");
        CheckPrefix(form, argument);
        fault.prefix = std::string(argument);
    } else if (kind == "delay") {
        if (!hasArgument) Fail(what + ": delay needs milliseconds, as delay:MS or delay:MS:PREFIX");
        const std::size_t second = argument.find(':');
        fault.kind = Fault::Kind::Delay;
        fault.value = UnsignedIn(what + ": delay", argument.substr(0, second), 1, 600000);
        if (second != std::string_view::npos) {
            fault.prefix = std::string(argument.substr(second + 1));
            if (fault.prefix.empty()) Fail(what + ": the command prefix after ':' is empty");
            CheckPrefix(form, fault.prefix);
        }
    } else if (kind == "split") {
        if (!hasArgument) Fail(what + ": split needs a byte count, as split:N");
        fault.kind = Fault::Kind::Split;
        fault.value = UnsignedIn(what + ": split", argument, 1, 65536);
    } else if (kind == "single") {
        if (hasArgument) Fail(what + ": single takes no argument");
        fault.kind = Fault::Kind::Split;
        fault.value = 1;
    } else if (kind == "nul") {
        fault.kind = Fault::Kind::Nul;
        fault.value = hasArgument ? UnsignedIn(what + ": nul", argument, 0, 64) : 0;
    } else if (kind == "garbage") {
        fault.kind = Fault::Kind::Garbage;
        fault.text = hasArgument ? std::string(argument) : std::string("+XNOISE: 5a,line noise");
        if (fault.text.empty()) Fail(what + ": the garbage text after ':' is empty");
        for (char c : fault.text)
            if (c == '\r' || c == '\n' || c == '\0') Fail(what + ": the garbage text may not hold CR, LF or zero bytes");
    } else if (kind == "naverror") {
        fault.kind = Fault::Kind::NavError;
        fault.value = hasArgument ? UnsignedIn(what + ": naverror", argument, 1, 1000000) : 0;
    } else if (kind == "unplug") {
        fault.kind = Fault::Kind::Unplug;
        if (!hasArgument || argument == "now") {
            fault.when = Fault::When::Now;
        } else if (argument.substr(0, 6) == "after:") {
            fault.when = Fault::When::AfterCommands;
            fault.value = UnsignedIn(what + ": unplug:after", argument.substr(6), 0, 1000000);
        } else if (argument.substr(0, 3) == "on:") {
            fault.when = Fault::When::OnPrefix;
            fault.prefix = std::string(argument.substr(3));
            if (fault.prefix.empty()) Fail(what + ": unplug:on needs a command prefix");
            CheckPrefix(form, fault.prefix);
        } else {
            Fail(what + ": unplug takes now, after:N or on:PREFIX");
        }
    } else {
        Fail("unknown " + what +
             " (known: silent, error, delay, split, single, nul, garbage, naverror, unplug)");
    }
    return fault;
}

std::string Fault::ToString() const {
    const auto withPrefix = [this](std::string name) {
        return prefix.empty() ? name : name + ":" + prefix;
    };
    switch (kind) {
        case Kind::Silent: return withPrefix("silent");
        case Kind::Error: return withPrefix("error");
        case Kind::Delay: return withPrefix("delay:" + std::to_string(value));
        case Kind::Split: return "split:" + std::to_string(value);
        case Kind::Nul: return "nul:" + std::to_string(value);
        case Kind::Garbage: return "garbage:" + text;
        case Kind::NavError: return value == 0 ? "naverror" : "naverror:" + std::to_string(value);
        case Kind::Unplug:
            switch (when) {
                case When::Now: return "unplug:now";
                case When::AfterCommands: return "unplug:after:" + std::to_string(value);
                case When::OnPrefix: return "unplug:on:" + prefix;
            }
    }
    return "?";
}

std::int64_t ParseStartTime(std::string_view text) {
    if (text == "now") {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    std::string_view body = text;
    if (!body.empty() && body.back() == 'Z') body.remove_suffix(1);
    // YYYY-MM-DDTHH:MM:SS
    const auto bad = [&text]() {
        Fail("option start needs now or a UTC time YYYY-MM-DDTHH:MM:SS, not " + Quote(text));
    };
    if (body.size() != 19 || body[4] != '-' || body[7] != '-' || (body[10] != 'T' && body[10] != ' ') ||
        body[13] != ':' || body[16] != ':')
        bad();
    const auto number = [&](std::size_t at, std::size_t length) {
        std::uint64_t value = 0;
        if (!ParseUnsigned(body.substr(at, length), 9999, value)) bad();
        return static_cast<int>(value);
    };
    CivilTime time;
    time.year = number(0, 4);
    time.month = number(5, 2);
    time.day = number(8, 2);
    time.hour = number(11, 2);
    time.minute = number(14, 2);
    time.second = number(17, 2);
    if (time.year < 1980 || time.month < 1 || time.month > 12 || time.day < 1 || time.hour > 23 ||
        time.minute > 59 || time.second > 59)
        bad();
    const std::int64_t seconds = UnixFromCivil(time);
    const CivilTime back = CivilFromUnix(seconds);
    if (back.day != time.day || back.month != time.month) bad();  // 31 April and the like
    return seconds;
}

const char* OptionHelp() {
    return "Modem options (comma-separated key=value; a later key overrides an earlier one):\n"
           "  chip=pv7710|rxa7300   chip generation: the answer to AT+XLCSSWITCH? carries two\n"
           "                        fields (pv7710) or one (rxa7300); default pv7710\n"
           "  sim=on|off            SIM inserted; off: AT+CIMI and AT+CRSM answer ERROR; default on\n"
           "  imsi=DIGITS           the SIM's IMSI, 14 or 15 digits; default 001010123456789\n"
           "  mnc=2|3               length of the MNC stored on the SIM; default 2\n"
           "  shape=0|1|2|3         report shape: 0 circle, 1 ellipse, 2 ellipsoid with altitude,\n"
           "                        3 arc (names circle, ellipse, ellipsoid, arc too); default 2\n"
           "  echo=on|off           command echo after power-up; default on\n"
           "  linefeed=ignore|end   a line feed inside a command line: dropped (the command\n"
           "                        ends at its carriage return only) or the end of the\n"
           "                        command, as on modems that end a command at either;\n"
           "                        default ignore\n"
           "  replay=FILE           play the epochs of an NMEA capture instead of the synthetic route\n"
           "  loop=on|off           start the capture again at its end; default off (silence)\n"
           "  nofix=skip|error      epochs without a fix: no report, or the line\n"
           "                        \"+XLCSLSR: ERROR, -8\"; default skip\n"
           "  fault=FAULT           inject a fault (repeatable; fault=none clears the list)\n"
           "  record=FILE           append every byte the host writes to FILE\n"
           "  seed=N                seed of the synthetic route and sky; default 1\n"
           "  time-scale=F          multiply every interval and delay by F, 0 < F <= 1;\n"
           "                        default GNSS_TIME_SCALE from the environment, else 1\n"
           "  start=TIME            receiver time at creation, YYYY-MM-DDTHH:MM:SS (UTC) or now;\n"
           "                        also the date of a capture without dates; default now\n"
           "  ttff=SECONDS          time from a location request to its first report; default 1\n"
           "  lat=DEG,lon=DEG       centre of the synthetic route; default 47.3769, 8.5417\n"
           "  alt=M                 altitude of the route's centre; default 408\n"
           "  speed=M/S             mean speed on the route (varies by +-2.5); default 12.5\n"
           "  radius=M              mean radius of the route; default 600\n"
           "  dtr=honour|ignore     honour: with DTR low, commands are neither carried out nor\n"
           "                        answered and reporting stops; default honour\n"
           "  spectrum=TEXT         every spectrum scan answers the one line TEXT instead of the\n"
           "                        synthetic scan (not 14 or 15 characters long, not beginning\n"
           "                        with $, +, OK or ERROR); default the synthetic scan\n";
}

const char* FaultHelp() {
    return "Faults (PREFIX: commands beginning with it, case-insensitive; none: every command):\n"
           "  silent[:PREFIX]        no answer; the command is not carried out\n"
           "  error[:PREFIX]         ERROR instead of the answer; not carried out\n"
           "  delay:MS[:PREFIX]      answers go out MS milliseconds late (scaled)\n"
           "  split:N                reads return at most N bytes; single = split:1\n"
           "  nul[:N]                a zero byte and N junk bytes follow the data of every read\n"
           "  garbage[:TEXT]         a garbage line before every answer and report block\n"
           "  naverror[:N]           position errors instead of reports (the next N, or all)\n"
           "  unplug[:now]           the modem drops off the bus at once\n"
           "  unplug:after:N         ... when a command arrives after N more commands\n"
           "  unplug:on:PREFIX       ... when a command beginning with PREFIX arrives\n";
}

}  // namespace gnss::sim
