// The synchronous AT exchange, the radio switches and the chip question.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Driver.h"
#include "EngineHarness.h"
#include "gnss/platform/timescale.h"

using gnss::test::EngineTest;

namespace {

using Exchange = EngineTest;

// Tells the test when a command with a prefix has been handed to the transport.
class SentSignal {
public:
    explicit SentSignal(std::string prefix) : prefix_(std::move(prefix)) {}
    LONG operator()(const std::string& bytes) {
        if (bytes.rfind(prefix_, 0) == 0) {
            std::lock_guard guard(lock_);
            sent_ = true;
            changed_.notify_all();
        }
        return 1;
    }
    bool Wait() {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, gnss::test::kPatience, [this] { return sent_; });
    }

private:
    std::string prefix_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool sent_ = false;
};

}  // namespace

TEST_F(Exchange, AnErrorAnswerEndsTheExchangeAfterOneRound) {
    StartEngine("chip=rxa7300");
    const DWORD references = m_dwRefCount;
    EXPECT_EQ(SendATCmdSync(std::string("AT+XLCSTER=2\r\n"), TRUE, 1000), AT_RESULT_NO_ANSWER);
    EXPECT_EQ(m_dwRefCount, references);
    EXPECT_EQ(CountCommands("AT+XLCSTER=2"), 1u);
    EXPECT_EQ(Log().Count("SendATCmdSync ERROR: Received error for AT+XLCSTER=2"), 1u);
    EXPECT_EQ(Log().Count("UsbDeviceReset ->"), 0u);

    EXPECT_EQ(SendATCmdSync(std::string("AT+XLCSTER=1\r\n"), TRUE, 1000), AT_RESULT_OK);
    EXPECT_EQ(m_dwRefCount, references);
}

TEST_F(Exchange, AnAnswerInTheSecondWaitEndsTheExchangeAfterOneReset) {
    // Full-length waits: the answer below must land in the second one.
    gnss::os::SetTimeScale(1.0);
    // Without echo the modem says nothing here: the answer comes from the test alone.
    StartEngine("chip=rxa7300,echo=off,fault=silent:AT+CIMI");
    const DWORD references = m_dwRefCount;
    HRESULT hr = E_FAIL;
    std::thread client([&hr] { hr = SendATCmdSync(std::string("AT+CIMI\r\n"), TRUE, 1000); });
    ASSERT_TRUE(Log().WaitFor("SendATCmdSync ERROR: Timeout error for AT+CIMI"));
    const std::string answer = "\r\n001010123456789\r\n\r\nOK\r\n";
    atclient_ReceivedModemData(reinterpret_cast<const BYTE*>(answer.data()), static_cast<ULONG>(answer.size()));
    client.join();

    EXPECT_EQ(hr, AT_RESULT_OK);
    EXPECT_EQ(EngineGetImsi(), "001010123456789");
    EXPECT_EQ(CountCommands("AT+CIMI"), 1u);
    EXPECT_EQ(Log().Count("UsbDeviceReset ->"), 1u);
    EXPECT_EQ(Log().Count("Timeout error for AT+CIMI"), 1u);
    EXPECT_EQ(m_dwRefCount, references);
}

