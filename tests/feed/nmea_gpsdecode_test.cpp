// Every sentence the builder makes, read back by a decoder that is not ours:
// gpsd's own NMEA parser, run as gpsdecode (package gpsd-clients, found at
// configure time).  What gpsd reports for an epoch has to be the fix the
// sentences were built from.
//
// Two habits of gpsd shape these tests.  It reports an epoch's position only
// once it has seen an epoch before (it learns where a cycle ends), so every
// fix goes in twice, one second apart, and the second copy is the one
// compared.  And it sends a SKY report after each constellation's GSV pages,
// so the last SKY of an epoch is the whole sky.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "NmeaBuilder.h"
#include "NmeaFixes.h"
#include "TempDir.h"

namespace gnss::feed::test {
namespace {

#ifdef GNSS_GPSDECODE
constexpr const char* kGpsdecode = GNSS_GPSDECODE;
#else
constexpr const char* kGpsdecode = nullptr;
#endif

using Json = nlohmann::json;

// A member of a report: its number (a value no report has when it is
// missing or not a number), its text, or a pointer to it (null when missing).
double Number(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<double>() : -1e300;
}
std::string Text(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}
const Json* Find(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() ? &*it : nullptr;
}

// gpsdecode's JSON reports (TPV, SKY, GST) for a stream of sentences.
std::vector<Json> Decode(const std::string& sentences) {
    gnss::test::TempDir dir;
    const std::string input = dir.File("epochs.nmea");
    std::ofstream(input, std::ios::binary) << sentences;
    const std::string command = std::string("'") + kGpsdecode + "' -j < '" + input + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return {};
    }
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0) << command;

    std::vector<Json> reports;
    for (std::size_t at = 0; at < output.size();) {
        std::size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        reports.push_back(Json::parse(line, nullptr, false));
        EXPECT_TRUE(reports.back().is_object()) << "gpsdecode printed: " << line;
    }
    return reports;
}

// A FILETIME as gpsd writes times: 2024-05-17T12:34:57.780Z.
std::string Iso(FILETIME time) {
    using namespace std::chrono;
    constexpr sys_days kFileTimeEpoch = year{1601} / January / 1;
    const std::uint64_t ms = gnss::FileTimeToU64(time) / 10000;
    const year_month_day date{kFileTimeEpoch + days(static_cast<long>(ms / 86400000))};
    const std::uint64_t ofDay = ms % 86400000;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u.%03uZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), unsigned(ofDay / 3600000),
                  unsigned(ofDay / 60000 % 60), unsigned(ofDay / 1000 % 60),
                  unsigned(ofDay % 1000));
    return text;
}

// The reports of one epoch, found by the epoch's time.
struct Epoch {
    const Json* tpv = nullptr;
    const Json* sky = nullptr;
    const Json* gst = nullptr;
};

std::map<std::string, Epoch> Epochs(const std::vector<Json>& reports) {
    std::map<std::string, Epoch> epochs;
    std::string current;
    for (const Json& report : reports) {
        const std::string kind = Text(report, "class");
        if (kind == "TPV" && report.contains("time")) {
            current = Text(report, "time");
            epochs[current].tpv = &report;
        } else if (kind == "SKY" && !current.empty()) {
            epochs[current].sky = &report;
        } else if (kind == "GST") {
            epochs[Text(report, "time")].gst = &report;
        }
    }
    return epochs;
}

// How gpsd names a satellite of the receiver's numbering: its system number
// (gnssid) and number within the system (svid).  Its PRN is the receiver's id
// in every system.
struct GpsdSatellite {
    int gnssid, svid;
};
GpsdSatellite ExpectedName(ULONG id) {
    if (id <= 32) return {0, int(id)};
    if (id <= 64) return {1, int(id) + 87};  // SBAS PRN 120-151
    if (id <= 96) return {6, int(id) - 64};
    if (id <= 202) return {5, int(id) - 192};
    if (id <= 336) return {2, int(id) - 300};
    return {3, int(id) - 400};
}

struct Gst {
    double major, minor, orient, lat, lon;
    std::optional<double> alt;
};

struct Case {
    const char* name;
    GNSS_FIXDATA fix;
    std::optional<Gst> gst;
};

// Start of the stream; the cases follow ten seconds apart.
FILETIME Start() { return Utc(2024, 5, 17, 12, 34, 56, 7800000); }

