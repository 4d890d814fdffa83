// A small driver written against wdf.h, hosted by the framework tests.
//
// Device add creates one device with a typed context, a sequential default
// queue (power-managed by default) and a manual queue that is not
// power-managed.  Control codes (the high nibble of the low 16 bits selects
// the action, the low 12 bits are an argument):
//   kEcho  reads the input, writes it reversed into the output (a buffer
//          of its own) and completes with information = argument, or the output
//          length when the argument is 0.
//   kPark  forwards the request to the manual queue.
//   kHold  keeps the request; the test completes it (TestDriver::TakeHeld).
//   kTwice completes the request twice.
//   kMinimum retrieves the input with the argument as minimum size and
//          completes with that call's status.
//   other  completes with STATUS_NOT_SUPPORTED.
// With Options::usb, prepare hardware creates the USB target, finds the bulk
// pipes of interface 1 and configures a continuous reader; D0 entry starts
// it and D0 exit stops it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gnss/platform/usb_loopback.h"
#include "gnss/platform/wdf.h"
#include "gnss/platform/wdfhost.h"

namespace fwtest {

inline constexpr ULONG kEcho = 0x1000;
inline constexpr ULONG kPark = 0x2000;
inline constexpr ULONG kHold = 0x3000;
inline constexpr ULONG kTwice = 0x4000;
inline constexpr ULONG kMinimum = 0x5000;  // input retrieved with minimum size = argument

inline constexpr GUID kInterface = {0x5A0C1E55, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};

struct DEVICE_CONTEXT {
    std::uint64_t firstWord;
    WDFQUEUE ManualQueue;
    WDFUSBDEVICE UsbDevice;
    WDFUSBPIPE BulkIn;
    WDFUSBPIPE BulkOut;
    unsigned char Tail[37];
};

struct FILE_CONTEXT {
    int Opens;
};

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, DeviceGetContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_CONTEXT, FileGetContext)

struct Options {
    bool assignIdle = true;
    ULONG idleTimeoutMs = 1000;  // scaled by GNSS_TIME_SCALE
    WDF_TRI_STATE powerUpOnWake = WdfTrue;
    bool usb = false;
    std::size_t readLength = 64;
    BOOLEAN restartReader = TRUE;
    NTSTATUS deviceAddStatus = STATUS_SUCCESS;
    NTSTATUS prepareStatus = STATUS_SUCCESS;
    NTSTATUS d0EntryStatus = STATUS_SUCCESS;
    NTSTATUS selfManagedIoInitStatus = STATUS_SUCCESS;
    NTSTATUS queryRemoveStatus = STATUS_SUCCESS;
    NTSTATUS createStatus = STATUS_SUCCESS;
    NTSTATUS entryStatus = STATUS_SUCCESS;
    // Like the real driver's power references: while engineUses > 0, D0 entry
    // takes a reference without waiting and D0 exit gives it back.
    int engineUses = 0;
};

struct Presentation {
    WDFREQUEST request;
    ULONG code;
    std::vector<std::string> history;  // the framework's history at that moment
    std::size_t heldBefore;            // requests the driver held at that moment
};

struct TestDriver {
    mutable std::mutex mu;
    std::condition_variable cv;
    Options options;
    gnss::fw::DriverHost* host = nullptr;
    std::shared_ptr<gnss::fw::LoopbackUsbBackend> usb;

    WDFDRIVER driver = nullptr;
    WDFDEVICE device = nullptr;
    WDFQUEUE defaultQueue = nullptr;
    WDFQUEUE manualQueue = nullptr;
    bool contextWasZero = false;
    bool contextAligned = false;
    bool initConsumed = false;

    std::vector<std::string> log;  // the driver's own record of what it saw
    std::vector<Presentation> presented;
    std::deque<WDFREQUEST> held;
    std::vector<NTSTATUS> d0EntryStopIdle;
    std::vector<bool> closeSawOwnRequests;  // at each close: a request of that file still parked?
    bool echoSeparateZeroedOutput = true;  // every echo found its output apart and zeroed

    std::vector<std::string> chunks;
    std::vector<NTSTATUS> readerFailures;
    bool readWhileCallbackRan = false;

    // Hooks run (without the lock) from D0 entry and from self-managed I/O cleanup.
    std::function<void(WDFDEVICE)> onD0Entry;
    std::function<void()> onCleanup;

    static TestDriver& Get();
    void Reset();

    void Log(std::string entry);
    std::vector<std::string> Log() const;
    std::size_t Count(const std::string& entry) const;
    // Waits (unscaled) until the predicate, checked under the lock, holds.
    template <class Pred>
    bool WaitUntil(Pred pred, int timeoutMs = 10000) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
    }
    WDFREQUEST TakeHeld();  // waits for a held request and takes it
    std::size_t Presented() const;
};

inline TestDriver& D() { return TestDriver::Get(); }

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PCSTR registryPath);

// Completions by request id, with waits.
class Completions {
public:
    gnss::fw::CompletionHandler Handler();
    bool Wait(gnss::fw::RequestId id, gnss::fw::Completion* out, int timeoutMs = 10000);
    bool WaitCount(std::size_t count, int timeoutMs = 10000);
    std::size_t Count(gnss::fw::RequestId id) const;
    std::size_t Total() const;

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::map<gnss::fw::RequestId, std::vector<gnss::fw::Completion>> done_;
    std::size_t total_ = 0;
};

// The framework's history from `from` on.
std::vector<std::string> HistoryFrom(const gnss::fw::DriverHost& host, std::size_t from);
bool Contains(const std::vector<std::string>& texts, const std::string& part);

}  // namespace fwtest
