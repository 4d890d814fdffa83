// The feature work: assistance data, network-initiated request answers, time
// injection, SUPL settings, SUPL provisioning from the SIM and the self-test.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "EngineHarness.h"
#include "TempDir.h"
#include "gnss/platform/time.h"
#include "gnss_driver_version.h"
#include "supl/SUPLConfiguration.h"

using gnss::test::EngineTest;
using gnss::test::TempDir;

namespace {

using Features = EngineTest;
using Lines = std::vector<std::string>;

Lines Normalised(const Lines& commands) {
    Lines out;
    for (const auto& command : commands)
        out.push_back(command.rfind("AT+CCLK=", 0) == 0 ? "AT+CCLK" : command);
    return out;
}

GNSS_SUPL_HSLP_CONFIG Hslp(const char* text) {
    GNSS_SUPL_HSLP_CONFIG config{};
    config.Size = sizeof config;
    config.Version = 3;
    std::strncpy(config.SuplHslp, text, sizeof config.SuplHslp - 1);
    return config;
}

// A self-test configuration with room for `input` and its zero byte.
std::vector<BYTE> SelfTestConfig(ULONG type, const std::string& input) {
    std::vector<BYTE> buffer(sizeof(GNSS_SELFTESTCONFIG) + input.size() + 1);
    auto* config = reinterpret_cast<GNSS_SELFTESTCONFIG*>(buffer.data());
    config->Size = static_cast<ULONG>(buffer.size());
    config->Version = 3;
    config->TestType = type;
    config->InBufLen = input.empty() ? 0 : static_cast<ULONG>(input.size() + 1);
    std::memcpy(config->InBuffer, input.c_str(), input.size() + 1);
    return buffer;
}

// `length` letters, A to Z over and over.
std::string Letters(std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('A' + i % 26);
    return text;
}

// A SUPL configuration file: a default entry, and the entry of the operator
// 001 01 with `certificates`.
std::string Configuration(const std::vector<std::string>& certificates) {
    std::string text =
        "<?xml version='1.0'?>\n"
        "<!DOCTYPE GNSSDriverSUPLInfo [\n"
        "<!ELEMENT GNSSDriverSUPLInfo (SUPL+)>\n"
        "<!ELEMENT SUPL (Supl_Ver_Info, Supl_Apn_Name, SuplServer)>\n"
        "<!ATTLIST SUPL SID ID #REQUIRED>\n"
        "<!ELEMENT Supl_Ver_Info (#PCDATA)>\n"
        "<!ELEMENT Supl_Apn_Name (#PCDATA)>\n"
        "<!ELEMENT SuplServer (Supl_Address_type, Supl_Address, Supl_Port_Number, Supl_Certificate*)>\n"
        "<!ELEMENT Supl_Address_type (#PCDATA)>\n"
        "<!ELEMENT Supl_Address (#PCDATA)>\n"
        "<!ELEMENT Supl_Port_Number (#PCDATA)>\n"
        "<!ELEMENT Supl_Certificate (#PCDATA)>\n"
        "]>\n"
        "<GNSSDriverSUPLInfo>\n"
        "<SUPL SID='_Default'><Supl_Ver_Info>1</Supl_Ver_Info><Supl_Apn_Name>default.apn</Supl_Apn_Name>"
        "<SuplServer><Supl_Address_type>1</Supl_Address_type><Supl_Address>default.example</Supl_Address>"
        "<Supl_Port_Number>7275</Supl_Port_Number></SuplServer></SUPL>\n"
        "<SUPL SID='_00101'><Supl_Ver_Info>2</Supl_Ver_Info><Supl_Apn_Name>apn.test</Supl_Apn_Name>"
        "<SuplServer><Supl_Address_type>1</Supl_Address_type><Supl_Address>supl.test.example</Supl_Address>"
        "<Supl_Port_Number>7280</Supl_Port_Number>";
    for (const auto& certificate : certificates)
        text += "<Supl_Certificate>" + certificate + "</Supl_Certificate>";
    return text + "</SuplServer></SUPL>\n</GNSSDriverSUPLInfo>\n";
}

// Writes `text` as the configuration file beside a driver module in `dir`,
// the module the engine takes itself to be loaded from.
void InstallConfiguration(const TempDir& dir, const std::string& text) {
    std::ofstream(dir.File("GNSSDriverSUPLInfo-DTD.xml"), std::ios::trunc) << text;
    SUPLConfiguration::SetModulePathForTest(dir.File(GNSS_DRIVER_MODULE_FILE_NAME));
}

const GNSS_SELFTESTCONFIG* AsSelfTest(const std::vector<BYTE>& buffer) {
    return reinterpret_cast<const GNSS_SELFTESTCONFIG*>(buffer.data());
}

}  // namespace

