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

// A GPX 1.1 file with one track of one segment.  After every point the file
// holds the closing tags too, so that it is a whole document at any moment
// (a map tool may open it while the track runs, and nothing is lost when
// gnssctl is killed); the next point is written over those tags.
class GpxWriter {
public:
    explicit GpxWriter(const std::string& path) : path_(path) {
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr)
            throw client::Error("cannot write the GPX file '" + path + "': " + std::strerror(errno));
        Write(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<gpx version=\"1.1\" creator=\"gnssctl\" xmlns=\"http://www.topografix.com/GPX/1/1\"\n"
            "     xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
            "     xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
            "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
            "  <trk>\n"
            "    <name>gnssctl track</name>\n"
            "    <trkseg>\n");
        Close();
    }
    ~GpxWriter() {
        if (file_ != nullptr) std::fclose(file_);
    }
    GpxWriter(const GpxWriter&) = delete;
    GpxWriter& operator=(const GpxWriter&) = delete;

    void Add(const GNSS_FIXDATA& fix) {
        if (std::fseek(file_, end_, SEEK_SET) != 0) Fail();
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
        Close();
    }

private:
    // Notes where the closing tags begin, writes them and flushes.
    void Close() {
        end_ = std::ftell(file_);
        if (end_ < 0) Fail();
        Write("    </trkseg>\n  </trk>\n</gpx>\n");
        if (std::fflush(file_) != 0) Fail();
    }
    void Write(const std::string& text) {
        if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) Fail();
    }
    [[noreturn]] void Fail() {
        throw client::Error("cannot write the GPX file '" + path_ + "': " + std::strerror(errno));
    }

    std::string path_;
    std::FILE* file_ = nullptr;
    long end_ = 0;
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
    ULONG interval = 0, count = 0, accuracy = 50, timeout = 0;
    bool intervalGiven = false, json = false;
    std::string gpxPath, svgPath;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--interval") {
            interval = OptionNumber(args, i, "--interval", 1);
            intervalGiven = true;
        } else if (a == "--count") count = OptionNumber(args, i, "--count", 1);
        else if (a == "--accuracy") accuracy = OptionNumber(args, i, "--accuracy", 0);
        else if (a == "--timeout") timeout = OptionNumber(args, i, "--timeout", 1);
        else if (a == "--json") json = true;
        else if (a == "--gpx") {
            if (i + 1 >= args.size() || args[i + 1].empty()) throw UsageError("--gpx needs a file");
            gpxPath = args[++i];
        } else if (a == "--svg") {
            if (i + 1 >= args.size() || args[i + 1].empty()) throw UsageError("--svg needs a file");
            svgPath = args[++i];
        } else throw UsageError("track: unexpected argument '" + a + "'");
    }
    if (!intervalGiven) throw UsageError("track needs --interval S");

    // The file first: a path that cannot be written costs no session.
    std::unique_ptr<GpxWriter> gpx;
    if (!gpxPath.empty()) gpx = std::make_unique<GpxWriter>(gpxPath);
    std::unique_ptr<SvgTrack> svg;
    if (!svgPath.empty()) svg = std::make_unique<SvgTrack>(svgPath);

    EventWait events;  // before the device's reader thread starts
    client::FixSessionParameters parameters;
    parameters.type = GNSS_FixSession_ContinuousTracking;
    parameters.horizontalAccuracy = accuracy;
    parameters.levelOfDetails =
        GNSS_FIXDETAIL_BASIC | GNSS_FIXDETAIL_ACCURACY | GNSS_FIXDETAIL_SATELLITE;
    parameters.typeValue = interval;
    const OwnFixSession session(context, parameters, "start of the tracking session");
    client::Device& device = context.Device();

    const auto print = [&](const client::Completion& c) {
        const GNSS_FIXDATA fix = FixOf(c);
        if (!NT_SUCCESS(fix.FixStatus)) throw client::StatusError(fix.FixStatus, "fix");
        context.out() << (json ? FixJson(fix) : FixLine(fix)) << std::endl;
        if (gpx) gpx->Add(fix);
        if (svg) svg->Add(fix);
    };

    // One fix request waits in the driver at a time; a fix that comes while
    // none waits is kept by the driver and answers the next one at once.
    ULONG received = 0;
    while (count == 0 || received < count) {
        const client::Tag tag = device.ControlAsync(IOCTL_GNSS_GET_FIXDATA, session.IdBytes(),
                                                    sizeof(GNSS_EVENT), events.Deliver(1));
        std::optional<std::chrono::steady_clock::time_point> deadline;
        if (timeout > 0) deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
        EventWait::Event e = events.Next(deadline);
        if (e.kind != EventWait::Event::Kind::Completion) {
            device.Cancel(tag);
            const EventWait::Event last =
                events.Next(std::chrono::steady_clock::now() + context.timeout(), false);
            if (last.kind == EventWait::Event::Kind::Completion && last.completion.ok()) {
                print(last.completion);  // it came before the cancel
                ++received;
            }
            if (e.kind == EventWait::Event::Kind::Signal) break;
            throw client::TimeoutError("track: no fix for " + std::to_string(timeout) +
                                       " s; the session was stopped");
        }
        const client::Completion& c = e.completion;
        if (c.disconnected)
            throw client::ConnectionError("the connection to gnssd ended (" +
                                          device.DisconnectReason() + ")");
        if (!c.ok()) ThrowFixStatus(c.status, "fix data");
        print(c);
        ++received;
    }
    return kExitOk;
}

