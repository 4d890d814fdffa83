#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ReportLine.h"
#include "Trace.h"
#include "at/PositionReport.h"
#include "gnss/platform/time.h"
#include "gnss/platform/trace.h"

using gnss::test::ReportLine;
using gnss::test::Satellite;
using gnss::test::SatelliteRecord;
namespace tail = gnss::test;

namespace {

std::vector<std::string> Fields(const char* text, const char* delimiters) {
    FieldTokenizer tokenizer(text, delimiters);
    std::vector<std::string> fields;
    while (const char* field = tokenizer.NextField()) fields.emplace_back(field);
    return fields;
}

ULONGLONG Stamp(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    FILETIME ft{};
    EXPECT_TRUE(gnss::os::SystemTimeToFileTime(&st, &ft));
    return gnss::FileTimeToU64(ft);
}

struct Parsed {
    int result = -1;
    GNSS_FIXDATA fix{};
};

Parsed Parse(const std::string& line) {
    Parsed p;
    p.result = ParseXLCSLSR(line.c_str(), &p.fix);
    return p;
}

// Captures the log lines written while it lives.
class LogCapture {
public:
    LogCapture() {
        gnss::trace::RegisterControl(GNSS_TRACE_CONTROL_GUID);
        gnss::trace::RecorderStart();
        gnss::trace::ClearRecorder();
    }
    ~LogCapture() {
        gnss::trace::RecorderStop();
        gnss::trace::UnregisterControl();
    }
    std::string Text() const { return gnss::trace::RecorderSnapshot(); }
};

std::vector<SatelliteRecord> Satellites(int count, int firstId) {
    std::vector<SatelliteRecord> records;
    for (int i = 0; i < count; ++i)
        records.push_back(Satellite(10 + i % 80, (i * 7) % 360, 20 + i % 30, i % 2 == 0, 0, firstId + i));
    return records;
}

}  // namespace

