// gnssctl status: what the driver and gnssd can say about the service as a
// whole.  The driver interface has no status request, so each piece comes
// from where it can be learned:
//   chip: the chipset information;
//   location service, test mode, NMEA log file, fix sessions, clients, NMEA
//     wanted, modem: gnssd's status answer (client::QueryHostStatus); the
//     driver keeps these to itself, gnssd loads it and follows every request;
//   last fix: a last-known-good fix request, answered from the driver's cache.
#include <chrono>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "Command.h"
#include "HostFacts.h"
#include "gnss/client/error.h"
#include "gnss/client/host_status.h"
#include "gnss/client/requests.h"
#include "gnss/client/structures.h"

namespace gnss::ctl {

std::optional<client::HostStatus> HostStatusOf(Context& context) {
    try {
        return client::QueryHostStatus(context.Device(), context.timeout());
    } catch (const client::Error&) {
        return std::nullopt;
    }
}

void CheckNmeaLogFile(Context& context) {
    const client::HostStatus host = client::QueryHostStatus(context.Device(), context.timeout());
    if (!host.nmeaLogPath || host.nmeaLogFile != false) return;
    const std::string& path = *host.nmeaLogPath;
    if (host.nmeaLogFolder == false)
        throw client::Error("nmea --log on: the driver took the switch but cannot create " + path +
                            ": the folder " + host.NmeaLogFolder() +
                            " does not exist (create it, or start gnssd with another --nmea-log)");
    throw client::Error("nmea --log on: the driver took the switch but " + path +
                        " does not exist (the driver could not create it; see gnssd's log)");
}

namespace {

using Clock = std::chrono::steady_clock;

// The driver's file-object slots: a fourth client's open is refused.
constexpr int kDriverClients = 3;

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

// The NMEA log file row: the switch, the path and, while it is on, whether
// the driver could create the file.
std::string NmeaLogText(const client::HostStatus& host, const std::string& unsaid) {
    if (!host.nmeaLog) return unsaid;
    const std::string path = host.nmeaLogPath.value_or("(path unknown)");
    if (!*host.nmeaLog) return "off (the file would be " + path + ")";
    if (host.nmeaLogFolder == false)
        return "on, " + path + ": the folder " + host.NmeaLogFolder() +
               " does not exist: the driver cannot create the file";
    if (host.nmeaLogFile == false)
        return "on, " + path + ": missing (the driver could not create it)";
    return "on, " + path;
}

int RunStatus(Context& context, const std::vector<std::string>& args) {
    Options("status", args, {}).AtMostWords(0);

    EventWait events;  // before the device's reader thread starts
    client::Device& device = context.Device();
    std::ostream& out = context.out();
    const auto row = [&out](const char* name, const std::string& value) {
        out << std::left << std::setw(18) << name << value << "\n";
    };
    const std::string unsaid = "unknown (gnssd does not say)";
    const auto onOff = [&unsaid](const std::optional<bool>& on) {
        return !on ? unsaid : *on ? "on" : "off";
    };

    const client::ChipsetInfo chip = client::GetChipsetInfo(device, context.timeout());
    // gnssd's own account; one that predates host queries ends the
    // connection, so this comes after what the driver answers.
    client::HostStatus host;
    std::string unknown;  // why gnssd's account is missing
    try {
        host = client::QueryHostStatus(device, context.timeout());
    } catch (const client::Error& e) {
        unknown = std::string("unknown (gnssd did not answer its status query: ") + e.what() + ")";
    }
    const bool connected = device.Connected();

    row("Location service", unknown.empty() ? onOff(host.location) : unknown);
    row("Test mode", unknown.empty() ? onOff(host.testMode) : unknown);
    row("Chip", chip.hardwareId + " (" + chip.manufacturerId + ", firmware " +
                    chip.firmwareVersion + ")");
    const std::string missing = unknown.empty() ? unsaid : unknown;
    std::string sessions = missing, clients = missing, nmea = missing, modem = missing;
    if (unknown.empty()) {
        sessions = host.sessions.empty() ? "none" : std::to_string(host.sessions.size()) + ": ";
        for (std::size_t i = 0; i < host.sessions.size(); ++i) {
            const client::HostStatus::Session& s = host.sessions[i];
            sessions += (i == 0 ? "" : ", ") + std::to_string(s.id) +
                        (s.continuous ? " continuous every " + std::to_string(s.interval) + " s"
                                      : " single-shot");
        }
        if (host.connections)
            clients = std::to_string(*host.connections) + " of " + std::to_string(kDriverClients) +
                      " (this one included)";
        if (host.nmeaWanted)
            nmea = *host.nmeaWanted == 0
                       ? "not wanted"
                       : "wanted (driver count " + std::to_string(*host.nmeaWanted) + ")";
        modem = !host.modemAttached ? unsaid
                : *host.modemAttached ? "attached"
                                      : "none attached: gnssd is waiting for " + host.modemWaitsFor;
    }
    row("Fix sessions", sessions);
    row("Clients", clients);
    row("NMEA", nmea);
    row("NMEA log file", unknown.empty() ? NmeaLogText(host, unsaid) : unknown);
    row("Modem", modem);
    // The driver answers no fix while the service is off or in test mode,
    // and keeps one last-known-good session id for everyone: asking would
    // take it from the client that set it.
    const bool off = host.location == false || host.testMode == true;
    row("Last fix", !connected ? "unknown (the connection to gnssd ended)"
                    : off      ? "unknown (the driver answers no fix while the service is off "
                                 "or in test mode)"
                    : host.lkg != 0 ? "not asked (another client holds the driver's one "
                                      "last-known-good session, " + std::to_string(host.lkg) + ")"
                                    : LastFix(context, events));
    return kExitOk;
}

constexpr CommandEntry kStatus{
    "status", "status", "Show the state of the location service, sessions and clients",
    "Gathers what the driver and gnssd can tell about the service as a whole:\n"
    "  Location service  on or off (from gnssd, which follows the driver's switches)\n"
    "  Test mode         production test mode on or off (gnssctl selftest)\n"
    "  Chip              the chipset information (hardware, maker, firmware)\n"
    "  Fix sessions      the sessions clients started and have not stopped, with\n"
    "                    their interval (from gnssd, which follows them)\n"
    "  Clients           gnssd's connections, of the three the driver admits\n"
    "  NMEA              whether some client wants NMEA (from gnssd)\n"
    "  NMEA log file     on or off (gnssctl nmea --log), its path, and whether the\n"
    "                    driver could create the file (it never creates its folder)\n"
    "  Modem             attached, or what gnssd waits for\n"
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
