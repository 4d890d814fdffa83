// SUPL provisioning from the SIM: before a location request the modem's SUPL
// client gets the settings of the operator whose SIM is inserted, taken from
// the SUPL configuration file.  Once a certificate has gone out the work
// counts as done until the modem reports a fresh start.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Trace.h"
#include "at/AtCommands.h"
#include "engine/Engine.h"
#include "supl/SUPLConfiguration.h"

namespace {

// Set when a certificate from the configuration has been sent; cleared on a fresh start.
std::atomic<DWORD> g_bSuplConfigDone{0};

constexpr std::size_t kMaxCertificateLength = 4096;
constexpr std::size_t kRefusedCertificateLength = 4095;

bool IsImsiLength(std::size_t length) { return length == 14 || length == 15; }

void LogConfiguration(const SUPLConfiguration& config, const char* format, const char* function) {
    GnssLog(GNSS_LEVEL_INFO, format, TAG_MODEM, function, config.m_strSupl_IMSI.c_str(),
            config.m_strSupl_MCC.c_str(), config.m_strSupl_MNC.c_str(),
            config.m_strSupl_Address_type.c_str(), config.m_strSupl_Address.c_str(),
            config.m_strSupl_Port_Number.c_str(), config.m_strSupl_Ver_Info.c_str(),
            config.m_strSupl_Apn_Name.c_str());
}

// Sends the certificates of the configuration; returns the last result.
BOOL SendCertificates(SUPLConfiguration& config, BOOL result, const char* function) {
    for (std::size_t index = 0; index < config.m_strSupl_Certificate.size(); ++index) {
        const std::size_t entryLength = config.m_strSupl_Certificate[index].size();
        const std::size_t size = entryLength > kMaxCertificateLength ? 0 : entryLength;
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s ulCertSize=%d", TAG_MODEM, function, static_cast<int>(size + 1));
        if (size >= kRefusedCertificateLength) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid Certificate Length", TAG_MODEM, function);
            continue;
        }
        const std::size_t blockSize = SUPL_CERT_HEADER_SIZE + size + 1;
        auto* cert = static_cast<GNSS_SUPL_CERT_CONFIG*>(
            std::calloc(1, std::max(blockSize, sizeof(GNSS_SUPL_CERT_CONFIG))));
        if (cert == nullptr) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Memory allocation FAILED", TAG_MODEM, function);
            continue;
        }
        cert->Size = sizeof(GNSS_SUPL_CERT_CONFIG);
        cert->Version = 3;
        cert->CertAction = GNSS_Supl_Cert_Inject;
        cert->SuplCertName[0] = '\0';
        cert->CertSize = static_cast<ULONG>(size);

        if (!NT_SUCCESS(config.GetSUPLCert(static_cast<ULONG>(index), cert))) {
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: IGetSUPLCert FAILED", TAG_MODEM, function);
            result = 0;
        } else {
            result = ProcessSetCertificate(cert);
            if (result)
                g_bSuplConfigDone = 1;
            else
                GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ProcessSetCertificate FAILED", TAG_MODEM,
                        function);
        }
        std::free(cert);
    }
    return result;
}

}  // namespace

void HelperGetImsi(std::string& strImsi) {
    std::string command;
    const HRESULT composed = ComposeCIMI(command);
    if (FAILED(composed)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeCIMI FAILED. hr=0x%X", TAG_MODEM, __func__,
                static_cast<unsigned>(composed));
    } else {
        EngineClearImsi();
        const HRESULT hr = SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS);
        if (FAILED(hr))
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(CIMI) FAILED. hr=0x%X", TAG_MODEM,
                    __func__, static_cast<unsigned>(hr));
    }
    strImsi = EngineGetImsi();
}

