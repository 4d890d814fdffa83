// The fix-session procedures: the driver may run several fix sessions at
// once, the modem at most one location request.  The procedures map the
// sessions onto that one request: a start issues a request or joins the
// running one, a changed NMEA need or a shorter interval re-issues it, the
// last stop ends it.  Each generation of the chip has its own procedures;
// they share their frame and differ in the details below.
#include <cstdlib>
#include <cstring>
#include <string>

#include "Driver.h"
#include "GnssState.h"
#include "Trace.h"
#include "at/AtCommands.h"
#include "engine/Engine.h"

namespace {

enum class Generation { PV7710, RXA7300 };

// The NMEA need has changed when the running request and the listeners disagree.
bool NmeaNeedChanged() {
    ENGINE_STATE& engine = Engine();
    const DWORD requested = engine.m_ModemSessionParam.bNmeaRequested;
    const DWORD listeners = engine.m_dwNmeaListeners;
    return (requested == 0 && listeners > 0) || (requested == 1 && listeners == 0);
}

// The NMEA argument of a new request; records that NMEA output was asked for.
ULONG RequestNmeaIfWanted() {
    ENGINE_STATE& engine = Engine();
    if (engine.m_dwNmeaListeners > 0) {
        engine.m_ModemSessionParam.bNmeaRequested = 1;
        return 2;
    }
    return 0;
}

// Quality of service ahead of a PV7710 location request; failures only logged.
void SendQualityOfService(const GNSS_FIXSESSION_PARAM* pInParam, ULONG responseTime,
                          const char* function) {
    std::string command;
    if (FAILED(ComposeXLCSLQOS(command, pInParam->HorizontalAccuracy, responseTime, 300, 0))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ComposeXLCSLQOS FAILED", TAG_MODEM, function);
        return;
    }
    if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS)))
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s SendATCmdSync(QOS) FAILED", TAG_MODEM, function);
}

// Copies the parameter for a retry event; null when it cannot be allocated.
GNSS_FIXSESSION_PARAM* CopyFixParam(const GNSS_FIXSESSION_PARAM* pInParam) {
    auto* copy = static_cast<GNSS_FIXSESSION_PARAM*>(std::malloc(sizeof(GNSS_FIXSESSION_PARAM)));
    if (copy != nullptr) std::memcpy(copy, pInParam, sizeof(GNSS_FIXSESSION_PARAM));
    return copy;
}

void LogContinuousRepost(const GNSS_FIXSESSION_PARAM* p, const char* function) {
    GnssLog(GNSS_LEVEL_INFO,
            "[%s] %s GNSS_FixSession_ContinuousTracking, [Reposting] ID=0x%x, HzAcc=%d, HzConf=%d, "
            "Interval=%d",
            TAG_MODEM, function, static_cast<unsigned>(p->FixSessionID),
            static_cast<int>(p->HorizontalAccuracy), static_cast<int>(p->HorizontalConfidence),
            static_cast<int>(p->ContinuousParam.PreferredInterval));
}

// The modem took a location request: the session record now follows it.
void RecordActiveRequest(const char* function) {
    ENGINE_STATE& engine = Engine();
    MODEM_SESSION_PARAM& session = engine.m_ModemSessionParam;
    session.SessionID = engine.m_dwReceivedSessionId.load();
    session.bSessionInUse = 1;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Location Request SUCCESS. RI=%d, SessionID=%d", TAG_MODEM,
            function, static_cast<int>(session.RI.load()), static_cast<int>(session.SessionID.load()));
}

// Sends the location request (after the SUPL provisioning check) and returns
// what SendATCmdSync returned.  `composed` is false when the command could
// not be built (and nothing was sent).
HRESULT SendLocationRequest(ULONG interval, ULONG nmea, const char* function, bool* composed) {
    ENGINE_STATE& engine = Engine();
    HelperUpdateSuplConfigPV7710();
    std::string command;
    if (FAILED(ComposeXLCSLSR(command, engine.dwTransportProtocol, engine.dwOperationMode, interval,
                              nmea))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ComposeXLCSLSR FAILED", TAG_MODEM, function);
        *composed = false;
        return E_FAIL;
    }
    *composed = true;
    return SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS);
}

// The pause before a failed request is posted again.  A request that failed
// because the device went (or the engine stops) is not posted again: the
// session ends with the device, and nothing of it may reach the next modem.
bool PauseBeforeRepost(HRESULT hr, const char* function) {
    if (hr == AT_RESULT_STOPPED) return false;
    return PauseUnlessStopped(1000, function);
}

