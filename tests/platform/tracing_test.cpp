#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "gnss/platform/eventprovider.h"
#include "gnss/platform/timescale.h"
#include "gnss/platform/trace.h"

using gnss::test::CountOccurrences;
using gnss::test::ReadFile;
using gnss::test::TempDir;
namespace trace = gnss::trace;
namespace ev = gnss::events;

TEST(Recorder, KeepsTheNewestWholeLinesWithinItsCapacity) {
    trace::RecorderStart();
    trace::TraceLine(4, 2, "first line", 10);
    EXPECT_NE(trace::RecorderSnapshot().find("L4 first line\n"), std::string::npos);

    const std::string filler(100, 'f');
    for (int i = 0; i < 2000; ++i) trace::TraceLine(4, 2, filler.c_str(), filler.size());
    trace::TraceLine(1, 2, "last line", 9);
    const std::string content = trace::RecorderSnapshot();
    EXPECT_LE(content.size(), trace::kRecorderCapacity);
    EXPECT_GT(content.size(), trace::kRecorderCapacity - 200);
    EXPECT_EQ(content.find("first line"), std::string::npos);
    EXPECT_EQ(content.rfind("L1 last line\n"), content.size() - 13);
    EXPECT_EQ(content.back(), '\n');
    // Every line that survived is whole: a time stamp starts it.
    EXPECT_EQ(content.compare(0, 2, "20"), 0);

    trace::RecorderStop();
    trace::ClearRecorder();
    trace::TraceLine(4, 2, "not recorded", 12);
    EXPECT_TRUE(trace::RecorderSnapshot().empty());
}

TEST(RealtimeSession, FiltersByLevelAndTraceFlag) {
    TempDir dir;
    const std::string path = dir.File("trace.log");
    ASSERT_TRUE(trace::StartRealtimeSession({path, 3, 0x2}));
    trace::TraceLine(2, 0x2, "error line", 10);
    trace::TraceLine(3, 0x2, "warning line", 12);
    trace::TraceLine(4, 0x2, "info line", 9);      // above the session level
    trace::TraceLine(1, 0x4, "other flag", 10);    // flag not enabled
    trace::StopRealtimeSession();
    trace::TraceLine(1, 0x2, "after stop", 10);

    const std::string content = ReadFile(path);
    EXPECT_NE(content.find("L2 error line"), std::string::npos);
    EXPECT_NE(content.find("L3 warning line"), std::string::npos);
    EXPECT_EQ(content.find("info line"), std::string::npos);
    EXPECT_EQ(content.find("other flag"), std::string::npos);
    EXPECT_EQ(content.find("after stop"), std::string::npos);
    EXPECT_FALSE(trace::StartRealtimeSession({dir.File("missing/dir/trace.log"), 4, 0x2}));
}

// The lines of a session's file without their time stamps.
std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    // "<time> [<tid>] L<level> <text>": from the level on; a dumped line whole.
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(" L") + 1));
    return lines;
}

void Trace(unsigned level, const std::string& text) {
    trace::TraceLine(level, 0x2, text.c_str(), text.size());
}

TEST(RealtimeSession, WritesARepeatedLineOnceAndThenItsCount) {
    TempDir dir;
    const std::string path = dir.File("trace.log");
    ASSERT_TRUE(trace::StartRealtimeSession({path, 4, 0x2, 0, true}));
    for (int i = 0; i < 5; ++i) {
        Trace(4, "modem line");
        Trace(5, "verbose, not for this session");  // filtered out: the run goes on
    }
    Trace(3, "modem line");  // another level: another line
    Trace(4, "other line");
    Trace(4, "other line");
    trace::WriteToRealtimeSession("dumped line\n");  // the count comes before it
    Trace(4, "other line");
    Trace(4, "other line");
    Trace(4, "other line");
    trace::StopRealtimeSession();  // the count is not lost at the end

    EXPECT_EQ(Lines(path), (std::vector<std::string>{
                               "L4 modem line",
                               "L4 last message repeated 4 times",
                               "L3 modem line",
                               "L4 other line",
                               "L4 last message repeated 1 times",
                               "dumped line",
                               "L4 other line",
                               "L4 last message repeated 2 times",
                           }))
        << ReadFile(path);
}

