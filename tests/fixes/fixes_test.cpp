// Fixes and NMEA through the whole stack: gnssctl or the client library,
// gnssd, the driver module and the simulated modem, whose record of received
// commands gives the exact AT traffic.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <sstream>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "GnssdProcess.h"
#include "gnss/client/device.h"
#include "gnss/client/structures.h"
#include "gnss/sim/receiver.h"

namespace gnss::test {
namespace {

using V = std::vector<std::string>;
constexpr auto kPatience = std::chrono::seconds(30);

// The location commands in the modem's record, in order (echo and line ends
// stripped).
V LocationCommands(const std::string& record) {
    V out;
    for (const std::string& line : RecordedCommands(record))
        if (line.rfind("AT+XLCSLSR", 0) == 0 || line.rfind("AT+XLSRSTOP=", 0) == 0 ||
            line.rfind("AT+XLCSLQOS", 0) == 0)
            out.push_back(line);
    return out;
}

// What gnssd holds open, sockets left out (connections come and go with
// their clients): all of it, and the descriptors that lead to a path
// beginning with `prefix`.
struct Descriptors {
    std::size_t files = 0;
    std::size_t matching = 0;
};

Descriptors OpenDescriptors(pid_t pid, const std::string& prefix) {
    Descriptors d;
    std::error_code ec;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (ec || target.rfind("socket:", 0) == 0) continue;
        ++d.files;
        if (target.rfind(prefix, 0) == 0) ++d.matching;
    }
    return d;
}

double JsonNumber(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1000.0 : std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

std::string JsonText(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\":\"");
    if (at == std::string::npos) return {};
    const auto begin = at + key.size() + 4;
    return json.substr(begin, json.find('"', begin) - begin);
}

class Fixes : public ::testing::Test {
protected:
    std::string Record() const { return dir.File("record.txt"); }
    void StartGnssd(const std::string& simOptions) {
        ASSERT_TRUE(gnssd.Start("sim:" + simOptions + ",record=" + Record())) << gnssd.Stderr();
        LocationOn();
    }
    void LocationOn() {
        const CommandResult on = gnssd.Gnssctl({"command", "SetLocationServiceEnabled", "--byte", "1"});
        ASSERT_EQ(on.status, 0) << on.err;
    }
    // The location commands sent since the last call, once there are at
    // least `count` of them: a stop is sent after the request that asked
    // for it has been answered.
    V NewCommands(std::size_t count) {
        V all;
        WaitForFile(Record(), [&](const std::string& record) {
            all = LocationCommands(record);
            return all.size() >= seen + count;
        });
        V fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(seen, all.size())), all.end());
        seen = all.size();
        return fresh;
    }

    TempDir dir;
    GnssdProcess gnssd{dir};
    std::size_t seen = 0;
};

TEST_F(Fixes, SingleShotAndTrackingOnRxa7300) {
    StartGnssd("chip=rxa7300");
    const CommandResult fix = gnssd.Gnssctl({"fix", "--json"});
    ASSERT_EQ(fix.status, 0) << fix.err;
    EXPECT_NEAR(JsonNumber(fix.out, "latitude"), 47.3769, 0.02);
    EXPECT_NEAR(JsonNumber(fix.out, "longitude"), 8.5417, 0.02);
    EXPECT_GT(JsonNumber(fix.out, "satellitesUsed"), 3);
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLSR=1,1,,,,,1,,,", "AT+XLSRSTOP=0,1"}));

    const std::string gpx = dir.File("track.gpx");
    const CommandResult track = gnssd.Gnssctl({"track", "--interval", "2", "--count", "3", "--gpx", gpx});
    ASSERT_EQ(track.status, 0) << track.err;
    const V lines = Lines(track.out);
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_LT(lines[i - 1].substr(0, 24), lines[i].substr(0, 24));
    EXPECT_NE(lines[0].find(" lat 47.3"), std::string::npos) << lines[0];
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLSR=1,1,,,,,2,,,", "AT+XLSRSTOP=0,2"}));
    // A complete GPX document with one track point per fix.
    const std::string content = ReadFile(gpx);
    EXPECT_EQ(CountOccurrences(content, "<trkpt lat=\"47.3"), 3u);
    EXPECT_EQ(CountOccurrences(content, "</trkseg>\n  </trk>\n</gpx>\n"), 1u);
    xmlDocPtr doc = xmlReadFile(gpx.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
    ASSERT_NE(doc, nullptr) << "not well-formed:\n" << content;
    const xmlNode* root = xmlDocGetRootElement(doc);
    EXPECT_STREQ(reinterpret_cast<const char*>(root->name), "gpx");
    EXPECT_STREQ(reinterpret_cast<const char*>(root->ns->href), "http://www.topografix.com/GPX/1/1");
    xmlFreeDoc(doc);

    // A fix session needs the location service.
    ASSERT_EQ(gnssd.Gnssctl({"command", "SetLocationServiceEnabled", "--byte", "0"}).status, 0);
    const CommandResult off = gnssd.Gnssctl({"fix"});
    EXPECT_EQ(off.status, 1);
    EXPECT_EQ(off.err,
              "gnssctl: start of the fix session refused: the location service is off (gnssctl "
              "location on): STATUS_ACCESS_DENIED (0xC0000022)\n");
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Fixes, SingleShotAndTrackingOnPv7710) {
    StartGnssd("chip=pv7710,imsi=001010123456789");
    ASSERT_EQ(gnssd.Gnssctl({"fix"}).status, 0);
    // Accuracy, 300, the response time (150 at the least), 0; a single fix,
    // which ends by itself.
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLQOS=50,300,150,0", "AT+XLCSLSR=1,1,,,,,,,,"}));
    const CommandResult fix = gnssd.Gnssctl({"fix", "--accuracy", "20", "--response-time", "151", "-v"});
    ASSERT_EQ(fix.status, 0) << fix.err;
    EXPECT_NE(fix.out.find("     id  used  elevation  azimuth    SNR\n"), std::string::npos) << fix.out;
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLQOS=20,300,151,0", "AT+XLCSLSR=1,1,,,,,,,,"}));

    const CommandResult track = gnssd.Gnssctl({"track", "--interval", "1", "--count", "3", "--json"});
    ASSERT_EQ(track.status, 0) << track.err;
    const V lines = Lines(track.out);
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& json : lines) EXPECT_FALSE(JsonText(json, "time").empty()) << json;
    // A single fix first, the periodic request after it, stopped at the end.
    EXPECT_EQ(NewCommands(4), (V{"AT+XLCSLQOS=50,300,150,0", "AT+XLCSLSR=1,1,,,,,,,,", "AT+XLCSLSR=1,1,,,,,1,,,",
                                "AT+XLSRSTOP=0,4"}));
    EXPECT_EQ(gnssd.Stop(), 0);
}