// A modify whose location request failed: the periodic retry issues a fresh
// request (the session record no longer has one in use).
void RepostModifyAsRetry(const GNSS_FIXSESSION_PARAM* pInParam, HRESULT hr, const char* function) {
    if (!PauseBeforeRepost(hr, function)) return;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Repost %d", TAG_MODEM, function,
            static_cast<int>(PERIODIC_RETRY));
    GNSS_FIXSESSION_PARAM* copy = CopyFixParam(pInParam);
    if (copy == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s Memory allocaiton failure", TAG_MODEM, function);
        return;
    }
    LogContinuousRepost(pInParam, function);
    PostFromClient(PERIODIC_RETRY, copy);
}

// Steps shared by every start procedure: count the client (not on a retry).
// Returns false when there is no client left to serve.
bool CountClient(BOOL bRetry, const char* function) {
    MODEM_SESSION_PARAM& session = Engine().m_ModemSessionParam;
    if (!bRetry) {
        GNSSDriverSetDevicePower(TRUE, FALSE);
        ++session.NumberOfClients;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s NumberOfClients=%d", TAG_MODEM, function,
            static_cast<int>(session.NumberOfClients.load()));
    if (session.NumberOfClients == 0) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s No active Clients", TAG_MODEM, function);
        return false;
    }
    return true;
}

BOOL SingleshotRequest(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry, Generation generation,
                       const char* function) {
    ENGINE_STATE& engine = Engine();
    MODEM_SESSION_PARAM& session = engine.m_ModemSessionParam;
    if (pInParam == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pInParam=%p", TAG_MODEM,
                function, static_cast<const void*>(pInParam));
        return 1;
    }
    if (!CountClient(bRetry, function)) return 1;

    const bool nmeaChanged = NmeaNeedChanged();
    if (session.bSessionInUse == 1 && !nmeaChanged) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Sessopn in progress, SessionID=%d", TAG_MODEM, function,
                static_cast<int>(session.SessionID.load()));
        return 1;
    }
    if (nmeaChanged) HelperIssueStop();
    const ULONG nmea = RequestNmeaIfWanted();

    if (generation == Generation::PV7710) {
        ULONG responseTime = pInParam->SingleShotParam.ResponseTime;
        if (responseTime <= DEFAULT_RESPONSE_TIME) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s Actual RespTime=%d, setting it to default.", TAG_MODEM,
                    function, static_cast<int>(responseTime));
            responseTime = DEFAULT_RESPONSE_TIME;
        }
        SendQualityOfService(pInParam, responseTime, function);
    }

    const ULONG interval = generation == Generation::PV7710 ? 0 : 1;
    bool composed = false;
    const HRESULT hr = SendLocationRequest(interval, nmea, function, &composed);
    if (SUCCEEDED(hr)) {
        if (generation == Generation::PV7710) {
            session.RI = 0;
            session.Update = 1;
        } else {
            session.RI = 1;
        }
        RecordActiveRequest(function);
        return 1;
    }
    if (!composed) return 0;

    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s SendATCmdSync(XLCSLSR) FAILED", TAG_MODEM, function);
    if (!PauseBeforeRepost(hr, function)) return 0;
    GNSS_FIXSESSION_PARAM* copy = CopyFixParam(pInParam);
    if (copy == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s Memory allocaiton failure", TAG_MODEM, function);
        return 0;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Repost %d", TAG_MODEM, function, static_cast<int>(SINGLESHOT_RETRY));
    GnssLog(GNSS_LEVEL_INFO,
            "[%s] %s GNSS_FixSession_SingleShot, [Reposting] ID=0x%x, HzAcc=%d, HzConf=%d, Interval=%d",
            TAG_MODEM, function, static_cast<unsigned>(pInParam->FixSessionID),
            static_cast<int>(pInParam->HorizontalAccuracy),
            static_cast<int>(pInParam->HorizontalConfidence),
            static_cast<int>(pInParam->SingleShotParam.ResponseTime));
    PostFromClient(SINGLESHOT_RETRY, copy);
    return 0;
}

