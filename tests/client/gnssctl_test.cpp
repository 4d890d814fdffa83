// gnssctl's commands against a fake daemon: what they send, what they print,
// and the exit statuses of its errors.
#include <algorithm>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "Command.h"
#include "FakeDaemon.h"
#include "NmeaView.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::ctl {
namespace {

using test::Bytes;
using test::FakeDaemon;
using test::FakeReply;
using test::FakeRequest;

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result Gnssctl(std::vector<std::string> args) {
    args.insert(args.begin(), "gnssctl");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream out, err;
    const int status = Run(static_cast<int>(argv.size()), argv.data(), out, err);
    return {status, out.str(), err.str()};
}

TEST(Gnssctl, CommandSendsTheTypeAndDataAndNamesAFailingStatus) {
    std::mutex lock;
    std::vector<Bytes> inputs;
    FakeDaemon daemon([&](const FakeRequest& r) {
        std::lock_guard guard(lock);
        inputs.push_back(r.input);
        GNSS_DRIVERCOMMAND_PARAM p;
        std::memcpy(&p, r.input.data(), sizeof p);
        if (p.CommandType == GNSS_SetUplServerAccessInterval) return FakeReply{STATUS_NOT_SUPPORTED, 0, {}};
        return FakeReply{STATUS_SUCCESS, 4, {}};
    });
    const Result value = Gnssctl({"--socket", daemon.Path(), "command", "SetLocationServiceEnabled", "1"});
    EXPECT_EQ(value.status, 0) << value.err;
    EXPECT_EQ(value.out, "GNSS_SetLocationServiceEnabled: STATUS_SUCCESS (0x00000000)\n");
    EXPECT_EQ(Gnssctl({"--socket", daemon.Path(), "command", "1", "--byte", "0"}).status, 0);
    EXPECT_EQ(Gnssctl({"--socket", daemon.Path(), "command", "GNSS_SetSuplVersion", "--bytes",
                       "0200000000000000"}).status, 0);
    const Result refused = Gnssctl({"--socket", daemon.Path(), "command", "14"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "gnssctl: STATUS_NOT_SUPPORTED (0xC00000BB)\n");

    std::lock_guard guard(lock);
    ASSERT_EQ(inputs.size(), 4u);
    const auto data = [&](std::size_t i) {
        GNSS_DRIVERCOMMAND_PARAM p;
        std::memcpy(&p, inputs[i].data(), sizeof p);
        return Bytes(inputs[i].begin() + 532, inputs[i].begin() + 532 + p.CommandDataSize);
    };
    EXPECT_EQ(data(0), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(data(1), (Bytes{0}));
    EXPECT_EQ(data(2), (Bytes{2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(data(3), Bytes{});
}

TEST(Gnssctl, RawDumpsTheAnswerAndExitsWithOneOnAFailureStatus) {
    FakeDaemon daemon([](const FakeRequest& r) {
        if (r.code == 0x00220004) return FakeReply{STATUS_SUCCESS, 4, {}};
        Bytes out = {'G', 'N', 'S', 'S', 0, 1, 2};
        out.insert(out.end(), r.input.begin(), r.input.end());
        return FakeReply{STATUS_BUFFER_TOO_SMALL, out.size(), out};
    });
    const Result ok = Gnssctl({"--socket", daemon.Path(), "raw", "send_platform_capability", "--in", "00ff"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("code:        0x00220004 IOCTL_GNSS_SEND_PLATFORM_CAPABILITY\n"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("information: 4\noutput:      0 bytes\n"), std::string::npos);

    const Result failed = Gnssctl({"--socket", daemon.Path(), "raw", "0x12345678", "--in", "AbCd", "--out", "64"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.out.find("status:      STATUS_BUFFER_TOO_SMALL (0xC0000023)\n"), std::string::npos);
    EXPECT_NE(failed.out.find("0000  47 4e 53 53 00 01 02 ab cd"), std::string::npos) << failed.out;
    EXPECT_NE(failed.out.find("|GNSS.....|"), std::string::npos);
    EXPECT_EQ(failed.err, "gnssctl: STATUS_BUFFER_TOO_SMALL (0xC0000023)\n");
}

TEST(Gnssctl, UsageErrorsExitWithTwoAndAMissingDaemonWithThree) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"--socket"},
             {"--timeout", "0", "info"},
             {"info", "--yaml"},
             {"command"},
             {"command", "NoSuchCommand"},
             {"command", "1", "--byte", "256"},
             {"command", "1", "2", "--byte", "1"},
             {"raw"},
             {"raw", "GET_CHIPSETINFO", "--in", "abc"},
             {"raw", "GET_CHIPSETINFO", "--in", "zz"},
             {"raw", "GET_CHIPSETINFO", "--out", "65537"},
         }) {
        const Result r = Gnssctl(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << r.err;
        EXPECT_NE(r.err.find("Try 'gnssctl"), std::string::npos);
    }
    test::TempDir dir;
    const Result r = Gnssctl({"--socket", dir.File("none.sock"), "info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot reach gnssd"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("is gnssd running?"), std::string::npos) << r.err;

    FakeDaemon full(STATUS_NOT_SUPPORTED);
    const Result refused = Gnssctl({"--socket", full.Path(), "info"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("STATUS_NOT_SUPPORTED (0xC00000BB)"), std::string::npos);
}

TEST(Gnssctl, OptionsTakeEitherFormAndSlipsAreAnsweredWithTheNearestName) {
    std::mutex lock;
    std::vector<Bytes> inputs;
    FakeDaemon daemon([&](const FakeRequest& r) {
        std::lock_guard guard(lock);
        inputs.push_back(r.input);
        return FakeReply{STATUS_SUCCESS, 0, {}};
    });
    // --opt=value and --opt value alike, before and after the words, global
    // and per command, the global time-out in seconds with a fraction.
    const Result joined = Gnssctl({"--socket=" + daemon.Path(), "--timeout=2.5", "raw",
                                   "--in=0a0b", "SEND_PLATFORM_CAPABILITY", "--out", "0"});
    EXPECT_EQ(joined.status, 0) << joined.err;
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(inputs.size(), 1u);
        EXPECT_EQ(inputs[0], (Bytes{0x0a, 0x0b}));
    }

    const auto usage = [](std::vector<std::string> args, const std::string& says) {
        const Result r = Gnssctl(std::move(args));
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    };
    usage({"trak"}, "unknown command 'trak'; did you mean 'track'?");
    usage({"stat"}, "did you mean 'status'?");
    usage({"fix", "--acuracy", "5"}, "fix: unknown option '--acuracy'; did you mean '--accuracy'?");
    usage({"track", "--interval=0.5"}, "--interval needs at least 1 s");
    usage({"track", "--interval", "1.5"}, "--interval needs whole seconds");
    usage({"fix", "--timeout", "-1"}, "--timeout needs seconds");
    usage({"fix", "--timeout=1e3"}, "--timeout needs seconds");
    usage({"fix", "--json=yes"}, "--json takes no value");
    usage({"ni", "--listen", "--respond", "7", "accept"}, "give one of --listen and --respond");
    usage({"ni", "--respond", "7"}, "--respond needs two values");
    usage({"xyzzy"}, "unknown command 'xyzzy'\n");
}

// An epoch of a receiver's capture (tests/data/nmea/ublox-8.log; the GST of
// skytraq-dgps.log).
constexpr const char* kEpoch =
    "$GNGGA,000941.00,4404.13387,N,12118.85628,W,1,12,1.01,1144.8,M,-21.4,M,,*4D\r\n"
    "$GNGSA,A,3,23,09,16,07,26,03,27,22,,,,,1.71,1.01,1.38*1B\r\n"
    "$GNGSA,A,3,80,70,73,79,69,71,,,,,,,1.71,1.01,1.38*1D\r\n"
    "$GPGSV,4,1,16,02,05,307,,03,21,174,29,04,12,038,23,06,07,270,06*7E\r\n"
    "$GPGSV,4,2,16,07,46,259,26,08,01,143,28,09,67,312,39,16,47,064,35*70\r\n"
    "$GPGSV,4,3,16,22,08,167,29,23,68,103,28,26,23,045,27,27,12,109,21*71\r\n"
    "$GPGSV,4,4,16,30,12,249,17,46,31,150,,48,38,197,,51,37,160,*7C\r\n"
    "$GLGSV,3,1,09,69,40,156,22,70,76,297,23,71,24,325,14,73,33,233,24*6D\r\n"
    "$GLGSV,3,2,09,79,32,038,19,80,78,285,24,81,00,075,,87,01,345,*68\r\n"
    "$GLGSV,3,3,09,88,07,028,*51\r\n"
    "$GPGST,213121.000,16.1,22.2,10.2,2.0,0.4,0.6,1.4*57\r\n"
    "$GNRMC,000942.00,A,4404.13401,N,12118.85633,W,0.041,,100117,,,A*73\r\n";

TEST(Gnssctl, NmeaGivesTheWaitingLineItsSkyAndWatchFollowingItsFix) {
    // The driver hands an epoch over in pieces: cut it inside the GSV groups.
    const std::string epoch = kEpoch;
    const std::size_t cut = epoch.find("$GPGSV,4,3"), cut2 = epoch.find("$GLGSV,3,2");
    NmeaView view;
    view.Add(epoch.substr(0, cut));
    view.Add(epoch.substr(cut, cut2 - cut));
    view.Add(epoch.substr(cut2));
    const NmeaSky sky = view.Sky();
    EXPECT_EQ(sky.inView, 25);
    EXPECT_EQ(sky.byConstellation, "GLONASS 9, GPS 16");
    EXPECT_EQ(sky.used, 14);
    EXPECT_EQ(sky.bestSignal, 39);

    const auto fix = view.Fix();
    ASSERT_TRUE(fix.has_value());
    EXPECT_NEAR(fix->BasicData.Latitude, 44.0689002, 1e-6);  // the RMC's, the later one
    EXPECT_NEAR(fix->BasicData.Longitude, -121.3142722, 1e-6);
    EXPECT_DOUBLE_EQ(fix->BasicData.Altitude, 1144.8);
    EXPECT_NEAR(fix->BasicData.Speed, 0.041 * 1852 / 3600, 1e-9);
    EXPECT_EQ(FormatUtc(fix->FixTimeStamp), "2017-01-10T00:09:42.000Z");
    EXPECT_EQ(fix->AccuracyData.HorizontalAccuracy, 1u);
    EXPECT_FLOAT_EQ(fix->AccuracyData.VerticalDilutionOfPrecision, 1.38f);
    EXPECT_EQ(SatelliteEntries(*fix), 25u);
    EXPECT_EQ(SatellitesUsed(*fix), 14u);
    const auto& satellites = fix->SatelliteData.SatelliteArray;
    const auto* r80 = std::find_if(satellites, satellites + 25, [](const auto& s) { return s.SatelliteId == 80; });
    ASSERT_NE(r80, satellites + 25);
    EXPECT_EQ(r80->UsedInPositiong, 1);
    EXPECT_EQ(r80->SignalToNoiseRatio, 24);

    // A lost fix is no fix; a new epoch starts its used satellites afresh.
    view.Add("$GNGGA,000943.00,,,,,0,00,99.99,,,,,,*48\r\n");
    EXPECT_FALSE(view.Fix().has_value());
    EXPECT_EQ(view.Sky().used, 0);
    EXPECT_EQ(NmeaView().Sky().inView, -1);
}

TEST(Gnssctl, HelpListsEveryCommandAndEachCommandHasItsOwn) {
    const Result overview = Gnssctl({"--help"});
    EXPECT_EQ(overview.status, 0);
    for (const CommandEntry* entry : Commands()) {
        EXPECT_NE(overview.out.find(entry->synopsis), std::string::npos) << entry->name;
        const Result help = Gnssctl({entry->name, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("Examples:"), std::string::npos) << entry->name;
    }
}

}  // namespace
}  // namespace gnss::ctl
