// The modem's USB device itself, through libusb.
//
// Opening finds the device by vendor and product id (and bus number and
// device address when given), reads its active configuration, has the
// kernel's drivers detached from interfaces 0 and 1 while they are claimed
// (they are attached again when the back-end releases them), and claims both.
// Interface 1 must have a bulk IN and a bulk OUT endpoint.
//
//   control request  sent as given: the setup packet's eight bytes
//                    (SetupPacketBytes) and the data stage, if any
//   bulk IN          ReadPipe: exactly one asynchronous 1024-byte transfer is
//                    in flight while reads go on; it is submitted by the first
//                    read and again as soon as a completed chunk has been
//                    handed over.  CancelRead cancels it; bytes a cancelled
//                    transfer had already received go to the next read.
//   bulk OUT         WritePipe: a synchronous bulk transfer, bounded by
//                    kWriteBound (then STATUS_IO_TIMEOUT, 0 bytes written)
//
// One thread per back-end handles libusb's events (completions, hot-plug).
// Unplugging (a hot-plug "left" event where libusb supports it, or a
// transfer that fails with LIBUSB_ERROR_NO_DEVICE) makes every transfer fail
// with STATUS_DEVICE_NOT_CONNECTED and calls the removal handler once, on the
// thread that noticed it (the event thread, a reader or a writer).
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "gnss/platform/usb_function.h"
#include "gnss/platform/wdfhost.h"

namespace gnss::fw {

// Which device: the argument of "usb:", VID:PID[:BUS:ADDRESS].
struct UsbDeviceSelector {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::optional<std::uint8_t> bus;      // both or neither
    std::optional<std::uint8_t> address;

    // "1234:5678" or "1234:5678:1:4", the form ParseUsbDeviceSelector reads.
    std::string ToString() const;
};

// VID and PID: hexadecimal, 1 to 4 digits, as lsusb prints them ("ID
// 1d6b:0002"), optionally with "0x".  BUS (1-255) and ADDRESS (1-127):
// decimal, as lsusb prints them ("Bus 001 Device 004").  False with a
// message in `error` (and `selector` untouched) on anything else.
bool ParseUsbDeviceSelector(std::string_view text, UsbDeviceSelector& selector, std::string& error);

// The eight bytes of a setup packet as they go on the wire (16-bit fields
// little-endian).
std::array<std::uint8_t, 8> SetupPacketBytes(const UsbSetupPacket& setup);

// One endpoint as a pipe: its address, its transfer type (bits 0-1 of
// bmAttributes) and its packet size (bits 0-10 of wMaxPacketSize).
UsbPipeDescriptor PipeFromEndpoint(const libusb_endpoint_descriptor& endpoint);

// The configuration's interfaces in descriptor order, each with the
// endpoints of its first alternate setting.
std::vector<UsbInterfaceDescriptor> InterfacesFromConfig(const libusb_config_descriptor& config);

// libusb's error codes and transfer outcomes as status values.
NTSTATUS StatusFromLibusbError(int error);
NTSTATUS StatusFromTransferStatus(libusb_transfer_status status);

class LibusbUsbBackend final : public UsbBackend {
public:
    // Opens and claims the device; nullptr with the reason in `error`.
    static std::shared_ptr<LibusbUsbBackend> Open(const UsbDeviceSelector& selector, std::string& error);
    ~LibusbUsbBackend() override;
    LibusbUsbBackend(const LibusbUsbBackend&) = delete;
    LibusbUsbBackend& operator=(const LibusbUsbBackend&) = delete;

    std::string Describe() const override;
    std::vector<UsbInterfaceDescriptor> Interfaces() override;
    NTSTATUS ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data, std::size_t length,
                             ULONG* transferred) override;
    NTSTATUS ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                      std::size_t* transferred) override;
    void CancelRead(UCHAR endpoint) override;
    NTSTATUS WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length,
                       ULONG* written) override;
    // Clears a halt (stall) of the endpoint.
    NTSTATUS ResetPipe(UCHAR endpoint) override;

private:
    LibusbUsbBackend() = default;
    bool Start(const UsbDeviceSelector& selector, std::string& error);
    // Submits a filled transfer and waits for its completion (never with
    // mutex_ held by the caller); the transfer's status as a status value.
    NTSTATUS RunTransfer(libusb_transfer* transfer);
    NTSTATUS SubmitReadLocked();
    void MarkGoneLocked();
    // Sends the removal notice once; never with mutex_ held.
    void NotifyGone(const char* why);

    static void LIBUSB_CALL OnReadDone(libusb_transfer* transfer);
    static void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer);
    static int LIBUSB_CALL OnHotplug(libusb_context* context, libusb_device* device,
                                     libusb_hotplug_event event, void* self);

    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    libusb_device* device_ = nullptr;  // of handle_
    std::optional<libusb_hotplug_callback_handle> hotplug_;
    std::vector<int> claimed_;
    std::thread events_;
    std::atomic<bool> stopEvents_{false};
    std::string description_;
    std::vector<UsbInterfaceDescriptor> interfaces_;
    UCHAR bulkIn_ = 0;
    UCHAR bulkOut_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    libusb_transfer* read_ = nullptr;
    std::array<std::uint8_t, kReadChunkBytes> readBuffer_{};
    bool inFlight_ = false;        // read_ is submitted
    bool cancelIssued_ = false;    // ... and libusb_cancel_transfer was called
    std::size_t chunkLength_ = 0;  // a completed chunk not yet handed over
    std::size_t chunkOffset_ = 0;
    NTSTATUS readError_ = STATUS_SUCCESS;  // a failed completion not yet reported
    ReadGate readGate_;
    bool gone_ = false;
    std::atomic<bool> removalSent_{false};
};

}  // namespace gnss::fw