BOOL HelperUpdateSuplConfigPV7710() {
    ENGINE_STATE& engine = Engine();
    // Created on first use and kept for the module's life.
    static SUPLConfiguration config;

    const bool freshStart = IsFirstLocationRequest() == 1;
    if (freshStart) {
        std::string clock;
        if (FAILED(ComposeCCLK(clock, nullptr)))
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeCCLK FAILED", TAG_MODEM, __func__);
        else if (FAILED(SendATCmdSync(clock, TRUE, AT_ANSWER_TIMEOUT_MS)))
            GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(CCLK) FAILED", TAG_MODEM, __func__);
    }

    std::string imsi;
    HelperGetImsi(imsi);
    if (!IsImsiLength(imsi.size())) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid SIM", TAG_MODEM, __func__);
        return 0;
    }

    if (freshStart) {
        g_bSuplConfigDone = 0;
    } else if (g_bSuplConfigDone) {
        LogConfiguration(config,
                         "[%s] %s SUPL Config Already DONE. IMSI=%s MCC=%s MNC=%s ADRTYPE=%s HSLP=%s "
                         "PORT=%s VER=%s APN=%s",
                         __func__);
        return 0;
    }

    config.m_strSupl_IMSI = imsi;

    std::string command;
    if (FAILED(ComposeCRSM(command))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeCRSM FAILED", TAG_MODEM, __func__);
    } else if (SUCCEEDED(SendATCmdSync(command, TRUE, AT_CRSM_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_INFO, "[%s] %s Info: Settimg m_uiCRSMStatus = %d", TAG_MODEM, __func__,
                static_cast<int>(engine.m_uiCRSMStatus.load()));
        config.m_uiMncLength = engine.m_uiCRSMStatus;
    } else {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(CRSM) FAILED", TAG_MODEM, __func__);
    }

    command.clear();
    HRESULT hr = ComposeXLCSTER(command);
    if (FAILED(hr)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLCSTER FAILED. hr=0x%X", TAG_MODEM, __func__,
                static_cast<unsigned>(hr));
    } else if (FAILED(hr = SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSTER) FAILED. hr=0x%X", TAG_MODEM,
                __func__, static_cast<unsigned>(hr));
    }

    // The file is read once; a file that failed to load is not tried again.
    if (!config.m_bXmlRead && config.m_bXmlReadAllowed) {
        if (SUCCEEDED(config.ReadXML()))
            config.m_bXmlRead = TRUE;
        else
            config.m_bXmlReadAllowed = FALSE;
    }
    if (config.m_bXmlRead != TRUE) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: Invalid XML File", TAG_MODEM, __func__);
        return 0;
    }

    LogConfiguration(config, "[%s] %s IMSI=%s MCC=%s MNC=%s ADRTYPE=%s HSLP=%s PORT=%s VER=%s APN=%s",
                     __func__);

    BOOL result = 0;
    GNSS_SUPL_HSLP_CONFIG hslp{};
    if (FAILED(config.GetHSLPConfig(&hslp))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GetHSLPConfig FAILED", TAG_MODEM, __func__);
        result = 0;
    } else if (!(result = ProcessSetSuplServer(&hslp))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ProcessSetSuplServer FAILED", TAG_MODEM, __func__);
    }

    GNSS_SUPL_VERSION version{};
    if (FAILED(config.GetSUPLVersion(&version))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: GetSUPLVersion FAILED", TAG_MODEM, __func__);
        result = 0;
    } else if (!(result = ProcessSetSuplVersion(&version))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ProcessSetSuplVersion FAILED", TAG_MODEM, __func__);
    }

    result = SendCertificates(config, result, __func__);

    command.clear();
    hr = ComposeXLCSSTOREAPN(command, config.m_strSupl_Apn_Name.c_str());
    if (FAILED(hr)) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: ComposeXLCSSTOREAPN FAILED. hr=0x%X", TAG_MODEM,
                __func__, static_cast<unsigned>(hr));
    } else if (FAILED(hr = SendATCmdSync(command, TRUE, AT_ANSWER_TIMEOUT_MS))) {
        GnssLog(GNSS_LEVEL_ERROR, "[%s] %s ERROR: SendATCmdSync(XLCSSTOREAPN) FAILED. hr=0x%X",
                TAG_MODEM, __func__, static_cast<unsigned>(hr));
    }

    return result;
}
