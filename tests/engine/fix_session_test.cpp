// Fix sessions on both chip generations: the modem's one location request
// shared by the driver's sessions, re-issued when the need changes or a
// session is modified, stopped by the last stop; the attempts and retries of
// refused requests and unconfirmed stops; and the modem's position errors.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "Driver.h"
#include "EngineHarness.h"

using gnss::test::EngineTest;

namespace {

using FixSessions = EngineTest;

using Lines = std::vector<std::string>;

// The clock command carries the current time: compare it by its name.
Lines Normalised(const Lines& commands) {
    Lines out;
    for (const auto& command : commands)
        out.push_back(command.rfind("AT+CCLK=", 0) == 0 ? "AT+CCLK" : command);
    return out;
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The SUPL provisioning check ahead of every location request, without a
// configuration file: on the modem's fresh start (it still allows
// network-initiated requests), and afterwards.
const Lines kProvisioningFresh = {"AT+XLCSLRMT?", "AT+XLCSLRMT=0", "AT+CCLK", "AT+CIMI",
                                  "AT+CRSM=176,28589,131,3,1", "AT+XLCSTER=1"};
const Lines kProvisioning = {"AT+XLCSLRMT?", "AT+CIMI", "AT+CRSM=176,28589,131,3,1", "AT+XLCSTER=1"};

std::string Stop(unsigned id) { return "AT+XLSRSTOP=0," + std::to_string(id); }

// The engine asks the driver's session table whether a session is a
// continuous one.  No driver runs here, so every slot of that table is
// empty, and an empty slot holds session 0: session 0 is the continuous
// session a modify can name.
constexpr ULONG kTrackingSession = 0;

// The modem answers commands beginning with `prefix` with ERROR.
gnss::sim::Fault Refuse(const std::string& prefix) {
    gnss::sim::Fault fault;
    fault.kind = gnss::sim::Fault::Kind::Error;
    fault.prefix = prefix;
    return fault;
}

// The location requests and the pauses among the engine's activity, from `from` on.
Lines RequestsAndPauses(const Lines& activity, std::size_t from = 0) {
    Lines out;
    for (std::size_t i = from; i < activity.size(); ++i)
        if (activity[i].rfind("AT+XLCSLSR", 0) == 0 || activity[i].rfind("pause ", 0) == 0)
            out.push_back(activity[i]);
    return out;
}

// The modem's output without its lines that begin with `prefix`.
std::string WithoutLines(std::string bytes, const std::string& prefix) {
    for (std::size_t at; (at = bytes.find("\r\n" + prefix)) != std::string::npos;)
        bytes.erase(at, bytes.find("\r\n", at + 2) - at);
    return bytes;
}

// A stop of the session named, as the platform sends it.
void PostStop(ULONG id) {
    GNSS_STOPFIXSESSION_PARAM stop{};
    stop.Size = sizeof stop;
    stop.Version = 3;
    stop.FixSessionID = id;
    atclient_StopFix(&stop);
}

// A retry event of `type` for `param`, as the procedures post one.
void PostRetry(LONG type, const GNSS_FIXSESSION_PARAM& param) {
    auto* copy = static_cast<GNSS_FIXSESSION_PARAM*>(std::malloc(sizeof(GNSS_FIXSESSION_PARAM)));
    *copy = param;
    AddInternalEvent(type, copy, 0);
}

}  // namespace

TEST_F(FixSessions, TwoSingleShotsShareOneRequestOnRXA7300) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartSingleShot(1);
    const unsigned id = Modem().Status().requestId;
    EXPECT_EQ(Normalised(CommandsFrom(3)),
              Join({{"AT+XLCSSWITCH?"}, kProvisioningFresh, {"AT+XLCSLSR=1,1,,,,,1,,,"}}));
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.SessionID, id);
    EXPECT_EQ(m_dwRefCount, 1u);

    const std::size_t before = Commands().size();
    StartSingleShot(2);
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(Log().Count("Sessopn in progress, SessionID="), 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 2u);
    EXPECT_EQ(m_dwRefCount, 2u);

    StopSession(1);
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 1u);
    EXPECT_EQ(m_dwRefCount, 1u);

    StopSession(2);
    EXPECT_EQ(CommandsFrom(before), (Lines{Stop(id)}));
    EXPECT_EQ(Log().Count("ProcessStopRequestRXA7300 Stop SUCCESS for SessionID="), 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.bSessionInUse, 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.SessionID, 0u);
    EXPECT_EQ(Record().stoppedSessions, (std::vector<ULONG>{1, 2}));
    EXPECT_EQ(m_dwRefCount, 0u);
    EXPECT_FALSE(Modem().Status().requestActive);
}

