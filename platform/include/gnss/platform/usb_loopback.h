// A USB back-end in memory, for tests and for the daemon until real
// transports exist.
//
// - Interfaces: configurable; by default interface 0 with one interrupt IN
//   pipe 0x83, and interface 1 with bulk IN 0x81 and bulk OUT 0x02 (maximum
//   packet size 512 each).
// - Reads: Push() queues one transfer for an IN endpoint; the next read there
//   returns it (at most the read's length; a longer push is split, the rest
//   becomes the next transfer).  A read blocks until a transfer is queued,
//   CancelRead() is called while it blocks (STATUS_CANCELLED), a read failure
//   is injected, or the device is unplugged.
// - Writes and control transfers are recorded.  A responder, when set, sees
//   every successful write (outside the back-end's lock) and may Push answers.
// - Failure injection: the next N writes or control transfers fail with a
//   status; the next N reads fail with a status.
// - Unplug(): from then on every call fails with STATUS_DEVICE_NOT_CONNECTED,
//   blocked reads return it at once, and the removal handler is called.
//
// Every member is safe to call from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gnss/platform/wdfhost.h"

namespace gnss::fw {

class LoopbackUsbBackend : public UsbBackend {
public:
    static std::vector<UsbInterfaceDescriptor> DefaultInterfaces();

    LoopbackUsbBackend();
    explicit LoopbackUsbBackend(std::vector<UsbInterfaceDescriptor> interfaces, std::string name = "loopback");

    // --- UsbBackend -------------------------------------------------------
    std::string Describe() const override;
    std::vector<UsbInterfaceDescriptor> Interfaces() override;
    NTSTATUS ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data, std::size_t length,
                             ULONG* transferred) override;
    NTSTATUS ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length, std::size_t* transferred) override;
    void CancelRead(UCHAR endpoint) override;
    NTSTATUS WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length, ULONG* written) override;
    NTSTATUS ResetPipe(UCHAR endpoint) override;

    // --- the device side ---------------------------------------------------
    // Queues one transfer for the IN endpoint (an empty one is a zero-length transfer).
    void Push(UCHAR endpoint, std::vector<std::uint8_t> bytes);
    void Push(UCHAR endpoint, const std::string& text);

    struct Write {
        UCHAR endpoint;
        std::vector<std::uint8_t> data;
    };
    // Sees each successful write; may call Push.  Called without the lock.
    using Responder = std::function<void(LoopbackUsbBackend& usb, const Write& write)>;
    void SetResponder(Responder responder);

    struct ControlRecord {
        UsbSetupPacket setup;
        std::vector<std::uint8_t> data;  // host-to-device data stage
    };
    std::vector<ControlRecord> ControlTransfers() const;
    std::vector<Write> Writes() const;

    void FailNextWrites(unsigned count, NTSTATUS status = STATUS_UNSUCCESSFUL);
    void FailNextControlTransfers(unsigned count, NTSTATUS status = STATUS_UNSUCCESSFUL);
    void FailNextReads(unsigned count, NTSTATUS status = STATUS_DEVICE_DATA_ERROR);
    void Unplug();
    bool Unplugged() const;

    // --- observation -------------------------------------------------------
    // Reads currently blocked or running on the endpoint, and the most seen at once.
    unsigned ReadsInFlight(UCHAR endpoint) const;
    unsigned MaxReadsInFlight(UCHAR endpoint) const;
    unsigned ReadCount(UCHAR endpoint) const;
    unsigned ResetCount(UCHAR endpoint) const;
    unsigned CancelCount(UCHAR endpoint) const;
    // Transfers pushed and not yet read.
    std::size_t Pending(UCHAR endpoint) const;
    // Waits (unscaled milliseconds) until a read blocks on the endpoint with
    // no transfer to return, or until `count` writes were recorded.
    bool WaitForBlockedRead(UCHAR endpoint, DWORD timeoutMs) const;
    bool WaitForWrites(std::size_t count, DWORD timeoutMs) const;

private:
    struct Endpoint {
        std::deque<std::vector<std::uint8_t>> transfers;
        unsigned inFlight = 0;
        unsigned blocked = 0;
        unsigned maxInFlight = 0;
        unsigned reads = 0;
        unsigned resets = 0;
        unsigned cancels = 0;
        std::uint64_t cancelGeneration = 0;
        bool cancelPending = false;  // a cancel that came with no read in progress
    };

    template <class Pred>
    bool WaitFor(DWORD timeoutMs, Pred pred) const;

    const std::string name_;
    const std::vector<UsbInterfaceDescriptor> interfaces_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::map<UCHAR, Endpoint> endpoints_;
    std::vector<ControlRecord> controls_;
    std::vector<Write> writes_;
    Responder responder_;
    unsigned failWrites_ = 0, failControls_ = 0, failReads_ = 0;
    NTSTATUS failWriteStatus_ = STATUS_UNSUCCESSFUL, failControlStatus_ = STATUS_UNSUCCESSFUL;
    NTSTATUS failReadStatus_ = STATUS_DEVICE_DATA_ERROR;
    bool unplugged_ = false;
};

}  // namespace gnss::fw
