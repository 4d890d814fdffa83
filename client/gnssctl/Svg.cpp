// The constellations, the sky geometry and the two SVG drawings of Svg.h.
// Numbers go into the documents with "%.Nf" formats: the C locale's decimal
// point whatever the user's locale, as SVG needs.
#include "Svg.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>
#include <set>

#include "Command.h"
#include "gnss/client/error.h"

namespace gnss::ctl {
namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string F1(double value) { return Format("%.1f", value); }

// Text for an XML attribute or element.
std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

constexpr const char* kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" ";

}  // namespace

const std::vector<Constellation>& Constellations() {
    static const std::vector<Constellation> all = {
        {"GPS", 'G', "#1f77b4", 1, 32},        {"SBAS", 'S', "#7f7f7f", 33, 64},
        {"GLONASS", 'R', "#d62728", 65, 96},   {"QZSS", 'J', "#9467bd", 193, 202},
        {"Galileo", 'E', "#2ca02c", 301, 336}, {"BeiDou", 'C', "#ff7f0e", 401, 463},
    };
    return all;
}

const Constellation& ConstellationOf(ULONG satelliteId) {
    static const Constellation other{"other", '?', "#000000", 0, 0};
    for (const Constellation& c : Constellations())
        if (satelliteId >= c.first && satelliteId <= c.last) return c;
    return other;
}

SkyPoint SkyPosition(double elevation, double azimuth) {
    if (!std::isfinite(elevation)) elevation = 0;
    if (!std::isfinite(azimuth)) azimuth = 0;
    const double r = (90.0 - std::clamp(elevation, 0.0, 90.0)) / 90.0;
    const double a = azimuth * std::numbers::pi / 180.0;
    return {r * std::sin(a), -r * std::cos(a)};
}

