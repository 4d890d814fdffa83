// SUPL provisioning end to end: the fix engine sends the settings of the
// SIM's operator, read from the shipped operator table beside the driver
// module, before the location request, once.
#include <algorithm>
#include <filesystem>
#include <sstream>

#include "FeatureTest.h"

namespace gnss::test {
namespace {

// The test network's entry of config/GNSSDriverSUPLInfo-DTD.xml (SID _00101):
// the simulated SIM's default IMSI 001010123456789 with an MNC length of 2
// gives MCC 001 and MNC 01.
constexpr const char* kTestNetworkSim = "chip=pv7710,imsi=001010123456789,mnc=2";

// The certificates of the entry `sid`, as the table's text holds them.
std::vector<std::string> TableCertificates(const std::string& sid) {
    const std::string table =
        ReadFile((std::filesystem::path(DRIVER_MODULE_PATH).parent_path() /
                  "GNSSDriverSUPLInfo-DTD.xml")
                     .string());
    const auto begin = table.find("<SUPL SID=\"" + sid + "\">");
    const auto end = table.find("</SUPL>", begin);
    std::vector<std::string> certificates;
    if (begin == std::string::npos || end == std::string::npos) return certificates;
    const std::string open = "<Supl_Certificate>", close = "</Supl_Certificate>";
    for (auto pos = table.find(open, begin); pos != std::string::npos && pos < end;
         pos = table.find(open, pos + 1)) {
        const auto textStart = pos + open.size();
        certificates.push_back(table.substr(textStart, table.find(close, textStart) - textStart));
    }
    return certificates;
}

// The AT+XLTC commands of one certificate: 300-byte pieces numbered from 1.
std::string CertificatePieces(const std::string& certificate) {
    std::string lines;
    ULONG number = 1;
    for (std::size_t offset = 0; offset < certificate.size(); offset += 300, ++number)
        lines += Line("AT+XLTC=\"" + certificate.substr(offset, 300) + "\"," +
                      std::to_string(certificate.size()) + "," + std::to_string(number) + ",0");
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line;
    return text;
}

// One command as the driver's AT trace shows it, with the final results
// (OK, ERROR) received after it and before the next command went out.
struct TracedCommand {
    std::string command;  // its first line
    std::vector<std::string> finals;
};

std::vector<TracedCommand> TracedCommands(const std::string& log) {
    std::vector<TracedCommand> commands;
    const std::string sent = "[ATCMD] SendATCmdSync [";
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("[ATCMD] ");
        if (at == std::string::npos) continue;
        // "[ATCMD] <function> [<length>] <text>"
        const auto text = line.find("] ", line.find(" [", at + 8));
        if (text == std::string::npos) continue;
        const std::string body = line.substr(text + 2);
        if (line.compare(at, sent.size(), sent) == 0) {
            commands.push_back({body, {}});
        } else if ((body == "OK" || body == "ERROR") && !commands.empty()) {
            commands.back().finals.push_back(body);
        }
    }
    return commands;
}

class ProvisioningTest : public FeatureTest {
protected:
    static constexpr ULONG kSession = 1;

    void SwitchOn() {
        const auto on = Gnssctl({"location", "on"});
        ASSERT_EQ(on.status, 0) << on.err;
    }
    NTSTATUS StartSingleShot() {
        client::FixSessionParameters p;
        p.sessionId = kSession;
        p.type = GNSS_FixSession_SingleShot;
        return Control(IOCTL_GNSS_START_FIXSESSION, client::BuildFixSession(p));
    }
    NTSTATUS StopSession() {
        return Control(IOCTL_GNSS_STOP_FIXSESSION, client::BuildStopFixSession(kSession));
    }
    // The SUPL settings in the record, in order.
    std::vector<std::string> SuplTraffic() const {
        std::vector<std::string> lines;
        const std::string record = Record();
        for (const char* prefix : {"AT+XLCSSLP", "AT+XLCSSUPLVER", "AT+XLTC", "AT+XLCSSTOREAPN"})
            for (auto& line : RecordedLines(record, prefix)) lines.push_back(std::move(line));
        return lines;
    }
};

// The shipped table works with modems that end a command line at its
// carriage return only and with those that end it at a line feed too.
class ProvisioningOnModem : public ProvisioningTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(ProvisioningOnModem, TheSimsOperatorIsProvisionedOnce) {
    const auto certificates = TableCertificates("_00101");
    ASSERT_EQ(certificates.size(), 2u);
    std::string pieces;
    std::size_t pieceCount = 0;
    for (const auto& c : certificates) {
        pieces += CertificatePieces(c);
        pieceCount += (c.size() + 299) / 300;
    }

