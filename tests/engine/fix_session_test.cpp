// Fix sessions on both chip generations: the modem's one location request
// shared by the driver's sessions, re-issued when the need changes, stopped
// by the last stop; and the retries of a failed request.
#include <gtest/gtest.h>

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
    RunEvent(SINGLESHOT_RETRY, [] {
        auto* copy = static_cast<GNSS_FIXSESSION_PARAM*>(std::malloc(sizeof(GNSS_FIXSESSION_PARAM)));
        *copy = SingleShotParam(1, 0, 10);
        AddInternalEvent(SINGLESHOT_RETRY, copy, 0);
    });
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
