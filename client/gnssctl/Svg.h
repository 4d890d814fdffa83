// Pictures of fixes for gnssctl: the constellation of a satellite id, where
// a satellite stands on a sky plot, an SVG sky plot of one fix (gnssctl sky)
// and an SVG drawing of a track to scale (gnssctl track --svg).  The terminal
// view (gnssctl watch) uses the same constellations and sky geometry.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gnss/protocol/gnss_ddi.h"

namespace gnss::ctl {

struct Constellation {
    const char* name;    // "GPS"
    char letter;         // 'G': the mark on a text sky plot
    const char* colour;  // SVG colour
    ULONG first, last;   // the satellite ids the driver gives it
};

// The constellations by id range (GPS 1-32, SBAS 33-64, GLONASS 65-96,
// QZSS 193-202, Galileo 301-336, BeiDou 401-463), then "other" for any id
// outside them.
const std::vector<Constellation>& Constellations();
const Constellation& ConstellationOf(ULONG satelliteId);

// A satellite's place on a sky plot of radius 1 centred on the origin, north
// up, east right: the zenith in the middle, the horizon on the rim.  y grows
// downwards, as on a screen.  Elevations outside 0-90 are clamped.
struct SkyPoint {
    double x, y;
};
SkyPoint SkyPosition(double elevation, double azimuth);

// The whole SVG document of a sky plot: elevation rings at 0, 30 and 60
// degrees, the four directions, one mark per satellite in view (filled when
// used in the fix, outlined otherwise, the id beside it) coloured by its
// constellation, and a legend of the constellations present.
std::string SkySvg(const GNSS_FIXDATA& fix);

// An SVG drawing of a track, to scale: the fixes joined in order, each a dot
// inside a circle of its horizontal accuracy, with a scale bar.  Like the GPX
// writer it leaves a whole document in the file after every fix (written
// anew each time, since the scale changes with every point), so the file
// can be opened at any moment and nothing is lost when gnssctl is killed.
class SvgTrack {
public:
    // Creates the file (an empty drawing); an existing file is refused
    // unless `force` (UsageError), client::Error when it cannot be created.
    SvgTrack(std::string path, bool force);
    ~SvgTrack();
    SvgTrack(const SvgTrack&) = delete;
    SvgTrack& operator=(const SvgTrack&) = delete;

    // Adds a fix and writes the drawing again; client::Error on a write failure.
    void Add(const GNSS_FIXDATA& fix);

private:
    struct Point {
        double latitude, longitude;
        double accuracy;  // metres, 0 when unknown
    };
    void Write();
    [[noreturn]] void Fail(const char* what);

    std::string path_;
    std::FILE* file_ = nullptr;
    std::vector<Point> points_;
};

}  // namespace gnss::ctl
