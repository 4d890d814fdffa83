// Driver commands through gnssd's socket: each row's size check and result,
// the radio gate, the assistance-data commands on the modem, and the NMEA
// log file given with gnssd's --nmea-log.
#include <filesystem>

#include "FeatureTest.h"

namespace gnss::test {
namespace {

using DriverCommandTest = FeatureTest;

Bytes Zeros(std::size_t n) { return Bytes(n, 0); }

TEST_F(DriverCommandTest, SizeChecksAndResults) {
    StartSim();

    // The location-service switch without data fails and leaves the service
    // on: the radio-state query and fix requests still pass.
    EXPECT_EQ(DriverCommand(GNSS_SetLocationServiceEnabled, {}), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(DriverCommand(static_cast<GNSS_DRIVERCOMMAND_TYPE>(0x101), {}), STATUS_SUCCESS);
    EXPECT_EQ(StartLkgSession(), STATUS_SUCCESS);

    EXPECT_EQ(DriverCommand(GNSS_SetLocationNIRequestAllowed, {}), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(DriverCommand(GNSS_SetLocationNIRequestAllowed, {1}), STATUS_SUCCESS);

    // The rows that read a 32-bit value refuse three bytes.
    for (const auto type : {GNSS_ForceSatelliteSystem, GNSS_ForceOperationMode, GNSS_SetNMEALogging,
                            GNSS_ClearAgnssData})
        EXPECT_EQ(DriverCommand(type, Zeros(3)), STATUS_INTERNAL_ERROR) << type;
    EXPECT_EQ(DriverCommand(GNSS_ForceSatelliteSystem, BytesOf<ULONG>(1)), STATUS_SUCCESS);
    EXPECT_EQ(DriverCommand(GNSS_ForceOperationMode, BytesOf<ULONG>(2)), STATUS_SUCCESS);

    // The SUPL version: 8 bytes, 2.0 taken, 3.0 and 2.1 refused.
    EXPECT_EQ(DriverCommand(GNSS_SetSuplVersion, Zeros(7)), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(DriverCommand(GNSS_SetSuplVersion, BytesOf(GNSS_SUPL_VERSION{3, 0})),
              STATUS_INTERNAL_ERROR);
    EXPECT_EQ(DriverCommand(GNSS_SetSuplVersion, BytesOf(GNSS_SUPL_VERSION{2, 1})),
              STATUS_INTERNAL_ERROR);
    EXPECT_EQ(DriverCommand(GNSS_SetSuplVersion, BytesOf(GNSS_SUPL_VERSION{2, 0})), STATUS_SUCCESS);

    // Published types the driver does not serve, unnamed ones and its own.
    for (const int type : {14, 15, 16, 5, 0x103})
        EXPECT_EQ(DriverCommand(static_cast<GNSS_DRIVERCOMMAND_TYPE>(type), BytesOf<ULONG>(1)),
                  STATUS_NOT_SUPPORTED)
            << type;
    EXPECT_EQ(DriverCommand(static_cast<GNSS_DRIVERCOMMAND_TYPE>(0x102), {}), STATUS_SUCCESS);

    // Of all these only the SUPL version reached the modem.
    ASSERT_TRUE(WaitForRecord(Line("AT+XLCSSUPLVER=2")));
    EXPECT_EQ(Record(), Line("AT+XLCSSUPLVER=2"));
    EXPECT_NE(gnssd_.Log().find("GNSS_SetLocationServiceEnabled Invalid SIZE, InSize=0"),
              std::string::npos);
}

TEST_F(DriverCommandTest, TheRadioGateClosesAndOpens) {
    StartSim();
    EXPECT_EQ(DriverCommand(GNSS_SetLocationServiceEnabled, {0}), STATUS_SUCCESS);
    client::FixSessionParameters single;
    single.sessionId = 5;
    EXPECT_EQ(Control(IOCTL_GNSS_START_FIXSESSION, client::BuildFixSession(single)),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(StartLkgSession(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(DriverCommand(static_cast<GNSS_DRIVERCOMMAND_TYPE>(0x101), {}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT)), STATUS_ACCESS_DENIED);
    // gnssctl prints the refusal by name.
    const auto refused = Gnssctl({"command", "0x101"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "gnssctl: STATUS_ACCESS_DENIED (0xC0000022)\n");

    EXPECT_EQ(DriverCommand(GNSS_SetLocationServiceEnabled, {1}), STATUS_SUCCESS);
    EXPECT_EQ(StartLkgSession(), STATUS_SUCCESS);
    EXPECT_EQ(DriverCommand(static_cast<GNSS_DRIVERCOMMAND_TYPE>(0x101), {}), STATUS_SUCCESS);
}

TEST_F(DriverCommandTest, AssistanceDataIsClearedOnTheModem) {
    StartSim();
    const auto clear = Gnssctl({"command", "ClearAgnssData", "3"});
    EXPECT_EQ(clear.status, 0) << clear.err;
    ASSERT_TRUE(WaitForRecord(Line("AT+XLGNVRAM=121,0"))) << Record();

    const auto refused = Gnssctl({"command", "ClearAgnssData", "264"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "gnssctl: STATUS_INTERNAL_ERROR (0xC00000E5)\n");

    const auto reset = Gnssctl({"command", "ResetEngine"});
    EXPECT_EQ(reset.status, 0) << reset.err;
    ASSERT_TRUE(WaitForRecord(Line("AT+XLGNVRAM=127,0"))) << Record();
    // The engine works in order: nothing went out for 264.
    EXPECT_EQ(Record(), Line("AT+XLGNVRAM=121,0") + Line("AT+XLGNVRAM=127,0"));
}

// Whether gnssd holds `path` open.
bool HoldsOpen(pid_t pid, const std::string& path) {
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(fd.path(), linkError).string() == path) return true;
    }
    return false;
}

TEST_F(DriverCommandTest, NmeaLoggingOpensAndClosesTheLogFile) {
    StartSim();
    const std::string log = dir_.File("NmeaLog.txt");  // gnssd's --nmea-log
    const std::string restart("---------------Restart-----------------\r\n", 42);
    EXPECT_FALSE(std::filesystem::exists(log));

    EXPECT_EQ(DriverCommand(GNSS_SetNMEALogging, BytesOf<ULONG>(255)), STATUS_SUCCESS);
    EXPECT_EQ(ReadFile(log), restart);
    EXPECT_TRUE(HoldsOpen(gnssd_.Pid(), log));

    EXPECT_EQ(DriverCommand(GNSS_SetNMEALogging, BytesOf<ULONG>(0)), STATUS_SUCCESS);
    EXPECT_FALSE(HoldsOpen(gnssd_.Pid(), log));

    // Opened again, the file is appended to.
    EXPECT_EQ(DriverCommand(GNSS_SetNMEALogging, BytesOf<ULONG>(255)), STATUS_SUCCESS);
    EXPECT_EQ(ReadFile(log), restart + restart);
    EXPECT_TRUE(HoldsOpen(gnssd_.Pid(), log));
    EXPECT_EQ(DriverCommand(GNSS_SetNMEALogging, BytesOf<ULONG>(0)), STATUS_SUCCESS);
    EXPECT_FALSE(HoldsOpen(gnssd_.Pid(), log));
}

}  // namespace
}  // namespace gnss::test
