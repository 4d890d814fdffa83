// NMEA output: the listener count, the NMEA log file and the sentences on
// their way to the driver; and the operation mode of location requests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "EngineHarness.h"
#include "TempDir.h"

using gnss::test::EngineTest;
using gnss::test::ReadFile;
using gnss::test::TempDir;

namespace {

const std::string kRestart("---------------Restart-----------------\r\n\0", 42);

class Nmea : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        ::setenv("GNSS_NMEA_LOG_FILE", LogPath().c_str(), 1);
    }
    std::string LogPath() const { return dir_.File("NmeaLog.txt"); }
    std::string Logged() const { return ReadFile(LogPath()); }

    TempDir dir_;
};

}  // namespace

TEST_F(Nmea, TheCountStaysWithinZeroAndTwoAndOnly255OpensTheLog) {
    StartEngine("chip=rxa7300");
    atclient_SetNmea(255);
    atclient_SetNmea(255);
    EXPECT_EQ(Engine().m_dwNmeaListeners, 2u);
    EXPECT_TRUE(IsNmeaLogFileOpen());
    EXPECT_EQ(Logged(), kRestart);
    atclient_SetNmea(255);
    EXPECT_EQ(Engine().m_dwNmeaListeners, 2u);
    EXPECT_EQ(Logged(), kRestart);

    // Any other value counts down and tells the driver; only 0 closes the log.
    atclient_SetNmea(1);
    EXPECT_EQ(Engine().m_dwNmeaListeners, 1u);
    EXPECT_EQ(Record().nmeaNulls, 1u);
    EXPECT_TRUE(IsNmeaLogFileOpen());
    atclient_SetNmea(0);
    EXPECT_EQ(Engine().m_dwNmeaListeners, 0u);
    EXPECT_EQ(Record().nmeaNulls, 2u);
    EXPECT_FALSE(IsNmeaLogFileOpen());
    atclient_SetNmea(0);
    EXPECT_EQ(Engine().m_dwNmeaListeners, 0u);
    EXPECT_EQ(Record().nmeaNulls, 2u);

    // Reopening keeps what the file holds and marks the restart.
    atclient_SetNmea(255);
    EXPECT_EQ(Logged(), kRestart + kRestart);
    atclient_SetNmea(0);
}

TEST_F(Nmea, Value256CountsWithoutTheLog) {
    StartEngine("chip=rxa7300");
    atclient_SetNmea(256);
    EXPECT_EQ(Engine().m_dwNmeaListeners, 1u);
    EXPECT_FALSE(IsNmeaLogFileOpen());
    atclient_SetNmea(1);
    EXPECT_EQ(Engine().m_dwNmeaListeners, 0u);
    EXPECT_EQ(Record().nmeaNulls, 1u);
    EXPECT_TRUE(Logged().empty());
}

TEST_F(Nmea, ALogFolderThatIsMissingIsNotCreated) {
    StartEngine("chip=rxa7300");
    const std::string missing = dir_.File("missing/NmeaLog.txt");
    ::setenv("GNSS_NMEA_LOG_FILE", missing.c_str(), 1);
    atclient_SetNmea(255);
    EXPECT_EQ(Engine().m_dwNmeaListeners, 1u);
    EXPECT_FALSE(IsNmeaLogFileOpen());
    EXPECT_EQ(Log().Count("SetNmea ERROR: NMEA CreateFile FAILED. Err=0x2"), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "missing"));
}

TEST_F(Nmea, SentencesReachTheDriverAndTheLogUntilTheLogIsClosed) {
    StartEngine("chip=rxa7300,ttff=0.5");
    RadioOn();
    atclient_SetNmea(255);
    StartSingleShot(1);
    ASSERT_TRUE(WaitRecord([](const auto& record) { return record.nmea.size() >= 2; }));
    const auto first = Record().nmea;
    ASSERT_FALSE(first[0].empty());
    EXPECT_EQ(first[0].front(), '$');

    // Every block is written before it is handed on, in order.
    const std::string logged = Logged();
    ASSERT_EQ(logged.compare(0, kRestart.size(), kRestart), 0);
    EXPECT_EQ(logged.substr(kRestart.size(), first[0].size() + first[1].size()), first[0] + first[1]);

    // Closing the log while blocks keep coming: the file stays as it is.
    atclient_SetNmea(0);
    EXPECT_FALSE(IsNmeaLogFileOpen());
    const std::string closed = Logged();
    const std::size_t seen = Record().nmea.size();
    ASSERT_TRUE(WaitRecord([seen](const auto& record) { return record.nmea.size() >= seen + 2; }));
    EXPECT_EQ(Logged(), closed);
    EXPECT_EQ(Record().nmeaNulls, 1u);
}

TEST_F(Nmea, OperationModeFlagsChooseTheLocationRequestArguments) {
    struct Case {
        ULONG flags;
        DWORD mode;
        DWORD protocol;
    };
    const Case cases[] = {{0x3, 0, 1}, {0x100, 3, 2}, {0x2, 1, 1}, {0x4, 1, 1}, {0x0, 1, 1}, {0x8, 1, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(atclient_UpdateOperationMode(c.flags), 1);
        EXPECT_EQ(Engine().dwOperationMode, c.mode) << c.flags;
        EXPECT_EQ(Engine().dwTransportProtocol, c.protocol) << c.flags;
    }
    // Only the flags that select nothing are warned about.
    EXPECT_EQ(Log().Count("UpdateOperationMode Invalid Operation Mode, Setting it to MSB"), 1u);

    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    atclient_UpdateOperationMode(0x100);
    StartSingleShot(1);
    EXPECT_EQ(CountCommands("AT+XLCSLSR=2,3,,,,,1,,,"), 1u);
}
