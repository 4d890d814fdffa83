#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AtTestSupport.h"
#include "TempDir.h"
#include "at/PositionReport.h"
#include "at/ReceivePath.h"
#include "engine/EngineState.h"

using gnss::test::CountOccurrences;
using gnss::test::ReportLine;
namespace os = gnss::os;

namespace {

// One event taken from the internal event queue, with a copy of its parameter block.
struct Posted {
    LONG type = 0;
    std::vector<BYTE> param;
    bool operator==(const Posted&) const = default;

    template <typename T>
    T As() const {
        T value{};
        EXPECT_EQ(param.size(), sizeof value);
        if (param.size() == sizeof value) std::memcpy(&value, param.data(), sizeof value);
        return value;
    }
    std::string Nmea() const { return As<GNSS_NMEA_DATA>().NmeaSentences; }
};

std::vector<Posted> TakePosted() {
    std::vector<Posted> posted;
    while (INTERNAL_EVENT* record = TakeInternalEvent()) {
        Posted p{record->nEventType, {}};
        const std::size_t size = p.type == NAVDATA_NOTIFICATION ? sizeof(GNSS_FIXDATA)
                                 : p.type == NMEA_NOTIFICATION  ? sizeof(GNSS_NMEA_DATA)
                                                                : 0;
        EXPECT_EQ(record->pParam != nullptr, size != 0) << "event " << p.type;
        if (record->pParam != nullptr && size != 0) {
            const auto* bytes = static_cast<const BYTE*>(record->pParam);
            p.param.assign(bytes, bytes + size);
        }
        std::free(record->pParam);
        FreeInternalEvent(record);
        posted.push_back(std::move(p));
    }
    return posted;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::string NmeaLine(char fill, std::size_t length) {
    std::string line = "$GPGSV,";
    line.resize(length, fill);
    return line;
}

// The receive path and the engine values it writes as they are at load,
// with fresh answer and stop events.
void StartFresh() {
    ResetReceivePathForTest();
    EmptyInternalEventQueue();
    ENGINE_STATE& e = Engine();
    e.m_dwATResponseStatus = 0;
    e.m_dwReceivedSessionId = 0;
    e.m_dwLRMTStatus = 0;
    e.m_uiCRSMStatus = 0;
    e.m_dwGnssChip = GNSS_CHIP_UNKNOWN;
    e.m_bProdTestMode = 0;
    EngineClearImsi();
    EngineTakeSpectrumResult();
    std::lock_guard guard(e.handleLock);
    e.events.m_hATResponseEvent = os::Event::Create(os::Event::Mode::AutoReset);
    e.events.m_hWaitForStopComplete = os::Event::Create(os::Event::Mode::AutoReset);
}

void Feed(const std::string& bytes) {
    ASSERT_TRUE(atclient_ReceivedModemData(reinterpret_cast<const BYTE*>(bytes.data()),
                                           static_cast<ULONG>(bytes.size())));
}

class ReceivePath : public ::testing::Test {
protected:
    void SetUp() override { StartFresh(); }
    void TearDown() override { StartFresh(); }

    // Consume the auto-reset events when they are signalled.
    static bool Answered() { return EngineEvents().m_hATResponseEvent->Wait(0); }
    static bool Stopped() { return EngineEvents().m_hWaitForStopComplete->Wait(0); }
    static const RECEIVE_PATH_STATE& State() { return ReceivePathState(); }

    gnss::test::LogCapture log_;
};

}  // namespace

TEST_F(ReceivePath, LineAssembly) {
    Feed("O");
    EXPECT_FALSE(Answered());
    Feed("K\r\n");
    EXPECT_TRUE(Answered());
    EXPECT_EQ(Engine().m_dwATResponseStatus, 1u);
    std::string log = log_.Text();
    EXPECT_EQ(CountOccurrences(
                  log, "L3 [MODEM ] UsbRxBufferCallback WARNING: Partial data in Rx buffer\n"),
              1u);
    EXPECT_EQ(CountOccurrences(log, "L1 [MODEM ] [ATCMD] UsbRxBufferCallback [2] OK\n"), 1u);
    EXPECT_EQ(CountOccurrences(log, "L4 [MODEM ] UsbRxBufferCallback GNSS_RESPONSE_OK Received\n"),
              1u);

    Feed("\r\nOK\r\n");  // an empty line, unknown and not logged, then OK
    EXPECT_TRUE(Answered());
    Feed("\r\r\r\nOK\r\r\n");  // carriage return runs before the line feed go
    EXPECT_TRUE(Answered());
    EXPECT_EQ(CountOccurrences(log_.Text(), "[ATCMD]"), 3u);
    Feed("O\rK\n");  // one inside the line stays: not an OK
    EXPECT_FALSE(Answered());
    // Logged whole, its carriage return written as \r: a log entry is one line.
    EXPECT_NE(log_.Text().find("[ATCMD] UsbRxBufferCallback [3] O\\rK\n"), std::string::npos);

    Feed("+XLCSLSR: requ");
    Feed("est id 4");
    Feed("2\r\nOK\r\n+XLCSSWITCH : 1,0\r\nOK\r\n+XLCS");
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 42u);
    EXPECT_EQ(Engine().m_dwGnssChip, GNSS_CHIP_PV7710);
    EXPECT_EQ(State().m_vecRxBuffer.size(), 5u);
}

