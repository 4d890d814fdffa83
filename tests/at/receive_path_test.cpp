#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ReportLine.h"
#include "TempDir.h"
#include "Trace.h"
#include "at/PositionReport.h"
#include "at/ReceivePath.h"
#include "engine/EngineState.h"
#include "gnss/platform/trace.h"

using gnss::test::CountOccurrences;
using gnss::test::ReportLine;
using gnss::test::Satellite;
namespace os = gnss::os;

namespace {

// One event taken from the internal event queue, with a copy of its parameter block.
struct Posted {
    LONG type = 0;
    std::vector<BYTE> param;  // empty when the event carries none

    GNSS_FIXDATA Fix() const {
        GNSS_FIXDATA fix{};
        EXPECT_EQ(param.size(), sizeof fix);
        if (param.size() == sizeof fix) std::memcpy(&fix, param.data(), sizeof fix);
        return fix;
    }
    GNSS_NMEA_DATA Nmea() const {
        GNSS_NMEA_DATA nmea{};
        EXPECT_EQ(param.size(), sizeof nmea);
        if (param.size() == sizeof nmea) std::memcpy(&nmea, param.data(), sizeof nmea);
        return nmea;
    }
    bool operator==(const Posted&) const = default;
};

std::vector<Posted> TakePosted() {
    std::vector<Posted> posted;
    while (INTERNAL_EVENT* record = TakeInternalEvent()) {
        Posted p;
        p.type = record->nEventType;
        std::size_t size = 0;
        if (p.type == NAVDATA_NOTIFICATION) size = sizeof(GNSS_FIXDATA);
        if (p.type == NMEA_NOTIFICATION) size = sizeof(GNSS_NMEA_DATA);
        if (record->pParam != nullptr) {
            EXPECT_NE(size, 0u) << "unexpected parameter for event " << p.type;
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

class ReceivePath : public ::testing::Test {
protected:
    void SetUp() override {
        gnss::trace::RegisterControl(GNSS_TRACE_CONTROL_GUID);
        gnss::trace::RecorderStart();
        gnss::trace::ClearRecorder();
        std::lock_guard guard(Engine().handleLock);
        Engine().events.m_hATResponseEvent = os::Event::Create(os::Event::Mode::AutoReset);
        Engine().events.m_hWaitForStopComplete = os::Event::Create(os::Event::Mode::AutoReset);
    }
    void TearDown() override {
        TakePosted();
        ResetReceivePathForTest();
    }

    static void Feed(const std::string& bytes) {
        ASSERT_TRUE(atclient_ReceivedModemData(reinterpret_cast<const BYTE*>(bytes.data()),
                                               static_cast<ULONG>(bytes.size())));
    }
    // Consumes the auto-reset event when it is signalled.
    static bool AnswerSignalled() { return EngineEvents().m_hATResponseEvent->Wait(0); }
    static bool StopSignalled() { return EngineEvents().m_hWaitForStopComplete->Wait(0); }
    static std::string Log() { return gnss::trace::RecorderSnapshot(); }
    static const RECEIVE_PATH_STATE& State() { return ReceivePathState(); }
    static std::string Block() { return std::string(State().m_NmeaBlock); }
};

}  // namespace

// --- line assembly ----------------------------------------------------------

TEST_F(ReceivePath, OkSplitAcrossTransfers) {
    Feed("O");
    EXPECT_FALSE(AnswerSignalled());
    EXPECT_NE(Log().find("L3 [MODEM ] UsbRxBufferCallback WARNING: Partial data in Rx buffer\n"),
              std::string::npos);
    Feed("K\r\n");
    EXPECT_TRUE(AnswerSignalled());
    EXPECT_EQ(Engine().m_dwATResponseStatus, 1u);
    const std::string log = Log();
    EXPECT_EQ(CountOccurrences(log, "Partial data"), 1u);
    EXPECT_EQ(CountOccurrences(log, "L1 [MODEM ] [ATCMD] UsbRxBufferCallback [2] OK\n"), 1u);
    EXPECT_EQ(CountOccurrences(log, "L4 [MODEM ] UsbRxBufferCallback GNSS_RESPONSE_OK Received\n"), 1u);
    EXPECT_TRUE(State().m_vecRxBuffer.empty());
}

TEST_F(ReceivePath, CarriageReturnsBeforeTheLineFeed) {
    Feed("\r\nOK\r\n");  // an empty line, unknown and not logged, then OK
    EXPECT_TRUE(AnswerSignalled());
    EXPECT_EQ(CountOccurrences(Log(), "[ATCMD]"), 1u);

    Feed("\r\r\r\n");  // a run of carriage returns at the start of the buffer
    Feed("OK\r\r\n");
    EXPECT_TRUE(AnswerSignalled());
    EXPECT_EQ(CountOccurrences(Log(), "[ATCMD]"), 2u);

    Feed("O\rK\n");  // a carriage return inside the line stays: not an OK
    EXPECT_FALSE(AnswerSignalled());
    EXPECT_NE(Log().find("[ATCMD] UsbRxBufferCallback [3] O\rK\n"), std::string::npos);
}

TEST_F(ReceivePath, SeveralLinesInOneTransferAndALineAcrossThree) {
    Feed("+XLCSLSR: requ");
    Feed("est id 4");
    Feed("2\r\nOK\r\n+XLCSSWITCH : 1,0\r\nOK\r\n+XLCS");
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 42u);
    EXPECT_EQ(Engine().m_dwGnssChip, GNSS_CHIP_PV7710);
    EXPECT_EQ(State().m_vecRxBuffer.size(), 5u);
    EXPECT_EQ(Engine().m_dwATResponseStatus, 1u);
}

TEST_F(ReceivePath, EntryRefusesEmptyTransfers) {
    const BYTE byte = 'O';
    EXPECT_FALSE(atclient_ReceivedModemData(nullptr, 1));
    EXPECT_FALSE(atclient_ReceivedModemData(&byte, 0));
    EXPECT_TRUE(State().m_vecRxBuffer.empty());
    const std::string log = Log();
    EXPECT_EQ(CountOccurrences(log, "L2 [CLIENT] atclient_ReceivedModemData ERROR: INVALID_PARAMETER\n"), 2u);
    EXPECT_EQ(CountOccurrences(log, "L4 [CLIENT] atclient_ReceivedModemData <- bRetVal=0\n"), 2u);
    EXPECT_TRUE(atclient_ReceivedModemData(&byte, 1));
    EXPECT_NE(Log().find("L4 [CLIENT] atclient_ReceivedModemData <- bRetVal=1\n"), std::string::npos);
}

TEST_F(ReceivePath, OverlongLineIsDroppedAndTheFollowingLinesWork) {
    // More lines than the recorder holds: log into a file.
    gnss::test::TempDir dir;
    ASSERT_TRUE(gnss::trace::StartRealtimeSession({dir.File("rx.log"), 6, GNSS_TRACE_FLAG}));
    const std::string transfer(1024, 'A');
    for (int i = 0; i < 1024; ++i) {  // 1 MiB without a line feed
        Feed(transfer);
        ASSERT_LE(State().m_vecRxBuffer.size(), RX_LINE_LIMIT);
    }
    EXPECT_TRUE(State().m_vecRxBuffer.empty());
    Feed("AAAA\r\nOK\r\n");  // the dropped line's end, then a good line
    EXPECT_TRUE(AnswerSignalled());
    EXPECT_EQ(Engine().m_dwATResponseStatus, 1u);
    gnss::trace::StopRealtimeSession();
    const std::string log = gnss::test::ReadFile(dir.File("rx.log"));
    EXPECT_EQ(CountOccurrences(log, "L2 [MODEM ] UsbRxBufferCallback ERROR: Line of more than 65536 "
                                    "bytes without a line feed, dropped up to its line feed\n"),
              1u);
    EXPECT_EQ(CountOccurrences(log, "[ATCMD]"), 1u);  // only the OK
}

TEST_F(ReceivePath, LineAtTheLimitIsKeptOneByteMoreIsDropped) {
    Engine().m_bProdTestMode = 1;
    Feed(std::string(RX_LINE_LIMIT, 'x') + "\n");
    EXPECT_EQ(EngineTakeSpectrumResult(), std::string(RX_LINE_LIMIT, 'x') + "\r\n");
    Feed(std::string(RX_LINE_LIMIT + 1, 'y') + "\nspectrum 1\n");
    EXPECT_EQ(EngineTakeSpectrumResult(), "spectrum 1\r\n");
    EXPECT_EQ(CountOccurrences(Log(), "ERROR: Line of more than"), 1u);
}

// --- final results and answers ---------------------------------------------

TEST_F(ReceivePath, FinalResultsReleaseTheWaitingCommand) {
    Engine().m_dwATResponseStatus = 1;
    Feed("ERROR\r\n");
    EXPECT_TRUE(AnswerSignalled());
    EXPECT_EQ(Engine().m_dwATResponseStatus, 0u);

    for (const char* line : {"+XLCSLSR: failure", "+XLCSLSR: 1,ERROR 3"}) {
        Engine().m_dwATResponseStatus = 1;
        Feed(std::string(line) + "\r\n");
        EXPECT_TRUE(AnswerSignalled()) << line;
        EXPECT_EQ(Engine().m_dwATResponseStatus, 0u) << line;
    }
    EXPECT_TRUE(TakePosted().empty());

    // Without the events (engine not started) the status is still written.
    {
        std::lock_guard guard(Engine().handleLock);
        Engine().events = ENGINE_EVENTS{};
    }
    Feed("OK\r\n+XLSRSTOP\r\n");
    EXPECT_EQ(Engine().m_dwATResponseStatus, 1u);
}

TEST_F(ReceivePath, SessionIdIsStoredBeforeTheOkThatReleasesTheCommand) {
    Feed("+XLCSLSR: request id 12\r\n");
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 12u);
    EXPECT_FALSE(AnswerSignalled());
    Feed("OK\r\n");
    EXPECT_TRUE(AnswerSignalled());
    Feed("+XLCSLSR: request id: 7\r\n");
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 7u);
    // Too short to carry an id: no session, never the previous one.
    Feed("+XLCSLSR: request id\r\n");
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 0u);
    EXPECT_NE(Log().find("L4 [MODEM ] UsbRxBufferCallback GNSS_RESPONSE_STARTFIX Received\n"),
              std::string::npos);
}

