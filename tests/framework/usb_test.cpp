// The USB target over the loopback back-end: interfaces and pipes, control
// transfers and writes, the continuous reader and the device going away.
#include <thread>

#include "fixture.h"

namespace fwtest {
namespace {

constexpr UCHAR kIn = 0x81;

class Usb : public FrameworkTest {
protected:
    NTSTATUS StartUsb(bool idle = false) {
        Options o;
        o.assignIdle = idle;
        o.usb = true;
        return Start(o);
    }
    bool WaitChunks(std::size_t n) {
        return D().WaitUntil([&] { return D().chunks.size() >= n; });
    }
    std::vector<std::string> Chunks() {
        std::lock_guard lock(D().mu);
        return D().chunks;
    }
    static NTSTATUS Write(WDFUSBPIPE pipe, const std::string& text, ULONG* written) {
        WDF_MEMORY_DESCRIPTOR m;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&m, const_cast<char*>(text.data()), static_cast<ULONG>(text.size()));
        return WdfUsbTargetPipeWriteSynchronously(pipe, nullptr, nullptr, &m, written);
    }
};

TEST_F(Usb, InterfacesPipesControlTransfersAndWrites) {
    ASSERT_EQ(StartUsb(), STATUS_SUCCESS);
    DEVICE_CONTEXT* ctx = Context();

    // Prepare hardware sent the control-line request, without a data stage.
    auto controls = usb->ControlTransfers();
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].setup.bmRequestType, 0x21);
    EXPECT_EQ(controls[0].setup.bRequest, 0x22);
    EXPECT_EQ(controls[0].setup.wValue, 0x0003);
    EXPECT_EQ(controls[0].setup.wIndex, 0);
    EXPECT_EQ(controls[0].setup.wLength, 0);

    // Interface 0 carries the interrupt pipe; interface 1 the bulk pair.
    WDFUSBINTERFACE control = WdfUsbTargetDeviceGetInterface(ctx->UsbDevice, 0);
    ASSERT_NE(control, nullptr);
    ASSERT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(control), 1);
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE interrupt = WdfUsbInterfaceGetConfiguredPipe(control, 0, &info);
    ASSERT_NE(interrupt, nullptr);
    EXPECT_EQ(info.EndpointAddress, 0x83);
    EXPECT_EQ(info.PipeType, WdfUsbPipeTypeInterrupt);
    EXPECT_EQ(info.MaximumPacketSize, 512u);
    EXPECT_TRUE(WdfUsbTargetPipeIsInEndpoint(interrupt));
    EXPECT_EQ(WdfUsbTargetPipeGetType(interrupt), WdfUsbPipeTypeInterrupt);
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(control, 1, nullptr), nullptr);
    EXPECT_EQ(WdfUsbTargetDeviceGetInterface(ctx->UsbDevice, 2), nullptr);
    EXPECT_TRUE(WdfUsbTargetPipeIsInEndpoint(ctx->BulkIn));
    EXPECT_FALSE(WdfUsbTargetPipeIsOutEndpoint(ctx->BulkIn));
    EXPECT_TRUE(WdfUsbTargetPipeIsOutEndpoint(ctx->BulkOut));
    EXPECT_EQ(WdfUsbTargetPipeGetType(ctx->BulkOut), WdfUsbPipeTypeBulk);

    ULONG written = 0;
    EXPECT_EQ(Write(ctx->BulkOut, "AT\r\n", &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 4u);
    const auto writes = usb->Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].endpoint, 0x02);
    EXPECT_EQ(std::string(writes[0].data.begin(), writes[0].data.end()), "AT\r\n");
    EXPECT_EQ(Write(ctx->BulkIn, "no", &written), STATUS_INVALID_DEVICE_REQUEST);

    // Failures of the back-end reach the caller.
    usb->FailNextWrites(1, STATUS_IO_TIMEOUT);
    written = 99;
    EXPECT_EQ(Write(ctx->BulkOut, "x", &written), STATUS_IO_TIMEOUT);
    EXPECT_EQ(written, 0u);
    usb->FailNextControlTransfers(1, STATUS_DEVICE_DATA_ERROR);
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&setup, BmRequestHostToDevice, BmRequestToInterface, 0x22, 0, 0);
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(ctx->UsbDevice, nullptr, nullptr, &setup, nullptr, nullptr),
              STATUS_DEVICE_DATA_ERROR);
    std::uint8_t stage[3] = {1, 2, 3};
    WDF_MEMORY_DESCRIPTOR m;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&m, stage, sizeof stage);
    ULONG transferred = 0;
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(ctx->UsbDevice, nullptr, nullptr, &setup, &m, &transferred),
              STATUS_SUCCESS);
    EXPECT_EQ(transferred, 3u);
    EXPECT_EQ(usb->ControlTransfers().back().setup.wLength, 3);
    EXPECT_EQ(usb->ControlTransfers().back().data, (std::vector<std::uint8_t>{1, 2, 3}));

    // A stopped USB target refuses transfers and stops its reader.
    ASSERT_TRUE(usb->WaitForBlockedRead(kIn, kWait));
    const WDFIOTARGET target = WdfUsbTargetDeviceGetIoTarget(ctx->UsbDevice);
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    EXPECT_EQ(usb->ReadsInFlight(kIn), 0u);
    EXPECT_EQ(Write(ctx->BulkOut, "x", &written), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(ctx->UsbDevice, nullptr, nullptr, &setup, nullptr, nullptr),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    EXPECT_EQ(Write(ctx->BulkOut, "x", &written), STATUS_SUCCESS);
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Usb, ContinuousReaderDeliversEveryTransferInOrderOneReadAtATime) {
    ASSERT_EQ(StartUsb(), STATUS_SUCCESS);
    usb->Push(kIn, "one");
    usb->Push(kIn, "");  // zero-length transfers are delivered too
    usb->Push(kIn, "three");
    usb->Push(kIn, std::string(100, 'x'));  // longer than one read: split
    ASSERT_TRUE(WaitChunks(5));
    EXPECT_EQ(Chunks(), (std::vector<std::string>{"one", "", "three", std::string(64, 'x'), std::string(36, 'x')}));
    EXPECT_EQ(usb->MaxReadsInFlight(kIn), 1u);
    EXPECT_FALSE(D().readWhileCallbackRan);

    // A responder answers writes through the reader.
    usb->SetResponder([](gnss::fw::LoopbackUsbBackend& u, const gnss::fw::LoopbackUsbBackend::Write& w) {
        u.Push(kIn, "echo:" + std::string(w.data.begin(), w.data.end()));
    });
    ULONG written = 0;
    ASSERT_EQ(Write(Context()->BulkOut, "ping", &written), STATUS_SUCCESS);
    ASSERT_TRUE(WaitChunks(6));
    EXPECT_EQ(Chunks().back(), "echo:ping");
}