TEST_F(Features, ClearingAssistanceDataSendsTheMaskOfTheValue) {
    StartEngine("chip=rxa7300");
    const std::pair<LONG, std::string> cases[] = {
        {3, "AT+XLGNVRAM=121,0"}, {0, "AT+XLGNVRAM=127,0"}, {1, "AT+XLGNVRAM=4,0"},
        {257, "AT+XLGNVRAM=1,0"}, {261, "AT+XLGNVRAM=64,0"}};
    for (const auto& [value, command] : cases) {
        const std::size_t before = Commands().size();
        RunEvent(CLEAR_ASSISTANCE, [value = value] { EXPECT_EQ(atclient_ClearAgnssData(value), 1); });
        EXPECT_EQ(CommandsFrom(before), (Lines{command})) << value;
    }
    EXPECT_EQ(atclient_ClearAgnssData(264), 0);
    EXPECT_EQ(atclient_ClearAgnssData(4), 0);
    Marker();
    EXPECT_EQ(CountCommands("AT+XLGNVRAM"), 5u);
    EXPECT_EQ(Modem().Settings().nvramClears, (std::vector<unsigned>{121, 127, 4, 1, 64}));
}

TEST_F(Features, ClearingDuringATrackingSessionStopsAndRestartsIt) {
    StartEngine("chip=rxa7300,ttff=3600");
    RadioOn();
    StartTracking(1, 10);
    const unsigned first = Modem().Status().requestId;
    const std::size_t before = Commands().size();
    RunEvent(CLEAR_ASSISTANCE, [] { atclient_ClearAgnssData(1); });
    EXPECT_EQ(CommandsFrom(before), (Lines{"AT+XLSRSTOP=0," + std::to_string(first), "AT+XLGNVRAM=4,0",
                                           "AT+XLCSLSR=1,1,,,,,10,,,"}));
    EXPECT_EQ(Engine().m_ModemSessionParam.SessionID, Modem().Status().requestId);
    EXPECT_TRUE(Modem().Status().requestActive);
}

TEST_F(Features, NetworkInitiatedAnswers) {
    StartEngine("chip=rxa7300");
    GNSS_NI_RESPONSE response{sizeof(GNSS_NI_RESPONSE), 3, 7, GNSS_Ni_UserResponseAccept};
    RunEvent(NI_RESPONSE, [&response] { EXPECT_EQ(atclient_NiResponse(&response), 1); });
    response.UserResponse = GNSS_Ni_UserResponseDeny;
    RunEvent(NI_RESPONSE, [&response] { EXPECT_EQ(atclient_NiResponse(&response), 1); });
    response.UserResponse = GNSS_Ni_UserResponseTimeout;
    RunEvent(NI_RESPONSE, [&response] { EXPECT_EQ(atclient_NiResponse(&response), 1); });

    EXPECT_EQ(Commands(), (Lines{"AT+XLCSLRMT=1,7", "AT+XLCSLRMT=0,7"}));
    EXPECT_EQ(Log().Count("ProcessNiResponse WARNING: NI Request TIMEOUT, No AT Command"), 1u);
    ASSERT_EQ(Modem().Settings().niAnswers.size(), 2u);
    EXPECT_EQ(Modem().Settings().niAnswers[0].verdict, 1);
    EXPECT_EQ(Modem().Settings().niAnswers[1].verdict, 0);
}

