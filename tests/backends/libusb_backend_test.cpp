// The libusb back-end's logic that needs no device, and its failure to open
// one that is not there.
#include <gtest/gtest.h>

#include "BackendTest.h"
#include "gnss/platform/libusb_usb_backend.h"
#include "gnss/platform/usb_backends.h"

namespace gnss::test {
namespace {

using fw::UsbDeviceSelector;

TEST(UsbDeviceArgument, TakesIdsAsLsusbPrintsThemWithAnOptionalBusAndAddress) {
    UsbDeviceSelector selector;
    std::string error;
    ASSERT_TRUE(fw::ParseUsbDeviceSelector("1d6b:0002", selector, error)) << error;
    EXPECT_EQ(selector.vendorId, 0x1d6b);
    EXPECT_EQ(selector.productId, 0x0002);
    EXPECT_FALSE(selector.bus);
    EXPECT_FALSE(selector.address);
    EXPECT_EQ(selector.ToString(), "1d6b:0002");

    ASSERT_TRUE(fw::ParseUsbDeviceSelector("0x1D6B:2:001:004", selector, error)) << error;
    EXPECT_EQ(selector.vendorId, 0x1d6b);
    EXPECT_EQ(selector.productId, 0x0002);
    EXPECT_EQ(selector.bus, 1);
    EXPECT_EQ(selector.address, 4);
    EXPECT_EQ(selector.ToString(), "1d6b:0002:1:4");

    ASSERT_TRUE(fw::ParseUsbDeviceSelector("ffff:FFFF:255:127", selector, error)) << error;
    EXPECT_EQ(selector.vendorId, 0xffff);
    EXPECT_EQ(selector.bus, 255);
    EXPECT_EQ(selector.address, 127);
}

TEST(UsbDeviceArgument, RefusesWhatItCannotReadAndKeepsTheSelector) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"", "needs the modem's vendor and product id"},
        {"1234", "expects VID:PID or VID:PID:BUS:ADDRESS"},
        {"1234:5678:1", "expects VID:PID or VID:PID:BUS:ADDRESS"},
        {"1234:5678:1:2:3", "expects VID:PID or VID:PID:BUS:ADDRESS"},
        {"12345:5678", "vendor id '12345'"},
        {"12g4:5678", "vendor id '12g4'"},
        {"0x:5678", "vendor id '0x'"},
        {"1234:", "product id ''"},
        {"1234:-1", "product id '-1'"},
        {"1234:5678:0:4", "bus number '0'"},
        {"1234:5678:256:4", "bus number '256'"},
        {"1234:5678:1:128", "device address '128'"},
        {"1234:5678:1:x", "device address 'x'"},
    };
    for (const auto& c : cases) {
        UsbDeviceSelector selector;
        selector.vendorId = 0xAAAA;
        std::string error;
        EXPECT_FALSE(fw::ParseUsbDeviceSelector(c.text, selector, error)) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
        EXPECT_EQ(error.rfind("usb: ", 0), 0u) << error;
        EXPECT_EQ(selector.vendorId, 0xAAAA) << c.text;
        EXPECT_FALSE(selector.bus) << c.text;
    }
}

