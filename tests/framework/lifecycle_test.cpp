// Driver loading, device start, orderly and surprise removal, start
// failures, file objects at removal, and handles after deletion.
#include <thread>

#include "fixture.h"

namespace fwtest {
namespace {

const V kStart = {"DeviceAdd", "PrepareHardware", "D0Entry(D3Final)", "SelfManagedIoInit"};
const V kTeardown = {"SelfManagedIoFlush", "ReleaseHardware", "SelfManagedIoCleanup"};

V Concat(std::initializer_list<V> parts) {
    V all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

using Lifecycle = FrameworkTest;

TEST_F(Lifecycle, StartThenOrderlyRemovalThenUnload) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    EXPECT_EQ(host.CallbackHistory(), kStart);
    EXPECT_TRUE(host.DevicePresent());
    EXPECT_EQ(host.PowerState(), DevicePowerState::D0);
    EXPECT_TRUE(D().contextWasZero);
    EXPECT_TRUE(D().contextAligned);
    EXPECT_TRUE(D().initConsumed);
    auto interfaces = host.DeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0] == kInterface);

    std::atomic<int> removedCalls{0};
    host.SetDeviceRemovedHandler([&] { removedCalls++; });
    ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(HistoryFrom(host, kStart.size()),
              Concat({{"QueryRemove", "SelfManagedIoSuspend", "D0Exit(D3Final)"}, kTeardown}));
    EXPECT_EQ(removedCalls.load(), 1);
    EXPECT_EQ(host.PowerState(), DevicePowerState::Removed);
    EXPECT_FALSE(host.DevicePresent());
    EXPECT_TRUE(host.DeviceInterfaces().empty());
    EXPECT_EQ(D().Count("DeviceCleanup"), 1u);

    // A second removal finds no device; a new device can be added.
    EXPECT_NE(host.RemoveDevice(), STATUS_SUCCESS);
    const std::size_t mark = host.CallbackHistory().size();
    ASSERT_EQ(host.AddDevice(usb), STATUS_SUCCESS);
    EXPECT_EQ(HistoryFrom(host, mark), kStart);

    host.UnloadDriver();
    const V tail = HistoryFrom(host, mark + kStart.size());
    EXPECT_EQ(tail, Concat({{"QueryRemove", "SelfManagedIoSuspend", "D0Exit(D3Final)"}, kTeardown,
                            {"DriverUnload", "DriverCleanup"}}));
    EXPECT_EQ(D().Log(), (V{"Suspend", "DeviceCleanup", "Suspend", "DeviceCleanup", "DriverUnload", "DriverCleanup"}));
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
}

TEST_F(Lifecycle, QueryRemoveVetoKeepsTheDeviceAndUnloadStillRemovesIt) {
    Options o = NoIdle();
    o.queryRemoveStatus = STATUS_DEVICE_BUSY;
    ASSERT_EQ(Start(o), STATUS_SUCCESS);
    EXPECT_EQ(host.RemoveDevice(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(HistoryFrom(host, kStart.size()), V{"QueryRemove"});
    EXPECT_TRUE(host.DevicePresent());
    EXPECT_EQ(host.PowerState(), DevicePowerState::D0);
    const FileId f = Open();
    EXPECT_EQ(Call(f, kEcho, "ok", 2).status, STATUS_SUCCESS);

    // Unloading cannot be vetoed: the device is then removed as if pulled out.
    host.UnloadDriver();
    EXPECT_EQ(HistoryFrom(host, kStart.size() + 2),
              Concat({{"QueryRemove", "SurpriseRemoval", "SelfManagedIoSuspend", "D0Exit(D3Final)"}, kTeardown,
                      {"FileClose", "DriverUnload", "DriverCleanup"}}));
    EXPECT_FALSE(host.DevicePresent());
}

TEST_F(Lifecycle, SurpriseRemovalInD0AndWhileIdle) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    host.SurpriseRemoveDevice();
    EXPECT_EQ(HistoryFrom(host, kStart.size()),
              Concat({{"SurpriseRemoval", "SelfManagedIoSuspend", "D0Exit(D3Final)"}, kTeardown}));
    EXPECT_EQ(host.PowerState(), DevicePowerState::Removed);

    // Idle in D3 at removal: no second suspend, no D0 exit.
    const std::size_t mark = host.CallbackHistory().size();
    {
        std::lock_guard lock(D().mu);
        D().options.assignIdle = true;
    }
    ASSERT_EQ(host.AddDevice(usb), STATUS_SUCCESS);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    host.SurpriseRemoveDevice();
    EXPECT_EQ(HistoryFrom(host, mark),
              Concat({kStart, {"SelfManagedIoSuspend", "D0Exit(D3)", "SurpriseRemoval"}, kTeardown}));
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Lifecycle, OrderlyRemovalWhileIdle) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
    EXPECT_EQ(host.CallbackHistory(),
              Concat({kStart, {"SelfManagedIoSuspend", "D0Exit(D3)", "QueryRemove"}, kTeardown}));
}