TEST(FieldTokenizer, FieldRules) {
    EXPECT_EQ(Fields("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(Fields("a,b,", ","), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Fields(",", ","), (std::vector<std::string>{""}));
    EXPECT_EQ(Fields(",,", ","), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(Fields("", ","), std::vector<std::string>{});
    EXPECT_EQ(Fields(nullptr, ","), std::vector<std::string>{});
    EXPECT_EQ(Fields("no delimiter", ","), (std::vector<std::string>{"no delimiter"}));
    EXPECT_EQ(Fields("a;b c", "; "), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(FieldTokenizer, HoldsItsOwnCopies) {
    char text[] = "1,2";
    char delimiters[] = ",";
    FieldTokenizer tokenizer(text, delimiters);
    std::strcpy(text, "9;9");
    delimiters[0] = ';';
    ASSERT_STREQ(tokenizer.NextField(), "1");
    ASSERT_STREQ(tokenizer.NextField(), "2");
    EXPECT_EQ(tokenizer.NextField(), nullptr);
    EXPECT_EQ(tokenizer.NextField(), nullptr);
    EXPECT_STREQ(text, "9;9");  // the caller's text is never written
}

TEST(ParseCoordinate, HemispheresAndBlanks) {
    double v = 99;
    EXPECT_TRUE(ParseCoordinate("47.3769 N", &v));
    EXPECT_DOUBLE_EQ(v, 47.3769);
    EXPECT_TRUE(ParseCoordinate("8.5417 W", &v));
    EXPECT_DOUBLE_EQ(v, -8.5417);
    EXPECT_TRUE(ParseCoordinate("12.5S", &v));
    EXPECT_DOUBLE_EQ(v, -12.5);
    EXPECT_TRUE(ParseCoordinate(" 33.25 \tE", &v));
    EXPECT_DOUBLE_EQ(v, 33.25);
    EXPECT_FALSE(ParseCoordinate("12.5 X", &v));
    EXPECT_DOUBLE_EQ(v, 12.5);
    EXPECT_FALSE(ParseCoordinate("12.5 s", &v));  // lower case is not a hemisphere
    EXPECT_DOUBLE_EQ(v, 12.5);
    EXPECT_FALSE(ParseCoordinate("", &v));
    EXPECT_DOUBLE_EQ(v, 0.0);
}

TEST(ParseXLCSLSR, LinesThatAreNotParsedLeaveTheRecordUntouched) {
    GNSS_FIXDATA fix;
    std::memset(&fix, 0xA5, sizeof fix);
    GNSS_FIXDATA before = fix;
    EXPECT_EQ(ParseXLCSLSR("+XLCSLSR:", &fix), XLCSLSR_NO_SPACE);
    EXPECT_EQ(ParseXLCSLSR("+XLCSLSR:0,1.0N,2.0E,5", &fix), XLCSLSR_NO_SPACE);
    EXPECT_EQ(ParseXLCSLSR(nullptr, &fix), XLCSLSR_NO_SPACE);
    EXPECT_EQ(ParseXLCSLSR("+XLCSLSR: 0", nullptr), XLCSLSR_NO_SPACE);
    ReportLine report(0);
    report.Field(1) = "5";
    EXPECT_EQ(ParseXLCSLSR(report.Text().c_str(), &fix), XLCSLSR_UNKNOWN_SHAPE);
    report.Field(1) = "-1";
    EXPECT_EQ(ParseXLCSLSR(report.Text().c_str(), &fix), XLCSLSR_UNKNOWN_SHAPE);
    EXPECT_EQ(std::memcmp(&fix, &before, sizeof fix), 0);
}

TEST(ParseXLCSLSR, CircleReportFillsEveryField) {
    ReportLine report(0);
    report.Field(4) = "12.9";
    report.Group({Satellite(45, 120, 38, true, 0, 5), Satellite(12, 300, 21, false, 0, 17)})
        .Group({Satellite(60, 10, 40, true, 1, 71)})
        .Group({})
        .Group({Satellite(33, 200, 30, true, 3, 419)});
    const Parsed p = Parse(report.Text());
    ASSERT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_EQ(gnss::FileTimeToU64(p.fix.FixTimeStamp), Stamp(2024, 3, 5, 7, 8, 9));
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Latitude, 47.3769);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Longitude, 8.5417);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Altitude, 0.0);  // only the ellipsoid carries one
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Heading, 123.5);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Speed, 4.25);
    const GNSS_FIXDATA_ACCURACY& a = p.fix.AccuracyData;
    EXPECT_EQ(a.HorizontalAccuracy, 12u);  // 12.9 truncated
    EXPECT_EQ(a.HorizontalErrorMajorAxis, 12u);
    EXPECT_EQ(a.HorizontalErrorMinorAxis, 12u);
    EXPECT_EQ(a.AltitudeAccuracy, 0u);
    EXPECT_EQ(a.SpeedAccuracy, 2u);
    EXPECT_FLOAT_EQ(a.PositionDilutionOfPrecision, 1.8f);
    EXPECT_FLOAT_EQ(a.HorizontalDilutionOfPrecision, 0.9f);
    EXPECT_FLOAT_EQ(a.VerticalDilutionOfPrecision, 1.5f);

    const GNSS_FIXDATA_SATELLITE& s = p.fix.SatelliteData;
    ASSERT_EQ(s.SatelliteCount, 4u);
    EXPECT_EQ(s.SatelliteArray[0].SatelliteId, 5u);
    EXPECT_EQ(s.SatelliteArray[0].UsedInPositiong, 1);
    EXPECT_DOUBLE_EQ(s.SatelliteArray[0].Elevation, 45);
    EXPECT_DOUBLE_EQ(s.SatelliteArray[0].Azimuth, 120);
    EXPECT_DOUBLE_EQ(s.SatelliteArray[0].SignalToNoiseRatio, 38);
    EXPECT_EQ(s.SatelliteArray[1].SatelliteId, 17u);
    EXPECT_EQ(s.SatelliteArray[1].UsedInPositiong, 0);
    EXPECT_EQ(s.SatelliteArray[2].SatelliteId, 71u);
    EXPECT_EQ(s.SatelliteArray[3].SatelliteId, 419u);
    EXPECT_DOUBLE_EQ(s.SatelliteArray[3].Azimuth, 200);
    EXPECT_EQ(s.SatelliteArray[4].SatelliteId, 0u);

    // Fields the parser does not own stay as the caller created them.
    EXPECT_EQ(p.fix.Size, 0u);
    EXPECT_EQ(p.fix.FixSessionID, 0u);
    EXPECT_EQ(p.fix.FixLevelOfDetails, 0u);
}

TEST(ParseXLCSLSR, ShapesPlaceTheirHeadFields) {
    ReportLine ellipse(1);
    ellipse.Field(2) = "12.5S";
    ellipse.Field(3) = "77.25 W";
    Parsed p = Parse(ellipse.Text());
    ASSERT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Latitude, -12.5);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Longitude, -77.25);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalAccuracy, 30u);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMajorAxis, 30u);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMinorAxis, 10u);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Heading, 123.5);  // the tail starts after the confidence
    EXPECT_EQ(gnss::FileTimeToU64(p.fix.FixTimeStamp), Stamp(2024, 3, 5, 7, 8, 9));

    ReportLine ellipsoid(2);
    p = Parse(ellipsoid.Text());
    ASSERT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Altitude, 408.5);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalAccuracy, 30u);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMinorAxis, 10u);
    EXPECT_EQ(p.fix.AccuracyData.AltitudeAccuracy, 17u);
    EXPECT_EQ(p.fix.AccuracyData.SpeedAccuracy, 2u);
    EXPECT_FLOAT_EQ(p.fix.AccuracyData.VerticalDilutionOfPrecision, 1.5f);

    ReportLine arc(3);
    p = Parse(arc.Text());
    ASSERT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalAccuracy, 25u);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMajorAxis, 25u);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalErrorMinorAxis, 25u);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Speed, 4.25);
    EXPECT_EQ(gnss::FileTimeToU64(p.fix.FixTimeStamp), Stamp(2024, 3, 5, 7, 8, 9));
}

