// The idle policy, power references, system sleep and resume, and how
// requests in progress are stopped when the device leaves D0.
#include <thread>

#include "fixture.h"

namespace fwtest {
namespace {

const V kIdleOut = {"SelfManagedIoSuspend", "D0Exit(D3)"};
const V kWake = {"D0Entry(D3)", "SelfManagedIoRestart"};

V Concat(const V& a, const V& b) {
    V all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

using Power = FrameworkTest;

TEST_F(Power, IdlesOutAndWakesForAPowerReference) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    EXPECT_EQ(HistoryFrom(host, 4), kIdleOut);
    // The idle-out is told in the driver's milliseconds, not the scaled ones.
    const std::vector<gnss::fw::IdleOut> idleOuts = host.IdleOuts();
    ASSERT_EQ(idleOuts.size(), 1u);
    EXPECT_EQ(idleOuts[0].idleTimeoutMs, 1000u);
    EXPECT_GE(idleOuts[0].idleMs, 1000u);
    const WDFDEVICE device = D().device;

    // Waiting for D0 returns in D0, after entry and restart.
    const std::size_t mark = host.CallbackHistory().size();
    EXPECT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(host.PowerState(), DevicePowerState::D0);
    EXPECT_EQ(HistoryFrom(host, mark), kWake);

    // A second reference in D0 succeeds at once; the device idles again once both are gone.
    EXPECT_EQ(WdfDeviceStopIdle(device, FALSE), STATUS_SUCCESS);
    WdfDeviceResumeIdle(device);
    WdfDeviceResumeIdle(device);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    EXPECT_EQ(HistoryFrom(host, mark), Concat(kWake, kIdleOut));
    EXPECT_TRUE(host.Violations().empty());

    // Without waiting: pending in D3, and the device comes back on its own.
    EXPECT_EQ(WdfDeviceStopIdle(device, FALSE), STATUS_PENDING);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D0, kWait));
    WdfDeviceResumeIdle(device);

    // Releasing a reference that is not held is refused and recorded.
    WdfDeviceResumeIdle(device);
    auto violations = host.Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("no power reference is held"), std::string::npos);
    EXPECT_NE(violations[0].find("power_test.cpp"), std::string::npos);  // the tag location
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
}

TEST_F(Power, ARequestWakesTheDeviceAndIsPresentedAfterRestart) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const FileId f = Open();
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    const Completion c = Call(f, kEcho, "abc", 3);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(Text(c), "cba");
    ASSERT_EQ(D().presented.size(), 1u);
    const V& seen = D().presented[0].history;
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(V(seen.end() - 2, seen.end()), kWake);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Power, SystemSleepAndResumeWithAReferenceHeld) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const WDFDEVICE device = D().device;
    const FileId f = Open();
    // The engine starts a use: one reference, held across the sleep the way
    // the driver does it (given back at D0 exit, taken again at D0 entry).
    ASSERT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_SUCCESS);
    {
        std::lock_guard lock(D().mu);
        D().options.engineUses = 1;
    }

    std::size_t mark = host.CallbackHistory().size();
    ASSERT_EQ(host.SystemSleep(), STATUS_SUCCESS);
    EXPECT_EQ(HistoryFrom(host, mark), kIdleOut);
    EXPECT_EQ(host.PowerState(), DevicePowerState::D3);
    EXPECT_EQ(host.SystemSleep(), STATUS_INVALID_DEVICE_STATE);

    // While asleep a reference cannot bring the device back, and a request waits.
    EXPECT_EQ(WdfDeviceStopIdle(device, FALSE), STATUS_PENDING);
    WdfDeviceResumeIdle(device);
    const RequestId waiting = Submit(f, kEcho, "zz", 2);

    mark = host.CallbackHistory().size();
    ASSERT_EQ(host.SystemResume(), STATUS_SUCCESS);
    EXPECT_EQ(HistoryFrom(host, mark), kWake);
    Completion c;
    ASSERT_TRUE(done.Wait(waiting, &c));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    const V& seen = D().presented.at(0).history;
    EXPECT_EQ(V(seen.end() - 2, seen.end()), kWake);
    // D0 entry's reference could not wait: it was pending.
    EXPECT_EQ(D().d0EntryStopIdle, std::vector<NTSTATUS>{STATUS_PENDING});
    EXPECT_EQ(host.PowerState(), DevicePowerState::D0);
    EXPECT_EQ(host.SystemResume(), STATUS_INVALID_DEVICE_STATE);

    // The engine's last use ends: the idle policy applies again.
    {
        std::lock_guard lock(D().mu);
        D().options.engineUses = 0;
    }
    WdfDeviceResumeIdle(device);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
}

