// gnssfeed as its users run it: gnssd on the simulated modem replaying a
// real capture, gnssfeed serving NMEA, and the real programs reading it:
// gpsd over TCP and over the pseudo-terminal, GeoClue over the Unix socket.
// Consumers come and go, one stops reading, gnssd dies and comes back; the
// modem's record of received commands shows when the tracking session runs.
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "FeedPeers.h"
#include "gnss/sim/receiver.h"

namespace gnss::test {
namespace {

using V = std::vector<std::string>;

// The folder may be moved with GNSS_NMEA_CAPTURES in the environment.
std::string Capture(const std::string& name) {
    const char* folder = std::getenv("GNSS_NMEA_CAPTURES");
    return (folder != nullptr && *folder != '\0' ? folder : GNSS_NMEA_CAPTURES) + std::string("/") + name;
}

// GPS and GLONASS with SBAS, 72 fixes a second apart, one every 100 ms at
// the modem's time scale of 0.1 (the driver's waits run at the test's 0.05).
constexpr const char* kCapture = "ublox-8.log";
constexpr std::size_t kLeastFixes = 30;

std::vector<sim::Fix> CaptureFixes(const std::string& path) {
    std::vector<sim::Fix> fixes;
    for (const auto& epoch : sim::LoadCapture(path, 0).epochs)
        if (epoch.fix.valid) fixes.push_back(epoch.fix);
    return fixes;
}

std::string IsoTime(const sim::CivilTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

// A JSON line of gpsd's or of the GeoClue client; a line that is no JSON
// object fails the test where it is read.
nlohmann::json Report(const std::string& line) {
    nlohmann::json report = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(report.is_object()) << "not a JSON object: " << line;
    return report.is_object() ? report : nlohmann::json::object();
}

// A satellite as gpsd's SKY and the capture name it: id, elevation and
// azimuth in whole degrees, used in the fix.
using Sat = std::tuple<int, long, long, bool>;

std::set<Sat> SkySatellites(const nlohmann::json& sky) {
    std::set<Sat> out;
    for (const auto& s : sky["satellites"])
        out.emplace(s.value("PRN", 0), std::lround(s.value("el", 0.0)), std::lround(s.value("az", 0.0)),
                    s.value("used", false));
    return out;
}

std::set<Sat> FixSatellites(const sim::Fix& fix) {
    std::set<Sat> out;
    for (const auto& s : fix.satellites)
        out.emplace(s.id, std::lround(s.elevation), std::lround(s.azimuth), s.used);
    return out;
}

// gpsd's reports in `reportsPath` against the capture, once the TPV of its
// last fix is there: every TPV with a position at the time of a capture's
// fix and at its position, none of the fixes lost from the first reported
// on (at least kLeastFixes of them), and every SKY naming satellites of one
// of the capture's epochs, all of them once the epoch's last GSV is in (gpsd
// reports the sky after each constellation's GSV).
void ExpectEveryFixReported(const std::string& reportsPath, const std::vector<sim::Fix>& fixes) {
    ASSERT_GE(fixes.size(), kLeastFixes);
    const std::string last = "\"time\":\"" + IsoTime(fixes.back().time) + ".000Z\"";
    ASSERT_TRUE(WaitForText(reportsPath, last)) << "no TPV of the last fix; gpspipe wrote:\n"
                                                << ReadFile(reportsPath).substr(0, 3000);
    std::map<std::string, const sim::Fix*> byTime;
    for (const auto& f : fixes) byTime[IsoTime(f.time)] = &f;

    std::set<std::string> reported;
    std::size_t wholeSkies = 0;
    for (const std::string& line : Lines(ReadFile(reportsPath))) {
        const nlohmann::json report = Report(line);
        SCOPED_TRACE(line);
        const std::string kind = report.value("class", "");
        if (kind == "TPV" && report.contains("lat")) {
            // gpsd takes no time from a GGA before an RMC or ZDA has given
            // it the year: the first epoch it reads has no time.
            if (reported.empty() && !report.contains("time")) continue;
            const std::string time = report.value("time", "").substr(0, 19);
            const auto fix = byTime.find(time);
            ASSERT_NE(fix, byTime.end()) << "a TPV at a time the capture has no fix for";
            EXPECT_NEAR(report.value("lat", std::nan("")), fix->second->latitude, 1e-6);
            EXPECT_NEAR(report.value("lon", std::nan("")), fix->second->longitude, 1e-6);
            reported.insert(time);
        } else if (kind == "SKY" && report.contains("satellites")) {
            const std::set<Sat> sky = SkySatellites(report);
            EXPECT_TRUE(std::any_of(fixes.begin(), fixes.end(), [&](const sim::Fix& f) {
                const std::set<Sat> epoch = FixSatellites(f);
                return std::includes(epoch.begin(), epoch.end(), sky.begin(), sky.end());
            })) << "satellites no epoch of the capture has";
            if (std::any_of(fixes.begin(), fixes.end(), [&](const sim::Fix& f) { return FixSatellites(f) == sky; }))
                ++wholeSkies;
        }
    }
    const auto first = std::find_if(fixes.begin(), fixes.end(),
                                    [&](const sim::Fix& f) { return reported.count(IsoTime(f.time)) > 0; });
    EXPECT_GE(static_cast<std::size_t>(fixes.end() - first), kLeastFixes) << "too late a start";
    for (auto f = first; f != fixes.end(); ++f) EXPECT_EQ(reported.count(IsoTime(f->time)), 1u) << "fix lost";
    EXPECT_GE(wholeSkies, kLeastFixes);
}

// The location commands in the modem's record, in order: the requests that
// start tracking and the stops that name one (the driver's bare AT+XLSRSTOP
// when the receiver is switched on stops nobody's session).
V LocationCommands(const std::string& record) {
    V out;
    for (const std::string& line : RecordedCommands(record))
        if (line.rfind("AT+XLCSLSR=", 0) == 0 || line.rfind("AT+XLSRSTOP=", 0) == 0) out.push_back(line);
    return out;
}

// GGA sentences that carry a fix (quality other than 0).
std::size_t FixSentences(const std::string& nmea) {
    std::size_t count = 0;
    for (const std::string& line : Lines(nmea)) {
        if (line.size() < 7 || line[0] != '$' || line.compare(3, 4, "GGA,") != 0) continue;
        std::size_t at = 0;
        for (int field = 0; field < 6 && at != std::string::npos; ++field) at = line.find(',', at + 1);
        if (at != std::string::npos && at + 1 < line.size() && line[at + 1] >= '1' && line[at + 1] <= '9')
            ++count;
    }
    return count;
}

// Waits until the consumer has read `more` fixes beyond `seen`.
bool WaitForFixes(const Consumer& consumer, std::size_t seen, std::size_t more) {
    return WaitForFile(consumer.File(), [&](const std::string& text) { return FixSentences(text) >= seen + more; });
}

// Reads `fd` to its end; false when it is still open after 30 s.
bool ReadsToTheEnd(int fd) {
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) return false;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
}

class FeedProcess : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(GNSSFEED_PATH).empty()) GTEST_SKIP() << "gnssfeed is not built";
    }
    std::string Record() const { return dir.File("record.txt"); }
    // gnssd on the simulated modem with these options, the location service on.
    void StartGnssd(const std::string& simOptions) {
        ASSERT_TRUE(gnssd.Start("sim:chip=rxa7300,record=" + Record() + (simOptions.empty() ? "" : ",") +
                                simOptions))
            << gnssd.Stderr();
        const CommandResult on = gnssd.Gnssctl({"location", "on"});
        ASSERT_EQ(on.status, 0) << on.err;
    }
    void StartReplay() { StartGnssd(std::string("time-scale=0.1,replay=") + Capture(kCapture)); }

    TempDir dir;
    GnssdProcess gnssd{dir};
    Gnssfeed feed{dir, gnssd};
};