    StartSim(std::string(kTestNetworkSim) + ",linefeed=" + GetParam());
    SwitchOn();
    ASSERT_EQ(StartSingleShot(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForRecord("AT+XLCSLSR=")) << gnssd_.Log();
    ASSERT_TRUE(gnssd_.WaitForLog("Location Request SUCCESS")) << gnssd_.Log();

    const std::string expected = Line("AT+XLCSSLP=1,\"supl.test.invalid\",7275") +
                                 Line("AT+XLCSSUPLVER=2") + pieces +
                                 Line("AT+XLCSSTOREAPN=\"test\"");
    EXPECT_EQ(Joined(SuplTraffic()), expected);
    // All of it before the location request.
    const std::string record = Record();
    EXPECT_LT(record.find(Line("AT+XLCSSTOREAPN=\"test\"")), record.find("AT+XLCSLSR="));
    EXPECT_NE(gnssd_.Log().find("MCC=001 MNC=01"), std::string::npos);

    // Each piece got one answer, OK, and nothing was answered ERROR: a modem
    // that took the lines of a piece for commands of their own would have
    // answered each, and the driver would have taken those answers for the
    // commands after it.
    std::size_t piecesAnswered = 0, apnsAnswered = 0;
    for (const TracedCommand& traced : TracedCommands(gnssd_.Log())) {
        const bool piece = traced.command.rfind("AT+XLTC=", 0) == 0;
        const bool apn = traced.command.rfind("AT+XLCSSTOREAPN=", 0) == 0;
        if (piece || apn) {
            EXPECT_EQ(traced.finals, std::vector<std::string>{"OK"}) << traced.command;
        }
        piecesAnswered += piece ? 1 : 0;
        apnsAnswered += apn ? 1 : 0;
        EXPECT_EQ(std::count(traced.finals.begin(), traced.finals.end(), "ERROR"), 0)
            << traced.command;
    }
    EXPECT_EQ(piecesAnswered, pieceCount);
    EXPECT_EQ(apnsAnswered, 1u);

    // The next fix request finds the work done and sends none of it again.
    EXPECT_EQ(StopSession(), STATUS_SUCCESS);
    ASSERT_EQ(StartSingleShot(), STATUS_SUCCESS);
    ASSERT_TRUE(gnssd_.WaitForLog("SUPL Config Already DONE")) << gnssd_.Log();
    ASSERT_TRUE(WaitForRecord("AT+XLCSLSR=", 2)) << gnssd_.Log();
    EXPECT_EQ(Joined(SuplTraffic()), expected);
    EXPECT_EQ(StopSession(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(LineFeed, ProvisioningOnModem, ::testing::Values("ignore", "end"),
                         [](const auto& info) { return std::string("linefeed_") + info.param; });

TEST_F(ProvisioningTest, WithoutASimNothingIsProvisioned) {
    StartSim("sim=off");
    SwitchOn();
    ASSERT_EQ(StartSingleShot(), STATUS_SUCCESS);
    ASSERT_TRUE(gnssd_.WaitForLog("ERROR: Invalid SIM")) << gnssd_.Log();
    ASSERT_TRUE(WaitForRecord("AT+XLCSLSR=")) << gnssd_.Log();
    EXPECT_FALSE(RecordedLines(Record(), "AT+CIMI").empty());
    EXPECT_TRUE(SuplTraffic().empty()) << Joined(SuplTraffic());
    EXPECT_EQ(StopSession(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace gnss::test
