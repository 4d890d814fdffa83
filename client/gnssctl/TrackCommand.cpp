// gnssctl track: a continuous-tracking session, one line (or JSON object, or
// GPX track point) per fix.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
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

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A GPX 1.1 track of one segment, written as a stream: the header at once,
// each point as it comes, the closing tags at the end (Finish, or the
// destructor on the way out of an error or a signal).  Nothing is sought
// back, so standard output and pipes take it as well as files.  A file cut
// short by SIGKILL lacks only its closing tags.
class GpxWriter {
public:
    GpxWriter(const std::string& path, bool force) : path_(path) {
        file_ = OpenOutput(path, force, "GPX file");
        Write(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<gpx version=\"1.1\" creator=\"gnssctl\" xmlns=\"http://www.topografix.com/GPX/1/1\"\n"
            "     xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
            "     xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
            "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
            "  <trk>\n"
            "    <name>gnssctl track</name>\n"
            "    <trkseg>\n");
        Flush();
    }
    ~GpxWriter() {
        try {
            Finish();
        } catch (const std::exception&) {
            // Already on the way out of a failure; the file keeps what it has.
        }
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    }
    GpxWriter(const GpxWriter&) = delete;
    GpxWriter& operator=(const GpxWriter&) = delete;

    void Add(const GNSS_FIXDATA& fix) {
        const auto& b = fix.BasicData;
        const auto& a = fix.AccuracyData;
        // Child elements in the order of the schema's wptType.
        std::string point = "      <trkpt lat=\"" + Fixed(b.Latitude, 8) + "\" lon=\"" +
                            Fixed(b.Longitude, 8) + "\">\n";
        if (std::isfinite(b.Altitude)) point += "        <ele>" + Fixed(b.Altitude, 2) + "</ele>\n";
        point += "        <time>" + FormatUtc(fix.FixTimeStamp) + "</time>\n";
        point += "        <sat>" + std::to_string(SatellitesUsed(fix)) + "</sat>\n";
        const auto dop = [&point](const char* name, float value) {
            if (std::isfinite(value) && value >= 0.0f)
                point += std::string("        <") + name + ">" + Fixed(value, 2) + "</" + name + ">\n";
        };
        dop("hdop", a.HorizontalDilutionOfPrecision);
        dop("vdop", a.VerticalDilutionOfPrecision);
        dop("pdop", a.PositionDilutionOfPrecision);
        point += "      </trkpt>\n";
        Write(point);
        Flush();
    }

    // Writes the closing tags (once).
    void Finish() {
        if (std::exchange(finished_, true)) return;
        Write("    </trkseg>\n  </trk>\n</gpx>\n");
        Flush();
    }

private:
    void Write(const std::string& text) {
        if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) Fail();
    }
    void Flush() {
        if (std::fflush(file_) != 0) Fail();
    }
    [[noreturn]] void Fail() {
        if (file_ == stdout && errno == EPIPE) throw OutputClosed();
        throw client::Error("cannot write the GPX file '" + path_ + "': " + std::strerror(errno));
    }

    std::string path_;
    std::FILE* file_ = nullptr;
    bool finished_ = false;
};

std::string FixLine(const GNSS_FIXDATA& fix) {
    const auto& b = fix.BasicData;
    char line[256];
    std::snprintf(line, sizeof line,
                  "%s  lat %.6f  lon %.6f  alt %.1f m  speed %.2f m/s  heading %.1f  "
                  "hacc %u m  sats %zu/%u",
                  FormatUtc(fix.FixTimeStamp).c_str(), b.Latitude, b.Longitude, b.Altitude, b.Speed,
                  b.Heading, fix.AccuracyData.HorizontalAccuracy, SatellitesUsed(fix),
                  fix.SatelliteData.SatelliteCount);
    return line;
}

