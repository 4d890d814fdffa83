// gnssctl selftest: the receiver's production test mode and its spectrum
// scan (IOCTL_GNSS_EXECUTE_SELFTEST).
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "Feedback.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"

namespace gnss::ctl {
namespace {

constexpr ULONG kTestModeOn = 1;
constexpr ULONG kTestModeOff = 2;
constexpr ULONG kSpectrumScan = 3;

// Room for the result header and 8 KiB of scan text.
constexpr std::size_t kScanOutputLength = sizeof(GNSS_SELFTESTRESULT) + 8 * 1024;
// The modem takes command lines of up to 1024 characters; the scan command
// wraps its arguments in about 45 of them.
constexpr std::size_t kMaxScanArguments = 960;
// The driver gives up on the modem's scan result after 30 s; waiting a little
// longer lets its own answer through.
constexpr std::chrono::milliseconds kScanWait{35000};

int RunSelfTest(Context& context, const std::vector<std::string>& args) {
    const Options o("selftest", args,
                    {{"--test-mode", KnownOption::Arg::One}, {"--scan", KnownOption::Arg::One}});
    o.AtMostWords(0);
    o.OneOf({"--test-mode", "--scan"});
    std::optional<ULONG> testMode;
    if (const auto mode = o.Value("--test-mode")) {
        if (*mode != "on" && *mode != "off")
            throw UsageError("--test-mode needs on or off, not '" + *mode + "'");
        testMode = *mode == "on" ? kTestModeOn : kTestModeOff;
    }
    const std::optional<std::string> scan = o.Value("--scan");
    if (!testMode && !scan) throw UsageError("selftest needs --test-mode on|off or --scan ARGS");

    if (testMode) {
        const client::Completion c =
            context.Device().Control(IOCTL_GNSS_EXECUTE_SELFTEST, client::BuildSelfTestConfig(*testMode),
                                     0, context.timeout());
        if (!c.ok()) throw client::StatusError(c.status, "self-test");
        context.out() << "test mode " << (*testMode == kTestModeOn ? "on" : "off")
                      << ": accepted; the receiver switches once the modem has the command\n";
        return kExitOk;
    }

    if (scan->size() > kMaxScanArguments)
        throw UsageError("--scan takes at most " + std::to_string(kMaxScanArguments) +
                         " characters of arguments, not " + std::to_string(scan->size()));
    if (scan->find('"') != std::string::npos)
        throw UsageError("--scan: the arguments travel in double quotes and may not contain one");
    // The argument text with its terminating NUL: InBufLen counts it.
    std::vector<std::uint8_t> text(scan->begin(), scan->end());
    text.push_back(0);
    EventWait events;  // before the device's reader thread starts
    client::Device& device = context.Device();
    const client::Tag tag = device.ControlAsync(IOCTL_GNSS_EXECUTE_SELFTEST,
                                                client::BuildSelfTestConfig(kSpectrumScan, text),
                                                kScanOutputLength, events.Deliver(kFixKey));
    const auto wait = std::max(context.timeout(), kScanWait);
    EventWait::Event e;
    {
        WaitFeedback feedback(context, events, "spectrum scan running (the modem takes 35 s or more)",
                              WaitFeedback::Listen::TimeOnly);
        e = feedback.Next(std::chrono::steady_clock::now() + wait);
    }
    if (e.kind != EventWait::Event::Kind::Completion) {
        device.Cancel(tag);
        if (e.kind == EventWait::Event::Kind::Signal)
            throw client::Error("spectrum scan: interrupted; the request was taken back");
        throw client::TimeoutError("spectrum scan: no answer within " + FormatSeconds(wait) +
                                   "; the request was taken back");
    }
    const client::Completion& c = e.completion;
    if (c.disconnected)
        throw client::ConnectionError("the connection to gnssd ended (" + device.DisconnectReason() + ")");
    // STATUS_TIMEOUT is a success value, but the scan brought nothing.
    if (c.status != STATUS_SUCCESS) throw client::StatusError(c.status, "spectrum scan");
    if (c.information == 0) {
        context.err() << "gnssctl: the driver returned no scan result\n";
        return kExitOk;
    }
    const client::SelfTestResult result = client::DecodeSelfTestResult(c.output);
    std::string out(result.output.begin(),
                    std::find(result.output.begin(), result.output.end(), std::uint8_t{0}));
    // The modem's lines end in CR LF; a terminal wants LF.
    std::string lines;
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) lines += out[i];
    context.out() << lines;
    if (!lines.empty() && lines.back() != '\n') context.out() << "\n";
    return kExitOk;
}

constexpr CommandEntry kSelfTest{
    "selftest", "selftest --test-mode on|off | --scan ARGS",
    "Switch the receiver's production test mode, or run a spectrum scan",
    "Sends IOCTL_GNSS_EXECUTE_SELFTEST with a GNSS_SELFTESTCONFIG.\n"
    "\n"
    "Options (exactly one):\n"
    "  --test-mode on    test type 1: the receiver leaves any running location\n"
    "                    request for its production (signal-to-noise) test\n"
    "                    mode; fix sessions, fix data and NMEA requests are\n"
    "                    refused (STATUS_ACCESS_DENIED) until test mode is off\n"
    "  --test-mode off   test type 2: back to normal operation\n"
    "  --scan ARGS       test type 3, only in test mode: a spectrum analyzer\n"
    "                    scan with the argument text ARGS (at most 960\n"
    "                    characters, no double quote); prints the modem's scan\n"
    "                    output, one line per modem line\n"
    "\n"
    "The driver answers --test-mode at once and sends the modem its command\n"
    "afterwards, so a modem that refuses the command is not reported here (the\n"
    "driver's log has it).  A scan waits for the modem's result: at least 35 s,\n"
    "or --timeout when that is longer; the driver itself gives up after 30 s\n"
    "(STATUS_TIMEOUT, exit status 1).  A scan outside test mode fails with\n"
    "STATUS_INTERNAL_ERROR.\n"
    "\n"
    "Examples:\n"
    "  gnssctl selftest --test-mode on\n"
    "  gnssctl selftest --scan \"gps_l1 wide\"\n"
    "  gnssctl selftest --test-mode off\n",
    RunSelfTest};

GNSSCTL_COMMAND(kSelfTest);

}  // namespace
}  // namespace gnss::ctl
