#include "gnss/client/host_status.h"

#include <charconv>

#include "gnss/client/error.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::client {
namespace {

// The status answer is a few hundred bytes (two paths at most); a longer one
// is asked for again with the length gnssd gave.
constexpr std::size_t kFirstAnswerLength = 4096;

// The first word of `rest`, which loses it and the blank after it.
std::string_view Word(std::string_view& rest) {
    const std::size_t end = rest.find(' ');
    const std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return word;
}

template <class T>
std::optional<T> Number(std::string_view word) {
    T value{};
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
    return value;
}

// "on"/"off", "present"/"missing"; empty for anything else.
std::optional<bool> Switch(std::string_view word, const char* yes, const char* no) {
    if (word == yes) return true;
    if (word == no) return false;
    return std::nullopt;
}

}  // namespace

std::string HostStatus::NmeaLogFolder() const {
    if (!nmeaLogPath) return {};
    const std::size_t slash = nmeaLogPath->rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : nmeaLogPath->substr(0, slash);
}

HostStatus DecodeHostStatus(std::string_view text) {
    HostStatus s;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view rest = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        const std::string_view key = Word(rest);
        if (key == "connections") {
            s.connections = Number<unsigned>(rest);
        } else if (key == "session") {
            const auto id = Number<std::uint32_t>(Word(rest));
            const std::string_view kind = Word(rest);
            const auto interval = Number<std::uint32_t>(rest);
            if (id && interval && (kind == "continuous" || kind == "single-shot"))
                s.sessions.push_back({*id, kind == "continuous", *interval});
        } else if (key == "nmea-wanted") {
            s.nmeaWanted = Number<unsigned>(rest);
        } else if (key == "nmea-lost") {
            s.nmeaLost = Number<std::uint64_t>(rest);
        } else if (key == "lkg") {
            s.lkg = Number<std::uint32_t>(rest).value_or(0);
        } else if (key == "location") {
            s.location = Switch(rest, "on", "off");
        } else if (key == "test-mode") {
            s.testMode = Switch(rest, "on", "off");
        } else if (key == "nmea-log") {
            s.nmeaLog = Switch(rest, "on", "off");
        } else if (key == "nmea-log-path") {
            s.nmeaLogPath = std::string(rest);
        } else if (key == "nmea-log-file") {
            s.nmeaLogFile = Switch(rest, "present", "missing");
        } else if (key == "nmea-log-folder") {
            s.nmeaLogFolder = Switch(rest, "present", "missing");
        } else if (key == "modem") {
            const std::string_view state = Word(rest);
            s.modemAttached = Switch(state, "attached", "waiting");
            if (state == "waiting") s.modemWaitsFor = std::string(rest);
        }
    }
    return s;
}

HostStatus QueryHostStatus(Device& device, std::chrono::milliseconds timeout) {
    Completion c = device.HostQuery(frame::kHostQueryStatus, kFirstAnswerLength, timeout);
    if (c.status == STATUS_BUFFER_TOO_SMALL && c.information <= frame::kMaxOutputLength)
        c = device.HostQuery(frame::kHostQueryStatus, c.information, timeout);
    if (!c.ok()) throw StatusError(c.status, "gnssd's status query");
    return DecodeHostStatus({reinterpret_cast<const char*>(c.output.data()), c.output.size()});
}

}  // namespace gnss::client
