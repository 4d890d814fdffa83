// Command answers, byte for byte, and the state the commands leave behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "SimHost.h"
#include "TempDir.h"
#include "gnss/sim/modem.h"

namespace gnss::sim::test {
namespace {

std::string Ok(const std::string& lines = {}) { return lines + "\r\nOK\r\n"; }
std::string Answer(const std::string& line) { return "\r\n" + line + "\r\n"; }
const std::string kError = "\r\nERROR\r\n";

// Sends one command line and returns every byte the modem answered.
std::string Exchange(Modem& modem, const std::string& command) {
    EXPECT_EQ(modem.Write(command + "\r\n"), command.size() + 2);
    return Drain(modem);
}

TEST(SimCommands, EchoIsOnAfterPowerUpUntilAte0) {
    Modem modem(FastOptions("echo=on"));
    const std::string ate0("ATE0\r\n\0", 7);
    ASSERT_EQ(modem.Write(ate0), 7u);
    EXPECT_EQ(Drain(modem), "ATE0\r\n" + Ok());
    EXPECT_EQ(Exchange(modem, "AT+CIMI"), Answer("001010123456789") + Ok());
    EXPECT_FALSE(modem.Status().echo);

    // The record keeps the bytes as written, the zero byte included.
    const auto commands = modem.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].raw, ate0);
    EXPECT_EQ(commands[0].text, "ATE0");
    EXPECT_EQ(commands[1].raw, "AT+CIMI\r\n");
    EXPECT_EQ(modem.ReceivedBytes(), ate0 + "AT+CIMI\r\n");

    EXPECT_EQ(Exchange(modem, "ATE1"), Ok());
    EXPECT_EQ(Exchange(modem, "AT"), "AT\r\n" + Ok());
}

TEST(SimCommands, AnswersByteForByte) {
    // No report comes between the answers: the first fix is ten minutes away.
    Modem modem(FastOptions("chip=pv7710,ttff=600"));
    const struct {
        const char* command;
        std::string answer;
    } kCases[] = {
        {"AT+XLCSSWITCH?", Answer("+XLCSSWITCH : 0,0") + Ok()},
        {"AT+XLCSLSR=1,1,,,,,,,,", kError},  // the receiver is still off
        {"AT+XLCSSWITCH=1", Ok()},
        {"AT+XLCSSWITCH=1,0", Ok()},
        {"AT+XLCSSWITCH=0,3", Ok()},
        {"AT+XLCSSWITCH?", Answer("+XLCSSWITCH : 1,1") + Ok()},
        {"AT+CIMI", Answer("001010123456789") + Ok()},
        {"AT+CRSM=176,28589,131,3,1", Answer("+CRSM: 144,0,\"02\"") + Ok()},
        {"AT+XLCSLRMT?", Answer("+XLCSLRMT : 1") + Ok()},
        {"AT+XLCSLRMT=0", Ok()},
        {"AT+XLCSLRMT?", Answer("+XLCSLRMT : 0") + Ok()},
        {"AT+XLCSLRMT=1,7", Ok()},
        {"AT+XLCSLQOS=50,300,150,0", Ok()},
        {"AT+XLCSLSR=1,1,,,,,,,,", Answer("+XLCSLSR: request id 1") + Ok()},
        {"AT+XLCSLSR=2,3,,,,,30,,,2", Answer("+XLCSLSR: request id 2") + Ok()},
        {"AT+XLSRSTOP=0,2", Ok() + Answer("+XLSRSTOP: 0,2")},
        {"AT+XLSRSTOP", Ok() + Answer("+XLSRSTOP: 0,0")},
        {"AT+XLCSSLP=1,\"supl.example.net\",7275", Ok()},
        {"AT+XLCSSUPLVER=2", Ok()},
        {"AT+XLTC=\"-----BEGIN\",15,1,0", Ok()},
        {"AT+XLTC=\" CERT\",15,2,0", Ok()},
        {"AT+XLCSSTOREAPN=\"internet\"", Ok()},
        {"AT+CCLK=\"24/3/5,7:8:9\"", Ok()},
        {"AT+XLGNVRAM=127,0", Ok()},
        {"AT+XLCSTER=1", Ok()},
        {"at@gnss:prod_test_snr_mode_set(0)", Ok()},
        {"AT+UNKNOWN", kError},
        {"ATD123", kError},
    };
    for (const auto& c : kCases) EXPECT_EQ(Exchange(modem, c.command), c.answer) << c.command;

    const ModemSettings s = modem.Settings();
    EXPECT_EQ(s.suplServer, "supl.example.net");
    EXPECT_EQ(s.suplPort, "7275");
    EXPECT_EQ(s.suplVersion, 2u);
    EXPECT_EQ(s.apn, "internet");
    ASSERT_TRUE(s.clock);
    EXPECT_EQ(s.clock->year, 24);
    EXPECT_EQ(s.clock->second, 9);
    ASSERT_EQ(s.certificates.size(), 1u);
    EXPECT_EQ(s.certificates[0].text, "-----BEGIN CERT");
    EXPECT_TRUE(s.certificates[0].complete);
    EXPECT_EQ(s.nvramClears, std::vector<unsigned>{127});
    EXPECT_EQ(s.terminations, 1u);
    EXPECT_EQ(s.niAllowed, 0);
    ASSERT_EQ(s.niAnswers.size(), 1u);
    EXPECT_EQ(s.niAnswers[0].verdict, 1);
    EXPECT_EQ(s.niAnswers[0].requestId, 7u);
    ASSERT_TRUE(s.qualityOfService);
    EXPECT_EQ((*s.qualityOfService)[2], 150u);
    EXPECT_TRUE(modem.Status().agnssOn);
    EXPECT_FALSE(modem.Status().pgnssOn);
}