TEST(RealtimeSession, WritesAPendingCountAfterAShortWhile) {
    gnss::os::SetTimeScale(0.01);  // kRepeatFlushMs becomes 10 ms
    TempDir dir;
    const std::string path = dir.File("trace.log");
    ASSERT_TRUE(trace::StartRealtimeSession({path, 4, 0x2, 0, true}));
    for (int i = 0; i < 3; ++i) Trace(4, "flood");
    // Nothing else is traced: the session's own timer writes the count.
    EXPECT_TRUE(gnss::test::WaitForText(path, "L4 last message repeated 2 times\n"))
        << ReadFile(path);
    Trace(4, "flood");  // counted afresh after the count was written
    trace::StopRealtimeSession();
    EXPECT_EQ(Lines(path), (std::vector<std::string>{"L4 flood", "L4 last message repeated 2 times",
                                                     "L4 last message repeated 1 times"}));
}

TEST(RealtimeSession, RotatesTheFileAtItsSizeCap) {
    TempDir dir;
    const std::string path = dir.File("trace.log");
    constexpr std::uint64_t kCap = 4096;
    std::ofstream(path) << std::string(3000, 'x') << "\n";  // from an earlier run
    std::ofstream(path + ".1") << "the oldest file\n";
    ASSERT_TRUE(trace::StartRealtimeSession({path, 4, 0x2, kCap}));
    constexpr int kLines = 300;  // about 60 bytes each: four caps and more
    for (int i = 0; i < kLines; ++i) {
        Trace(4, "numbered line " + std::to_string(i));
        ASSERT_LE(std::filesystem::file_size(path), kCap) << "line " << i;
    }
    const std::string dump(100, 'd');
    trace::WriteToRealtimeSession(dump + "\n" + dump + "\n");
    trace::StopRealtimeSession();

    EXPECT_LE(std::filesystem::file_size(path), kCap);
    EXPECT_LE(std::filesystem::file_size(path + ".1"), kCap);
    EXPECT_GT(std::filesystem::file_size(path + ".1"), kCap / 2);
    EXPECT_FALSE(std::filesystem::exists(path + ".2"));
    // The two files hold the newest lines without a gap, the newest last.
    std::vector<std::string> lines = Lines(path + ".1");
    const std::vector<std::string> current = Lines(path);
    lines.insert(lines.end(), current.begin(), current.end());
    ASSERT_EQ(lines.back(), dump);
    ASSERT_EQ(lines[lines.size() - 3], "L4 numbered line " + std::to_string(kLines - 1));
    const int first = std::stoi(lines.front().substr(std::strlen("L4 numbered line ")));
    EXPECT_EQ(static_cast<int>(lines.size()) - 2, kLines - first);
}

TEST(EventProvider, StandardEnableRule) {
    // Level: 0 enables all; otherwise the event's level must not exceed it.
    EXPECT_TRUE(ev::SessionMatches(0, 0, 0, 5, 0x1));
    EXPECT_TRUE(ev::SessionMatches(4, 0, 0, 4, 0x1));
    EXPECT_FALSE(ev::SessionMatches(3, 0, 0, 4, 0x1));
    // Match-any: one common bit is enough; 0 matches everything.
    EXPECT_TRUE(ev::SessionMatches(0, 0x10, 0, 4, 0x4011));
    EXPECT_FALSE(ev::SessionMatches(0, 0x2, 0, 4, 0x4011));
    // Match-all: every bit must be present.
    EXPECT_TRUE(ev::SessionMatches(0, 0x1, 0x4001, 4, 0x4011));
    EXPECT_FALSE(ev::SessionMatches(0, 0x1, 0x4002, 4, 0x4011));
    // An event without keywords passes any mask.
    EXPECT_TRUE(ev::SessionMatches(0, 0x2, 0x6, 4, 0));

    ULONGLONG mask = 0;
    EXPECT_TRUE(ev::ParseKeywordMask("0x4011", &mask));
    EXPECT_EQ(mask, 0x4011u);
    EXPECT_TRUE(ev::ParseKeywordMask("5", &mask));
    EXPECT_EQ(mask, 5u);
    EXPECT_FALSE(ev::ParseKeywordMask("0x40zz", &mask));
    EXPECT_FALSE(ev::ParseKeywordMask("-1", &mask));
}