// Requests through the client library, for exact orders of parking and fixes.
class Session {
public:
    explicit Session(const std::string& socket) : device_(client::Device::Open(socket)) {}

    NTSTATUS Start(ULONG id, GNSS_FIXSESSIONTYPE type, ULONG value, ULONG code = IOCTL_GNSS_START_FIXSESSION) {
        client::FixSessionParameters p;
        p.sessionId = id;
        p.type = type;
        p.typeValue = value;
        return device_->Control(code, client::BuildFixSession(p), 0).status;
    }
    NTSTATUS Stop(ULONG id) {
        return device_->Control(IOCTL_GNSS_STOP_FIXSESSION, client::BuildStopFixSession(id), 0).status;
    }
    NTSTATUS Nmea(std::uint32_t value) {
        return device_->Control(IOCTL_GNSS_SEND_DRIVERCOMMAND,
                                client::BuildDriverCommandValue(GNSS_SetNMEALogging, value), 0)
            .status;
    }
    // A fix request; its completion arrives in the future.
    std::future<client::Completion> GetFix(ULONG id) {
        auto promise = std::make_shared<std::promise<client::Completion>>();
        auto future = promise->get_future();
        std::uint8_t input[4];
        std::memcpy(input, &id, sizeof id);
        device_->ControlAsync(IOCTL_GNSS_GET_FIXDATA, input, sizeof(GNSS_EVENT),
                              [promise](client::Completion&& c) { promise->set_value(std::move(c)); });
        return future;
    }

private:
    std::unique_ptr<client::Device> device_;
};

GNSS_FIXDATA FixOf(std::future<client::Completion>& f) {
    EXPECT_EQ(f.wait_for(kPatience), std::future_status::ready);
    const client::Completion c = f.get();
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    const client::Event e = client::DecodeEvent(c.output);
    const auto* fix = std::get_if<GNSS_FIXDATA>(&e.data);
    return fix != nullptr ? *fix : GNSS_FIXDATA{};
}

bool Waiting(std::future<client::Completion>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
}