TEST_F(ReceivePath, WaitingThreadFindsTheAnswerStored) {
    // The client thread's side of the exchange: wait for the final answer,
    // then read what the answer lines stored.
    const os::EventHandle answer = EngineEvents().m_hATResponseEvent;
    DWORD seenSession = 0, seenChip = 0, seenStatus = 0;
    bool answered = false;
    std::thread client([&] {
        answered = answer->Wait(60000);
        seenSession = Engine().m_dwReceivedSessionId;
        seenChip = Engine().m_dwGnssChip;
        seenStatus = Engine().m_dwATResponseStatus;
    });
    Feed("+XLCSSWITCH : 1\r\n+XLCSLSR: request id 31\r\nOK\r\n");
    client.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(seenSession, 31u);
    EXPECT_EQ(seenChip, GNSS_CHIP_RXA7300);
    EXPECT_EQ(seenStatus, 1u);
}

TEST_F(ReceivePath, ImsiAndSpectrumLines) {
    Feed("262011234567890\r\n");
    EXPECT_EQ(EngineGetImsi(), "262011234567890");
    Feed("26201123456789\r\n");
    EXPECT_EQ(EngineGetImsi(), "26201123456789");
    Feed("2620112345678901\r\n26201123456a89\r\nspectrum peak 1575.42 MHz\r\n");
    EXPECT_EQ(EngineGetImsi(), "26201123456789");
    EXPECT_EQ(EngineTakeSpectrumResult(), "");

    Engine().m_bProdTestMode = 1;
    Feed("26201123456a89\r\nspectrum peak 1575.42 MHz\r\nOK\r\n262019876543210\r\n");
    EXPECT_EQ(EngineTakeSpectrumResult(), "spectrum peak 1575.42 MHz\r\n");
    EXPECT_EQ(EngineGetImsi(), "262019876543210");
    EXPECT_TRUE(AnswerSignalled());
    const std::string log = Log();
    EXPECT_EQ(CountOccurrences(log, "GNSS_RESPONSE_IMSI Received"), 3u);
    EXPECT_EQ(CountOccurrences(log, "GNSS_RESPONSE_SPECTRUANALYZER Received"), 1u);
}

