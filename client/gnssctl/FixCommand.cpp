// gnssctl fix: one single-shot fix (or the last-known-good one), and the fix
// output that track shares.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <utility>
#include <string>
#include <variant>
#include <vector>

#include "Command.h"
#include "Feedback.h"
#include "Json.h"
#include "Svg.h"
#include "gnss/client/error.h"
#include "gnss/client/structures.h"

namespace gnss::ctl {

namespace {

constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ULL;  // 1970-01-01 in 100 ns units

std::string Number(double value, int decimals) {
    if (!std::isfinite(value)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

std::string FormatUtc(const FILETIME& time) {
    const ULONGLONG ticks = FileTimeToU64(time);
    if (ticks < kFileTimeUnixEpoch) return "1970-01-01T00:00:00.000Z";
    const ULONGLONG since = ticks - kFileTimeUnixEpoch;
    const std::time_t seconds = static_cast<std::time_t>(since / 10000000ULL);
    const unsigned ms = static_cast<unsigned>((since / 10000ULL) % 1000ULL);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return text;
}

std::size_t SatelliteEntries(const GNSS_FIXDATA& fix) {
    const ULONG count = fix.SatelliteData.SatelliteCount;
    return count <= GNSS_MAXSATELLITE ? count : 0;
}

std::size_t SatellitesUsed(const GNSS_FIXDATA& fix) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < SatelliteEntries(fix); ++i)
        if (fix.SatelliteData.SatelliteArray[i].UsedInPositiong != 0) ++used;
    return used;
}

namespace {

// "2d" or "3d": whether the fix carries an altitude.
const char* FixMode(const GNSS_FIXDATA& fix) {
    // Only a report of a point with altitude carries an altitude and its accuracy.
    return fix.AccuracyData.AltitudeAccuracy != 0 || fix.BasicData.Altitude != 0.0 ? "3d" : "2d";
}

}  // namespace

Json FixObject(const GNSS_FIXDATA& fix) {
    const auto& b = fix.BasicData;
    const auto& a = fix.AccuracyData;
    Json satellites = Json::array();
    Json constellations = Json::array();
    for (std::size_t i = 0; i < SatelliteEntries(fix); ++i) {
        const auto& s = fix.SatelliteData.SatelliteArray[i];
        const char* name = ConstellationOf(s.SatelliteId).name;
        satellites.push_back({{"id", s.SatelliteId},
                              {"constellation", name},
                              {"used", s.UsedInPositiong != 0},
                              {"elevation", JsonNumber(s.Elevation, 1)},
                              {"azimuth", JsonNumber(s.Azimuth, 1)},
                              {"snr", JsonNumber(s.SignalToNoiseRatio, 1)}});
        auto entry = std::find_if(constellations.begin(), constellations.end(),
                                  [&](const Json& c) { return c["name"] == name; });
        if (entry == constellations.end()) {
            constellations.push_back({{"name", name}, {"inView", 0}, {"used", 0}});
            entry = constellations.end() - 1;
        }
        (*entry)["inView"] = (*entry)["inView"].get<int>() + 1;
        if (s.UsedInPositiong != 0) (*entry)["used"] = (*entry)["used"].get<int>() + 1;
    }
    return {{"session", fix.FixSessionID},
            {"time", FormatUtc(fix.FixTimeStamp)},
            {"mode", FixMode(fix)},
            {"latitude", JsonNumber(b.Latitude, 8)},
            {"longitude", JsonNumber(b.Longitude, 8)},
            {"altitude", JsonNumber(b.Altitude, 3)},
            {"speed", JsonNumber(b.Speed, 3)},
            {"heading", JsonNumber(b.Heading, 3)},
            {"accuracy",
             {{"horizontal", a.HorizontalAccuracy},
              {"errorMajorAxis", a.HorizontalErrorMajorAxis},
              {"errorMinorAxis", a.HorizontalErrorMinorAxis},
              {"errorAngle", a.HorizontalErrorAngle},
              {"altitude", a.AltitudeAccuracy},
              {"headingConfidence", a.HeadingConfidence}}},
            {"dop",
             {{"position", JsonNumber(a.PositionDilutionOfPrecision, 2)},
              {"horizontal", JsonNumber(a.HorizontalDilutionOfPrecision, 2)},
              {"vertical", JsonNumber(a.VerticalDilutionOfPrecision, 2)}}},
            {"satellitesInView", fix.SatelliteData.SatelliteCount},
            {"satellitesUsed", SatellitesUsed(fix)},
            {"constellations", std::move(constellations)},
            {"satellites", std::move(satellites)}};
}

void StopFixSession(Context& context, ULONG sessionId) {
    try {
        client::Device& device = context.Device();
        if (!device.Connected()) return;  // gnssd ended the session with the connection
        const client::Completion c = device.Control(
            IOCTL_GNSS_STOP_FIXSESSION, client::BuildStopFixSession(sessionId), 0, context.timeout());
        // A file object that is gone (the device went away) took its sessions along.
        const bool gone = c.status == STATUS_INVALID_HANDLE || c.status == STATUS_NO_SUCH_DEVICE ||
                          c.status == STATUS_DEVICE_REMOVED;
        if (!c.ok() && !gone)
            context.err() << "gnssctl: stopping fix session " << sessionId << ": "
                          << client::StatusError::Name(c.status) << "\n";
    } catch (const client::Error& e) {
        context.err() << "gnssctl: stopping fix session " << sessionId << ": " << e.what() << "\n";
    }
}

ULONG OwnSessionId() {
    // The process id: distinct from every other gnssctl's session, never 0
    // (the driver takes a fix request of session 0 as a last-known-good one).
    return static_cast<ULONG>(::getpid());
}

void ThrowFixStatus(Context& context, NTSTATUS status, const char* what) {
    if (status == STATUS_ACCESS_DENIED)
        throw client::StatusError(status, std::string(what) + " refused: " + GateCause(context));
    if (status == STATUS_CANCELLED)
        throw client::StatusError(status, std::string(what) +
                                              ": cancelled by the driver (the device went away or "
                                              "gnssd is stopping)");
    throw client::StatusError(status, what);
}

OwnFixSession::OwnFixSession(Context& context, GNSS_FIXSESSIONTYPE type, ULONG typeValue,
                             ULONG accuracy, const char* what)
    : context_(context), id_(OwnSessionId()) {
    std::memcpy(idBytes_, &id_, sizeof id_);
    client::FixSessionParameters parameters;
    parameters.sessionId = id_;
    parameters.type = type;
    parameters.horizontalAccuracy = accuracy;
    parameters.levelOfDetails = GNSS_FIXDETAIL_BASIC | GNSS_FIXDETAIL_ACCURACY | GNSS_FIXDETAIL_SATELLITE;
    parameters.typeValue = typeValue;
    const client::Completion started =
        context.Device().Control(IOCTL_GNSS_START_FIXSESSION, client::BuildFixSession(parameters),
                                 0, context.timeout());
    if (!started.ok()) ThrowFixStatus(context, started.status, what);
}

void OwnFixSession::Stop() {
    if (std::exchange(running_, false)) StopFixSession(context_, id_);
}

GNSS_FIXDATA FixOf(const client::Completion& completion) {
    const client::Event event = client::DecodeEvent(completion.output);
    const auto* fix = std::get_if<GNSS_FIXDATA>(&event.data);
    if (fix == nullptr)
        throw client::FormatError("the answer to the fix request is no fix event (event type " +
                                  std::to_string(static_cast<int>(event.type)) + ")");
    return *fix;
}

GNSS_FIXDATA WaitForFix(Context& context, EventWait& events, const OwnFixSession& session,
                        std::chrono::milliseconds timeout, const char* command) {
    client::Device& device = context.Device();
    const client::Tag tag = device.ControlAsync(IOCTL_GNSS_GET_FIXDATA, session.IdBytes(),
                                                sizeof(GNSS_EVENT), events.Deliver(kFixKey));
    EventWait::Event e;
    {
        WaitFeedback feedback(context, events, "waiting for a fix");
        e = feedback.Next(std::chrono::steady_clock::now() + timeout);
    }
    if (e.kind != EventWait::Event::Kind::Completion) {
        const bool signalled = e.kind == EventWait::Event::Kind::Signal;
        // The request waits in the driver: take it back before stopping.
        device.Cancel(tag);
        const EventWait::Event last =
            events.Next(std::chrono::steady_clock::now() + context.timeout(), false);
        const bool fixCame = last.kind == EventWait::Event::Kind::Completion && last.completion.ok();
        if (signalled && e.signal == SIGPIPE) throw OutputClosed();
        if (!fixCame || signalled) {
            if (signalled)
                throw client::Error(std::string(command) + ": interrupted; the fix session was stopped");
            throw client::TimeoutError(std::string(command) + ": no fix within " +
                                       FormatSeconds(timeout) + "; the fix session was stopped");
        }
        e = last;
    }
    const client::Completion& c = e.completion;
    if (c.disconnected)
        throw client::ConnectionError("the connection to gnssd ended before the fix came (" +
                                      device.DisconnectReason() + ")");
    if (!c.ok()) ThrowFixStatus(context, c.status, "fix data");
    return FixOf(c);
}

namespace {

void PrintFix(std::ostream& out, const GNSS_FIXDATA& fix, bool verbose) {
    const auto& b = fix.BasicData;
    const auto& a = fix.AccuracyData;
    const auto row = [&out](const char* name, const std::string& value) {
        out << "  " << std::left << std::setw(21) << name << value << "\n";
    };
    out << "Fix at " << FormatUtc(fix.FixTimeStamp) << " (session " << fix.FixSessionID << ")\n";
    row("latitude", Number(b.Latitude, 6) + " deg");
    row("longitude", Number(b.Longitude, 6) + " deg");
    row("altitude", Number(b.Altitude, 1) + " m");
    row("speed", Number(b.Speed, 2) + " m/s");
    row("heading", Number(b.Heading, 1) + " deg");
    row("horizontal accuracy", std::to_string(a.HorizontalAccuracy) + " m (error ellipse " +
                                   std::to_string(a.HorizontalErrorMajorAxis) + " x " +
                                   std::to_string(a.HorizontalErrorMinorAxis) + " m, " +
                                   std::to_string(a.HorizontalErrorAngle) + " deg)");
    row("altitude accuracy", std::to_string(a.AltitudeAccuracy) + " m");
    row("DOP", "position " + Number(a.PositionDilutionOfPrecision, 1) + ", horizontal " +
                   Number(a.HorizontalDilutionOfPrecision, 1) + ", vertical " +
                   Number(a.VerticalDilutionOfPrecision, 1));
    row("satellites", std::to_string(fix.SatelliteData.SatelliteCount) + " in view, " +
                          std::to_string(SatellitesUsed(fix)) + " used");
    if (!verbose || SatelliteEntries(fix) == 0) return;
    out << "     id  used  elevation  azimuth    SNR\n";
    for (std::size_t i = 0; i < SatelliteEntries(fix); ++i) {
        const auto& s = fix.SatelliteData.SatelliteArray[i];
        char line[96];
        std::snprintf(line, sizeof line, "  %5u  %-4s  %9.1f  %7.1f  %5.1f\n", s.SatelliteId,
                      s.UsedInPositiong != 0 ? "yes" : "no", s.Elevation, s.Azimuth,
                      s.SignalToNoiseRatio);
        out << line;
    }
}

int RunFix(Context& context, const std::vector<std::string>& args) {
    const Options o("fix", args,
                    {{"--accuracy", KnownOption::Arg::One},
                     {"--timeout", KnownOption::Arg::One},
                     {"--response-time", KnownOption::Arg::One},
                     {"--lkg"},
                     {"--json"},
                     {"--verbose", KnownOption::Arg::None, "-v"}});
    o.AtMostWords(0);
    const ULONG accuracy = o.Number("--accuracy", 50);
    const std::chrono::milliseconds timeout = o.Seconds("--timeout").value_or(std::chrono::seconds(60));
    // The receiver is given the whole wait unless told otherwise.
    const auto wholeWait = static_cast<ULONG>((timeout.count() + 999) / 1000);
    const ULONG responseTime = o.WholeSeconds("--response-time", wholeWait, 0);
    const bool lkg = o.Has("--lkg"), json = o.Has("--json"), verbose = o.Has("--verbose");

    EventWait events;  // before the device's reader thread starts
    OwnFixSession session(context, lkg ? GNSS_FixSession_LKG : GNSS_FixSession_SingleShot,
                          lkg ? 0 : responseTime, accuracy, "start of the fix session");
    const GNSS_FIXDATA fix = WaitForFix(context, events, session, timeout, "fix");
    session.Stop();
    if (lkg && fix.FixStatus == STATUS_NOT_FOUND)
        throw client::Error("no last-known-good fix: the driver has had no fix since it started");
    if (!NT_SUCCESS(fix.FixStatus)) throw client::StatusError(fix.FixStatus, "fix");
    if (json) WriteJson(context.out(), FixObject(fix));
    else PrintFix(context.out(), fix, verbose);
    CheckOutput(context.out());
    return kExitOk;
}

constexpr CommandEntry kFix{
    "fix", "fix [--lkg] [--json] [-v] [OPTIONS]",
    "Get one fix (a single-shot session)",
    "Starts a single-shot fix session (IOCTL_GNSS_START_FIXSESSION) under a session\n"
    "id of its own, waits for its fix (IOCTL_GNSS_GET_FIXDATA, which the driver\n"
    "holds until the fix arrives), prints it and stops the session\n"
    "(IOCTL_GNSS_STOP_FIXSESSION).  The session is stopped on every way out: after\n"
    "the fix, an error, the time-out, Ctrl-C or SIGTERM.  Fix sessions need the\n"
    "location service on (gnssctl location on).\n"
    "\n"
    "Options:\n"
    "  --accuracy M         horizontal accuracy asked for, metres; default 50\n"
    "  --timeout S          give up after S seconds without a fix (fractions\n"
    "                       allowed); default 60\n"
    "  --response-time S    response time handed to the receiver, whole seconds;\n"
    "                       default the time-out (the modem uses at least 150)\n"
    "  --lkg                the last-known-good fix instead: answered at once from the\n"
    "                       driver's last fix, no receiver work; fails when the driver\n"
    "                       has had no fix since it started\n"
    "  --json               one JSON object: session, time, mode (2d or 3d),\n"
    "                       latitude, longitude, altitude, speed, heading, accuracy,\n"
    "                       dop, satellitesInView, satellitesUsed, constellations and\n"
    "                       satellites (the schema is in the README)\n"
    "  -v, --verbose        list every satellite (id, used, elevation, azimuth, SNR)\n"
    "\n"
    "The text output gives the UTC time, latitude and longitude in degrees (6\n"
    "decimals), altitude (m), speed (m/s), heading (degrees from north), the\n"
    "accuracies, the dilutions of precision and the satellites in view and used.\n"
    "\n"
    "Exit status: 0 with a fix; 1 without one (time-out, interrupted, driver failure,\n"
    "no last-known-good fix); 3 when gnssd cannot be reached or goes away.\n"
    "\n"
    "Examples:\n"
    "  gnssctl fix\n"
    "  gnssctl fix --accuracy 20 --timeout 120 -v\n"
    "  gnssctl fix --lkg --json\n",
    RunFix};

GNSSCTL_COMMAND(kFix);

}  // namespace
}  // namespace gnss::ctl