std::vector<Case> Cases() {
    std::vector<Case> cases;
    const auto at = [](std::size_t i) { return Later(Start(), static_cast<int>(10 * i)); };

    GNSS_FIXDATA gps = Fix(at(cases.size()), {48.1173, 11.516666667, 545.4, 11.524, 84.4});
    SetAccuracy(gps, {.major = 3, .minor = 2, .angle = 45, .altitude = 4, .pdop = 2.5f,
                      .hdop = 1.3f, .vdop = 2.1f});
    AddSatellite(gps, {4, true, 40, 83, 46});
    AddSatellite(gps, {5, true, 17, 308, 41});
    AddSatellite(gps, {12, false, 5, 210, 0});
    AddSatellite(gps, {46, true, 30, 190, 38});
    cases.push_back({"north-east, GPS and SBAS", gps, Gst{3, 2, 45, 2.55, 2.55, 4.0}});

    // Galileo ids stay below 33: gpsd 3.22 takes GA 33-36 for SBAS.  QZSS
    // sentences (GQ) are unknown to gpsd 3.22 and dropped; newer versions
    // read them, so QZSS satellites are checked when they are reported.
    GNSS_FIXDATA all = Fix(at(cases.size()), {-34.6037, -58.3816, 25.0, 3.5, 270.25});
    SetAccuracy(all, {.horizontal = 10, .pdop = 1.9f, .hdop = 0.9f, .vdop = 1.6f});
    AddSatellite(all, {14, true, 61, 359.6, 44.4});
    AddSatellite(all, {22, true, 35, 120, 39});
    AddSatellite(all, {30, false, 2, 10, 0});
    AddSatellite(all, {65, true, 12, 45, 30});
    AddSatellite(all, {88, false, 3, 300, 21});
    for (ULONG id : {301u, 305u, 311u, 320u, 332u}) AddSatellite(all, {id, id != 320, 20, 100, 30});
    AddSatellite(all, {401, true, 88, 0, 50});
    AddSatellite(all, {437, false, 7, 181, 22});
    AddSatellite(all, {193, true, 70, 160, 40});
    cases.push_back({"south-west, every constellation", all, Gst{10, 10, 0, 10, 10, {}}});

    GNSS_FIXDATA bare = Fix(at(cases.size()), {-33.8568, 151.2153, 58.2, 0.0, 0.0});
    cases.push_back({"south-east, no satellites or accuracy", bare, {}});

    GNSS_FIXDATA glonass = Fix(at(cases.size()), {55.755826789, 37.617299912, 156.0, 1.25, 12.5});
    for (ULONG id : {66u, 67u, 75u, 96u}) AddSatellite(glonass, {id, id != 96, 33, 222, 35});
    cases.push_back({"GLONASS only", glonass, {}});

    GNSS_FIXDATA galileo = Fix(at(cases.size()), {40.712776123, -74.005974987, 10.5, 30.0, 180.0});
    for (ULONG id : {302u, 307u, 313u, 324u, 326u})
        AddSatellite(galileo, {id, id != 326, 50, 90, 42});
    cases.push_back({"north-west, Galileo only", galileo, {}});

    GNSS_FIXDATA beidou = Fix(at(cases.size()), {39.9042, 116.4074, 44.0, 0.5, 359.99});
    for (ULONG id : {406u, 419u, 420u, 432u}) AddSatellite(beidou, {id, id != 432, 60, 270, 37});
    cases.push_back({"BeiDou only", beidou, {}});

    // 1e-10 degree short of whole degrees, both signs.
    GNSS_FIXDATA carry = Fix(at(cases.size()), {64.9999999999, -21.9999999999, 3.0, 2.0, 90.0});
    cases.push_back({"minutes that carry into the degrees", carry, {}});

    GNSS_FIXDATA flat = Fix(at(cases.size()), {-0.25, 0.75, kUnknown, 5.0, 45.0});
    cases.push_back({"no altitude", flat, {}});
    return cases;
}

void ExpectSky(const GNSS_FIXDATA& fix, const Json& sky) {
    const Json* reported = Find(sky, "satellites");
    ASSERT_NE(reported, nullptr);
    std::size_t matched = 0;
    for (ULONG i = 0; i < fix.SatelliteData.SatelliteCount; ++i) {
        const GNSS_SATELLITEINFO& sent = fix.SatelliteData.SatelliteArray[i];
        const GpsdSatellite name = ExpectedName(sent.SatelliteId);
        SCOPED_TRACE("satellite " + std::to_string(sent.SatelliteId));
        const Json* found = nullptr;
        for (const Json& s : *reported)
            if (Number(s, "gnssid") == name.gnssid && Number(s, "svid") == name.svid) found = &s;
        if (found == nullptr) {
            EXPECT_EQ(name.gnssid, 5) << "only QZSS may be missing";
            continue;
        }
        ++matched;
        EXPECT_EQ(Number(*found, "PRN"), sent.SatelliteId);
        EXPECT_NEAR(Number(*found, "el"), std::round(sent.Elevation), 1e-9);
        EXPECT_NEAR(Number(*found, "az"), std::fmod(std::round(sent.Azimuth), 360.0), 1e-9);
        EXPECT_NEAR(Number(*found, "ss"), std::round(sent.SignalToNoiseRatio), 1e-9);
        const Json* used = Find(*found, "used");
        ASSERT_NE(used, nullptr);
        EXPECT_EQ(used->is_boolean() && used->get<bool>(), sent.UsedInPositiong != 0);
    }
    EXPECT_EQ(reported->size(), matched) << "gpsd reports satellites that were not sent";
}

