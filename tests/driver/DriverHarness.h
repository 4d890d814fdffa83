// The driver hosted by the framework in the test's process, with a loopback
// USB function whose modem answers every command with OK, the driver's trace
// written to a file and its event provider enabled for another file.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Driver.h"
#include "DriverEvents.h"
#include "TempDir.h"
#include "gnss/platform/eventprovider.h"
#include "gnss/platform/trace.h"
#include "gnss/platform/usb_loopback.h"
#include "gnss/platform/wdfhost.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::test {

using fw::Completion;
using fw::FileId;
using fw::RequestId;

// Collects completions by request id and lets a test wait for them.
class Completions {
public:
    fw::CompletionHandler Handler() {
        return [this](const Completion& c) {
            std::lock_guard lock(mu_);
            done_[c.id] = c;
            cv_.notify_all();
        };
    }
    bool Wait(RequestId id, Completion* out = nullptr, int seconds = 20) {
        std::unique_lock lock(mu_);
        if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return done_.count(id) != 0; }))
            return false;
        if (out != nullptr) *out = done_[id];
        return true;
    }
    bool Done(RequestId id) {
        std::lock_guard lock(mu_);
        return done_.count(id) != 0;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::map<RequestId, Completion> done_;
};

inline std::vector<std::uint8_t> Bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    return std::vector<std::uint8_t>(p, p + size);
}

template <class T>
T As(const Completion& c) {
    T value{};
    std::memcpy(&value, c.output.data(), std::min(sizeof value, c.output.size()));
    return value;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(trace::StartRealtimeSession({dir.File("trace.log"), 6, 0xFFFF}));
        eventSession = events::EnableTraceSession(driver::DriverManifest().guid, {dir.File("events.json"), 0, 0, 0});
        ASSERT_GE(eventSession, 0);
        usb->SetResponder([](fw::LoopbackUsbBackend& device, const fw::LoopbackUsbBackend::Write&) {
            device.Push(0x81, std::string("\r\nOK\r\n"));
        });
    }
    void TearDown() override {
        host.UnloadDriver();
        events::DisableTraceSession(eventSession);
        trace::StopRealtimeSession();
    }

    NTSTATUS Start() {
        const NTSTATUS status = host.LoadDriver(&DriverEntry);
        return NT_SUCCESS(status) ? host.AddDevice(usb) : status;
    }
    FileId Open() {
        FileId file = 0;
        EXPECT_EQ(host.OpenFile(&file), STATUS_SUCCESS);
        return file;
    }
    RequestId Submit(FileId file, ULONG code, const std::vector<std::uint8_t>& input, std::size_t outputLength) {
        RequestId id = 0;
        EXPECT_EQ(host.SubmitDeviceControl(file, code, input.data(), input.size(), outputLength, done.Handler(), &id),
                  STATUS_SUCCESS);
        return id;
    }
    Completion Call(FileId file, ULONG code, const std::vector<std::uint8_t>& input, std::size_t outputLength) {
        Completion c;
        EXPECT_TRUE(done.Wait(Submit(file, code, input, outputLength), &c)) << "no completion";
        return c;
    }
    // The default queue presents one request at a time, so once this answer
    // is back every request submitted before it has been dispatched.
    void Drain(FileId file) {
        EXPECT_EQ(Call(file, IOCTL_GNSS_GET_CHIPSETINFO, {}, sizeof(GNSS_CHIPSETINFO)).status, STATUS_SUCCESS);
    }
    Completion DriverCommand(FileId file, ULONG type, std::vector<std::uint8_t> data) {
        std::vector<std::uint8_t> input(sizeof(GNSS_DRIVERCOMMAND_PARAM) + data.size());
        GNSS_DRIVERCOMMAND_PARAM command{};
        command.Size = sizeof command;
        command.Version = GNSS_INTERFACE_VERSION;
        command.CommandType = static_cast<GNSS_DRIVERCOMMAND_TYPE>(type);
        command.CommandDataSize = static_cast<ULONG>(data.size());
        std::memcpy(input.data(), &command, offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData));
        if (!data.empty())
            std::memcpy(input.data() + offsetof(GNSS_DRIVERCOMMAND_PARAM, CommandData), data.data(), data.size());
        input.resize(std::max(input.size(), sizeof(GNSS_DRIVERCOMMAND_PARAM)));
        return Call(file, IOCTL_GNSS_SEND_DRIVERCOMMAND, input, 0);
    }
    static std::vector<std::uint8_t> SessionId(ULONG id) { return Bytes(&id, sizeof id); }

    std::string Traced() const { return ReadFile(dir.File("trace.log")); }
    std::string Events() const { return ReadFile(dir.File("events.json")); }
    std::size_t Count(const std::string& needle) const { return CountOccurrences(Traced(), needle); }

    TempDir dir;
    int eventSession = -1;
    Completions done;
    std::shared_ptr<fw::LoopbackUsbBackend> usb = std::make_shared<fw::LoopbackUsbBackend>();
    fw::DriverHost host;
};

}  // namespace gnss::test
