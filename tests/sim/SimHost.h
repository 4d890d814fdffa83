// A minimal host for the simulated modem in tests: writes command lines and
// cuts what the modem sends into lines the way the driver does (at line
// feeds, carriage returns before them removed, empty lines skipped).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gnss/sim/modem.h"

namespace gnss::sim::test {

using namespace std::chrono_literals;

// Long enough for any answer on a loaded machine; tests never wait it out
// unless they fail.
inline constexpr std::chrono::milliseconds kPatience = 20s;

// Options for a fast, deterministic modem: no echo, a fixed start time.
inline ModemOptions FastOptions(std::string_view extra = {}) {
    ModemOptions base = DefaultModemOptions();
    base = ParseModemOptions("echo=off,time-scale=0.01,ttff=0,start=2024-03-05T07:08:09", base);
    return ParseModemOptions(extra, base);
}

// Everything the modem has ready now (answers are queued by the write that
// asked for them, so this is exact right after a write without delays).
inline std::string Drain(Modem& modem) {
    std::string out;
    std::uint8_t buffer[1024];
    while (true) {
        const ReadResult r = modem.Read(buffer, sizeof buffer, 0ms);
        if (r.status != ReadStatus::Data) return out;
        out.append(reinterpret_cast<const char*>(buffer), r.bytes);
    }
}

inline std::vector<std::string> SplitFields(std::string_view text) {
    std::vector<std::string> fields;
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = text.find(',', begin);
        fields.emplace_back(text.substr(begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin));
        if (comma == std::string_view::npos) return fields;
        begin = comma + 1;
    }
}

class Host {
public:
    explicit Host(Modem& modem) : modem_(modem) {}

    void Send(std::string_view bytes) { EXPECT_EQ(modem_.Write(bytes), bytes.size()) << "write of " << bytes; }

    // The next non-empty line, or nothing when the modem stays silent for
    // `timeout` or goes away.
    std::optional<std::string> Line(std::chrono::milliseconds timeout = kPatience) {
        while (lines_.empty()) {
            if (!Fill(timeout)) return std::nullopt;
        }
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        // Follow the unsolicited blocks as the driver does: a report or an
        // NMEA line opens one, the next OK closes it.
        closedBlock_ = false;
        if (IsUnsolicited(line)) {
            blockOpen_ = line != "+XLCSLSR: ERROR, -8";
        } else if (line == "OK" && blockOpen_) {
            blockOpen_ = false;
            closedBlock_ = true;
        }
        return line;
    }

    // Sends "<command>\r\n" and returns the lines up to the final OK or
    // ERROR, leaving out report and NMEA blocks that come in between.
    std::vector<std::string> Command(std::string_view command) {
        Send(std::string(command) + "\r\n");
        std::vector<std::string> lines;
        while (auto line = Line()) {
            if (IsUnsolicited(*line) || closedBlock_) continue;
            lines.push_back(*line);
            if (*line == "OK" || *line == "ERROR") return lines;
        }
        ADD_FAILURE() << "no final result for " << command;
        return lines;
    }

    // The lines of the next position report ("+XLCSLSR: <shape>,..."),
    // skipping anything else; nothing when none comes.
    std::optional<std::string> Report(std::chrono::milliseconds timeout = kPatience) {
        while (auto line = Line(timeout)) {
            if (line->rfind("+XLCSLSR: ", 0) == 0 && line->rfind("+XLCSLSR: request id", 0) != 0 &&
                line->find("ERROR") == std::string::npos)
                return line;
        }
        return std::nullopt;
    }

    std::size_t Reads() const { return reads_; }

    static bool IsUnsolicited(const std::string& line) {
        return line[0] == '$' ||
               (line.rfind("+XLCSLSR: ", 0) == 0 && line.rfind("+XLCSLSR: request id", 0) != 0);
    }

private:
    bool Fill(std::chrono::milliseconds timeout) {
        std::uint8_t buffer[1024];
        const ReadResult r = modem_.Read(buffer, sizeof buffer, timeout);
        if (r.status != ReadStatus::Data) return false;
        ++reads_;
        // The driver hands on the bytes up to the first zero byte.
        std::size_t n = 0;
        while (n < r.bytes && buffer[n] != 0) ++n;
        pending_.append(reinterpret_cast<const char*>(buffer), n);
        std::size_t lf;
        while ((lf = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            while (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) lines_.push_back(std::move(line));
        }
        return true;
    }

    Modem& modem_;
    std::string pending_;
    std::deque<std::string> lines_;
    std::size_t reads_ = 0;
    bool blockOpen_ = false, closedBlock_ = false;
};

// The fields of a report after "+XLCSLSR: " (the shape is field 0 here).
inline std::vector<std::string> ReportFields(const std::string& report) {
    return SplitFields(std::string_view(report).substr(report.find(' ') + 1));
}

struct ReportTime {
    unsigned short year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Date and time read the way the driver reads them.
inline ReportTime ReadReportTime(const std::string& report, int fieldsBeforeTail) {
    const auto fields = ReportFields(report);
    ReportTime t;
    EXPECT_EQ(std::sscanf(fields.at(fieldsBeforeTail).c_str(), "%hu/%hu/%hu", &t.year, &t.month, &t.day), 3);
    EXPECT_EQ(std::sscanf(fields.at(fieldsBeforeTail + 1).c_str(), "%hu:%hu:%hu", &t.hour, &t.minute, &t.second), 3);
    return t;
}

// A coordinate read the way the driver reads it: the number, then an
// optional hemisphere letter.
inline double ReadCoordinate(const std::string& field) {
    char* end = nullptr;
    double value = std::strtod(field.c_str(), &end);
    while (*end == ' ') ++end;
    if (*end == 'S' || *end == 'W') value = -value;
    return value;
}

}  // namespace gnss::sim::test
