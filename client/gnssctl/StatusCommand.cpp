// gnssctl status: what the driver and gnssd can say about the service as a
// whole.  The driver interface has no status request, so each piece comes
// from where it can be learned:
//   location service and test mode: a listen-NMEA request, which the driver
//     refuses (STATUS_ACCESS_DENIED) exactly while the service is off or the
//     receiver is in production test mode;
//   chip: the chipset information;
//   fix sessions, clients, NMEA wanted: gnssd's host query (the driver keeps
//     these to itself; gnssd follows them for its per-client cleanup);
//   last fix: a last-known-good fix request, answered from the driver's cache.
// The NMEA log file switch is followed by nobody outside the driver: it is
// shown as unknown, with the reason.
#include <chrono>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "Command.h"
#include "gnss/client/error.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::ctl {
namespace {

using Clock = std::chrono::steady_clock;

// The driver's file-object slots: a fourth client's open is refused.
constexpr int kDriverClients = 3;

// True when the driver takes a listen-NMEA request (service on, no test
// mode).  The listener is parked, then a capability request is sent: the
// driver serves one request at a time and completions come back in order, so
// once the capability is answered the listener is either refused or waiting
// (or answered with a queued block, which also means on).
bool Listening(Context& context, EventWait& events) {
    client::Device& device = context.Device();
    const client::Tag tag =
        device.ControlAsync(IOCTL_GNSS_LISTEN_NMEA, {}, sizeof(GNSS_EVENT), events.Deliver(1));
    client::CheckedControl(device, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {},
                           sizeof(GNSS_DEVICE_CAPABILITY), "device capability", context.timeout());
    EventWait::Event e = events.Next(Clock::now(), false);
    if (e.kind == EventWait::Event::Kind::Completion)
        return e.completion.status != STATUS_ACCESS_DENIED;
    if (device.Cancel(tag)) events.Next(Clock::now() + context.timeout(), false);
    return true;
}

// The driver's last fix, through a last-known-good session of this
// process's id (stopped at once); empty text when there is none.
std::string LastFix(Context& context, EventWait& events) {
    client::Device& device = context.Device();
    const ULONG id = OwnSessionId();
    client::FixSessionParameters parameters;
    parameters.sessionId = id;
    parameters.type = GNSS_FixSession_LKG;
    const client::Completion started = device.Control(
        IOCTL_GNSS_START_FIXSESSION, client::BuildFixSession(parameters), 0, context.timeout());
    if (!started.ok()) return "unknown (" + client::StatusError::Name(started.status) + ")";
    struct Stopper {
        Context& context;
        ULONG id;
        ~Stopper() { StopFixSession(context, id); }
    } stopper{context, id};
    std::uint8_t idBytes[sizeof(ULONG)];
    std::memcpy(idBytes, &id, sizeof id);
    const client::Tag tag =
        device.ControlAsync(IOCTL_GNSS_GET_FIXDATA, idBytes, sizeof(GNSS_EVENT), events.Deliver(2));
    const EventWait::Event e = events.Next(Clock::now() + context.timeout(), false);
    if (e.kind != EventWait::Event::Kind::Completion) {
        if (device.Cancel(tag)) events.Next(Clock::now() + context.timeout(), false);
        return "unknown (the driver did not answer)";
    }
    if (!e.completion.ok()) return "unknown (" + client::StatusError::Name(e.completion.status) + ")";
    const client::Event event = client::DecodeEvent(e.completion.output);
    const auto* fix = std::get_if<GNSS_FIXDATA>(&event.data);
    if (fix == nullptr || fix->FixStatus == STATUS_NOT_FOUND) return "none since the driver started";
    // FILETIME: 100 ns since 1601; the Unix epoch is 11644473600 s later.
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(fix->FixTimeStamp.dwHighDateTime) << 32) |
        fix->FixTimeStamp.dwLowDateTime;
    const double at = static_cast<double>(ticks) / 1e7 - 11644473600.0;
    const double now = std::chrono::duration<double>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    std::ostringstream text;
    text << FormatUtc(fix->FixTimeStamp) << ", " << std::fixed << std::setprecision(1);
    // A receiver whose clock runs ahead (or a simulated one) gives no age.
    if (now >= at) text << (now - at) << " s ago by this system's clock";
    else text << (at - now) << " s ahead of this system's clock";
    return text.str();
}