TEST_F(ReceivePath, EntryRefusesEmptyTransfers) {
    const BYTE byte = 'O';
    EXPECT_FALSE(atclient_ReceivedModemData(nullptr, 1));
    EXPECT_FALSE(atclient_ReceivedModemData(&byte, 0));
    EXPECT_TRUE(State().m_vecRxBuffer.empty());
    const std::string log = log_.Text();
    EXPECT_EQ(
        CountOccurrences(log, "L2 [CLIENT] atclient_ReceivedModemData ERROR: INVALID_PARAMETER\n"),
        2u);
    EXPECT_EQ(CountOccurrences(log, "L4 [CLIENT] atclient_ReceivedModemData <- bRetVal=0\n"), 2u);
}

TEST_F(ReceivePath, OverlongLinesAreDroppedAndTheFollowingLinesWork) {
    gnss::test::TempDir dir;  // more lines than the recorder holds
    ASSERT_TRUE(gnss::trace::StartRealtimeSession({dir.File("rx.log"), 6, GNSS_TRACE_FLAG}));
    const std::string transfer(1024, 'A');
    for (int i = 0; i < 1024; ++i) {  // 1 MiB without a line feed
        Feed(transfer);
        ASSERT_LE(State().m_vecRxBuffer.size(), RX_LINE_LIMIT);
    }
    Feed("AAAA\r\nOK\r\n");  // the dropped line's end, then a good line
    EXPECT_TRUE(Answered());
    gnss::trace::StopRealtimeSession();
    const std::string log = gnss::test::ReadFile(dir.File("rx.log"));
    EXPECT_EQ(CountOccurrences(log,
                               "L2 [MODEM ] UsbRxBufferCallback ERROR: Line of more than 65536 "
                               "bytes without a line feed, dropped up to its line feed\n"),
              1u);
    EXPECT_EQ(CountOccurrences(log, "[ATCMD]"), 1u);

    Engine().m_bProdTestMode = 1;  // every line is kept as spectrum output
    Feed(std::string(RX_LINE_LIMIT, 'x') + "\n" + std::string(RX_LINE_LIMIT + 1, 'y') + "\nend\n");
    EXPECT_EQ(EngineTakeSpectrumResult(), std::string(RX_LINE_LIMIT, 'x') + "\r\nend\r\n");

    // Spectrum output nobody takes stops growing at its bound.
    const std::string line(RX_LINE_LIMIT - 1, 's');
    for (int i = 0; i < 20; ++i) Feed(line + "\n");
    EXPECT_LE(EngineTakeSpectrumResult().size(), 1024u * 1024u);
}