std::string SkySvg(const GNSS_FIXDATA& fix) {
    constexpr double kCentre = 250, kRadius = 200;
    std::string svg = std::string(kHeader) +
                      "width=\"680\" height=\"500\" viewBox=\"0 0 680 500\" "
                      "font-family=\"sans-serif\" font-size=\"12\">\n"
                      "  <title>Sky at " +
                      FormatUtc(fix.FixTimeStamp) +
                      "</title>\n"
                      "  <rect width=\"680\" height=\"500\" fill=\"white\"/>\n"
                      "  <g fill=\"none\" stroke=\"#bbbbbb\">\n";
    for (const int elevation : {0, 30, 60}) {
        svg += "    <circle cx=\"250\" cy=\"250\" r=\"" + F1(kRadius * (90 - elevation) / 90.0) +
               "\"/>\n";
    }
    svg += "    <line x1=\"50\" y1=\"250\" x2=\"450\" y2=\"250\"/>\n"
           "    <line x1=\"250\" y1=\"50\" x2=\"250\" y2=\"450\"/>\n"
           "  </g>\n"
           "  <g fill=\"#555555\" text-anchor=\"middle\">\n"
           "    <text x=\"250\" y=\"40\">N</text><text x=\"465\" y=\"254\">E</text>\n"
           "    <text x=\"250\" y=\"472\">S</text><text x=\"35\" y=\"254\">W</text>\n"
           "    <text x=\"256\" y=\"116\" font-size=\"10\">60&#176;</text>\n"
           "    <text x=\"256\" y=\"183\" font-size=\"10\">30&#176;</text>\n"
           "  </g>\n"
           "  <g class=\"satellites\">\n";
    std::set<const Constellation*> present;
    for (std::size_t i = 0; i < SatelliteEntries(fix); ++i) {
        const auto& s = fix.SatelliteData.SatelliteArray[i];
        const Constellation& c = ConstellationOf(s.SatelliteId);
        present.insert(&c);
        const SkyPoint p = SkyPosition(s.Elevation, s.Azimuth);
        const std::string x = F1(kCentre + kRadius * p.x), y = F1(kCentre + kRadius * p.y);
        const bool used = s.UsedInPositiong != 0;
        svg += "    <g class=\"satellite\"><title>" + std::string(c.name) + " " +
               std::to_string(s.SatelliteId) + ": elevation " + F1(s.Elevation) + ", azimuth " +
               F1(s.Azimuth) + ", SNR " + F1(s.SignalToNoiseRatio) + " dB" +
               (used ? ", used" : "") + "</title><circle cx=\"" + x + "\" cy=\"" + y +
               "\" r=\"7\" stroke=\"" + c.colour + "\" stroke-width=\"2\" fill=\"" +
               (used ? c.colour : "white") + "\"/><text x=\"" + F1(kCentre + kRadius * p.x + 10) +
               "\" y=\"" + F1(kCentre + kRadius * p.y + 4) + "\">" + std::to_string(s.SatelliteId) +
               "</text></g>\n";
    }
    svg += "  </g>\n  <g class=\"legend\">\n";
    double y = 60;
    for (const Constellation& c : Constellations()) {
        if (present.count(&c) == 0) continue;
        svg += "    <circle cx=\"500\" cy=\"" + F1(y) + "\" r=\"6\" fill=\"" + c.colour +
               "\"/><text x=\"514\" y=\"" + F1(y + 4) + "\">" + c.name + "</text>\n";
        y += 22;
    }
    if (present.count(&ConstellationOf(0)) != 0) {
        svg += "    <circle cx=\"500\" cy=\"" + F1(y) +
               "\" r=\"6\" fill=\"#000000\"/><text x=\"514\" y=\"" + F1(y + 4) +
               "\">other</text>\n";
        y += 22;
    }
    svg += "    <circle cx=\"500\" cy=\"" + F1(y + 10) +
           "\" r=\"6\" fill=\"#555555\"/><text x=\"514\" y=\"" + F1(y + 14) +
           "\">used in the fix</text>\n"
           "    <circle cx=\"500\" cy=\"" +
           F1(y + 32) +
           "\" r=\"6\" fill=\"white\" stroke=\"#555555\" stroke-width=\"2\"/><text x=\"514\" y=\"" +
           F1(y + 36) + "\">not used</text>\n";
    svg += "    <text x=\"500\" y=\"" + F1(y + 70) + "\">" +
           std::to_string(SatelliteEntries(fix)) + " in view, " +
           std::to_string(SatellitesUsed(fix)) + " used</text>\n" +
           "    <text x=\"500\" y=\"" + F1(y + 88) + "\">" + Escape(FormatUtc(fix.FixTimeStamp)) +
           "</text>\n  </g>\n</svg>\n";
    return svg;
}

// --- SvgTrack -----------------------------------------------------------------------

SvgTrack::SvgTrack(std::string path, bool force) : path_(std::move(path)) {
    file_ = OpenOutput(path_, force, "SVG file");
    Write();
}

SvgTrack::~SvgTrack() {
    if (file_ != nullptr) std::fclose(file_);
}

void SvgTrack::Add(const GNSS_FIXDATA& fix) {
    const auto& b = fix.BasicData;
    if (!std::isfinite(b.Latitude) || !std::isfinite(b.Longitude)) return;
    points_.push_back({b.Latitude, b.Longitude,
                       static_cast<double>(fix.AccuracyData.HorizontalAccuracy)});
    Write();
}

