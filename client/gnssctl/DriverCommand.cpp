// gnssctl command: one driver command (IOCTL_GNSS_SEND_DRIVERCOMMAND).
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Command.h"
#include "gnss/client/names.h"
#include "gnss/client/requests.h"

namespace gnss::ctl {
namespace {

int RunCommand(Context& context, const std::vector<std::string>& args) {
    const Options o("command", args, {{"--byte", KnownOption::Arg::One}, {"--bytes", KnownOption::Arg::One}});
    const std::vector<std::string>& positional = o.Words();
    if (o.Has("--byte") + o.Has("--bytes") + (positional.size() > 1) > 1)
        throw UsageError("command: give the data once (DATA, --byte or --bytes)");
    std::vector<std::uint8_t> data;
    if (o.Has("--byte")) data = {static_cast<std::uint8_t>(o.Number("--byte", 0, 0, 0xFF))};
    if (const auto bytes = o.Value("--bytes")) data = ParseHex(*bytes, "--bytes");
    if (positional.empty()) throw UsageError("command needs a TYPE");
    if (positional.size() > 2) throw UsageError("command: unexpected argument '" + positional[2] + "'");
    const auto type = client::ParseDriverCommandType(positional[0]);
    if (!type)
        throw UsageError("command: unknown command type '" + positional[0] +
                         "' (a name such as SetLocationServiceEnabled, or a number)");
    if (positional.size() == 2) {
        const std::uint32_t value = ParseNumber(positional[1], "command DATA");
        std::vector<std::uint8_t> bytes(sizeof value);
        std::memcpy(bytes.data(), &value, sizeof value);
        data = std::move(bytes);
    }

    const char* name = client::DriverCommandName(*type);
    const std::string label = name != nullptr ? name : "command type " + std::to_string(*type);
    const client::Completion c = context.Device().Control(
        IOCTL_GNSS_SEND_DRIVERCOMMAND, client::BuildDriverCommand(*type, data), 0, context.timeout());
    if (!c.ok()) throw client::StatusError(c.status);
    context.out() << label << ": " << client::StatusError::Name(c.status) << "\n";
    return kExitOk;
}

std::string CommandHelpText() {
    std::ostringstream text;
    text << "Sends IOCTL_GNSS_SEND_DRIVERCOMMAND with a GNSS_DRIVERCOMMAND_PARAM of\n"
            "command type TYPE and the command data given, and prints the status.\n"
            "\n"
            "TYPE is a number (decimal or 0x hex) or one of these names, with or\n"
            "without the GNSS_ prefix, in any case:\n";
    for (const auto& n : client::DriverCommandNames())
        text << "  " << n.name << " (" << n.value << ")\n";
    text << "\n"
            "The command data (CommandData, CommandDataSize bytes), at most one of:\n"
            "  DATA          a number (decimal or 0x hex) sent as a 32-bit value,\n"
            "                4 bytes in native (little-endian) order; the commands\n"
            "                that read one byte read its lowest byte\n"
            "  --byte N      one byte, 0 to 255\n"
            "  --bytes HEX   any bytes, as hex digits (for example 0200000000000000,\n"
            "                the two 32-bit words 2 and 0 of a SUPL version)\n"
            "Without data the command is sent with CommandDataSize 0.\n"
            "\n"
            "Examples:\n"
            "  gnssctl command SetLocationServiceEnabled 1\n"
            "  gnssctl command 1 --byte 0\n"
            "  gnssctl command GNSS_SetSuplVersion --bytes 0200000000000000\n"
            "  gnssctl command ClearAgnssData 0\n";
    return text.str();
}

const std::string& HelpText() {
    static const std::string text = CommandHelpText();
    return text;
}

const CommandEntry kCommand{"command", "command TYPE [DATA|--byte N|--bytes HEX]",
                           "Send a driver command", HelpText().c_str(), RunCommand};

GNSSCTL_COMMAND(kCommand);

}  // namespace
}  // namespace gnss::ctl