TEST_F(Exchange, ATransportThatRefusesTheBytesGetsThreeRounds) {
    StartEngine("chip=rxa7300");
    SetSendHook([](const std::string&) { return 0; });
    const DWORD references = m_dwRefCount;
    EXPECT_EQ(SendATCmdSync(std::string("AT+XLCSTER=1\r\n"), TRUE, 1000), AT_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(Log().Count("SendATCmdSync ERROR: pfnModemSendCb FAILED for AT+XLCSTER=1"), 3u);
    EXPECT_EQ(Log().Count("UsbDeviceReset ->"), 3u);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(m_dwRefCount, references);
}

TEST_F(Exchange, ShutdownDuringAWaitEndsItAtOnce) {
    StartEngine("chip=rxa7300,fault=silent:AT+CIMI");
    SentSignal sent("AT+CIMI");
    SetSendHook([&sent](const std::string& bytes) { return sent(bytes); });
    const DWORD references = m_dwRefCount;
    HRESULT hr = E_FAIL;
    // Without a time limit only the shut-down can end this exchange.
    std::thread client([&hr] { hr = SendATCmdSync(std::string("AT+CIMI\r\n"), TRUE, INFINITE); });
    ASSERT_TRUE(sent.Wait());
    EngineEvents().m_hShutdownEvent->Set();
    client.join();

    EXPECT_EQ(hr, AT_RESULT_STOPPED);
    EXPECT_EQ(Log().Count("Timeout error"), 0u);
    EXPECT_EQ(Log().Count("UsbDeviceReset ->"), 0u);
    EXPECT_EQ(CountCommands("AT+CIMI"), 1u);
    EXPECT_EQ(m_dwRefCount, references);

    // Once stopped, nothing more is sent.
    EXPECT_EQ(SendATCmdSync(std::string("AT+XLCSTER=1\r\n"), TRUE, 1000), AT_RESULT_STOPPED);
    EXPECT_EQ(Log().Count("ERROR: Received m_hDeviceRemoveEvent or m_hShutdownEvent"), 1u);
    EXPECT_EQ(CountCommands("AT+XLCSTER"), 0u);
    EXPECT_EQ(m_dwRefCount, references);
}

TEST_F(Exchange, CommandLengthsOutsideOneTo512AreRefused) {
    StartEngine("chip=rxa7300");
    const DWORD references = m_dwRefCount;
    const std::string tooLong = "AT+XLCSSLP=1,\"" + std::string(513 - 22, 'a') + "\",7275\r\n";
    ASSERT_EQ(tooLong.size(), 513u);
    EXPECT_EQ(SendATCmdSync(tooLong.data(), 0, TRUE, 1000), AT_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(SendATCmdSync(tooLong.data(), 513, TRUE, 1000), AT_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(SendATCmdSync(tooLong, TRUE, 1000), AT_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(SendATCmdSync(nullptr, 5, TRUE, 1000), AT_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(Log().Count("SendATCmdSync ERROR: pfnModemSendCb="), 4u);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(m_dwRefCount, references);

    const std::string longest = "AT+XLCSSLP=1,\"" + std::string(512 - 22, 'a') + "\",7275\r\n";
    ASSERT_EQ(longest.size(), 512u);
    EXPECT_EQ(SendATCmdSync(longest, TRUE, 1000), AT_RESULT_OK);
    ASSERT_EQ(Modem().Commands().size(), 1u);
    EXPECT_EQ(Modem().Commands()[0].raw, longest);
    EXPECT_EQ(m_dwRefCount, references);
}

TEST_F(Exchange, RadioOnAndOff) {
    StartEngine("chip=rxa7300");
    RadioOn();
    EXPECT_EQ(Commands(), (std::vector<std::string>{"ATE0", "AT+XLCSSWITCH=1", "AT+XLSRSTOP"}));
    EXPECT_EQ(Modem().Commands()[0].raw, std::string("ATE0\r\n\0", 7));
    EXPECT_TRUE(Modem().Status().receiverOn);
    EXPECT_EQ(Record().statuses, (std::vector<ULONG>{1}));
    EXPECT_EQ(m_dwRefCount, 0u);

    RunEvent(GNSS_OFF, [] { atclient_SetGnssPositioning(0); });
    EXPECT_EQ(CommandsFrom(3), (std::vector<std::string>{"AT+XLCSSWITCH=0"}));
    EXPECT_FALSE(Modem().Status().receiverOn);
    EXPECT_EQ(Record().statuses, (std::vector<ULONG>{1, 0}));
}

TEST_F(Exchange, EchoOffFailingTwiceThenSucceedingSwitchesTheReceiverOn) {
    StartEngine("chip=rxa7300,fault=error:ATE0");
    int echoOffs = 0;
    SetSendHook([this, &echoOffs](const std::string& bytes) {
        if (bytes.rfind("ATE0", 0) == 0 && ++echoOffs == 3) Modem().ClearFaults();
        return 1;
    });
    RadioOn();
    EXPECT_EQ(Commands(), (std::vector<std::string>{"ATE0", "ATE0", "ATE0", "AT+XLCSSWITCH=1", "AT+XLSRSTOP"}));
    EXPECT_EQ(Record().statuses, (std::vector<ULONG>{1}));
    EXPECT_EQ(Log().Count("Major issue in communicating with modem"), 0u);
}

TEST_F(Exchange, EchoOffNeverAcceptedLeavesTheReceiverOff) {
    StartEngine("chip=rxa7300,fault=error:ATE0");
    RadioOn();
    EXPECT_EQ(Commands(), (std::vector<std::string>{"ATE0", "ATE0", "ATE0"}));
    EXPECT_EQ(Log().Count("ProcessRadioOn ERROR: Major issue in communicating with modem"), 1u);
    EXPECT_EQ(Log().Count("ERROR: [** 11 **] Event Processed FAILED"), 1u);
    EXPECT_TRUE(Record().statuses.empty());
}

TEST_F(Exchange, ReceiverSwitchesTakeTheirMode) {
    StartEngine("chip=rxa7300");
    RunEvent(AGNSS_ON, [] { atclient_SetAgnssPositioning(1); });
    RunEvent(AGNSS_OFF, [] { atclient_SetAgnssPositioning(0); });
    RunEvent(PGNSS_ON, [] { atclient_SetPgnssPositioning(1); });
    RunEvent(PGNSS_OFF, [] { atclient_SetPgnssPositioning(5); });
    EXPECT_EQ(Commands(), (std::vector<std::string>{"AT+XLCSSWITCH=1,0", "AT+XLCSSWITCH=0,0",
                                                    "AT+XLCSSWITCH=1,3", "AT+XLCSSWITCH=0,3"}));
    EXPECT_FALSE(Modem().Status().pgnssOn);
}

TEST_F(Exchange, TheChipIsAskedForAgainWhileItStaysUnknown) {
    StartEngine("chip=pv7710,fault=silent:AT+XLCSSWITCH?");
    GNSS_STOPFIXSESSION_PARAM stop{};
    RunEvent(STOP_REQUEST, [&stop] { atclient_StopFix(&stop); });
    RunEvent(STOP_REQUEST, [&stop] { atclient_StopFix(&stop); });
    EXPECT_EQ(CountCommands("AT+XLCSSWITCH?"), 2u);
    EXPECT_EQ(Engine().m_dwGnssChip, GNSS_CHIP_UNKNOWN);
    // Unknown is taken as RXA7300.
    EXPECT_EQ(Log().Count("ProcessStopRequestRXA7300 No  need to stop"), 2u);

    Modem().ClearFaults();
    RunEvent(STOP_REQUEST, [&stop] { atclient_StopFix(&stop); });
    EXPECT_EQ(Engine().m_dwGnssChip, GNSS_CHIP_PV7710);
    EXPECT_EQ(Log().Count("ProcessStopRequestPV7710 No Ongoing Session"), 1u);
    RunEvent(STOP_REQUEST, [&stop] { atclient_StopFix(&stop); });
    EXPECT_EQ(CountCommands("AT+XLCSSWITCH?"), 3u);
}
