// The option string shared by every front end of the simulated modem.
#include <gtest/gtest.h>

#include <cstdlib>

#include "gnss/sim/options.h"

namespace gnss::sim {
namespace {

TEST(SimOptions, EveryKeyIsRead) {
    const ModemOptions o = ParseModemOptions(
        "chip=rxa7300,sim=off,imsi=31041012345678,mnc=3,shape=arc,echo=off,replay=/tmp/x.nmea,loop=on,"
        "nofix=error,fault=split:1,fault=error:AT+CIMI,record=/tmp/r.bin,seed=42,time-scale=0.25,"
        "start=2024-03-05T07:08:09Z,ttff=2.5,lat=-33.9,lon=151.2,alt=12,speed=20,radius=900,"
        "dtr=ignore,linefeed=end");
    EXPECT_EQ(o.chip, Chip::RXA7300);
    EXPECT_FALSE(o.simPresent);
    EXPECT_EQ(o.imsi, "31041012345678");
    EXPECT_EQ(o.mncLength, 3u);
    EXPECT_EQ(o.shape, ReportShape::Arc);
    EXPECT_FALSE(o.echo);
    EXPECT_EQ(o.lineFeed, LineFeed::End);
    EXPECT_EQ(o.replayPath, "/tmp/x.nmea");
    EXPECT_TRUE(o.replayLoop);
    EXPECT_EQ(o.noFix, NoFixPolicy::PositionError);
    ASSERT_EQ(o.faults.size(), 2u);
    EXPECT_EQ(o.faults[1].kind, Fault::Kind::Error);
    EXPECT_EQ(o.faults[1].prefix, "AT+CIMI");
    EXPECT_EQ(o.recordPath, "/tmp/r.bin");
    EXPECT_EQ(o.seed, 42u);
    EXPECT_DOUBLE_EQ(o.timeScale, 0.25);
    EXPECT_EQ(o.start, 1709622489);
    EXPECT_DOUBLE_EQ(o.firstFixSeconds, 2.5);
    EXPECT_DOUBLE_EQ(o.latitude, -33.9);
    EXPECT_DOUBLE_EQ(o.longitude, 151.2);
    EXPECT_DOUBLE_EQ(o.altitude, 12);
    EXPECT_DOUBLE_EQ(o.speed, 20);
    EXPECT_DOUBLE_EQ(o.radius, 900);
    EXPECT_FALSE(o.honourDtr);

    // Later keys override earlier ones and the base; fault=none clears.
    const ModemOptions again = ParseModemOptions("shape=1,fault=none,echo=on", o);
    EXPECT_EQ(again.shape, ReportShape::Ellipse);
    EXPECT_TRUE(again.faults.empty());
    EXPECT_EQ(again.chip, Chip::RXA7300);
    EXPECT_EQ(ParseModemOptions("").shape, ReportShape::Ellipsoid);
    EXPECT_EQ(ParseModemOptions("").lineFeed, LineFeed::Ignore);
}

TEST(SimOptions, BadInputIsRefusedWithTheKeyNamed) {
    const struct {
        const char* text;
        const char* mentions;
    } kBad[] = {
        {"colour=blue", "colour"},        {"chip=pv9999", "chip"},        {"imsi=12345", "imsi"},
        {"imsi=00101012345678x", "imsi"}, {"mnc=4", "mnc"},               {"shape=4", "shape"},
        {"echo=maybe", "echo"},           {"seed=-1", "seed"},            {"time-scale=0", "time-scale"},
        {"time-scale=1.5", "time-scale"}, {"start=2024-04-31T00:00:00", "start"},
        {"start=yesterday", "start"},     {"lat=91", "lat"},              {"fault=explode", "explode"},
        {"fault=split", "split"},         {"fault=split:0", "split"},     {"fault=delay:x", "delay"},
        {"fault=unplug:later", "unplug"}, {"fault=silent:", "prefix"},    {"chip", "key=value"},
        {"chip=pv7710,,shape=1", "empty"}, {"shape=1,", "empty"},         {"=3", "key=value"},
        {"replay=", "replay"},            {"nofix=maybe", "nofix"},       {"dtr=sometimes", "dtr"},
        {"linefeed=crlf", "linefeed"},
    };
    for (const auto& bad : kBad) {
        try {
            ParseModemOptions(bad.text);
            ADD_FAILURE() << "accepted: " << bad.text;
        } catch (const OptionError& e) {
            EXPECT_NE(std::string(e.what()).find(bad.mentions), std::string::npos) << bad.text << ": " << e.what();
        }
        ModemOptions kept = DefaultModemOptions();
        kept.shape = ReportShape::Circle;
        std::string error;
        EXPECT_FALSE(TryParseModemOptions(bad.text, kept, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(kept.shape, ReportShape::Circle);
    }
}

TEST(SimOptions, FaultsReadBackTheirTextForm) {
    for (const char* text : {"silent", "silent:AT+CIMI", "error:at@gnss:prod", "delay:250", "delay:250:AT+XLCSLSR",
                             "split:7", "nul:3", "garbage:+XNOISE: 1", "naverror", "naverror:4", "unplug:now",
                             "unplug:after:5", "unplug:on:AT+XLSRSTOP"}) {
        const Fault fault = ParseFault(text);
        EXPECT_EQ(ParseFault(fault.ToString()), fault) << text;
    }
    EXPECT_EQ(ParseFault("single"), ParseFault("split:1"));
    EXPECT_EQ(ParseFault("delay:250:at@gnss:x").prefix, "at@gnss:x");
    EXPECT_EQ(ParseFault("unplug").when, Fault::When::Now);
}

TEST(SimOptions, TimeScaleFromTheEnvironment) {
    ::setenv("GNSS_TIME_SCALE", "0.125", 1);
    EXPECT_DOUBLE_EQ(TimeScaleFromEnvironment(), 0.125);
    EXPECT_DOUBLE_EQ(DefaultModemOptions().timeScale, 0.125);
    EXPECT_DOUBLE_EQ(ParseModemOptions("time-scale=0.5").timeScale, 0.5);
    for (const char* bad : {"2", "0", "-0.5", "fast", ""}) {
        ::setenv("GNSS_TIME_SCALE", bad, 1);
        EXPECT_DOUBLE_EQ(TimeScaleFromEnvironment(), 1.0) << bad;
    }
    ::unsetenv("GNSS_TIME_SCALE");
    EXPECT_DOUBLE_EQ(TimeScaleFromEnvironment(), 1.0);
}

}  // namespace
}  // namespace gnss::sim