TEST(ParseXLCSLSR, EmptyFieldsStoreZeroNeverANeighboursValue) {
    ReportLine report(0);
    report.Tail(tail::kHeading) = "";
    report.Tail(tail::kSpeed) = "";
    report.Tail(tail::kSpeedAccuracy) = "";
    report.Tail(tail::kHdop) = "";
    report.Field(4) = "";
    const Parsed p = Parse(report.Text());
    ASSERT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Heading, 0.0);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Speed, 0.0);
    EXPECT_EQ(p.fix.AccuracyData.SpeedAccuracy, 0u);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalAccuracy, 0u);
    EXPECT_FLOAT_EQ(p.fix.AccuracyData.PositionDilutionOfPrecision, 1.8f);
    EXPECT_FLOAT_EQ(p.fix.AccuracyData.HorizontalDilutionOfPrecision, 0.0f);
    EXPECT_FLOAT_EQ(p.fix.AccuracyData.VerticalDilutionOfPrecision, 1.5f);
    EXPECT_NE(gnss::FileTimeToU64(p.fix.FixTimeStamp), 0u);
}

TEST(ParseXLCSLSR, BlanksAfterCommasAreHarmless) {
    ReportLine report(2);
    report.Group({Satellite(45, 120, 38, true, 0, 5)});
    const Parsed plain = Parse(report.Text(","));
    const Parsed blanks = Parse(report.Text(", "));
    ASSERT_EQ(plain.result, XLCSLSR_PARSED);
    ASSERT_EQ(blanks.result, XLCSLSR_PARSED);
    EXPECT_EQ(std::memcmp(&plain.fix, &blanks.fix, sizeof plain.fix), 0);
    EXPECT_EQ(blanks.fix.SatelliteData.SatelliteCount, 1u);
    EXPECT_NE(gnss::FileTimeToU64(blanks.fix.FixTimeStamp), 0u);
}

TEST(ParseXLCSLSR, DatesAndTimes) {
    struct Case {
        const char* date;
        const char* time;
        ULONGLONG expected;
    };
    const Case cases[] = {
        {"2024/3/5", "7:8:9", Stamp(2024, 3, 5, 7, 8, 9)},
        {"2024/02/29", "23:59:59", Stamp(2024, 2, 29, 23, 59, 59)},
        {"24/3/5", "7:8:9", 0},           // two-digit year
        {"2023/2/29", "0:0:0", 0},        // no such day
        {"2024/3/5", "24:0:0", 0},        // no such hour
        {"2024/13/1", "0:0:0", 0},        // no such month
        {"2024/3", "7:8:9", 0},           // day missing
        {"", "7:8:9", 0},                 // empty date
        {"2024/3/5", "", Stamp(2024, 3, 5, 0, 0, 0)},     // an unreadable time reads as midnight
        {"2024/3/5", "7:8", Stamp(2024, 3, 5, 7, 8, 0)},  // as far as the pattern matches
        {"67560/1/1", "0:0:0", 0},        // too large a year never wraps to a valid one
        {"2024/-3/5", "0:0:0", 0},
        {"2024/3/5", "-1:0:0", 0},
    };
    for (const Case& c : cases) {
        ReportLine report(0);
        report.Tail(tail::kDate) = c.date;
        report.Tail(tail::kTime) = c.time;
        const Parsed p = Parse(report.Text());
        EXPECT_EQ(p.result, XLCSLSR_PARSED) << c.date << " " << c.time;
        EXPECT_EQ(gnss::FileTimeToU64(p.fix.FixTimeStamp), c.expected) << c.date << " " << c.time;
    }
}