TEST_F(Fixes, SessionsShareOneModemRequestAndTheFixCache) {
    StartGnssd("chip=rxa7300");
    Session a(gnssd.Socket()), b(gnssd.Socket());
    const std::string parked = "Pot Fixdata Request to Manual Queue";

    // No fix cached yet: a last-known-good request finds none, and is not parked.
    ASSERT_EQ(a.Start(9, GNSS_FixSession_LKG, 0), STATUS_SUCCESS);
    auto lkg = a.GetFix(9);
    EXPECT_EQ(FixOf(lkg).FixStatus, STATUS_NOT_FOUND);
    ASSERT_EQ(a.Stop(9), STATUS_SUCCESS);

    // Two parked requests of sessions 1 and 2 receive the same fix, each with its own id.
    auto fix1 = a.GetFix(1), fix2 = b.GetFix(2);
    ASSERT_TRUE(gnssd.WaitForLog(parked, 2));
    ASSERT_EQ(a.Start(1, GNSS_FixSession_ContinuousTracking, 400), STATUS_SUCCESS);
    const GNSS_FIXDATA first = FixOf(fix1), second = FixOf(fix2);
    EXPECT_EQ(first.FixSessionID, 1u);
    EXPECT_EQ(second.FixSessionID, 2u);
    EXPECT_EQ(first.BasicData.Latitude, second.BasicData.Latitude);
    EXPECT_EQ(FileTimeToU64(first.FixTimeStamp), FileTimeToU64(second.FixTimeStamp));

    // A shorter interval re-issues the request; its first fix, which nobody
    // waits for, is kept and answers the next request at once; the one after waits.
    ASSERT_EQ(b.Start(2, GNSS_FixSession_ContinuousTracking, 200), STATUS_SUCCESS);
    ASSERT_TRUE(gnssd.WaitForLog("IOCTL Not Found, Cache Data"));
    auto cached = a.GetFix(1);
    EXPECT_GT(FileTimeToU64(FixOf(cached).FixTimeStamp), FileTimeToU64(first.FixTimeStamp));
    auto waitingA = a.GetFix(1), waitingB = b.GetFix(2);
    ASSERT_TRUE(gnssd.WaitForLog(parked, 4));
    // A modify to single shot changes nothing on the modem.
    ASSERT_EQ(a.Start(1, GNSS_FixSession_SingleShot, 0, IOCTL_GNSS_MODIFY_FIXSESSION), STATUS_SUCCESS);
    ASSERT_TRUE(gnssd.WaitForLog("Modify request from periodic to singleshot received FixSessionID=1"));
    // A stop cancels exactly its own session's parked request.
    ASSERT_EQ(a.Stop(1), STATUS_SUCCESS);
    ASSERT_EQ(waitingA.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(waitingA.get().status, STATUS_CANCELLED);
    EXPECT_TRUE(Waiting(waitingB));
    EXPECT_EQ(NewCommands(3), (V{"AT+XLCSLSR=1,1,,,,,400,,,", "AT+XLSRSTOP=0,1", "AT+XLCSLSR=1,1,,,,,200,,,"}));

    // NMEA wanted while the request runs: the next start re-issues it with NMEA.
    ASSERT_EQ(a.Nmea(256), STATUS_SUCCESS);
    ASSERT_EQ(a.Start(3, GNSS_FixSession_SingleShot, 0), STATUS_SUCCESS);
    EXPECT_EQ(FixOf(waitingB).FixSessionID, 2u);
    ASSERT_EQ(a.Stop(3), STATUS_SUCCESS);
    ASSERT_EQ(b.Stop(2), STATUS_SUCCESS);  // the last client: the request is stopped
    ASSERT_TRUE(gnssd.WaitForLog("Stop SUCCESS for SessionID=3"));
    EXPECT_EQ(NewCommands(3), (V{"AT+XLSRSTOP=0,2", "AT+XLCSLSR=1,1,,,,,1,,,2", "AT+XLSRSTOP=0,3"}));

    // The last fix is now the last-known-good one.
    ASSERT_EQ(b.Start(8, GNSS_FixSession_LKG, 0), STATUS_SUCCESS);
    auto known = b.GetFix(8);
    const GNSS_FIXDATA last = FixOf(known);
    EXPECT_EQ(last.FixStatus, STATUS_SUCCESS);
    EXPECT_EQ(last.FixSessionID, 8u);
    EXPECT_NEAR(last.BasicData.Latitude, 47.3769, 0.02);
    const CommandResult lkgCtl = gnssd.Gnssctl({"fix", "--lkg", "--json"});
    EXPECT_EQ(lkgCtl.status, 0) << lkgCtl.err;
    EXPECT_NEAR(JsonNumber(lkgCtl.out, "latitude"), 47.3769, 0.02);
}

TEST_F(Fixes, AStopNamingSessionZeroStopsNoOnesSession) {
    // The first report comes a while after the request, so that a stop that
    // reached the engine would end the request before it.
    StartGnssd("chip=rxa7300,ttff=40");
    Session a(gnssd.Socket()), b(gnssd.Socket());
    ASSERT_EQ(a.Start(1, GNSS_FixSession_SingleShot, 0), STATUS_SUCCESS);
    auto fix = a.GetFix(1);
    ASSERT_TRUE(gnssd.WaitForLog("Pot Fixdata Request to Manual Queue"));

    // B runs a last-known-good session only: its slots hold no session, and
    // a stop naming 0 names none of them.
    ASSERT_EQ(b.Start(9, GNSS_FixSession_LKG, 0), STATUS_SUCCESS);
    ASSERT_EQ(b.Stop(0), STATUS_SUCCESS);
    ASSERT_EQ(fix.wait_for(kPatience), std::future_status::ready) << "A's fix never came";
    const GNSS_FIXDATA first = FixOf(fix);
    EXPECT_EQ(first.FixSessionID, 1u);
    EXPECT_NEAR(first.BasicData.Latitude, 47.3769, 0.02);
    // The one request is stopped once, by A.
    ASSERT_EQ(a.Stop(1), STATUS_SUCCESS);
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLSR=1,1,,,,,1,,,", "AT+XLSRSTOP=0,1"}));

    // No session may be started under 0, the id of an empty slot.
    EXPECT_EQ(b.Start(0, GNSS_FixSession_SingleShot, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.Start(0, GNSS_FixSession_ContinuousTracking, 1), STATUS_INVALID_PARAMETER);
}

// A capture of `epochs` epochs of one GGA and one RMC sentence each.
std::string SmallCapture(int epochs) {
    const auto sentence = [](const std::string& body) {
        unsigned sum = 0;
        for (const char c : body) sum ^= static_cast<unsigned char>(c);
        char tail[8];
        std::snprintf(tail, sizeof tail, "*%02X", sum);
        return "$" + body + tail;
    };
    std::string text;
    for (int i = 0; i < epochs; ++i) {
        char t[32], lat[32];
        std::snprintf(t, sizeof t, "1200%02d.00", i);
        std::snprintf(lat, sizeof lat, "4722.%05d", 100 * i);
        text += sentence("GPGGA," + std::string(t) + "," + lat + ",N,00832.50000,E,1,08,0.9,410.0,M,47.0,M,,") +
                "\r\n" + sentence("GPRMC," + std::string(t) + ",A," + lat + ",N,00832.50000,E,5.0,90.0,010524,,,A") +
                "\r\n";
    }
    return text;
}

TEST(FixesNmea, QueuedBlocksAndTheLogFile) {
    for (const int epochs : {5, 6}) {
        SCOPED_TRACE(epochs);
        TempDir dir;
        GnssdProcess gnssd(dir);
        const std::string capture = dir.File("capture.nmea");
        {
            std::ofstream(capture) << SmallCapture(epochs);
        }
        ASSERT_TRUE(gnssd.Start("sim:chip=rxa7300,replay=" + capture));
        ASSERT_EQ(gnssd.Gnssctl({"command", "SetLocationServiceEnabled", "--byte", "1"}).status, 0);
        const CommandResult log = gnssd.Gnssctl({"nmea", "--log", "on"});
        ASSERT_EQ(log.status, 0) << log.err;
        // The log file stays open after gnssctl has gone, and takes NMEA
        // while some client wants it.  This one wants it but nobody listens
        // while the fixes come: the blocks are queued.
        Session wanting(gnssd.Socket());
        ASSERT_EQ(wanting.Nmea(256), STATUS_SUCCESS);
        const CommandResult track =
            gnssd.Gnssctl({"track", "--interval", "1", "--count", std::to_string(epochs)});
        ASSERT_EQ(track.status, 0) << track.err;
        V sentences = Lines(SmallCapture(epochs));
        for (auto& s : sentences) s.pop_back();  // the CR
        ASSERT_TRUE(WaitForText(dir.File("NmeaLog.txt"), sentences.back()));

        // Five blocks are read in order; a sixth has cleared the five before it.
        const V expected = epochs == 5 ? sentences : V(sentences.end() - 2, sentences.end());
        const CommandResult nmea = gnssd.Gnssctl(
            {"nmea", "--count", std::to_string(expected.size()), "--timeout", "10"});
        ASSERT_EQ(nmea.status, 0) << nmea.err;
        EXPECT_EQ(Lines(nmea.out), expected);
        EXPECT_EQ(CountOccurrences(gnssd.Log(), "NMEA Queue hit MAX, Clearing it."), epochs == 5 ? 0u : 1u);
        // The log file: a restart line, then every sentence as received.
        std::string logged = "---------------Restart-----------------\r\n";
        logged += '\0';
        for (const auto& s : sentences) logged += s + "\r\n";
        EXPECT_EQ(ReadFile(dir.File("NmeaLog.txt")), logged);
        EXPECT_EQ(gnssd.Stop(), 0);
    }
}

// A listener's NMEA request and a tracker's fix request wait in the driver
// side by side; each is answered only by what it asked for.
TEST(FixesNmea, AListenerAndATrackerEachGetTheirOwnAnswers) {
    constexpr int kEpochs = 4;
    TempDir dir;
    GnssdProcess gnssd(dir);
    const std::string capture = dir.File("capture.nmea");
    {
        std::ofstream(capture) << SmallCapture(kEpochs);
    }
    V sentences = Lines(SmallCapture(kEpochs));
    for (auto& s : sentences) s.pop_back();  // the CR
    // The driver keeps only the last fix for a tracker that is not waiting,
    // so one that falls behind on a loaded machine misses fixes: the capture
    // plays in a loop, at a quarter of real time, so that no count is out of
    // reach.
    ASSERT_TRUE(gnssd.Start("sim:chip=rxa7300,loop=on,time-scale=0.25,replay=" + capture))
        << gnssd.Stderr();
    ASSERT_EQ(gnssd.Gnssctl({"command", "SetLocationServiceEnabled", "--byte", "1"}).status, 0);
    const std::string nmeaOut = dir.File("nmea.out");
    const Spawned nmea = gnssd.GnssctlAsync(
        {"nmea", "--count", std::to_string(sentences.size()), "--timeout", "30"}, nmeaOut);
    // NMEA is wanted and the listener's first request waits.
    ASSERT_TRUE(gnssd.WaitForLog("GNSS_SetNMEALogging Data=256"));
    ASSERT_TRUE(gnssd.WaitForLog("NMEA Queue, No Data Available."));

    const CommandResult track = gnssd.Gnssctl(
        {"track", "--interval", "1", "--json", "--count", std::to_string(kEpochs)});
    ASSERT_EQ(track.status, 0) << track.err;
    const V json = Lines(track.out);
    ASSERT_EQ(json.size(), static_cast<std::size_t>(kEpochs));
    for (const std::string& fix : json) {
        // Epoch i of the capture is at 12:00:0i, 47 deg 22.00i min north.
        SCOPED_TRACE(fix);
        const std::string time = JsonText(fix, "time");
        ASSERT_EQ(time.substr(0, 18), "2024-05-01T12:00:0");
        const int epoch = time[18] - '0';
        ASSERT_TRUE(epoch >= 0 && epoch < kEpochs);
        EXPECT_NEAR(JsonNumber(fix, "latitude"), 47.0 + (22.0 + 0.001 * epoch) / 60.0, 1e-6);
        EXPECT_NEAR(JsonNumber(fix, "longitude"), 8.0 + 32.5 / 60.0, 1e-6);
    }

    // The listener heard the capture's sentences, and nothing else.
    EXPECT_EQ(WaitExit(nmea.pid), 0) << ReadFile(nmeaOut + ".err");
    const V heard = Lines(ReadFile(nmeaOut));
    EXPECT_EQ(heard.size(), sentences.size());
    for (const std::string& sentence : heard) {
        EXPECT_NE(std::find(sentences.begin(), sentences.end(), sentence), sentences.end())
            << sentence;
    }
    EXPECT_EQ(gnssd.Stop(), 0);
}

// The folder may be moved with GNSS_NMEA_CAPTURES in the environment.
std::string CaptureFolder() {
    const char* folder = std::getenv("GNSS_NMEA_CAPTURES");
    return folder != nullptr && *folder != '\0' ? folder : GNSS_NMEA_CAPTURES;
}

class Replay : public ::testing::TestWithParam<const char*> {};

TEST_P(Replay, EveryFixAndSentenceOfTheCaptureArrives) {
    const std::string capture = CaptureFolder() + "/" + GetParam();
    const sim::Capture parsed = sim::LoadCapture(capture, 0);
    V sentences;
    std::vector<const sim::Fix*> fixes;
    for (const auto& epoch : parsed.epochs) {
        sentences.insert(sentences.end(), epoch.nmea.begin(), epoch.nmea.end());
        if (epoch.fix.valid) fixes.push_back(&epoch.fix);
    }
    ASSERT_FALSE(fixes.empty());
    ASSERT_TRUE(parsed.epochs.back().fix.valid);  // so every sentence comes before the last fix

    TempDir dir;
    GnssdProcess gnssd(dir);
    // The modem reports at a tenth of real time (the driver's waits run at
    // the test's faster scale): a tracker that re-arms its one fix request
    // has time to do so between two fixes also on a busy machine, since the
    // driver keeps only the latest fix nobody has asked for yet.
    ASSERT_TRUE(gnssd.Start("sim:chip=rxa7300,time-scale=0.1,replay=" + capture));
    ASSERT_EQ(gnssd.Gnssctl({"command", "SetLocationServiceEnabled", "--byte", "1"}).status, 0);
    ASSERT_EQ(gnssd.Gnssctl({"nmea", "--log", "on"}).status, 0);
    const std::string nmeaOut = dir.File("nmea.out");
    const Spawned nmea =
        gnssd.GnssctlAsync({"nmea", "--count", std::to_string(sentences.size()), "--timeout", "30"}, nmeaOut);
    ASSERT_TRUE(gnssd.WaitForLog("GNSS_SetNMEALogging Data=256"));
    const CommandResult track =
        gnssd.Gnssctl({"track", "--interval", "1", "--json", "--count", std::to_string(fixes.size())});
    ASSERT_EQ(track.status, 0) << track.err;

    const V json = Lines(track.out);
    ASSERT_EQ(json.size(), fixes.size());
    for (std::size_t i = 0; i < fixes.size(); ++i) {
        SCOPED_TRACE(json[i]);
        const sim::Fix& f = *fixes[i];
        char time[32];
        std::snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02d", f.time.year, f.time.month, f.time.day,
                      f.time.hour, f.time.minute, f.time.second);
        EXPECT_EQ(JsonText(json[i], "time").substr(0, 19), time);
        EXPECT_NEAR(JsonNumber(json[i], "latitude"), f.latitude, 1e-6);
        EXPECT_NEAR(JsonNumber(json[i], "longitude"), f.longitude, 1e-6);
        EXPECT_EQ(CountOccurrences(json[i], "{\"id\":"), f.satellites.size());
    }

    // The log file takes every block as it comes: byte for byte and in order.
    std::string logged = "---------------Restart-----------------\r\n";
    logged += '\0';
    for (const auto& s : sentences) logged += s + "\r\n";
    ASSERT_TRUE(WaitForText(dir.File("NmeaLog.txt"), sentences.back()));
    EXPECT_EQ(ReadFile(dir.File("NmeaLog.txt")), logged);

    // A listener gets every sentence once, unless it fell so far behind that
    // the driver's five-block queue overflowed, which the driver reports.  A
    // block may reach it ahead of the one before (one that came while its
    // request went from an empty queue to waiting), so compare sorted.
    const bool overflowed = CountOccurrences(gnssd.Log(), "NMEA Queue hit MAX, Clearing it.") > 0;
    if (overflowed) ::kill(nmea.pid, SIGINT);
    EXPECT_EQ(WaitExit(nmea.pid), 0) << ReadFile(nmeaOut + ".err");
    V heard = Lines(ReadFile(nmeaOut));
    V all = sentences;
    std::sort(heard.begin(), heard.end());
    std::sort(all.begin(), all.end());
    if (!overflowed) {
        EXPECT_EQ(heard, all);
    } else {
        EXPECT_LT(heard.size(), all.size());
        EXPECT_TRUE(std::includes(all.begin(), all.end(), heard.begin(), heard.end()));
    }
    EXPECT_EQ(gnssd.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Captures, Replay,
                         ::testing::Values("quectel.log", "skytraq-dgps.log", "telit-he910.log", "ublox-8.log"),
                         [](const auto& info) { return "capture" + std::to_string(info.index + 1); });

TEST_F(Fixes, ALocationRequestAnsweredErrorIsRetriedTenTimes) {
    StartGnssd("chip=rxa7300,fault=error:AT+XLCSLSR");
    const std::string out = dir.File("fix.out");
    const Spawned fix = gnssd.GnssctlAsync({"fix"}, out);
    ASSERT_TRUE(gnssd.WaitForLog("MAX retries reached, give-up"));
    EXPECT_EQ(CountOccurrences(gnssd.Log(), "SINGLESHOT_RETRY ["), 11u);
    EXPECT_EQ(NewCommands(11), V(11, "AT+XLCSLSR=1,1,,,,,1,,,"));
    // Ctrl-C: the waiting request is taken back and the session stopped.
    ::kill(fix.pid, SIGINT);
    EXPECT_EQ(WaitExit(fix.pid), 1);
    EXPECT_EQ(ReadFile(out + ".err"), "gnssctl: fix: interrupted; the fix session was stopped\n");
    ASSERT_TRUE(gnssd.WaitForLog("OnGNSSStopFixSession FixSessionID="));
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Fixes, PositionErrorsOnBothGenerations) {
    // RXA7300: the error is passed over, the next report is the fix.
    StartGnssd("chip=rxa7300,fault=naverror:1");
    EXPECT_EQ(gnssd.Gnssctl({"fix"}).status, 0);
    EXPECT_EQ(CountOccurrences(gnssd.Log(), "GNSS_RESPONSE_NAVERROR Received"), 1u);
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLSR=1,1,,,,,1,,,", "AT+XLSRSTOP=0,1"}));
    ASSERT_EQ(gnssd.Stop(), 0);

    // PV7710: the first-fix request fails and the periodic request replaces it;
    // the first fix still counts as the first one and issues it once more.
    ::unlink(Record().c_str());
    seen = 0;
    StartGnssd("chip=pv7710,fault=naverror:1");
    const CommandResult track = gnssd.Gnssctl({"track", "--interval", "1", "--count", "2"});
    EXPECT_EQ(track.status, 0) << track.err;
    EXPECT_EQ(Lines(track.out).size(), 2u);
    EXPECT_EQ(NewCommands(5), (V{"AT+XLCSLQOS=50,300,150,0", "AT+XLCSLSR=1,1,,,,,,,,", "AT+XLCSLSR=1,1,,,,,1,,,",
                                "AT+XLCSLSR=1,1,,,,,1,,,", "AT+XLSRSTOP=0,3"}));
    EXPECT_EQ(CountOccurrences(gnssd.Log(), "GNSS_RESPONSE_NAVERROR Received"), 2u);  // one a run
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Fixes, AKilledClientLeavesNeitherItsSessionNorItsNmeaRequestBehind) {
    StartGnssd("chip=rxa7300");
    // A tracker killed after its first fix: gnssd stops its session for it.
    const std::string trackOut = dir.File("track.out");
    const Spawned tracker = gnssd.GnssctlAsync({"track", "--interval", "1"}, trackOut);
    ASSERT_TRUE(WaitForText(trackOut, "\n"));
    ::kill(tracker.pid, SIGKILL);
    EXPECT_EQ(WaitExit(tracker.pid), 128 + SIGKILL);
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLSR=1,1,,,,,1,,,", "AT+XLSRSTOP=0,1"}));
    // The location service switched on again, fixes come as before.
    LocationOn();
    const CommandResult fix = gnssd.Gnssctl({"fix", "--timeout", "20"});
    EXPECT_EQ(fix.status, 0) << fix.err;
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLSR=1,1,,,,,1,,,", "AT+XLSRSTOP=0,2"}));
    EXPECT_EQ(CountOccurrences(gnssd.Log(), "NumberOfClients=2"), 0u);

    // An NMEA listener with a session of its own, killed: its session is
    // stopped and its NMEA request withdrawn, so the next request asks for none.
    const std::string nmeaOut = dir.File("nmea.out");
    const Spawned nmea = gnssd.GnssctlAsync({"nmea", "--track", "1"}, nmeaOut);
    ASSERT_TRUE(WaitForText(nmeaOut, "\n"));
    ::kill(nmea.pid, SIGKILL);
    EXPECT_EQ(WaitExit(nmea.pid), 128 + SIGKILL);
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLSR=1,1,,,,,1,,,2", "AT+XLSRSTOP=0,3"}));
    ASSERT_TRUE(gnssd.WaitForLog("GNSS_SetNMEALogging Data=1"));
    EXPECT_EQ(gnssd.Gnssctl({"fix", "--timeout", "20"}).status, 0);
    EXPECT_EQ(NewCommands(2), (V{"AT+XLCSLSR=1,1,,,,,1,,,", "AT+XLSRSTOP=0,4"}));
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Fixes, SurpriseRemovalDuringTrackingAndTheModemComingBack) {
    StartGnssd("chip=rxa7300,fault=unplug:on:AT+XLSRSTOP=");
    const std::string out = dir.File("track.out");
    const Spawned tracker = gnssd.GnssctlAsync({"track", "--interval", "60"}, out);
    // The first fix, then the next request waits in the driver.
    ASSERT_TRUE(WaitForText(out, "\n"));
    const std::string parked = "Pot Fixdata Request to Manual Queue";
    const std::string log = gnssd.Log();
    const std::size_t before = CountOccurrences(log.substr(0, log.find("Latitude=")), parked);
    ASSERT_TRUE(gnssd.WaitForLog(parked, before + 1));
    // A second tracker with a shorter interval makes the engine stop the
    // running request, and the modem drops off the bus.
    const CommandResult second = gnssd.Gnssctl({"track", "--interval", "5", "--count", "1"});
    EXPECT_NE(second.status, 0);
    EXPECT_NE(WaitExit(tracker.pid), 0);
    EXPECT_NE(ReadFile(out + ".err").find("gnssctl: "), std::string::npos);

    ASSERT_TRUE(gnssd.WaitForLog("device attached again"));
    EXPECT_LT(gnssd.Log().find("device removed: waiting for the modem"), gnssd.Log().find("device attached again"));
    LocationOn();
    const CommandResult fix = gnssd.Gnssctl({"fix", "--json"});
    EXPECT_EQ(fix.status, 0) << fix.err;
    EXPECT_NEAR(JsonNumber(fix.out, "latitude"), 47.3769, 0.02);
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Fixes, AModemThatGoesAndComesBackLeavesNothingOpenBehind) {
    StartGnssd("chip=rxa7300,fault=unplug:on:AT+XLCSLSR");
    const Descriptors before = OpenDescriptors(gnssd.Pid(), Record());
    ASSERT_EQ(before.matching, 1u);  // the modem's record file
    // The location request unplugs the modem; a fresh one comes back at once.
    EXPECT_NE(gnssd.Gnssctl({"fix"}).status, 0);
    ASSERT_TRUE(gnssd.WaitForLog("device attached again"));
    const Descriptors after = OpenDescriptors(gnssd.Pid(), Record());
    EXPECT_EQ(after.matching, 1u) << "the record file of the modem that went is still open";
    EXPECT_EQ(after.files, before.files);
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Fixes, AnUnplugDuringTrackingEndsItsSessionAndTheModemThatComesBackIsServedAtOnce) {
    // The modem drops off the bus when it is told to clear its assistance
    // data, which a running session pauses for.
    StartGnssd("chip=rxa7300,fault=unplug:on:AT+XLGNVRAM");
    const std::string out = dir.File("track.out");
    const Spawned tracker = gnssd.GnssctlAsync({"track", "--interval", "1"}, out);
    ASSERT_TRUE(WaitForText(out, "\n")) << ReadFile(out + ".err");
    const CommandResult clear = gnssd.Gnssctl({"agnss", "--clear", "all"});
    ASSERT_EQ(clear.status, 0) << clear.err;
    ASSERT_TRUE(gnssd.WaitForLog("device attached again"));
    // An open right after the replug is served by the new device.
    const CommandResult on = gnssd.Gnssctl({"location", "on"});
    EXPECT_EQ(on.status, 0) << on.err;
    EXPECT_NE(WaitExit(tracker.pid), 0);  // its device went

    // The session ended with the device that went: the engine tried nothing
    // more for it before it took the removal ...
    const std::string log = gnssd.Log();
    const std::size_t unplugged = log.find("AT+XLGNVRAM=127,0");
    ASSERT_NE(unplugged, std::string::npos);
    const std::size_t taken =
        log.find("ModemStateThread ERROR: Received m_hDeviceRemoveEvent", unplugged);
    ASSERT_NE(taken, std::string::npos);
    EXPECT_EQ(log.substr(unplugged, taken - unplugged).find("AT+XLCSLSR"), std::string::npos)
        << "a location request of the removed device's session was attempted";
    // ... and nothing of it reached the modem that came back.
    const std::string record = ReadFile(Record());
    const std::size_t cleared = record.find("AT+XLGNVRAM=127,0");
    ASSERT_NE(cleared, std::string::npos);
    EXPECT_EQ(LocationCommands(record.substr(cleared)), V{});
    EXPECT_EQ(CountOccurrences(log, "VIOLATION"), 0u);
    EXPECT_EQ(gnssd.Stop(), 0);

    // SIGTERM while the modem comes back: gnssd ends in order, and no call
    // reaches the framework with the handle of a device that is gone.
    ::unlink(Record().c_str());
    GnssdProcess again(dir);
    ASSERT_TRUE(again.Start("sim:chip=rxa7300,fault=unplug:on:AT+XLGNVRAM,record=" + Record()));
    ASSERT_EQ(again.Gnssctl({"location", "on"}).status, 0);
    const Spawned second = again.GnssctlAsync({"track", "--interval", "1"}, out);
    ASSERT_TRUE(WaitForText(out, "\n"));
    ASSERT_EQ(again.Gnssctl({"agnss", "--clear", "all"}).status, 0);
    ASSERT_TRUE(again.WaitForLog("device removed: waiting for the modem"));
    EXPECT_EQ(again.Stop(), 0);
    EXPECT_NE(WaitExit(second.pid), 0);
    EXPECT_EQ(CountOccurrences(again.Log(), "VIOLATION"), 0u);
    EXPECT_EQ(CountOccurrences(again.Log(), "did not take the device removal in time"), 0u);
}

TEST(FixesTty, FixAndTrackThroughModemsimOnAPseudoTerminalThatGoesAndComesBack) {
    TempDir dir, second;
    auto modem = std::make_unique<ModemsimPty>(dir, V{"--chip", "rxa7300"});
    ASSERT_FALSE(modem->Path().empty());
    // The daemon knows the modem by a link, as by a udev name.
    const std::string link = dir.File("modem");
    ASSERT_EQ(::symlink(modem->Path().c_str(), link.c_str()), 0);
    GnssdProcess gnssd(dir);
    ASSERT_TRUE(gnssd.Start("tty:" + link)) << gnssd.Stderr();
    ASSERT_EQ(gnssd.Gnssctl({"command", "SetLocationServiceEnabled", "--byte", "1"}).status, 0);
    const CommandResult fix = gnssd.Gnssctl({"fix"});
    ASSERT_EQ(fix.status, 0) << fix.err;
    EXPECT_NE(fix.out.find("  latitude             47.3"), std::string::npos) << fix.out;
    const CommandResult track = gnssd.Gnssctl({"track", "--interval", "1", "--count", "2"});
    EXPECT_EQ(track.status, 0) << track.err;
    EXPECT_EQ(Lines(track.out).size(), 2u);

    // The port goes away; once the link names a port again, the daemon serves again.
    modem.reset();
    ASSERT_TRUE(gnssd.WaitForLog("device removed: waiting for the modem (tty:" + link + ")"));
    modem = std::make_unique<ModemsimPty>(second, V{"--chip", "rxa7300"});
    const std::string fresh = dir.File("modem.new");
    ASSERT_EQ(::symlink(modem->Path().c_str(), fresh.c_str()), 0);
    ASSERT_EQ(::rename(fresh.c_str(), link.c_str()), 0);
    ASSERT_TRUE(gnssd.WaitForLog("device attached again (tty:" + link + ")"));
    ASSERT_EQ(gnssd.Gnssctl({"command", "SetLocationServiceEnabled", "--byte", "1"}).status, 0);
    const CommandResult again = gnssd.Gnssctl({"fix"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST(FixesTty, ReplugsOfAModemOnAPseudoTerminalLeaveNoDescriptorBehind) {
    TempDir dir;
    auto modemDir = std::make_unique<TempDir>();
    auto modem = std::make_unique<ModemsimPty>(*modemDir, V{"--chip", "rxa7300"});
    ASSERT_FALSE(modem->Path().empty());
    const std::string link = dir.File("modem");
    ASSERT_EQ(::symlink(modem->Path().c_str(), link.c_str()), 0);
    GnssdProcess gnssd(dir);
    ASSERT_TRUE(gnssd.Start("tty:" + link)) << gnssd.Stderr();

    constexpr std::size_t kReplugs = 8;
    Descriptors first;
    for (std::size_t replug = 1; replug <= kReplugs; ++replug) {
        SCOPED_TRACE(replug);
        // The port goes away; the next use of the device finds it gone (the
        // command itself may fail or not, depending on when).
        modem.reset();
        [[maybe_unused]] const CommandResult touch = gnssd.Gnssctl({"location", "on"});
        ASSERT_TRUE(gnssd.WaitForLog("device removed: waiting for the modem", replug));
        modemDir = std::make_unique<TempDir>();
        modem = std::make_unique<ModemsimPty>(*modemDir, V{"--chip", "rxa7300"});
        ASSERT_FALSE(modem->Path().empty());
        const std::string fresh = dir.File("modem.new");
        ASSERT_EQ(::symlink(modem->Path().c_str(), fresh.c_str()), 0);
        ASSERT_EQ(::rename(fresh.c_str(), link.c_str()), 0);
        ASSERT_TRUE(gnssd.WaitForLog("device attached again", replug));

        const Descriptors now = OpenDescriptors(gnssd.Pid(), "/dev/pts/");
        EXPECT_EQ(now.matching, 1u) << "gnssd still holds the terminals of modems that went";
        if (replug == 1) first = now;
        EXPECT_EQ(now.files, first.files);
    }
    ASSERT_EQ(gnssd.Gnssctl({"location", "on"}).status, 0);
    EXPECT_EQ(gnssd.Gnssctl({"fix"}).status, 0);
    EXPECT_EQ(gnssd.Stop(), 0);
}

}  // namespace
}  // namespace gnss::test
