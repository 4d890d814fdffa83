// gnssctl sky: one fix with its satellites, drawn as an SVG sky plot.
#include <cerrno>
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

// A single-shot session under this process's id, stopped on every way out;
// the fix with satellite detail.
GNSS_FIXDATA OneFix(Context& context, ULONG accuracy, std::chrono::milliseconds timeout) {
    EventWait events;  // before the device's reader thread starts
    OwnFixSession session(context, GNSS_FixSession_SingleShot,
                          static_cast<ULONG>((timeout.count() + 999) / 1000), accuracy,
                          "start of the fix session");
    const GNSS_FIXDATA fix = WaitForFix(context, events, session, timeout, "sky");
    if (!NT_SUCCESS(fix.FixStatus)) throw client::StatusError(fix.FixStatus, "fix");
    return fix;
}

int RunSky(Context& context, const std::vector<std::string>& args) {
    const Options o("sky", args,
                    {{"--svg", KnownOption::Arg::One},
                     {"--force"},
                     {"--accuracy", KnownOption::Arg::One},
                     {"--timeout", KnownOption::Arg::One}});
    o.AtMostWords(0);
    const ULONG accuracy = o.Number("--accuracy", 50);
    const std::chrono::milliseconds timeout = o.Seconds("--timeout").value_or(std::chrono::seconds(60));
    const std::string path = o.Value("--svg").value_or("");
    if (path.empty()) throw UsageError("sky needs --svg FILE (or --svg - for standard output)");

    // The file first: a path that cannot be written costs no session.
    std::FILE* file = OpenOutput(path, o.Has("--force"), "SVG file");
    struct Closer {
        std::FILE* file;
        ~Closer() {
            if (file != nullptr && file != stdout) std::fclose(file);
        }
    } closer{file};

    const GNSS_FIXDATA fix = OneFix(context, accuracy, timeout);
    const std::string svg = SkySvg(fix);
    if (file == stdout) {
        // Through the command's stream, which tests may hand in.
        closer.file = nullptr;
        context.out() << svg << std::flush;
        CheckOutput(context.out());
    } else if (std::fwrite(svg.data(), 1, svg.size(), file) != svg.size() ||
               std::fclose(std::exchange(closer.file, nullptr)) != 0) {
        throw client::Error("cannot write the SVG file '" + path + "': " + std::strerror(errno));
    } else {
        context.err() << "gnssctl: " << SatelliteEntries(fix) << " satellites in view, "
                      << SatellitesUsed(fix) << " used; sky plot in " << path << "\n";
    }
    return kExitOk;
}

constexpr CommandEntry kSky{
    "sky", "sky --svg FILE [OPTIONS]", "Draw the satellites of one fix as an SVG sky plot",
    "Gets one fix with satellite detail, the way gnssctl fix does (a single-shot\n"
    "session under a session id of its own, stopped on every way out), and draws\n"
    "the sky as the receiver saw it: rings at elevations 0, 30 and 60 degrees,\n"
    "north up and east right, one mark per satellite in view at its elevation and\n"
    "azimuth, coloured by constellation (GPS 1-32, SBAS 33-64, GLONASS 65-96, QZSS\n"
    "193-202, Galileo 301-336, BeiDou 401-463), filled when the satellite was used\n"
    "in the fix, its id beside it, and a legend.  Any browser opens the file.\n"
    "Fix sessions need the location service on (gnssctl location on).\n"
    "\n"
    "Options:\n"
    "  --svg FILE        where to write the drawing; - for standard output\n"
    "  --force           replace FILE when it exists (kept otherwise)\n"
    "  --accuracy M      horizontal accuracy asked for, metres; default 50\n"
    "  --timeout S       give up after S seconds without a fix (fractions\n"
    "                    allowed); default 60\n"
    "\n"
    "Exit status: 0 with a drawing; 1 without a fix or when the file cannot be\n"
    "written; 3 when gnssd cannot be reached or goes away.\n"
    "\n"
    "Examples:\n"
    "  gnssctl sky --svg sky.svg\n"
    "  gnssctl sky --svg - --timeout 120 > sky.svg\n",
    RunSky};

GNSSCTL_COMMAND(kSky);

}  // namespace
}  // namespace gnss::ctl
