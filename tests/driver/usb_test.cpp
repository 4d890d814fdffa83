// The modem's USB function as the driver sees it: pipe classification, the
// chunks the continuous reader hands on, writes and reader failures, and the
// engine's uses of a device that is gone.
#include "DriverHarness.h"
#include "engine/Engine.h"

namespace gnss::test {
namespace {

constexpr UCHAR kBulkIn = 0x81;

fw::UsbInterfaceDescriptor Interface(UCHAR number, std::vector<fw::UsbPipeDescriptor> pipes) {
    return fw::UsbInterfaceDescriptor{number, std::move(pipes)};
}

class UsbTransport : public DriverTest {
protected:
    // Pushes one transfer and waits until the reader has handed it on (or
    // dropped it): the reader reads again only after its callback returned.
    void Deliver(const std::string& bytes) {
        usb->Push(kBulkIn, bytes);
        ASSERT_TRUE(usb->WaitForBlockedRead(kBulkIn, 20000));
    }
};

TEST_F(UsbTransport, ChunksAreCutAtTheFirstZeroByteAndEmptyOnesAreDropped) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    // Keep the device in D0 so that its reader runs throughout.
    GNSSDriverSetDevicePower(TRUE, FALSE);
    ASSERT_TRUE(usb->WaitForBlockedRead(kBulkIn, 20000));

    Deliver(std::string("OK\r\n\0XYZ\r\n", 9));
    std::string traced = Traced();
    EXPECT_NE(traced.find("NumBytes=9"), std::string::npos);
    EXPECT_NE(traced.find("[ATCMD] UsbRxBufferCallback [2] OK"), std::string::npos);
    EXPECT_EQ(traced.find("XYZ"), std::string::npos);

    Deliver(std::string("\0abc\r\n", 6));
    EXPECT_EQ(Count("WARNING: Zero length data is received, IGNORE"), 1u);
    EXPECT_EQ(Count("abc"), 0u);

    Deliver(std::string());
    EXPECT_EQ(Count("WARNING: Zero length buffer is received, IGNORE"), 1u);

    // A write of nothing sends nothing.
    const std::size_t writes = usb->Writes().size();
    const BYTE byte = 'A';
    EXPECT_EQ(UsbDeviceSend(m_hDevice.load(), &byte, 0), 0u);
    EXPECT_EQ(UsbDeviceSend(m_hDevice.load(), nullptr, 4), 0u);
    EXPECT_EQ(usb->Writes().size(), writes);
    EXPECT_EQ(Count("UsbDeviceSend ERROR: Invalid Parameter"), 2u);
    EXPECT_EQ(UsbDeviceSend(m_hDevice.load(), &byte, 1), 1u);
    GNSSDriverSetDevicePower(FALSE, FALSE);
}

TEST_F(UsbTransport, AFailedReadIsLoggedAndTheReaderRestarts) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    GNSSDriverSetDevicePower(TRUE, FALSE);
    ASSERT_TRUE(usb->WaitForBlockedRead(kBulkIn, 20000));
    const unsigned resets = usb->ResetCount(kBulkIn);
    usb->FailNextReads(1, STATUS_DEVICE_DATA_ERROR);
    Deliver("OK\r\n");  // the failed read, then this one
    EXPECT_EQ(Count("GNSSDeviceUsbReaderPipeReadFailed FAILED. Pipe="), 1u);
    EXPECT_EQ(Count("Status=0xC000009C"), 1u);
    EXPECT_EQ(usb->ResetCount(kBulkIn), resets + 1);
    EXPECT_NE(Traced().find("[ATCMD] UsbRxBufferCallback [2] OK"), std::string::npos);
    GNSSDriverSetDevicePower(FALSE, FALSE);
}

TEST_F(UsbTransport, TheEngineReachesNoDeviceOnceItIsGone) {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(host.RemoveDevice(), STATUS_SUCCESS);
    const std::size_t writes = usb->Writes().size();
    const std::size_t controls = usb->ControlTransfers().size();
    const DWORD references = m_dwRefCount;

    // The engine outlives the device: a power reference, a command and the
    // control-line reset it may still ask for find no device to call on.
    EXPECT_EQ(GNSSDriverSetDevicePower(TRUE, FALSE), STATUS_NO_SUCH_DEVICE);
    GNSSDriverSetDevicePower(FALSE, FALSE);
    EXPECT_TRUE(FAILED(SendATCmdSync(std::string("AT+XLCSTER=1\r\n"), TRUE, 1000)));
    EXPECT_EQ(HelperUsbDeviceReset(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(m_dwRefCount, references);
    EXPECT_EQ(usb->Writes().size(), writes);
    EXPECT_EQ(usb->ControlTransfers().size(), controls);
    const auto violations = host.Violations();
    EXPECT_TRUE(violations.empty()) << violations.front();
}

TEST(UsbPipes, BothBulkPipesOfTheDataInterfaceAreRequiredAndOthersIgnored) {
    TempDir dir;
    ASSERT_TRUE(trace::StartRealtimeSession({dir.File("trace.log"), 6, 0xFFFF}));
    {
        // An interface 1 with only a bulk IN pipe: the device does not start.
        auto onlyIn = std::make_shared<fw::LoopbackUsbBackend>(std::vector<fw::UsbInterfaceDescriptor>{
            Interface(0, {{0x83, WdfUsbPipeTypeInterrupt, 16}}), Interface(1, {{0x81, WdfUsbPipeTypeBulk, 512}})});
        fw::DriverHost host;
        ASSERT_EQ(host.LoadDriver(&DriverEntry), STATUS_SUCCESS);
        EXPECT_EQ(host.AddDevice(onlyIn), STATUS_INVALID_DEVICE_STATE);
        host.UnloadDriver();
    }
    const std::string first = ReadFile(dir.File("trace.log"));
    EXPECT_NE(first.find("UsbDeviceInit ERROR: Getting USB pipes FAILED"), std::string::npos);
    EXPECT_NE(first.find("BulkInput Pipe is"), std::string::npos);
    EXPECT_EQ(first.find("BulkOutput Pipe is"), std::string::npos);
    trace::StopRealtimeSession();
}

TEST(UsbPipes, AnInterruptPipeOnTheDataInterfaceIsIgnored) {
    TempDir dir;
    ASSERT_TRUE(trace::StartRealtimeSession({dir.File("trace.log"), 6, 0xFFFF}));
    {
        auto withInterrupt = std::make_shared<fw::LoopbackUsbBackend>(std::vector<fw::UsbInterfaceDescriptor>{
            Interface(0, {}), Interface(1, {{0x83, WdfUsbPipeTypeInterrupt, 16},
                                            {0x81, WdfUsbPipeTypeBulk, 512},
                                            {0x02, WdfUsbPipeTypeBulk, 512}})});
        fw::DriverHost host;
        ASSERT_EQ(host.LoadDriver(&DriverEntry), STATUS_SUCCESS);
        EXPECT_EQ(host.AddDevice(withInterrupt), STATUS_SUCCESS);
        host.UnloadDriver();
    }
    const std::string traced = ReadFile(dir.File("trace.log"));
    EXPECT_NE(traced.find("ucNumberConfiguredPipes=3 SUCCESS"), std::string::npos);
    EXPECT_EQ(CountOccurrences(traced, "ERROR: Unknows Pipe, IGNORE."), 1u);
    EXPECT_NE(traced.find("Read and Write USB pipes configuration SUCCESS"), std::string::npos);
    trace::StopRealtimeSession();
}

}  // namespace
}  // namespace gnss::test
