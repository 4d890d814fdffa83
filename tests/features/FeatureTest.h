// The fixture of the feature tests: gnssd with the simulated modem (or a
// modem on a pseudo-terminal) whose record holds every byte the driver sent,
// gnssctl runs, and an open of the device through the client library.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "GnssdProcess.h"
#include "TempDir.h"
#include "gnss/client/device.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::test {

using Bytes = std::vector<std::uint8_t>;

// The bytes of a command line as the driver writes it.
inline std::string Line(const std::string& command) { return command + "\r\n"; }
// The echo-off command: the driver sends its terminating zero byte too.
inline std::string EchoOff() { return std::string("ATE0\r\n\0", 7); }

// A value's bytes, for command data.
template <class T>
Bytes BytesOf(const T& value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// The lines of the record that begin with `prefix`, each with its line end.
inline std::vector<std::string> RecordedLines(const std::string& record, const std::string& prefix) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < record.size()) {
        std::size_t end = record.find("\r\n", pos);
        end = end == std::string::npos ? record.size() : end + 2;
        std::string line = record.substr(pos, end - pos);
        while (!line.empty() && line[0] == '\0') line.erase(0, 1);  // after "ATE0\r\n"
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
        pos = end;
    }
    return lines;
}

class FeatureTest : public ::testing::Test {
protected:
    void TearDown() override {
        device_.reset();
        if (gnssd_.Pid() > 0) {
            EXPECT_EQ(gnssd_.Stop(), 0) << gnssd_.Stderr();
        }
    }

    // gnssd with the simulated modem configured by `options` (may be empty)
    // and recording into Record().
    void StartSim(const std::string& options = {}) {
        const std::string modem = "sim:" + (options.empty() ? "" : options + ",") + "record=" + record_;
        ASSERT_TRUE(gnssd_.Start(modem)) << gnssd_.Stderr();
    }
    // gnssd with a modem on a serial device.
    void StartTty(const std::string& path) {
        ASSERT_FALSE(path.empty());
        ASSERT_TRUE(gnssd_.Start("tty:" + path)) << gnssd_.Stderr();
    }

    std::string Record() const { return ReadFile(record_); }
    // Waits until the record holds `text` `count` times.
    bool WaitForRecord(const std::string& text, std::size_t count = 1) const {
        return WaitForText(record_, text, count, std::chrono::seconds(20));
    }

    CommandResult Gnssctl(std::vector<std::string> args) { return gnssd_.Gnssctl(std::move(args)); }

    // The test's own open of the device.
    client::Device& Device() {
        if (!device_) device_ = client::Device::Open(gnssd_.Socket(), std::chrono::seconds(10));
        return *device_;
    }
    NTSTATUS Control(std::uint32_t code, const Bytes& input, std::size_t outputLength = 0) {
        return Device().Control(code, input, outputLength, std::chrono::seconds(10)).status;
    }
    NTSTATUS DriverCommand(GNSS_DRIVERCOMMAND_TYPE type, const Bytes& data) {
        return Control(IOCTL_GNSS_SEND_DRIVERCOMMAND, client::BuildDriverCommand(type, data));
    }
    // A fix session of type LKG: passes the driver's radio gate and asks
    // nothing of the engine.
    NTSTATUS StartLkgSession() {
        client::FixSessionParameters p;
        p.sessionId = 77;
        p.type = GNSS_FixSession_LKG;
        return Control(IOCTL_GNSS_START_FIXSESSION, client::BuildFixSession(p));
    }

    // A listen-NMEA request parked in the driver: once a request sent after
    // it has been answered, the driver has taken it (it serves one at a time).
    std::future<client::Completion> ParkNmeaListener() {
        auto promise = std::make_shared<std::promise<client::Completion>>();
        auto future = promise->get_future();
        Device().ControlAsync(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT),
                              [promise](client::Completion&& c) { promise->set_value(std::move(c)); });
        EXPECT_EQ(Control(IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, sizeof(GNSS_DEVICE_CAPABILITY)),
                  STATUS_SUCCESS);
        return future;
    }
    // The service status the listener received, or -1 for anything else.
    static long ServiceStatus(std::future<client::Completion>& listener) {
        if (listener.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return -1;
        const client::Completion c = listener.get();
        if (!c.ok() || c.output.size() != sizeof(GNSS_EVENT)) return -1;
        const client::Event event = client::DecodeEvent(c.output);
        if (event.type != GNSS_Event_Custom || event.dataSize != sizeof(GNSS_SERVICE_STATUS_EVENT))
            return -1;
        const auto* s = std::get_if<client::ServiceStatus>(&event.data);
        return s != nullptr ? static_cast<long>(s->status) : -1;
    }

    TempDir dir_;
    std::string record_ = dir_.File("record.bin");
    GnssdProcess gnssd_{dir_};
    std::unique_ptr<client::Device> device_;
};

}  // namespace gnss::test
