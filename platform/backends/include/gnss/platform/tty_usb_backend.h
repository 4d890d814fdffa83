// A serial device behind the modem's USB function: the modem's AT port as
// the kernel's CDC ACM driver presents it (/dev/ttyACM*), or a
// pseudo-terminal (the simulated modem's program serves one).
//
// The device is opened read-write, without becoming the controlling
// terminal, exclusively (TIOCEXCL), in raw mode (8 bits, no echo, no
// translation, no flow control, modem status lines ignored), and left
// non-blocking: every wait is a poll().
//
//   control request  SET_CONTROL_LINE_STATE -> DTR and RTS asserted or cleared
//                    (TIOCMBIS, TIOCMBIC).  A device without modem lines (a
//                    pseudo-terminal) is logged once and the request succeeds:
//                    the byte stream works without them.
//   bulk IN  (0x81)  ReadPipe: one read of at most 1024 bytes in flight; it
//                    waits in poll() on the device and on an eventfd that
//                    CancelRead signals.
//   bulk OUT (0x02)  WritePipe: synchronous, bounded by kWriteBound; a write
//                    that cannot finish in time fails with STATUS_IO_TIMEOUT
//                    and reports 0 bytes written (what was queued is flushed).
//
// When the device goes away (hang-up, POLLHUP/POLLERR, EIO, end of file)
// every transfer fails with STATUS_DEVICE_NOT_CONNECTED from then on and the
// removal handler is called once, on the thread that noticed.
//
// One read at a time: a second ReadPipe while one is in progress fails with
// STATUS_DEVICE_BUSY.  CancelRead ends the read in progress (from the moment
// it has begun, even if it does not wait yet); with no read in progress it
// does nothing, and the next read waits as usual.
#pragma once

#include <termios.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "gnss/platform/usb_function.h"
#include "gnss/platform/wdfhost.h"

namespace gnss::fw {

class TtyUsbBackend final : public UsbBackend {
public:
    // Opens and sets up the device; nullptr with the reason in `error`.
    static std::shared_ptr<TtyUsbBackend> Open(const std::string& path, std::string& error);
    ~TtyUsbBackend() override;
    TtyUsbBackend(const TtyUsbBackend&) = delete;
    TtyUsbBackend& operator=(const TtyUsbBackend&) = delete;

    std::string Describe() const override;
    std::vector<UsbInterfaceDescriptor> Interfaces() override;
    NTSTATUS ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data, std::size_t length,
                             ULONG* transferred) override;
    NTSTATUS ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                      std::size_t* transferred) override;
    void CancelRead(UCHAR endpoint) override;
    NTSTATUS WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length,
                       ULONG* written) override;

    // Called on the reading thread each time a read has begun, before it
    // waits: from then on CancelRead ends it.  For tests and diagnostics;
    // set it before reads start.
    void SetReadStartedHook(std::function<void()> hook) { readStarted_ = std::move(hook); }

private:
    TtyUsbBackend(std::string path, int fd, int cancelFd, const termios& saved);
    // Marks the device gone; the first caller sends the removal notice.
    NTSTATUS Gone(const char* why);
    bool IsGone();
    NTSTATUS SetLines(bool dtr, bool rts);

    const std::string path_;
    const int fd_;
    const int cancelFd_;  // eventfd: CancelRead -> the waiting read
    const termios saved_;
    std::function<void()> readStarted_;

    std::mutex mutex_;
    ReadGate readGate_;
    bool gone_ = false;
    bool removalSent_ = false;

    std::mutex writeMutex_;  // one write at a time
    std::atomic<bool> noLinesLogged_{false};
};

}  // namespace gnss::fw