int RunStatus(Context& context, const std::vector<std::string>& args) {
    Options("status", args, {}).AtMostWords(0);

    EventWait events;  // before the device's reader thread starts
    client::Device& device = context.Device();
    std::ostream& out = context.out();
    const auto row = [&out](const char* name, const std::string& value) {
        out << std::left << std::setw(18) << name << value << "\n";
    };

    const bool on = Listening(context, events);
    row("Location service", on ? "on" : "off, or the receiver is in test mode");
    row("Test mode", on ? "off"
                        : "unknown (the driver refuses listeners alike while the location "
                          "service is off and in test mode)");
    const client::ChipsetInfo chip = client::GetChipsetInfo(device, context.timeout());
    row("Chip", chip.hardwareId + " (" + chip.manufacturerId + ", firmware " +
                    chip.firmwareVersion + ")");

    // gnssd's own account; one that predates host queries ends the
    // connection, so this comes after everything the driver answers but the
    // last fix, which then stays unknown.
    std::string sessions, clients, nmea;
    unsigned long lkgHeld = 0;  // another client's last-known-good session
    bool connected = true;
    try {
        const client::Completion c = device.HostQuery(frame::kHostQueryStatus, 4096, context.timeout());
        if (!c.ok()) throw client::StatusError(c.status, "host query");
        std::istringstream lines(std::string(c.output.begin(), c.output.end()));
        int count = 0;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string key, kind;
            unsigned long value = 0, interval = 0;
            words >> key >> value;
            if (key == "connections") {
                clients = std::to_string(value) + " of " + std::to_string(kDriverClients) +
                          " (this one included)";
            } else if (key == "session") {
                words >> kind >> interval;
                sessions += (count++ == 0 ? "" : ", ") + std::to_string(value) + " " + kind;
                if (kind == "continuous") sessions += " every " + std::to_string(interval) + " s";
            } else if (key == "lkg") {
                lkgHeld = value;
            } else if (key == "nmea-wanted") {
                nmea = value == 0 ? "not wanted" : "wanted (driver count " + std::to_string(value) + ")";
            }
        }
        sessions = count == 0 ? "none" : std::to_string(count) + ": " + sessions;
    } catch (const client::Error& e) {
        connected = device.Connected();
        const std::string why = std::string("unknown (gnssd did not answer its status query: ") +
                                e.what() + ")";
        sessions = clients = nmea = why;
    }
    row("Fix sessions", sessions);
    row("Clients", clients);
    row("NMEA", nmea);
    row("NMEA log file",
        "unknown (the driver keeps its log switch to itself; gnssctl nmea --log sets it)");
    // The driver keeps one last-known-good session id for everyone: asking
    // would take it from the client that set it.
    row("Last fix", !connected  ? "unknown (the connection to gnssd ended)"
                   : !on        ? "unknown (the driver answers no fix while the service is off)"
                   : lkgHeld != 0 ? "not asked (another client holds the driver's one "
                                    "last-known-good session, " + std::to_string(lkgHeld) + ")"
                                  : LastFix(context, events));
    return kExitOk;
}

constexpr CommandEntry kStatus{
    "status", "status", "Show the state of the location service, sessions and clients",
    "Gathers what the driver and gnssd can tell about the service as a whole:\n"
    "  Location service  on or off: a listen-NMEA request, which the driver refuses\n"
    "                    while the service is off (and in production test mode)\n"
    "  Test mode         off when the service answers as on; otherwise unknown\n"
    "  Chip              the chipset information (hardware, maker, firmware)\n"
    "  Fix sessions      the sessions clients started and have not stopped, with\n"
    "                    their interval (from gnssd, which follows them)\n"
    "  Clients           gnssd's connections, of the three the driver admits\n"
    "  NMEA              whether some client wants NMEA (from gnssd)\n"
    "  NMEA log file     unknown: only the driver knows its switch\n"
    "  Last fix          the driver's last fix and its age, by a last-known-good\n"
    "                    request (only while the service is on and no other\n"
    "                    client holds the driver's one last-known-good session)\n"
    "A piece that cannot be learned is shown as unknown with the reason.  The\n"
    "command changes nothing but the driver's last-known-good session id, which\n"
    "it sets and clears at once.\n"
    "\n"
    "Exit status: 0 done, 1 the driver refused a request, 3 gnssd cannot be\n"
    "reached.\n"
    "\n"
    "Examples:\n"
    "  gnssctl status\n"
    "  gnssctl --socket /tmp/gnss.sock status\n",
    RunStatus};

GNSSCTL_COMMAND(kStatus);

}  // namespace
}  // namespace gnss::ctl