BOOL PeriodicRequest(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry, Generation generation,
                     const char* function) {
    ENGINE_STATE& engine = Engine();
    MODEM_SESSION_PARAM& session = engine.m_ModemSessionParam;
    if (pInParam == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pInParam=%p", TAG_MODEM,
                function, static_cast<const void*>(pInParam));
        return 1;
    }
    if (!CountClient(bRetry, function)) return 1;

    const ULONG preferredInterval = pInParam->ContinuousParam.PreferredInterval;
    const bool nmeaChanged = NmeaNeedChanged();
    if (session.bSessionInUse == 1) {
        engine.m_dwPreferredInterval = preferredInterval;
        if (generation == Generation::PV7710) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s Sessopn in progress, SessionID=%d, Expected RI=%d",
                    TAG_MODEM, function, static_cast<int>(session.SessionID.load()),
                    static_cast<int>(preferredInterval));
        } else {
            GnssLog(GNSS_LEVEL_INFO,
                    "[%s] %s Sessopn in progress, SessionID=%d, Current RI=%d, Expected RI=%d",
                    TAG_MODEM, function, static_cast<int>(session.SessionID.load()),
                    static_cast<int>(session.RI.load()), static_cast<int>(preferredInterval));
        }
        // A shorter interval, or NMEA output switched on or off, re-issues the request.
        if (session.RI > engine.m_dwPreferredInterval || nmeaChanged) {
            HelperIssueStop();
            RefreshReportInterval();
        }
        return 1;
    }

    const ULONG nmea = RequestNmeaIfWanted();
    if (generation == Generation::PV7710) SendQualityOfService(pInParam, DEFAULT_RESPONSE_TIME, function);

    // PV7710 starts with a single fix; the periodic request follows the first fix.
    const ULONG interval = generation == Generation::PV7710 ? 0 : preferredInterval;
    bool composed = false;
    const HRESULT hr = SendLocationRequest(interval, nmea, function, &composed);
    if (SUCCEEDED(hr)) {
        if (generation == Generation::PV7710) {
            session.RI = 0;
            session.Update = 1;
        } else {
            session.RI = preferredInterval;
        }
        engine.m_dwPreferredInterval = preferredInterval;
        RecordActiveRequest(function);
        return 1;
    }
    if (!composed) return 0;

    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s SendATCmdSync(XLCSLSR) FAILED", TAG_MODEM, function);
    if (!PauseBeforeRepost(hr, function)) return 0;
    GNSS_FIXSESSION_PARAM* copy = CopyFixParam(pInParam);
    if (copy == nullptr) {
        if (generation == Generation::RXA7300)
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s Memory allocaiton failure", TAG_MODEM, function);
        return 0;
    }
    if (generation == Generation::PV7710) {
        GnssLog(GNSS_LEVEL_ERROR,
                "[%s] %s SendATCmdSync(XLCSLSR) FAILED even after retry. Repost the event.", TAG_MODEM,
                function);
    } else {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Repost %d", TAG_MODEM, function,
                static_cast<int>(PERIODIC_RETRY));
    }
    LogContinuousRepost(pInParam, function);
    PostFromClient(PERIODIC_RETRY, copy);
    return 0;
}