TEST_F(ReceivePath, ChipGenerationFromTheSwitchAnswer) {
    struct Case {
        const char* line;
        DWORD chip;
    };
    const Case cases[] = {
        {"+XLCSSWITCH : 1,0", GNSS_CHIP_PV7710},
        {"+XLCSSWITCH : 1", GNSS_CHIP_RXA7300},
        {"+XLCSSWITCH : 0,3,", GNSS_CHIP_PV7710},  // a trailing comma adds no field
        {"+XLCSSWITCH : 1,0,2", GNSS_CHIP_RXA7300},
        {"+XLCSSWITCH : 1,,", GNSS_CHIP_PV7710},
        {"+XLCSSWITCH :", GNSS_CHIP_RXA7300},  // too short: no fields
    };
    for (const Case& c : cases) {
        Engine().m_dwGnssChip = GNSS_CHIP_UNKNOWN;
        Feed(std::string(c.line) + "\r\nOK\r\n");
        EXPECT_EQ(Engine().m_dwGnssChip, c.chip) << c.line;
    }
    // Without the blank before the colon the line is no switch answer.
    Engine().m_dwGnssChip = GNSS_CHIP_UNKNOWN;
    Feed("+XLCSSWITCH: 1,0\r\n");
    EXPECT_EQ(Engine().m_dwGnssChip, GNSS_CHIP_UNKNOWN);
}

