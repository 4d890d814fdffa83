// Fault injection, reading and the modem's end of life.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "SimHost.h"
#include "TempDir.h"
#include "gnss/sim/report.h"

namespace gnss::sim::test {
namespace {

const std::string kImsiAnswer = "\r\n001010123456789\r\n\r\nOK\r\n";

// Every read of one answer, as the reads delivered it.
std::vector<std::string> Reads(Modem& modem) {
    std::vector<std::string> reads;
    std::uint8_t buffer[1024];
    while (true) {
        const ReadResult r = modem.Read(buffer, sizeof buffer, 0ms);
        if (r.status != ReadStatus::Data) return reads;
        reads.emplace_back(reinterpret_cast<const char*>(buffer), r.bytes);
    }
}

TEST(SimFaults, SilentAndErrorByPrefix) {
    Modem modem(FastOptions("fault=silent:AT+CIMI,fault=error:at+crsm"));
    modem.Write("AT+CIMI\r\n");
    EXPECT_EQ(Drain(modem), "");
    modem.Write("AT+CRSM=176,28589,131,3,1\r\n");
    EXPECT_EQ(Drain(modem), "\r\nERROR\r\n");
    modem.Write("AT+XLCSLRMT?\r\n");
    EXPECT_EQ(Drain(modem), "\r\n+XLCSLRMT : 1\r\n\r\nOK\r\n");
    // A refused command is not carried out.
    modem.AddFault(ParseFault("error:AT+XLCSSWITCH"));
    modem.Write("AT+XLCSSWITCH=1\r\n");
    EXPECT_EQ(Drain(modem), "\r\nERROR\r\n");
    EXPECT_FALSE(modem.Status().receiverOn);

    modem.SetFaults({ParseFault("silent")});
    modem.Write("AT+XLCSLRMT?\r\n");
    EXPECT_EQ(Drain(modem), "");
    modem.ClearFaults();
    modem.Write("AT+CIMI\r\n");
    EXPECT_EQ(Drain(modem), kImsiAnswer);
    // Every command is in the record, answered or not.
    EXPECT_EQ(modem.Commands().size(), 6u);
}

TEST(SimFaults, DelayedAnswerKeepsItsPlace) {
    Modem modem(FastOptions("time-scale=1,fault=delay:1500:AT+CIMI"));
    modem.Write("AT+CIMI\r\nAT+XLCSLRMT?\r\n");
    std::uint8_t buffer[1024];
    // Held back: nothing to read yet, although both answers are queued.
    EXPECT_EQ(modem.Read(buffer, sizeof buffer, 0ms).status, ReadStatus::TimedOut);
    EXPECT_GT(modem.Status().pendingOutputBytes, 0u);
    Host host(modem);
    EXPECT_EQ(host.Line(), "001010123456789");
    EXPECT_EQ(host.Line(), "OK");
    EXPECT_EQ(host.Line(), "+XLCSLRMT : 1");
}

TEST(SimFaults, SplitAndSingleByteReads) {
    Modem modem(FastOptions("fault=split:3"));
    modem.Write("AT+CIMI\r\n");
    auto reads = Reads(modem);
    std::string joined;
    for (const auto& r : reads) {
        EXPECT_LE(r.size(), 3u);
        joined += r;
    }
    EXPECT_EQ(joined, kImsiAnswer);
    EXPECT_EQ(reads.size(), (kImsiAnswer.size() + 2) / 3);

    modem.SetFaults({ParseFault("single")});
    modem.Write("AT+CIMI\r\n");
    reads = Reads(modem);
    EXPECT_EQ(reads.size(), kImsiAnswer.size());

    // Without faults one read carries one whole answer.
    modem.ClearFaults();
    modem.Write("AT+CIMI\r\nAT+CIMI\r\n");
    reads = Reads(modem);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0], kImsiAnswer);
}