void SvgTrack::Write() {
    // Metres east and south of the middle of the track: a local flat
    // projection, good for the few kilometres a drawing like this shows.
    constexpr double kMetresPerDegree = 111320.0;
    double minLat = 0, maxLat = 0, minLon = 0, maxLon = 0;
    if (!points_.empty()) {
        minLat = maxLat = points_[0].latitude;
        minLon = maxLon = points_[0].longitude;
    }
    for (const Point& p : points_) {
        minLat = std::min(minLat, p.latitude), maxLat = std::max(maxLat, p.latitude);
        minLon = std::min(minLon, p.longitude), maxLon = std::max(maxLon, p.longitude);
    }
    const double lat0 = (minLat + maxLat) / 2, lon0 = (minLon + maxLon) / 2;
    const double cosLat = std::cos(lat0 * std::numbers::pi / 180.0);
    const auto east = [&](const Point& p) { return (p.longitude - lon0) * kMetresPerDegree * cosLat; };
    const auto south = [&](const Point& p) { return (lat0 - p.latitude) * kMetresPerDegree; };
    double half = 10;  // metres from the middle to the edge; 20 m across at the least
    for (const Point& p : points_)
        half = std::max({half, std::abs(east(p)) + p.accuracy, std::abs(south(p)) + p.accuracy});
    constexpr double kSize = 600, kMargin = 30;
    const double scale = (kSize / 2) / half;  // pixels per metre
    const auto px = [&](double metres) { return kMargin + kSize / 2 + metres * scale; };

    std::string svg = std::string(kHeader) +
                      "width=\"660\" height=\"700\" viewBox=\"0 0 660 700\" "
                      "font-family=\"sans-serif\" font-size=\"12\">\n"
                      "  <title>gnssctl track</title>\n"
                      "  <rect width=\"660\" height=\"700\" fill=\"white\"/>\n"
                      "  <g class=\"accuracy\" fill=\"#1f77b4\" fill-opacity=\"0.08\" "
                      "stroke=\"#1f77b4\" stroke-opacity=\"0.4\">\n";
    for (const Point& p : points_)
        if (p.accuracy > 0)
            svg += "    <circle cx=\"" + F1(px(east(p))) + "\" cy=\"" + F1(px(south(p))) +
                   "\" r=\"" + F1(p.accuracy * scale) + "\"/>\n";
    svg += "  </g>\n";
    if (points_.size() > 1) {
        svg += "  <polyline fill=\"none\" stroke=\"#d62728\" stroke-width=\"1.5\" points=\"";
        for (const Point& p : points_) svg += F1(px(east(p))) + "," + F1(px(south(p))) + " ";
        svg.back() = '"';
        svg += "/>\n";
    }
    svg += "  <g class=\"fixes\" fill=\"#d62728\">\n";
    for (const Point& p : points_)
        svg += "    <circle class=\"fix\" cx=\"" + F1(px(east(p))) + "\" cy=\"" +
               F1(px(south(p))) + "\" r=\"2.5\"><title>" + Format("%.6f", p.latitude) + ", " +
               Format("%.6f", p.longitude) + " &#177;" + F1(p.accuracy) +
               " m</title></circle>\n";
    svg += "  </g>\n";
    // A scale bar of a round length near a fifth of the width.
    const double want = 2 * half / 5;
    const double step = std::pow(10.0, std::floor(std::log10(want)));
    const double bar = want >= 5 * step ? 5 * step : want >= 2 * step ? 2 * step : step;
    svg += "  <g stroke=\"black\"><line x1=\"30\" y1=\"670\" x2=\"" + F1(30 + bar * scale) +
           "\" y2=\"670\"/></g>\n"
           "  <text x=\"30\" y=\"660\">" +
           Format("%.0f", bar) + " m</text>\n"
           "  <text x=\"630\" y=\"660\" text-anchor=\"end\">" +
           std::to_string(points_.size()) + " fixes; circles: horizontal accuracy; north up</text>\n"
           "</svg>\n";

    std::rewind(file_);
    if (std::fwrite(svg.data(), 1, svg.size(), file_) != svg.size() || std::fflush(file_) != 0)
        Fail("cannot write the SVG file");
    if (::ftruncate(::fileno(file_), static_cast<off_t>(svg.size())) != 0)
        Fail("cannot write the SVG file");
}

void SvgTrack::Fail(const char* what) {
    throw client::Error(std::string(what) + " '" + path_ + "': " + std::strerror(errno));
}

}  // namespace gnss::ctl
