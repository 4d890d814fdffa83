// The engine's life: entry points, the client thread, the event queue, device
// removal and shut-down.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "EngineHarness.h"

using gnss::test::EngineTest;
using gnss::test::Gate;

namespace {

// The type of every queued record, in order, taking them out.
std::vector<LONG> DrainQueue() {
    std::vector<LONG> types;
    while (INTERNAL_EVENT* record = TakeInternalEvent()) {
        types.push_back(record->nEventType);
        std::free(record->pParam);
        FreeInternalEvent(record);
    }
    return types;
}

std::atomic<int> g_secondTableStatuses{0};
void SecondTableStatus(ULONG) { ++g_secondTableStatuses; }

}  // namespace

// Without a client thread the posting entry points only queue: what they
// queue (or refuse) is visible in the queue itself.
TEST(EngineEntryPoints, CheckTheirArgumentsAndPostTheRightEvent) {
    EXPECT_EQ(atclient_Init(nullptr), 0);
    EXPECT_EQ(atclient_StartFix(nullptr), 0);
    EXPECT_EQ(atclient_StopFix(nullptr), 0);
    EXPECT_EQ(atclient_ModifyFixSession(nullptr), 0);
    EXPECT_EQ(atclient_NiResponse(nullptr), 0);
    EXPECT_EQ(atclient_SelfTest(nullptr), 0);
    EXPECT_EQ(InternalEventQueueLength(), 0u);

    GNSS_FIXSESSION_PARAM param = EngineTest::SingleShotParam(7, 0, 10);
    param.SessionType = GNSS_FixSession_LKG;
    EXPECT_EQ(atclient_StartFix(&param), 1);
    EXPECT_EQ(InternalEventQueueLength(), 0u);
    param.SessionType = GNSS_FixSession_DistanceTracking;
    EXPECT_EQ(atclient_StartFix(&param), 0);
    param.SessionType = static_cast<GNSS_FIXSESSIONTYPE>(9);
    EXPECT_EQ(atclient_StartFix(&param), 0);
    EXPECT_EQ(InternalEventQueueLength(), 0u);

    // Only 1 means on.
    EXPECT_EQ(atclient_SetGnssPositioning(2), 1);
    EXPECT_EQ(atclient_SetGnssPositioning(1), 1);
    EXPECT_EQ(atclient_SetAgnssPositioning(0), 1);
    EXPECT_EQ(atclient_SetPgnssPositioning(1), 1);
    EXPECT_EQ(atclient_ClearAgnssData(264), 0);
    EXPECT_EQ(atclient_ClearAgnssData(-1), 0);
    EXPECT_EQ(atclient_ClearAgnssData(263), 1);
    GNSS_SUPL_VERSION version{3, 0};
    EXPECT_EQ(atclient_SetSuplVersion(&version), 0);
    version = {2, 1};
    EXPECT_EQ(atclient_SetSuplVersion(&version), 0);
    EXPECT_EQ(DrainQueue(), (std::vector<LONG>{GNSS_OFF, GNSS_ON, AGNSS_OFF, PGNSS_ON, CLEAR_ASSISTANCE}));

    // The copy belongs to the event: the caller's record may change at once.
    param = EngineTest::TrackingParam(0x42, 30, 10);
    EXPECT_EQ(atclient_StartFix(&param), 1);
    param.FixSessionID = 0;
    INTERNAL_EVENT* record = TakeInternalEvent();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->nEventType, PERIODIC_REQUEST);
    EXPECT_EQ(static_cast<GNSS_FIXSESSION_PARAM*>(record->pParam)->FixSessionID, 0x42u);
    std::free(record->pParam);
    FreeInternalEvent(record);

    EXPECT_EQ(atclient_DeInit(), 1);
    EXPECT_EQ(atclient_UpdateSatelliteSystem(4), 1);
    EXPECT_EQ(Engine().m_dwSatelliteSystem, 4u);
}

TEST_F(EngineTest, ShutDownWithoutStartLogsTheMissingEvent) {
    EXPECT_EQ(atclient_DeInit(), 1);
    EXPECT_EQ(Log().Count("DeInitGpsClientThread ERROR: Invalid m_hShutdownEvent handle"), 1u);
}

