#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "at/AtCommands.h"
#include "gnss/platform/time.h"

namespace {

FILETIME FileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    FILETIME ft{};
    EXPECT_TRUE(gnss::os::SystemTimeToFileTime(&st, &ft));
    return ft;
}

template <typename Builder>
std::string Built(Builder build) {
    std::string out;
    EXPECT_EQ(build(out), S_OK);
    return out;
}

}  // namespace

TEST(AtCommands, DecimalAppenders) {
    std::string s;
    AppendUnsignedDecimal(s, 0);
    s += '|';
    AppendUnsignedDecimal(s, 4294967295u);
    s += '|';
    AppendUnsignedDecimal(s, 1000);
    s += '|';
    AppendSignedDecimal(s, 0);
    s += '|';
    AppendSignedDecimal(s, -7);
    s += '|';
    AppendSignedDecimal(s, INT_MIN);
    s += '|';
    AppendSignedDecimal(s, INT_MAX);
    EXPECT_EQ(s, "0|4294967295|1000|0|-7|-2147483648|2147483647");
}

TEST(AtCommands, FixedCommands) {
    EXPECT_EQ(Built([](std::string& o) { return ComposeCIMI(o); }), "AT+CIMI\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeCRSM(o); }), "AT+CRSM=176,28589,131,3,1\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLRMTQuery(o); }), "AT+XLCSLRMT?\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSSWITCHQuery(o); }), "AT+XLCSSWITCH?\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSTER(o); }), "AT+XLCSTER=1\r\n");
    EXPECT_EQ(std::string(ATE0_COMMAND, ATE0_COMMAND_LENGTH), std::string("ATE0\r\n\0", 7));
}

TEST(AtCommands, BuildersAppendToWhatTheStringHolds) {
    std::string out = "x";
    EXPECT_EQ(ComposeXLCSSUPLVER(out, 2), S_OK);
    EXPECT_EQ(ComposeXLGNVRAM(out, 127, 0), S_OK);
    EXPECT_EQ(out, "xAT+XLCSSUPLVER=2\r\nAT+XLGNVRAM=127,0\r\n");
}

TEST(AtCommands, LocationRequest) {
    // Interval 30 with NMEA: the worked example.
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLSR(o, 1, 1, 30, 2); }),
              "AT+XLCSLSR=1,1,,,,,30,,,2\r\n");
    // A single fix without NMEA: the two numbers and eight commas.
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLSR(o, 1, 1, 0, 0); }),
              "AT+XLCSLSR=1,1,,,,,,,,\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLSR(o, 2, 3, 0, 1); }),
              "AT+XLCSLSR=2,3,,,,,,,,2\r\n");
    // Only 1 and 2 ask for NMEA.
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLSR(o, 1, 0, 5, 3); }),
              "AT+XLCSLSR=1,0,,,,,5,,,\r\n");
}

TEST(AtCommands, QualityOfServiceWireOrderDiffersFromArgumentOrder) {
    // accuracy, response time, second value, fourth value
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLQOS(o, 50, 150, 300, 0); }),
              "AT+XLCSLQOS=50,300,150,0\r\n");
}

TEST(AtCommands, StopAndSwitch) {
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLSRSTOP(o, 0, 7); }),
              "AT+XLSRSTOP=0,7\r\n");
    // No known session: the bare command, even with a first value.
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLSRSTOP(o, 5, 0); }), "AT+XLSRSTOP\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLSCSWITCH(o, 1, 2); }),
              "AT+XLCSSWITCH=1\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLSCSWITCH(o, 0, 3); }),
              "AT+XLCSSWITCH=0,3\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLSCSWITCH(o, 1, 0); }),
              "AT+XLCSSWITCH=1,0\r\n");
}