constexpr CommandEntry kTrack{
    "track", "track --interval S [--count N] [OPTIONS]",
    "Track continuously: one fix every S seconds",
    "Starts a continuous-tracking fix session (IOCTL_GNSS_START_FIXSESSION with\n"
    "PreferredInterval S) under a session id of its own and prints every fix as it\n"
    "comes, keeping one IOCTL_GNSS_GET_FIXDATA request waiting in the driver at a\n"
    "time.  It ends after N fixes, on Ctrl-C or SIGTERM (exit status 0), or on an\n"
    "error, and stops the session (IOCTL_GNSS_STOP_FIXSESSION) in every case.  Fix\n"
    "sessions need the location service on (gnssctl location on).\n"
    "\n"
    "Options:\n"
    "  --interval S    seconds between fixes, at least 1 (required)\n"
    "  --count N       stop after N fixes; default: until interrupted\n"
    "  --accuracy M    horizontal accuracy asked for, metres; default 50\n"
    "  --timeout S     give up when no fix has come for S seconds; default: wait\n"
    "  --json          one JSON object per line and fix: session, time, latitude,\n"
    "                  longitude, altitude, speed, heading, accuracy, dop,\n"
    "                  satellitesUsed and satellites (an array)\n"
    "  --gpx FILE      also write the fixes to FILE as a GPX 1.1 track (trkpt with\n"
    "                  lat, lon, ele, time, sat, hdop, vdop, pdop); the file is a\n"
    "                  complete document after every point\n"
    "  --svg FILE      also draw the track to scale in FILE (SVG): the fixes joined\n"
    "                  in order, each inside a circle of its horizontal accuracy,\n"
    "                  with a scale bar; redrawn whole after every point\n"
    "\n"
    "Each text line holds the UTC time, latitude and longitude (degrees), altitude,\n"
    "speed, heading, the horizontal accuracy and the satellites used / in view:\n"
    "  2024-05-01T12:00:01.000Z  lat 47.376900  lon 8.541700  alt 408.0 m  speed 12.50 m/s"
    "  heading 90.0  hacc 5 m  sats 9/24\n"
    "\n"
    "Examples:\n"
    "  gnssctl track --interval 1\n"
    "  gnssctl track --interval 5 --count 10 --json\n"
    "  gnssctl track --interval 1 --gpx drive.gpx\n"
    "  gnssctl track --interval 1 --count 60 --svg drive.svg\n",
    RunTrack};

GNSSCTL_COMMAND(kTrack);

}  // namespace
}  // namespace gnss::ctl
