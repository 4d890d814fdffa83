#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <map>
#include <sstream>

#include "Command.h"
#include "gnss/client/error.h"
#include "gnss/client/names.h"

namespace gnss::ctl {
namespace {

std::map<std::string, const CommandEntry*>& Registry() {
    static std::map<std::string, const CommandEntry*> registry;
    return registry;
}

std::string Overview() {
    std::ostringstream text;
    text << "Usage: gnssctl [--socket PATH] [--timeout MS] COMMAND [ARGS...]\n"
            "       gnssctl COMMAND --help\n"
            "\n"
            "Talks to the GNSS driver through gnssd's device socket.\n"
            "\n"
            "Options:\n"
            "  --socket PATH   gnssd's socket; default here: "
         << client::Device::DefaultSocketPath()
         << "\n"
            "                  (/run/gnss/gnss.sock for root, else\n"
            "                  $XDG_RUNTIME_DIR/gnss.sock, else /tmp/gnss-UID.sock)\n"
            "  --timeout MS    how long to wait for each answer; default 10000\n"
            "  -h, --help      print this help (or a command's) and exit\n"
            "\n"
            "Commands:\n";
    for (const CommandEntry* entry : Commands())
        text << "  " << std::left << std::setw(42) << entry->synopsis << entry->summary << "\n";
    text << "\n"
            "Exit status: 0 done, 1 the driver answered with a failure status (printed\n"
            "by name) or not in time, 2 usage error, 3 gnssd cannot be reached.\n"
            "\n"
            "Examples:\n"
            "  gnssctl info\n"
            "  gnssctl --socket /tmp/gnss.sock info --json\n"
            "  gnssctl command SetLocationServiceEnabled 1\n"
            "  gnssctl raw IOCTL_GNSS_GET_CHIPSETINFO --out 660\n";
    return text.str();
}

std::string CommandHelp(const CommandEntry& entry) {
    return std::string("Usage: gnssctl [--socket PATH] [--timeout MS] ") + entry.synopsis + "\n\n" +
           entry.summary + ".\n\n" + entry.help;
}

}  // namespace

RegisterCommand::RegisterCommand(const CommandEntry& entry) { Registry()[entry.name] = &entry; }

std::vector<const CommandEntry*> Commands() {
    std::vector<const CommandEntry*> commands;
    for (const auto& [name, entry] : Registry()) commands.push_back(entry);
    return commands;
}

client::Device& Context::Device() {
    if (!device_) device_ = client::Device::Open(socketPath_, timeout_);
    return *device_;
}

std::vector<std::uint8_t> ParseHex(const std::string& text, const char* option) {
    const auto bad = [&](const std::string& why) {
        return UsageError(std::string(option) + " needs hex bytes such as 0a1b2c (" + why + ")");
    };
    if (text.size() % 2 != 0) throw bad("odd number of digits");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                throw bad(std::string("'") + c + "' is not a hex digit");
            value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                           ? c - '0'
                                                           : std::tolower(c) - 'a' + 10);
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::uint32_t ParseNumber(const std::string& text, const char* what) {
    const auto value = client::ParseU32(text);
    if (!value)
        throw UsageError(std::string(what) + " needs a 32-bit number (decimal or 0x hex), not '" +
                         text + "'");
    return *value;
}

void HexDump(std::ostream& out, std::span<const std::uint8_t> bytes) {
    char line[96];
    for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
        int n = std::snprintf(line, sizeof line, "%04zx ", offset);
        for (std::size_t i = 0; i < 16; ++i) {
            if (offset + i < bytes.size())
                n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " %02x",
                                   bytes[offset + i]);
            else
                n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "   ");
        }
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "  |");
        for (std::size_t i = 0; i < 16 && offset + i < bytes.size(); ++i) {
            const auto c = bytes[offset + i];
            line[n++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        line[n++] = '|';
        line[n] = '\0';
        out << line << "\n";
    }
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

int Run(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string socketPath = client::Device::DefaultSocketPath();
    std::chrono::milliseconds timeout = client::Device::kDefaultTimeout;
    const CommandEntry* entry = nullptr;
    try {
        std::size_t i = 0;
        for (; i < args.size(); ++i) {
            const std::string& a = args[i];
            const auto value = [&](const char* option) -> std::string {
                if (a.size() > std::strlen(option) && a[std::strlen(option)] == '=')
                    return a.substr(std::strlen(option) + 1);
                if (i + 1 >= args.size()) throw UsageError(std::string(option) + " needs a value");
                return args[++i];
            };
            if (a == "-h" || a == "--help") {
                out << Overview();
                return kExitOk;
            } else if (a == "--socket" || a.rfind("--socket=", 0) == 0) {
                socketPath = value("--socket");
                if (socketPath.empty()) throw UsageError("--socket needs a path");
            } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
                const std::uint32_t ms = ParseNumber(value("--timeout"), "--timeout");
                if (ms == 0) throw UsageError("--timeout needs at least 1 ms");
                timeout = std::chrono::milliseconds(ms);
            } else if (!a.empty() && a[0] == '-') {
                throw UsageError("unknown option '" + a + "'");
            } else {
                break;
            }
        }
        if (i == args.size()) throw UsageError("no command given");
        const auto found = Registry().find(args[i]);
        if (found == Registry().end()) throw UsageError("unknown command '" + args[i] + "'");
        entry = found->second;
        const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                            args.end());
        if (std::find_if(rest.begin(), rest.end(), [](const std::string& s) {
                return s == "-h" || s == "--help";
            }) != rest.end()) {
            out << CommandHelp(*entry);
            return kExitOk;
        }
        Context context(socketPath, timeout, out);
        return entry->run(context, rest);
    } catch (const UsageError& e) {
        err << "gnssctl: " << e.what() << "\n"
            << "Try 'gnssctl " << (entry != nullptr ? std::string(entry->name) + " " : "")
            << "--help'.\n";
        return kExitUsage;
    } catch (const client::ConnectionError& e) {
        err << "gnssctl: " << e.what() << "\n";
        return kExitUnreachable;
    } catch (const client::Error& e) {
        // StatusError, TimeoutError, FormatError of an answer.
        err << "gnssctl: " << e.what() << "\n";
        return kExitStatus;
    }
}

}  // namespace gnss::ctl
