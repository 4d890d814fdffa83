// gnssctl's subcommands.  Each lives in a file of its own and registers
// itself with a static GNSSCTL_COMMAND(...) object; gnssctl.cpp parses the
// global options, finds the command and maps its errors to exit statuses:
//   0 done, 1 the driver answered with a failure status (or not in time),
//   2 usage error, 3 the daemon cannot be reached or the connection broke.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "Options.h"
#include "gnss/client/device.h"
#include "gnss/client/structures.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitStatus = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreachable = 3;

// The EventWait key of a command's fix request.
inline constexpr int kFixKey = 1;

// A command line that cannot be carried out as written.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The reader of standard output has gone (a closed pipe: gnssctl track |
// head -1).  The command ends as Ctrl-C would end it, its session stopped on
// the way out, with exit status 0: the reader has what it wanted.
class OutputClosed : public std::runtime_error {
public:
    OutputClosed() : std::runtime_error("the reader of standard output has gone") {}
};

// Throws OutputClosed when `out` has failed (a write that met EPIPE).
void CheckOutput(std::ostream& out);
// The file a command writes its result to: standard output for "-", else
// `path` created; an existing file is refused unless `force` (UsageError
// naming `what`), one that cannot be created is a client::Error.
std::FILE* OpenOutput(const std::string& path, bool force, const char* what);

class Context {
public:
    Context(std::string socketPath, std::chrono::milliseconds timeout, std::ostream& out,
            std::ostream* err = nullptr)
        : socketPath_(std::move(socketPath)), timeout_(timeout), out_(out), err_(err) {}

    std::ostream& out() { return out_; }
    // Notes that are not the command's result (standard error by default).
    std::ostream& err();
    std::chrono::milliseconds timeout() const { return timeout_; }
    // The device, opened on first use.
    client::Device& Device();

private:
    std::string socketPath_;
    std::chrono::milliseconds timeout_;
    std::ostream& out_;
    std::ostream* err_;
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
// Offset, hex bytes and printable characters, 16 bytes a line.
void HexDump(std::ostream& out, std::span<const std::uint8_t> bytes);

// --- waiting for completions and for the end ------------------------------------

// The completions of asynchronous requests and the signals that end a
// long-running command (SIGINT, SIGTERM, SIGHUP), taken one at a time on the
// command's thread.  Construct it before the device is opened: it blocks
// those signals in the calling thread, and the device's reader thread
// inherits the mask, so a signal never kills gnssctl while a session runs.
class EventWait {
public:
    struct Event {
        enum class Kind { Completion, Signal, TimedOut, Input };
        Kind kind = Kind::TimedOut;
        int key = 0;                    // Completion: the key given to Deliver; Input: the fd
        client::Completion completion;  // Completion
        // Signal: its number; SIGPIPE when standard output is a pipe or a
        // socket whose reader has gone (seen before anything is written).
        int signal = 0;
    };

    EventWait();
    ~EventWait();
    EventWait(const EventWait&) = delete;
    EventWait& operator=(const EventWait&) = delete;

