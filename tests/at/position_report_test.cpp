#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "AtTestSupport.h"
#include "at/PositionReport.h"

using gnss::test::ReportLine;
using gnss::test::Stamp;

namespace {

std::vector<std::string> Fields(const char* text, const char* delimiters) {
    FieldTokenizer tokenizer(text, delimiters);
    std::vector<std::string> fields;
    while (const char* field = tokenizer.NextField()) fields.emplace_back(field);
    return fields;
}

struct Parsed {
    int result = -1;
    GNSS_FIXDATA fix{};
    ULONGLONG stamp() const { return gnss::FileTimeToU64(fix.FixTimeStamp); }
};

Parsed Parse(const std::string& line) {
    Parsed p;
    p.result = ParseXLCSLSR(line.c_str(), &p.fix);
    return p;
}

const ULONGLONG kReportTime = Stamp(2024, 3, 5, 7, 8, 9);

}  // namespace

TEST(FieldTokenizer, FieldRulesAndOwnCopies) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Fields("a,,b", ","), (V{"a", "", "b"}));
    EXPECT_EQ(Fields("a,b,", ","), (V{"a", "b"}));
    EXPECT_EQ(Fields(",,", ","), (V{"", ""}));
    EXPECT_EQ(Fields("", ","), V{});
    EXPECT_EQ(Fields(nullptr, ","), V{});
    EXPECT_EQ(Fields("a;b c", "; "), (V{"a", "b", "c"}));
    char text[] = "1,2", delimiters[] = ",";
    FieldTokenizer tokenizer(text, delimiters);
    std::strcpy(text, "9;9");
    delimiters[0] = ';';
    EXPECT_STREQ(tokenizer.NextField(), "1");
    EXPECT_STREQ(tokenizer.NextField(), "2");
    EXPECT_EQ(tokenizer.NextField(), nullptr);
}

TEST(ParseCoordinate, Hemispheres) {
    const struct {
        const char* field;
        double value;
        BOOL hemisphere;
    } cases[] = {{"47.3769 N", 47.3769, TRUE},
                 {"8.5417 W", -8.5417, TRUE},
                 {"12.5S", -12.5, TRUE},
                 {" 33.25 \tE", 33.25, TRUE},
                 {"12.5 X", 12.5, FALSE},
                 {"12.5 s", 12.5, FALSE},
                 {"", 0, FALSE}};
    for (const auto& c : cases) {
        double value = 99;
        EXPECT_EQ(ParseCoordinate(c.field, &value), c.hemisphere) << c.field;
        EXPECT_DOUBLE_EQ(value, c.value) << c.field;
    }
}

TEST(ParseXLCSLSR, LinesNotParsedLeaveTheRecordUntouched) {
    GNSS_FIXDATA fix;
    std::memset(&fix, 0xA5, sizeof fix);
    const GNSS_FIXDATA before = fix;
    EXPECT_EQ(ParseXLCSLSR("+XLCSLSR:", &fix), XLCSLSR_NO_SPACE);
    EXPECT_EQ(ParseXLCSLSR("+XLCSLSR:0,1.0N,2.0E,5", &fix), XLCSLSR_NO_SPACE);
    EXPECT_EQ(ParseXLCSLSR(nullptr, &fix), XLCSLSR_NO_SPACE);
    ReportLine report(0);
    report.Field(1) = "5";
    EXPECT_EQ(ParseXLCSLSR(report.Text().c_str(), &fix), XLCSLSR_UNKNOWN_SHAPE);
    EXPECT_EQ(std::memcmp(&fix, &before, sizeof fix), 0);
}