TEST_F(FixSessions, SingleShotOnPV7710AsksForQualityOfServiceAndASingleFix) {
    StartEngine("chip=pv7710,ttff=3600");
    RadioOn();
    StartSingleShot(1, 150, 30);
    EXPECT_EQ(Normalised(CommandsFrom(3)),
              Join({{"AT+XLCSSWITCH?", "AT+CIMI", "AT+XLCSLQOS=30,300,150,0"}, kProvisioningFresh,
                    {"AT+XLCSLSR=1,1,,,,,,,,"}}));
    EXPECT_EQ(Log().Count("Actual RespTime=150, setting it to default."), 1u);
    EXPECT_EQ(Engine().m_bUsePV7710Procedure, 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.Update, 1u);

    // Its fix has not come: the stop ends the request.
    std::size_t before = Commands().size();
    StopSession(1);
    EXPECT_EQ(CommandsFrom(before), (Lines{Stop(Modem().Status().requestId)}));
    EXPECT_EQ(Engine().m_bUsePV7710Procedure, 0u);

    before = Commands().size();
    StartSingleShot(2, 151, 30);
    EXPECT_EQ(CommandsFrom(before),
              Join({{"AT+CIMI", "AT+XLCSLQOS=30,300,151,0"}, kProvisioning, {"AT+XLCSLSR=1,1,,,,,,,,"}}));
    EXPECT_EQ(Log().Count("setting it to default."), 1u);
}

TEST_F(FixSessions, APV7710SingleShotThatDeliveredItsFixNeedsNoStop) {
    StartEngine("chip=pv7710,ttff=0.5");
    RadioOn();
    StartSingleShot(1);
    ASSERT_TRUE(WaitRecord([](const auto& record) { return record.fixes >= 1; }));
    EXPECT_EQ(Engine().m_ModemSessionParam.Update, 0u);

    const std::size_t before = Commands().size();
    StopSession(1);
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(Log().Count("ProcessStopRequestPV7710 No Ongoing Session. Clients=1"), 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 0u);
    EXPECT_EQ(m_dwRefCount, 0u);

    // A stop without any client still gives back a power reference (none held).
    StopSession(2);
    EXPECT_EQ(Log().Count("ProcessStopRequestPV7710 No Clients, Clients=0"), 1u);
    EXPECT_EQ(m_dwRefCount, 0u);
}

TEST_F(FixSessions, TrackingOnRXA7300FollowsTheShortestInterval) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartTracking(1, 10);
    const unsigned first = Modem().Status().requestId;
    EXPECT_EQ(Normalised(CommandsFrom(3)),
              Join({{"AT+XLCSSWITCH?"}, kProvisioningFresh, {"AT+XLCSLSR=1,1,,,,,10,,,"}}));
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 10u);

    // A shorter interval stops the request and issues it again.
    std::size_t before = Commands().size();
    StartTracking(2, 5);
    const unsigned second = Modem().Status().requestId;
    EXPECT_EQ(CommandsFrom(before), (Lines{Stop(first), "AT+XLCSLSR=1,1,,,,,5,,,"}));
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 5u);
    EXPECT_EQ(Engine().m_ModemSessionParam.SessionID, second);

    // A longer one changes nothing on the modem.
    before = Commands().size();
    StartTracking(3, 20);
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(Engine().m_dwPreferredInterval, 20u);
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 5u);

    StopSession(1);
    StopSession(2);
    EXPECT_EQ(Commands().size(), before);
    StopSession(3);
    EXPECT_EQ(CommandsFrom(before), (Lines{Stop(second)}));
    EXPECT_EQ(Engine().m_dwPreferredInterval, 0u);
    EXPECT_EQ(m_dwRefCount, 0u);
}