TEST_F(Features, TimeInjectionSetsTheModemClock) {
    StartEngine("chip=rxa7300");
    GNSS_AGNSS_INJECT inject{};
    inject.Size = sizeof inject;
    inject.Version = 3;
    inject.InjectionType = GNSS_AGNSS_TimeInjection;
    inject.InjectionStatus = STATUS_SUCCESS;
    const SYSTEMTIME given{2024, 3, 0, 5, 7, 8, 9, 0};
    ASSERT_TRUE(gnss::os::SystemTimeToFileTime(&given, &inject.Time.UtcTime));
    RunEvent(INJECT_ASSISTANCE, [&inject] { EXPECT_EQ(atclient_InjectAssistance(&inject), 1); });
    EXPECT_EQ(Commands(), (Lines{"AT+CCLK=\"24/3/5,7:8:9\""}));

    // A status that is not success but not negative either: the current time.
    inject.InjectionStatus = STATUS_PENDING;
    SYSTEMTIME before{};
    gnss::os::GetSystemTime(&before);
    RunEvent(INJECT_ASSISTANCE, [&inject] { EXPECT_EQ(atclient_InjectAssistance(&inject), 1); });
    SYSTEMTIME after{};
    gnss::os::GetSystemTime(&after);
    ASSERT_EQ(Commands().size(), 2u);
    const auto clock = Modem().Settings().clock;
    ASSERT_TRUE(clock.has_value());
    EXPECT_TRUE(clock->year == before.wYear % 100 || clock->year == after.wYear % 100);
    EXPECT_TRUE(clock->day == before.wDay || clock->day == after.wDay);

    // A failed injection and other kinds send nothing.
    inject.InjectionStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(atclient_InjectAssistance(&inject), 1);
    inject.InjectionType = GNSS_AGNSS_PositionInjection;
    inject.InjectionStatus = STATUS_SUCCESS;
    EXPECT_EQ(atclient_InjectAssistance(&inject), 0);
    Marker();
    EXPECT_EQ(CountCommands("AT+CCLK"), 2u);
    EXPECT_EQ(Log().Count("GNSS_AGNSS_TimeInjection Data incorrect"), 1u);
}

TEST_F(Features, SuplServerVersionAndCertificate) {
    StartEngine("chip=rxa7300");
    GNSS_SUPL_HSLP_CONFIG hslp = Hslp("supl.example.org:7276");
    RunEvent(SET_SUPL_SERVER, [&hslp] { EXPECT_EQ(atclient_SetHslpAddress(&hslp), 1); });
    hslp = Hslp("supl.example.org");
    RunEvent(SET_SUPL_SERVER, [&hslp] { EXPECT_EQ(atclient_SetHslpAddress(&hslp), 1); });
    hslp = Hslp("10.0.0.1:7275");
    RunEvent(SET_SUPL_SERVER, [&hslp] { EXPECT_EQ(atclient_SetHslpAddress(&hslp), 1); });
    EXPECT_EQ(Log().Count("ProcessSetSuplServer ERROR: Invalid HSLP"), 1u);
    EXPECT_EQ(Modem().Settings().suplPort, "7275");

    GNSS_SUPL_VERSION version{1, 0};
    RunEvent(SET_SUPL_VERSION, [&version] { EXPECT_EQ(atclient_SetSuplVersion(&version), 1); });

    // 301 bytes go out in two pieces, numbered 1 and 2, each with the total.
    std::string certificate;
    for (int i = 0; i < 301; ++i) certificate += static_cast<char>('A' + i % 26);
    std::vector<BYTE> buffer(sizeof(GNSS_SUPL_CERT_CONFIG) + certificate.size());
    auto* cert = reinterpret_cast<GNSS_SUPL_CERT_CONFIG*>(buffer.data());
    cert->Size = sizeof(GNSS_SUPL_CERT_CONFIG);
    cert->Version = 3;
    cert->CertAction = GNSS_Supl_Cert_Inject;
    cert->CertSize = static_cast<ULONG>(certificate.size());
    std::memcpy(cert->CertData, certificate.data(), certificate.size());
    RunEvent(SET_CERTIFICATE, [cert] { EXPECT_EQ(atclient_SetCertificate(cert), 1); });

    EXPECT_EQ(Commands(), (Lines{"AT+XLCSSLP=1,\"supl.example.org\",7276", "AT+XLCSSLP=1,\"supl.example.org\",7275",
                                 "AT+XLCSSUPLVER=1",
                                 "AT+XLTC=\"" + certificate.substr(0, 300) + "\",301,1,0",
                                 "AT+XLTC=\"" + certificate.substr(300) + "\",301,2,0"}));
    const auto settings = Modem().Settings();
    ASSERT_EQ(settings.certificates.size(), 1u);
    EXPECT_TRUE(settings.certificates[0].complete);
    EXPECT_EQ(settings.certificates[0].text, certificate);
}

TEST_F(Features, ProvisioningWithoutASimStopsAfterTheImsi) {
    StartEngine("chip=rxa7300,ttff=3600,sim=off");
    RadioOn();
    StartSingleShot(1);
    EXPECT_EQ(Normalised(CommandsFrom(3)), (Lines{"AT+XLCSSWITCH?", "AT+XLCSLRMT?", "AT+XLCSLRMT=0", "AT+CCLK",
                                                  "AT+CIMI", "AT+XLCSLSR=1,1,,,,,1,,,"}));
    EXPECT_EQ(Log().Count("HelperUpdateSuplConfigPV7710 ERROR: Invalid SIM"), 1u);
}

