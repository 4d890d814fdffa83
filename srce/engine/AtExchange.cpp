// The synchronous AT exchange: one command at a time, written through the
// driver's send callback and waited for until the receive path has seen its
// final answer.  Only the client thread sends, so at most one command is
// outstanding.
#include <cstring>

#include "Driver.h"
#include "Trace.h"
#include "engine/Engine.h"

namespace {

bool IsSet(const gnss::os::EventHandle& event) { return event && event->IsSignalled(); }

bool StopRequested(const ENGINE_EVENTS& events) {
    return IsSet(events.m_hShutdownEvent) || IsSet(events.m_hDeviceRemoveEvent);
}

void LogStopped(const char* function) {
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hDeviceRemoveEvent or m_hShutdownEvent",
            TAG_MODEM, function);
}

// Runs the rounds of one exchange (arguments already checked).
HRESULT Exchange(const char* pBuff, LONG uiLen, DWORD dwTimeoutMs, const std::string& text,
                 PFN_GPSCLIENT_MODEMSEND_CB send) {
    ENGINE_STATE& engine = Engine();
    const ENGINE_EVENTS events = ClientEvents();
    HRESULT hr = AT_RESULT_INVALID_ARGUMENT;
    bool waitOnly = false;

    for (int round = 0; round < 3; ++round) {
        LONG sent = 0;
        if (!waitOnly) {
            engine.m_dwATResponseStatus = 0;
            if (StopRequested(events)) {
                LogStopped("SendATCmdSync");
                return AT_RESULT_STOPPED;
            }
            // An answer of an earlier, timed-out command is discarded here.
            if (events.m_hATResponseEvent) events.m_hATResponseEvent->Reset();
            sent = send(reinterpret_cast<const BYTE*>(pBuff), static_cast<ULONG>(uiLen));
        }

        if (sent > 0 || waitOnly) {
            const DWORD wait = gnss::os::WaitForAny(
                {events.m_hDeviceRemoveEvent.get(), events.m_hShutdownEvent.get(),
                 events.m_hATResponseEvent.get()},
                dwTimeoutMs);
            if (wait == 2) {
                if (engine.m_dwATResponseStatus == 1) return AT_RESULT_OK;
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received error for %s", TAG_MODEM,
                        "SendATCmdSync", text.c_str());
                return AT_RESULT_NO_ANSWER;
            }
            if (wait == 1) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hShutdownEvent", TAG_MODEM,
                        "SendATCmdSync");
                return AT_RESULT_STOPPED;
            }
            if (wait == 0) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hDeviceRemoveEvent", TAG_MODEM,
                        "SendATCmdSync");
                return AT_RESULT_STOPPED;
            }
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Timeout error for %s", TAG_MODEM, "SendATCmdSync",
                    text.c_str());
            hr = AT_RESULT_NO_ANSWER;
            if (StopRequested(events)) {
                LogStopped("SendATCmdSync");
                return AT_RESULT_STOPPED;
            }
            HelperUsbDeviceReset();
            // The command is not sent again: the remaining rounds only wait for its answer.
            waitOnly = true;
        } else {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: pfnModemSendCb FAILED for %s", TAG_MODEM,
                    "SendATCmdSync", text.c_str());
            // A transport that refuses the bytes is most often a device that
            // has just gone: its removal ends the pause.
            if (!PauseUnlessStopped(100, "SendATCmdSync")) return AT_RESULT_STOPPED;
            if (StopRequested(events)) {
                LogStopped("SendATCmdSync");
                return AT_RESULT_STOPPED;
            }
            HelperUsbDeviceReset();
        }
    }
    return hr;
}

}  // namespace

std::string CommandLogText(const char* pBuff, std::size_t length) {
    if (pBuff == nullptr) return {};
    std::size_t n = strnlen(pBuff, length);
    while (n > 0 && (pBuff[n - 1] == '\r' || pBuff[n - 1] == '\n')) --n;
    return std::string(pBuff, n);
}

