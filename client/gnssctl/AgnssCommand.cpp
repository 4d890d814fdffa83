// gnssctl agnss: time injection (IOCTL_GNSS_INJECT_AGNSS) and the clearing of
// the receiver's stored assistance data (driver command GNSS_ClearAgnssData).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "gnss/client/names.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"

namespace gnss::ctl {
namespace {

// Seconds from 1601-01-01 to 1970-01-01, and FILETIME ticks per second.
constexpr std::int64_t kEpochDifference = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

FILETIME ToFileTime(std::int64_t ticks) {
    FILETIME time{};
    time.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
    return time;
}

// "2024-03-05T07:08:09Z" or "2024-03-05T07:08:09" (UTC either way).
FILETIME ParseUtc(const std::string& text) {
    const auto bad = [&text]() {
        return UsageError("--inject-time needs a UTC time YYYY-MM-DDTHH:MM:SS[Z], not '" + text + "'");
    };
    std::string body = text;
    if (!body.empty() && body.back() == 'Z') body.pop_back();
    if (body.size() != 19 || body[4] != '-' || body[7] != '-' || body[10] != 'T' || body[13] != ':' ||
        body[16] != ':')
        throw bad();
    const auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) {
            if (body[i] < '0' || body[i] > '9') throw bad();
            value = value * 10 + (body[i] - '0');
        }
        return value;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59)
        throw bad();
    const std::int64_t seconds = DaysFromCivil(year, static_cast<unsigned>(month),
                                               static_cast<unsigned>(day)) * 86400 +
                                 hour * 3600 + minute * 60 + second;
    return ToFileTime((seconds + kEpochDifference) * kTicksPerSecond);
}

FILETIME Now() {
    const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return ToFileTime(kEpochDifference * kTicksPerSecond + since1970.count() / 100);
}

// An NTSTATUS: decimal, negative decimal or 0x hex.
NTSTATUS ParseStatus(const std::string& text) {
    if (!text.empty() && text[0] == '-') {
        const std::string digits = text.substr(1);
        const auto magnitude = digits.find_first_not_of("0123456789") == std::string::npos
                                   ? client::ParseU32(digits)
                                   : std::nullopt;
        if (!magnitude || *magnitude == 0 || *magnitude > 0x80000000u)
            throw UsageError("--status needs a 32-bit status value, not '" + text + "'");
        return static_cast<NTSTATUS>(0u - *magnitude);
    }
    return static_cast<NTSTATUS>(ParseNumber(text, "--status"));
}

struct ClearName {
    const char* name;
    std::uint32_t value;
};
constexpr ClearName kClearNames[] = {{"all", 0}, {"time", 1}, {"position", 2}, {"blob", 3}};

int InjectTime(Context& context, const std::optional<std::string>& timeText, NTSTATUS status) {
    const FILETIME time = timeText ? ParseUtc(*timeText) : Now();
    client::CheckedControl(context.Device(), IOCTL_GNSS_INJECT_AGNSS,
                           client::BuildAgnssTimeInjection(time, 0, status), 0, "time injection",
                           context.timeout());
    char statusText[16];
    std::snprintf(statusText, sizeof statusText, "0x%08X", static_cast<unsigned>(status));
    context.out() << "time injection " << (timeText ? *timeText : std::string("now")) << " (status "
                  << statusText << "): accepted\n";
    return kExitOk;
}

int Clear(Context& context, const std::string& what) {
    std::optional<std::uint32_t> value;
    for (const ClearName& n : kClearNames)
        if (what == n.name) value = n.value;
    if (!value) {
        const auto number = client::ParseU32(what);
        if (!number)
            throw UsageError("--clear takes all, time, position, blob or a number, not '" + what + "'");
        value = number;
    }
    const std::string label = "clear assistance data " + std::to_string(*value);
    std::vector<std::uint8_t> data(sizeof *value);
    std::memcpy(data.data(), &*value, sizeof *value);
    client::CheckedControl(context.Device(), IOCTL_GNSS_SEND_DRIVERCOMMAND,
                           client::BuildDriverCommand(GNSS_ClearAgnssData, data), 0, label.c_str(),
                           context.timeout());
    context.out() << label << ": accepted\n";
    return kExitOk;
}

int RunAgnss(Context& context, const std::vector<std::string>& args) {
    const Options o("agnss", args,
                    {{"--inject-time", KnownOption::Arg::Optional},
                     {"--clear", KnownOption::Arg::Optional},
                     {"--status", KnownOption::Arg::One}});
    o.AtMostWords(0);
    o.OneOf({"--inject-time", "--clear"});
    const bool inject = o.Has("--inject-time");
    std::optional<std::string> timeText = o.Value("--inject-time");
    if (timeText && timeText->empty()) timeText.reset();
    std::optional<std::string> clear = o.Value("--clear");
    if (clear && clear->empty()) clear = "all";
    std::optional<NTSTATUS> status;
    if (const auto text = o.Value("--status")) status = ParseStatus(*text);
    if (clear) {
        if (status) throw UsageError("agnss: --status goes with --inject-time");
        return Clear(context, *clear);
    }
    if (!inject) throw UsageError("agnss needs --inject-time [TIME] or --clear [WHAT]");
    return InjectTime(context, timeText, status.value_or(STATUS_SUCCESS));
}

constexpr CommandEntry kAgnss{
    "agnss", "agnss --inject-time [TIME]|--clear [WHAT]",
    "Inject the time, or clear the receiver's assistance data",
    "--inject-time [TIME]\n"
    "    Sends IOCTL_GNSS_INJECT_AGNSS with a time injection: UtcTime is TIME,\n"
    "    a UTC time YYYY-MM-DDTHH:MM:SS with or without a final Z, or now when\n"
    "    TIME is left out.  The driver sets the modem's clock (AT+CCLK) from it.\n"
    "--status N\n"
    "    The injection's InjectionStatus (decimal, negative decimal or 0x hex);\n"
    "    default 0.  With any other success value the driver sets the clock from\n"
    "    the computer's current time instead of TIME; with a failure value\n"
    "    (negative) it sets nothing, and the request still succeeds.\n"
    "--clear [WHAT]\n"
    "    Sends the driver command GNSS_ClearAgnssData: the receiver forgets\n"
    "    stored assistance data (AT+XLGNVRAM), pausing a running fix session\n"
    "    meanwhile.  WHAT is all (0, the default), time (1), position (2),\n"
    "    blob (3), or a number; the driver also takes 257 to 263 and refuses\n"
    "    any other value with STATUS_INTERNAL_ERROR.\n"
    "\n"
    "Examples:\n"
    "  gnssctl agnss --inject-time\n"
    "  gnssctl agnss --inject-time 2024-03-05T07:08:09Z\n"
    "  gnssctl agnss --inject-time 2024-03-05T07:08:09 --status 0x103\n"
    "  gnssctl agnss --clear\n"
    "  gnssctl agnss --clear blob\n"
    "  gnssctl agnss --clear 258\n",
    RunAgnss};

GNSSCTL_COMMAND(kAgnss);

}  // namespace
}  // namespace gnss::ctl
