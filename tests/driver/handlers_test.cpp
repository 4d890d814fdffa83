// Request handlers over the buffers the framework presents: the framework
// hands over an input of exactly the request's length on the heap, so under
// AddressSanitizer a handler that reads past it fails the test.  Driver
// commands against their data sizes, the self-test's text length, and the
// commands that forget a fix nobody has taken yet.
#include "DriverHarness.h"
#include "GnssState.h"
#include "engine/EngineState.h"

namespace gnss::test {
namespace {

using Handlers = DriverTest;

// A driver command input of exactly the structure's size: the command data
// has room for 4 bytes, whatever CommandDataSize announces.
std::vector<std::uint8_t> ExactCommand(ULONG type, ULONG dataSize, ULONG value) {
    std::vector<std::uint8_t> input(sizeof(GNSS_DRIVERCOMMAND_PARAM));
    GNSS_DRIVERCOMMAND_PARAM command{};
    command.Size = sizeof command;
    command.Version = GNSS_INTERFACE_VERSION;
    command.CommandType = static_cast<GNSS_DRIVERCOMMAND_TYPE>(type);
    command.CommandDataSize = dataSize;
    std::memcpy(input.data(), &command, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData));
    std::memcpy(input.data() + offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData), &value, sizeof value);
    return input;
}

// A self-test configuration of exactly the structure's size (532 bytes).
std::vector<std::uint8_t> ExactSelfTest(ULONG type, ULONG inBufLen) {
    std::vector<std::uint8_t> input(sizeof(GNSS_SELFTESTCONFIG));
    GNSS_SELFTESTCONFIG config{};
    config.Size = sizeof config;
    config.Version = GNSS_INTERFACE_VERSION;
    config.TestType = type;
    config.InBufLen = inBufLen;
    std::memcpy(input.data(), &config, sizeof config);
    return input;
}

TEST_F(Handlers, DriverCommandsRefuseDataThatRunsPastTheInput) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    // Every engine call a driver command makes logs its entry.
    auto engineCalls = [&] {
        std::size_t n = 0;
        for (const char* entry : {"atclient_SetGnssPositioning ->", "atclient_UpdateSatelliteSystem ->",
                                  "atclient_UpdateOperationMode ->", "atclient_ClearAgnssData ->",
                                  "atclient_SetSuplVersion ->", "atclient_SetNmea ->"})
            n += Count(entry);
        return n;
    };

    // Each command that reads data, announcing more than the input holds
    // (the SUPL version reads all 8 bytes it needs).
    const std::vector<std::pair<ULONG, ULONG>> commands = {
        {GNSS_SetLocationServiceEnabled, 5}, {GNSS_SetLocationNIRequestAllowed, 5},
        {GNSS_ForceSatelliteSystem, 8},      {GNSS_ForceOperationMode, 8},
        {GNSS_ClearAgnssData, 8},            {GNSS_SetSuplVersion, 8},
        {GNSS_SetNMEALogging, 8},            {GNSS_SetSuplVersion, 0xFFFFFFFF},
    };
    for (const auto& [type, size] : commands) {
        const Completion c = Call(file, IOCTL_GNSS_SEND_DRIVERCOMMAND, ExactCommand(type, size, 2), 0);
        EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER) << type << " " << size;
        EXPECT_EQ(c.information, 4u) << type << " " << size;
    }
    EXPECT_EQ(engineCalls(), 0u);
    EXPECT_EQ(RadioState.load(), 1u);

    // Data that lies inside the input is taken.
    EXPECT_EQ(Call(file, IOCTL_GNSS_SEND_DRIVERCOMMAND, ExactCommand(GNSS_ForceOperationMode, 4, 2), 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(engineCalls(), 1u);
}

TEST_F(Handlers, SelfTestReadsItsTextLengthOnlyForTheScan) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    // Test mode on and off carry no text: whatever InBufLen says is not read.
    for (ULONG inBufLen : {5u, 100000u}) {
        for (ULONG type : {1u, 2u}) {
            const Completion c =
                Call(file, IOCTL_GNSS_EXECUTE_SELFTEST, ExactSelfTest(type, inBufLen), sizeof(GNSS_SELFTESTRESULT));
            EXPECT_EQ(c.status, STATUS_SUCCESS) << type << " " << inBufLen;
            EXPECT_EQ(c.information, 0u) << type << " " << inBufLen;
        }
    }
    EXPECT_EQ(Count("atclient_SelfTest ->"), 4u);

    // In test mode, a scan whose text runs past the input is refused before
    // anything reaches the engine.
    ASSERT_EQ(Call(file, IOCTL_GNSS_EXECUTE_SELFTEST, ExactSelfTest(1, 0), sizeof(GNSS_SELFTESTRESULT)).status,
              STATUS_SUCCESS);
    ASSERT_EQ(SelfTestState.load(), 1u);
    const Completion scan =
        Call(file, IOCTL_GNSS_EXECUTE_SELFTEST, ExactSelfTest(3, 5), sizeof(GNSS_SELFTESTRESULT) + 1024);
    EXPECT_EQ(scan.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(scan.information, 0u);
    EXPECT_EQ(Count("atclient_SelfTest ->"), 5u);
    EXPECT_EQ(Call(file, IOCTL_GNSS_EXECUTE_SELFTEST, ExactSelfTest(2, 0), sizeof(GNSS_SELFTESTRESULT)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(SelfTestState.load(), 0u);
}

// A fix nobody waited for is fresh: the next get-fix-data request takes it at
// once.  Resetting the engine or clearing assistance data (even with a data
// size it refuses) makes it stale, so the next request waits for a new fix.
TEST_F(Handlers, ResettingTheEngineAndClearingAssistanceDataForgetTheFreshFix) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId file = Open();
    GNSS_FIXDATA fix{};
    fix.BasicData.Latitude = 47.25;
    const auto callbacks = EngineCallbacks();

    callbacks.pfnFixDataCb(&fix);
    Completion c = Call(file, IOCTL_GNSS_GET_FIXDATA, SessionId(1), sizeof(GNSS_EVENT));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(As<GNSS_EVENT>(c).FixData.BasicData.Latitude, 47.25);

    struct Forget {
        const char* name;
        ULONG type;
        std::vector<std::uint8_t> data;
        NTSTATUS status;
    };
    const std::vector<Forget> commands = {
        {"ResetEngine", GNSS_ResetEngine, {}, STATUS_SUCCESS},
        {"ClearAgnssData", GNSS_ClearAgnssData, {3, 0, 0, 0}, STATUS_SUCCESS},
        {"ClearAgnssData, 2 bytes", GNSS_ClearAgnssData, {3, 0}, STATUS_INTERNAL_ERROR},
    };
    for (const Forget& command : commands) {
        callbacks.pfnFixDataCb(&fix);
        EXPECT_EQ(DriverCommand(file, command.type, command.data).status, command.status) << command.name;
        const RequestId waiting = Submit(file, IOCTL_GNSS_GET_FIXDATA, SessionId(1), sizeof(GNSS_EVENT));
        Drain(file);
        EXPECT_FALSE(done.Done(waiting)) << command.name;
        // The next fix answers it.
        callbacks.pfnFixDataCb(&fix);
        ASSERT_TRUE(done.Wait(waiting, &c)) << command.name;
        EXPECT_EQ(c.status, STATUS_SUCCESS) << command.name;
    }
    EXPECT_EQ(Count("Pot Fixdata Request to Manual Queue"), commands.size());
}

}  // namespace
}  // namespace gnss::test