TEST_F(ReceivePath, SimAnswersAndNetworkInitiatedStatus) {
    Feed("+CRSM: 144,0,\"02\"\r\nOK\r\n");
    EXPECT_EQ(Engine().m_uiCRSMStatus, 2u);
    EXPECT_NE(Log().find("L4 [MODEM ] RxAtLine INFO: MNC Length=2\n"), std::string::npos);
    Feed("+CRSM: 144,0,\"03\"\r\n");
    EXPECT_EQ(Engine().m_uiCRSMStatus, 3u);
    Feed("+CRSM: 148,4\r\n");
    EXPECT_EQ(Engine().m_uiCRSMStatus, 0u);
    for (const char* shortLine : {"+CRSM: 144,0,", "+CRSM: 144", "+CRSM"}) {
        Engine().m_uiCRSMStatus = 3;
        Feed(std::string(shortLine) + "\r\n");
        EXPECT_EQ(Engine().m_uiCRSMStatus, 0u) << shortLine;
    }

    Feed("+XLCSLRMT : 1\r\n");
    EXPECT_EQ(Engine().m_dwLRMTStatus, 1u);
    Feed("+XLCSLRMT : 0\r\n");
    EXPECT_EQ(Engine().m_dwLRMTStatus, 0u);
    Engine().m_dwLRMTStatus = 1;
    Feed("+XLCSLRMT: 1\r\n");  // the value sits before index 12: reads as 0
    EXPECT_EQ(Engine().m_dwLRMTStatus, 0u);
}

TEST_F(ReceivePath, StopConfirmation) {
    Feed("+XLSRSTOP\r\n");
    EXPECT_TRUE(StopSignalled());
    EXPECT_FALSE(AnswerSignalled());
    Feed("+XLSRSTOP: 0,7\r\nOK\r\n");
    EXPECT_TRUE(StopSignalled());
    EXPECT_TRUE(AnswerSignalled());
}

// --- position reports ---------------------------------------------------------

TEST_F(ReceivePath, PositionReportClosedByOkIsPosted) {
    ReportLine report(1);
    report.Group({Satellite(45, 120, 38, true, 0, 5)});
    Feed(report.Text() + "\r\n");
    EXPECT_TRUE(TakePosted().empty());
    EXPECT_EQ(State().eRespTypeForOK, GNSS_RESPONSE_NAVDATA);
    EXPECT_EQ(State().m_bIgnoreNextOK, 1u);
    Feed("OK\r\n");

    const std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].type, NAVDATA_NOTIFICATION);
    GNSS_FIXDATA expected{};
    ASSERT_EQ(ParseXLCSLSR(report.Text().c_str(), &expected), XLCSLSR_PARSED);
    const GNSS_FIXDATA fix = posted[0].Fix();
    EXPECT_EQ(std::memcmp(&fix, &expected, sizeof fix), 0);
    EXPECT_EQ(fix.SatelliteData.SatelliteCount, 1u);
    // The report's OK does not complete a command.
    EXPECT_FALSE(AnswerSignalled());
    EXPECT_EQ(Engine().m_dwATResponseStatus, 0u);
    EXPECT_EQ(State().m_pFixData, nullptr);
    EXPECT_EQ(State().eRespTypeForOK, GNSS_RESPONSE_UNKNOWN);
    EXPECT_EQ(State().m_bIgnoreNextOK, 0u);
    // The next OK does.
    Feed("OK\r\n");
    EXPECT_TRUE(AnswerSignalled());
    const std::string log = Log();
    EXPECT_NE(log.find("L4 [MODEM ] UsbRxBufferCallback GNSS_RESPONSE_NAVDATA Received. Ignore next OK\n"),
              std::string::npos);
}