TEST_F(Features, ProvisioningSendsTheOperatorSettingsOnce) {
    TempDir dir;
    const std::string certificate = "-----BEGIN TEST CERTIFICATE-----MIIBtest-----END TEST CERTIFICATE-----";
    // The longest certificate the modem takes goes out in pieces of 300.
    const std::string longest = Letters(4094);
    InstallConfiguration(dir, Configuration({certificate, longest}));

    StartEngine("chip=rxa7300,ttff=3600,imsi=001010123456789,mnc=2");
    RadioOn();
    StartSingleShot(1);
    const std::string total = std::to_string(certificate.size());
    Lines expected{"AT+XLCSSWITCH?", "AT+XLCSLRMT?", "AT+XLCSLRMT=0", "AT+CCLK", "AT+CIMI",
                   "AT+CRSM=176,28589,131,3,1", "AT+XLCSTER=1",
                   "AT+XLCSSLP=1,\"supl.test.example\",7280", "AT+XLCSSUPLVER=2",
                   "AT+XLTC=\"" + certificate + "\"," + total + ",1,0"};
    for (std::size_t piece = 0; piece * 300 < longest.size(); ++piece)
        expected.push_back("AT+XLTC=\"" + longest.substr(piece * 300, 300) + "\",4094," +
                           std::to_string(piece + 1) + ",0");
    ASSERT_EQ(expected.size(), 10u + 14u);
    expected.insert(expected.end(), {"AT+XLCSSTOREAPN=\"apn.test\"", "AT+XLCSLSR=1,1,,,,,1,,,"});
    EXPECT_EQ(Normalised(CommandsFrom(3)), expected);
    EXPECT_EQ(Log().Count("HelperUpdateSuplConfigPV7710 ulCertSize=4095"), 1u);
    EXPECT_EQ(Modem().Settings().apn, "apn.test");
    const auto certificates = Modem().Settings().certificates;
    ASSERT_EQ(certificates.size(), 2u);
    EXPECT_TRUE(certificates[1].complete);
    EXPECT_EQ(certificates[1].text, longest);
    StopSession(1);

    // Done until the modem starts afresh: the next request only checks.
    const std::size_t before = Commands().size();
    StartSingleShot(2);
    EXPECT_EQ(CommandsFrom(before), (Lines{"AT+XLCSLRMT?", "AT+CIMI", "AT+XLCSLSR=1,1,,,,,1,,,"}));
    EXPECT_EQ(Log().Count("SUPL Config Already DONE. IMSI=001010123456789 MCC=001 MNC=01"), 1u);
    EXPECT_EQ(CountCommands("AT+XLCSSTOREAPN"), 1u);
    SUPLConfiguration::SetModulePathForTest("");
}

TEST_F(Features, ProvisioningSendsNoCertificateTheModemCannotTake) {
    TempDir dir;
    // 4095 characters are one too many; above 4096 a certificate counts as empty.
    InstallConfiguration(dir, Configuration({Letters(4095), Letters(4097)}));

    StartEngine("chip=rxa7300,ttff=3600,imsi=001010123456789,mnc=2");
    RadioOn();
    StartSingleShot(1);
    const Lines provisioning{"AT+CRSM=176,28589,131,3,1", "AT+XLCSTER=1",
                             "AT+XLCSSLP=1,\"supl.test.example\",7280", "AT+XLCSSUPLVER=2",
                             "AT+XLCSSTOREAPN=\"apn.test\"", "AT+XLCSLSR=1,1,,,,,1,,,"};
    Lines expected{"AT+XLCSSWITCH?", "AT+XLCSLRMT?", "AT+XLCSLRMT=0", "AT+CCLK", "AT+CIMI"};
    expected.insert(expected.end(), provisioning.begin(), provisioning.end());
    EXPECT_EQ(Normalised(CommandsFrom(3)), expected);
    Lines sizes;
    for (const auto& line : Log().Matching("HelperUpdateSuplConfigPV7710 ulCertSize="))
        sizes.push_back(line.substr(line.find("ulCertSize=")));
    EXPECT_EQ(sizes, (Lines{"ulCertSize=4096", "ulCertSize=1"}));
    EXPECT_EQ(Log().Count("HelperUpdateSuplConfigPV7710 ERROR: Invalid Certificate Length"), 1u);
    // The one counted as empty gets as far as the modem's command, which has nothing to carry.
    EXPECT_EQ(Log().Count("HelperUpdateSuplConfigPV7710 ERROR: ProcessSetCertificate FAILED"), 1u);
    EXPECT_TRUE(Modem().Settings().certificates.empty());
    StopSession(1);

    // No certificate went out, so the provisioning is not done: all of it again.
    const std::size_t before = Commands().size();
    StartSingleShot(2);
    expected = {"AT+XLCSLRMT?", "AT+CIMI"};
    expected.insert(expected.end(), provisioning.begin(), provisioning.end());
    EXPECT_EQ(CommandsFrom(before), expected);
    EXPECT_EQ(Log().Count("SUPL Config Already DONE"), 0u);
    EXPECT_EQ(CountCommands("AT+XLTC"), 0u);
    SUPLConfiguration::SetModulePathForTest("");
}