namespace {

constexpr GUID kGuid = {0x11112222, 0x3333, 0x4444, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr ev::FieldDefinition kTextStatus[] = {
    {"Message", ev::FieldType::UnicodeString, ev::FieldFormat::Plain},
    {"Status", ev::FieldType::UInt32, ev::FieldFormat::HexPrefixed},
    {nullptr, ev::FieldType::UInt32, ev::FieldFormat::Plain}};
constexpr ev::FieldDefinition kPointerLength[] = {
    {"Request", ev::FieldType::Pointer, ev::FieldFormat::Hex},
    {"Length", ev::FieldType::UInt64, ev::FieldFormat::Plain},
    {nullptr, ev::FieldType::UInt32, ev::FieldFormat::Plain}};
constexpr ev::EventDefinition kEvents[] = {
    {{7, 1, 0, 2, 0, 0, 0x1}, "ERROR: %1. Status=%2.", kTextStatus},
    {{8, 1, 0, 4, 1, 0, 0x4004}, "Request=0x%1 of %2 bytes \"quoted\"", kPointerLength},
};
constexpr ev::NamedValue kLevels[] = {{2, "win:Error"}, {4, "win:Informational"}};
constexpr ev::NamedValue kOpcodes[] = {{1, "win:Start"}};
constexpr ev::NamedValue kKeywords[] = {{0x1, "Default"}, {0x4, "IRP"}, {0x4000, "HW"}};
const ev::ProviderManifest kManifest = {"TestProvider", kGuid, kLevels, 2, kOpcodes, 1,
                                        kKeywords,      3,     kEvents, 2};

}  // namespace

TEST(EventProvider, WritesJsonLinesToEverySessionThatEnablesTheEvent) {
    TempDir dir;
    ev::ProviderHandle handle = 0;
    ASSERT_EQ(ev::EventRegister(&kManifest, nullptr, nullptr, &handle), 0u);
    EXPECT_FALSE(ev::EventEnabled(handle, kEvents[0].descriptor));

    const int errorsOnly = ev::EnableTraceSession(kGuid, {dir.File("errors.json"), 2, 0, 0});
    const int irp = ev::EnableTraceSession(kGuid, {dir.File("irp.json"), 0, 0x4, 0});
    ASSERT_GE(errorsOnly, 0);
    ASSERT_GE(irp, 0);
    EXPECT_TRUE(ev::EventEnabled(handle, kEvents[0].descriptor));

    const ev::EventValue error[] = {ev::EventValue::Unicode(u"caf\u00e9 \"x\""),
                                    ev::EventValue::Number(0xC0000001u)};
    ev::EventWrite(handle, kEvents[0].descriptor, 2, error);
    int object = 0;
    const ev::EventValue info[] = {ev::EventValue::Pointer(&object), ev::EventValue::Number(4096)};
    ev::EventWrite(handle, kEvents[1].descriptor, 2, info);

    const std::string errors = ReadFile(dir.File("errors.json"));
    const std::string irps = ReadFile(dir.File("irp.json"));
    EXPECT_EQ(CountOccurrences(errors, "\n"), 1u);  // the level-4 event is filtered out
    EXPECT_NE(errors.find("\"id\":7"), std::string::npos);
    EXPECT_NE(errors.find("\"levelName\":\"win:Error\""), std::string::npos);
    EXPECT_NE(errors.find("{\"name\":\"Status\",\"type\":\"UInt32\",\"value\":\"0xC0000001\"}"),
              std::string::npos);
    EXPECT_NE(errors.find("\"message\":\"ERROR: caf\xc3\xa9 \\\"x\\\". Status=0xC0000001.\""),
              std::string::npos);
    EXPECT_NE(errors.find("\"provider\":\"TestProvider\""), std::string::npos);

    // The IRP session has match-any 0x4: event 7 (keyword 0x1) is not for it.
    EXPECT_EQ(CountOccurrences(irps, "\n"), 1u);
    EXPECT_NE(irps.find("\"id\":8"), std::string::npos);
    EXPECT_NE(irps.find("\"opcodeName\":\"win:Start\""), std::string::npos);
    EXPECT_NE(irps.find("\"keywordNames\":[\"IRP\",\"HW\"]"), std::string::npos);
    EXPECT_NE(irps.find("{\"name\":\"Length\",\"type\":\"UInt64\",\"value\":4096}"),
              std::string::npos);
    char expected[128];
    std::snprintf(expected, sizeof expected, "Request=0x%llX of 4096 bytes \\\"quoted\\\"",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&object)));
    EXPECT_NE(irps.find(expected), std::string::npos);

    ev::DisableTraceSession(errorsOnly);
    ev::DisableTraceSession(irp);
    EXPECT_FALSE(ev::EventEnabled(handle, kEvents[0].descriptor));
    ev::EventUnregister(handle);
    EXPECT_FALSE(ev::EventEnabled(handle, kEvents[0].descriptor));
    EXPECT_EQ(ev::EnableTraceSession(kGuid, {dir.File("no/such/dir.json"), 0, 0, 0}), -1);
}

