// gnssctl raw: any control code with any input, the answer in hex.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "gnss/client/names.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::ctl {
namespace {

int RunRaw(Context& context, const std::vector<std::string>& args) {
    const Options o("raw", args, {{"--in", KnownOption::Arg::One}, {"--out", KnownOption::Arg::One}});
    const std::vector<std::string>& positional = o.Words();
    if (positional.empty()) throw UsageError("raw needs a CODE");
    o.AtMostWords(1);
    const std::vector<std::uint8_t> input = ParseHex(o.Value("--in").value_or(""), "--in");
    const std::uint32_t outputLength = o.Number("--out", 0);
    const auto code = client::ParseControlCode(positional[0]);
    if (!code)
        throw UsageError("raw: unknown control code '" + positional[0] +
                         "' (a name such as GET_CHIPSETINFO, or a number)");
    if (input.size() > frame::kMaxInputLength || outputLength > frame::kMaxOutputLength)
        throw UsageError("raw: --in and --out are limited to 65536 bytes each");

    const client::Completion c = context.Device().Control(*code, input, outputLength, context.timeout());
    std::ostream& out = context.out();
    const char* name = client::ControlCodeName(*code);
    char codeText[16];
    std::snprintf(codeText, sizeof codeText, "0x%08X", *code);
    out << "code:        " << codeText << (name != nullptr ? std::string(" ") + name : "") << "\n"
        << "status:      " << client::StatusError::Name(c.status) << "\n"
        << "information: " << c.information << "\n"
        << "output:      " << c.output.size() << " bytes\n";
    HexDump(out, c.output);
    if (!c.ok()) throw client::StatusError(c.status);
    return kExitOk;
}

constexpr CommandEntry kRaw{
    "raw", "raw CODE [--in HEX] [--out N]", "Send any control code and dump the answer",
    "Sends one device-control request and prints its status, its information\n"
    "and its output bytes in hex.  The exit status is 1 when the status is a\n"
    "failure.\n"
    "\n"
    "CODE is a number (decimal or 0x hex) or a control code name, with or\n"
    "without the IOCTL_GNSS_ prefix, in any case (GET_DEVICE_CAPABILITY,\n"
    "get_chipsetinfo, IOCTL_GNSS_LISTEN_NMEA, ...).\n"
    "\n"
    "Options:\n"
    "  --in HEX   the input bytes, as hex digits; default none\n"
    "  --out N    the output buffer length, 0 to 65536; default 0\n"
    "\n"
    "A request the driver parks (a listen request) waits until --timeout,\n"
    "then is cancelled.\n"
    "\n"
    "Examples:\n"
    "  gnssctl raw IOCTL_GNSS_GET_DEVICE_CAPABILITY --out 604\n"
    "  gnssctl raw 0x00220118 --out 660\n"
    "  gnssctl raw SEND_PLATFORM_CAPABILITY --in \"$(printf '%01064d' 0)\"\n"
    "      (532 zero bytes: a platform capability the driver takes as it is)\n"
    "  gnssctl raw EXECUTE_CWTEST\n"
    "      (not supported by the driver: prints the status and exits with 1)\n",
    RunRaw};

GNSSCTL_COMMAND(kRaw);

}  // namespace
}  // namespace gnss::ctl