TEST(NmeaGpsdecode, GpsdReadsEveryFixBack) {
    if (kGpsdecode == nullptr)
        GTEST_SKIP() << "gpsdecode (gpsd-clients) was not found at configure time";
    const std::vector<Case> cases = Cases();
    std::string stream;
    for (const Case& c : cases) {
        GNSS_FIXDATA again = c.fix;
        again.FixTimeStamp = Later(c.fix.FixTimeStamp, 1);
        stream += FixSentences(c.fix) + FixSentences(again);
    }
    const std::vector<Json> reports = Decode(stream);
    const std::map<std::string, Epoch> epochs = Epochs(reports);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const GNSS_FIXDATA_BASIC& b = c.fix.BasicData;
        const auto e = epochs.find(Iso(Later(c.fix.FixTimeStamp, 1)));
        ASSERT_NE(e, epochs.end()) << "no TPV at " << Iso(Later(c.fix.FixTimeStamp, 1));
        ASSERT_NE(e->second.tpv, nullptr);
        const Json& tpv = *e->second.tpv;
        EXPECT_NEAR(Number(tpv, "lat"), b.Latitude, 1e-7);
        EXPECT_NEAR(Number(tpv, "lon"), b.Longitude, 1e-7);
        if (std::isfinite(b.Altitude)) {
            EXPECT_EQ(Number(tpv, "mode"), 3);
            EXPECT_NEAR(Number(tpv, "altMSL"), b.Altitude, 0.0051);
        } else {
            EXPECT_GE(Number(tpv, "mode"), 2);
            EXPECT_FALSE(tpv.contains("altMSL"));
        }
        // Knots to two decimals are within 0.0026 m/s; gpsd prints 3 decimals.
        EXPECT_NEAR(Number(tpv, "speed"), b.Speed, 0.0031);
        const double track = Number(tpv, "track");
        EXPECT_NEAR(std::remainder(track - b.Heading, 360.0), 0.0, 0.0051) << track;

        if (c.fix.FixLevelOfDetails & GNSS_FIXDETAIL_SATELLITE) {
            ASSERT_NE(e->second.sky, nullptr) << "no SKY";
            ExpectSky(c.fix, *e->second.sky);
        }
        if (c.gst) {
            ASSERT_NE(e->second.gst, nullptr) << "no GST";
            const Json& gst = *e->second.gst;
            EXPECT_NEAR(Number(gst, "major"), c.gst->major, 0.0051);
            EXPECT_NEAR(Number(gst, "minor"), c.gst->minor, 0.0051);
            EXPECT_NEAR(Number(gst, "orient"), c.gst->orient, 0.051);
            EXPECT_NEAR(Number(gst, "lat"), c.gst->lat, 0.0051);
            EXPECT_NEAR(Number(gst, "lon"), c.gst->lon, 0.0051);
            if (c.gst->alt)
                EXPECT_NEAR(Number(gst, "alt"), *c.gst->alt, 0.0051);
            else
                EXPECT_FALSE(gst.contains("alt"));
        }
    }
}

// After a fix, the no-fix sentences take the position away (mode 1, no
// coordinates), and the next fix brings it back.
TEST(NmeaGpsdecode, GpsdSeesTheFixGoAndComeBack) {
    if (kGpsdecode == nullptr)
        GTEST_SKIP() << "gpsdecode (gpsd-clients) was not found at configure time";
    const std::vector<Case> cases = Cases();
    GNSS_FIXDATA fix = cases.front().fix;
    std::string stream = FixSentences(fix);
    fix.FixTimeStamp = Later(fix.FixTimeStamp, 1);
    stream += FixSentences(fix);
    GNSS_FIXDATA failed = fix;
    failed.FixStatus = STATUS_UNSUCCESSFUL;
    stream += FixSentences(failed) + NoFixSentences();
    fix.FixTimeStamp = Later(fix.FixTimeStamp, 3);
    stream += FixSentences(fix);
    const std::vector<Json> reports = Decode(stream);

    std::vector<const Json*> tpvs;
    for (const Json& report : reports)
        if (Text(report, "class") == "TPV") tpvs.push_back(&report);
    ASSERT_GE(tpvs.size(), 3u);
    EXPECT_EQ(Number(*tpvs.front(), "mode"), 3);
    const Json& lost = *tpvs[tpvs.size() - 2];
    const Json& back = *tpvs.back();
    EXPECT_EQ(Number(lost, "mode"), 1);
    EXPECT_FALSE(lost.contains("lat"));
    EXPECT_FALSE(lost.contains("lon"));
    EXPECT_EQ(Number(back, "mode"), 3);
    EXPECT_EQ(Text(back, "time"), Iso(fix.FixTimeStamp));
    EXPECT_NEAR(Number(back, "lat"), fix.BasicData.Latitude, 1e-7);
}

}  // namespace
}  // namespace gnss::feed::test