TEST(UsbSetupPacket, GoesOnTheWireLittleEndian) {
    using Bytes = std::array<std::uint8_t, 8>;
    EXPECT_EQ(fw::SetupPacketBytes(ControlLineRequest(0x0003)), (Bytes{0x21, 0x22, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(fw::SetupPacketBytes({0xA1, 0x21, 0x1234, 0x0102, 0x0007}),
              (Bytes{0xA1, 0x21, 0x34, 0x12, 0x02, 0x01, 0x07, 0x00}));
    EXPECT_EQ(fw::SetupPacketBytes({0x80, 0x06, 0x0100, 0x0000, 0x0112}),
              (Bytes{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x01}));
}

libusb_endpoint_descriptor Endpoint(std::uint8_t address, std::uint8_t attributes, std::uint16_t maxPacket) {
    libusb_endpoint_descriptor endpoint{};
    endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
    endpoint.bEndpointAddress = address;
    endpoint.bmAttributes = attributes;
    endpoint.wMaxPacketSize = maxPacket;
    return endpoint;
}

TEST(UsbDescriptors, TheDriverFindsTheBulkPipesOfTheDataInterface) {
    // A modem function as a CDC ACM device describes it (interface 0 with its
    // notification endpoint, interface 1 with bulk IN and bulk OUT), then an
    // empty interface entry, which is passed over, and an isochronous one.
    const libusb_endpoint_descriptor commEndpoints[] = {Endpoint(0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 16)};
    const libusb_endpoint_descriptor dataEndpoints[] = {Endpoint(0x81, LIBUSB_TRANSFER_TYPE_BULK, 512),
                                                        Endpoint(0x02, LIBUSB_TRANSFER_TYPE_BULK, 512)};
    const libusb_endpoint_descriptor isoEndpoints[] = {
        Endpoint(0x84, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS | 0x04, 0x1400)};  // 2 extra transactions of 1024
    libusb_interface_descriptor comm{};
    comm.bInterfaceNumber = 0;
    comm.bNumEndpoints = 1;
    comm.endpoint = commEndpoints;
    libusb_interface_descriptor data{};
    data.bInterfaceNumber = 1;
    data.bNumEndpoints = 2;
    data.endpoint = dataEndpoints;
    libusb_interface_descriptor audio{};
    audio.bInterfaceNumber = 2;
    audio.bNumEndpoints = 1;
    audio.endpoint = isoEndpoints;
    const libusb_interface interfaces[] = {{&comm, 1}, {&data, 1}, {nullptr, 0}, {&audio, 1}};
    libusb_config_descriptor config{};
    config.bNumInterfaces = 4;
    config.interface = interfaces;

    const std::vector<fw::UsbInterfaceDescriptor> described = fw::InterfacesFromConfig(config);
    ASSERT_EQ(described.size(), 3u);
    EXPECT_EQ(described[0].InterfaceNumber, 0);
    ASSERT_EQ(described[0].Pipes.size(), 1u);
    EXPECT_EQ(described[0].Pipes[0].EndpointAddress, 0x83);
    EXPECT_EQ(described[0].Pipes[0].Type, WdfUsbPipeTypeInterrupt);
    EXPECT_EQ(described[0].Pipes[0].MaximumPacketSize, 16u);

    EXPECT_EQ(described[1].InterfaceNumber, 1);
    ASSERT_EQ(described[1].Pipes.size(), 2u);
    EXPECT_EQ(described[1].Pipes[0].Type, WdfUsbPipeTypeBulk);
    EXPECT_EQ(described[1].Pipes[1].Type, WdfUsbPipeTypeBulk);
    const fw::DataPipes pipes = fw::ClassifyDataPipes(described[1]);
    EXPECT_EQ(pipes.in, 0x81);
    EXPECT_EQ(pipes.out, 0x02);
    const fw::DataPipes none = fw::ClassifyDataPipes(described[0]);
    EXPECT_FALSE(none.in);
    EXPECT_FALSE(none.out);

    EXPECT_EQ(described[2].InterfaceNumber, 2);
    ASSERT_EQ(described[2].Pipes.size(), 1u);
    EXPECT_EQ(described[2].Pipes[0].Type, WdfUsbPipeTypeIsochronous);
    EXPECT_EQ(described[2].Pipes[0].MaximumPacketSize, 1024u);
}

TEST(UsbStatus, LibusbOutcomesBecomeTheStatusesTheFrameworkActsOn) {
    // The statuses the framework and the driver tell apart: removal,
    // cancellation, time-out, success.
    EXPECT_EQ(fw::StatusFromLibusbError(LIBUSB_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(fw::StatusFromLibusbError(LIBUSB_ERROR_NO_DEVICE), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(fw::StatusFromLibusbError(LIBUSB_ERROR_ACCESS), STATUS_ACCESS_DENIED);
    EXPECT_EQ(fw::StatusFromLibusbError(LIBUSB_ERROR_TIMEOUT), STATUS_IO_TIMEOUT);
    EXPECT_EQ(fw::StatusFromLibusbError(-1234), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fw::StatusFromTransferStatus(LIBUSB_TRANSFER_COMPLETED), STATUS_SUCCESS);
    EXPECT_EQ(fw::StatusFromTransferStatus(LIBUSB_TRANSFER_NO_DEVICE), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(fw::StatusFromTransferStatus(LIBUSB_TRANSFER_CANCELLED), STATUS_CANCELLED);
    EXPECT_EQ(fw::StatusFromTransferStatus(LIBUSB_TRANSFER_TIMED_OUT), STATUS_IO_TIMEOUT);
    // Every failure is a failure: nothing maps onto a success or pending code.
    for (const auto status : {LIBUSB_TRANSFER_ERROR, LIBUSB_TRANSFER_TIMED_OUT, LIBUSB_TRANSFER_CANCELLED,
                              LIBUSB_TRANSFER_STALL, LIBUSB_TRANSFER_NO_DEVICE, LIBUSB_TRANSFER_OVERFLOW})
        EXPECT_FALSE(NT_SUCCESS(fw::StatusFromTransferStatus(status))) << status;
    for (int error = LIBUSB_ERROR_NOT_SUPPORTED; error <= LIBUSB_ERROR_IO; ++error)
        EXPECT_FALSE(NT_SUCCESS(fw::StatusFromLibusbError(error))) << error;
}

TEST(UsbBackend, OpeningADeviceThatIsNotThereFailsWithAClearError) {
    for (const std::string argument : {"usb:1234:5678", "usb:1234:5678:3:77"}) {
        std::string error;
        EXPECT_EQ(fw::CreateUsbBackend(argument, error), nullptr);
        // Either no such device is present, or this system has no USB at all.
        EXPECT_EQ(error.rfind(argument + ": ", 0), 0u) << error;
        EXPECT_TRUE(error.find("no such USB device is present") != std::string::npos ||
                    error.find("libusb cannot start") != std::string::npos)
            << error;
    }
}

}  // namespace
}  // namespace gnss::test