TEST_F(FixSessions, TrackingOnPV7710StartsWithASingleFixThenGoesPeriodic) {
    StartEngine("chip=pv7710,ttff=0.5");
    RadioOn();
    StartTracking(1, 5, 40);
    const Lines start = Join({{"AT+XLCSSWITCH?", "AT+CIMI", "AT+XLCSLQOS=40,300,150,0"}, kProvisioningFresh,
                              {"AT+XLCSLSR=1,1,,,,,,,,"}});
    // The first fix may already have come: look at the start's commands only.
    Lines sent = Normalised(CommandsFrom(3));
    ASSERT_GE(sent.size(), start.size());
    sent.resize(start.size());
    EXPECT_EQ(sent, start);
    const std::size_t before = 3 + start.size();
    EXPECT_EQ(Engine().m_dwPreferredInterval, 5u);

    // The first fix replaces the single fix by the periodic request, before
    // it is handed on.
    ASSERT_TRUE(WaitRecord([](const auto& record) { return record.fixes >= 1; }));
    EXPECT_EQ(CommandsFrom(before), (Lines{"AT+XLCSLSR=1,1,,,,,5,,,"}));
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 5u);
    EXPECT_EQ(Engine().m_ModemSessionParam.Update, 0u);
    const unsigned periodic = Modem().Status().requestId;

    StopSession(1);
    EXPECT_EQ(CommandsFrom(before), (Lines{"AT+XLCSLSR=1,1,,,,,5,,,", Stop(periodic)}));
    EXPECT_EQ(m_dwRefCount, 0u);
}

TEST_F(FixSessions, NmeaSwitchedOnWhileARequestRunsReissuesItWithNmea) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartSingleShot(1);
    const unsigned first = Modem().Status().requestId;
    EXPECT_EQ(atclient_SetNmea(256), 1);

    const std::size_t before = Commands().size();
    StartSingleShot(2);
    EXPECT_EQ(CommandsFrom(before), Join({{Stop(first)}, kProvisioning, {"AT+XLCSLSR=1,1,,,,,1,,,2"}}));
    EXPECT_EQ(Engine().m_ModemSessionParam.bNmeaRequested, 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 2u);
    EXPECT_TRUE(Modem().Status().requestNmea);
}

TEST_F(FixSessions, RadioOffStopsTheRunningRequestFirst) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartSingleShot(1);
    StartSingleShot(2);
    const unsigned id = Modem().Status().requestId;
    const std::size_t before = Commands().size();
    RunEvent(GNSS_OFF, [] { atclient_SetGnssPositioning(0); });
    EXPECT_EQ(CommandsFrom(before), (Lines{Stop(id), "AT+XLCSSWITCH=0"}));
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 0u);
    EXPECT_EQ(Record().statuses, (std::vector<ULONG>{1, 0}));
    EXPECT_EQ(m_dwRefCount, 0u);
}

TEST_F(FixSessions, ARequestAlwaysRefusedIsSentElevenTimes) {
    StartEngine("chip=rxa7300,ttff=3600,fault=error:AT+XLCSLSR");
    RadioOn();
    const GNSS_FIXSESSION_PARAM param = SingleShotParam(1, 0, 10);
    ASSERT_EQ(atclient_StartFix(&param), 1);
    ASSERT_TRUE(Log().WaitFor("MAX retries reached, give-up"));
    WaitHandled(SINGLESHOT_RETRY, 11);

    EXPECT_EQ(CountCommands("AT+XLCSLSR"), 11u);
    const auto retries = Log().Matching("SINGLESHOT_RETRY [");
    ASSERT_EQ(retries.size(), 11u);
    for (std::size_t i = 0; i < retries.size(); ++i)
        EXPECT_NE(retries[i].find("SINGLESHOT_RETRY [" + std::to_string(i) + "][0]"), std::string::npos)
            << retries[i];
    EXPECT_EQ(Log().Count("Repost 4"), 11u);
    EXPECT_EQ(Engine().m_iSingleshotRetryCount, 0);
    // The retries neither counted clients nor took power references.
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 1u);
    EXPECT_EQ(m_dwRefCount, 1u);
}

TEST_F(FixSessions, ARetryOfTheOtherKindIsDroppedAndResetsTheCounter) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    Engine().m_iPeriodicRetryCount = 3;
    const std::size_t before = Commands().size();
    RunEvent(SINGLESHOT_RETRY, [] { PostRetry(SINGLESHOT_RETRY, SingleShotParam(1, 0, 10)); });
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(Engine().m_iPeriodicRetryCount, 0);
    EXPECT_EQ(Log().Count("SINGLESHOT_RETRY [0][3]"), 1u);
    EXPECT_EQ(Log().Count("ERROR: [** 04 **] Event Processed FAILED"), 1u);
}

