// gnssctl supl: the SUPL server (IOCTL_GNSS_SET_SUPL_HSLP), the SUPL version
// (driver command GNSS_SetSuplVersion) and the root certificates
// (IOCTL_GNSS_CONFIG_SUPL_CERT).
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Command.h"
#include "gnss/client/names.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::ctl {
namespace {

enum class Action { Hslp, Version, Cert, DeleteCert, PurgeCerts };

struct Step {
    Action action;
    std::string value;  // Hslp: the address; Version: the text; Cert: the file; DeleteCert: the name
    std::string name;   // Cert: the certificate name (--name, else the file's base name)
    bool named = false;
};

// The longest text a CHAR[n] field carries with its terminating NUL.
constexpr std::size_t kMaxHslp = MAX_SERVER_URL_NAME - 1;
constexpr std::size_t kMaxCertName = MAX_PATH - 1;
// The certificate bytes that fit in one request after the structure's header.
constexpr std::size_t kMaxCertBytes =
    frame::kMaxInputLength - offsetof(GNSS_SUPL_CERT_CONFIG, CertData);

void CheckName(const std::string& name, const char* option) {
    if (name.size() > kMaxCertName)
        throw UsageError(std::string(option) + ": the certificate name is " +
                         std::to_string(name.size()) + " characters long; the SuplCertName field " +
                         "holds at most " + std::to_string(kMaxCertName));
}

void CheckHslp(const std::string& address) {
    if (address.size() > kMaxHslp)
        throw UsageError("--hslp: the address is " + std::to_string(address.size()) +
                         " characters long; the SuplHslp field holds at most " +
                         std::to_string(kMaxHslp));
}

GNSS_SUPL_VERSION ParseVersion(const std::string& text) {
    const auto dot = text.find('.');
    const std::string major = text.substr(0, dot);
    const std::string minor = dot == std::string::npos ? "0" : text.substr(dot + 1);
    const auto ma = client::ParseU32(major);
    const auto mi = client::ParseU32(minor);
    if (major.empty() || !ma || !mi)
        throw UsageError("--version needs MAJOR or MAJOR.MINOR (32-bit numbers), not '" + text + "'");
    return {*ma, *mi};
}

std::vector<std::uint8_t> ReadCertificate(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw UsageError("--cert: " + path + " is a directory");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("--cert: cannot read " + path + ": " + std::strerror(errno));
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) throw UsageError("--cert: cannot read " + path);
    if (bytes.size() > kMaxCertBytes)
        throw UsageError("--cert: " + path + " has " + std::to_string(bytes.size()) +
                         " bytes; one request carries at most " + std::to_string(kMaxCertBytes));
    return bytes;
}

std::vector<Step> ParseSteps(const std::vector<std::string>& args) {
    const Options o("supl", args,
                    {{"--hslp", KnownOption::Arg::One},
                     {"--version", KnownOption::Arg::One},
                     {"--cert", KnownOption::Arg::One},
                     {"--name", KnownOption::Arg::One},
                     {"--delete-cert", KnownOption::Arg::One},
                     {"--purge-certs"}});
    o.AtMostWords(0);
    std::vector<Step> steps;
    // In the order given: --name belongs to the --cert before it.
    for (const Options::Use& use : o.Uses()) {
        const std::string& a = use.name;
        const std::string v = use.values.empty() ? std::string() : use.values[0];
        if (a == "--hslp") {
            CheckHslp(v);
            steps.push_back({Action::Hslp, v, {}});
        } else if (a == "--version") {
            ParseVersion(v);
            steps.push_back({Action::Version, v, {}});
        } else if (a == "--cert") {
            steps.push_back({Action::Cert, v, std::filesystem::path(v).filename().string()});
        } else if (a == "--name") {
            if (steps.empty() || steps.back().action != Action::Cert || steps.back().named)
                throw UsageError("supl: --name names the certificate of the --cert before it");
            steps.back().name = v;
            steps.back().named = true;
        } else if (a == "--delete-cert") {
            steps.push_back({Action::DeleteCert, v, {}});
            CheckName(steps.back().value, "--delete-cert");
        } else {
            steps.push_back({Action::PurgeCerts, {}, {}});
        }
    }
    if (steps.empty())
        throw UsageError(
            "supl needs --hslp, --version, --cert, --delete-cert or --purge-certs");
    for (const Step& s : steps)
        if (s.action == Action::Cert) CheckName(s.name, "--name");
    return steps;
}

// A refusal of a step, explained where the driver's rules for it are known.
void Check(const client::Completion& c, const Step& step, const std::string& what) {
    if (c.ok()) return;
    std::string why;
    if (step.action == Action::Hslp && c.status == STATUS_INVALID_PARAMETER)
        why = "the driver takes host names only (such as supl.example.org), and an address "
              "that does not start with a letter, such as an IP address, is none";
    else if (step.action == Action::Version && c.status == STATUS_INTERNAL_ERROR)
        why = "the driver takes SUPL versions 0.0 to 2.0 only";
    else if (step.action == Action::Cert && c.status == STATUS_INVALID_PARAMETER)
        why = "the driver takes certificates of 1 to 4095 bytes under a name that starts with a "
              "letter";
    throw client::StatusError(c.status, why.empty() ? what : what + " refused: " + why);
}