TEST_F(ReceivePath, ReportsWithoutUsableTimeAreDropped) {
    ReportLine badDate(0);
    badDate.Tail(gnss::test::kDate) = "24/3/5";
    ReportLine full(0);
    Feed(Lines({badDate.Text(), "OK", full.FirstFields(30), "OK"}));
    EXPECT_TRUE(TakePosted().empty());
    EXPECT_FALSE(AnswerSignalled());
    EXPECT_EQ(State().m_pFixData, nullptr);
}

TEST_F(ReceivePath, ALaterReportReplacesThePendingOne) {
    ReportLine first(0), second(0);
    second.Field(2) = "12.5S";
    Feed(Lines({first.Text(), second.Text(), "OK"}));
    const std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_DOUBLE_EQ(posted[0].Fix().BasicData.Latitude, -12.5);
    EXPECT_EQ(CountOccurrences(Log(), "L3 [MODEM ] UsbRxBufferCallback WARNING: Previous FixData is not cleared\n"), 1u);
}

TEST_F(ReceivePath, PositionErrorIsPostedNotAnswered) {
    Feed("+XLCSLSR: ERROR, -8\r\n");
    const std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].type, NAVERROR_NOTIFICATION);
    EXPECT_TRUE(posted[0].param.empty());
    EXPECT_FALSE(AnswerSignalled());
    EXPECT_NE(Log().find("GNSS_RESPONSE_NAVERROR Received\n"), std::string::npos);
}

// --- NMEA blocks --------------------------------------------------------------

TEST_F(ReceivePath, NmeaLinesAreCollectedIntoBlocksOfWholeLines) {
    const std::string a = NmeaLine('a', 120), b = NmeaLine('b', 120), c = NmeaLine('c', 120);
    Feed(Lines({a, b}));
    EXPECT_EQ(State().m_dwNmeaBlockLength, 244u);
    EXPECT_TRUE(TakePosted().empty());
    Feed(Lines({c}));
    std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].type, NMEA_NOTIFICATION);
    GNSS_NMEA_DATA nmea = posted[0].Nmea();
    EXPECT_EQ(nmea.Size, 264u);
    EXPECT_EQ(nmea.Version, 3u);
    EXPECT_EQ(std::string(nmea.NmeaSentences), a + "\r\n" + b + "\r\n");
    EXPECT_TRUE(std::all_of(nmea.NmeaSentences + 244, nmea.NmeaSentences + 256,
                            [](char ch) { return ch == 0; }));
    EXPECT_EQ(State().m_dwNmeaBlockLength, 122u);

    Feed("OK\r\n");
    posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(std::string(posted[0].Nmea().NmeaSentences), c + "\r\n");
    EXPECT_FALSE(AnswerSignalled());
    EXPECT_EQ(State().m_bNmeaInProgress, 0u);
    EXPECT_EQ(State().m_dwNmeaBlockLength, 0u);
    EXPECT_EQ(Block(), "");
}

TEST_F(ReceivePath, EveryLineInsideAnNmeaBlockIsNmeaText) {
    Feed(Lines({"$GPGGA,070809.00,4722.61400,N,00832.50200,E,1,07,0.9,408.5,M,48.0,M,,*6F",
                "ERROR", "+XLCSLSR: request id 9", "OK"}));
    EXPECT_FALSE(AnswerSignalled());
    EXPECT_EQ(Engine().m_dwReceivedSessionId, 0u);
    const std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(std::string(posted[0].Nmea().NmeaSentences),
              "$GPGGA,070809.00,4722.61400,N,00832.50200,E,1,07,0.9,408.5,M,48.0,M,,*6F\r\n"
              "ERROR\r\n+XLCSLSR: request id 9\r\n");
    // The block is closed: ERROR completes a command again.
    Engine().m_dwATResponseStatus = 1;
    Feed("ERROR\r\n");
    EXPECT_TRUE(AnswerSignalled());
    EXPECT_EQ(Engine().m_dwATResponseStatus, 0u);
}