TEST_F(FixSessions, ModifyOfASessionThatIsNotTrackingChangesNothing) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartSingleShot(1);
    const std::size_t before = Commands().size();
    const GNSS_FIXSESSION_PARAM param = TrackingParam(1, 5, 10);
    RunEvent(MODIFY_REQUEST, [&param] { atclient_ModifyFixSession(&param); });
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(Log().Count("Modify request received for singleshot, FixSessionID=1."), 1u);
}

TEST_F(FixSessions, AStopTheModemNeverConfirmsIsSentThreeTimesAndTheSessionEndsAnyway) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    // The modem takes every stop but never reports the request's end.
    SetReceiveHook([](const std::string& bytes) { return WithoutLines(bytes, "+XLSRSTOP"); });
    StartTracking(1, 10);
    unsigned id = Modem().Status().requestId;
    std::size_t before = Commands().size();
    StopSession(1);
    EXPECT_EQ(CommandsFrom(before), (Lines{Stop(id), Stop(id), Stop(id)}));
    const std::string failed = "ProcessStopRequestRXA7300 ERROR: Stop FAILED for SessionID=";
    EXPECT_EQ(Log().Count(failed + std::to_string(id)), 3u);
    EXPECT_EQ(Log().Count("Stop SUCCESS"), 0u);
    // Every attempt was sent: the stop itself did its part.
    EXPECT_EQ(Log().Count("ERROR: [** 06 **] Event Processed FAILED"), 0u);
    const auto& session = Engine().m_ModemSessionParam;
    EXPECT_EQ(session.bSessionInUse, 0u);
    EXPECT_EQ(session.SessionID, 0u);
    EXPECT_EQ(session.RI, 0u);
    EXPECT_EQ(session.NumberOfClients, 0u);
    EXPECT_EQ(Engine().m_dwPreferredInterval, 0u);
    EXPECT_EQ(m_dwRefCount, 0u);

    // The last attempt's send fails: the stop fails, the session ends all the same.
    StartTracking(2, 10);
    id = Modem().Status().requestId;
    int stops = 0;
    SetSendHook([this, &stops](const std::string& bytes) {
        if (bytes.rfind("AT+XLSRSTOP=", 0) == 0 && ++stops == 3)
            Modem().AddFault(Refuse("AT+XLSRSTOP"));
        return 1;
    });
    before = Commands().size();
    StopSession(2);
    EXPECT_EQ(CommandsFrom(before), (Lines{Stop(id), Stop(id), Stop(id)}));
    EXPECT_EQ(Log().Count(failed + std::to_string(id)), 2u);
    EXPECT_EQ(Log().Count("ProcessStopRequestRXA7300 ERROR: SendATCmdSync(STOP) FAILED"), 1u);
    EXPECT_EQ(Log().Count("ERROR: [** 06 **] Event Processed FAILED"), 1u);
    EXPECT_EQ(session.bSessionInUse, 0u);
    EXPECT_EQ(session.SessionID, 0u);
    EXPECT_EQ(session.NumberOfClients, 0u);
    EXPECT_EQ(m_dwRefCount, 0u);
    EXPECT_EQ(Record().stoppedSessions, (std::vector<ULONG>{1, 2}));
}

// The request after a stop, or after the first fix on PV7710, is tried three
// times with a pause between attempts, and then given up: no retry event.
TEST_F(FixSessions, ARefusedPeriodicRequestAfterAStopIsTriedThreeTimes) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartTracking(1, 10);
    const unsigned first = Modem().Status().requestId;
    Modem().AddFault(Refuse("AT+XLCSLSR=1,1,,,,,5"));
    const std::size_t before = Commands().size();
    const std::size_t activity = Activity().size();
    StartTracking(2, 5);
    Marker();

    const std::string periodic = "AT+XLCSLSR=1,1,,,,,5,,,";
    EXPECT_EQ(CommandsFrom(before),
              (Lines{Stop(first), periodic, periodic, periodic, "AT+XLCSSWITCH=1,0"}));
    EXPECT_EQ(RequestsAndPauses(Activity(), activity),
              (Lines{periodic, "pause 1000", periodic, "pause 1000", periodic}));
    EXPECT_EQ(Log().Count("RefreshReportInterval ERROR: SendATCmdSync(XLCSLSR) FAILED"), 3u);
    EXPECT_EQ(Handled(PERIODIC_RETRY), 0u);
    // The request of the new session counts as done; the record keeps the stopped one.
    EXPECT_EQ(Log().Count("ERROR: [** 03 **] Event Processed FAILED"), 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 2u);
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 10u);
    EXPECT_EQ(Engine().m_dwPreferredInterval, 5u);
}

