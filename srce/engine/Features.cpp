// The engine's feature work: network-initiated request answers, assistance
// data (time injection and clearing), SUPL settings and the self-test.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Trace.h"
#include "at/AtCommands.h"
#include "engine/Engine.h"

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

constexpr std::size_t kCertificatePieceSize = 300;
constexpr const char* kDefaultSuplPort = "7275";

}  // namespace

// ---------------------------------------------------------------------------
// Network-initiated requests.

BOOL ProcessNiResponse(const GNSS_NI_RESPONSE* pNiResponse) {
    if (pNiResponse == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pNiResponse=%p", TAG_MODEM,
                __func__, static_cast<const void*>(pNiResponse));
        return 0;
    }
    if (pNiResponse->UserResponse != GNSS_Ni_UserResponseAccept &&
        pNiResponse->UserResponse != GNSS_Ni_UserResponseDeny) {
        GnssLog(GNSS_LEVEL_WARNING, "[%s] %s WARNING: NI Request TIMEOUT, No AT Command", TAG_MODEM,
                __func__);
        return 0;
    }
    const LONG verdict = pNiResponse->UserResponse == GNSS_Ni_UserResponseAccept ? 1 : 0;
    std::string command;
    if (FAILED(ComposeXLCSLRV(command, verdict, pNiResponse->RequestId))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLCSLRV FAILED", TAG_MODEM, __func__);
        return 0;
    }
    if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSLRV)", TAG_MODEM, __func__);
        return 0;
    }
    return 1;
}

BOOL ProcessNiRequestAllowed(LONG bAllowed) {
    std::string command;
    if (FAILED(ComposeXLCSLRMT(command, bAllowed))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLCSLRMT FAILED", TAG_MODEM, __func__);
        return 0;
    }
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s :  bAllowed=%d, %s", TAG_MODEM, __func__, static_cast<int>(bAllowed),
            CommandLogText(command).c_str());
    if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSLRMT) FAILED", TAG_MODEM, __func__);
        return 0;
    }
    return 1;
}

BOOL ProcessNiRequest(GNSS_NI_REQUEST_PARAM* pNiRequest, void* pArgument) {
    const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
    if (callbacks.pfnNiReqDataCb == nullptr || pNiRequest == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pNiRequest=%p, pfnNiReqDataCb=%p",
                TAG_MODEM, __func__, static_cast<void*>(pNiRequest),
                reinterpret_cast<void*>(callbacks.pfnNiReqDataCb));
        return 0;
    }
    callbacks.pfnNiReqDataCb(pNiRequest, pArgument);
    return 1;
}

// ---------------------------------------------------------------------------
// Assistance data.

BOOL ProcessInjectAssistance(const GNSS_AGNSS_INJECT* pAgnssData) {
    if (pAgnssData == nullptr || pAgnssData->InjectionType != GNSS_AGNSS_TimeInjection) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pAgnssData=%p, InjectType=%d",
                TAG_MODEM, __func__, static_cast<const void*>(pAgnssData),
                pAgnssData != nullptr ? static_cast<int>(pAgnssData->InjectionType) : 0);
        return 0;
    }
    std::string command;
    // The injected time only when the injection succeeded, else the current time.
    const HRESULT hr = pAgnssData->InjectionStatus == STATUS_SUCCESS
                           ? ComposeCCLK(command, &pAgnssData->Time.UtcTime)
                           : ComposeCCLK(command, nullptr);
    if (FAILED(hr)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeCCLK FAILED", TAG_MODEM, __func__);
        return 0;
    }
    if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(CCLK) FAILED", TAG_MODEM, __func__);
        return 0;
    }
    return 1;
}

bool ClearValueToMask(LONG value, ULONG* pMask) {
    ULONG mask = 0;
    switch (value) {
        case 0:
            mask = 127;
            break;
        case 1:  // time
            mask = 4;
            break;
        case 2:  // position
            mask = 2;
            break;
        case 3:  // blob
            mask = 121;
            break;
        case 257:
            mask = 1;
            break;
        case 258:
            mask = 8;
            break;
        case 259:
            mask = 16;
            break;
        case 260:
            mask = 32;
            break;
        case 261:
            mask = 64;
            break;
        case 262:
            mask = 127;
            break;
        case 263:
            mask = 1;
            break;
        default:
            return false;
    }
    *pMask = mask;
    return true;
}

