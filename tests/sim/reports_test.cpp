// Position reports, NMEA blocks and the synthetic receiver behind them.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>

#include "SimHost.h"
#include "gnss/sim/receiver.h"
#include "gnss/sim/report.h"

namespace gnss::sim::test {
namespace {

constexpr double kRad = std::numbers::pi / 180.0;

std::int64_t UnixOf(const ReportTime& t) {
    CivilTime c;
    c.year = t.year;
    c.month = t.month;
    c.day = t.day;
    c.hour = t.hour;
    c.minute = t.minute;
    c.second = t.second;
    return UnixFromCivil(c);
}

// Metres between two positions (short distances).
double Distance(double lat1, double lon1, double lat2, double lon2) {
    const double north = (lat2 - lat1) * kRad * 6371000.0;
    const double east = (lon2 - lon1) * kRad * 6371000.0 * std::cos(lat1 * kRad);
    return std::hypot(north, east);
}

void SwitchOn(Host& host) { ASSERT_EQ(host.Command("AT+XLCSSWITCH=1").back(), "OK"); }

TEST(SimReports, FieldCountFollowsTheShape) {
    // Fields before the satellite section, the shape included: 59 for the
    // circle, 3 more for the ellipse, 5 more with altitude, 4 more for the arc.
    const int kBefore[4] = {59, 62, 64, 63};
    for (int shape = 0; shape < 4; ++shape) {
        SCOPED_TRACE("shape " + std::to_string(shape));
        Modem modem(FastOptions("shape=" + std::to_string(shape)));
        Host host(modem);
        SwitchOn(host);
        ASSERT_EQ(host.Command("AT+XLCSLSR=1,1,,,,,,,,").front(), "+XLCSLSR: request id 1");
        const auto report = host.Report();
        ASSERT_TRUE(report);
        EXPECT_EQ(host.Line(), "OK");
        EXPECT_EQ(report->find("ERROR"), std::string::npos);
        EXPECT_EQ(report->find("failure"), std::string::npos);

        const auto fields = ReportFields(*report);
        EXPECT_EQ(fields[0], std::to_string(shape));
        for (const std::string& f : fields) EXPECT_FALSE(f.empty()) << *report;
        // The satellite section: four groups, each a count and eight fields per satellite.
        std::size_t at = static_cast<std::size_t>(kBefore[shape]);
        std::size_t satellites = 0;
        for (int group = 0; group < 4; ++group) {
            ASSERT_LT(at, fields.size());
            const std::size_t count = std::stoul(fields[at]);
            satellites += count;
            at += 1 + 8 * count;
        }
        EXPECT_EQ(at, fields.size()) << *report;
        EXPECT_GE(satellites, 8u);

        const ReportTime t = ReadReportTime(*report, kBefore[shape] - 55);
        EXPECT_EQ(t.year, 2024);
        EXPECT_EQ(t.month, 3);
        EXPECT_EQ(t.day, 5);
        EXPECT_TRUE(fields[1].ends_with(" N") || fields[1].ends_with(" S"));
        EXPECT_TRUE(fields[2].ends_with(" E") || fields[2].ends_with(" W"));
        EXPECT_NEAR(ReadCoordinate(fields[1]), 47.3769, 0.02);
        EXPECT_NEAR(ReadCoordinate(fields[2]), 8.5417, 0.03);
        EXPECT_EQ(ReportFieldsBeforeSatellites(static_cast<ReportShape>(shape)), kBefore[shape]);
    }
}

TEST(SimReports, PeriodicReportsFollowTheReceiverModelUntilStopped) {
    const ModemOptions options = FastOptions("seed=7,shape=2,chip=rxa7300");
    Modem modem(options);
    Host host(modem);
    SwitchOn(host);
    ASSERT_EQ(host.Command("AT+XLCSLSR=1,3,,,,,1,,,").front(), "+XLCSLSR: request id 1");

    const SyntheticReceiver receiver(options);
    std::int64_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        const auto report = host.Report();
        ASSERT_TRUE(report);
        const std::int64_t when = UnixOf(ReadReportTime(*report, 64 - 55));
        if (i > 0) {
            EXPECT_EQ(when, previous + 1);
        }
        previous = when;
        // The same epoch from a receiver of the same options, reported for
        // positioning mode 3.
        EXPECT_EQ(*report, FormatPositionReport(receiver.At(when).fix, ReportShape::Ellipsoid, 3));
    }