TEST_F(FixSessions, ARefusedPeriodicRequestAfterTheFirstFixOnPV7710IsTriedThreeTimes) {
    StartEngine("chip=pv7710,ttff=0.5");
    Modem().AddFault(Refuse("AT+XLCSLSR=1,1,,,,,5"));
    RadioOn();
    StartTracking(1, 5);
    ASSERT_TRUE(WaitRecord([](const auto& record) { return record.fixes >= 1; }));
    // A re-posted request would be handled before this.
    Marker();

    const std::string periodic = "AT+XLCSLSR=1,1,,,,,5,,,";
    EXPECT_EQ(RequestsAndPauses(Activity()),
              (Lines{"AT+XLCSLSR=1,1,,,,,,,,", periodic, "pause 1000", periodic, "pause 1000",
                     periodic}));
    EXPECT_EQ(Log().Count("RefreshReportInterval ERROR: SendATCmdSync(XLCSLSR) FAILED"), 3u);
    EXPECT_EQ(Handled(PERIODIC_RETRY), 0u);
    // The fix is handed on all the same, and the first-fix phase is over.
    EXPECT_EQ(Record().fixes, 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.Update, 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 0u);
}

// A refused request whose session is stopped while the engine waits to try
// it again: the retry finds no client and sends nothing.
TEST_F(FixSessions, ASingleShotRetryAfterItsSessionWasStoppedSendsNothing) {
    StartEngine("chip=rxa7300,ttff=3600,fault=error:AT+XLCSLSR");
    RadioOn();
    SetSendHook([](const std::string& bytes) {
        if (bytes.rfind("AT+XLCSLSR", 0) == 0) PostStop(1);
        return 1;
    });
    StartSingleShot(1);
    WaitHandled(SINGLESHOT_RETRY, 1);
    EXPECT_EQ(CountCommands("AT+XLCSLSR"), 1u);
    EXPECT_EQ(Log().Count("ProcessSingleshotRequestRXA7300 No active Clients"), 1u);
    EXPECT_EQ(Log().Count("ERROR: [** 04 **] Event Processed FAILED"), 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 0u);
    EXPECT_EQ(m_dwRefCount, 0u);
}

TEST_F(FixSessions, APeriodicRetryAfterItsSessionWasStoppedSendsNothing) {
    StartEngine("chip=pv7710,ttff=3600,fault=error:AT+XLCSLSR");
    RadioOn();
    SetSendHook([](const std::string& bytes) {
        if (bytes.rfind("AT+XLCSLSR", 0) == 0) PostStop(1);
        return 1;
    });
    StartTracking(1, 10);
    WaitHandled(PERIODIC_RETRY, 1);
    EXPECT_EQ(CountCommands("AT+XLCSLSR"), 1u);
    EXPECT_EQ(CountCommands("AT+XLCSLQOS"), 1u);
    EXPECT_EQ(Log().Count("No active Clients"), 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.NumberOfClients, 0u);
    EXPECT_EQ(m_dwRefCount, 0u);
}

// A position error on PV7710 while a first fix is pending: a tracking
// session goes on with its periodic request; anything else leaves the PV7710
// procedures, so that a retry takes the RXA7300 one.
TEST_F(FixSessions, APositionErrorOnPV7710WithAFirstFixPending) {
    StartEngine("chip=pv7710,ttff=3600");
    RadioOn();
    StartSingleShot(1);
    ASSERT_EQ(Engine().m_bUsePV7710Procedure, 1u);
    ASSERT_EQ(Engine().m_ModemSessionParam.Update, 1u);
    std::size_t before = Commands().size();
    RunEvent(NAVERROR_NOTIFICATION, [] { AddInternalEvent(NAVERROR_NOTIFICATION, nullptr, 0); });
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(Engine().m_bUsePV7710Procedure, 0u);
    EXPECT_EQ(Log().Count("[** 10 **] Event Processed <-----"), 1u);
    RunEvent(SINGLESHOT_RETRY, [] { PostRetry(SINGLESHOT_RETRY, SingleShotParam(1, 0, 25)); });
    EXPECT_EQ(Log().Count("ProcessSingleshotRequestRXA7300 Sessopn in progress"), 1u);
    EXPECT_EQ(Commands().size(), before);
    StopSession(1);

    StartTracking(2, 5);
    ASSERT_EQ(Engine().m_bUsePV7710Procedure, 1u);
    ASSERT_EQ(Engine().m_ModemSessionParam.Update, 1u);
    before = Commands().size();
    RunEvent(NAVERROR_NOTIFICATION, [] { AddInternalEvent(NAVERROR_NOTIFICATION, nullptr, 0); });
    EXPECT_EQ(CommandsFrom(before), (Lines{"AT+XLCSLSR=1,1,,,,,5,,,"}));
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 5u);
    EXPECT_EQ(Engine().m_ModemSessionParam.SessionID, Modem().Status().requestId);
    EXPECT_EQ(Engine().m_bUsePV7710Procedure, 1u);
}