TEST_F(Usb, FailedReadsCallTheDriverAndRestartWhenItAsks) {
    ASSERT_EQ(StartUsb(), STATUS_SUCCESS);
    ASSERT_TRUE(usb->WaitForBlockedRead(kIn, kWait));
    usb->FailNextReads(1, STATUS_DEVICE_DATA_ERROR);
    ASSERT_TRUE(D().WaitUntil([] { return !D().readerFailures.empty(); }));
    usb->Push(kIn, "after");
    ASSERT_TRUE(WaitChunks(1));
    EXPECT_EQ(Chunks(), std::vector<std::string>{"after"});
    EXPECT_EQ(usb->ResetCount(kIn), 1u);
    EXPECT_EQ(D().readerFailures, std::vector<NTSTATUS>{STATUS_DEVICE_DATA_ERROR});

    // Declined: the reader ends until its target is started again.
    {
        std::lock_guard lock(D().mu);
        D().options.restartReader = FALSE;
    }
    usb->FailNextReads(1, STATUS_DEVICE_DATA_ERROR);
    ASSERT_TRUE(D().WaitUntil([] { return D().readerFailures.size() == 2; }));
    const WDFIOTARGET pipe = WdfUsbTargetPipeGetIoTarget(Context()->BulkIn);
    WdfIoTargetStop(pipe, WdfIoTargetCancelSentIo);  // returns: the reader already ended
    usb->Push(kIn, "later");
    EXPECT_EQ(usb->Pending(kIn), 1u);
    EXPECT_EQ(usb->ResetCount(kIn), 1u);
    ASSERT_EQ(WdfIoTargetStart(pipe), STATUS_SUCCESS);
    ASSERT_TRUE(WaitChunks(2));
    EXPECT_EQ(Chunks().back(), "later");
}

