// The operator table of SUPL settings: the one entry of the SUPL
// configuration file "GNSSDriverSUPLInfo-DTD.xml" (beside the driver module)
// that fits the SIM, chosen by the mobile country and network code taken
// from the IMSI.
//
// The provisioning procedure puts the SIM's IMSI (and the MNC length read
// from the SIM, 0 when unknown) into the object, calls ReadXML once, and then
// takes the values through the getters.
#pragma once

#include <string>
#include <vector>

#include "gnss/platform/types.h"
#include "gnss/protocol/gnss_ddi.h"

class SUPLConfiguration {
public:
    SUPLConfiguration();

    // Reads the entry that fits m_strSupl_IMSI.  Any non-negative result is
    // success (S_FALSE when the fitting element does not exist: the fields
    // stay empty and the getters report the gaps).
    HRESULT ReadXML();
    // Server address and port as "host:port" into SuplHslp (type "1" only).
    HRESULT GetHSLPConfig(GNSS_SUPL_HSLP_CONFIG* pHslpConfig);
    // Major version (capped at 2) and minor version 0.
    HRESULT GetSUPLVersion(GNSS_SUPL_VERSION* pSuplVersion);
    // Certificate number `index` into CertData, bounded by CertSize + 1 bytes.
    NTSTATUS GetSUPLCert(ULONG index, GNSS_SUPL_CERT_CONFIG* pCertConfig);
    // Logs "[XMLCFG] <function> ERROR: <message> <description of hr>".
    static void ReportXmlError(const char* functionName, const char* message, HRESULT hr);

    // The path of the configuration file as ReadXML derives it from the
    // driver module's path (exposed for diagnostics and tests).
    static std::string ConfigurationFilePath();
    // Replaces the module path the lookup starts from (tests only; empty
    // restores the real module path).
    static void SetModulePathForTest(const std::string& path);

    std::string m_strSupl_IMSI;
    std::string m_strSupl_MCC;
    std::string m_strSupl_MNC;
    std::string m_strSupl_Address_type;
    std::string m_strSupl_Address;
    std::string m_strSupl_Port_Number;
    std::string m_strSupl_Ver_Info;
    std::string m_strSupl_Apn_Name;
    std::vector<std::string> m_strSupl_Certificate;
    ULONG m_uiMncLength = 0;
    BOOL m_bXmlRead = FALSE;
    BOOL m_bXmlReadAllowed = TRUE;
};
