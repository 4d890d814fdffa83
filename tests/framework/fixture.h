#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "test_driver.h"

namespace fwtest {

using V = std::vector<std::string>;
using gnss::fw::Completion;
using gnss::fw::DevicePowerState;
using gnss::fw::FileId;
using gnss::fw::RequestId;

inline constexpr DWORD kWait = 10000;  // unscaled milliseconds; only bounds a failing test

class FrameworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        D().Reset();
        std::lock_guard lock(D().mu);
        D().host = &host;
        D().usb = usb;
    }
    void TearDown() override {
        host.UnloadDriver();
        std::lock_guard lock(D().mu);
        D().host = nullptr;
    }

    NTSTATUS Start(Options options = {}) {
        {
            std::lock_guard lock(D().mu);
            D().options = options;
        }
        NTSTATUS s = host.LoadDriver(&DriverEntry);
        if (!NT_SUCCESS(s)) return s;
        return host.AddDevice(usb);
    }
    static Options NoIdle() {
        Options o;
        o.assignIdle = false;
        return o;
    }
    FileId Open() {
        FileId f = 0;
        EXPECT_EQ(host.OpenFile(&f), STATUS_SUCCESS);
        return f;
    }
    RequestId Submit(FileId file, ULONG code, const std::string& input = "x", std::size_t outputLength = 0) {
        RequestId id = 0;
        EXPECT_EQ(host.SubmitDeviceControl(file, code, input.data(), input.size(), outputLength, done.Handler(), &id),
                  STATUS_SUCCESS);
        return id;
    }
    Completion Call(FileId file, ULONG code, const std::string& input = "x", std::size_t outputLength = 0) {
        Completion c;
        EXPECT_TRUE(done.Wait(Submit(file, code, input, outputLength), &c));
        return c;
    }
    void WaitParked(std::size_t count) {
        ASSERT_TRUE(D().WaitUntil([&] { return std::count(D().log.begin(), D().log.end(), "Parked") >= static_cast<long>(count); }));
    }
    static DEVICE_CONTEXT* Context() { return DeviceGetContext(D().device); }
    static std::string Text(const Completion& c) { return std::string(c.output.begin(), c.output.end()); }

    // Declared before the host: the host's destruction may still complete requests.
    Completions done;
    std::shared_ptr<gnss::fw::LoopbackUsbBackend> usb = std::make_shared<gnss::fw::LoopbackUsbBackend>();
    gnss::fw::DriverHost host;
};

}  // namespace fwtest
