#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "DriverEvents.h"
#include "TempDir.h"
#include "Trace.h"
#include "gnss/platform/eventprovider.h"
#include "gnss/platform/trace.h"

using gnss::test::CountOccurrences;
using gnss::test::ReadFile;
using gnss::test::TempDir;
namespace trace = gnss::trace;
namespace ev = gnss::events;

namespace {

// The driver's diagnostics with a real-time session and an event session,
// both writing into a temporary directory.
class Diagnostics : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(trace::StartRealtimeSession({TraceFile(), 6, GNSS_TRACE_FLAG}));
        session_ = ev::EnableTraceSession(gnss::driver::DriverManifest().guid,
                                          {EventFile(), 0, 0, 0});
        ASSERT_GE(session_, 0);
        GnssDiagnosticsInitialize();
    }
    void TearDown() override {
        GnssDiagnosticsCleanup();
        ev::DisableTraceSession(session_);
        trace::StopRealtimeSession();
    }
    std::string TraceFile() const { return dir_.File("trace.log"); }
    std::string EventFile() const { return dir_.File("events.json"); }
    std::string Traced() const { return ReadFile(TraceFile()); }
    std::string Events() const { return ReadFile(EventFile()); }

    TempDir dir_;
    int session_ = -1;
};

}  // namespace

TEST_F(Diagnostics, LineShapeAndVersionBanner) {
    GnssLogVersionBanner();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_DRIVER, "DriverEntry");
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FileObject=0x%p, 0x%X", TAG_DEVICE, "Fn", reinterpret_cast<void*>(0xABC0),
            0x12u);
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s A=0x%p B=0x%p %d%%", TAG_DEVICE, "Fn", nullptr,
            reinterpret_cast<void*>(0x1F), 7);
    const std::string traced = Traced();
    EXPECT_NE(traced.find("[DEVICE] Fn FileObject=0xabc0, 0x12\n"), std::string::npos);
    EXPECT_NE(traced.find("[DEVICE] Fn A=0x0 B=0x1f 7%\n"), std::string::npos);
    EXPECT_NE(traced.find("L4 ***********************************************\n"), std::string::npos);
    EXPECT_NE(traced.find("L4 GNSS Driver Version: 3.19041.1.3\n"), std::string::npos);
    EXPECT_NE(traced.find("L4 [DRIVER] DriverEntry ->\n"), std::string::npos);
    EXPECT_NE(Events().find("\"message\":\"INFO: GNSS Driver Version: 3.19041.1.3\""),
              std::string::npos);
}

TEST_F(Diagnostics, OverlongLinesAreCutAt2047Characters) {
    const std::string longText(3000, 'x');
    GnssLog(GNSS_LEVEL_INFO, "%s", longText.c_str());
    const std::string traced = Traced();
    EXPECT_NE(traced.find(std::string(2047, 'x') + "\n"), std::string::npos);
    EXPECT_EQ(traced.find(std::string(2048, 'x')), std::string::npos);
    EXPECT_NE(Events().find("\"INFO: " + std::string(2047, 'x') + "\""), std::string::npos);
}

TEST_F(Diagnostics, LevelsRouteToTheirEvents) {
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Thing FAILED status=0x%X", TAG_QUEUE, "Fn",
            0xC0000022u);
    GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: careful", TAG_QUEUE, "Fn");
    GnssLog(GNSS_LEVEL_DATA, "[%s] %s data", TAG_IOCTRL, "Fn");
    GnssLog(GNSS_LEVEL_ATCMD, "[%s] [ATCMD] %s [%d] %s", TAG_MODEM, "SendATCmdSync", 6, "ATE0");

    const std::string events = Events();
    // Level 2: event 102, whose Status is always 0xC0000001 whatever the text says.
    EXPECT_NE(events.find("\"id\":102"), std::string::npos);
    EXPECT_NE(events.find("\"message\":\"ERROR: [QUEUE ] Fn ERROR: Thing FAILED "
                          "status=0xC0000022. Status=0xC0000001.\""),
              std::string::npos);
    EXPECT_NE(events.find("\"id\":101"), std::string::npos);
    EXPECT_NE(events.find("\"message\":\"INFO: [IOCTRL] Fn data\""), std::string::npos);
    // Level 6 never reaches the provider, but is traced as level 1.
    EXPECT_EQ(events.find("ATCMD"), std::string::npos);
    EXPECT_EQ(CountOccurrences(events, "\n"), 3u);
    EXPECT_NE(Traced().find("L1 [MODEM ] [ATCMD] SendATCmdSync [6] ATE0\n"), std::string::npos);
    EXPECT_NE(trace::RecorderSnapshot().find("[ATCMD] SendATCmdSync [6] ATE0"),
              std::string::npos);
}