TEST_F(Lifecycle, FailedStartStepsUndoWhatWasDone) {
    struct Case {
        const char* name;
        void (*set)(Options&);
        V history;
    };
    const Case cases[] = {
        {"device add", [](Options& o) { o.deviceAddStatus = STATUS_INSUFFICIENT_RESOURCES; }, {"DeviceAdd"}},
        {"prepare hardware",
         [](Options& o) { o.prepareStatus = STATUS_INSUFFICIENT_RESOURCES; },
         {"DeviceAdd", "PrepareHardware", "ReleaseHardware"}},
        {"D0 entry",
         [](Options& o) { o.d0EntryStatus = STATUS_INSUFFICIENT_RESOURCES; },
         {"DeviceAdd", "PrepareHardware", "D0Entry(D3Final)", "ReleaseHardware"}},
        {"self-managed I/O init",
         [](Options& o) { o.selfManagedIoInitStatus = STATUS_INSUFFICIENT_RESOURCES; },
         Concat({kStart, {"D0Exit(D3Final)", "ReleaseHardware", "SelfManagedIoCleanup"}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        D().Reset();
        gnss::fw::DriverHost h;
        Options o = NoIdle();
        c.set(o);
        {
            std::lock_guard lock(D().mu);
            D().options = o;
            D().host = &h;
        }
        ASSERT_EQ(h.LoadDriver(&DriverEntry), STATUS_SUCCESS);
        EXPECT_EQ(h.AddDevice(usb), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(h.CallbackHistory(), c.history);
        EXPECT_FALSE(h.DevicePresent());
        EXPECT_EQ(h.PowerState(), DevicePowerState::None);
        EXPECT_EQ(D().Count("DeviceCleanup"), 1u);  // the device object was deleted
        FileId f = 0;
        EXPECT_EQ(h.OpenFile(&f), STATUS_NO_SUCH_DEVICE);
        std::lock_guard lock(D().mu);
        D().host = nullptr;
    }
}

TEST_F(Lifecycle, FailedDriverEntryGetsNoCallbacksLater) {
    {
        std::lock_guard lock(D().mu);
        D().options.entryStatus = STATUS_UNSUCCESSFUL;
    }
    EXPECT_EQ(host.LoadDriver(&DriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host.AddDevice(usb), STATUS_INVALID_DEVICE_STATE);
    host.UnloadDriver();
    EXPECT_TRUE(D().Log().empty());
    EXPECT_TRUE(host.CallbackHistory().empty());

    // The host can load a driver afterwards.
    {
        std::lock_guard lock(D().mu);
        D().options.entryStatus = STATUS_SUCCESS;
    }
    EXPECT_EQ(host.LoadDriver(&DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(host.LoadDriver(&DriverEntry), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(Lifecycle, DriverModulesAreLoadedByPath) {
    EXPECT_EQ(host.LoadDriverModule("/nonexistent/driver.so"), STATUS_NOT_FOUND);
    EXPECT_EQ(host.LoadDriverModule(FRAMEWORK_PLATFORM_LIBRARY), STATUS_INVALID_PARAMETER);  // no DriverEntry
    ASSERT_EQ(host.LoadDriverModule(FRAMEWORK_TEST_MODULE), STATUS_SUCCESS);
    ASSERT_EQ(host.AddDevice(nullptr), STATUS_SUCCESS);
    const GUID expected = {0x0DD1E5, 0x0001, 0x0002, {9, 8, 7, 6, 5, 4, 3, 2}};
    auto interfaces = host.DeviceInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0] == expected);
    EXPECT_EQ(host.CallbackHistory(), (V{"DeviceAdd", "D0Entry(D3Final)"}));
    host.UnloadDriver();
    EXPECT_EQ(host.CallbackHistory(), (V{"DeviceAdd", "D0Entry(D3Final)", "D0Exit(D3Final)", "DriverUnload"}));
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Lifecycle, OpenFilesAreClosedAndParkedRequestsCancelledAtRemoval) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    const FileId a = Open();
    const FileId b = Open();
    EXPECT_NE(a, b);
    EXPECT_EQ(HistoryFrom(host, kStart.size()), (V{"FileCreate", "FileCreate"}));
    const RequestId pa = Submit(a, kPark);
    const RequestId pb = Submit(b, kPark);
    WaitParked(2);

    ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
    Completion c;
    ASSERT_TRUE(done.Wait(pa, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    ASSERT_TRUE(done.Wait(pb, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(HistoryFrom(host, kStart.size() + 2),
              Concat({{"QueryRemove", "SelfManagedIoSuspend", "D0Exit(D3Final)"}, kTeardown, {"FileClose", "FileClose"}}));

    // Everything of the old device is gone.
    RequestId id = 0;
    EXPECT_EQ(host.SubmitDeviceControl(a, kEcho, "x", 1, 1, done.Handler(), &id), STATUS_INVALID_HANDLE);
    FileId f = 0;
    EXPECT_EQ(host.OpenFile(&f), STATUS_NO_SUCH_DEVICE);
    host.CloseFile(a);  // already closed: nothing happens
    EXPECT_EQ(D().Count("FileClose"), 2u);
    EXPECT_EQ(done.Total(), 2u);
}

TEST_F(Lifecycle, RefusedOpenDiscardsTheFileWithoutCloseCallback) {
    Options o = NoIdle();
    o.createStatus = STATUS_NOT_SUPPORTED;
    ASSERT_EQ(Start(o), STATUS_SUCCESS);
    FileId f = 77;
    EXPECT_EQ(host.OpenFile(&f), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(f, 0u);
    host.UnloadDriver();
    EXPECT_FALSE(Contains(host.CallbackHistory(), "FileClose"));
    EXPECT_TRUE(Contains(host.CallbackHistory(), "FileCreate"));
}

TEST_F(Lifecycle, HandlesOfDeletedOrUnknownObjectsAreRefused) {
    Options o = NoIdle();
    o.usb = true;
    ASSERT_EQ(Start(o), STATUS_SUCCESS);
    const WDFDEVICE device = D().device;
    const WDFQUEUE queue = D().defaultQueue;
    const WDFUSBPIPE out = Context()->BulkOut;
    ASSERT_NE(out, nullptr);

    // Wrong kinds and made-up values.
    WdfRequestComplete(reinterpret_cast<WDFREQUEST>(static_cast<WDFOBJECT>(queue)), STATUS_SUCCESS);
    WdfIoQueueStart(reinterpret_cast<WDFQUEUE>(std::uintptr_t{0x1230}));
    WdfIoQueueStart(reinterpret_cast<WDFQUEUE>(std::uintptr_t{0x1231}));
    WdfIoQueueStart(nullptr);
    WdfObjectDelete(device);  // only the framework deletes a device
    WdfObjectDereference(device);  // no reference held
    auto violations = host.Violations();
    ASSERT_EQ(violations.size(), 6u);
    EXPECT_TRUE(Contains(violations, "is a queue, not a request"));
    EXPECT_TRUE(Contains(violations, "deleted by the framework"));
    EXPECT_TRUE(Contains(violations, "no reference held"));
    EXPECT_TRUE(host.DevicePresent());

    // A reference keeps the device's handle and context alive past its removal.
    WdfObjectReference(device);
    ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
    DEVICE_CONTEXT* ctx = DeviceGetContext(device);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_INVALID_HANDLE);  // deleted: calls are refused
    WdfObjectDereference(device);
    EXPECT_EQ(DeviceGetContext(device), nullptr);

    const std::size_t before = host.Violations().size();
    EXPECT_EQ(WdfDeviceStopIdle(device, FALSE), STATUS_INVALID_HANDLE);
    WdfIoQueueStart(queue);
    EXPECT_EQ(WdfIoQueueGetDevice(queue), nullptr);
    ULONG written = 5;
    WDF_MEMORY_DESCRIPTOR m;
    char byte = 'x';
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&m, &byte, 1);
    EXPECT_EQ(WdfUsbTargetPipeWriteSynchronously(out, nullptr, nullptr, &m, &written), STATUS_INVALID_HANDLE);
    EXPECT_EQ(written, 0u);
    violations = host.Violations();
    EXPECT_EQ(violations.size(), before + 4);
    EXPECT_TRUE(Contains(violations, "was already deleted"));
    EXPECT_TRUE(usb->Writes().empty());
}

}  // namespace
}  // namespace fwtest