BOOL ProcessClearAssistance(const LONG* pClearValue) {
    MODEM_SESSION_PARAM& session = Engine().m_ModemSessionParam;
    const LONG value = pClearValue != nullptr ? *pClearValue : 0;
    ULONG mask = 0;
    if (!ClearValueToMask(value, &mask)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, dwFlags=%d", TAG_MODEM, __func__,
                static_cast<int>(value));
        return 0;
    }

    if (session.bSessionInUse == 1) HelperIssueStop();

    BOOL bRetVal = 0;
    std::string command;
    if (FAILED(ComposeXLGNVRAM(command, mask, 0))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLGNVRAM FAILED", TAG_MODEM, __func__);
    } else if (PauseUnlessStopped(1000, __func__)) {
        if (SUCCEEDED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s SendATCmdSync(XLGNVRAM) SUCCESS", TAG_MODEM, __func__);
            bRetVal = 1;
            // A stop that ends this pause early is seen below.
            [[maybe_unused]] const bool paused = PauseUnlessStopped(1000, __func__);
        } else {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLGNVRAM) FAILED", TAG_MODEM,
                    __func__);
        }
    }

    // The running session reports again; the session of a device that went
    // ends with it instead (and the engine that shuts down sends nothing more).
    if (session.bSessionInUse == 1 && !StopRequested()) RefreshReportInterval();
    return bRetVal;
}

// ---------------------------------------------------------------------------
// SUPL settings.

BOOL ProcessSetSuplServer(const GNSS_SUPL_HSLP_CONFIG* pHslpConfig) {
    if (pHslpConfig == nullptr || !IsAsciiLetter(pHslpConfig->SuplHslp[0])) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid HSLP", TAG_MODEM, __func__);
        return 0;
    }
    const char* text = pHslpConfig->SuplHslp;
    const std::size_t length = strnlen(text, sizeof(pHslpConfig->SuplHslp));
    const char* colon = static_cast<const char*>(std::memchr(text, ':', length));
    std::string host;
    std::string port;
    if (colon != nullptr) {
        host.assign(text, static_cast<std::size_t>(colon - text));
        port.assign(colon + 1, length - static_cast<std::size_t>(colon - text) - 1);
    } else {
        host.assign(text, std::min<std::size_t>(length, sizeof(pHslpConfig->SuplHslp) - 1));
        port = kDefaultSuplPort;
    }

    std::string command;
    if (FAILED(ComposeXLCSSLP(command, host.c_str(), port.c_str()))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLCSSLP FAILED", TAG_MODEM, __func__);
        return 0;
    }
    if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSSLP) FAILED", TAG_MODEM, __func__);
        return 0;
    }
    return 1;
}

BOOL ProcessSetSuplVersion(const GNSS_SUPL_VERSION* pSuplVersion) {
    if (pSuplVersion == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pSuplVersion=%p", TAG_MODEM,
                __func__, static_cast<const void*>(pSuplVersion));
        return 0;
    }
    std::string command;
    if (FAILED(ComposeXLCSSUPLVER(command, pSuplVersion->MajorVersion))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLCSSUPLVER FAILED", TAG_MODEM, __func__);
        return 0;
    }
    if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSSUPLVER) FAILED", TAG_MODEM,
                __func__);
        return 0;
    }
    return 1;
}

BOOL ProcessSetCertificate(const GNSS_SUPL_CERT_CONFIG* pCertConfig) {
    if (pCertConfig == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pCertConfig=%p", TAG_MODEM,
                __func__, static_cast<const void*>(pCertConfig));
        return 0;
    }
    const ULONG certSize = pCertConfig->CertSize;
    if (certSize == 0) return 0;

    BOOL bRetVal = 0;
    ULONG pieceNumber = 1;
    for (std::size_t offset = 0; offset < certSize; offset += kCertificatePieceSize, ++pieceNumber) {
        const std::size_t pieceLength = std::min<std::size_t>(kCertificatePieceSize, certSize - offset);
        // Each piece is taken as text: it ends early at a zero byte.
        char piece[kCertificatePieceSize + 1] = {};
        std::memcpy(piece, pCertConfig->CertData + offset, pieceLength);

        std::string command;
        if (FAILED(ComposeXLTC(command, piece, certSize, pieceNumber))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLTC FAILED", TAG_MODEM, __func__);
            continue;
        }
        if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLTC) FAILED", TAG_MODEM, __func__);
            return 0;
        }
        bRetVal = 1;
    }
    return bRetVal;
}

