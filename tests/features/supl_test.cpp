// gnssctl supl end to end: the SUPL server, version and certificates as the
// modem receives them, and the driver's refusals printed by name.
#include <fstream>

#include "FeatureTest.h"

namespace gnss::test {
namespace {

using SuplTest = FeatureTest;

// A certificate file of `size` printable bytes (no quotes, no NUL).
std::string WriteCertificate(TempDir& dir, const std::string& name, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) text += static_cast<char>('A' + i % 26);
    std::ofstream(dir.File(name), std::ios::binary) << text;
    return text;
}

TEST_F(SuplTest, ServerAndVersionReachTheModem) {
    StartSim();
    const auto withPort = Gnssctl({"supl", "--hslp", "supl.example.org:7276"});
    EXPECT_EQ(withPort.status, 0) << withPort.err;
    EXPECT_EQ(withPort.out, "SUPL server supl.example.org:7276: set\n");
    ASSERT_TRUE(WaitForRecord(Line("AT+XLCSSLP=1,\"supl.example.org\",7276"))) << Record();

    // An IPv4 address does not start with a letter: refused, nothing sent.
    const auto address = Gnssctl({"supl", "--hslp", "192.0.2.10:7275"});
    EXPECT_EQ(address.status, 1);
    EXPECT_EQ(address.err,
              "gnssctl: SUPL server 192.0.2.10:7275 refused: the driver takes host names only "
              "(such as supl.example.org), and an address that does not start with a letter, such "
              "as an IP address, is none: STATUS_INVALID_PARAMETER (0xC000000D)\n");

    // A host the SuplHslp field cannot carry is refused before sending.
    const auto tooLong = Gnssctl({"supl", "--hslp", std::string(260, 'a')});
    EXPECT_EQ(tooLong.status, 2);
    EXPECT_NE(tooLong.err.find("at most 259"), std::string::npos) << tooLong.err;

    const auto both = Gnssctl({"supl", "--hslp", "supl.example.org", "--version", "2"});
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.out, "SUPL server supl.example.org: set\nSUPL version 2.0: set\n");
    ASSERT_TRUE(WaitForRecord(Line("AT+XLCSSUPLVER=2"))) << Record();

    const auto three = Gnssctl({"supl", "--version", "3.0"});
    EXPECT_EQ(three.status, 1);
    EXPECT_EQ(three.err, "gnssctl: SUPL version 3.0 refused: the driver takes SUPL versions 0.0 to 2.0 only: "
              "STATUS_INTERNAL_ERROR (0xC00000E5)\n");
    EXPECT_EQ(Gnssctl({"supl", "--version", "two"}).status, 2);

    // The engine works in order: the record holds exactly what was taken.
    EXPECT_EQ(Record(), Line("AT+XLCSSLP=1,\"supl.example.org\",7276") +
                            Line("AT+XLCSSLP=1,\"supl.example.org\",7275") +
                            Line("AT+XLCSSUPLVER=2"));
}

TEST_F(SuplTest, CertificatesInPiecesAndTheirRefusals) {
    StartSim();
    // 4096 bytes are one too many for the driver: refused, nothing sent.
    WriteCertificate(dir_, "big.pem", 4096);
    const auto big = Gnssctl({"supl", "--cert", dir_.File("big.pem")});
    EXPECT_EQ(big.status, 1);
    EXPECT_NE(big.err.find("STATUS_INVALID_PARAMETER (0xC000000D)"), std::string::npos) << big.err;

    // A file that cannot be read is the command line's fault.
    const auto missing = Gnssctl({"supl", "--cert", dir_.File("missing.pem")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;

    // 301 bytes go out as two pieces numbered 1 and 2, both with the total.
    const std::string text = WriteCertificate(dir_, "root.pem", 301);
    const auto cert = Gnssctl({"supl", "--cert", dir_.File("root.pem")});
    EXPECT_EQ(cert.status, 0) << cert.err;
    EXPECT_EQ(cert.out, "SUPL certificate \"root.pem\" (301 bytes from " + dir_.File("root.pem") +
                            "): injected\n");
    const std::string first = Line("AT+XLTC=\"" + text.substr(0, 300) + "\",301,1,0");
    const std::string second = Line("AT+XLTC=\"" + text.substr(300) + "\",301,2,0");
    ASSERT_TRUE(WaitForRecord(second)) << Record();
    EXPECT_EQ(Record(), first + second);

    // A name that does not start with a letter is the driver's to refuse.
    const auto badName = Gnssctl({"supl", "--cert", dir_.File("root.pem"), "--name", "1root"});
    EXPECT_EQ(badName.status, 1);
    EXPECT_NE(badName.err.find("STATUS_INVALID_PARAMETER"), std::string::npos) << badName.err;

    const auto remove = Gnssctl({"supl", "--delete-cert", ""});
    EXPECT_EQ(remove.status, 0) << remove.err;
    EXPECT_EQ(remove.out, "SUPL certificate \"\": deleted\n");
    const auto purge = Gnssctl({"supl", "--purge-certs"});
    EXPECT_EQ(purge.status, 0) << purge.err;
    EXPECT_EQ(purge.out, "SUPL certificates: purged\n");

    // Delete and purge send nothing; a last setting shows the engine has
    // worked through everything before it.
    EXPECT_EQ(Gnssctl({"supl", "--version", "1"}).status, 0);
    ASSERT_TRUE(WaitForRecord(Line("AT+XLCSSUPLVER=1"))) << Record();
    EXPECT_EQ(Record(), first + second + Line("AT+XLCSSUPLVER=1"));
}

}  // namespace
}  // namespace gnss::test