TEST_F(ReceivePath, NmeaLinesTooLongForABlockAreDropped) {
    // 253 characters and CR LF fill a block exactly.
    const std::string fits = NmeaLine('f', 253);
    Feed(Lines({fits, "OK"}));
    std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(std::string(posted[0].Nmea().NmeaSentences), fits + "\r\n");

    // 254 characters cannot fit: dropped with an error, the block goes on.
    const std::string small = NmeaLine('s', 40);
    Feed(Lines({small, NmeaLine('x', 254), "$GPVTG,,T,,M,0.0,N,0.0,K,N*2C", "OK"}));
    posted = TakePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(std::string(posted[0].Nmea().NmeaSentences),
              small + "\r\n$GPVTG,,T,,M,0.0,N,0.0,K,N*2C\r\n");
    EXPECT_EQ(CountOccurrences(Log(), "L2 [MODEM ] UsbRxBufferCallback ERROR: NMEA line of 254 "
                                      "characters does not fit a block, dropped\n"),
              1u);

    // A block of nothing but an overlong line: its OK is still the block's.
    Feed(Lines({NmeaLine('y', 300), "OK"}));
    EXPECT_TRUE(TakePosted().empty());
    EXPECT_FALSE(AnswerSignalled());
    EXPECT_NE(Log().find("L3 [MODEM ] UsbRxBufferCallback WARNING: No valid NMEA Data available\n"),
              std::string::npos);
    EXPECT_EQ(State().m_bNmeaInProgress, 0u);
}

// --- chunking -------------------------------------------------------------

namespace {

// A session's worth of modem output: answers, reports of every shape, NMEA
// blocks, errors, an overlong line and a partial line at the end.
std::string ModemStream() {
    std::vector<std::string> lines = {
        "", "OK", "+XLCSSWITCH : 1,0", "", "OK", "262011234567890", "OK",
        "+CRSM: 144,0,\"02\"", "OK", "+XLCSLRMT : 1", "OK", "+XLCSLSR: request id 3", "OK"};
    for (int shape = 0; shape < 4; ++shape) {
        ReportLine report(shape);
        report.Tail(gnss::test::kTime) = "7:8:" + std::to_string(10 + shape);
        report.Group({Satellite(45, 120, 38, true, 0, 5), Satellite(20, 40, 25, false, 0, 9)})
            .Group({Satellite(60, 10, 40, true, 1, 71)});
        lines.push_back(report.Text(shape % 2 == 0 ? "," : ", "));
        lines.push_back("OK");
        for (int i = 0; i < 5; ++i) lines.push_back(NmeaLine(static_cast<char>('a' + i), 30 + 20 * i));
        lines.push_back("OK");
    }
    ReportLine stale(0);
    stale.Tail(gnss::test::kDate) = "24/3/5";
    lines.insert(lines.end(), {stale.Text(), "OK", "+XLCSLSR: ERROR, -8", "ERROR",
                               "spectrum 1575.42 -131", std::string(RX_LINE_LIMIT + 10, 'Z'),
                               "spectrum 1602.00 -140", "+XLSRSTOP", "OK\r"});
    return Lines(lines) + "O\rK\n+XLCS";
}

struct Outcome {
    std::vector<Posted> posted;
    std::vector<std::string> log;  // without the per-transfer lines
    DWORD status = 0, session = 0, lrmt = 0, crsm = 0, chip = 0;
    bool answerSignalled = false, stopSignalled = false;
    std::string imsi, spectrum, pending, block;
    DWORD ignoreNextOk = 0, respTypeForOk = 0, nmeaInProgress = 0, blockLength = 0, discard = 0;
    bool fixPending = false;
    bool operator==(const Outcome&) const = default;
};

// The log's text after the time stamp and thread id, minus the lines that
// depend on how the bytes were cut (entry, exit, partial-data warnings).
std::vector<std::string> StableLogLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(gnss::test::ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        const auto level = line.find("] L");
        if (level == std::string::npos) continue;
        line.erase(0, level + 2);
        if (line.find("[CLIENT]") != std::string::npos) continue;
        if (line.find("Partial data in Rx buffer") != std::string::npos) continue;
        lines.push_back(line);
    }
    return lines;
}

