// The sentence builder against sentences checked by hand, field by field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NmeaBuilder.h"
#include "NmeaFixes.h"

namespace gnss::feed::test {
namespace {

std::vector<std::string> Lines(const std::string& sentences) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < sentences.size();) {
        const std::size_t end = sentences.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(sentences.substr(at));  // a line without CRLF fails the caller
            break;
        }
        lines.push_back(sentences.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// The n-th field (0: the address) of the first sentence of `type`.
std::string Field(const std::string& sentences, const std::string& type, int n) {
    for (const std::string& line : Lines(sentences)) {
        if (line.compare(3, type.size(), type) != 0) continue;
        std::string body = line.substr(1, line.find('*') - 1);
        std::size_t at = 0;
        for (int i = 0; i < n; ++i) at = body.find(',', at) + 1;
        return body.substr(at, body.find(',', at) - at);
    }
    return "(no " + type + ")";
}

// GPS only, both SBAS and GPS satellites, every accuracy value known.
GNSS_FIXDATA NorthEast() {
    GNSS_FIXDATA fix =
        Fix(Utc(2024, 5, 17, 12, 34, 56, 7800000), {48.1173, 11.516666667, 545.4, 11.524, 84.4});
    SetAccuracy(fix, {.horizontal = 3, .major = 3, .minor = 2, .angle = 45, .altitude = 4,
                      .pdop = 2.5f, .hdop = 1.3f, .vdop = 2.1f});
    AddSatellite(fix, {4, true, 40, 83, 46});
    AddSatellite(fix, {5, true, 17, 308, 41});
    AddSatellite(fix, {12, false, 5, 210, 0});
    AddSatellite(fix, {33, false, 30, 190, 38});
    return fix;
}

TEST(NmeaBuilder, AGpsFixIsOneEpochOfGpSentences) {
    EXPECT_EQ(FixSentences(NorthEast()),
              "$GPGGA,123456.78,4807.038000,N,01131.000000,E,1,02,1.30,545.40,M,,,,*35\r\n"
              "$GPRMC,123456.78,A,4807.038000,N,01131.000000,E,22.40,84.40,170524,,,A,V*27\r\n"
              "$GPGSA,A,3,04,05,,,,,,,,,,,2.50,1.30,2.10,1*18\r\n"
              "$GPGSV,1,1,04,04,40,083,46,05,17,308,41,12,05,210,,33,30,190,38*7C\r\n"
              "$GPGST,123456.78,,3.00,2.00,45.0,2.55,2.55,4.00*75\r\n"
              "$GPZDA,123456.78,17,05,2024,00,00*69\r\n");
}

// Every constellation, a latitude 1e-7' short of 35 S, a time 4 ms before
// midnight on New Year's Eve, no altitude, speed or course, DOPs unknown,
// and a 95 % accuracy circle.
GNSS_FIXDATA SouthWestEverywhere() {
    GNSS_FIXDATA fix = Fix(Utc(2023, 12, 31, 23, 59, 59, 9960000),
                           {-34.99999999833, -70.6693, kUnknown, kUnknown, kUnknown});
    SetAccuracy(fix, {.horizontal = 10, .horizontalConfidence = 95, .pdop = kUnknownFloat,
                      .hdop = 0.0f, .vdop = kUnknownFloat});
    AddSatellite(fix, {7, true, 61, 359.6, 44.4});
    AddSatellite(fix, {65, true, 12, 45, 30});
    AddSatellite(fix, {81, false, 3, 300, 0});
    for (ULONG id : {301u, 305u, 311u, 320u, 336u}) AddSatellite(fix, {id, id != 320, 20, 100, 30});
    AddSatellite(fix, {401, true, 88, 0, 50});
    AddSatellite(fix, {463, false, 7, 181, 22});
    AddSatellite(fix, {193, true, 70, 160, 40});
    AddSatellite(fix, {202, false, 10, 170, 99.7});
    AddSatellite(fix, {250, true, 10, 10, 10});  // no constellation of ours
    AddSatellite(fix, {0, true, 10, 10, 10});
    return fix;
}

TEST(NmeaBuilder, AMultiConstellationFixSpeaksGnAndPagesEachSky) {
    EXPECT_EQ(FixSentences(SouthWestEverywhere()),
              "$GNGGA,000000.00,3500.000000,S,07040.158000,W,1,08,,,,,,,*62\r\n"
              "$GNRMC,000000.00,A,3500.000000,S,07040.158000,W,,,010124,,,A,V*3A\r\n"
              "$GPGSA,A,2,07,,,,,,,,,,,,,,,1*07\r\n"
              "$GLGSA,A,2,65,,,,,,,,,,,,,,,2*1C\r\n"
              "$GAGSA,A,2,01,05,11,36,,,,,,,,,,,,3*12\r\n"
              "$GBGSA,A,2,01,,,,,,,,,,,,,,,4*16\r\n"
              "$GQGSA,A,2,01,,,,,,,,,,,,,,,5*04\r\n"
              "$GPGSV,1,1,01,07,61,000,44*48\r\n"
              "$GLGSV,1,1,02,65,12,045,30,81,03,300,*6C\r\n"
              "$GAGSV,2,1,05,01,20,100,30,05,20,100,30,11,20,100,30,20,20,100,30*68\r\n"
              "$GAGSV,2,2,05,36,20,100,30*58\r\n"
              "$GBGSV,1,1,02,01,88,000,50,63,07,181,22*67\r\n"
              "$GQGSV,1,1,02,01,70,160,40,10,10,170,99*79\r\n"
              "$GNGST,000000.00,,4.09,4.09,0.0,4.09,4.09,*49\r\n"
              "$GNZDA,000000.00,01,01,2024,00,00*7C\r\n");
}

// No satellite or accuracy block: GP talks, nobody is counted, no GSV or
// GST is made up, and the GSA names no system.
TEST(NmeaBuilder, AFixWithoutSatellitesOrAccuracyLeavesThoseFieldsEmpty) {
    const GNSS_FIXDATA fix =
        Fix(Utc(2024, 2, 29, 6, 5, 4, 1234), {-33.8568, 151.2153, -0.001, 0.0, 359.999});
    EXPECT_EQ(FixSentences(fix),
              "$GPGGA,060504.00,3351.408000,S,15112.918000,E,1,,,0.00,M,,,,*35\r\n"
              "$GPRMC,060504.00,A,3351.408000,S,15112.918000,E,0.00,0.00,290224,,,A,V*3F\r\n"
              "$GPGSA,A,3,,,,,,,,,,,,,,,,*30\r\n"
              "$GPZDA,060504.00,29,02,2024,00,00*6C\r\n");
}

// The one place where 0 is unknown rather than a value: the driver leaves
// Altitude 0 for a report that carried none.
TEST(NmeaBuilder, AnAltitudeOfZeroCountsOnlyWithItsAccuracy) {
    GNSS_FIXDATA fix = Fix(Utc(2024, 1, 1, 0, 0, 0), {1.0, 1.0, 0.0});
    EXPECT_EQ(Field(FixSentences(fix), "GGA", 9), "");
    EXPECT_EQ(Field(FixSentences(fix), "GSA", 2), "2");
    SetAccuracy(fix, {.altitude = 5});
    EXPECT_EQ(Field(FixSentences(fix), "GGA", 9), "0.00");
    EXPECT_EQ(Field(FixSentences(fix), "GSA", 2), "3");
}

TEST(NmeaBuilder, CoordinatesRoundOnceAndCarryIntoTheDegrees) {
    struct Case {
        double latitude, longitude;
        const char* fields;  // GGA fields 2 to 5
    };
    const Case cases[] = {
        {0.0, 0.0, "0000.000000,N,00000.000000,E"},
        {-1e-12, -1e-12, "0000.000000,N,00000.000000,E"},  // no "S" or "W" of nothing
        {-0.5, -0.5, "0030.000000,S,00030.000000,W"},
        {59.99999999999, 179.99999999999, "6000.000000,N,18000.000000,E"},
        {12.9999999999, -9.999999999, "1300.000000,N,01000.000000,W"},
        {12.99999997, -9.99999997, "1259.999998,N,00959.999998,W"},
        {90.0, -180.0, "9000.000000,N,18000.000000,W"},
        {-89.123456789, 0.000000017, "8907.407407,S,00000.000001,E"},
    };
    for (const Case& c : cases) {
        const std::string gga =
            FixSentences(Fix(Utc(2024, 1, 1, 0, 0, 0), {c.latitude, c.longitude}));
        EXPECT_EQ(Field(gga, "GGA", 2) + "," + Field(gga, "GGA", 3) + "," + Field(gga, "GGA", 4) +
                      "," + Field(gga, "GGA", 5),
                  c.fields)
            << c.latitude << ", " << c.longitude;
    }
}

TEST(NmeaBuilder, FixesThatAreNoFixesGiveTheNoFixSentences) {
    EXPECT_EQ(NoFixSentences(),
              "$GPGGA,,,,,,0,,,,,,,,*66\r\n"
              "$GPRMC,,V,,,,,,,,,,N,V*29\r\n"
              "$GPGSA,A,1,,,,,,,,,,,,,,,,*32\r\n");

    GNSS_FIXDATA failed = NorthEast();
    failed.FixStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(FixSentences(failed), NoFixSentences());
    GNSS_FIXDATA noBasic = NorthEast();
    noBasic.FixLevelOfDetails = GNSS_FIXDETAIL_ACCURACY | GNSS_FIXDETAIL_SATELLITE;
    EXPECT_EQ(FixSentences(noBasic), NoFixSentences());
    for (double latitude : {kUnknown, 90.5}) {
        GNSS_FIXDATA nowhere = NorthEast();
        nowhere.BasicData.Latitude = latitude;
        EXPECT_EQ(FixSentences(nowhere), NoFixSentences()) << latitude;
    }
}

// A count past the array (the driver clamps, a damaged event may not) stops
// at the array; 64 GPS/SBAS satellites make sixteen pages.
TEST(NmeaBuilder, ASatelliteCountPastTheArrayStopsAtTheArray) {
    GNSS_FIXDATA fix = Fix(Utc(2024, 1, 1, 0, 0, 0), {1.0, 1.0});
    for (ULONG id = 1; id <= GNSS_MAXSATELLITE; ++id) AddSatellite(fix, {id, id <= 20, 45, 90, 40});
    fix.SatelliteData.SatelliteCount = 1000;
    const std::string sentences = FixSentences(fix);
    EXPECT_EQ(Field(sentences, "GGA", 7), "20");
    EXPECT_NE(sentences.find("$GPGSA,A,2,13,14,15,16,17,18,19,20,,,,,,,,1*"), std::string::npos);
    EXPECT_NE(sentences.find("$GPGSV,16,16,64,61,45,090,40,62,45,090,40,63,45,090,40,64,45,090,"
                             "40*"),
              std::string::npos);
    EXPECT_EQ(sentences.find("GPGSV,16,17"), std::string::npos);
}

TEST(NmeaBuilder, EverySentenceIsAWholeLineOfAtMost82Bytes) {
    // The textbook GGA and its published checksum.
    EXPECT_EQ(Checksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"), "47");
    EXPECT_EQ(Sentence("GPTXT,01"), "$GPTXT,01*" + Checksum("GPTXT,01") + "\r\n");

    GNSS_FIXDATA longest = Fix(Utc(2024, 12, 31, 23, 59, 59, 9940000),
                               {-89.9999999, -179.9999999, -12345.678, 514.0, 359.99});
    SetAccuracy(longest, {.major = 99999, .minor = 99998, .angle = 179, .altitude = 99999,
                          .pdop = 99.99f, .hdop = 99.99f, .vdop = 99.99f});
    for (ULONG id : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 65u})
        AddSatellite(longest, {id, true, -5, 359, 99});
    for (const GNSS_FIXDATA& fix : {longest, NorthEast(), SouthWestEverywhere()}) {
        for (const std::string& line : Lines(FixSentences(fix) + NoFixSentences())) {
            SCOPED_TRACE(line);
            EXPECT_LE(line.size() + 2, 82u);
            ASSERT_GE(line.size(), 4u);
            EXPECT_EQ(line[0], '$');
            EXPECT_EQ(line.substr(line.size() - 3, 1), "*");
            EXPECT_EQ(line.substr(line.size() - 2), Checksum(line.substr(1, line.size() - 4)));
            for (const char* bad : {"nan", "inf", ",-0.", "*\r"})
                EXPECT_EQ(line.find(bad), std::string::npos) << bad;
        }
    }
}

}  // namespace
}  // namespace gnss::feed::test
