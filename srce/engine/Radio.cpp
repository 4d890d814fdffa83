// Receiver on and off, the receiver switches, the chip question and the
// modem's network-initiated request status.
#include <string>

#include "Trace.h"
#include "at/AtCommands.h"
#include "engine/Engine.h"

BOOL ProcessRadioOn() {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_MODEM, __func__);

    // Echo off first: the modem echoes every command line until then.
    bool echoOff = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const HRESULT hr = SendATCmdSync(ATE0_COMMAND, static_cast<LONG>(ATE0_COMMAND_LENGTH), TRUE,
                                         AT_ANSWER_TIMEOUT_MS);
        if (SUCCEEDED(hr)) {
            echoOff = true;
            break;
        }
        if (hr == AT_RESULT_STOPPED) break;
    }
    if (!echoOff) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Major issue in communicating with modem", TAG_MODEM,
                __func__);
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_MODEM, __func__, 0);
        return 0;
    }

    InternalRadioOperation(1, 2);

    // End whatever location request the modem may still run from before.
    std::string stop;
    if (SUCCEEDED(ComposeXLSRSTOP(stop, 0, 0)) &&
        SUCCEEDED(SendATCmdSync(stop, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        WaitForStopComplete(STOP_CONFIRM_TIMEOUT_MS);
    }

    const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
    if (callbacks.pfnServiceStatusCb != nullptr) callbacks.pfnServiceStatusCb(1);

    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_MODEM, __func__, 1);
    return 1;
}

BOOL ProcessRadioOff() {
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_MODEM, __func__);
    MODEM_SESSION_PARAM& session = Engine().m_ModemSessionParam;

    // Each stop run removes one client; the last one stops the modem's request.
    for (int run = 0; run < 5 && session.bSessionInUse == 1; ++run) {
        if (GetGNSSChip() == GNSS_CHIP_PV7710)
            ProcessStopRequestPV7710(nullptr);
        else
            ProcessStopRequestRXA7300(nullptr);
    }

    InternalRadioOperation(0, 2);

    const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
    if (callbacks.pfnServiceStatusCb != nullptr) callbacks.pfnServiceStatusCb(0);

    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_MODEM, __func__, 1);
    return 1;
}

BOOL InternalRadioOperation(DWORD bEnable, DWORD dwMode) {
    std::string command;
    if (FAILED(ComposeXLSCSWITCH(command, bEnable, dwMode))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLSCSWITCH FAILED", TAG_MODEM, __func__);
        return 0;
    }
    if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSSWITCH) FAILED", TAG_MODEM,
                __func__);
        return 0;
    }
    return 1;
}

DWORD GetGNSSChip() {
    ENGINE_STATE& engine = Engine();
    if (engine.m_dwGnssChip == GNSS_CHIP_UNKNOWN) {
        std::string command;
        if (FAILED(ComposeXLCSSWITCHQuery(command))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLCSSWITCHQuery FAILED", TAG_MODEM,
                    __func__);
        } else if (SUCCEEDED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
            // The receive path has stored the generation before the final OK.
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s SendATCmdSync(AT+XLCSSWITCH?) SUCCESS", TAG_MODEM,
                    __func__);
        } else {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(AT+XLCSSWITCH?) FAILED", TAG_MODEM,
                    __func__);
        }
    }
    return engine.m_dwGnssChip;
}

BOOL IsFirstLocationRequest() {
    ENGINE_STATE& engine = Engine();
    BOOL bRetVal = 1;
    std::string command;
    if (SUCCEEDED(ComposeXLCSLRMTQuery(command))) {
        if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSLRMT?) FAILED", TAG_MODEM,
                    __func__);
        } else if (engine.m_dwLRMTStatus == 1) {
            // A fresh modem allows network-initiated requests: switch them off
            // before the first fix.
            ProcessNiRequestAllowed(0);
        } else {
            bRetVal = 0;
        }
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s : bRetVal=%d, m_dwLRMTStatus=%d", TAG_MODEM, __func__, bRetVal,
            static_cast<int>(engine.m_dwLRMTStatus.load()));
    return bRetVal;
}