TEST(SimFaults, ZeroBytesInsideReads) {
    Modem modem(FastOptions("fault=nul:4,fault=split:10"));
    modem.Write("AT+CIMI\r\n");
    std::string data;
    for (const std::string& r : Reads(modem)) {
        const std::size_t zero = r.find('\0');
        ASSERT_NE(zero, std::string::npos);
        EXPECT_EQ(r.size(), zero + 1 + 4);
        EXPECT_LE(zero, 10u);
        data += r.substr(0, zero);
    }
    EXPECT_EQ(data, kImsiAnswer);
    // A host that stops at the zero byte sees the whole answer.
    modem.Write("AT+CIMI\r\n");
    Host host(modem);
    EXPECT_EQ(host.Line(), "001010123456789");
    EXPECT_EQ(host.Line(), "OK");
}

TEST(SimFaults, GarbageLinesBetweenBlocks) {
    Modem modem(FastOptions("fault=garbage:+XNOISE: 7f"));
    Host host(modem);
    EXPECT_EQ(host.Command("AT+XLCSSWITCH=1"), (std::vector<std::string>{"+XNOISE: 7f", "OK"}));
    host.Command("AT+XLCSLSR=1,1,,,,,,,,2");
    // The NMEA block and the report each come after a garbage line.
    std::vector<std::string> lines;
    while (auto line = host.Line()) {
        lines.push_back(*line);
        if (line->rfind("+XLCSLSR: 2", 0) == 0) break;
    }
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "+XNOISE: 7f");
    EXPECT_EQ(lines[1].substr(0, 1), "$");
    EXPECT_EQ(lines[lines.size() - 2], "+XNOISE: 7f");
    EXPECT_EQ(lines[lines.size() - 3], "OK");
}

TEST(SimFaults, PositionErrorsInsteadOfReports) {
    Modem modem(FastOptions("fault=naverror:2"));
    Host host(modem);
    host.Command("AT+XLCSSWITCH=1");
    host.Command("AT+XLCSLSR=1,1,,,,,1,,,");
    EXPECT_EQ(host.Line(), kPositionErrorLine);
    EXPECT_EQ(host.Line(), kPositionErrorLine);  // no OK in between
    const auto report = host.Line();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->substr(0, 12), "+XLCSLSR: 2,");
    EXPECT_EQ(host.Line(), "OK");
    EXPECT_TRUE(modem.Faults().empty());  // used up

    // A single fix answered by a position error has ended.
    Modem single(FastOptions("fault=naverror"));
    Host singleHost(single);
    singleHost.Command("AT+XLCSSWITCH=1");
    singleHost.Command("AT+XLCSLSR=1,1,,,,,,,,");
    EXPECT_EQ(singleHost.Line(), kPositionErrorLine);
    EXPECT_FALSE(single.Status().requestActive);
    EXPECT_EQ(single.Status().positionErrors, 1u);
}

TEST(SimFaults, UnplugVariants) {
    std::uint8_t buffer[64];
    {
        Modem modem(FastOptions("fault=unplug:after:2"));
        EXPECT_EQ(modem.Write("AT+CIMI\r\nAT+CIMI\r\n"), 18u);
        EXPECT_EQ(Drain(modem), kImsiAnswer + kImsiAnswer);
        EXPECT_EQ(modem.Write("AT+CIMI\r\n"), 9u);  // taken, then the modem is gone
        EXPECT_EQ(modem.Read(buffer, sizeof buffer, 0ms).status, ReadStatus::Unplugged);
        EXPECT_EQ(modem.Write("AT\r\n"), 0u);
        EXPECT_FALSE(modem.Status().plugged);
    }
    {
        Modem modem(FastOptions("fault=unplug:on:AT+XLCSLSR"));
        modem.Write("AT+XLCSSWITCH=1\r\n");
        EXPECT_EQ(Drain(modem), "\r\nOK\r\n");
        modem.Write("AT+XLCSLSR=1,1,,,,,1,,,\r\n");
        EXPECT_EQ(modem.Read(buffer, sizeof buffer, 0ms).status, ReadStatus::Unplugged);
        EXPECT_EQ(modem.Status().requestsStarted, 0u);
    }
    {
        Modem modem(FastOptions("fault=unplug"));
        EXPECT_EQ(modem.Write("AT\r\n"), 0u);
        EXPECT_TRUE(modem.Commands().empty());
    }
    {
        // A reader blocked in Read wakes up when the modem goes.
        Modem modem(FastOptions());
        ReadStatus status = ReadStatus::Data;
        std::thread reader([&] { status = modem.Read(buffer, sizeof buffer, 60s).status; });
        modem.AddFault(ParseFault("unplug:now"));
        reader.join();
        EXPECT_EQ(status, ReadStatus::Unplugged);
    }
}

