// Position report lines as the modem sends them, for the tests.
//
//     +XLCSLSR: <shape>,<head fields>,<55 tail fields>,<satellite section>
//
// The builder numbers the fields the way the report does (the shape is field
// 1) and checks that a line has exactly the fields its shape needs before
// the satellite section, so a test cannot build a report one field off.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace gnss::test {

// Head fields after the shape, per shape 0 to 3.
inline constexpr int kHeadFields[4] = {3, 6, 8, 7};
inline constexpr int kTailFields = 55;

inline int FieldsBeforeSatellites(int shape) { return 1 + kHeadFields[shape] + kTailFields; }

// Tail field numbers (1 to 55) of the values the driver reads.
enum TailField {
    kDate = 1,
    kTime = 2,
    kHeading = 5,
    kSpeed = 6,
    kSpeedAccuracy = 8,
    kPdop = 14,
    kHdop = 15,
    kVdop = 16,
};

using SatelliteRecord = std::array<std::string, 8>;

// elevation, azimuth, SNR, used, constellation, band, reserved, id
inline SatelliteRecord Satellite(int elevation, int azimuth, int snr, bool used, int constellation,
                                 int id) {
    return {std::to_string(elevation), std::to_string(azimuth), std::to_string(snr),
            used ? "1" : "0", std::to_string(constellation), "1", "0", std::to_string(id)};
}

class ReportLine {
public:
    explicit ReportLine(int shape) : shape_(shape) {
        fields_.push_back(std::to_string(shape));
        fields_.push_back("47.376900 N");
        fields_.push_back("8.541700 E");
        switch (shape) {
            case 0:
                fields_.insert(fields_.end(), {"12"});
                break;
            case 1:  // semi-major, semi-minor, orientation, confidence
                fields_.insert(fields_.end(), {"30", "10", "45", "68"});
                break;
            case 2:  // altitude, semi-major, semi-minor, orientation, altitude uncertainty, confidence
                fields_.insert(fields_.end(), {"408.5", "30", "10", "45", "17", "68"});
                break;
            default:  // inner radius, radius, offset angle, included angle, confidence
                fields_.insert(fields_.end(), {"0", "25", "0", "360", "68"});
                break;
        }
        const std::vector<std::string> tail = {
            "2024/3/5", "7:8:9", "250", "1", "123.5", "4.25", "0.10", "2", "20", "3", "3", "7",
            "1", "1.80", "0.90", "1.50", "8.0", "9.0", "15.0", "1", "18", "2304", "201000"};
        fields_.insert(fields_.end(), tail.begin(), tail.end());
        fields_.insert(fields_.end(), 32, "0");
    }

    int shape() const { return shape_; }

    // Field n of the report (the shape is field 1).
    std::string& Field(int n) { return fields_.at(static_cast<std::size_t>(n - 1)); }
    // Field n of the common tail (1 to 55).
    std::string& Tail(int n) { return Field(1 + kHeadFields[shape_] + n); }

    ReportLine& Group(const std::vector<SatelliteRecord>& records) {
        satellites_.push_back(std::to_string(records.size()));
        for (const SatelliteRecord& r : records) satellites_.insert(satellites_.end(), r.begin(), r.end());
        return *this;
    }
    // Raw satellite-section fields, for sections that do not add up.
    ReportLine& Raw(const std::vector<std::string>& fields) {
        satellites_.insert(satellites_.end(), fields.begin(), fields.end());
        return *this;
    }

    // The line without its line end; `separator` goes between the fields.
    std::string Text(const std::string& separator = ",") const {
        EXPECT_EQ(static_cast<int>(fields_.size()), FieldsBeforeSatellites(shape_));
        std::string line = "+XLCSLSR: ";
        bool first = true;
        for (const auto* part : {&fields_, &satellites_}) {
            for (const std::string& field : *part) {
                if (!first) line += separator;
                line += field;
                first = false;
            }
        }
        return line;
    }

    // The line cut after its first `count` fields.
    std::string FirstFields(int count) const {
        std::string line = "+XLCSLSR: ";
        for (int i = 0; i < count; ++i) {
            if (i > 0) line += ',';
            line += fields_.at(static_cast<std::size_t>(i));
        }
        return line;
    }

private:
    int shape_;
    std::vector<std::string> fields_;
    std::vector<std::string> satellites_;
};

}  // namespace gnss::test
