// gnssctl's subcommands.  Each lives in a file of its own and registers
// itself with a static GNSSCTL_COMMAND(...) object; gnssctl.cpp parses the
// global options, finds the command and maps its errors to exit statuses:
//   0 done, 1 the driver answered with a failure status (or not in time),
//   2 usage error, 3 the daemon cannot be reached or the connection broke.
#pragma once

#include <chrono>
#include <memory>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "gnss/client/device.h"

namespace gnss::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitStatus = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreachable = 3;

// A command line that cannot be carried out as written.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Context {
public:
    Context(std::string socketPath, std::chrono::milliseconds timeout, std::ostream& out)
        : socketPath_(std::move(socketPath)), timeout_(timeout), out_(out) {}

    std::ostream& out() { return out_; }
    std::chrono::milliseconds timeout() const { return timeout_; }
    // The device, opened on first use.
    client::Device& Device();

private:
    std::string socketPath_;
    std::chrono::milliseconds timeout_;
    std::ostream& out_;
    std::unique_ptr<client::Device> device_;
};

struct CommandEntry {
    const char* name;
    const char* synopsis;  // "info [--json]"
    const char* summary;   // one line for the overview
    const char* help;      // the rest of the command's --help, examples included
    // Runs the command with the arguments after its name; returns the exit
    // status or throws (UsageError, client::Error).
    int (*run)(Context& context, const std::vector<std::string>& args);
};

struct RegisterCommand {
    explicit RegisterCommand(const CommandEntry& entry);
};

// The registered commands, by name.
std::vector<const CommandEntry*> Commands();

// The whole program: argv in, exit status out.
int Run(int argc, char** argv, std::ostream& out, std::ostream& err);

// --- shared argument helpers ------------------------------------------------------

// "0a1B" -> {0x0a, 0x1b}; UsageError naming `option` on anything else.
std::vector<std::uint8_t> ParseHex(const std::string& text, const char* option);
// A 32-bit number (decimal or 0x hex); UsageError naming `what` otherwise.
std::uint32_t ParseNumber(const std::string& text, const char* what);
// Offset, hex bytes and printable characters, 16 bytes a line.
void HexDump(std::ostream& out, std::span<const std::uint8_t> bytes);
// A JSON string literal.
std::string JsonString(const std::string& text);

}  // namespace gnss::ctl

#define GNSSCTL_CONCAT2(a, b) a##b
#define GNSSCTL_CONCAT(a, b) GNSSCTL_CONCAT2(a, b)
#define GNSSCTL_COMMAND(...) \
    static const ::gnss::ctl::RegisterCommand GNSSCTL_CONCAT(gnssctlCommand, __LINE__)(__VA_ARGS__)
