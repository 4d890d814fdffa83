// Choosing a back-end from the text of --modem.
#include <gtest/gtest.h>

#include <fstream>

#include "BackendTest.h"
#include "TempDir.h"
#include "gnss/platform/sim_usb_backend.h"
#include "gnss/platform/usb_backends.h"

namespace gnss::test {
namespace {

TEST(BackendFactory, OpensTheSimulatedModemWithItsOptionsAndTheLoopback) {
    std::string error;
    auto plain = fw::CreateUsbBackend("sim", error);
    ASSERT_TRUE(plain) << error;
    EXPECT_EQ(plain->Describe(), "sim");
    // The layout the driver expects: interface 0 with its interrupt pipe,
    // interface 1 with the two bulk pipes.
    const auto interfaces = plain->Interfaces();
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[0].InterfaceNumber, 0);
    ASSERT_EQ(interfaces[0].Pipes.size(), 1u);
    EXPECT_EQ(interfaces[0].Pipes[0].Type, WdfUsbPipeTypeInterrupt);
    EXPECT_EQ(interfaces[1].InterfaceNumber, 1);
    EXPECT_TRUE(fw::ClassifyDataPipes(interfaces[1]).in);
    EXPECT_TRUE(fw::ClassifyDataPipes(interfaces[1]).out);

    auto configured = fw::CreateUsbBackend("sim:chip=rxa7300,imsi=262019876543210", error);
    ASSERT_TRUE(configured) << error;
    EXPECT_EQ(configured->Describe(), "sim:chip=rxa7300,imsi=262019876543210");
    auto* sim = dynamic_cast<fw::SimUsbBackend*>(configured.get());
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim->Modem().Options().chip, gnss::sim::Chip::RXA7300);
    EXPECT_EQ(sim->Modem().Options().imsi, "262019876543210");

    auto loopback = fw::CreateUsbBackend("loopback", error);
    ASSERT_TRUE(loopback) << error;
    EXPECT_EQ(loopback->Describe(), "loopback");
}

TEST(BackendFactory, RefusesATextItCannotTakeWithTheReason) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"", "no modem back-end given"},
        {"serial:/dev/ttyS0", "unknown modem back-end 'serial:/dev/ttyS0'"},
        {"SIM", "unknown modem back-end 'SIM'"},
        {"sim:chip=z80", "sim: bad modem options"},
        {"sim:chip=z80", "z80"},
        {"sim:colour=blue", "colour"},
        {"tty", "tty: needs the path of a serial device"},
        {"tty:", "tty: needs the path of a serial device"},
        {"loopback:x", "the loopback back-end takes no argument"},
        {"usb", "usb: needs the modem's vendor and product id"},
        {"usb:1234", "usb: expects VID:PID or VID:PID:BUS:ADDRESS"},
        {"usb:xyz:1", "usb: the vendor id 'xyz'"},
    };
    for (const auto& c : cases) {
        std::string checked, created;
        EXPECT_FALSE(fw::CheckUsbBackendArgument(c.text, checked)) << c.text;
        EXPECT_EQ(fw::CreateUsbBackend(c.text, created), nullptr) << c.text;
        EXPECT_NE(created.find(c.reason), std::string::npos) << c.text << ": " << created;
        EXPECT_EQ(checked, created) << c.text;
    }
}

TEST(BackendFactory, DevicesThatCannotBeOpenedFailOnlyWhenCreated) {
    TempDir dir;
    const std::string file = dir.File("not-a-tty");
    std::ofstream(file) << "plain file\n";
    const struct {
        std::string text;
        std::string reason;
    } cases[] = {
        {"tty:" + dir.File("ttyACM9"), "tty:" + dir.File("ttyACM9") + ": cannot open: No such file or directory"},
        {"tty:" + file, "tty:" + file + ": is not a terminal device"},
        {"sim:replay=" + dir.File("missing.nmea"), "sim: the simulated modem cannot be created"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_TRUE(fw::CheckUsbBackendArgument(c.text, error)) << c.text << ": " << error;
        EXPECT_EQ(fw::CreateUsbBackend(c.text, error), nullptr) << c.text;
        EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
    }
}

}  // namespace
}  // namespace gnss::test