TEST(ParseXLCSLSR, ReportsCutShort) {
    // Every cut before the end of the fields that must be present gives 2 and
    // no time stamp; the cut right after them is a complete report.
    for (int shape = 0; shape < 4; ++shape) {
        ReportLine report(shape);
        const int needed = gnss::test::FieldsBeforeSatellites(shape);
        for (int count = 1; count < needed; ++count) {
            const Parsed p = Parse(report.FirstFields(count));
            EXPECT_EQ(p.result, XLCSLSR_TOO_SHORT) << "shape " << shape << ", " << count << " fields";
            EXPECT_EQ(gnss::FileTimeToU64(p.fix.FixTimeStamp), 0u);
        }
        const Parsed full = Parse(report.FirstFields(needed));
        EXPECT_EQ(full.result, XLCSLSR_PARSED) << "shape " << shape;
        EXPECT_EQ(full.fix.SatelliteData.SatelliteCount, 0u);
        EXPECT_EQ(gnss::FileTimeToU64(full.fix.FixTimeStamp), Stamp(2024, 3, 5, 7, 8, 9));
    }
    // Values read before the cut stay.
    ReportLine report(0);
    const Parsed p = Parse(report.FirstFields(10));
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Latitude, 47.3769);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalAccuracy, 12u);
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Heading, 123.5);
    // A trailing comma adds no empty field.
    EXPECT_EQ(Parse(report.FirstFields(58) + ",").result, XLCSLSR_TOO_SHORT);
    EXPECT_EQ(Parse(report.FirstFields(59) + ",").result, XLCSLSR_PARSED);
    EXPECT_EQ(Parse("+XLCSLSR: ").result, XLCSLSR_TOO_SHORT);
}

TEST(ParseXLCSLSR, AtMost64SatellitesAreStored) {
    LogCapture log;
    ReportLine report(0);
    report.Group(Satellites(70, 1)).Group(Satellites(3, 100));
    const Parsed p = Parse(report.Text());
    ASSERT_EQ(p.result, XLCSLSR_PARSED);
    ASSERT_EQ(p.fix.SatelliteData.SatelliteCount, 64u);
    EXPECT_EQ(p.fix.SatelliteData.SatelliteArray[0].SatelliteId, 1u);
    EXPECT_EQ(p.fix.SatelliteData.SatelliteArray[63].SatelliteId, 64u);
    EXPECT_EQ(log.Text().find("WARNING"), std::string::npos);
    EXPECT_NE(gnss::FileTimeToU64(p.fix.FixTimeStamp), 0u);
}

TEST(ParseXLCSLSR, SatelliteSectionCutShort) {
    {
        // Three records announced, two and a half present.
        LogCapture log;
        ReportLine report(0);
        report.Raw({"3"});
        for (const SatelliteRecord& r : Satellites(2, 1)) report.Raw({r.begin(), r.end()});
        report.Raw({"50", "60", "30", "1"});
        const Parsed p = Parse(report.Text());
        EXPECT_EQ(p.result, XLCSLSR_PARSED);
        EXPECT_EQ(p.fix.SatelliteData.SatelliteCount, 2u);
        EXPECT_DOUBLE_EQ(p.fix.SatelliteData.SatelliteArray[2].Elevation, 0.0);  // no half record
        EXPECT_NE(gnss::FileTimeToU64(p.fix.FixTimeStamp), 0u);
        EXPECT_NE(log.Text().find("L3 [PARSER ] ParseXLCSLSR WARNING: Failed to parse satellite "
                                  "information for Constel ID=0, SatelliteIndex=2\n"),
                  std::string::npos);
    }
    {
        // The second group runs out; the section ends there.
        LogCapture log;
        ReportLine report(0);
        const SatelliteRecord last = Satellites(1, 40)[0];
        report.Group(Satellites(2, 1)).Raw({"2"}).Raw({last.begin(), last.end()});
        const Parsed p = Parse(report.Text());
        EXPECT_EQ(p.fix.SatelliteData.SatelliteCount, 3u);
        EXPECT_NE(log.Text().find("Constel ID=1, SatelliteIndex=1\n"), std::string::npos);
    }
    {
        // Groups missing at the end are no error.
        LogCapture log;
        ReportLine report(0);
        report.Group(Satellites(2, 1));
        const Parsed p = Parse(report.Text());
        EXPECT_EQ(p.fix.SatelliteData.SatelliteCount, 2u);
        EXPECT_EQ(log.Text().find("WARNING"), std::string::npos);
    }
}

TEST(ParseXLCSLSR, UnreadableNumbersReadAsZeroOrSaturate) {
    ReportLine report(0);
    report.Field(4) = "1e300";
    report.Tail(tail::kSpeedAccuracy) = "-3.7";
    report.Tail(tail::kHeading) = "abc";
    report.Tail(tail::kPdop) = "1e300";
    report.Raw({"99999999999999999999"});
    const Parsed p = Parse(report.Text());
    EXPECT_EQ(p.result, XLCSLSR_PARSED);
    EXPECT_EQ(p.fix.AccuracyData.HorizontalAccuracy, 0xFFFFFFFFu);
    EXPECT_EQ(p.fix.AccuracyData.SpeedAccuracy, static_cast<ULONG>(-3));
    EXPECT_DOUBLE_EQ(p.fix.BasicData.Heading, 0.0);
    EXPECT_TRUE(std::isinf(p.fix.AccuracyData.PositionDilutionOfPrecision));
    EXPECT_EQ(p.fix.SatelliteData.SatelliteCount, 0u);
}