// ---------------------------------------------------------------------------
// Self-test.

BOOL ProcessSelfTest(const GNSS_SELFTESTCONFIG* pSelfTestData) {
    ENGINE_STATE& engine = Engine();
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ->", TAG_MODEM, __func__);
    BOOL bRetVal = 0;

    if (pSelfTestData == nullptr) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid input param, pSelfTestData=%p, InjectType=%d",
                TAG_MODEM, __func__, static_cast<const void*>(pSelfTestData), 0);
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_MODEM, __func__, bRetVal);
        return bRetVal;
    }

    const ULONG testType = pSelfTestData->TestType;
    GnssLog(GNSS_LEVEL_INFO, "[%s] %s TestType=%d, InBufLen=%d", TAG_MODEM, __func__,
            static_cast<int>(testType), static_cast<int>(pSelfTestData->InBufLen));

    if (testType == 1 || testType == 2) {
        if (testType == 1) {
            // The receiver leaves any running location request for the test mode.
            for (int run = 0; run < 5 && engine.m_ModemSessionParam.bSessionInUse == 1; ++run) {
                if (GetGNSSChip() == GNSS_CHIP_PV7710)
                    ProcessStopRequestPV7710(nullptr);
                else
                    ProcessStopRequestRXA7300(nullptr);
            }
        }
        std::string command;
        if (FAILED(ComposeGTIProdTest(command, testType == 1 ? 1 : 0))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeGTIProdTest FAILED", TAG_MODEM, __func__);
        } else if (FAILED(SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(PRODMODE) FAILED", TAG_MODEM,
                    __func__);
        } else {
            engine.m_bProdTestMode = testType == 1 ? 1 : 0;
            bRetVal = 1;
        }
    } else if (testType == 3) {
        const char* input = reinterpret_cast<const char*>(pSelfTestData->InBuffer);
        const std::string text(input, strnlen(input, pSelfTestData->InBufLen));
        std::string command;
        if (FAILED(ComposeGTISpectrumAnalyzerTest(command, pSelfTestData->InBufLen, text.c_str()))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeGTISpectrumAnalyzerTest FAILED", TAG_MODEM,
                    __func__);
        } else if (FAILED(SendATCmdSync(command, FALSE, INFINITE))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(SPECTRUM) FAILED", TAG_MODEM,
                    __func__);
        } else {
            const std::string result = EngineTakeSpectrumResult() + "\r\nOK\r\n";
            GnssLog(GNSS_LEVEL_INFO, "[%s] %s Scan Spectrum SUCCESS, ResultStringLen=%d", TAG_MODEM,
                    __func__, static_cast<int>(result.size()));
            const GPSCLIENT_CALLBACKS callbacks = ClientCallbacks();
            if (callbacks.pfnSelfTestResultCb == nullptr) {
                GnssLog(GNSS_LEVEL_INFO, "[%s] %s ERROR SelfTestResultCb not Registered", TAG_MODEM,
                        __func__);
            } else {
                // Header, text and its terminating zero; never smaller than the structure.
                const std::size_t totalLength = SELFTEST_RESULT_HEADER_SIZE + result.size() + 1;
                auto* block = static_cast<GNSS_SELFTESTRESULT*>(
                    std::calloc(1, std::max(totalLength, sizeof(GNSS_SELFTESTRESULT))));
                if (block == nullptr) {
                    GnssLog(GNSS_LEVEL_INFO, "[%s] %s ERROR new FAILED", TAG_MODEM, __func__);
                } else {
                    block->Size = sizeof(GNSS_SELFTESTRESULT);
                    block->Version = 3;
                    block->Result = 0;
                    block->OutBufLen = static_cast<ULONG>(result.size() + 1);
                    std::memcpy(block->OutBuffer, result.c_str(), result.size() + 1);
                    GnssLog(GNSS_LEVEL_INFO,
                            "[%s] %s Calling SelfTestResultCb, TotalDataLen=%d, OutBufLen=%d, strerr=%d",
                            TAG_MODEM, __func__, static_cast<int>(totalLength),
                            static_cast<int>(block->OutBufLen), 0);
                    // The block belongs to the driver from here on.
                    callbacks.pfnSelfTestResultCb(block);
                    bRetVal = 1;
                }
            }
        }
    }

    GnssLog(GNSS_LEVEL_INFO, "[%s] %s <- bRetVal=%d", TAG_MODEM, __func__, bRetVal);
    return bRetVal;
}