TEST_F(Features, AConfigurationFileThatFailedToLoadIsNotReadAgain) {
    TempDir dir;
    InstallConfiguration(dir, "<GNSSDriverSUPLInfo><SUPL SID='_00101'>");

    StartEngine("chip=rxa7300,ttff=3600,imsi=001010123456789,mnc=2");
    RadioOn();
    StartSingleShot(1);
    EXPECT_EQ(Log().Count("HelperUpdateSuplConfigPV7710 ERROR: Invalid XML File"), 1u);
    StopSession(1);

    // A good file now: the engine does not look at it.
    InstallConfiguration(dir, Configuration({"certificate"}));
    const std::size_t before = Commands().size();
    StartSingleShot(2);
    EXPECT_EQ(CommandsFrom(before), (Lines{"AT+XLCSLRMT?", "AT+CIMI", "AT+CRSM=176,28589,131,3,1",
                                           "AT+XLCSTER=1", "AT+XLCSLSR=1,1,,,,,1,,,"}));
    EXPECT_EQ(Log().Count("HelperUpdateSuplConfigPV7710 ERROR: Invalid XML File"), 2u);
    EXPECT_EQ(Log().Count("SUPLConfiguration::ReadXML ->"), 1u);
    SUPLConfiguration::SetModulePathForTest("");
}

TEST_F(Features, SelfTestModesAndSpectrumScan) {
    // Without echo: in test mode every unknown line counts as scan output.
    StartEngine("chip=rxa7300,echo=off");
    const auto scan = SelfTestConfig(3, "scan");

    // Outside the test mode the modem refuses the scan: no result.
    RunEvent(SELF_TEST, [&scan] { EXPECT_EQ(atclient_SelfTest(AsSelfTest(scan)), 1); });
    EXPECT_EQ(Log().Count("ProcessSelfTest ERROR: SendATCmdSync(SPECTRUM) FAILED"), 1u);

    const auto on = SelfTestConfig(1, "");
    RunEvent(SELF_TEST, [&on] { EXPECT_EQ(atclient_SelfTest(AsSelfTest(on)), 1); });
    EXPECT_EQ(Engine().m_bProdTestMode, 1u);
    EXPECT_TRUE(Modem().Status().productionTestMode);

    RunEvent(SELF_TEST, [&scan] { EXPECT_EQ(atclient_SelfTest(AsSelfTest(scan)), 1); });
    ASSERT_TRUE(WaitRecord([](const auto& record) { return !record.selfTestResults.empty(); }));
    const auto results = Record().selfTestResults;
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].size, sizeof(GNSS_SELFTESTRESULT));
    EXPECT_EQ(results[0].version, 3u);
    EXPECT_EQ(results[0].outBufLen, results[0].text.size() + 1);
    EXPECT_NE(results[0].text.find("spectrum analyzer scan \"scan\"\r\n"), std::string::npos);
    ASSERT_GE(results[0].text.size(), 6u);
    EXPECT_EQ(results[0].text.substr(results[0].text.size() - 6), "\r\nOK\r\n");

    const auto off = SelfTestConfig(2, "");
    RunEvent(SELF_TEST, [&off] { EXPECT_EQ(atclient_SelfTest(AsSelfTest(off)), 1); });
    EXPECT_EQ(Engine().m_bProdTestMode, 0u);

    // A scan without input and unknown types are refused at once.
    EXPECT_EQ(atclient_SelfTest(AsSelfTest(SelfTestConfig(3, ""))), 0);
    EXPECT_EQ(atclient_SelfTest(AsSelfTest(SelfTestConfig(4, "x"))), 0);
    EXPECT_EQ(Commands(), (Lines{"at@gnss:npt_spect_ana_string_cmd(1,5,\"scan\")", "at@gnss:prod_test_snr_mode_set(1)",
                                 "at@gnss:npt_spect_ana_string_cmd(1,5,\"scan\")", "at@gnss:prod_test_snr_mode_set(0)"}));
}