    host.Send("AT+XLSRSTOP=0,1\r\n");
    bool ok = false;
    while (auto line = host.Line()) {
        if (*line == "OK") ok = true;
        if (*line == "+XLSRSTOP: 0,1") break;
    }
    EXPECT_TRUE(ok);
    const ModemStatus s = modem.Status();
    EXPECT_FALSE(s.requestActive);
    EXPECT_EQ(s.stops, 1u);
    EXPECT_GE(s.reports, 3u);
}

TEST(SimReports, IntervalSpacesTheReports) {
    Modem modem(FastOptions("shape=0"));
    Host host(modem);
    SwitchOn(host);
    host.Command("AT+XLCSLSR=1,1,,,,,2,,,");
    const auto first = host.Report();
    const auto second = host.Report();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(UnixOf(ReadReportTime(*second, 4)) - UnixOf(ReadReportTime(*first, 4)), 2);
    EXPECT_EQ(modem.Status().requestInterval, 2u);

    // A new request replaces the running one; switching off ends it.
    EXPECT_EQ(host.Command("AT+XLCSLSR=1,1,,,,,5,,,").front(), "+XLCSLSR: request id 2");
    EXPECT_EQ(modem.Status().requestInterval, 5u);
    host.Command("AT+XLCSSWITCH=0");
    EXPECT_FALSE(modem.Status().requestActive);
}

TEST(SimReports, SingleFixWithNmeaBlock) {
    Modem modem(FastOptions("chip=pv7710"));
    Host host(modem);
    SwitchOn(host);
    ASSERT_EQ(modem.Write("AT+XLCSLSR=1,1,,,,,,,,2\r\n"), 25u);

    // Raw bytes up to the report's closing OK.
    std::string raw;
    std::uint8_t buffer[1024];
    while (raw.find("OK\r\n", raw.find("+XLCSLSR: 2")) == std::string::npos) {
        const ReadResult r = modem.Read(buffer, sizeof buffer, kPatience);
        ASSERT_EQ(r.status, ReadStatus::Data);
        raw.append(reinterpret_cast<const char*>(buffer), r.bytes);
    }
    const std::size_t nmeaBegin = raw.find('$');
    const std::size_t nmeaEnd = raw.find("OK\r\n", nmeaBegin);
    ASSERT_NE(nmeaBegin, std::string::npos);
    ASSERT_LT(nmeaEnd, raw.find("+XLCSLSR: 2"));
    const std::string block = raw.substr(nmeaBegin, nmeaEnd - nmeaBegin);
    // No empty line inside the block: the driver would take it for NMEA text.
    EXPECT_EQ(block.find("\r\n\r\n"), std::string::npos);
    EXPECT_EQ(raw.substr(nmeaEnd - 2, 2), "\r\n");

    std::vector<std::string> sentences;
    for (std::size_t at = 0; at < block.size();) {
        const std::size_t end = block.find("\r\n", at);
        sentences.push_back(block.substr(at, end - at));
        at = end + 2;
    }
    std::set<std::string> types;
    for (const std::string& s : sentences) {
        EXPECT_TRUE(IsValidNmeaSentence(s)) << s;
        EXPECT_LE(s.size(), 82u) << s;
        types.insert(s.substr(3, 3));
    }
    EXPECT_TRUE(types.count("GGA") && types.count("RMC") && types.count("GSA") && types.count("GSV"));

    const std::size_t reportBegin = raw.find("+XLCSLSR: 2");
    const std::string report = raw.substr(reportBegin, raw.find("\r\n", reportBegin) - reportBegin);
    const ReportTime t = ReadReportTime(report, 9);
    char hhmmss[16];
    std::snprintf(hhmmss, sizeof hhmmss, "%02u%02u%02u", t.hour, t.minute, t.second);
    EXPECT_EQ(sentences[0].substr(7, 6), hhmmss) << sentences[0];

    // The single fix has ended with its report.
    const ModemStatus s = modem.Status();
    EXPECT_FALSE(s.requestActive);
    EXPECT_EQ(s.reports, 1u);
    EXPECT_EQ(s.nmeaBlocks, 1u);
}

TEST(SimReports, SyntheticRouteIsPlausible) {
    const ModemOptions options = FastOptions("seed=3");
    const SyntheticReceiver receiver(options);
    const std::int64_t start = *options.start;
    Fix previous = receiver.At(start).fix;
    for (std::int64_t t = start + 1; t < start + 1200; ++t) {
        const Epoch epoch = receiver.At(t);
        const Fix& fix = epoch.fix;
        ASSERT_TRUE(fix.valid);
        EXPECT_GE(fix.speed, 9.99);
        EXPECT_LE(fix.speed, 15.01);
        // Displacement agrees with speed and heading.
        const double moved = Distance(previous.latitude, previous.longitude, fix.latitude, fix.longitude);
        EXPECT_NEAR(moved, (previous.speed + fix.speed) / 2, 3.0) << t;
        const double bearing =
            std::atan2((fix.longitude - previous.longitude) * std::cos(fix.latitude * kRad),
                       fix.latitude - previous.latitude) / kRad;
        const double turn = std::remainder(bearing - fix.heading, 360.0);
        EXPECT_LT(std::fabs(turn), 30.0) << t;
        EXPECT_NEAR(fix.altitude, options.altitude, 20.0);
        const double fromCentre = Distance(options.latitude, options.longitude, fix.latitude, fix.longitude);
        EXPECT_GT(fromCentre, 0.5 * options.radius);
        EXPECT_LT(fromCentre, 1.5 * options.radius);

        int used = 0;
        std::set<int> groups;
        for (const Satellite& s : fix.satellites) {
            EXPECT_GE(s.elevation, 5.0);
            EXPECT_LE(s.elevation, 90.0);
            EXPECT_GE(s.azimuth, 0.0);
            EXPECT_LT(s.azimuth, 360.0);
            EXPECT_GE(s.snr, 12.0);
            EXPECT_LE(s.snr, 52.0);
            used += s.used;
            groups.insert(static_cast<int>(s.constellation));
        }
        EXPECT_EQ(used, fix.satellitesUsed);
        EXPECT_GE(used, 4);
        EXPECT_LE(fix.satellites.size(), 64u);
        EXPECT_EQ(groups.size(), 4u);
        EXPECT_GT(fix.hdop, 0.3);
        EXPECT_LT(fix.hdop, 5.0);
        EXPECT_GE(fix.pdop, fix.hdop);
        EXPECT_GE(fix.semiMajor, fix.semiMinor);
        previous = fix;
    }

    // Same options, same epochs; another seed, another route.
    const SyntheticReceiver twin(options);
    const SyntheticReceiver other(FastOptions("seed=4"));
    const Epoch a = receiver.At(start + 500), b = twin.At(start + 500), c = other.At(start + 500);
    EXPECT_EQ(FormatPositionReport(a.fix, ReportShape::Arc, 1), FormatPositionReport(b.fix, ReportShape::Arc, 1));
    EXPECT_EQ(a.nmea, b.nmea);
    EXPECT_GT(Distance(a.fix.latitude, a.fix.longitude, c.fix.latitude, c.fix.longitude), 1.0);
}

}  // namespace
}  // namespace gnss::sim::test