TEST_F(Diagnostics, VerboseLinesNeedTheRecordersVerboseSwitch) {
    GnssLog(GNSS_LEVEL_VERBOSE, "quiet verbose");
    EXPECT_EQ(Traced().find("quiet verbose"), std::string::npos);
    trace::SetRecorderVerbose(true);
    GnssLog(GNSS_LEVEL_VERBOSE, "loud verbose");
    trace::SetRecorderVerbose(false);
    EXPECT_NE(Traced().find("L5 loud verbose"), std::string::npos);
    EXPECT_NE(trace::RecorderSnapshot().find("loud verbose"), std::string::npos);
}

TEST_F(Diagnostics, SessionsFilterProviderEventsByLevelAndKeywords) {
    const int warnings = ev::EnableTraceSession(gnss::driver::DriverManifest().guid,
                                                {dir_.File("warnings.json"), 3, 0, 0});
    const int power = ev::EnableTraceSession(gnss::driver::DriverManifest().guid,
                                             {dir_.File("power.json"), 0, 0x8, 0});
    GnssLog(GNSS_LEVEL_INFO, "info");
    GnssLog(GNSS_LEVEL_WARNING, "WARNING: warn");
    gnss::driver::WriteEvent(108, {ev::EventValue::Number(0)});  // D0 entry stop, keywords 0x2409
    ev::DisableTraceSession(warnings);
    ev::DisableTraceSession(power);
    const std::string w = ReadFile(dir_.File("warnings.json"));
    EXPECT_EQ(CountOccurrences(w, "\n"), 1u);
    EXPECT_NE(w.find("\"id\":101"), std::string::npos);
    const std::string p = ReadFile(dir_.File("power.json"));
    EXPECT_EQ(CountOccurrences(p, "\n"), 1u);
    EXPECT_NE(p.find("\"message\":\"End processing D0Entry with Status=0x0.\""),
              std::string::npos);
}

TEST(DiagnosticsLifecycle, LoggingBeforeSetUpAndAfterTearDownWritesNothing) {
    TempDir dir;
    ASSERT_TRUE(trace::StartRealtimeSession({dir.File("trace.log"), 6, GNSS_TRACE_FLAG}));
    const int session = ev::EnableTraceSession(gnss::driver::DriverManifest().guid,
                                               {dir.File("events.json"), 0, 0, 0});
    GnssLog(GNSS_LEVEL_ERROR, "before set-up %d", 1);
    GnssDiagnosticsInitialize();
    GnssDiagnosticsInitialize();  // the provider is registered only once
    GnssLog(GNSS_LEVEL_ERROR, "while up %d", 2);
    GnssDiagnosticsCleanup();
    GnssLog(GNSS_LEVEL_ERROR, "after tear-down %d", 3);
    ev::DisableTraceSession(session);
    trace::StopRealtimeSession();

    const std::string traced = ReadFile(dir.File("trace.log"));
    const std::string events = ReadFile(dir.File("events.json"));
    EXPECT_EQ(traced.find("before"), std::string::npos);
    EXPECT_EQ(traced.find("after"), std::string::npos);
    EXPECT_NE(traced.find("while up 2"), std::string::npos);
    EXPECT_EQ(CountOccurrences(events, "\n"), 1u);
    EXPECT_FALSE(gnss::driver::EventProviderRegistered());
}