BOOL StopRequest(const GNSS_STOPFIXSESSION_PARAM* pInParam, Generation generation,
                 const char* function) {
    ENGINE_STATE& engine = Engine();
    MODEM_SESSION_PARAM& session = engine.m_ModemSessionParam;
    const ULONG fixSessionId = pInParam != nullptr ? pInParam->FixSessionID : 0;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s SessionID=%d", TAG_MODEM, function, static_cast<int>(fixSessionId));
    if (pInParam != nullptr) {
        const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
        if (callbacks.pfnStopSessionCb != nullptr) callbacks.pfnStopSessionCb(fixSessionId);
    }

    BOOL bRetVal = 1;
    // A PV7710 single-fix request that has delivered its fix has ended by itself.
    const bool requestRunning =
        generation == Generation::RXA7300 || session.RI != 0 || session.Update == 1;
    if (session.bSessionInUse == 1 && session.NumberOfClients == 1 && requestRunning) {
        std::string command;
        if (FAILED(ComposeXLSRSTOP(command, 0, session.SessionID))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLSRSTOP FAILED", TAG_MODEM, function);
            bRetVal = 0;
        } else {
            for (int attempt = 0; attempt < 3; ++attempt) {
                const HRESULT hr = SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS);
                if (FAILED(hr)) {
                    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(STOP) FAILED", TAG_MODEM,
                            function);
                    bRetVal = 0;
                    // A device that is gone has no request left to stop.
                    if (hr == AT_RESULT_STOPPED) break;
                    continue;
                }
                bRetVal = 1;
                const StopWaitResult wait = WaitForStopComplete(STOP_CONFIRM_TIMEOUT_MS);
                if (wait == StopWaitResult::Confirmed) {
                    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Stop SUCCESS for SessionID=%d", TAG_MODEM,
                            function, static_cast<int>(session.SessionID.load()));
                    break;
                }
                if (wait == StopWaitResult::Shutdown) {
                    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hShutdownEvent", TAG_MODEM,
                            function);
                    break;
                }
                if (wait == StopWaitResult::DeviceRemoved) {
                    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hDeviceRemoveEvent", TAG_MODEM,
                            function);
                    break;
                }
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Stop FAILED for SessionID=%d", TAG_MODEM,
                        function, static_cast<int>(session.SessionID.load()));
            }
        }
    } else if (generation == Generation::PV7710) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s No Ongoing Session. Clients=%d, SessionID=%d, RI=%d, Update=%d",
                TAG_MODEM, function, static_cast<int>(session.NumberOfClients.load()),
                static_cast<int>(session.SessionID.load()), static_cast<int>(session.RI.load()),
                static_cast<int>(session.Update.load()));
    } else {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s No  need to stop. Clients=%d, SessionID=%d, RI=%d, Update=%d",
                TAG_MODEM, function, static_cast<int>(session.NumberOfClients.load()),
                static_cast<int>(session.SessionID.load()), static_cast<int>(session.RI.load()),
                static_cast<int>(session.Update.load()));
    }

    if (session.NumberOfClients > 0) {
        --session.NumberOfClients;
        GnssLog(GNSS_LEVEL_INFO,
                generation == Generation::PV7710 ? "[%s] %s Clients=%d" : "[%s] %s Clients, Clients=%d",
                TAG_MODEM, function, static_cast<int>(session.NumberOfClients.load()));
    } else {
        GnssLog(GNSS_LEVEL_INFO,
                generation == Generation::PV7710 ? "[%s] %s No Clients, Clients=%d"
                                                 : "[%s] %s Clients, Clients=%d",
                TAG_MODEM, function, static_cast<int>(session.NumberOfClients.load()));
    }

    if (session.NumberOfClients == 0) {
        session.bSessionInUse = 0;
        session.bNmeaRequested = 0;
        session.SessionID = 0;
        session.RI = 0;
        engine.m_dwPreferredInterval = 0;
        if (generation == Generation::PV7710) {
            session.Update = 0;
            engine.m_bUsePV7710Procedure = 0;
        }
    }

    GNSSDriverSetDevicePower(FALSE, FALSE);
    return bRetVal;
}

}  // namespace

BOOL ProcessSingleshotRequestPV7710(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry) {
    return SingleshotRequest(pInParam, bRetry, Generation::PV7710, __func__);
}

BOOL ProcessSingleshotRequestRXA7300(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry) {
    return SingleshotRequest(pInParam, bRetry, Generation::RXA7300, __func__);
}

BOOL ProcessPeriodicRequestPV7710(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry) {
    return PeriodicRequest(pInParam, bRetry, Generation::PV7710, __func__);
}

BOOL ProcessPeriodicRequestRXA7300(const GNSS_FIXSESSION_PARAM* pInParam, BOOL bRetry) {
    return PeriodicRequest(pInParam, bRetry, Generation::RXA7300, __func__);
}

BOOL ProcessStopRequestPV7710(const GNSS_STOPFIXSESSION_PARAM* pInParam) {
    return StopRequest(pInParam, Generation::PV7710, __func__);
}

BOOL ProcessStopRequestRXA7300(const GNSS_STOPFIXSESSION_PARAM* pInParam) {
    return StopRequest(pInParam, Generation::RXA7300, __func__);
}

BOOL RefreshReportInterval() {
    ENGINE_STATE& engine = Engine();
    MODEM_SESSION_PARAM& session = engine.m_ModemSessionParam;
    const DWORD preferredInterval = engine.m_dwPreferredInterval;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s PreferredInterval=%d seconds", TAG_MODEM, __func__,
            static_cast<int>(preferredInterval));
    const ULONG nmea = RequestNmeaIfWanted();
    if (preferredInterval == 0 || session.NumberOfClients == 0) return 1;

    std::string command;
    if (FAILED(ComposeXLCSLSR(command, engine.dwTransportProtocol, engine.dwOperationMode,
                              preferredInterval, nmea))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLCSLSR FAILED", TAG_MODEM, __func__);
        return 0;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        const HRESULT hr = SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS);
        if (SUCCEEDED(hr)) {
            session.RI = preferredInterval;
            RecordActiveRequest(__func__);
            return 1;
        }
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSLSR) FAILED", TAG_MODEM, __func__);
        // The session of a device that is gone ends with it: no further attempt.
        if (hr == AT_RESULT_STOPPED) return 0;
        if (attempt < 2 && !PauseUnlessStopped(1000, __func__)) return 0;
    }
    return 0;
}

