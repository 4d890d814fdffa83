// The driver framework, host-facing side.
//
// Whoever hosts a driver (the daemon, the tests) loads it, attaches its one
// device with a USB back-end, drives Plug and Play and system power, opens
// and closes the device, submits device-control requests and cancellations,
// and receives their completions.  The framework calls the driver's
// callbacks in the documented orders:
//   start:            device add -> prepare hardware -> D0 entry -> self-managed I/O init
//   idling out:       self-managed I/O suspend -> D0 exit (D3)
//   waking:           D0 entry (from D3) -> self-managed I/O restart
//   system sleep:     self-managed I/O suspend -> D0 exit (D3); resume: D0 entry -> restart
//   orderly removal:  query-remove -> [suspend -> D0 exit (D3Final) when in D0]
//                     -> self-managed I/O flush -> release hardware -> self-managed I/O cleanup
//   surprise removal: surprise removal -> [suspend -> D0 exit when in D0] -> flush
//                     -> release hardware -> cleanup
// At removal every open file object is closed (its requests cancelled, then
// the close callback) before the device object is deleted; the host closes
// the corresponding client connections.  A removed device leaves nothing
// behind: the framework lets go of its USB back-end when the removal ends
// (so a serial port or USB handle closes then), joins its threads, and frees
// its objects when the next device is added (until then a context pointer
// the driver took stays readable).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gnss/platform/types.h"
#include "gnss/platform/wdf.h"

namespace gnss::fw {

// ---------------------------------------------------------------------------
// USB back-end: the real transfers behind the framework's USB target.
struct UsbPipeDescriptor {
    UCHAR EndpointAddress;  // bit 7 set: IN
    WDF_USB_PIPE_TYPE Type;
    ULONG MaximumPacketSize;
};

struct UsbInterfaceDescriptor {
    UCHAR InterfaceNumber;
    std::vector<UsbPipeDescriptor> Pipes;
};

struct UsbSetupPacket {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
};

class UsbBackend {
public:
    virtual ~UsbBackend() = default;

    // A short description for logs ("sim", "tty:/dev/ttyACM0", "usb:1234:5678").
    virtual std::string Describe() const = 0;
    // The configured interfaces, in index order.
    virtual std::vector<UsbInterfaceDescriptor> Interfaces() = 0;
    virtual NTSTATUS ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data,
                                     std::size_t length, ULONG* transferred) = 0;
    // Blocks until data arrives on the IN endpoint (at most `length` bytes),
    // the read is cancelled (STATUS_CANCELLED), or the device fails (an error
    // status; STATUS_DEVICE_NOT_CONNECTED once it is gone for good).
    virtual NTSTATUS ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                              std::size_t* transferred) = 0;
    // Makes the ReadPipe in progress on this endpoint return STATUS_CANCELLED
    // at once.  With no read in progress, the next ReadPipe on it returns
    // STATUS_CANCELLED at once instead, so a cancel can never fall between a
    // reader's decision to read and its read.  (A reader that gets a cancel it
    // did not ask for simply reads again.)
    virtual void CancelRead(UCHAR endpoint) = 0;
    // Writes to the OUT endpoint and returns when done (or failed).
    virtual NTSTATUS WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length,
                               ULONG* written) = 0;
    virtual NTSTATUS ResetPipe(UCHAR /*endpoint*/) { return STATUS_SUCCESS; }
    // The back-end calls this (from any thread) when the device goes away.
    void SetRemovalHandler(std::function<void()> handler) {
        std::lock_guard<std::mutex> lock(removalMutex_);
        removal_ = std::move(handler);
    }

protected:
    void NotifyRemoved() {
        std::function<void()> handler;
        {
            std::lock_guard<std::mutex> lock(removalMutex_);
            handler = removal_;
        }
        if (handler) handler();
    }

private:
    std::mutex removalMutex_;  // the handler may be set while a back-end thread reports a removal
    std::function<void()> removal_;
};

