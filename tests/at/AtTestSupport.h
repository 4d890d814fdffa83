// Helpers of the AT protocol tests: position report lines as the modem sends
// them, fix times, and the log lines written during a test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Trace.h"
#include "gnss/platform/time.h"
#include "gnss/platform/trace.h"

namespace gnss::test {

// +XLCSLSR: <shape>,<head fields>,<55 tail fields>,<satellite section>
// Fields are numbered as in the report (the shape is field 1).  Text() checks
// the field count before the satellite section, so no report is one field off.
class ReportLine {
public:
    static constexpr int kHeadFields[4] = {3, 6, 8, 7};
    enum Tail {
        kDate = 1,
        kTime = 2,
        kHeading = 5,
        kSpeed = 6,
        kSpeedAccuracy = 8,
        kPdop = 14,
        kHdop = 15
    };
    static int FieldsBeforeSatellites(int shape) { return 1 + kHeadFields[shape] + 55; }

    explicit ReportLine(int shape) : shape_(shape) {
        static const std::vector<std::string> heads[4] = {
            {"12"},                    // radius
            {"30", "10", "45", "68"},  // semi-major, semi-minor, orientation, confidence
            {"408.5", "30", "10", "45", "17",
             "68"},                          // altitude, axes, orientation, alt. unc., confidence
            {"0", "25", "0", "360", "68"}};  // inner radius, radius, two angles, confidence
        fields_ = {std::to_string(shape), "47.376900 N", "8.541700 E"};
        fields_.insert(fields_.end(), heads[shape].begin(), heads[shape].end());
        fields_.insert(fields_.end(),
                       {"2024/3/5", "7:8:9", "250",  "1", "123.5", "4.25", "0.10",  "2",
                        "20",       "3",     "3",    "7", "1",     "1.80", "0.90",  "1.50",
                        "8.0",      "9.0",   "15.0", "1", "18",    "2304", "201000"});
        fields_.insert(fields_.end(), 32, "0");
    }

    std::string& Field(int n) { return fields_.at(static_cast<std::size_t>(n - 1)); }
    std::string& Tail(int n) { return Field(1 + kHeadFields[shape_] + n); }

    // A group of `count` satellites with ids first, first + 1, ...
    ReportLine& Group(int count, int first = 1) {
        sats_.push_back(std::to_string(count));
        for (int i = 0; i < count; ++i)
            sats_.insert(sats_.end(), {std::to_string(10 + i % 80), std::to_string(i * 7 % 360),
                                       std::to_string(20 + i % 30), i % 2 == 0 ? "1" : "0", "0",
                                       "1", "0", std::to_string(first + i)});
        return *this;
    }
    ReportLine& Raw(const std::vector<std::string>& fields) {
        sats_.insert(sats_.end(), fields.begin(), fields.end());
        return *this;
    }

    std::string Text(const std::string& separator = ",") const {
        EXPECT_EQ(static_cast<int>(fields_.size()), FieldsBeforeSatellites(shape_));
        std::vector<std::string> all = fields_;
        all.insert(all.end(), sats_.begin(), sats_.end());
        return Join(all, all.size(), separator);
    }
    std::string FirstFields(int count) const {
        return Join(fields_, static_cast<std::size_t>(count), ",");
    }

private:
    static std::string Join(const std::vector<std::string>& fields, std::size_t count,
                            const std::string& separator) {
        std::string line = "+XLCSLSR: ";
        for (std::size_t i = 0; i < count; ++i) line += (i > 0 ? separator : "") + fields[i];
        return line;
    }

    int shape_;
    std::vector<std::string> fields_, sats_;
};

inline ULONGLONG Stamp(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    const SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
    FILETIME ft{};
    EXPECT_TRUE(gnss::os::SystemTimeToFileTime(&st, &ft));
    return gnss::FileTimeToU64(ft);
}

// The log lines written while it lives (the in-flight recorder's content).
struct LogCapture {
    LogCapture() {
        gnss::trace::RegisterControl(GNSS_TRACE_CONTROL_GUID);
        gnss::trace::RecorderStart();
        gnss::trace::ClearRecorder();
    }
    ~LogCapture() { gnss::trace::RecorderStop(); }
    static std::string Text() { return gnss::trace::RecorderSnapshot(); }
};

}  // namespace gnss::test