TEST(ParseXLCSLSR, EveryShapeFillsItsFields) {
    ReportLine circle(0);
    circle.Field(4) = "12.9";
    circle.Group(2, 5).Group(1, 71).Group(0).Group(1, 419);
    Parsed p = Parse(circle.Text());
    ASSERT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_EQ(p.stamp(), kReportTime);
    const GNSS_FIXDATA_BASIC& b = p.fix.BasicData;
    const GNSS_FIXDATA_ACCURACY& a = p.fix.AccuracyData;
    EXPECT_DOUBLE_EQ(b.Latitude, 47.3769);
    EXPECT_DOUBLE_EQ(b.Longitude, 8.5417);
    EXPECT_DOUBLE_EQ(b.Heading, 123.5);
    EXPECT_DOUBLE_EQ(b.Speed, 4.25);
    EXPECT_EQ(a.HorizontalAccuracy + a.HorizontalErrorMajorAxis + a.HorizontalErrorMinorAxis,
              36u);  // 12.9 -> 12
    EXPECT_EQ(a.SpeedAccuracy, 2u);
    EXPECT_FLOAT_EQ(a.PositionDilutionOfPrecision, 1.8f);
    EXPECT_FLOAT_EQ(a.HorizontalDilutionOfPrecision, 0.9f);
    EXPECT_FLOAT_EQ(a.VerticalDilutionOfPrecision, 1.5f);
    const GNSS_FIXDATA_SATELLITE& s = p.fix.SatelliteData;
    ASSERT_EQ(s.SatelliteCount, 4u);
    EXPECT_EQ(s.SatelliteArray[0].SatelliteId, 5u);
    EXPECT_EQ(s.SatelliteArray[0].UsedInPositiong, 1);
    EXPECT_DOUBLE_EQ(s.SatelliteArray[1].Elevation, 11);
    EXPECT_DOUBLE_EQ(s.SatelliteArray[1].Azimuth, 7);
    EXPECT_DOUBLE_EQ(s.SatelliteArray[1].SignalToNoiseRatio, 21);
    EXPECT_EQ(s.SatelliteArray[1].UsedInPositiong, 0);
    EXPECT_EQ(s.SatelliteArray[3].SatelliteId, 419u);
    EXPECT_EQ(p.fix.Size, 0u);  // fields the parser does not own stay

    ReportLine ellipse(1);
    ellipse.Field(2) = "12.5S";
    p = Parse(ellipse.Text());
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Latitude, -12.5);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalAccuracy, 30u);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMajorAxis, 30u);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMinorAxis, 10u);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Heading, 123.5);

    p = Parse(ReportLine(2).Text());
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Altitude, 408.5);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMinorAxis, 10u);
    EXPECT_EQ(p.fix.AccuracyData.AltitudeAccuracy, 17u);
    EXPECT_EQ(p.fix.AccuracyData.SpeedAccuracy, 2u);

    p = Parse(ReportLine(3).Text());
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMinorAxis, 25u);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Speed, 4.25);
    EXPECT_EQ(p.stamp(), kReportTime);
}

TEST(ParseXLCSLSR, EmptyFieldsStoreZeroAndBlanksAreHarmless) {
    ReportLine report(0);
    for (int field :
         {ReportLine::kHeading, ReportLine::kSpeed, ReportLine::kSpeedAccuracy, ReportLine::kHdop})
        report.Tail(field) = "";
    Parsed p = Parse(report.Text());
    ASSERT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Heading + p.fix.BasicData.Speed, 0.0);
    EXPECT_EQ(p.fix.AccuracyData.SpeedAccuracy, 0u);
    EXPECT_FLOAT_EQ(p.fix.AccuracyData.PositionDilutionOfPrecision, 1.8f);
    EXPECT_FLOAT_EQ(p.fix.AccuracyData.HorizontalDilutionOfPrecision, 0.0f);
    EXPECT_FLOAT_EQ(p.fix.AccuracyData.VerticalDilutionOfPrecision, 1.5f);

    ReportLine ellipsoid(2);
    ellipsoid.Group(3);
    const Parsed plain = Parse(ellipsoid.Text(",")), blanks = Parse(ellipsoid.Text(", "));
    EXPECT_EQ(blanks.fix.SatelliteData.SatelliteCount, 3u);
    EXPECT_EQ(blanks.stamp(), kReportTime);
    EXPECT_EQ(std::memcmp(&plain.fix, &blanks.fix, sizeof plain.fix), 0);
}