TEST(SimCommands, ChipGenerationShowsInTheSwitchAnswer) {
    Modem pv(FastOptions("chip=pv7710"));
    Modem rxa(FastOptions("chip=rxa7300"));
    Exchange(pv, "AT+XLCSSWITCH=1");
    Exchange(rxa, "AT+XLCSSWITCH=1");
    const std::string pvAnswer = Exchange(pv, "AT+XLCSSWITCH?");
    const std::string rxaAnswer = Exchange(rxa, "AT+XLCSSWITCH?");
    EXPECT_EQ(pvAnswer, Answer("+XLCSSWITCH : 1,0") + Ok());
    EXPECT_EQ(rxaAnswer, Answer("+XLCSSWITCH : 1") + Ok());
}

TEST(SimCommands, SimCardVariants) {
    Modem three(FastOptions("mnc=3,imsi=31041012345678"));
    EXPECT_EQ(Exchange(three, "AT+CIMI"), Answer("31041012345678") + Ok());
    EXPECT_EQ(Exchange(three, "AT+CRSM=176,28589,131,3,1"), Answer("+CRSM: 144,0,\"03\"") + Ok());
    EXPECT_EQ(Exchange(three, "AT+CRSM=176,28589,0,0,4"), Answer("+CRSM: 144,0,\"00000003\"") + Ok());
    EXPECT_EQ(Exchange(three, "AT+CRSM=176,28423,0,0,9"), Answer("+CRSM: 148,4") + Ok());
    EXPECT_EQ(Exchange(three, "AT+CRSM=176,28589,131,3,5"), Answer("+CRSM: 103,0") + Ok());

    Modem none(FastOptions("sim=off"));
    EXPECT_EQ(Exchange(none, "AT+CIMI"), kError);
    EXPECT_EQ(Exchange(none, "AT+CRSM=176,28589,131,3,1"), kError);
    EXPECT_EQ(Exchange(none, "AT+XLCSLRMT?"), Answer("+XLCSLRMT : 1") + Ok());
}

TEST(SimCommands, MalformedCommandsAreRefusedAndChangeNothing) {
    Modem modem(FastOptions());
    Exchange(modem, "AT+XLCSSWITCH=1");
    const char* kBad[] = {
        "AT+XLCSSWITCH=2",
        "AT+XLCSSWITCH=1,1",
        "AT+XLCSLSR=0,1,,,,,,,,",         // transport 0
        "AT+XLCSLSR=1,1,,,,,,,,5",        // NMEA argument 5
        "AT+XLCSLSR=1,1,,,,,x,,,",        // interval not a number
        "AT+XLCSLSR=1,1,,,,,,,,,,",       // eleven fields
        "AT+XLSRSTOP=0",
        "AT+XLCSSLP=1,supl.example.net,7275",  // host not quoted
        "AT+XLCSSLP=1,\"h\",port",
        "AT+XLCSSUPLVER=9",
        "AT+XLTC=\"piece\",10,2,0",       // piece 2 without piece 1
        "AT+XLTC=\"far too long\",5,1,0",  // longer than announced
        "AT+XLCSSTOREAPN=internet",
        "AT+CCLK=\"24/13/5,7:8:9\"",
        "AT+CCLK=\"24/3/5\"",
        "AT+XLGNVRAM=128,0",
        "AT+XLGNVRAM=4",
        "AT+XLCSTER=2",
        "AT+XLCSLRMT=3",
        "AT+XLCSLQOS=1,2,3",
        "at@gnss:prod_test_snr_mode_set(2)",
        "at@gnss:unknown_function(1)",
        "AT+CIMI=1",
    };
    for (const char* command : kBad) EXPECT_EQ(Exchange(modem, command), kError) << command;
    const ModemSettings s = modem.Settings();
    EXPECT_FALSE(s.suplServer);
    EXPECT_FALSE(s.suplVersion);
    EXPECT_TRUE(s.certificates.empty());
    EXPECT_FALSE(s.apn);
    EXPECT_FALSE(s.clock);
    EXPECT_TRUE(s.nvramClears.empty());
    EXPECT_EQ(s.terminations, 0u);
    EXPECT_EQ(s.niAllowed, 1);
    EXPECT_FALSE(s.qualityOfService);
    EXPECT_EQ(modem.Status().requestsStarted, 0u);
    EXPECT_TRUE(modem.Status().receiverOn);
}

