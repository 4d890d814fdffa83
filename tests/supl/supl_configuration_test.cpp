#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "Trace.h"
#include "gnss/platform/trace.h"
#include "gnss_driver_version.h"
#include "supl/SUPLConfiguration.h"

using gnss::test::ReadFile;
using gnss::test::TempDir;
namespace trace = gnss::trace;

namespace {

constexpr const char* kDtd = R"(<!DOCTYPE T [
<!ELEMENT T (SUPL|Other)*>
<!ELEMENT Other EMPTY>
<!ATTLIST Other SID CDATA #IMPLIED>
<!ELEMENT SUPL (Supl_Ver_Info|Supl_Apn_Name|SuplServer|Extra)*>
<!ATTLIST SUPL SID CDATA #REQUIRED>
<!ELEMENT SuplServer (Supl_Address_type|Supl_Address|Supl_Port_Number|Supl_Certificate|Extra)*>
<!ELEMENT Supl_Ver_Info (#PCDATA)> <!ELEMENT Supl_Apn_Name (#PCDATA)>
<!ELEMENT Supl_Address_type (#PCDATA)> <!ELEMENT Supl_Address (#PCDATA)>
<!ELEMENT Supl_Port_Number (#PCDATA)> <!ELEMENT Supl_Certificate (#PCDATA)>
<!ELEMENT Extra (#PCDATA)>
)";

// One SUPL element with a server of type 1 on port 7275.
std::string Entry(const std::string& sid, const std::string& address,
                  const std::string& extra = "") {
    return "<SUPL SID='" + sid + "'><Supl_Ver_Info>2</Supl_Ver_Info>" + "<Supl_Apn_Name>apn" + sid +
           "</Supl_Apn_Name><SuplServer>" +
           "<Supl_Address_type>1</Supl_Address_type><Supl_Address>" + address +
           "</Supl_Address><Supl_Port_Number>7275</Supl_Port_Number>" + extra +
           "</SuplServer></SUPL>";
}

std::string Document(const std::string& body, const std::string& declarations = "") {
    return std::string("<?xml version='1.0'?>\n") + kDtd + declarations + "]>\n<T>" + body +
           "</T>\n";
}

class SuplConfiguration : public ::testing::Test {
protected:
    void SetUp() override {
        trace::RegisterControl(GNSS_TRACE_CONTROL_GUID);
        trace::RecorderStart();
        trace::ClearRecorder();
        std::ofstream(dir_.File(GNSS_DRIVER_MODULE_FILE_NAME)) << "module";
        SUPLConfiguration::SetModulePathForTest(dir_.File(GNSS_DRIVER_MODULE_FILE_NAME));
    }
    void TearDown() override {
        SUPLConfiguration::SetModulePathForTest("");
        trace::RecorderStop();
        trace::UnregisterControl();
    }
    void Write(const std::string& xml) {
        std::ofstream(dir_.File("GNSSDriverSUPLInfo-DTD.xml"), std::ios::binary) << xml;
    }
    HRESULT Read(const std::string& imsi, ULONG mncLength = 0) {
        config_.m_strSupl_IMSI = imsi;
        config_.m_uiMncLength = mncLength;
        return config_.ReadXML();
    }
    std::string Hslp() {
        GNSS_SUPL_HSLP_CONFIG hslp{};
        return SUCCEEDED(config_.GetHSLPConfig(&hslp)) ? hslp.SuplHslp : "(failed)";
    }
    static bool Logged(const std::string& text) {
        return trace::RecorderSnapshot().find(text) != std::string::npos;
    }

    TempDir dir_;
    SUPLConfiguration config_;
};

TEST_F(SuplConfiguration, OperatorCodeFollowsImsiAndMncLength) {
    Write(Document(Entry("_00101", "two.invalid") + Entry("_001012", "three.invalid")));
    struct Case {
        const char* imsi;
        ULONG mncLength;
        const char* mnc;
        const char* hslp;
    } cases[] = {{"001012345678901", 2, "01", "two.invalid:7275"},
                 {"001012345678901", 0, "012", "three.invalid:7275"},
                 {"001012345678901", 3, "012", "three.invalid:7275"},
                 {"00101234567890", 3, "01", "two.invalid:7275"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.imsi) + " mnc length " + std::to_string(c.mncLength));
        EXPECT_EQ(Read(c.imsi, c.mncLength), S_FALSE);
        EXPECT_EQ(config_.m_strSupl_MCC, "001");
        EXPECT_EQ(config_.m_strSupl_MNC, c.mnc);
        EXPECT_EQ(Hslp(), c.hslp);
    }
}

TEST_F(SuplConfiguration, FittingSidWithoutItsElementLeavesEveryValueEmpty) {
    Write(Document(Entry("_00101", "two.invalid", "<Supl_Certificate>c</Supl_Certificate>") +
                   Entry("_Default", "default.invalid")));
    config_.m_strSupl_Address = "stale";
    config_.m_strSupl_Certificate = {"stale"};
    EXPECT_EQ(Read("001012345678901", 0), S_FALSE);
    EXPECT_EQ(config_.m_strSupl_MNC, "012");
    EXPECT_EQ(config_.m_strSupl_Address, "");
    EXPECT_EQ(config_.m_strSupl_Address_type, "");
    EXPECT_EQ(config_.m_strSupl_Apn_Name, "");
    EXPECT_TRUE(config_.m_strSupl_Certificate.empty());
    EXPECT_TRUE(
        Logged("L2 [XMLCFG] SUPLConfiguration::ReadXML ERROR: Error while calling "
               "selectSingleNode. Error: "));
}

TEST_F(SuplConfiguration, DefaultEntryWhenNoSidFits) {
    Write(Document(Entry("_00101", "two.invalid") + Entry("_Default", "default.invalid")));
    EXPECT_EQ(Read("262021234567890", 2), S_FALSE);
    EXPECT_EQ(Hslp(), "default.invalid:7275");
    EXPECT_EQ(config_.m_strSupl_Apn_Name, "apn_Default");
    EXPECT_EQ(config_.m_strSupl_MCC + config_.m_strSupl_MNC, "");
    EXPECT_TRUE(Logged("ERROR: Can not Find correct MCC/MNC from XML Error: "));
}

TEST_F(SuplConfiguration, SidOfOnlyUnderscoresAnywhereFitsEveryImsi) {
    Write(Document("<Other SID='___'/>" + Entry("_99999", "nine.invalid") +
                   Entry("_Default", "default.invalid")));
    EXPECT_EQ(Read("999991234567890", 2), S_FALSE);
    EXPECT_EQ(Hslp(), "nine.invalid:7275");
}

TEST_F(SuplConfiguration, ValuesByLocalNameLastWinsCertificatesAccumulate) {
    Write(
        Document("<SUPL SID='_00101'><Supl_Ver_Info>1</Supl_Ver_Info><Extra>x</Extra>"
                 "<Supl_Apn_Name>caf\xC3\xA9</Supl_Apn_Name>"
                 "<SuplServer><Supl_Address>first.invalid</Supl_Address>"
                 "<Supl_Address>&host;</Supl_Address><Supl_Port_Number>7276</Supl_Port_Number>"
                 "<Supl_Address_type>1</Supl_Address_type>"
                 "<Supl_Certificate>A</Supl_Certificate></SuplServer>"
                 "<SuplServer><Supl_Certificate>B</Supl_Certificate></SuplServer></SUPL>",
                 "<!ENTITY host 'second.invalid'>"));
    EXPECT_EQ(Read("00101123456789"), S_FALSE);
    EXPECT_EQ(Hslp(), "second.invalid:7276");
    EXPECT_EQ(config_.m_strSupl_Apn_Name, "caf\xC3\xA9");
    EXPECT_EQ(config_.m_strSupl_Certificate, (std::vector<std::string>{"A", "B"}));
}

TEST_F(SuplConfiguration, CertificatesByIndex) {
    const std::string big(4097, 'z');
    config_.m_strSupl_Certificate = {"first", "second", big};
    std::vector<BYTE> buffer(sizeof(GNSS_SUPL_CERT_CONFIG) + 4100, 0xAA);
    auto* cert = reinterpret_cast<GNSS_SUPL_CERT_CONFIG*>(buffer.data());
    auto data = [&] { return std::string(reinterpret_cast<const char*>(cert->CertData)); };

    for (ULONG i = 0; i < 2; ++i) {
        cert->CertSize = static_cast<ULONG>(config_.m_strSupl_Certificate[i].size());
        EXPECT_EQ(config_.GetSUPLCert(i, cert), 0);
        EXPECT_EQ(data(), config_.m_strSupl_Certificate[i]);
    }
    cert->CertSize = 3;  // bounded by CertSize + 1 bytes
    cert->CertData[4] = 0xAA;
    EXPECT_EQ(config_.GetSUPLCert(0, cert), 0);
    EXPECT_EQ(data(), "fir");
    EXPECT_EQ(cert->CertData[4], 0xAA);
    cert->CertSize = 4096;
    EXPECT_EQ(config_.GetSUPLCert(2, cert), 0);
    EXPECT_EQ(data(), "");

    EXPECT_EQ(config_.GetSUPLCert(3, cert), HRESULT_NT_INVALID_PARAMETER);
    EXPECT_TRUE(Logged("SUPLConfiguration::GetSUPLCert ERROR: m_strSupl_Certificate is empty "));
    cert->CertSize = 4097;
    EXPECT_EQ(config_.GetSUPLCert(0, cert), HRESULT_NT_INVALID_PARAMETER);
    EXPECT_EQ(config_.GetSUPLCert(0, nullptr), HRESULT_NT_INVALID_PARAMETER);
}

TEST_F(SuplConfiguration, HslpNeedsTypeOneAnAddressAndRoom) {
    GNSS_SUPL_HSLP_CONFIG hslp{};
    std::strcpy(hslp.SuplHslpFromImsi, "untouched");
    config_.m_strSupl_Address_type = "0";
    config_.m_strSupl_Address = "host.invalid";
    config_.m_strSupl_Port_Number = "7275";
    EXPECT_EQ(config_.GetHSLPConfig(&hslp), E_FAIL);
    EXPECT_TRUE(Logged("GetHSLPConfig ERROR: Error while Creating \"XLCSSLP\" Cpmmand  "));

    config_.m_strSupl_Address_type = "1";
    EXPECT_EQ(config_.GetHSLPConfig(&hslp), S_OK);
    EXPECT_EQ(hslp.Size, 1044u);
    EXPECT_EQ(hslp.Version, 3u);
    EXPECT_STREQ(hslp.SuplHslp, "host.invalid:7275");
    EXPECT_STREQ(hslp.SuplHslpFromImsi, "untouched");

    config_.m_strSupl_Address = std::string(254, 'h');  // 254 + ":" + 4 = 259: fits
    EXPECT_EQ(config_.GetHSLPConfig(&hslp), S_OK);
    EXPECT_EQ(std::strlen(hslp.SuplHslp), 259u);
    config_.m_strSupl_Address += 'h';
    hslp.SuplHslp[0] = 'K';
    EXPECT_EQ(config_.GetHSLPConfig(&hslp), E_INVALIDARG);
    EXPECT_EQ(hslp.SuplHslp[0], 'K');
    EXPECT_TRUE(Logged("are 260 characters with the colon; SuplHslp holds at most 259."));

    config_.m_strSupl_Address.clear();
    EXPECT_EQ(config_.GetHSLPConfig(&hslp), E_INVALIDARG);
    EXPECT_TRUE(
        Logged("ERROR: slp_address is a mandatory parameter if m_strSupl_Address_type "
               "is \"0\" or \"1\"  "));
    EXPECT_EQ(config_.GetHSLPConfig(nullptr), E_INVALIDARG);
}

TEST_F(SuplConfiguration, VersionTextReadLikeAtoiAndCapped) {
    const std::pair<const char*, ULONG> cases[] = {
        {"3", 2}, {"1", 1}, {"x", 0}, {" 2", 2}, {"-1", 2}, {"99999999999999999999", 2}};
    for (const auto& [text, major] : cases) {
        config_.m_strSupl_Ver_Info = text;
        GNSS_SUPL_VERSION version{9, 9};
        EXPECT_EQ(config_.GetSUPLVersion(&version), S_OK) << text;
        EXPECT_EQ(version.MajorVersion, major) << text;
        EXPECT_EQ(version.MinorVersion, 0u) << text;
    }
    config_.m_strSupl_Ver_Info.clear();
    GNSS_SUPL_VERSION version{};
    EXPECT_EQ(config_.GetSUPLVersion(&version), E_INVALIDARG);
    EXPECT_TRUE(Logged("GetSUPLVersion ERROR: m_strSupl_Ver_Info is is empty \"0\" or \"1\"  "));
}

TEST_F(SuplConfiguration, ModuleNameIsMatchedCaseSensitively) {
    Write(Document(Entry("_Default", "default.invalid")));
    SUPLConfiguration::SetModulePathForTest(dir_.File("VERUZUVEDAZEDEVA.so"));
    EXPECT_EQ(Read("001011234567890"), E_FAIL);
    EXPECT_TRUE(Logged("L2 XMLCFG Module Name not found"));
    EXPECT_TRUE(Logged("ERROR: Failed to load DOM from GNSSDriverSUPLInfo-DTD.xml. Error: "));
    EXPECT_EQ(config_.m_strSupl_Address, "");

    SUPLConfiguration::SetModulePathForTest(dir_.File(GNSS_DRIVER_MODULE_FILE_NAME));
    EXPECT_EQ(SUPLConfiguration::ConfigurationFilePath(), dir_.File("GNSSDriverSUPLInfo-DTD.xml"));
    EXPECT_EQ(Read("001011234567890"), S_FALSE);
    EXPECT_TRUE(Logged("L4 XMLCFG Module path: WinErr=0x"));
}

TEST_F(SuplConfiguration, BrokenDocumentsFailWithTheParsersReason) {
    const std::pair<std::string, const char*> cases[] = {
        {Document("<SUPL SID='_Default'><Unknown/></SUPL>"),
         "Element SUPL content does not follow the DTD"},
        {"<T><SUPL SID='_Default'/></T>", "no DTD found"},
        {Document("<SUPL SID='_Default'>"), "Premature end of data"},
        {"", "Document is empty"}};
    for (const auto& [xml, reason] : cases) {
        SCOPED_TRACE(reason);
        trace::ClearRecorder();
        Write(xml);
        EXPECT_EQ(Read("001011234567890"), E_FAIL);
        EXPECT_TRUE(Logged("ERROR: Failed to load DOM from GNSSDriverSUPLInfo-DTD.xml. Error: "));
        EXPECT_TRUE(Logged(reason)) << trace::RecorderSnapshot();
    }
    std::remove(dir_.File("GNSSDriverSUPLInfo-DTD.xml").c_str());
    EXPECT_EQ(Read("001011234567890"), E_FAIL);
    EXPECT_TRUE(Logged("No such file or directory"));

    config_.m_strSupl_IMSI.clear();
    EXPECT_EQ(config_.ReadXML(), E_FAIL);
    EXPECT_TRUE(Logged("ERROR: IMSI Value Not Set. Error: "));
}

TEST_F(SuplConfiguration, QuoteInTheKeyIsAnErrorNotAnInjection) {
    Write(Document("<Other SID=''/>" + Entry("_Default", "default.invalid")));
    EXPECT_EQ(Read("00'01234567890"), E_FAIL);
    EXPECT_TRUE(Logged("ERROR: Error while calling selectSingleNode. Error: "));
    EXPECT_EQ(config_.m_strSupl_Address, "");
}

// Nothing outside the document is opened or connected to: not a file named by
// an external entity, an external DTD or a parameter entity, not a URL.
TEST_F(SuplConfiguration, ExternalResourcesAreNeverRead) {
    const std::string secret = dir_.File("secret.txt");
    std::ofstream(secret) << "TOPSECRET";
    const int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(notify, 0);
    ASSERT_GE(inotify_add_watch(notify, secret.c_str(), IN_OPEN | IN_ACCESS), 0);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";

    const std::string entry = Entry("_Default", "&ext;");
    const std::string cases[] = {
        Document(entry, "<!ENTITY ext SYSTEM '" + secret + "'>"),
        Document(entry, "<!ENTITY ext SYSTEM 'secret.txt'>"),
        Document(entry, "<!ENTITY ext SYSTEM '" + url + "'>"),
        Document(Entry("_Default", "d"), "<!ENTITY % p SYSTEM '" + secret + "'> %p;"),
        "<!DOCTYPE T SYSTEM '" + secret + "'><T/>",
        "<!DOCTYPE T SYSTEM '" + url + "'><T/>"};
    for (const std::string& xml : cases) {
        SCOPED_TRACE(xml);
        trace::ClearRecorder();
        Write(xml);
        EXPECT_EQ(Read("001011234567890"), E_FAIL);
        EXPECT_TRUE(Logged("not loaded"));
        EXPECT_FALSE(Logged("TOPSECRET"));
        EXPECT_EQ(config_.m_strSupl_Address, "");
    }
    char events[4096];
    EXPECT_LT(read(notify, events, sizeof events), 0) << "the outside file was opened";
    EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "a connection was made";
    close(listener);
    close(notify);
}

TEST_F(SuplConfiguration, ShippedTableLoads) {
    std::ofstream(dir_.File("GNSSDriverSUPLInfo-DTD.xml"), std::ios::binary)
        << ReadFile(GNSS_SHIPPED_SUPL_CONFIGURATION);
    EXPECT_EQ(Read("001010123456789", 2), S_FALSE);
    EXPECT_EQ(Hslp(), "supl.test.invalid:7275");
    // Each certificate is one line of PEM text: the driver copies it verbatim
    // into AT+XLTC command lines, where a line feed would end the command.
    const auto singleLine = [this] {
        for (const std::string& certificate : config_.m_strSupl_Certificate) {
            EXPECT_EQ(certificate.rfind("-----BEGIN CERTIFICATE-----MII", 0), 0u) << certificate;
            EXPECT_TRUE(certificate.ends_with("-----END CERTIFICATE-----")) << certificate;
            EXPECT_EQ(certificate.find_first_of("\r\n"), std::string::npos) << certificate;
            EXPECT_LT(certificate.size(), 4095u);
        }
    };
    ASSERT_EQ(config_.m_strSupl_Certificate.size(), 2u);
    singleLine();
    EXPECT_EQ(Read("234150123456789", 2), S_FALSE);
    EXPECT_EQ(Hslp(), "supl.google.com:7275");
    EXPECT_EQ(config_.m_strSupl_Certificate.size(), 1u);
    singleLine();
    EXPECT_EQ(Read("310260123456789", 3), S_FALSE);
    EXPECT_EQ(Hslp(), "lbs.geo.t-mobile.com:7275");
}

// Readers on several threads at once, each with its own object.
TEST_F(SuplConfiguration, ConcurrentReadersKeepTheirOwnResults) {
    Write(Document(Entry("_00101", "test.invalid") + Entry("_Default", "default.invalid")));
    auto reader = [](const char* imsi, const char* expected, bool* ok) {
        for (int i = 0; i < 20; ++i) {
            SUPLConfiguration config;
            config.m_strSupl_IMSI = imsi;
            config.m_uiMncLength = 2;
            *ok = *ok && config.ReadXML() == S_FALSE && config.m_strSupl_Address == expected;
        }
    };
    bool ok1 = true, ok2 = true;
    std::thread first(reader, "001011234567890", "test.invalid", &ok1);
    std::thread second(reader, "999991234567890", "default.invalid", &ok2);
    first.join();
    second.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
}

}  // namespace