TEST_F(Usb, DeviceGoneEndsTheReaderWithoutReset) {
    ASSERT_EQ(StartUsb(), STATUS_SUCCESS);  // the driver asks for restarts
    ASSERT_TRUE(usb->WaitForBlockedRead(kIn, kWait));
    usb->FailNextReads(1, STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(D().WaitUntil([] { return !D().readerFailures.empty(); }));
    const unsigned reads = usb->ReadCount(kIn);
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(Context()->BulkIn), WdfIoTargetCancelSentIo);
    EXPECT_EQ(D().readerFailures, std::vector<NTSTATUS>{STATUS_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(usb->ResetCount(kIn), 0u);
    EXPECT_EQ(usb->ReadCount(kIn), reads);  // no read after the failure
    EXPECT_TRUE(host.DevicePresent());      // only the back-end's removal notice removes the device
}

TEST_F(Usb, StoppingCancelsTheReadInFlightAndIdleStopsTheReader) {
    ASSERT_EQ(StartUsb(), STATUS_SUCCESS);
    const WDFIOTARGET pipe = WdfUsbTargetPipeGetIoTarget(Context()->BulkIn);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(usb->WaitForBlockedRead(kIn, kWait));
        WdfIoTargetStop(pipe, WdfIoTargetCancelSentIo);
        EXPECT_EQ(usb->ReadsInFlight(kIn), 0u);
        ASSERT_EQ(WdfIoTargetStart(pipe), STATUS_SUCCESS);
    }
    // Stop right after start: the cancel may come before the read blocks.
    for (int round = 0; round < 50; ++round) {
        ASSERT_EQ(WdfIoTargetStart(pipe), STATUS_SUCCESS);
        WdfIoTargetStop(pipe, WdfIoTargetCancelSentIo);
        EXPECT_EQ(usb->ReadsInFlight(kIn), 0u);
    }
    EXPECT_GE(usb->CancelCount(kIn), 20u);
    usb->Push(kIn, "kept");
    EXPECT_EQ(usb->Pending(kIn), 1u);  // nobody reads while stopped
    ASSERT_EQ(WdfIoTargetStart(pipe), STATUS_SUCCESS);
    ASSERT_TRUE(WaitChunks(1));
    EXPECT_EQ(Chunks(), std::vector<std::string>{"kept"});
    host.RemoveDevice();

    // With the idle policy: D0 exit stops the reader, waking starts it again.
    {
        std::lock_guard lock(D().mu);
        D().options.assignIdle = true;
    }
    ASSERT_EQ(host.AddDevice(usb), STATUS_SUCCESS);
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::D3, kWait));
    EXPECT_EQ(usb->ReadsInFlight(kIn), 0u);
    usb->Push(kIn, "while idle");
    EXPECT_EQ(usb->Pending(kIn), 1u);
    ASSERT_EQ(WdfDeviceStopIdle(D().device, TRUE), STATUS_SUCCESS);
    ASSERT_TRUE(WaitChunks(2));
    EXPECT_EQ(Chunks().back(), "while idle");
    WdfDeviceResumeIdle(D().device);
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Usb, UnplugEndsTheReaderAndRemovesTheDevice) {
    ASSERT_EQ(StartUsb(), STATUS_SUCCESS);
    const FileId f = Open();
    const RequestId parked = Submit(f, kPark);
    WaitParked(1);
    const WDFUSBPIPE out = Context()->BulkOut;
    std::atomic<int> removed{0};
    host.SetDeviceRemovedHandler([&] { removed++; });
    ASSERT_TRUE(usb->WaitForBlockedRead(kIn, kWait));

    usb->Unplug();
    ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::Removed, kWait));
    EXPECT_EQ(removed.load(), 1);
    // The reader sees the device gone unless the removal's stop came first.
    const auto failures = D().readerFailures;
    EXPECT_TRUE(failures.empty() || failures == std::vector<NTSTATUS>{STATUS_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(usb->ResetCount(kIn), 0u);
    EXPECT_EQ(usb->ReadsInFlight(kIn), 0u);
    EXPECT_EQ(HistoryFrom(host, 5), (V{"SurpriseRemoval", "SelfManagedIoSuspend", "D0Exit(D3Final)", "SelfManagedIoFlush",
                                        "ReleaseHardware", "SelfManagedIoCleanup", "FileClose"}));
    Completion c;
    ASSERT_TRUE(done.Wait(parked, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(c.information, 4u);

    // The old handles are refused, the host offers no device.
    ULONG written = 7;
    EXPECT_EQ(Write(out, "x", &written), STATUS_INVALID_HANDLE);
    EXPECT_EQ(written, 0u);
    FileId g = 0;
    EXPECT_EQ(host.OpenFile(&g), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host.Violations().size(), 1u);
}

TEST_F(Usb, ARemovedDeviceLetsGoOfItsBackEndAndItsObjectsGoWithTheNextDevice) {
    {
        std::lock_guard lock(D().mu);
        D().options.assignIdle = false;
        D().options.usb = true;
    }
    ASSERT_EQ(host.LoadDriver(&DriverEntry), STATUS_SUCCESS);
    std::size_t retained = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        // Each device has a back-end of its own that only the framework holds.
        auto backend = std::make_shared<gnss::fw::LoopbackUsbBackend>();
        const std::weak_ptr<gnss::fw::LoopbackUsbBackend> watch = backend;
        ASSERT_EQ(host.AddDevice(backend), STATUS_SUCCESS);
        EXPECT_EQ(host.RetainedObjects(), 0u);  // the device before is freed by this add
        DEVICE_CONTEXT* ctx = Context();
        const WDFUSBPIPE in = ctx->BulkIn;
        ASSERT_TRUE(backend->WaitForBlockedRead(kIn, kWait));
        if (round % 2 == 0) {
            backend->Unplug();
            backend.reset();
            ASSERT_TRUE(host.WaitForPowerState(DevicePowerState::Removed, kWait));
        } else {
            backend.reset();
            ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
        }
        EXPECT_TRUE(watch.expired()) << "the removed device still holds its USB back-end";
        // The objects stay only until the next device: a context pointer
        // taken before the removal is still readable.
        EXPECT_EQ(ctx->BulkIn, in);
        if (round == 0) retained = host.RetainedObjects();
        EXPECT_GT(host.RetainedObjects(), 0u);
        EXPECT_EQ(host.RetainedObjects(), retained);
    }

    // A start that fails lets go of its back-end as well.
    {
        std::lock_guard lock(D().mu);
        D().options.d0EntryStatus = STATUS_INSUFFICIENT_RESOURCES;
    }
    auto backend = std::make_shared<gnss::fw::LoopbackUsbBackend>();
    const std::weak_ptr<gnss::fw::LoopbackUsbBackend> watch = backend;
    EXPECT_EQ(host.AddDevice(std::move(backend)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(host.RetainedObjects(), retained);
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
}

}  // namespace
}  // namespace fwtest