TEST_F(FixSessions, APositionErrorOnPV7710AfterTheFirstFixLeavesThePV7710Procedures) {
    StartEngine("chip=pv7710,ttff=0.5");
    RadioOn();
    StartTracking(1, 5);
    ASSERT_TRUE(WaitRecord([](const auto& record) { return record.fixes >= 1; }));
    ASSERT_EQ(Engine().m_ModemSessionParam.Update, 0u);
    const std::size_t before = Commands().size();
    RunEvent(NAVERROR_NOTIFICATION, [] { AddInternalEvent(NAVERROR_NOTIFICATION, nullptr, 0); });
    EXPECT_EQ(Commands().size(), before);
    EXPECT_EQ(Engine().m_bUsePV7710Procedure, 0u);
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 5u);
}

// Without an IMSI the PV7710 procedures cannot run: the RXA7300 procedure
// serves the request, and the choice made for earlier requests stands.
TEST_F(FixSessions, APV7710WithoutASimTakesTheRXA7300Procedure) {
    StartEngine("chip=pv7710,ttff=3600,fault=error:AT+CIMI");
    RadioOn();
    StartSingleShot(1);
    EXPECT_EQ(Normalised(CommandsFrom(3)),
              (Lines{"AT+XLCSSWITCH?", "AT+CIMI", "AT+XLCSLRMT?", "AT+XLCSLRMT=0", "AT+CCLK",
                     "AT+CIMI", "AT+XLCSLSR=1,1,,,,,1,,,"}));
    EXPECT_EQ(Engine().m_ModemSessionParam.RI, 1u);
    EXPECT_EQ(Engine().m_ModemSessionParam.Update, 0u);
    EXPECT_EQ(Engine().m_bUsePV7710Procedure, 0u);
    StopSession(1);

    // The SIM answers: the PV7710 procedure.
    Modem().ClearFaults();
    StartSingleShot(2);
    ASSERT_EQ(Engine().m_bUsePV7710Procedure, 1u);
    ASSERT_EQ(CountCommands("AT+XLCSLQOS"), 1u);

    // The SIM is gone again while that request runs.
    Modem().AddFault(Refuse("AT+CIMI"));
    const std::size_t before = Commands().size();
    StartTracking(3, 5);
    EXPECT_EQ(CommandsFrom(before), (Lines{"AT+CIMI"}));
    EXPECT_EQ(Log().Count("ProcessPeriodicRequestRXA7300 Sessopn in progress"), 1u);
    EXPECT_EQ(Engine().m_bUsePV7710Procedure, 1u);
}

class ModifyTracking : public EngineTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ModifyTracking, StopsPausesAndIssuesTheNewIntervalWithoutNmea) {
    const bool pv7710 = GetParam() == "pv7710";
    StartEngine("chip=" + GetParam() + ",ttff=3600");
    RadioOn();
    // NMEA is wanted, yet the modified request goes without it.
    atclient_SetNmea(256);
    StartTracking(kTrackingSession, 10);
    const unsigned first = Modem().Status().requestId;
    ASSERT_TRUE(Modem().Status().requestNmea);

