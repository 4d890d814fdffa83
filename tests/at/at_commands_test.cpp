#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "AtTestSupport.h"
#include "at/AtCommands.h"

namespace {

using Builder = std::function<HRESULT(std::string&)>;

std::string Built(const Builder& build) {
    std::string out;
    EXPECT_EQ(build(out), S_OK);
    return out;
}

}  // namespace

TEST(AtCommands, Texts) {
    const FILETIME march = gnss::U64ToFileTime(gnss::test::Stamp(2024, 3, 5, 7, 8, 9));
    const FILETIME year2200 = gnss::U64ToFileTime(gnss::test::Stamp(2200, 1, 1, 0, 0, 0));
    const FILETIME invalid = gnss::U64ToFileTime(0x8000000000000000ULL);
    const std::pair<Builder, const char*> cases[] = {
        {[](auto& o) { return ComposeXLCSLSR(o, 1, 1, 30, 2); }, "AT+XLCSLSR=1,1,,,,,30,,,2\r\n"},
        {[](auto& o) { return ComposeXLCSLSR(o, 1, 1, 0, 0); }, "AT+XLCSLSR=1,1,,,,,,,,\r\n"},
        {[](auto& o) { return ComposeXLCSLSR(o, 2, 3, 0, 1); }, "AT+XLCSLSR=2,3,,,,,,,,2\r\n"},
        {[](auto& o) { return ComposeXLCSLSR(o, 1, 0, 5, 3); }, "AT+XLCSLSR=1,0,,,,,5,,,\r\n"},
        // accuracy, response time, second, fourth; on the wire the response time is third
        {[](auto& o) { return ComposeXLCSLQOS(o, 50, 150, 300, 0); },
         "AT+XLCSLQOS=50,300,150,0\r\n"},
        {[](auto& o) { return ComposeXLSRSTOP(o, 0, 7); }, "AT+XLSRSTOP=0,7\r\n"},
        {[](auto& o) { return ComposeXLSRSTOP(o, 5, 0); }, "AT+XLSRSTOP\r\n"},
        {[](auto& o) { return ComposeXLSCSWITCH(o, 1, 2); }, "AT+XLCSSWITCH=1\r\n"},
        {[](auto& o) { return ComposeXLSCSWITCH(o, 0, 3); }, "AT+XLCSSWITCH=0,3\r\n"},
        {[](auto& o) { return ComposeXLSCSWITCH(o, 1, 0); }, "AT+XLCSSWITCH=1,0\r\n"},
        {[](auto& o) { return ComposeXLCSLRMT(o, -1); }, "AT+XLCSLRMT=-1\r\n"},
        {[](auto& o) { return ComposeXLCSLRMT(o, INT_MIN); }, "AT+XLCSLRMT=-2147483648\r\n"},
        {[](auto& o) { return ComposeXLCSLRV(o, 0, 4294967295u); }, "AT+XLCSLRMT=0,4294967295\r\n"},
        {[](auto& o) { return ComposeGTIProdTest(o, -12); },
         "at@gnss:prod_test_snr_mode_set(-12)\r\n"},
        {[](auto& o) { return ComposeGTIProdTest(o, 0); }, "at@gnss:prod_test_snr_mode_set(0)\r\n"},
        {[](auto& o) { return ComposeGTISpectrumAnalyzerTest(o, 9, "scan 1 2"); },
         "at@gnss:npt_spect_ana_string_cmd(1,9,\"scan 1 2\")\r\n"},
        {[](auto& o) { return ComposeXLCSSLP(o, "supl.\"x\".net", "7275"); },
         "AT+XLCSSLP=1,\"supl.\"x\".net\",7275\r\n"},
        {[](auto& o) { return ComposeXLCSSTOREAPN(o, "inter\"net"); },
         "AT+XLCSSTOREAPN=\"inter\"net\"\r\n"},
        {[](auto& o) { return ComposeXLTC(o, "MIIB,a", 1234, 3); },
         "AT+XLTC=\"MIIB,a\",1234,3,0\r\n"},
        {[](auto& o) { return ComposeXLCSSUPLVER(o, 2); }, "AT+XLCSSUPLVER=2\r\n"},
        {[](auto& o) { return ComposeXLGNVRAM(o, 127, 0); }, "AT+XLGNVRAM=127,0\r\n"},
        {[](auto& o) { return ComposeCIMI(o); }, "AT+CIMI\r\n"},
        {[](auto& o) { return ComposeCRSM(o); }, "AT+CRSM=176,28589,131,3,1\r\n"},
        {[](auto& o) { return ComposeXLCSLRMTQuery(o); }, "AT+XLCSLRMT?\r\n"},
        {[](auto& o) { return ComposeXLCSSWITCHQuery(o); }, "AT+XLCSSWITCH?\r\n"},
        {[](auto& o) { return ComposeXLCSTER(o); }, "AT+XLCSTER=1\r\n"},
        {[&](auto& o) { return ComposeCCLK(o, &march); }, "AT+CCLK=\"24/3/5,7:8:9\"\r\n"},
        {[&](auto& o) { return ComposeCCLK(o, &year2200); }, "AT+CCLK=\"0/1/1,0:0:0\"\r\n"},
        {[&](auto& o) { return ComposeCCLK(o, &invalid); }, "AT+CCLK=\"0/0/0,0:0:0\"\r\n"},
    };
    for (const auto& [build, expected] : cases) EXPECT_EQ(Built(build), expected);
    EXPECT_EQ(std::string(ATE0_COMMAND, ATE0_COMMAND_LENGTH), std::string("ATE0\r\n\0", 7));

    // Builders append; a null text is refused and appends nothing.
    std::string out = "x";
    EXPECT_EQ(ComposeXLCSSUPLVER(out, 0), S_OK);
    EXPECT_EQ(ComposeXLCSSLP(out, nullptr, "7275"), E_INVALIDARG);
    EXPECT_EQ(ComposeXLCSSTOREAPN(out, nullptr), E_INVALIDARG);
    EXPECT_EQ(ComposeXLTC(out, nullptr, 1, 1), E_INVALIDARG);
    EXPECT_EQ(ComposeGTISpectrumAnalyzerTest(out, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(out, "xAT+XLCSSUPLVER=0\r\n");
}

TEST(AtCommands, ClockFromTheCurrentTime) {
    // One of the readings taken around the call (they differ only across a second boundary).
    const auto text = [](const SYSTEMTIME& t) {
        const FILETIME ft = gnss::U64ToFileTime(
            gnss::test::Stamp(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond));
        return Built([&](auto& o) { return ComposeCCLK(o, &ft); });
    };
    SYSTEMTIME before{}, after{};
    gnss::os::GetSystemTime(&before);
    const std::string built = Built([](auto& o) { return ComposeCCLK(o); });
    gnss::os::GetSystemTime(&after);
    EXPECT_TRUE(built == text(before) || built == text(after)) << built;
}