TEST(SimCommands, FramingAcrossWritesAndCase) {
    Modem modem(FastOptions());
    // One byte per write, with stray line feeds and zero bytes.
    const std::string bytes("\n\0at+cimi\r\n\0", 12);
    for (char c : bytes) ASSERT_EQ(modem.Write(std::string(1, c)), 1u);
    EXPECT_EQ(Drain(modem), Answer("001010123456789") + Ok());
    // Two commands in one write; an empty line gets no answer.
    EXPECT_EQ(Exchange(modem, "\r\nAT+XLCSLRMT?\r\nAT+CIMI"),
              Answer("+XLCSLRMT : 1") + Ok() + Answer("001010123456789") + Ok());
    // An overlong line is refused as a whole.
    EXPECT_EQ(Exchange(modem, "AT+XLTC=\"" + std::string(2000, 'A') + "\",2000,1,0"), kError);
    EXPECT_TRUE(modem.Settings().certificates.empty());
}

TEST(SimCommands, ALineFeedInsideACommandEndsItOnlyWithLinefeedEnd) {
    // A certificate piece that carries a line break of PEM text.
    const std::string piece = "AT+XLTC=\"ab\ncd\",5,1,0";
    Modem ignoring(FastOptions());
    EXPECT_EQ(Exchange(ignoring, piece), Ok());
    ASSERT_EQ(ignoring.Settings().certificates.size(), 1u);
    EXPECT_EQ(ignoring.Settings().certificates[0].text, "abcd");
    ASSERT_EQ(ignoring.Commands().size(), 1u);
    EXPECT_EQ(ignoring.Commands()[0].raw, piece + "\r\n");
    // A bare line feed waits for the carriage return.
    EXPECT_EQ(ignoring.Write("AT+CIMI\n"), 8u);
    EXPECT_EQ(Drain(ignoring), "");

    // Each line is a command of its own, and each is answered.
    Modem ending(FastOptions("linefeed=end"));
    EXPECT_EQ(Exchange(ending, piece), kError + kError);
    EXPECT_TRUE(ending.Settings().certificates.empty());
    const auto commands = ending.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].raw, "AT+XLTC=\"ab\n");
    EXPECT_EQ(commands[0].text, "AT+XLTC=\"ab");
    EXPECT_EQ(commands[1].raw, "cd\",5,1,0\r\n");
    // The line feed of CR LF ends nothing more; a bare one ends the command,
    // and the empty lines after it get no answer.
    EXPECT_EQ(Exchange(ending, "AT+CIMI"), Answer("001010123456789") + Ok());
    const std::string bare("AT+CIMI\n\n\0\n", 11);
    EXPECT_EQ(ending.Write(bare), bare.size());
    EXPECT_EQ(Drain(ending), Answer("001010123456789") + Ok());
    EXPECT_EQ(ending.Commands().size(), 4u);
    EXPECT_EQ(ending.Commands().back().raw, bare);
}

TEST(SimCommands, ProductionTestModeAndSpectrum) {
    Modem modem(FastOptions());
    Exchange(modem, "AT+XLCSSWITCH=1");
    const std::string scan = "at@gnss:npt_spect_ana_string_cmd(1,12,\"gps_l1 wide\")";
    EXPECT_EQ(Exchange(modem, scan), kError);
    EXPECT_EQ(Exchange(modem, "at@gnss:prod_test_snr_mode_set(1)"), Ok());
    EXPECT_TRUE(modem.Status().productionTestMode);
    EXPECT_EQ(Exchange(modem, "AT+XLCSLSR=1,1,,,,,1,,,"), kError);

    Host host(modem);
    const auto lines = host.Command(scan);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.back(), "OK");
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& l = lines[i];
        EXPECT_NE(l.size(), 14u) << l;
        EXPECT_NE(l.size(), 15u) << l;
        EXPECT_NE(l[0], '$') << l;
        EXPECT_NE(l[0], '+') << l;
        EXPECT_NE(l.rfind("OK", 0), 0u) << l;
        EXPECT_NE(l.rfind("ERROR", 0), 0u) << l;
    }
    EXPECT_NE(lines[0].find("gps_l1 wide"), std::string::npos);
    // The same scan gives the same lines.
    EXPECT_EQ(host.Command(scan), lines);

    EXPECT_EQ(Exchange(modem, "at@gnss:prod_test_snr_mode_set(0)"), Ok());
    EXPECT_EQ(Exchange(modem, scan), kError);
}