    std::size_t before = Commands().size();
    GNSS_FIXSESSION_PARAM modify = TrackingParam(kTrackingSession, 5, 25);
    RunEvent(MODIFY_REQUEST, [&modify] { ASSERT_EQ(atclient_ModifyFixSession(&modify), 1); });
    EXPECT_EQ(CommandsFrom(before),
              Join({{Stop(first)}, kProvisioning, {"AT+XLCSLSR=1,1,,,,,5,,,"}}));
    // A pause before the stop and one before the new request (their sends' log lines).
    const std::string waited =
        "HelperSleep INFO: Waited for 2000 milli seconds before issueing modify";
    ASSERT_EQ(Log().Count(waited), 2u);
    const std::size_t pause = Log().Find(waited);
    const std::size_t stop = Log().Find("] " + Stop(first));
    const std::size_t secondPause = Log().Find(waited, pause + 1);
    const std::size_t request = Log().Find("] AT+XLCSLSR=1,1,,,,,5,,,");
    EXPECT_LT(pause, stop);
    EXPECT_LT(stop, secondPause);
    EXPECT_LT(secondPause, request);
    EXPECT_EQ(Log().Count("ProcessModifyFixRequest INFO: Waited for 2 seconds before issueing "
                          "stop"),
              1u);
    const unsigned second = Modem().Status().requestId;
    EXPECT_NE(second, first);
    EXPECT_EQ(Modem().Status().requestInterval, 5u);
    EXPECT_FALSE(Modem().Status().requestNmea);
    const auto& session = Engine().m_ModemSessionParam;
    EXPECT_EQ(session.RI, 5u);
    EXPECT_EQ(session.SessionID, second);
    EXPECT_EQ(session.NumberOfClients, 1u);
    EXPECT_EQ(Engine().m_dwPreferredInterval, 10u);

    // The modem refuses the next modify's request: the record lets the
    // request go, and a retry issues a fresh periodic request.
    Modem().AddFault(Refuse("AT+XLCSLSR=1,1,,,,,2"));
    int requests = 0;
    std::atomic<DWORD> inUseAtRetry{1};
    std::atomic<DWORD> idAtRetry{1};
    SetSendHook([this, &requests, &inUseAtRetry, &idAtRetry](const std::string& bytes) {
        if (bytes.rfind("AT+XLCSLSR", 0) == 0 && ++requests == 2) {
            inUseAtRetry = Engine().m_ModemSessionParam.bSessionInUse.load();
            idAtRetry = Engine().m_ModemSessionParam.SessionID.load();
            Modem().ClearFaults();
        }
        return 1;
    });
    before = Commands().size();
    const std::size_t activity = Activity().size();
    modify = TrackingParam(kTrackingSession, 2, 25);
    RunEvent(MODIFY_REQUEST, [&modify] { ASSERT_EQ(atclient_ModifyFixSession(&modify), 1); });
    WaitHandled(PERIODIC_RETRY, 1);

    // PV7710 starts a periodic request with quality of service and a single fix.
    const Lines fresh = pv7710 ? Join({{"AT+XLCSLQOS=25,300,150,0"}, kProvisioning,
                                       {"AT+XLCSLSR=1,1,,,,,,,,2"}})
                               : Join({kProvisioning, {"AT+XLCSLSR=1,1,,,,,2,,,2"}});
    const std::string refused = "AT+XLCSLSR=1,1,,,,,2,,,";
    EXPECT_EQ(CommandsFrom(before), Join({{Stop(second)}, kProvisioning, {refused}, fresh}));
    EXPECT_EQ(RequestsAndPauses(Activity(), activity),
              (Lines{refused, "pause 1000", fresh.back()}));
    EXPECT_EQ(inUseAtRetry, 0u);
    EXPECT_EQ(idAtRetry, 0u);
    EXPECT_EQ(Log().Count("ProcessModifyFixRequest Repost 5"), 1u);
    EXPECT_EQ(Log().Count("ProcessModifyFixRequest GNSS_FixSession_ContinuousTracking, [Reposting] "
                          "ID=0x0, HzAcc=25, HzConf=68, Interval=2"),
              1u);
    EXPECT_EQ(Log().Count("ERROR: [** 08 **] Event Processed FAILED"), 1u);
    EXPECT_EQ(session.bSessionInUse, 1u);
    EXPECT_EQ(session.SessionID, Modem().Status().requestId);
    EXPECT_EQ(session.RI, pv7710 ? 0u : 2u);
    EXPECT_EQ(Engine().m_dwPreferredInterval, 2u);
    // The retry neither counted a client nor took a power reference.
    EXPECT_EQ(session.NumberOfClients, 1u);
    EXPECT_EQ(m_dwRefCount, 1u);
}

INSTANTIATE_TEST_SUITE_P(BothChips, ModifyTracking, ::testing::Values("pv7710", "rxa7300"),
                         [](const auto& info) { return info.param; });
