// Device power references: the one place where the driver holds the device
// in D0 while the engine uses the modem.
//
// The count (m_dwRefCount) is the engine's view: one per outstanding power-up
// call; the engine's client thread alone changes it.  While it is above zero
// the driver holds exactly one framework power reference.  Whether that
// reference is held right now is remembered separately, so the framework is
// never asked to release a reference it does not hold: a power-up whose
// StopIdle failed takes none, and a D0 exit with uses outstanding gives it
// back until the next D0 entry takes it again.
//
// The engine's calls on the device (these references among them) are kept
// within the device's span from prepare hardware to release hardware by
// DeviceUse, whose bookkeeping lives here too: the reference goes with the
// device when the span ends.
#include <condition_variable>
#include <mutex>

#include "Driver.h"

namespace {

// The device the engine may use and the uses in progress, under g_useLock.
std::mutex g_useLock;
std::condition_variable g_usesEnded;
WDFDEVICE g_usableDevice = nullptr;
int g_uses = 0;

// Guards the held flag against the D0 callbacks on the power thread.  It is
// never held across a StopIdle that waits for D0: that wait needs the power
// thread, which runs D0 entry and comes here.
std::mutex g_referenceLock;
bool g_referenceHeld = false;

void LogEntry(const char* function, BOOL bResetCounter) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s -> m_dwRefCount=%d, bResetCounter=%d", TAG_QUEUE, function,
            static_cast<int>(m_dwRefCount.load()), bResetCounter);
}

void LogExit(const char* function, BOOL bResetCounter) {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- m_dwRefCount=%d, bResetCounter=%d", TAG_QUEUE, function,
            static_cast<int>(m_dwRefCount.load()), bResetCounter);
}

void LogStopIdleResult(const char* function, NTSTATUS status) {
    if (NT_SUCCESS(status))
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s UP SUCCESS ----------------------->", TAG_QUEUE, function);
    else
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WdfDeviceStopIdle=0x%X", TAG_QUEUE, function,
                static_cast<ULONG>(status));
}

// Gives the framework reference back to `device` if it is held.  Without a
// device the reference has already gone with the one that held it.
void ReleaseReference(WDFDEVICE device) {
    std::lock_guard guard(g_referenceLock);
    if (g_referenceHeld) {
        if (device != nullptr) WdfDeviceResumeIdle(device);
        g_referenceHeld = false;
    }
}

}  // namespace

DeviceUse::DeviceUse() {
    std::lock_guard guard(g_useLock);
    device_ = g_usableDevice;
    if (device_ != nullptr) ++g_uses;
}

DeviceUse::~DeviceUse() {
    if (device_ == nullptr) return;
    std::lock_guard guard(g_useLock);
    if (--g_uses == 0) g_usesEnded.notify_all();
}

void GNSSDriverBeginDeviceUse(WDFDEVICE Device) {
    std::lock_guard guard(g_useLock);
    g_usableDevice = Device;
}

void GNSSDriverEndDeviceUse() {
    {
        // A use in progress ends on its own: a power-up waiting for D0 ends
        // once the removal has begun, a write fails on a device that is gone.
        std::unique_lock guard(g_useLock);
        g_usableDevice = nullptr;
        g_usesEnded.wait(guard, [] { return g_uses == 0; });
    }
    // Whatever the count says, the framework reference was the device's.
    std::lock_guard guard(g_referenceLock);
    g_referenceHeld = false;
}

NTSTATUS GNSSDriverSetDevicePower(BOOL bPowerUp, BOOL bResetCounter) {
    NTSTATUS status = STATUS_SUCCESS;
    LogEntry(__func__, bResetCounter);

    if (!bResetCounter) {
        // The engine's thread: the device only within its span (DeviceUse).
        const DeviceUse use;
        if (bPowerUp) {
            if (m_dwRefCount == 0 && !use) {
                status = STATUS_NO_SUCH_DEVICE;
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: no device to hold in D0", TAG_QUEUE,
                        __func__);
            } else if (m_dwRefCount == 0) {
                status = WdfDeviceStopIdle(use.Device(), TRUE);
                {
                    std::lock_guard guard(g_referenceLock);
                    if (NT_SUCCESS(status)) g_referenceHeld = true;
                }
                LogStopIdleResult(__func__, status);
            } else {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s Device is already UP and RUNNING -----------------------",
                        TAG_QUEUE, __func__);
            }
            ++m_dwRefCount;
        } else if (m_dwRefCount > 0) {
            if (--m_dwRefCount > 0) {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s Device is in USE -----------------------",
                        TAG_QUEUE, __func__);
            } else {
                ReleaseReference(use.Device());
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s DOWN SUCCESS <-----------------------", TAG_QUEUE,
                        __func__);
            }
        }
    } else if (m_dwRefCount > 0) {
        GnssLog(GNSS_LEVEL_WARNING,
                "[%s] %s WARNING: UNEXPECTED DEVICE STATE. surprise/query removed when in D0. "
                "m_dwRefCount=%d, bResetCounter=%d",
                TAG_QUEUE, __func__, static_cast<int>(m_dwRefCount.load()), bResetCounter);
        if (bPowerUp) {
            {
                // A D0 entry callback must not wait for D0.
                // The count may have fallen to zero meanwhile: look again under the lock.
                std::lock_guard guard(g_referenceLock);
                if (!g_referenceHeld && m_dwRefCount > 0) {
                    status = WdfDeviceStopIdle(m_hDevice.load(), FALSE);
                    if (NT_SUCCESS(status)) g_referenceHeld = true;
                }
            }
            LogStopIdleResult(__func__, status);
            UsbDeviceReset(m_hDevice.load());
        } else {
            ReleaseReference(m_hDevice.load());
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s DOWN SUCCESS <-----------------------", TAG_QUEUE,
                    __func__);
        }
    }

    LogExit(__func__, bResetCounter);
    return status;
}