TEST_F(Power, SleepWhileIdleAndThePowerUpOnWakeSetting) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    std::size_t mark = host.CallbackHistory().size();
    ASSERT_EQ(host.SystemSleep(), STATUS_SUCCESS);
    EXPECT_TRUE(HistoryFrom(host, mark).empty());
    ASSERT_EQ(host.SystemResume(), STATUS_SUCCESS);  // set to power up on wake
    EXPECT_EQ(HistoryFrom(host, mark), kWake);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));

    // Without power-up on wake, an idle device sleeps through the resume.
    ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
    {
        std::lock_guard lock(D().mu);
        D().options.powerUpOnWake = WdfUseDefault;
    }
    ASSERT_EQ(host.AddDevice(usb), STATUS_SUCCESS);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    ASSERT_EQ(host.SystemSleep(), STATUS_SUCCESS);
    mark = host.CallbackHistory().size();
    ASSERT_EQ(host.SystemResume(), STATUS_SUCCESS);
    EXPECT_TRUE(HistoryFrom(host, mark).empty());
    EXPECT_EQ(host.PowerState(), DevicePowerState::D3);
}

TEST_F(Power, WaitingForD0FailsWhenTheDeviceIsRemoved) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const WDFDEVICE device = D().device;
    ASSERT_EQ(host.SystemSleep(), STATUS_SUCCESS);
    NTSTATUS result = STATUS_SUCCESS;
    std::thread waiter([&] { result = WdfDeviceStopIdle(device, TRUE); });
    // The device object cannot go before the waiter has returned.
    {
        std::lock_guard lock(D().mu);
        D().onCleanup = [&] { waiter.join(); };
    }
    host.SurpriseRemoveDevice();
    EXPECT_EQ(result, STATUS_DELETE_PENDING);
    EXPECT_FALSE(waiter.joinable());
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Power, WaitingForD0OnThePowerThreadIsRefused) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    NTSTATUS inEntry = STATUS_SUCCESS;
    {
        std::lock_guard lock(D().mu);
        D().onD0Entry = [&](WDFDEVICE device) { inEntry = WdfDeviceStopIdle(device, TRUE); };
    }
    ASSERT_EQ(WdfDeviceStopIdle(D().device, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(inEntry, STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(host.Violations().size(), 1u);
    EXPECT_NE(host.Violations()[0].find("power thread"), std::string::npos);
    WdfDeviceResumeIdle(D().device);
}

TEST_F(Power, LeavingD0StopsTheRequestInProgressAndWaitsForIt) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    const FileId f = Open();
    const RequestId id = Submit(f, kHold);
    const WDFREQUEST request = D().TakeHeld();
    ASSERT_NE(request, nullptr);

    NTSTATUS slept = STATUS_UNSUCCESSFUL;
    std::thread sleeper([&] { slept = host.SystemSleep(); });
    ASSERT_TRUE(D().WaitUntil([] { return std::count(D().log.begin(), D().log.end(), "IoStop(1)") == 1; }));
    D().Log("Completing");
    WdfRequestComplete(request, STATUS_SUCCESS);
    sleeper.join();
    EXPECT_EQ(slept, STATUS_SUCCESS);
    EXPECT_EQ(D().Log(), (V{"Presented(0x3000)", "IoStop(1)", "Completing", "Suspend"}));
    EXPECT_EQ(done.Count(id), 1u);
    ASSERT_EQ(host.SystemResume(), STATUS_SUCCESS);

    // At removal the stop carries the purge flag.
    const RequestId second = Submit(f, kHold);
    const WDFREQUEST again = D().TakeHeld();
    std::thread remover([&] { EXPECT_EQ(host.RemoveDevice(), STATUS_SUCCESS); });
    ASSERT_TRUE(D().WaitUntil([] { return std::count(D().log.begin(), D().log.end(), "IoStop(2)") == 1; }));
    WdfRequestComplete(again, STATUS_CANCELLED);
    remover.join();
    Completion c;
    ASSERT_TRUE(done.Wait(second, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_TRUE(host.Violations().empty());
}

}  // namespace
}  // namespace fwtest