TEST_F(FeedProcess, GpsdOverTcpReportsEveryFixOfTheCapture) {
    if (std::string(GPSD_PATH).empty() || std::string(GPSPIPE_PATH).empty())
        GTEST_SKIP() << "gpsd or gpspipe is missing (./x setup installs gpsd and gpsd-clients)";
    const std::vector<sim::Fix> fixes = CaptureFixes(Capture(kCapture));
    StartReplay();
    feed.Start({"--tcp", "127.0.0.1:0"});
    const int port = feed.TcpPort();
    ASSERT_GT(port, 0) << feed.Log();
    Gpsd gpsd(dir);
    ASSERT_TRUE(gpsd.Start("tcp://127.0.0.1:" + std::to_string(port))) << gpsd.Log();
    gpsd.Watch();
    // A TCP consumer is named by its own address.
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 1 connected (tcp 127.0.0.1:")) << feed.Log();
    ExpectEveryFixReported(gpsd.Reports(), fixes);
    EXPECT_EQ(feed.Stop(), 0) << feed.Log();
}

TEST_F(FeedProcess, GpsdOnThePseudoTerminalReportsEveryFixOfTheCapture) {
    if (std::string(GPSD_PATH).empty() || std::string(GPSPIPE_PATH).empty())
        GTEST_SKIP() << "gpsd or gpspipe is missing (./x setup installs gpsd and gpsd-clients)";
    const std::vector<sim::Fix> fixes = CaptureFixes(Capture(kCapture));
    StartReplay();
    const std::string link = dir.File("gps0");
    feed.Start({"--pty", link});
    ASSERT_TRUE(feed.WaitForLog("(link " + link + ")\n")) << feed.Log();
    EXPECT_NE(feed.Log().find("gnssfeed: serving NMEA on pty /dev/pts/"), std::string::npos) << feed.Log();
    Gpsd gpsd(dir);
    ASSERT_TRUE(gpsd.Start(link)) << gpsd.Log();
    gpsd.Watch();
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 1 connected (pty " + link + ")")) << feed.Log();
    ExpectEveryFixReported(gpsd.Reports(), fixes);
    EXPECT_EQ(feed.Stop(), 0) << feed.Log();
    // The link goes with the terminal it named.
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST_F(FeedProcess, GeoclueLocatesFromTheUnixSocket) {
    for (const char* program : {DBUS_DAEMON_PATH, GEOCLUE_PATH, GEOCLUE_AGENT_PATH, UNSHARE_PATH, FEED_PYTHON3_PATH})
        if (std::string(program).empty())
            GTEST_SKIP() << "dbus-daemon, GeoClue, its demo agent, unshare or python3 with gi is missing "
                            "(./x setup installs dbus, geoclue-2.0 and python3-gi)";
    if (::geteuid() != 0) GTEST_SKIP() << "GeoClue's configuration is mounted over its fixed path, which needs root";
    const std::vector<sim::Fix> fixes = CaptureFixes(Capture(kCapture));
    StartReplay();
    const std::string socket = dir.File("nmea.sock");
    feed.Start({"--unix", socket});
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: serving NMEA on unix " + socket + "\n")) << feed.Log();

    PrivateBus bus(dir);
    ASSERT_TRUE(bus.Start()) << ReadFile(dir.File("bus.err"));
    Geoclue geoclue(dir);
    if (!geoclue.Start(socket)) {
        const std::string log = geoclue.Log();
        if (log.find("unshare:") != std::string::npos || log.find("mount:") != std::string::npos)
            GTEST_SKIP() << "GeoClue cannot get a configuration of the test's own here: " << log;
        FAIL() << "GeoClue never took the agent:\n" << log;
    }
    constexpr int kLocations = 10;
    const std::string out = dir.File("locations.json");
    geoclue.StartClient(kLocations, out);
    ASSERT_EQ(geoclue.WaitClient(), 0) << ReadFile(out + ".err") << ReadFile(out) << geoclue.Log();
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 1 connected (unix " + socket + ")")) << feed.Log();

    // GeoClue dates a fix today, from the NMEA time of day in whole seconds.
    std::map<long, const sim::Fix*> byTimeOfDay;
    for (const auto& f : fixes) byTimeOfDay[f.time.hour * 3600L + f.time.minute * 60L + f.time.second] = &f;
    const V locations = Lines(ReadFile(out));
    ASSERT_EQ(locations.size(), static_cast<std::size_t>(kLocations));
    std::set<long> times;
    for (const std::string& line : locations) {
        SCOPED_TRACE(line);
        const nlohmann::json location = Report(line);
        const long timeOfDay = std::lround(location.value("timestamp", 0.0)) % 86400;
        const auto fix = byTimeOfDay.find(timeOfDay);
        ASSERT_NE(fix, byTimeOfDay.end()) << "a location at a time the capture has no fix for";
        EXPECT_NEAR(location.value("lat", std::nan("")), fix->second->latitude, 1e-6);
        EXPECT_NEAR(location.value("lon", std::nan("")), fix->second->longitude, 1e-6);
        times.insert(timeOfDay);
    }
    EXPECT_EQ(times.size(), locations.size()) << "a fix came twice";
    // GeoClue hangs up after its last client; the session ends with it.
    EXPECT_TRUE(feed.WaitForLog("gnssfeed: consumer 1 left")) << feed.Log();
    EXPECT_TRUE(feed.WaitForLog("stopped\n")) << feed.Log();
    EXPECT_EQ(feed.Stop(), 0) << feed.Log();
}

TEST_F(FeedProcess, TheSessionRunsWhileAnyConsumerIsConnected) {
    StartGnssd("");
    const std::string socket = dir.File("nmea.sock");
    feed.Start({"--tcp", "127.0.0.1:0", "--unix", socket});
    const int port = feed.TcpPort();
    ASSERT_GT(port, 0) << feed.Log();
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: serving NMEA on unix " + socket + "\n")) << feed.Log();
    // Nobody to serve: no session.
    EXPECT_EQ(LocationCommands(ReadFile(Record())), V{});
    EXPECT_EQ(feed.Log().find("tracking session"), std::string::npos) << feed.Log();

    auto first = std::make_unique<Consumer>(dir.File("first.nmea"), ConnectTcp(port));
    ASSERT_TRUE(first->Connected());
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 1 connected (tcp 127.0.0.1:")) << feed.Log();
    ASSERT_TRUE(feed.WaitForLog(" started (interval 1 s)\n")) << feed.Log();
    ASSERT_TRUE(WaitForFixes(*first, 0, 1)) << first->Text();
    Consumer second(dir.File("second.nmea"), ConnectUnix(socket));
    ASSERT_TRUE(second.Connected());
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 2 connected (unix " + socket + ")")) << feed.Log();
    ASSERT_TRUE(WaitForFixes(second, 0, 1)) << second.Text();

    // The first leaves; the second keeps the session and its fixes.
    first.reset();
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 1 left")) << feed.Log();
    ASSERT_TRUE(WaitForFixes(second, FixSentences(second.Text()), 3)) << second.Text();
    V commands = LocationCommands(ReadFile(Record()));
    ASSERT_EQ(commands.size(), 1u) << ::testing::PrintToString(commands);
    EXPECT_EQ(commands[0].rfind("AT+XLCSLSR=1,1,,,,,1,,,", 0), 0u) << commands[0];
    EXPECT_EQ(CountOccurrences(feed.Log(), "tracking session"), 1u) << feed.Log();
    EXPECT_FALSE(second.EndOfStream());

    // The last one leaves: the session stops, in gnssfeed and in the modem.
    second.Close();
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 2 left")) << feed.Log();
    ASSERT_TRUE(feed.WaitForLog(" stopped\n")) << feed.Log();
    ASSERT_TRUE(WaitForFile(Record(), [](const std::string& r) { return LocationCommands(r).size() >= 2; }));
    commands = LocationCommands(ReadFile(Record()));
    EXPECT_EQ(commands.size(), 2u) << ::testing::PrintToString(commands);
    EXPECT_EQ(commands.back(), "AT+XLSRSTOP=0,1");

    // A consumer coming back starts a session again.
    Consumer again(dir.File("again.nmea"), ConnectTcp(port));
    ASSERT_TRUE(feed.WaitForLog(" started (interval 1 s)\n", 2)) << feed.Log();
    ASSERT_TRUE(WaitForFixes(again, 0, 1)) << again.Text();
    EXPECT_EQ(LocationCommands(ReadFile(Record())).size(), 3u);
    EXPECT_EQ(feed.Stop(), 0) << feed.Log();
}

TEST_F(FeedProcess, AConsumerThatStopsReadingIsDroppedWhileTheOthersKeepReceiving) {
    // Fifty fixes a second of the synthetic sky, so that the stalled
    // consumer's socket and then its bound fill within a few seconds.
    StartGnssd("time-scale=0.02");
    const std::string socket = dir.File("nmea.sock");
    constexpr int kBound = 4096;
    feed.Start({"--unix", socket, "--buffer", std::to_string(kBound)});
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: serving NMEA on unix " + socket + "\n")) << feed.Log();
    Consumer reading(dir.File("reading.nmea"), ConnectUnix(socket));
    ASSERT_TRUE(reading.Connected());
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 1 connected")) << feed.Log();
    const int stalled = ConnectUnix(socket);
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: consumer 2 connected")) << feed.Log();

    const std::string dropped = "gnssfeed: consumer 2 dropped: it stopped reading (";
    ASSERT_TRUE(feed.WaitForLog(dropped)) << feed.Log();
    const std::string log = feed.Log();
    // A block that would take it past the bound is not queued.
    const long waiting = std::atol(log.c_str() + log.find(dropped) + dropped.size());
    EXPECT_GT(waiting, 0) << log;
    EXPECT_LE(waiting, kBound) << log;
    EXPECT_NE(log.find(std::to_string(waiting) + " bytes waiting)\n"), std::string::npos) << log;
    // Its connection is closed after what the system had taken for it.
    EXPECT_TRUE(ReadsToTheEnd(stalled));
    ::close(stalled);

    // The reading one was never held up: it goes on getting fixes.
    ASSERT_TRUE(WaitForFixes(reading, FixSentences(reading.Text()), 5)) << feed.Log();
    EXPECT_FALSE(reading.EndOfStream());
    EXPECT_EQ(feed.Log().find("consumer 1 dropped"), std::string::npos) << feed.Log();
    EXPECT_EQ(feed.Log().find("consumer 1 left"), std::string::npos) << feed.Log();
    EXPECT_EQ(feed.Stop(), 0) << feed.Log();
}

TEST_F(FeedProcess, ConsumersStayThroughARestartOfGnssd) {
    ASSERT_TRUE(gnssd.Start("sim:chip=rxa7300,record=" + Record())) << gnssd.Stderr();
    const std::string socket = dir.File("nmea.sock");
    // A new gnssd starts with the location service off: gnssfeed switches it on.
    feed.Start({"--tcp", "127.0.0.1:0", "--unix", socket, "--location-on"});
    const int port = feed.TcpPort();
    ASSERT_GT(port, 0) << feed.Log();
    // The outputs are set up in the order given: the Unix one after the TCP one.
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: serving NMEA on unix " + socket + "\n")) << feed.Log();
    Consumer tcp(dir.File("tcp.nmea"), ConnectTcp(port));
    Consumer local(dir.File("unix.nmea"), ConnectUnix(socket));
    ASSERT_TRUE(tcp.Connected() && local.Connected());
    ASSERT_TRUE(WaitForFixes(tcp, 0, 2)) << feed.Log();
    ASSERT_TRUE(WaitForFixes(local, 0, 2)) << feed.Log();

    gnssd.Stop(SIGKILL);
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: lost gnssd (")) << feed.Log();
    EXPECT_NE(feed.Log().find("); reconnecting\n"), std::string::npos) << feed.Log();
    ASSERT_TRUE(gnssd.Start("sim:chip=rxa7300,record=" + Record())) << gnssd.Stderr();
    ASSERT_TRUE(feed.WaitForLog("gnssfeed: connected to gnssd (" + gnssd.Socket() + ")", 2)) << feed.Log();
    ASSERT_TRUE(feed.WaitForLog(" started (interval 1 s)\n", 2)) << feed.Log();
    // Fixes of the new gnssd reach both.
    ASSERT_TRUE(WaitForFixes(tcp, FixSentences(tcp.Text()), 3)) << feed.Log();
    ASSERT_TRUE(WaitForFixes(local, FixSentences(local.Text()), 3)) << feed.Log();
    EXPECT_FALSE(tcp.EndOfStream());
    EXPECT_FALSE(local.EndOfStream());
    EXPECT_EQ(feed.Log().find(" left\n"), std::string::npos) << feed.Log();
    EXPECT_EQ(feed.Log().find(" dropped: "), std::string::npos) << feed.Log();
    EXPECT_EQ(feed.Stop(), 0) << feed.Log();
}

}  // namespace
}  // namespace gnss::test