TEST(SimCommands, SpectrumOptionAnswersItsOneLine) {
    Modem modem(FastOptions("spectrum=noise floor -121.5 dBm at 1575.420 MHz"));
    const std::string scan = "at@gnss:npt_spect_ana_string_cmd(1,4,\"abc\")";
    EXPECT_EQ(Exchange(modem, scan), kError);
    EXPECT_EQ(Exchange(modem, "at@gnss:prod_test_snr_mode_set(1)"), Ok());
    EXPECT_EQ(Exchange(modem, scan), Ok(Answer("noise floor -121.5 dBm at 1575.420 MHz")));

    // Lines a host would take for something else are refused.
    for (const char* bad : {"spectrum=", "spectrum=+XLCSLSR: 1", "spectrum=OK so far", "spectrum=ERROR 3",
                            "spectrum=$GPGGA", "spectrum=fourteen chars", "spectrum=fifteen  chars!"}) {
        try {
            ParseModemOptions(bad);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const OptionError& e) {
            EXPECT_NE(std::string(e.what()).find("spectrum"), std::string::npos) << e.what();
        }
    }
}

TEST(SimCommands, DtrLowSilencesTheModemAndEndsTheRequest) {
    Modem modem(FastOptions());
    Exchange(modem, "AT+XLCSSWITCH=1");
    Exchange(modem, "AT+XLCSLSR=1,1,,,,,1,,,");
    modem.SetControlLines(false, true);
    EXPECT_FALSE(modem.Status().requestActive);
    EXPECT_EQ(Exchange(modem, "AT+CIMI"), "");
    EXPECT_EQ(modem.Status().pendingOutputBytes, 0u);
    modem.SetControlLines(true, true);
    EXPECT_EQ(Exchange(modem, "AT+CIMI"), Answer("001010123456789") + Ok());
    const ModemStatus s = modem.Status();
    EXPECT_EQ(s.controlLineRequests, 2u);
    EXPECT_TRUE(s.dtr);
    // Both commands are in the record, answered or not.
    EXPECT_EQ(s.commands, 4u);

    Modem ignoring(FastOptions("dtr=ignore"));
    ignoring.SetControlLines(false, false);
    EXPECT_EQ(Exchange(ignoring, "AT+CIMI"), Answer("001010123456789") + Ok());
}

TEST(SimCommands, RecordFileHoldsEveryByteWritten) {
    gnss::test::TempDir dir;
    const std::string path = dir.File("host.bin");
    const std::string bytes = std::string("ATE0\r\n\0", 7) + "AT+CIMI\r\nAT+XLCSSW";
    {
        Modem modem(FastOptions("record=" + path));
        ASSERT_EQ(modem.Write(bytes), bytes.size());
    }
    {
        Modem again(FastOptions("record=" + path));
        ASSERT_EQ(again.Write("AT\r\n"), 4u);
    }
    EXPECT_EQ(gnss::test::ReadFile(path), bytes + "AT\r\n");
    EXPECT_THROW({ Modem broken(FastOptions("record=" + dir.File("missing/dir/file"))); }, std::runtime_error);
}

TEST(SimCommands, ConcurrentHostsSeeWholeAnswers) {
    // Two threads write commands while one reads: every answer arrives whole
    // and in the order the commands were taken.
    Modem modem(FastOptions());
    constexpr int kEach = 200;
    std::thread a([&] {
        for (int i = 0; i < kEach; ++i) modem.Write("AT+CIMI\r\n");
    });
    std::thread b([&] {
        for (int i = 0; i < kEach; ++i) modem.Write("AT+XLCSLRMT?\r\n");
    });
    Host host(modem);
    int imsi = 0, lrmt = 0, ok = 0;
    while (ok < 2 * kEach) {
        const auto line = host.Line();
        ASSERT_TRUE(line);
        if (*line == "001010123456789") ++imsi;
        else if (*line == "+XLCSLRMT : 1") ++lrmt;
        else if (*line == "OK") {
            ++ok;
            EXPECT_EQ(imsi + lrmt, ok);
        } else ADD_FAILURE() << *line;
    }
    a.join();
    b.join();
    EXPECT_EQ(imsi, kEach);
    EXPECT_EQ(lrmt, kEach);
}

}  // namespace
}  // namespace gnss::sim::test