int RunTrack(Context& context, const std::vector<std::string>& args) {
    const Options o("track", args,
                    {{"--interval", KnownOption::Arg::One},
                     {"--count", KnownOption::Arg::One},
                     {"--accuracy", KnownOption::Arg::One},
                     {"--timeout", KnownOption::Arg::One},
                     {"--json"},
                     {"--gpx", KnownOption::Arg::One},
                     {"--svg", KnownOption::Arg::One},
                     {"--force"}});
    o.AtMostWords(0);
    const ULONG interval = o.WholeSeconds("--interval", 1, 1);
    const ULONG count = o.Number("--count", 0, 1);
    const ULONG accuracy = o.Number("--accuracy", 50);
    const std::optional<std::chrono::milliseconds> timeout = o.Seconds("--timeout");
    const bool json = o.Has("--json"), force = o.Has("--force");
    const std::string gpxPath = o.Value("--gpx").value_or(""), svgPath = o.Value("--svg").value_or("");
    if (o.Has("--gpx") && gpxPath.empty()) throw UsageError("--gpx needs a file (or - for standard output)");
    if (o.Has("--svg") && svgPath.empty()) throw UsageError("--svg needs a file");
    if (svgPath == "-")
        throw UsageError("track --svg needs a file: the drawing is redrawn whole after every fix");
    if (gpxPath == "-" && json)
        throw UsageError("track: --gpx - and --json both want standard output; give --gpx a file");
    // With the GPX on standard output the fix lines stay off it.
    const bool lines = gpxPath != "-";

    // The files first: a path that cannot be written costs no session.
    std::unique_ptr<GpxWriter> gpx;
    if (!gpxPath.empty()) gpx = std::make_unique<GpxWriter>(gpxPath, force);
    std::unique_ptr<SvgTrack> svg;
    if (!svgPath.empty()) svg = std::make_unique<SvgTrack>(svgPath, force);

    EventWait events;  // before the device's reader thread starts
    const OwnFixSession session(context, GNSS_FixSession_ContinuousTracking, interval, accuracy,
                                "start of the tracking session");
    WaitFeedback feedback(context, events, "waiting for a fix");
    client::Device& device = context.Device();

    ULONG received = 0;
    const auto print = [&](const client::Completion& c) {
        const GNSS_FIXDATA fix = FixOf(c);
        if (!NT_SUCCESS(fix.FixStatus)) throw client::StatusError(fix.FixStatus, "fix");
        feedback.Fix(fix);
        if (lines) {
            if (json) WriteJson(context.out(), FixObject(fix));
            else context.out() << FixLine(fix) << std::endl;
            CheckOutput(context.out());
        }
        if (gpx) gpx->Add(fix);
        if (svg) svg->Add(fix);
        ++received;
    };

    // One fix request waits in the driver at a time; a fix that comes while
    // none waits is kept by the driver and answers the next one at once.
    while (count == 0 || received < count) {
        const client::Tag tag = device.ControlAsync(IOCTL_GNSS_GET_FIXDATA, session.IdBytes(),
                                                    sizeof(GNSS_EVENT), events.Deliver(kFixKey));
        std::optional<std::chrono::steady_clock::time_point> deadline;
        if (timeout) deadline = std::chrono::steady_clock::now() + *timeout;
        EventWait::Event e = feedback.Next(deadline, kFixKey);
        if (e.kind != EventWait::Event::Kind::Completion) {
            device.Cancel(tag);
            const EventWait::Event last = events.Next(
                std::chrono::steady_clock::now() + context.timeout(), false);
            if (last.kind == EventWait::Event::Kind::Completion && last.completion.ok())
                print(last.completion);  // it came before the cancel
            if (e.kind == EventWait::Event::Kind::Signal) {
                if (e.signal == SIGPIPE) break;  // the reader is gone: done, as asked
                if (count != 0 && received < count)
                    throw client::Error("track: interrupted after " + std::to_string(received) +
                                        " of " + std::to_string(count) +
                                        " fixes; the session was stopped");
                break;
            }
            throw client::TimeoutError("track: no fix for " + FormatSeconds(*timeout) +
                                       "; the session was stopped");
        }
        const client::Completion& c = e.completion;
        if (c.disconnected)
            throw client::ConnectionError("the connection to gnssd ended (" +
                                          device.DisconnectReason() + ")");
        if (!c.ok()) ThrowFixStatus(context, c.status, "fix data");
        print(c);
    }
    if (gpx) gpx->Finish();
    return kExitOk;
}

constexpr CommandEntry kTrack{
    "track", "track [--interval S] [--count N] [OPTIONS]",
    "Track continuously: one fix every S seconds",
    "Starts a continuous-tracking fix session (IOCTL_GNSS_START_FIXSESSION with\n"
    "PreferredInterval S) under a session id of its own and prints every fix as it\n"
    "comes, keeping one IOCTL_GNSS_GET_FIXDATA request waiting in the driver at a\n"
    "time.  It ends after N fixes, on Ctrl-C or SIGTERM, when the reader of its\n"
    "output goes away (gnssctl track | head -3), or on an error, and stops the\n"
    "session (IOCTL_GNSS_STOP_FIXSESSION) in every case.  Fix sessions need the\n"
    "location service on (gnssctl location on).  On a terminal, standard error\n"
    "shows what the receiver sees while it waits.\n"
    "\n"
    "Options:\n"
    "  --interval S    whole seconds between fixes; default 1\n"
    "  --count N       stop after N fixes; default: until interrupted\n"
    "  --accuracy M    horizontal accuracy asked for, metres; default 50\n"
    "  --timeout S     give up when no fix has come for S seconds (fractions\n"
    "                  allowed); default: wait\n"
    "  --json          one JSON object per line and fix (the schema is in the\n"
    "                  README; the same object as gnssctl fix --json)\n"
    "  --gpx FILE|-    also write the fixes as a GPX 1.1 track (trkpt with lat,\n"
    "                  lon, ele, time, sat, hdop, vdop, pdop), point by point;\n"
    "                  - writes it to standard output instead of the fix lines\n"
    "  --svg FILE      also draw the track to scale in FILE (SVG): the fixes joined\n"
    "                  in order, each inside a circle of its horizontal accuracy,\n"
    "                  with a scale bar; redrawn whole after every point\n"
    "  --force         replace a GPX or SVG file that exists (kept otherwise)\n"
    "\n"
    "Each text line holds the UTC time, latitude and longitude (degrees), altitude,\n"
    "speed, heading, the horizontal accuracy and the satellites used / in view:\n"
    "  2024-05-01T12:00:01.000Z  lat 47.376900  lon 8.541700  alt 408.0 m  speed 12.50 m/s"
    "  heading 90.0  hacc 5 m  sats 9/24\n"
    "\n"
    "Exit status: 0 after N fixes, or when interrupted without --count, or when the\n"
    "reader of standard output went away; 1 when interrupted before N fixes came,\n"
    "on a time-out or a driver failure; 3 when gnssd cannot be reached.\n"
    "\n"
    "Examples:\n"
    "  gnssctl track\n"
    "  gnssctl track --interval 5 --count 10 --json\n"
    "  gnssctl track --gpx drive.gpx\n"
    "  gnssctl track --count 60 --gpx - > drive.gpx\n"
    "  gnssctl track --count 60 --svg drive.svg --force\n",
    RunTrack};

GNSSCTL_COMMAND(kTrack);

}  // namespace
}  // namespace gnss::ctl
