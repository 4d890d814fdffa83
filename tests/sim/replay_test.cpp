// Replay of recorded NMEA captures: reports against the decoder's expected
// output (*.log.chk), NMEA blocks against the capture itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "SimHost.h"
#include "TempDir.h"
#include "gnss/sim/receiver.h"
#include "gnss/sim/report.h"

#ifndef GNSS_NMEA_CAPTURES
#error "GNSS_NMEA_CAPTURES must name the folder of the NMEA captures"
#endif

namespace gnss::sim::test {
namespace {

// The folder may be moved with GNSS_NMEA_CAPTURES in the environment.
std::string CaptureFolder() {
    const char* folder = std::getenv("GNSS_NMEA_CAPTURES");
    return folder != nullptr && *folder != '\0' ? folder : GNSS_NMEA_CAPTURES;
}

std::string CapturePath(const std::string& name) { return CaptureFolder() + "/" + name; }

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Checksum test written independently of the modem's.
bool ChecksumOk(const std::string& s) {
    if (s.size() < 4 || s[0] != '$' || s[s.size() - 3] != '*') return false;
    unsigned sum = 0;
    for (std::size_t i = 1; i + 3 < s.size(); ++i) sum ^= static_cast<unsigned char>(s[i]);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    return s.compare(s.size() - 2, 2, hex) == 0;
}

// The whole sentences of a capture, in order, as they stand in the file.
std::vector<std::string> CaptureSentences(const std::string& content) {
    std::vector<std::string> out;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t dollar = line.find('$');
        if (dollar != std::string::npos && ChecksumOk(line.substr(dollar))) out.push_back(line.substr(dollar));
    }
    return out;
}

struct Expected {
    std::string time;  // "2020-10-07T02:20:21.000Z"
    double lat, lon;
};

std::string JsonText(const std::string& json, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    const std::size_t at = json.find(tag);
    if (at == std::string::npos) return {};
    std::size_t begin = at + tag.size();
    if (json[begin] == '"') return json.substr(begin + 1, json.find('"', begin + 1) - begin - 1);
    return json.substr(begin, json.find_first_of(",}", begin) - begin);
}

// One entry per fix epoch of the decoder's output: TPV lines with a 2D or 3D
// fix, a time and a position; consecutive lines of one time are one epoch.
std::vector<Expected> DecoderFixes(const std::string& chk) {
    std::vector<Expected> out;
    std::istringstream in(chk);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("{\"class\":\"TPV\"", 0) != 0) continue;
        const std::string mode = JsonText(line, "mode"), time = JsonText(line, "time");
        const std::string lat = JsonText(line, "lat"), lon = JsonText(line, "lon");
        if (mode.empty() || std::stoi(mode) < 2 || time.empty() || lat.empty() || lon.empty()) continue;
        if (!out.empty() && out.back().time == time) continue;
        out.push_back({time, std::stod(lat), std::stod(lon)});
    }
    return out;
}

struct Played {
    std::vector<std::string> reports, sentences, lines;
};

Played Play(const std::string& options) {
    Modem modem(FastOptions("time-scale=0.001," + options));
    Host host(modem);
    host.Command("AT+XLCSSWITCH=1");
    EXPECT_EQ(host.Command("AT+XLCSLSR=1,1,,,,,1,,,2").back(), "OK");
    EXPECT_TRUE(modem.WaitReplayFinished(kPatience * 3));
    Played played;
    while (auto line = host.Line(0ms)) {
        played.lines.push_back(*line);
        if (line->rfind("$", 0) == 0) played.sentences.push_back(*line);
        else if (line->rfind("+XLCSLSR: ", 0) == 0 && line->find("ERROR") == std::string::npos &&
                 line->find("request id") == std::string::npos)
            played.reports.push_back(*line);
    }
    return played;
}

class SimReplay : public ::testing::TestWithParam<const char*> {};

TEST_P(SimReplay, ReportsMatchTheDecoderAndSentencesPassUnchanged) {
    const std::string capture = CapturePath(GetParam());
    ASSERT_TRUE(std::filesystem::exists(capture)) << "the NMEA captures are expected in " << CaptureFolder();
    const std::vector<Expected> expected = DecoderFixes(Slurp(capture + ".chk"));
    ASSERT_FALSE(expected.empty());

    const Played played = Play("shape=1,replay=" + capture);
    ASSERT_EQ(played.reports.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(played.reports[i]);
        const auto fields = ReportFields(played.reports[i]);
        const ReportTime t = ReadReportTime(played.reports[i], 62 - 55);
        char text[64];
        std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        EXPECT_EQ(expected[i].time.substr(0, 19), text);
        EXPECT_NEAR(ReadCoordinate(fields[1]), expected[i].lat, 1e-6);
        EXPECT_NEAR(ReadCoordinate(fields[2]), expected[i].lon, 1e-6);
    }
    EXPECT_EQ(played.sentences, CaptureSentences(Slurp(capture)));
}

INSTANTIATE_TEST_SUITE_P(Captures, SimReplay,
                         ::testing::Values("quectel.log", "skytraq-dgps.log", "telit-he910.log", "ublox-8.log"),
                         [](const auto& info) { return "capture" + std::to_string(info.index + 1); });