TEST(ParseXLCSLSR, DatesAndTimes) {
    const struct {
        const char* date;
        const char* time;
        ULONGLONG stamp;
    } cases[] = {
        {"2024/02/29", "23:59:59", Stamp(2024, 2, 29, 23, 59, 59)},
        {"24/3/5", "7:8:9", 0},  // two-digit year
        {"2023/2/29", "0:0:0", 0},
        {"2024/3/5", "24:0:0", 0},
        {"2024/3", "7:8:9", 0},
        {"67560/1/1", "0:0:0", 0},  // too large a year never wraps to a valid one
        {"2024/3/5", "-1:0:0", 0},
        {"2024/3/5", "7:8", Stamp(2024, 3, 5, 7, 8, 0)},  // as far as the pattern matches
    };
    for (const auto& c : cases) {
        ReportLine report(0);
        report.Tail(ReportLine::kDate) = c.date;
        report.Tail(ReportLine::kTime) = c.time;
        const Parsed p = Parse(report.Text());
        EXPECT_EQ(p.result, XLCSLSR_PARSED);
        EXPECT_EQ(p.stamp(), c.stamp) << c.date << " " << c.time;
    }
}

TEST(ParseXLCSLSR, ReportsCutShort) {
    for (int shape = 0; shape < 4; ++shape) {
        const ReportLine report(shape);
        const int needed = ReportLine::FieldsBeforeSatellites(shape);
        for (int count = 1; count < needed; ++count) {
            const Parsed p = Parse(report.FirstFields(count));
            EXPECT_EQ(p.result, XLCSLSR_TOO_SHORT) << shape << ": " << count;
            EXPECT_EQ(p.stamp(), 0u);
        }
        EXPECT_EQ(Parse(report.FirstFields(needed - 1) + ",").result, XLCSLSR_TOO_SHORT);
        const Parsed full = Parse(report.FirstFields(needed));  // no satellite section at all
        EXPECT_EQ(full.result, XLCSLSR_PARSED);
        EXPECT_EQ(full.fix.SatelliteData.SatelliteCount, 0u);
        EXPECT_EQ(full.stamp(), kReportTime);
    }
    EXPECT_DOUBLE_EQ(Parse(ReportLine(0).FirstFields(10)).fix.BasicData.Heading, 123.5);  // kept
}

TEST(ParseXLCSLSR, SatelliteSection) {
    gnss::test::LogCapture log;
    ReportLine many(0);
    many.Group(70).Group(3, 100);
    Parsed p = Parse(many.Text());
    EXPECT_EQ(p.fix.SatelliteData.SatelliteCount, 64u);
    EXPECT_EQ(p.fix.SatelliteData.SatelliteArray[63].SatelliteId, 64u);
    EXPECT_EQ(log.Text().find("WARNING"), std::string::npos);

    ReportLine cut(0);  // three records announced in the second group, one and a half present
    cut.Group(1).Raw({"3", "12", "300", "21", "0", "1", "1", "0", "17", "50", "60", "30", "1"});
    p = Parse(cut.Text());
    EXPECT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_EQ(p.fix.SatelliteData.SatelliteCount, 2u);
    EXPECT_DOUBLE_EQ(p.fix.SatelliteData.SatelliteArray[2].Elevation, 0.0);  // no half record
    EXPECT_EQ(p.stamp(), kReportTime);
    EXPECT_NE(log.Text().find("L3 [PARSER ] ParseXLCSLSR WARNING: Failed to parse satellite "
                              "information for Constel ID=1, SatelliteIndex=1\n"),
              std::string::npos);
}

TEST(ParseXLCSLSR, OutOfRangeNumbersSaturate) {
    ReportLine report(0);
    report.Field(4) = "1e300";
    report.Tail(ReportLine::kSpeedAccuracy) = "-3.7";
    report.Tail(ReportLine::kPdop) = "1e300";
    report.Raw({"99999999999"});  // a group count far beyond the records present
    const Parsed p = Parse(report.Text());
    EXPECT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalAccuracy, 0xFFFFFFFFu);
    EXPECT_EQ(p.fix.AccuracyData.SpeedAccuracy, static_cast<ULONG>(-3));
    EXPECT_TRUE(std::isinf(p.fix.AccuracyData.PositionDilutionOfPrecision));
    EXPECT_EQ(p.fix.SatelliteData.SatelliteCount, 0u);
    EXPECT_EQ(ReadInteger(" -99999999999x"), -2147483647 - 1);
}
