// The simulated modem in this process behind the modem's USB function.
//
//   control request  SET_CONTROL_LINE_STATE -> Modem::SetControlLines (any
//                    other request: STATUS_NOT_SUPPORTED)
//   bulk IN  (0x81)  ReadPipe -> Modem::Read, at most 1024 bytes a read;
//                    CancelRead -> Modem::CancelRead
//   bulk OUT (0x02)  WritePipe -> Modem::Write, synchronous
//
// When the modem drops off the bus (its unplug fault, or Modem().Unplug())
// the next read, write or control request notices it: from then on every
// transfer fails with STATUS_DEVICE_NOT_CONNECTED, and the removal handler
// is called once, on the thread that noticed.
//
// One read at a time: a second ReadPipe while one is in progress fails with
// STATUS_DEVICE_BUSY.  CancelRead ends the read in progress (from the moment
// it has begun, even if it does not wait yet); with no read in progress it
// does nothing, and the next read waits as usual.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "gnss/platform/usb_function.h"
#include "gnss/platform/wdfhost.h"
#include "gnss/sim/modem.h"

namespace gnss::fw {

class SimUsbBackend final : public UsbBackend {
public:
    // The modem with these options; `optionText` only goes into Describe().
    // Throws what the modem's constructor throws (a replay capture or record
    // file that cannot be opened, options out of range).
    explicit SimUsbBackend(gnss::sim::ModemOptions options, std::string optionText = {});
    ~SimUsbBackend() override;

    // Parses the simulator's option string on top of its defaults and creates
    // the back-end; nullptr with the reason in `error` on bad options or when
    // the modem cannot be created.
    static std::shared_ptr<SimUsbBackend> Create(std::string_view optionText, std::string& error);

    std::string Describe() const override;
    std::vector<UsbInterfaceDescriptor> Interfaces() override;
    NTSTATUS ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data, std::size_t length,
                             ULONG* transferred) override;
    NTSTATUS ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                      std::size_t* transferred) override;
    void CancelRead(UCHAR endpoint) override;
    NTSTATUS WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length,
                       ULONG* written) override;

    // The modem itself, for scenarios (faults, unplugging) and inspection.
    gnss::sim::Modem& Modem() { return modem_; }

    // Called on the reading thread each time a read has begun, before it
    // waits: from then on CancelRead ends it.  For tests and diagnostics;
    // set it before reads start.
    void SetReadStartedHook(std::function<void()> hook) { readStarted_ = std::move(hook); }

private:
    // Marks the modem gone; the first caller sends the removal notice.
    NTSTATUS Gone();

    gnss::sim::Modem modem_;
    std::string optionText_;
    std::function<void()> readStarted_;

    std::mutex mutex_;
    ReadGate readGate_;
    bool gone_ = false;
    bool removalSent_ = false;
};

}  // namespace gnss::fw