BOOL HelperIssueStop() {
    MODEM_SESSION_PARAM& session = Engine().m_ModemSessionParam;
    std::string command;
    if (FAILED(ComposeXLSRSTOP(command, 0, session.SessionID))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLSRSTOP FAILED", TAG_MODEM, __func__);
        return 0;
    }
    if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(STOP) FAILED", TAG_MODEM, __func__);
        return 0;
    }
    switch (WaitForStopComplete(STOP_CONFIRM_TIMEOUT_MS)) {
        case StopWaitResult::Confirmed:
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s Stop SUCCESS for SessionID=%d", TAG_MODEM, __func__,
                    static_cast<int>(session.SessionID.load()));
            return 1;
        case StopWaitResult::Shutdown:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hShutdownEvent", TAG_MODEM, __func__);
            return 0;
        case StopWaitResult::DeviceRemoved:
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Received m_hDeviceRemoveEvent", TAG_MODEM,
                    __func__);
            return 0;
        case StopWaitResult::TimedOut:
            break;
    }
    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Stop FAILED for SessionID=%d", TAG_MODEM, __func__,
            static_cast<int>(session.SessionID.load()));
    return 0;
}

BOOL ProcessModifyFixRequest(const GNSS_FIXSESSION_PARAM* pInParam) {
    ENGINE_STATE& engine = Engine();
    MODEM_SESSION_PARAM& session = engine.m_ModemSessionParam;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_MODEM, __func__);
    BOOL bRetVal = 1;

    if (pInParam == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pInParam=%p", TAG_MODEM,
                __func__, static_cast<const void*>(pInParam));
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_MODEM, __func__);
        return bRetVal;
    }

    const ULONG fixSessionId = pInParam->FixSessionID;
    const ULONG preferredInterval = pInParam->ContinuousParam.PreferredInterval;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s FixSessionID=%d\n", TAG_MODEM, __func__,
            static_cast<int>(fixSessionId));

    if (!IsContinuousSessionId(fixSessionId)) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Modify request received for singleshot, FixSessionID=%d.\n",
                TAG_MODEM, __func__, static_cast<int>(fixSessionId));
    } else {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Periodic request FixSessionID=%d.\n", TAG_MODEM, __func__,
                static_cast<int>(fixSessionId));
        if (pInParam->SessionType != GNSS_FixSession_ContinuousTracking) {
            GnssLog(GNSS_LEVEL_INFO,
                    "[%s] %s Modify request from periodic to singleshot received FixSessionID=%d.\n",
                    TAG_MODEM, __func__, static_cast<int>(fixSessionId));
        } else if (session.bSessionInUse == 0) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s m_ModemSessionParam.bSessionInUse is FALSE. IGNORE",
                    TAG_MODEM, __func__);
        } else if (HelperSleep(2000)) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s INFO: Waited for 2 seconds before issueing stop",
                    TAG_MODEM, __func__);
            HelperIssueStop();
            HelperUpdateSuplConfigPV7710();
            std::string command;
            if (FAILED(ComposeXLCSLSR(command, engine.dwTransportProtocol, engine.dwOperationMode,
                                      preferredInterval, 0))) {
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ComposeXLCSLSR FAILED", TAG_MODEM, __func__);
                bRetVal = 0;
            } else if (HelperSleep(2000)) {
                const HRESULT hr = SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS);
                if (SUCCEEDED(hr)) {
                    session.RI = preferredInterval;
                    session.SessionID = engine.m_dwReceivedSessionId.load();
                    GnssLog(GNSS_LEVEL_INFO, "[%s] %s Location Request SUCCESS. RI=%d, SessionID=%d",
                            TAG_MODEM, __func__, static_cast<int>(session.RI.load()),
                            static_cast<int>(session.SessionID.load()));
                } else {
                    // The retry finds no request in use and issues a fresh periodic request.
                    GnssLog(GNSS_LEVEL_ERROR, "[%s] %s SendATCmdSync(XLCSLSR) FAILED", TAG_MODEM,
                            __func__);
                    session.bSessionInUse = 0;
                    session.SessionID = 0;
                    RepostModifyAsRetry(pInParam, hr, __func__);
                    bRetVal = 0;
                }
            }
        }
    }

    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <-", TAG_MODEM, __func__);
    return bRetVal;
}
