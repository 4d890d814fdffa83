// The modem's USB function as the driver sees it, and what every back-end
// shares about it.
//
// The function has a communication interface (number 0) that takes the CDC
// class request SET_CONTROL_LINE_STATE and may carry an interrupt IN
// endpoint for notifications, and a data interface (number 1) with one bulk
// IN and one bulk OUT endpoint that carry the AT byte stream.  Back-ends
// without a real USB device (the simulated modem, serial devices) present
// exactly this layout; the libusb back-end reports the device's own.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include "gnss/platform/wdfhost.h"

namespace gnss::fw {

// One read at a time and its cancellation, alike for every back-end; the
// back-end guards it with its own lock.  A cancel that comes with no read in
// progress ends the next read before it begins.
class ReadGate {
public:
    // Begins a read: STATUS_SUCCESS, STATUS_DEVICE_BUSY while another read
    // runs, or STATUS_CANCELLED for a cancel that came before it.
    NTSTATUS Begin() {
        if (reading_) return STATUS_DEVICE_BUSY;
        if (pending_) {
            pending_ = false;
            return STATUS_CANCELLED;
        }
        reading_ = true;
        requested_ = false;
        return STATUS_SUCCESS;
    }
    void End() {
        reading_ = false;
        requested_ = false;
    }
    // Records a cancel; true the first time it is for the read in progress,
    // which the back-end then wakes.
    bool Cancel() {
        if (!reading_) {
            pending_ = true;
            return false;
        }
        if (requested_) return false;
        requested_ = true;
        return true;
    }
    bool Reading() const { return reading_; }
    // The read in progress has been cancelled.
    bool Cancelled() const { return requested_; }

private:
    bool reading_ = false;
    bool requested_ = false;
    bool pending_ = false;
};

inline constexpr UCHAR kCommInterfaceNumber = 0;
inline constexpr UCHAR kDataInterfaceNumber = 1;

// The endpoints of the layout presented by the serial and simulated back-ends.
inline constexpr UCHAR kNotifyEndpoint = 0x83;   // interrupt IN, interface 0
inline constexpr UCHAR kBulkInEndpoint = 0x81;   // bulk IN, interface 1
inline constexpr UCHAR kBulkOutEndpoint = 0x02;  // bulk OUT, interface 1

// One read moves at most this many bytes (the continuous reader's transfer).
inline constexpr std::size_t kReadChunkBytes = 1024;

// A write that has not finished after this long fails and reports 0 bytes
// written.  Real time: the time scale of tests does not apply to it.
inline constexpr std::chrono::milliseconds kWriteBound{5000};

// SET_CONTROL_LINE_STATE: host to device, class, recipient interface.
inline constexpr UCHAR kRequestTypeClassInterfaceOut = 0x21;
inline constexpr UCHAR kRequestSetControlLineState = 0x22;
inline constexpr USHORT kLineDtr = 0x0001;
inline constexpr USHORT kLineRts = 0x0002;

struct ControlLines {
    bool dtr = false;
    bool rts = false;
};

// Decodes a control request for a function without a real USB device.
//   STATUS_SUCCESS:            SET_CONTROL_LINE_STATE to interface 0; `lines` set
//                              (reserved bits of wValue are ignored)
//   STATUS_INVALID_PARAMETER:  that request with a data stage, a data length
//                              that disagrees with wLength, or another interface
//   STATUS_NOT_SUPPORTED:      any other request (a device would stall it)
// A refused request is logged with its setup packet.
NTSTATUS DecodeControlLineRequest(const UsbSetupPacket& setup, const std::uint8_t* data,
                                  std::size_t length, ControlLines& lines);

// Interfaces 0 and 1 with the endpoints above.
std::vector<UsbInterfaceDescriptor> SerialFunctionInterfaces();

// The data pipes of an interface, chosen as the driver chooses them: a bulk
// IN endpoint is the input, a bulk OUT endpoint the output, a later one of a
// kind replaces an earlier one, any other endpoint is not a data pipe.
struct DataPipes {
    std::optional<UCHAR> in;
    std::optional<UCHAR> out;
};
DataPipes ClassifyDataPipes(const UsbInterfaceDescriptor& interface);

}  // namespace gnss::fw