// ---------------------------------------------------------------------------
using FileId = std::uint64_t;     // 0 is never a valid file
using RequestId = std::uint64_t;  // 0 is never a valid request

struct Completion {
    RequestId id = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::vector<std::uint8_t> output;  // min(information, output length) bytes
};

// Called once per submitted request, on whichever thread completes it.
using CompletionHandler = std::function<void(const Completion&)>;

enum class DevicePowerState { None, D0, D3, Removed };

// One idle-out of the device: the idle time-out in force when it left D0 and
// how long it had been idle by then, both in the driver's milliseconds, that
// is before the time scale (GNSS_TIME_SCALE) shortened them.  The device
// leaves D0 only once the time-out has passed, so the idle time (rounded to
// the millisecond) is never below it.
struct IdleOut {
    ULONG idleTimeoutMs;
    ULONG idleMs;
};

class DriverHost {
public:
    DriverHost();
    ~DriverHost();  // unloads the driver if it is still loaded
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Calls the driver's DriverEntry with a fresh driver object.
    NTSTATUS LoadDriver(PFN_DRIVER_ENTRY entry, const std::string& registryPath = {});
    // Loads a driver module (dlopen) and calls its exported DriverEntry.
    NTSTATUS LoadDriverModule(const std::string& path, const std::string& registryPath = {});
    // Removes the device if present (orderly), then calls the unload and the
    // driver object's cleanup callbacks.
    void UnloadDriver();

    // Device add and the start sequence, with this USB back-end behind the
    // device's USB target.  Fails with the first failing step's status.
    NTSTATUS AddDevice(std::shared_ptr<UsbBackend> usb);
    // Orderly removal; a failing query-remove vetoes it (its status is returned).
    NTSTATUS RemoveDevice();
    void SurpriseRemoveDevice();
    // System sleep and resume (the device leaves D0 whatever its references).
    NTSTATUS SystemSleep();
    NTSTATUS SystemResume();

    bool DevicePresent() const;
    DevicePowerState PowerState() const;
    // Waits until the device is in this state; false on time-out (milliseconds, unscaled).
    bool WaitForPowerState(DevicePowerState state, DWORD timeoutMs) const;
    // The device's latest idle-outs (the last 64, of every device this host
    // attached), in order.
    std::vector<IdleOut> IdleOuts() const;
    // The device interfaces the driver published.
    std::vector<GUID> DeviceInterfaces() const;
    // Called after a device has been removed (by RemoveDevice, surprise removal
    // or the back-end's removal notice), on the framework's power thread.
    void SetDeviceRemovedHandler(std::function<void()> handler);

    // Opens the device: the driver's file create callback decides.  On
    // success *file receives the new file object's id.
    NTSTATUS OpenFile(FileId* file);
    // Cancels the file's queued and parked requests, then the close callback.
    void CloseFile(FileId file);

    // Submits a device-control request on an open file.  The completion
    // handler runs exactly once.  Fails at once (no handler call) when the
    // file is unknown or the device is gone.
    NTSTATUS SubmitDeviceControl(FileId file, ULONG ioControlCode, const void* input,
                                 std::size_t inputLength, std::size_t outputLength,
                                 CompletionHandler handler, RequestId* request = nullptr);
    // Cancels a request that waits in a queue: it completes with
    // STATUS_CANCELLED.  A request the driver is working on is not affected.
    // Returns true when the request was cancelled by this call.
    bool CancelRequest(RequestId request);

    // Driver bugs the framework caught and refused (a second completion, a
    // release of an unheld power reference, ...), one text each.
    std::vector<std::string> Violations() const;
    // The Plug and Play and power callbacks called so far, by name, in order
    // ("DeviceAdd", "PrepareHardware", "D0Entry(D3)", "SelfManagedIoInit", ...).
    std::vector<std::string> CallbackHistory() const;
    // Objects of removed devices the framework still keeps (device, queues,
    // USB target and memory), freed when the next device is added.
    std::size_t RetainedObjects() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace gnss::fw