TEST_F(EngineTest, EventsAreHandledInPostingOrder) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    const GNSS_FIXSESSION_PARAM first = SingleShotParam(1, 0, 10);
    const GNSS_FIXSESSION_PARAM second = SingleShotParam(2, 0, 10);
    GNSS_STOPFIXSESSION_PARAM stop{};
    stop.FixSessionID = 1;
    ASSERT_EQ(atclient_StartFix(&first), 1);
    ASSERT_EQ(atclient_StopFix(&stop), 1);
    ASSERT_EQ(atclient_StartFix(&second), 1);
    WaitHandled(SINGLESHOT_REQUEST, 2);

    const std::size_t start1 = Log().Find("[** 02 **] Event Processed");
    const std::size_t stop1 = Log().Find("[** 06 **] Event Processed");
    const std::size_t start2 = Log().Find("[** 02 **] Event Processed", start1 + 1);
    ASSERT_NE(start2, std::string::npos);
    EXPECT_LT(start1, stop1);
    EXPECT_LT(stop1, start2);

    std::vector<std::string> requests;
    for (const auto& command : Commands())
        if (command.rfind("AT+XLCSLSR", 0) == 0 || command.rfind("AT+XLSRSTOP=", 0) == 0)
            requests.push_back(command);
    EXPECT_EQ(requests, (std::vector<std::string>{"AT+XLCSLSR=1,1,,,,,1,,,", "AT+XLSRSTOP=0,1",
                                                  "AT+XLCSLSR=1,1,,,,,1,,,"}));
    EXPECT_EQ(Record().stoppedSessions, (std::vector<ULONG>{1}));
}

TEST_F(EngineTest, UnknownEventTypesAreFreedAndLoggedAsFailed) {
    StartEngine("chip=rxa7300");
    RunEvent(27, [] { AddInternalEvent(27, std::malloc(32), 0); });
    RunEvent(NAVERROR_NOTIFICATION, [] { AddInternalEvent(NAVERROR_NOTIFICATION, nullptr, 0); });
    EXPECT_EQ(Log().Count("ERROR: [** 27 **] Event Processed FAILED <-----"), 1u);
    // On RXA7300 a position error changes nothing.
    EXPECT_EQ(Log().Count("ERROR: [** 10 **] Event Processed FAILED <-----"), 1u);
}

TEST_F(EngineTest, DeviceRemovalDropsQueuedEventsAndForgetsTheSession) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartSingleShot(1);
    ASSERT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 1u);

    // Hold the client thread in the middle of a command, queue two events
    // behind it, then remove the device.
    Gate gate;
    SetSendHook([&gate](const std::string& bytes) {
        if (bytes.rfind("AT+XLCSSWITCH=1,0", 0) == 0) gate.Pass();
        return 1;
    });
    ASSERT_EQ(atclient_SetAgnssPositioning(1), 1);
    ASSERT_TRUE(gate.WaitArrived());
    ASSERT_EQ(atclient_SetPgnssPositioning(1), 1);
    ASSERT_EQ(atclient_SetPgnssPositioning(0), 1);
    ASSERT_EQ(atclient_SetDeviceRemoveEvent(), 1);
    SetSendHook(nullptr);
    gate.Open();

    ASSERT_TRUE(Log().WaitFor("ModemStateThread ERROR: Received m_hDeviceRemoveEvent"));
    // The thread goes on: an event posted now is handled.
    Marker();
    EXPECT_EQ(Handled(PGNSS_ON), 0u);
    EXPECT_EQ(Handled(PGNSS_OFF), 0u);
    EXPECT_EQ(CountCommands("AT+XLCSSWITCH=1,3"), 0u);
    EXPECT_EQ(CountCommands("AT+XLCSSWITCH=0,3"), 0u);
    EXPECT_EQ(CountCommands("AT+XLCSSWITCH=1,0"), 2u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.bSessionInUse, 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.SessionID, 0u);
    EXPECT_FALSE(EngineEvents().m_hDeviceRemoveEvent->IsSignalled());
}

TEST_F(EngineTest, ShutdownEndsTheThreadWithoutHandlingQueuedEvents) {
    StartEngine("chip=rxa7300");
    Gate gate;
    SetSendHook([&gate](const std::string& bytes) {
        if (bytes.rfind("AT+XLCSSWITCH=1,0", 0) == 0) gate.Pass();
        return 1;
    });
    ASSERT_EQ(atclient_SetAgnssPositioning(1), 1);
    ASSERT_TRUE(gate.WaitArrived());
    ASSERT_EQ(atclient_SetPgnssPositioning(1), 1);
    EngineEvents().m_hShutdownEvent->Set();
    gate.Open();

    ASSERT_TRUE(Log().WaitFor("ModemStateThread <-"));
    EXPECT_EQ(Handled(PGNSS_ON), 0u);
    EXPECT_EQ(InternalEventQueueLength(), 0u);
    EXPECT_EQ(CountCommands("AT+XLCSSWITCH=1,3"), 0u);
    // The command in flight ended with the shut-down.
    EXPECT_EQ(Log().Count("SendATCmdSync ERROR: Received m_hShutdownEvent"), 1u);
    StopEngine();
    EXPECT_EQ(Log().Count("GPS Client thread exit TIMED OUT"), 0u);
}

