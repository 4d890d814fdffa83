// gnssctl nmea: the NMEA sentences of the receiver as they come, and the
// driver's NMEA log file switch.
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Command.h"
#include "Feedback.h"
#include "HostFacts.h"
#include "gnss/client/error.h"
#include "gnss/client/nmea_listener.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"

namespace gnss::ctl {
namespace {

int RunNmea(Context& context, const std::vector<std::string>& args) {
    const Options o("nmea", args,
                    {{"--count", KnownOption::Arg::One},
                     {"--track", KnownOption::Arg::One},
                     {"--timeout", KnownOption::Arg::One},
                     {"--log", KnownOption::Arg::One},
                     {"--verbose", KnownOption::Arg::None, "-v"}});
    o.AtMostWords(0);
    const ULONG count = o.Number("--count", 0, 1);
    const ULONG trackInterval = o.WholeSeconds("--track", 0, 1);
    const std::optional<std::chrono::milliseconds> timeout = o.Seconds("--timeout");
    const std::string log = o.Value("--log").value_or("");
    const bool verbose = o.Has("--verbose");
    if (o.Has("--log") && log != "on" && log != "off")
        throw UsageError("--log needs on or off, not '" + log + "'");
    if (!log.empty() && (count != 0 || trackInterval != 0 || timeout))
        throw UsageError("nmea: --log switches the log file and takes no other option");

    if (!log.empty()) {
        const client::Completion c = SetNmeaLogging(context, log == "on" ? kNmeaWithLog : kNmeaLogOff);
        if (!c.ok()) throw client::StatusError(c.status, "GNSS_SetNMEALogging");
        if (log == "on") CheckNmeaLogFile(context);
        context.out() << "NMEA log file " << (log == "on" ? "on" : "off") << "\n";
        return kExitOk;
    }

    EventWait events;  // before the device's reader thread starts
    client::Device& device = context.Device();
    // NMEA is wanted from here on; undone on every way out, after the session.
    const NmeaWanted wanted(context);

    // Stopped on every way out, before NMEA is lowered.
    std::optional<OwnFixSession> session;
    if (trackInterval != 0) {
        session.emplace(context, GNSS_FixSession_ContinuousTracking, trackInterval, 50,
                        "start of the tracking session");
    }
    WaitFeedback feedback(context, events, "waiting for NMEA", WaitFeedback::Listen::No);

    ULONG printed = 0;
    // Prints the block's sentences, one a line; false once `count` are out.
    const auto print = [&](const std::string& block) {
        std::size_t begin = 0;
        while (begin < block.size()) {
            std::size_t end = block.find('\n', begin);
            if (end == std::string::npos) end = block.size();
            std::string line = block.substr(begin, end - begin);
            begin = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            feedback.Delivered();
            context.out() << line << "\n";
            if (count != 0 && ++printed >= count) break;
        }
        context.out().flush();
        CheckOutput(context.out());
        return count == 0 || printed < count;
    };

    // One listen request armed at all times: the next goes out before a
    // block is printed, so the driver's queue of five fills only while
    // gnssctl falls behind.
    client::NmeaListener listener(device, events.Deliver(kFixKey));
    listener.Start();
    for (bool more = true; more;) {
        std::optional<std::chrono::steady_clock::time_point> deadline;
        if (timeout) deadline = std::chrono::steady_clock::now() + *timeout;
        const EventWait::Event e = feedback.Next(deadline);
        if (e.kind == EventWait::Event::Kind::Signal) break;
        if (e.kind != EventWait::Event::Kind::Completion)
            throw client::TimeoutError("nmea: no sentence for " + FormatSeconds(*timeout));
        const client::Completion& c = e.completion;
        if (c.disconnected)
            throw client::ConnectionError("the connection to gnssd ended (" +
                                          device.DisconnectReason() + ")");
        if (!c.ok()) ThrowFixStatus(context, c.status, "NMEA data");
        const client::Event event = client::DecodeEvent(c.output);
        if (const auto* nmea = std::get_if<client::NmeaData>(&event.data)) {
            feedback.Heard(nmea->sentences);
            more = print(nmea->sentences);
        } else if (const auto* service = std::get_if<client::ServiceStatus>(&event.data)) {
            context.err() << "gnssctl: the receiver was switched "
                          << (service->status != 0 ? "on" : "off") << "\n";
        }
    }
    listener.Stop();
    if (verbose)
        context.err() << "gnssctl: nmea: " << listener.Lost()
                      << " block(s) dropped by the driver's queue while this ran\n";
    return kExitOk;
}

constexpr CommandEntry kNmea{
    "nmea", "nmea [--count N] [--track S] [OPTIONS]",
    "Print the receiver's NMEA sentences as they come",
    "Asks the driver for NMEA (driver command GNSS_SetNMEALogging 256), then\n"
    "listens (IOCTL_GNSS_LISTEN_NMEA, one request waiting at a time) and prints\n"
    "every sentence on a line of its own, as the receiver sent it.  On the way out\n"
    "(after N sentences, Ctrl-C, SIGTERM or an error) it tells the driver that NMEA\n"
    "is no longer wanted (GNSS_SetNMEALogging 1).\n"
    "\n"
    "The receiver puts out NMEA only while a fix session runs, and the driver asks\n"
    "it for NMEA when a session starts: run a session in another terminal after\n"
    "this command has started (for example gnssctl track --interval 1), or let\n"
    "this command run one of its own with --track.  Sessions need the location\n"
    "service on (gnssctl location on).\n"
    "\n"
    "The driver queues at most five blocks of sentences for a listener that is\n"
    "busy; a listener that falls further behind loses them (the driver logs\n"
    "\"NMEA Queue hit MAX\"), and now and then two blocks arrive swapped.  For an\n"
    "exact record in the modem's order, use the log file (--log on).\n"
    "\n"
    "Options:\n"
    "  --count N      stop after N sentences; default: until interrupted\n"
    "  --track S      run a continuous-tracking session with an interval of S\n"
    "                 seconds for as long as this command runs\n"
    "  --timeout S    give up when no sentence has come for S seconds (fractions\n"
    "                 allowed); default: wait\n"
    "  -v, --verbose  say at the end how many blocks the driver's queue dropped\n"
    "  --log on|off   switch the driver's NMEA log file (gnssd --nmea-log) on\n"
    "                 (GNSS_SetNMEALogging 255) or off (0) and exit; once on, it\n"
    "                 records the sentences while some client wants NMEA\n"
    "\n"
    "Examples:\n"
    "  gnssctl nmea --track 1 --count 20\n"
    "  gnssctl nmea > drive.nmea          (with gnssctl track --interval 1 elsewhere)\n"
    "  gnssctl nmea --log on\n",
    RunNmea};

GNSSCTL_COMMAND(kNmea);

}  // namespace
}  // namespace gnss::ctl