Outcome Deliver(const std::string& stream, const std::vector<std::size_t>& cuts,
                const std::string& logPath) {
    ResetReceivePathForTest();
    ENGINE_STATE& e = Engine();
    e.m_dwATResponseStatus = 0;
    e.m_dwReceivedSessionId = 0;
    e.m_dwLRMTStatus = 0;
    e.m_uiCRSMStatus = 0;
    e.m_dwGnssChip = GNSS_CHIP_UNKNOWN;
    e.m_bProdTestMode = 1;
    EngineClearImsi();
    EngineTakeSpectrumResult();
    EngineEvents().m_hATResponseEvent->Reset();
    EngineEvents().m_hWaitForStopComplete->Reset();
    EXPECT_TRUE(gnss::trace::StartRealtimeSession({logPath, 6, GNSS_TRACE_FLAG}));

    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        const auto* bytes = reinterpret_cast<const BYTE*>(stream.data()) + from;
        atclient_ReceivedModemData(bytes, static_cast<ULONG>(cut - from));
        from = cut;
    }
    gnss::trace::StopRealtimeSession();

    Outcome o;
    o.posted = TakePosted();
    o.log = StableLogLines(logPath);
    o.status = e.m_dwATResponseStatus;
    o.session = e.m_dwReceivedSessionId;
    o.lrmt = e.m_dwLRMTStatus;
    o.crsm = e.m_uiCRSMStatus;
    o.chip = e.m_dwGnssChip;
    o.answerSignalled = EngineEvents().m_hATResponseEvent->IsSignalled();
    o.stopSignalled = EngineEvents().m_hWaitForStopComplete->IsSignalled();
    o.imsi = EngineGetImsi();
    o.spectrum = EngineTakeSpectrumResult();
    const RECEIVE_PATH_STATE& s = ReceivePathState();
    o.pending.assign(s.m_vecRxBuffer.begin(), s.m_vecRxBuffer.end());
    o.block.assign(s.m_NmeaBlock, sizeof s.m_NmeaBlock);
    o.ignoreNextOk = s.m_bIgnoreNextOK;
    o.respTypeForOk = s.eRespTypeForOK;
    o.nmeaInProgress = s.m_bNmeaInProgress;
    o.blockLength = s.m_dwNmeaBlockLength;
    o.discard = s.m_bDiscardToLineFeed;
    o.fixPending = s.m_pFixData != nullptr;
    return o;
}

}  // namespace

TEST_F(ReceivePath, ChunkingDoesNotChangeTheOutcome) {
    gnss::test::TempDir dir;
    const std::string stream = ModemStream();

    const Outcome whole = Deliver(stream, {stream.size()}, dir.File("whole.log"));
    // The stream really exercises what it should.
    ASSERT_EQ(whole.posted.size(), 4u + 4u * 2u + 1u);  // fixes, NMEA blocks, position error
    EXPECT_EQ(whole.session, 3u);
    EXPECT_EQ(whole.chip, GNSS_CHIP_PV7710);
    EXPECT_EQ(whole.crsm, 2u);
    EXPECT_EQ(whole.imsi, "262011234567890");
    // In production test mode every unknown line is spectrum output, the empty ones too.
    EXPECT_EQ(whole.spectrum, "\r\n\r\nspectrum 1575.42 -131\r\nspectrum 1602.00 -140\r\nO\rK\r\n");
    EXPECT_EQ(whole.pending, "+XLCS");
    EXPECT_TRUE(whole.stopSignalled);

    std::vector<std::size_t> bytes;
    for (std::size_t i = 1; i <= stream.size(); ++i) bytes.push_back(i);
    const Outcome single = Deliver(stream, bytes, dir.File("bytes.log"));
    EXPECT_TRUE(single == whole);
    EXPECT_EQ(single.log, whole.log);
    EXPECT_EQ(single.posted, whole.posted);

    std::mt19937 random(20240305);
    for (int round = 0; round < 8; ++round) {
        std::uniform_int_distribution<std::size_t> size(1, round < 4 ? 16 : 1500);
        std::vector<std::size_t> cuts;
        for (std::size_t at = size(random); at < stream.size(); at += size(random)) cuts.push_back(at);
        cuts.push_back(stream.size());
        const Outcome chunked = Deliver(stream, cuts, dir.File("chunked" + std::to_string(round) + ".log"));
        EXPECT_TRUE(chunked == whole) << "round " << round;
        EXPECT_EQ(chunked.log, whole.log) << "round " << round;
    }
}