TEST_F(ReceivePath, FinalResultsAndTheAnswersBeforeThem) {
    Feed("+XLCSLSR: request id 12\r\n");
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 12u);
    EXPECT_FALSE(Answered());
    Feed("OK\r\n");
    EXPECT_TRUE(Answered());
    Feed("+XLCSLSR: request id: 7\r\n");
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 7u);
    Feed("+XLCSLSR: request id\r\n");  // too short to carry an id: no session, not the previous one
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 0u);

    for (const char* line : {"ERROR", "+XLCSLSR: failure", "+XLCSLSR: 1,ERROR 3"}) {
        Engine().m_dwATResponseStatus = 1;
        Feed(std::string(line) + "\r\n");
        EXPECT_TRUE(Answered()) << line;
        EXPECT_EQ(Engine().m_dwATResponseStatus, 0u) << line;
    }
    Feed("+XLSRSTOP\r\n");
    EXPECT_TRUE(Stopped());
    EXPECT_FALSE(Answered());
    EXPECT_TRUE(TakePosted().empty());

    {  // without the events (engine not started) the values are still written
        std::lock_guard guard(Engine().handleLock);
        Engine().events = ENGINE_EVENTS{};
    }
    Feed("OK\r\n+XLSRSTOP\r\n");
    EXPECT_EQ(Engine().m_dwATResponseStatus, 1u);
}

TEST_F(ReceivePath, WaitingThreadFindsTheAnswerStored) {
    // The client thread's side: wait for the final answer, then read what
    // the intermediate lines stored.
    const os::EventHandle answer = EngineEvents().m_hATResponseEvent;
    DWORD session = 0, chip = 0, status = 0;
    bool answered = false;
    std::thread client([&] {
        answered = answer->Wait(60000);
        session = Engine().m_dwReceivedSessionId;
        chip = Engine().m_dwGnssChip;
        status = Engine().m_dwATResponseStatus;
    });
    Feed("+XLCSSWITCH : 1\r\n+XLCSLSR: request id 31\r\nOK\r\n");
    client.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(session, 31u);
    EXPECT_EQ(chip, GNSS_CHIP_RXA7300);
    EXPECT_EQ(status, 1u);
}

TEST_F(ReceivePath, AnswerValues) {
    const struct {
        const char* line;
        std::atomic<DWORD>& member;
        DWORD before, after;
    } cases[] = {
        {"+XLCSSWITCH : 1,0", Engine().m_dwGnssChip, 0, GNSS_CHIP_PV7710},
        {"+XLCSSWITCH : 1", Engine().m_dwGnssChip, 0, GNSS_CHIP_RXA7300},
        {"+XLCSSWITCH : 1,0,2", Engine().m_dwGnssChip, 0, GNSS_CHIP_RXA7300},
        {"+XLCSSWITCH : 0,3,", Engine().m_dwGnssChip, 0,
         GNSS_CHIP_PV7710},                                              // no field after the comma
        {"+XLCSSWITCH :", Engine().m_dwGnssChip, 0, GNSS_CHIP_RXA7300},  // too short: no fields
        {"+XLCSSWITCH: 1,0", Engine().m_dwGnssChip, 0, 0},               // not a switch answer
        {"+CRSM: 144,0,\"02\"", Engine().m_uiCRSMStatus, 9, 2},
        {"+CRSM: 144,0,\"03\"", Engine().m_uiCRSMStatus, 9, 3},
        {"+CRSM: 148,4", Engine().m_uiCRSMStatus, 9, 0},
        {"+CRSM: 144,0,", Engine().m_uiCRSMStatus, 9, 0},  // too short
        {"+CRSM", Engine().m_uiCRSMStatus, 9, 0},
        {"+XLCSLRMT : 1", Engine().m_dwLRMTStatus, 0, 1},
        {"+XLCSLRMT : 0", Engine().m_dwLRMTStatus, 1, 0},
        {"+XLCSLRMT: 1", Engine().m_dwLRMTStatus, 1, 0},  // nothing from index 12 on
    };
    for (const auto& c : cases) {
        c.member = c.before;
        Feed(std::string(c.line) + "\r\nOK\r\n");
        EXPECT_EQ(c.member, c.after) << c.line;
        EXPECT_TRUE(Answered());
    }
    EXPECT_NE(log_.Text().find("L4 [MODEM ] RxAtLine INFO: MNC Length=2\n"), std::string::npos);
}