TEST(EventProvider, EnableCallbackSeesSessionsStartedBeforeAndAfterRegistration) {
    TempDir dir;
    struct Seen {
        int enables = 0;
        int disables = 0;
    } seen;
    auto callback = [](const GUID&, ULONG enabled, UCHAR, ULONGLONG, ULONGLONG, void* ctx) {
        auto* s = static_cast<Seen*>(ctx);
        (enabled ? s->enables : s->disables)++;
    };
    const int early = ev::EnableTraceSession(kGuid, {dir.File("a.json"), 0, 0, 0});
    ev::ProviderHandle handle = 0;
    ASSERT_EQ(ev::EventRegister(&kManifest, callback, &seen, &handle), 0u);
    EXPECT_EQ(seen.enables, 1);
    const int late = ev::EnableTraceSession(kGuid, {dir.File("b.json"), 0, 0, 0});
    EXPECT_EQ(seen.enables, 2);
    ev::DisableTraceSession(early);
    ev::DisableTraceSession(late);
    EXPECT_EQ(seen.disables, 2);
    ev::EventUnregister(handle);
}

// A log entry is one line, whatever the text holds: a reader that splits on
// line breaks (the journal, syslog, grep) must not see half an entry.
TEST(RealtimeSession, WritesMultiLineTextAsOneEscapedLine) {
    TempDir dir;
    const std::string path = dir.File("trace.log");
    ASSERT_TRUE(trace::StartRealtimeSession({path, 4, 0x2}));
    Trace(4, "-----BEGIN CERTIFICATE-----\nMIIB\r\n-----END CERTIFICATE-----\n");
    Trace(4, std::string("bell\a and tab\tkept\n\n"));
    trace::StopRealtimeSession();
    EXPECT_EQ(Lines(path), (std::vector<std::string>{
                               "L4 -----BEGIN CERTIFICATE-----\\nMIIB\\r\\n-----END CERTIFICATE-----",
                               "L4 bell\\x07 and tab\tkept",
                           }))
        << ReadFile(path);
}

// The journal stamps lines itself and reads their priority from "<N>".
TEST(RealtimeSession, JournalFormCarriesSyslogPrioritiesAndLeavesDataOutWhenAsked) {
    TempDir dir;
    const std::string path = dir.File("trace.log");
    using Form = trace::RealtimeSessionConfig::Form;
    ASSERT_TRUE(trace::StartRealtimeSession({path, 6, 0x2, 0, true, Form::Journal}));
    Trace(1, "data");
    Trace(2, "error");
    Trace(3, "warning");
    Trace(4, "information");
    Trace(4, "information");  // counted under the repeated line's priority
    Trace(5, "verbose");
    trace::StopRealtimeSession();
    std::vector<std::string> got;
    for (const std::string& line : gnss::test::Lines(ReadFile(path)))
        got.push_back(line.substr(0, 3) + line.substr(line.find(" L")));
    EXPECT_EQ(got, (std::vector<std::string>{"<7> L1 data", "<3> L2 error", "<4> L3 warning",
                                             "<6> L4 information",
                                             "<6> L4 last message repeated 1 times",
                                             "<7> L5 verbose"}))
        << ReadFile(path);
    EXPECT_EQ(ReadFile(path).find("Z ["), std::string::npos) << "a time stamp was written";

    // Errors and warnings alone: level 3 without the data lines.
    ASSERT_TRUE(trace::StartRealtimeSession({path, 3, 0x2, 0, false, Form::Plain, false}));
    Trace(1, "AT traffic");
    Trace(3, "a warning");
    trace::StopRealtimeSession();
    EXPECT_EQ(ReadFile(path).find("AT traffic"), std::string::npos);
    EXPECT_NE(ReadFile(path).find("L3 a warning"), std::string::npos);
}

// Log rotation as logrotate does it without copytruncate: the file is
// renamed, then the writer is told to open its path again.
TEST(RealtimeSession, ReopensItsFileAfterTheFileWasMovedAway) {
    TempDir dir;
    const std::string path = dir.File("trace.log");
    ASSERT_TRUE(trace::StartRealtimeSession({path, 4, 0x2, 0, true}));
    Trace(4, "before");
    Trace(4, "before");  // its count belongs to the old file
    std::filesystem::rename(path, path + ".1");
    Trace(4, "moved, not yet reopened");
    ASSERT_TRUE(trace::ReopenRealtimeSession());
    Trace(4, "after");
    trace::StopRealtimeSession();
    EXPECT_EQ(Lines(path + ".1"), (std::vector<std::string>{"L4 before",
                                                            "L4 last message repeated 1 times",
                                                            "L4 moved, not yet reopened"}));
    EXPECT_EQ(Lines(path), (std::vector<std::string>{"L4 after"}));
    // No file, nothing to reopen.
    EXPECT_TRUE(trace::ReopenRealtimeSession());
}