TEST(DiagnosticsLifecycle, ConcurrentLoggingAcrossSetUpAndTearDown) {
    TempDir dir;
    ASSERT_TRUE(trace::StartRealtimeSession({dir.File("trace.log"), 6, GNSS_TRACE_FLAG}));
    const int session = ev::EnableTraceSession(gnss::driver::DriverManifest().guid,
                                               {dir.File("events.json"), 0, 0, 0});
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 3; ++t)
        loggers.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) GnssLog(static_cast<BYTE>(1 + (i % 6)), "thread %d line %d", t, i);
        });
    for (int i = 0; i < 50; ++i) {
        GnssDiagnosticsInitialize();
        GnssDiagnosticsCleanup();
    }
    stop = true;
    for (auto& t : loggers) t.join();
    ev::DisableTraceSession(session);
    trace::StopRealtimeSession();
    // Every line that was written is whole.
    const std::string traced = ReadFile(dir.File("trace.log"));
    std::size_t lines = CountOccurrences(traced, "\n");
    EXPECT_EQ(CountOccurrences(traced, " line "), lines);
}

TEST(DriverManifest, HoldsTheProviderWithAllItsEventsAndKeywords) {
    const auto& m = gnss::driver::DriverManifest();
    EXPECT_STREQ(m.name, "VeruzuVEDAZedeva");
    char guid[40];
    gnss::FormatGuid(m.guid, guid, sizeof guid);
    EXPECT_STREQ(guid, "{3336E5E4-018A-4669-84C5-BD05F3BD368B}");
    EXPECT_EQ(m.eventCount, 41u);
    EXPECT_EQ(m.keywordCount, 18u);
    EXPECT_EQ(m.levelCount, 4u);
    EXPECT_EQ(m.opcodeCount, 2u);
    for (std::uint16_t id = 100; id <= 138; ++id) EXPECT_NE(m.Find(id), nullptr) << id;
    EXPECT_NE(m.Find(201), nullptr);
    EXPECT_NE(m.Find(202), nullptr);
    EXPECT_EQ(m.Find(139), nullptr);
    const auto* prepare = m.Find(115);
    ASSERT_NE(prepare, nullptr);
    EXPECT_EQ(prepare->descriptor.keywords, 0x14411u);
    EXPECT_EQ(prepare->descriptor.opcode, 1);
    EXPECT_STREQ(prepare->message,
                 "Start processing PrepareHardware with Device=0x%1, Resource=0x%2, "
                 "ResourcesTranslated=0x%3.");
}

namespace {

// gnssd keeps the recorder at its log level, and counts the driver's NMEA
// queue overflows from their warning whatever that level is.
TEST(GnssLogLevels, LinesOfLevelsNobodyWantsAreDroppedAndCountedLinesAreCounted) {
    GnssDiagnosticsInitialize();
    trace::ClearRecorder();
    trace::SetRecorderLevel(GNSS_LEVEL_ERROR, false);
    std::atomic<std::uint64_t> overflows{0};
    trace::CountLines(GNSS_LEVEL_WARNING, "NMEA Queue hit MAX", &overflows);
    EXPECT_FALSE(trace::LineWanted(GNSS_LEVEL_INFO, GNSS_TRACE_FLAG));
    GnssLog(GNSS_LEVEL_INFO, "an information line");
    GnssLog(GNSS_LEVEL_ATCMD, "an AT line");
    GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: NMEA Queue hit MAX, Clearing it.", TAG_IOCTRL,
            "CacheNmeaData");
    GnssLog(GNSS_LEVEL_WARNING, "another warning");
    GnssLog(GNSS_LEVEL_ERROR, "an error line");
    trace::CountLines(0, nullptr, nullptr);
    trace::SetRecorderLevel(6, true);
    const std::string recorded = trace::RecorderSnapshot();
    GnssDiagnosticsCleanup();
    EXPECT_EQ(overflows.load(), 1u);
    EXPECT_EQ(recorded.find("information"), std::string::npos);
    EXPECT_EQ(recorded.find("AT line"), std::string::npos);
    EXPECT_EQ(recorded.find("warning"), std::string::npos);
    EXPECT_NE(recorded.find("an error line"), std::string::npos);
}

}  // namespace