TEST_F(ReceivePath, ImsiAndSpectrumLines) {
    Feed(Lines({"262011234567890", "26201123456789"}));
    EXPECT_EQ(EngineGetImsi(), "26201123456789");
    Feed(Lines({"2620112345678901", "26201123456a89", "spectrum peak 1575.42 MHz"}));
    EXPECT_EQ(EngineGetImsi(), "26201123456789");
    EXPECT_EQ(EngineTakeSpectrumResult(), "");

    Engine().m_bProdTestMode = 1;
    Feed(Lines({"26201123456a89", "spectrum peak 1575.42 MHz", "262019876543210", "OK"}));
    EXPECT_EQ(EngineTakeSpectrumResult(), "spectrum peak 1575.42 MHz\r\n");
    EXPECT_EQ(EngineGetImsi(), "262019876543210");
    EXPECT_TRUE(Answered());
}

TEST_F(ReceivePath, PositionReports) {
    ReportLine report(1);
    report.Group(1, 5);
    Feed(report.Text() + "\r\n");
    EXPECT_TRUE(TakePosted().empty());
    EXPECT_EQ(State().eRespTypeForOK, GNSS_RESPONSE_NAVDATA);
    Feed("OK\r\n");
    std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].type, NAVDATA_NOTIFICATION);
    GNSS_FIXDATA expected{};
    ASSERT_EQ(ParseXLCSLSR(report.Text().c_str(), &expected), XLCSLSR_PARSED);
    const GNSS_FIXDATA fix = posted[0].As<GNSS_FIXDATA>();
    EXPECT_EQ(std::memcmp(&fix, &expected, sizeof fix), 0);
    EXPECT_FALSE(Answered());  // the report's OK completes no command
    EXPECT_EQ(Engine().m_dwATResponseStatus, 0u);
    EXPECT_EQ(State().eRespTypeForOK, GNSS_RESPONSE_UNKNOWN);
    Feed("OK\r\n");
    EXPECT_TRUE(Answered());

    // No usable time (bad date, or cut short): dropped at the OK.
    ReportLine badDate(0), second(0);
    badDate.Tail(ReportLine::kDate) = "24/3/5";
    second.Field(2) = "12.5S";
    Feed(Lines({badDate.Text(), "OK", ReportLine(0).FirstFields(30), "OK"}));
    EXPECT_TRUE(TakePosted().empty());
    EXPECT_FALSE(Answered());
    // A second report before the OK replaces the first.
    Feed(Lines({ReportLine(0).Text(), second.Text(), "OK"}));
    posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_DOUBLE_EQ(posted[0].As<GNSS_FIXDATA>().BasicData.Latitude, -12.5);
    EXPECT_EQ(State().m_pFixData, nullptr);
    // A position error is posted, not answered.
    Feed("+XLCSLSR: ERROR, -8\r\n");
    posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].type, NAVERROR_NOTIFICATION);
    EXPECT_FALSE(Answered());

    const std::string log = log_.Text();
    EXPECT_NE(
        log.find(
            "L4 [MODEM ] UsbRxBufferCallback GNSS_RESPONSE_NAVDATA Received. Ignore next OK\n"),
        std::string::npos);
    EXPECT_EQ(
        CountOccurrences(
            log, "L3 [MODEM ] UsbRxBufferCallback WARNING: Previous FixData is not cleared\n"),
        1u);
}