TEST(SimFaults, CancelAndCloseEndBlockedReads) {
    Modem modem(FastOptions());
    std::uint8_t buffer[64];
    ReadStatus status = ReadStatus::Data;
    std::thread reader([&] { status = modem.Read(buffer, sizeof buffer, 60s).status; });
    modem.CancelRead();  // ends the read, whether it waits already or is about to
    reader.join();
    EXPECT_EQ(status, ReadStatus::Cancelled);
    // The cancel is used up: the next read sees the answer.
    modem.Write("AT+CIMI\r\n");
    EXPECT_EQ(modem.Read(buffer, sizeof buffer, kPatience).status, ReadStatus::Data);

    std::thread closed([&] { status = modem.Read(buffer, sizeof buffer, 60s).status; });
    modem.Close();
    closed.join();
    EXPECT_EQ(status, ReadStatus::Closed);
    EXPECT_EQ(modem.Write("AT\r\n"), 0u);
    EXPECT_EQ(modem.Read(buffer, sizeof buffer, 0ms).status, ReadStatus::Closed);
}

TEST(SimFaults, AHostThatDoesNotReadLosesReportsButNotAnswers) {
    gnss::test::TempDir dir;
    const std::string capture = dir.File("long.nmea");
    {
        // 1500 epochs of about 1.3 kB of sentences each.
        std::ofstream out(capture);
        char time[16];
        for (int i = 0; i < 1500; ++i) {
            std::snprintf(time, sizeof time, "%02d%02d%02d.00", 10 + i / 3600, i / 60 % 60, i % 60);
            out << NmeaSentence(std::string("GPGGA,") + time + ",4722.0,N,00832.0,E,1,05,1.0,1.0,M,,M,,") << "\n";
            for (int g = 0; g < 18; ++g)
                out << NmeaSentence("GPGSV,18," + std::to_string(g + 1) + ",72,01,45,120,40,02,45,120,40,03,45,120,40")
                    << "\n";
        }
    }
    Modem modem(FastOptions("time-scale=0.001,replay=" + capture));
    modem.Write("AT+XLCSSWITCH=1\r\nAT+XLCSLSR=1,1,,,,,1,,,2\r\n");
    ASSERT_TRUE(modem.WaitReplayFinished(kPatience));
    const ModemStatus s = modem.Status();
    EXPECT_GT(s.droppedBlocks, 0u);
    EXPECT_LE(s.pendingOutputBytes, 1u << 20);
    modem.Write("AT+CIMI\r\n");
    // Whatever was kept comes whole, and the answer comes last.
    Host host(modem);
    std::vector<std::string> lines;
    while (auto line = host.Line(0ms)) lines.push_back(*line);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "001010123456789");
    EXPECT_EQ(lines.back(), "OK");
    for (const std::string& line : lines) {
        if (line[0] == '$') {
            EXPECT_TRUE(IsValidNmeaSentence(line)) << line;
        }
    }
}

TEST(SimFaults, DestructionStopsAReportingModem) {
    // The timer thread is stopped while it reports and a reader waits.
    auto modem = std::make_unique<Modem>(FastOptions());
    Host host(*modem);
    host.Command("AT+XLCSSWITCH=1");
    host.Command("AT+XLCSLSR=1,1,,,,,1,,,2");
    ASSERT_TRUE(host.Report());
    std::uint8_t buffer[1024];
    ReadStatus status = ReadStatus::Data;
    std::thread reader([&] {
        while ((status = modem->Read(buffer, sizeof buffer, 60s).status) == ReadStatus::Data) {
        }
    });
    modem->Close();
    reader.join();
    EXPECT_EQ(status, ReadStatus::Closed);
    modem.reset();
}

}  // namespace
}  // namespace gnss::sim::test
