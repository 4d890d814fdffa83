// gnssctl location on|off end to end: the driver command, the receiver
// switched by the engine with the exact AT traffic, and the service-status
// event on a parked listen-NMEA request.
#include "FeatureTest.h"

namespace gnss::test {
namespace {

// What the engine sends to switch the receiver on: echo off (with its zero
// byte), the receiver switch, and the bare stop of whatever request ran.
std::string SwitchOnTraffic() {
    return EchoOff() + Line("AT+XLCSSWITCH=1") + Line("AT+XLSRSTOP");
}

class LocationTest : public FeatureTest {
protected:
    // `gnssctl location on|off` with a listener of the test's own parked
    // first: both see the receiver's report.
    void Switch(bool on) {
        auto listener = ParkNmeaListener();
        const auto r = Gnssctl({"location", on ? "on" : "off"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, on ? "location service on: the receiver is on\n"
                            : "location service off: the receiver is off\n");
        EXPECT_EQ(ServiceStatus(listener), on ? 1 : 0);
    }
};

TEST_F(LocationTest, OnAndOffAgainstTheSimulatedModem) {
    // Usage errors are found before the daemon is asked anything.
    EXPECT_EQ(Gnssctl({"location"}).status, 2);
    EXPECT_EQ(Gnssctl({"location", "sideways"}).status, 2);
    EXPECT_EQ(Gnssctl({"location", "on", "off"}).status, 2);
    const auto help = Gnssctl({"location", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("gnssctl location on\n"), std::string::npos) << help.out;

    StartSim();
    Switch(true);
    EXPECT_EQ(Record(), SwitchOnTraffic());
    Switch(false);
    EXPECT_EQ(Record(), SwitchOnTraffic() + Line("AT+XLCSSWITCH=0"));

    // While the service is off the driver refuses listeners: "on" then waits
    // for the command's answer only, and says so.
    EXPECT_EQ(Control(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT)), STATUS_ACCESS_DENIED);
    const auto fallback = Gnssctl({"location", "on"});
    EXPECT_EQ(fallback.status, 0) << fallback.err;
    EXPECT_NE(fallback.out.find("location service on: the driver took the command; not waiting"),
              std::string::npos)
        << fallback.out;
    ASSERT_TRUE(WaitForRecord(Line("AT+XLSRSTOP"), 2)) << Record();

    // --no-wait only sends the command.
    const auto noWait = Gnssctl({"location", "off", "--no-wait"});
    EXPECT_EQ(noWait.status, 0) << noWait.err;
    EXPECT_EQ(noWait.out, "location service off: the driver took the command (not waiting for the "
                          "receiver)\n");
    ASSERT_TRUE(WaitForRecord(Line("AT+XLCSSWITCH=0"), 2)) << Record();
    EXPECT_EQ(Record(), SwitchOnTraffic() + Line("AT+XLCSSWITCH=0") + SwitchOnTraffic() +
                            Line("AT+XLCSSWITCH=0"));
}

TEST_F(LocationTest, OnThroughTtyAgainstModemsim) {
    ModemsimPty modem(dir_, {"--record", record_});
    StartTty(modem.Path());
    Switch(true);
    EXPECT_EQ(Record(), SwitchOnTraffic());
    // The daemon stops while its modem still answers.
    device_.reset();
    EXPECT_EQ(gnssd_.Stop(), 0) << gnssd_.Stderr();
    EXPECT_EQ(modem.Stop(), 0);
}

}  // namespace
}  // namespace gnss::test