TEST_F(ReceivePath, NmeaBlocks) {
    const std::string a = NmeaLine('a', 120), b = NmeaLine('b', 120), c = NmeaLine('c', 120);
    Feed(Lines({a, b}));
    EXPECT_EQ(State().m_dwNmeaBlockLength, 244u);
    EXPECT_TRUE(TakePosted().empty());
    Feed(Lines({c}));  // 244 + 2 + 120 > 255: the first two go out first
    std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    const GNSS_NMEA_DATA block = posted[0].As<GNSS_NMEA_DATA>();
    EXPECT_EQ(block.Size, 264u);
    EXPECT_EQ(block.Version, 3u);
    EXPECT_EQ(posted[0].Nmea(), a + "\r\n" + b + "\r\n");
    Feed(Lines({"ERROR", "OK"}));  // inside a block ERROR is NMEA text
    posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].Nmea(), c + "\r\nERROR\r\n");
    EXPECT_FALSE(Answered());
    EXPECT_EQ(State().m_bNmeaInProgress, 0u);
    EXPECT_EQ(std::string(State().m_NmeaBlock), "");

    // 253 characters and CR LF fill a block; 254 cannot fit and are dropped.
    const std::string fits = NmeaLine('f', 253), small = NmeaLine('s', 40);
    Feed(Lines({fits, small, NmeaLine('x', 254), "$GPVTG,,T,,M,0.0,N,0.0,K,N*2C", "OK"}));
    posted = TakePosted();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].Nmea(), fits + "\r\n");
    EXPECT_EQ(posted[1].Nmea(), small + "\r\n$GPVTG,,T,,M,0.0,N,0.0,K,N*2C\r\n");
    EXPECT_EQ(CountOccurrences(log_.Text(),
                               "L2 [MODEM ] UsbRxBufferCallback ERROR: NMEA line of 254 "
                               "characters does not fit a block, dropped\n"),
              1u);
    // A block of nothing but an overlong line: its OK is still the block's.
    Feed(Lines({NmeaLine('y', 300), "OK"}));
    EXPECT_TRUE(TakePosted().empty());
    EXPECT_FALSE(Answered());
    EXPECT_NE(
        log_.Text().find("L3 [MODEM ] UsbRxBufferCallback WARNING: No valid NMEA Data available\n"),
        std::string::npos);
    Feed("ERROR\r\n");  // the block is closed: ERROR answers a command again
    EXPECT_TRUE(Answered());
}

// --- chunking -------------------------------------------------------------

namespace {

// A session's worth of modem output: answers, reports of every shape, NMEA
// blocks, errors, an overlong line and a partial line at the end.
std::string ModemStream() {
    std::vector<std::string> lines = {"",
                                      "OK",
                                      "+XLCSSWITCH : 1,0",
                                      "",
                                      "OK",
                                      "262011234567890",
                                      "OK",
                                      "+CRSM: 144,0,\"02\"",
                                      "OK",
                                      "+XLCSLRMT : 1",
                                      "OK",
                                      "+XLCSLSR: request id 3",
                                      "OK"};
    for (int shape = 0; shape < 4; ++shape) {
        ReportLine report(shape);
        report.Tail(ReportLine::kTime) = "7:8:" + std::to_string(10 + shape);
        report.Group(2).Group(1, 71);
        lines.insert(lines.end(), {report.Text(shape % 2 == 0 ? "," : ", "), "OK"});
        for (int i = 0; i < 5; ++i)
            lines.push_back(NmeaLine(static_cast<char>('a' + i), 30 + 20 * i));
        lines.push_back("OK");
    }
    ReportLine stale(0);
    stale.Tail(ReportLine::kDate) = "24/3/5";
    lines.insert(lines.end(), {stale.Text(), "OK", "+XLCSLSR: ERROR, -8", "ERROR",
                               "spectrum 1575.42 -131", std::string(RX_LINE_LIMIT + 10, 'Z'),
                               "spectrum 1602.00 -140", "+XLSRSTOP", "OK\r"});
    return Lines(lines) + "O\rK\n+XLCS";
}

struct Outcome {
    std::vector<Posted> posted;
    std::vector<std::string> log, texts;
    std::vector<DWORD> values;
    bool operator==(const Outcome&) const = default;
};

// The log after the time stamp and thread id, without the lines that depend
// on how the bytes were cut (entry, exit, partial-data warnings).
std::vector<std::string> StableLogLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(gnss::test::ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        const auto level = line.find("] L");
        if (level != std::string::npos && line.find("[CLIENT]") == std::string::npos &&
            line.find("Partial data") == std::string::npos)
            lines.push_back(line.substr(level + 2));
    }
    return lines;
}