TEST(AtCommands, SignedParameters) {
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLRMT(o, -1); }), "AT+XLCSLRMT=-1\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLRMT(o, 0); }), "AT+XLCSLRMT=0\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeGTIProdTest(o, -12); }),
              "at@gnss:prod_test_snr_mode_set(-12)\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeGTIProdTest(o, 1); }),
              "at@gnss:prod_test_snr_mode_set(1)\r\n");
    // The verdict goes out under AT+XLCSLRMT; the request id is unsigned.
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSLRV(o, 0, 4294967295u); }),
              "AT+XLCSLRMT=0,4294967295\r\n");
}

TEST(AtCommands, TextsAreCopiedVerbatimAndUnescaped) {
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSSLP(o, "supl.\"x\".net", "7275"); }),
              "AT+XLCSSLP=1,\"supl.\"x\".net\",7275\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSSTOREAPN(o, "inter\"net"); }),
              "AT+XLCSSTOREAPN=\"inter\"net\"\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLCSSTOREAPN(o, ""); }),
              "AT+XLCSSTOREAPN=\"\"\r\n");
    EXPECT_EQ(Built([](std::string& o) { return ComposeXLTC(o, "MIIB,a", 1234, 3); }),
              "AT+XLTC=\"MIIB,a\",1234,3,0\r\n");
    EXPECT_EQ(Built([](std::string& o) {
                  return ComposeGTISpectrumAnalyzerTest(o, 9, "scan 1 2");
              }),
              "at@gnss:npt_spect_ana_string_cmd(1,9,\"scan 1 2\")\r\n");
}

TEST(AtCommands, NullTextsAreRefusedAndAppendNothing) {
    std::string out = "keep";
    EXPECT_EQ(ComposeXLCSSLP(out, nullptr, "7275"), E_INVALIDARG);
    EXPECT_EQ(ComposeXLCSSLP(out, "a", nullptr), E_INVALIDARG);
    EXPECT_EQ(ComposeXLCSSTOREAPN(out, nullptr), E_INVALIDARG);
    EXPECT_EQ(ComposeXLTC(out, nullptr, 1, 1), E_INVALIDARG);
    EXPECT_EQ(ComposeGTISpectrumAnalyzerTest(out, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(out, "keep");
}

TEST(AtCommands, ClockFromAGivenTime) {
    FILETIME t = FileTimeOf(2024, 3, 5, 7, 8, 9);
    EXPECT_EQ(Built([&](std::string& o) { return ComposeCCLK(o, &t); }),
              "AT+CCLK=\"24/3/5,7:8:9\"\r\n");
    t = FileTimeOf(2200, 1, 1, 0, 0, 0);
    EXPECT_EQ(Built([&](std::string& o) { return ComposeCCLK(o, &t); }),
              "AT+CCLK=\"0/1/1,0:0:0\"\r\n");
    t = FileTimeOf(2005, 12, 31, 23, 59, 59);
    EXPECT_EQ(Built([&](std::string& o) { return ComposeCCLK(o, &t); }),
              "AT+CCLK=\"5/12/31,23:59:59\"\r\n");
    // A time that cannot be converted is written as zeros.
    t = gnss::U64ToFileTime(0x8000000000000000ULL);
    EXPECT_EQ(Built([&](std::string& o) { return ComposeCCLK(o, &t); }),
              "AT+CCLK=\"0/0/0,0:0:0\"\r\n");
}

TEST(AtCommands, ClockFromTheCurrentTime) {
    // Read the clock on both sides of the call; the command carries one of
    // the two readings (they differ only when a second boundary falls between).
    const auto expected = [](const SYSTEMTIME& st) {
        return "AT+CCLK=\"" + std::to_string(st.wYear % 100) + "/" + std::to_string(st.wMonth) +
               "/" + std::to_string(st.wDay) + "," + std::to_string(st.wHour) + ":" +
               std::to_string(st.wMinute) + ":" + std::to_string(st.wSecond) + "\"\r\n";
    };
    SYSTEMTIME before{}, after{};
    gnss::os::GetSystemTime(&before);
    const std::string built = Built([](std::string& o) { return ComposeCCLK(o); });
    gnss::os::GetSystemTime(&after);
    EXPECT_TRUE(built == expected(before) || built == expected(after)) << built;
}