HRESULT SendATCmdSync(const char* pBuff, LONG uiLen, BOOL bPowerRef, DWORD dwTimeoutMs) {
    if (bPowerRef) GNSSDriverSetDevicePower(TRUE, FALSE);

    HRESULT hr = AT_RESULT_INVALID_ARGUMENT;
    const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
    if (callbacks.pfnModemSendCb == nullptr || pBuff == nullptr || uiLen < 1 ||
        uiLen > AT_COMMAND_MAX_LENGTH) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: pfnModemSendCb=%p, pBuff=%p, uiLen=%d", TAG_MODEM,
                __func__, reinterpret_cast<void*>(callbacks.pfnModemSendCb),
                static_cast<const void*>(pBuff), static_cast<int>(uiLen));
    } else {
        const std::string text = CommandLogText(pBuff, static_cast<std::size_t>(uiLen));
        GnssLog(GNSS_LEVEL_ATCMD, "[%s] [ATCMD] %s [%d] %s", TAG_MODEM, __func__,
                static_cast<int>(uiLen), text.c_str());
        hr = Exchange(pBuff, uiLen, dwTimeoutMs, text, callbacks.pfnModemSendCb);
    }

    if (bPowerRef) GNSSDriverSetDevicePower(FALSE, FALSE);
    return hr;
}

HRESULT SendATCmdSync(const std::string& command, BOOL bPowerRef, DWORD dwTimeoutMs) {
    // A command longer than the exchange takes is refused there, not cut here.
    const LONG length = command.size() > static_cast<std::size_t>(AT_COMMAND_MAX_LENGTH)
                            ? AT_COMMAND_MAX_LENGTH + 1
                            : static_cast<LONG>(command.size());
    return SendATCmdSync(command.data(), length, bPowerRef, dwTimeoutMs);
}

BOOL HelperSleep(DWORD dwMilliseconds) {
    const ENGINE_EVENTS events = ClientEvents();
    const DWORD wait = gnss::os::WaitForAny(
        {events.m_hDeviceRemoveEvent.get(), events.m_hShutdownEvent.get()}, dwMilliseconds);
    if (wait == gnss::os::WAIT_TIMEOUT) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: Waited for %d milli seconds before issueing modify",
                TAG_MODEM, __func__, static_cast<int>(dwMilliseconds));
        return 1;
    }
    if (wait == 0) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hDeviceRemoveEvent", TAG_MODEM, __func__);
    } else if (wait == 1) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hShutdownEvent", TAG_MODEM, __func__);
    } else {
        // Without the engine's events there is nothing to pause for.
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: WaitForMultipleObjects FAILED", TAG_MODEM, __func__);
    }
    return 0;
}

bool PauseUnlessStopped(DWORD dwMilliseconds, const char* function) {
    const ENGINE_EVENTS events = ClientEvents();
    if (!events.m_hDeviceRemoveEvent || !events.m_hShutdownEvent) {
        // Without the engine's events nothing can end it early.
        gnss::os::Sleep(dwMilliseconds);
        return true;
    }
    if (gnss::os::Pause(dwMilliseconds,
                        {events.m_hDeviceRemoveEvent.get(), events.m_hShutdownEvent.get()}))
        return true;
    LogStopped(function);
    return false;
}

bool StopRequested() { return StopRequested(ClientEvents()); }

StopWaitResult WaitForStopComplete(DWORD dwTimeoutMs) {
    const ENGINE_EVENTS events = ClientEvents();
    // A missing stop event makes the wait fail at once: a failed stop.
    const DWORD wait = gnss::os::WaitForAny(
        {events.m_hDeviceRemoveEvent.get(), events.m_hShutdownEvent.get(),
         events.m_hWaitForStopComplete.get()},
        dwTimeoutMs);
    switch (wait) {
        case 0:
            return StopWaitResult::DeviceRemoved;
        case 1:
            return StopWaitResult::Shutdown;
        case 2:
            return StopWaitResult::Confirmed;
        default:
            return StopWaitResult::TimedOut;
    }
}