    // A callback for Device::ControlAsync that hands the completion over under `key`.
    client::CompletionCallback Deliver(int key);
    // The next completion or signal; TimedOut once `deadline` has passed.
    // Without a deadline it waits as long as it takes.  With `signals` false
    // signals stay pending (for waiting out a cancel).
    Event Next(std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt,
               bool signals = true);
    // Next also ends with an Input event when `fd` is readable (a terminal's
    // keys, for a full-screen command); only while it takes signals.
    void WatchInput(int fd) { inputs_.push_back(fd); }
    // A signal taken by Next and not yet handled, 0 when none.
    int PendingSignal() const { return signal_; }

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    int signalFd_ = -1;
    int signal_ = 0;
    std::vector<int> inputs_;
    bool watchOutput_ = false;
    bool restoreMask_ = false;
    sigset_t oldMask_{};
};

// --- fix output (FixCommand.cpp), shared by fix and track --------------------------

// "2024-05-01T12:00:00.000Z" from a FILETIME (100 ns since 1601, UTC).
std::string FormatUtc(const FILETIME& time);
// The satellites of a fix that the driver copied (at most 64).
std::size_t SatelliteEntries(const GNSS_FIXDATA& fix);
std::size_t SatellitesUsed(const GNSS_FIXDATA& fix);
// Sends the stop of a fix session; failures are reported on context.err()
// and do not throw (the session is stopped on the way out of a command).
void StopFixSession(Context& context, ULONG sessionId);
// A fix session id of this process's own (never 0).
ULONG OwnSessionId();

// A fix session under this process's own id with every detail (position,
// accuracy, satellites), started by the constructor (`typeValue` the
// response time, threshold or interval of `type`, `accuracy` metres; a
// refusal throws as ThrowFixStatus does, `what` naming the start) and
// stopped on every way out: by Stop, else by the destructor.
class OwnFixSession {
public:
    OwnFixSession(Context& context, GNSS_FIXSESSIONTYPE type, ULONG typeValue, ULONG accuracy,
                  const char* what);
    ~OwnFixSession() { Stop(); }
    OwnFixSession(const OwnFixSession&) = delete;
    OwnFixSession& operator=(const OwnFixSession&) = delete;

    ULONG id() const { return id_; }
    // The id as the input of IOCTL_GNSS_GET_FIXDATA.
    std::span<const std::uint8_t> IdBytes() const { return idBytes_; }
    // Stops the session (once; failures are reported, see StopFixSession).
    void Stop();

private:
    Context& context_;
    ULONG id_;
    std::uint8_t idBytes_[sizeof(ULONG)];
    bool running_ = true;
};

// NMEA wanted from the driver (GNSS_SetNMEALogging 256) for as long as it
// lives, lowered again (1) on the way out; failures of the lowering are
// reported on context.err().  A refusal of the raise throws StatusError, or
// with `optional` leaves Raised() false.
class NmeaWanted {
public:
    explicit NmeaWanted(Context& context, bool optional = false);
    ~NmeaWanted();
    NmeaWanted(const NmeaWanted&) = delete;
    NmeaWanted& operator=(const NmeaWanted&) = delete;

    bool Raised() const { return raised_; }

private:
    Context& context_;
    bool raised_ = false;
};

// The data of GNSS_SetNMEALogging: 255 wants NMEA and opens the log file,
// 256 wants NMEA only, 0 no longer wants it and closes the file, any other
// value (1 here) no longer wants it.
inline constexpr std::uint32_t kNmeaWithLog = 255;
inline constexpr std::uint32_t kNmeaWanted = 256;
inline constexpr std::uint32_t kNmeaLogOff = 0;
inline constexpr std::uint32_t kNmeaNotWanted = 1;
client::Completion SetNmeaLogging(Context& context, std::uint32_t value);

// The fix a fix-data completion carries (its FixStatus unchecked);
// FormatError when the answer is no fix event.
GNSS_FIXDATA FixOf(const client::Completion& completion);

// Asks for the session's fix and waits up to `timeout`: the fix (its
// FixStatus unchecked).  Throws, `command` naming it, when it was interrupted
// by a signal, no fix came in time (the request is taken back first), the
// connection ended or the driver refused the request.
GNSS_FIXDATA WaitForFix(Context& context, EventWait& events, const OwnFixSession& session,
                        std::chrono::milliseconds timeout, const char* command);
// The failure of a start, fix or NMEA request, in words: a refusal of the
// driver's gate names its cause (the location service off, or production
// test mode, as gnssd follows them) and what to do.
[[noreturn]] void ThrowFixStatus(Context& context, NTSTATUS status, const char* what);

}  // namespace gnss::ctl

#define GNSSCTL_CONCAT2(a, b) a##b
#define GNSSCTL_CONCAT(a, b) GNSSCTL_CONCAT2(a, b)
#define GNSSCTL_COMMAND(...) \
    static const ::gnss::ctl::RegisterCommand GNSSCTL_CONCAT(gnssctlCommand, __LINE__)(__VA_ARGS__)
