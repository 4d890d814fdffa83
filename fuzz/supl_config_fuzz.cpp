// Feeds arbitrary bytes to the SUPL operator table reader as the configuration
// file beside the driver module, reads it for a few SIMs, and takes every
// value out through the getters, checking what they hand out.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gnss_driver_version.h"
#include "supl/SUPLConfiguration.h"

namespace {

std::string g_configurationPath;

void RemoveDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(g_configurationPath).parent_path(), ignored);
}

// Once per process: a temporary directory with a file named like the driver
// module, and the reader pointed at it.
void PrepareDirectoryOnce() {
    static const bool prepared = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "supl-config-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        const std::string module = pattern + "/" GNSS_DRIVER_MODULE_FILE_NAME;
        if (FILE* file = std::fopen(module.c_str(), "wb")) std::fclose(file);
        SUPLConfiguration::SetModulePathForTest(module);
        g_configurationPath = SUPLConfiguration::ConfigurationFilePath();
        if (g_configurationPath != pattern + "/GNSSDriverSUPLInfo-DTD.xml") std::abort();
        std::atexit(RemoveDirectory);
        return true;
    }();
    (void)prepared;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

void TakeValues(SUPLConfiguration& config) {
    GNSS_SUPL_HSLP_CONFIG hslp{};
    if (config.GetHSLPConfig(&hslp) == S_OK) {
        Check(hslp.Size == sizeof hslp && hslp.Version == 3);
        Check(std::string(hslp.SuplHslp) ==
              config.m_strSupl_Address + ":" + config.m_strSupl_Port_Number);
    }
    GNSS_SUPL_VERSION version{};
    if (config.GetSUPLVersion(&version) == S_OK) Check(version.MajorVersion <= 2);

    for (ULONG i = 0; i <= config.m_strSupl_Certificate.size(); ++i) {
        const std::size_t size = i < config.m_strSupl_Certificate.size()
                                     ? config.m_strSupl_Certificate[i].size()
                                     : 0;
        if (size > 4096) continue;  // the caller never asks for more
        std::vector<BYTE> buffer(sizeof(GNSS_SUPL_CERT_CONFIG) + size + 1);
        auto* cert = reinterpret_cast<GNSS_SUPL_CERT_CONFIG*>(buffer.data());
        cert->CertSize = static_cast<ULONG>(size);
        if (config.GetSUPLCert(i, cert) == 0) {
            Check(std::memcmp(cert->CertData, config.m_strSupl_Certificate[i].data(), size) == 0);
            Check(cert->CertData[size] == 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PrepareDirectoryOnce();
    FILE* file = std::fopen(g_configurationPath.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    static const struct {
        const char* imsi;
        ULONG mncLength;
    } kSims[] = {{"001010123456789", 2}, {"001012345678901", 0}, {"31026012345678", 3}};
    for (const auto& sim : kSims) {
        SUPLConfiguration config;
        config.m_strSupl_IMSI = sim.imsi;
        config.m_uiMncLength = sim.mncLength;
        const HRESULT hr = config.ReadXML();
        if (hr == E_FAIL) {
            Check(config.m_strSupl_Address.empty() && config.m_strSupl_Certificate.empty());
            continue;
        }
        TakeValues(config);
    }
    return 0;
}