TEST(SimReplayCapture, EpochsWithoutFixBecomePositionErrors) {
    const std::string capture = CapturePath("quectel.log");
    const Capture parsed = LoadCapture(capture, 0);
    ASSERT_LT(parsed.validFixes, parsed.epochs.size());

    const Played played = Play("nofix=error,replay=" + capture);
    std::size_t errors = 0;
    for (std::size_t i = 0; i < played.lines.size(); ++i) {
        if (played.lines[i] != kPositionErrorLine) continue;
        ++errors;
        // No OK closes a position error.
        if (i + 1 < played.lines.size()) {
            EXPECT_NE(played.lines[i + 1], "OK");
        }
    }
    EXPECT_EQ(played.reports.size(), parsed.validFixes);
    EXPECT_EQ(errors, parsed.epochs.size() - parsed.validFixes);
}

TEST(SimReplayCapture, LoopStartsTheCaptureAgain) {
    Modem modem(FastOptions("time-scale=0.001,loop=on,replay=" + CapturePath("ublox-8.log")));
    Host host(modem);
    host.Command("AT+XLCSSWITCH=1");
    host.Command("AT+XLCSLSR=1,1,,,,,1,,,");
    const std::size_t epochs = modem.Status().replayEpochs;
    std::vector<std::string> reports;
    while (reports.size() < epochs + 2) {
        const auto report = host.Report();
        ASSERT_TRUE(report);
        reports.push_back(*report);
    }
    EXPECT_EQ(reports[epochs], reports[0]);
    EXPECT_FALSE(modem.Status().replayFinished);
}

TEST(SimReplayCapture, CuttingRules) {
    const auto s = [](const std::string& body) { return NmeaSentence(body); };
    const std::string content =
        "# a comment line $GPGGA,not,a,sentence\n"
        "\x01\x02noise" + s("GPGGA,235959.00,4722.00000,N,00832.00000,E,1,08,0.9,400.0,M,47.0,M,,") + "\r\n" +
        s("GPGSA,A,3,05,12,,,,,,,,,,,1.8,0.9,1.5") + "\n" +
        s("GLGSV,1,1,02,70,45,120,40,81,10,300,") + "\n" +
        s("GPGSV,1,1,02,05,60,045,45,12,30,200,38") + "\n" +
        s("GPRMC,235959.00,A,4722.00000,N,00832.00000,E,10.0,90.0,311224,,,A") + "\n" +
        s("GPGST,235959.00,2.0,3.0,1.5,30.0,2.5,2.0,4.0") + "\n" +
        s("GPGGA,000000.00,4722.00100,N,00832.00000,E,1,08,0.9,400.0,M,47.0,M,,") + "\n" +
        "$GPGGA,000001.00,4722.00200,N,00832.00000,E,1,08,0.9,400.0,M,47.0,M,,*00\n" +  // bad checksum
        s("GPGGA,,,,,,0,00,,,M,,M,,") + "\n" +
        s("GPRMC,,V,,,,,,,,,,N") + "\n" +
        s("GPGGA,,,,,,0,00,,,M,,M,,") + "\n" +
        "$GPRMC,000003.00,A,4722.0";  // cut off
    const Capture capture = ParseCapture(content, 0);
    ASSERT_EQ(capture.epochs.size(), 4u);
    EXPECT_EQ(capture.validFixes, 2u);

    const Epoch& first = capture.epochs[0];
    ASSERT_EQ(first.nmea.size(), 6u);
    EXPECT_EQ(first.nmea[0].substr(0, 6), "$GPGGA");
    const Fix& fix = first.fix;
    EXPECT_TRUE(fix.valid);
    EXPECT_EQ(fix.time.year, 2024);
    EXPECT_EQ(fix.time.day, 31);
    EXPECT_NEAR(fix.latitude, 47.0 + 22.0 / 60, 1e-9);
    EXPECT_NEAR(fix.speed, 10.0 * 0.514444, 1e-6);
    EXPECT_DOUBLE_EQ(fix.heading, 90.0);
    EXPECT_DOUBLE_EQ(fix.altitude, 400.0);
    EXPECT_FLOAT_EQ(static_cast<float>(fix.pdop), 1.8f);
    EXPECT_DOUBLE_EQ(fix.altitudeError, 4.0);
    EXPECT_GT(fix.semiMajor, fix.semiMinor);
    ASSERT_EQ(fix.satellites.size(), 4u);
    EXPECT_EQ(fix.satellites[0].id, 5);
    EXPECT_TRUE(fix.satellites[0].used);
    EXPECT_EQ(fix.satellites[2].constellation, Constellation::Glonass);
    EXPECT_EQ(fix.satellites[2].id, 70);
    EXPECT_FALSE(fix.satellites[2].used);

    // Past midnight without a date of its own: the next day.
    const Fix& second = capture.epochs[1].fix;
    EXPECT_EQ(second.time.year, 2025);
    EXPECT_EQ(second.time.month, 1);
    EXPECT_EQ(second.time.day, 1);
    EXPECT_FALSE(capture.epochs[2].fix.valid);
    EXPECT_FALSE(capture.epochs[3].fix.valid);

    // A capture without any date takes the given one.
    const Capture undated = ParseCapture(s("GPGGA,120000.00,4722.0,N,00832.0,E,1,05,1.0,1.0,M,,M,,"), 86400 * 365);
    ASSERT_EQ(undated.epochs.size(), 1u);
    EXPECT_EQ(undated.epochs[0].fix.time.year, 1971);
    EXPECT_EQ(undated.epochs[0].fix.time.hour, 12);

    EXPECT_THROW(ParseCapture("# nothing here\n", 0), std::runtime_error);
    EXPECT_THROW({ Modem m(FastOptions("replay=/nonexistent/capture.nmea")); }, std::runtime_error);
}

}  // namespace
}  // namespace gnss::sim::test