int RunSupl(Context& context, const std::vector<std::string>& args) {
    const std::vector<Step> steps = ParseSteps(args);
    // Every certificate is read before anything is sent.
    std::vector<std::vector<std::uint8_t>> certificates;
    for (const Step& s : steps)
        certificates.push_back(s.action == Action::Cert ? ReadCertificate(s.value)
                                                        : std::vector<std::uint8_t>{});

    client::Device& device = context.Device();
    std::ostream& out = context.out();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        switch (s.action) {
            case Action::Hslp: {
                const std::string what = "SUPL server " + s.value;
                Check(device.Control(IOCTL_GNSS_SET_SUPL_HSLP, client::BuildSuplHslp(s.value), 0,
                                     context.timeout()),
                      s, what);
                out << what << ": set\n";
                break;
            }
            case Action::Version: {
                const GNSS_SUPL_VERSION version = ParseVersion(s.value);
                const std::string what = "SUPL version " + std::to_string(version.MajorVersion) +
                                         "." + std::to_string(version.MinorVersion);
                std::uint8_t data[sizeof version];
                std::memcpy(data, &version, sizeof version);
                Check(device.Control(IOCTL_GNSS_SEND_DRIVERCOMMAND,
                                     client::BuildDriverCommand(GNSS_SetSuplVersion, data), 0,
                                     context.timeout()),
                      s, what);
                out << what << ": set\n";
                break;
            }
            case Action::Cert: {
                const std::string what = "SUPL certificate \"" + s.name + "\" (" +
                                         std::to_string(certificates[i].size()) + " bytes from " +
                                         s.value + ")";
                Check(device.Control(IOCTL_GNSS_CONFIG_SUPL_CERT,
                                     client::BuildSuplCert(GNSS_Supl_Cert_Inject, s.name,
                                                           certificates[i]),
                                     0, context.timeout()),
                      s, what);
                out << what << ": injected\n";
                break;
            }
            case Action::DeleteCert: {
                const std::string what = "SUPL certificate \"" + s.value + "\"";
                Check(device.Control(IOCTL_GNSS_CONFIG_SUPL_CERT,
                                     client::BuildSuplCert(GNSS_Supl_Cert_Delete, s.value), 0,
                                     context.timeout()),
                      s, what);
                out << what << ": deleted\n";
                break;
            }
            case Action::PurgeCerts: {
                const std::string what = "SUPL certificates";
                Check(device.Control(IOCTL_GNSS_CONFIG_SUPL_CERT,
                                     client::BuildSuplCert(GNSS_Supl_Cert_Purge, ""), 0,
                                     context.timeout()),
                      s, what);
                out << what << ": purged\n";
                break;
            }
        }
    }
    return kExitOk;
}

constexpr CommandEntry kSupl{
    "supl",
    "supl [--hslp HOST[:PORT]] [--version MAJOR[.MINOR]] [--cert FILE [--name NAME]] "
    "[--delete-cert NAME] [--purge-certs]",
    "Set the SUPL server, version and root certificates",
    "Carries SUPL settings to the driver, which passes them on to the modem's\n"
    "SUPL client.  The options are carried out in the order given, one request\n"
    "each, and the first refusal ends the command (printed by status name).\n"
    "The driver answers once it has taken a setting; the modem gets its AT\n"
    "command shortly afterwards.\n"
    "\n"
    "Options (at least one, any may repeat):\n"
    "  --hslp HOST[:PORT]     the SUPL server (IOCTL_GNSS_SET_SUPL_HSLP, as\n"
    "                         SuplHslp; at most 259 characters).  Without a port\n"
    "                         the driver uses 7275.  The driver takes host names\n"
    "                         only: an address that does not start with a letter\n"
    "                         (such as an IPv4 address) is refused with\n"
    "                         STATUS_INVALID_PARAMETER.\n"
    "  --version MAJOR[.MINOR]\n"
    "                         the SUPL version (driver command GNSS_SetSuplVersion\n"
    "                         with a GNSS_SUPL_VERSION; MINOR defaults to 0).  The\n"
    "                         driver takes 0.0 to 2.0 and refuses anything else\n"
    "                         with STATUS_INTERNAL_ERROR.\n"
    "  --cert FILE            inject the file's bytes as a root certificate\n"
    "                         (IOCTL_GNSS_CONFIG_SUPL_CERT, CertAction inject).\n"
    "                         The driver takes 1 to 4095 bytes and a name that\n"
    "                         starts with a letter; it refuses others with\n"
    "                         STATUS_INVALID_PARAMETER.\n"
    "  --name NAME            the name of the --cert before it; default the file's\n"
    "                         base name (at most 259 characters)\n"
    "  --delete-cert NAME     ask the driver to delete a certificate by name\n"
    "  --purge-certs          ask the driver to delete all certificates\n"
    "(The driver accepts --delete-cert and --purge-certs and sends nothing to\n"
    "the modem for them.)\n"
    "\n"
    "Before fix requests the driver also provisions the settings of the SIM's\n"
    "operator from its operator table (until that has once succeeded since the\n"
    "modem started afresh); they replace the server, version and certificates\n"
    "set here.\n"
    "\n"
    "Examples:\n"
    "  gnssctl supl --hslp supl.example.org:7276\n"
    "  gnssctl supl --hslp supl.example.org --version 2\n"
    "  gnssctl supl --cert /etc/ssl/certs/ISRG_Root_X1.pem --name isrgx1\n"
    "  gnssctl supl --purge-certs --cert root.pem\n",
    RunSupl};

GNSSCTL_COMMAND(kSupl);

}  // namespace
}  // namespace gnss::ctl