TEST_F(EngineTest, InitAgainReplacesTheCallbacksAndClearsTheSessionWithoutASecondThread) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartSingleShot(1);
    ASSERT_EQ(Engine().m_ModemSessionParam.bSessionInUse, 1u);

    GPSCLIENT_CALLBACKS second = RecordingCallbacks();
    second.pfnServiceStatusCb = SecondTableStatus;
    second.pfnStopSessionCb = nullptr;
    EXPECT_EQ(atclient_Init(&second), 1);
    EXPECT_EQ(Log().Count("GPS Client thread created"), 1u);
    EXPECT_EQ(Log().Count("m_hClientStateEvent created"), 1u);
    EXPECT_EQ(Log().Count("InitGpsClientCbs ERROR: pfnStopSessionCb is NULL"), 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.bSessionInUse, 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 0u);

    // The one thread goes on with the new table: a stop runs without the
    // missing callback, the radio reports through the new one.
    StopSession(1);
    RunEvent(GNSS_OFF, [] { atclient_SetGnssPositioning(0); });
    EXPECT_EQ(g_secondTableStatuses.load(), 1);
    EXPECT_EQ(Record().statuses, (std::vector<ULONG>{1}));
    EXPECT_TRUE(Record().stoppedSessions.empty());
}

// A client thread that outlives the shut-down's wait must not reach the
// driver's callbacks, nor the queue of an engine started after it.
TEST_F(EngineTest, ALateClientThreadLeavesTheNextEngineAlone) {
    StartEngine("chip=rxa7300");
    RadioOn();

    Gate oldThread;
    Gate newThread;
    SetSendHook([&](const std::string& bytes) {
        if (bytes.rfind("AT+XLCSSWITCH=0\r", 0) == 0) oldThread.Pass();
        if (bytes.rfind("AT+XLCSSWITCH=1,0", 0) == 0) newThread.Pass();
        return 1;
    });
    ASSERT_EQ(atclient_SetGnssPositioning(0), 1);
    ASSERT_TRUE(oldThread.WaitArrived());

    EXPECT_EQ(atclient_DeInit(), 1);
    EXPECT_EQ(Log().Count("GPS Client thread exit TIMED OUT"), 1u);

    const GPSCLIENT_CALLBACKS callbacks = RecordingCallbacks();
    ASSERT_EQ(atclient_Init(&callbacks), 1);
    EXPECT_EQ(Log().Count("GPS Client thread created"), 2u);
    ASSERT_EQ(atclient_SetAgnssPositioning(1), 1);
    ASSERT_TRUE(newThread.WaitArrived());
    ASSERT_EQ(atclient_SetPgnssPositioning(1), 1);  // queued behind the new thread's work

    oldThread.Open();
    ASSERT_TRUE(Log().WaitFor("ModemStateThread <-"));
    newThread.Open();
    WaitHandled(PGNSS_ON, 1);

    // The late thread's radio-off never reported; the new engine lost nothing.
    EXPECT_EQ(Record().statuses, (std::vector<ULONG>{1}));
    EXPECT_EQ(CountCommands("AT+XLCSSWITCH=1,3"), 1u);
}

TEST_F(EngineTest, NullCallbackSlotsAreLoggedAndNeverCalled) {
    StartEngine("chip=rxa7300,ttff=3600");
    GPSCLIENT_CALLBACKS sendOnly{};
    sendOnly.pfnModemSendCb = RecordingCallbacks().pfnModemSendCb;
    ASSERT_EQ(atclient_Init(&sendOnly), 1);
    EXPECT_EQ(Log().Count("InitGpsClientCbs ERROR: pfn"), 9u);
    EXPECT_EQ(Log().Count("ERROR: pfnModemSendCb is NULL"), 0u);

    RadioOn();
    StartSingleShot(1);
    StopSession(1);
    EXPECT_EQ(Log().Count("ERROR: [** 11 **] Event Processed FAILED"), 0u);
    EXPECT_EQ(CountCommands("AT+XLSRSTOP=0,1"), 1u);
    EXPECT_TRUE(Record().statuses.empty());
    EXPECT_TRUE(Record().stoppedSessions.empty());
}