Outcome Deliver(const std::string& stream, const std::vector<std::size_t>& cuts,
                const std::string& logPath) {
    StartFresh();
    ENGINE_STATE& e = Engine();
    e.m_bProdTestMode = 1;
    EXPECT_TRUE(gnss::trace::StartRealtimeSession({logPath, 6, GNSS_TRACE_FLAG}));
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        atclient_ReceivedModemData(reinterpret_cast<const BYTE*>(stream.data()) + from,
                                   static_cast<ULONG>(cut - from));
        from = cut;
    }
    gnss::trace::StopRealtimeSession();

    const RECEIVE_PATH_STATE& s = ReceivePathState();
    const ENGINE_EVENTS events = EngineEvents();
    return Outcome{
        TakePosted(),
        StableLogLines(logPath),
        {EngineGetImsi(), EngineTakeSpectrumResult(),
         std::string(s.m_vecRxBuffer.begin(), s.m_vecRxBuffer.end()),
         std::string(s.m_NmeaBlock, sizeof s.m_NmeaBlock)},
        {e.m_dwATResponseStatus, e.m_dwReceivedSessionId, e.m_dwLRMTStatus, e.m_uiCRSMStatus,
         e.m_dwGnssChip, events.m_hATResponseEvent->IsSignalled(),
         events.m_hWaitForStopComplete->IsSignalled(), s.m_pFixData != nullptr, s.m_bIgnoreNextOK,
         s.eRespTypeForOK, s.m_bNmeaInProgress, s.m_dwNmeaBlockLength, s.m_bDiscardToLineFeed}};
}

}  // namespace

TEST_F(ReceivePath, ChunkingDoesNotChangeTheOutcome) {
    gnss::test::TempDir dir;
    const std::string stream = ModemStream();
    const Outcome whole = Deliver(stream, {stream.size()}, dir.File("whole.log"));
    // The stream exercises what it should.
    ASSERT_EQ(whole.posted.size(), 4u + 4u * 2u + 1u);  // fixes, NMEA blocks, the position error
    EXPECT_EQ(whole.values[1], 3u);                     // session id
    EXPECT_EQ(whole.values[4], GNSS_CHIP_PV7710);
    EXPECT_EQ(whole.texts[0], "262011234567890");
    // In production test mode every unknown line is spectrum output, empty ones too.
    EXPECT_EQ(whole.texts[1], "\r\n\r\nspectrum 1575.42 -131\r\nspectrum 1602.00 -140\r\nO\rK\r\n");
    EXPECT_EQ(whole.texts[2], "+XLCS");

    std::vector<std::size_t> bytes;
    for (std::size_t i = 1; i <= stream.size(); ++i) bytes.push_back(i);
    EXPECT_TRUE(Deliver(stream, bytes, dir.File("bytes.log")) == whole);

    std::mt19937 random(20240305);
    for (int round = 0; round < 8; ++round) {
        std::uniform_int_distribution<std::size_t> size(1, round < 4 ? 16 : 1500);
        std::vector<std::size_t> cuts;
        for (std::size_t at = size(random); at < stream.size(); at += size(random))
            cuts.push_back(at);
        cuts.push_back(stream.size());
        EXPECT_TRUE(Deliver(stream, cuts, dir.File(std::to_string(round) + ".log")) == whole)
            << round;
    }
}
