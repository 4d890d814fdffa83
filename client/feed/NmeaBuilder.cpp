// The NMEA 0183 sentence builder of gnssfeed: the fields of one GNSS_FIXDATA
// written as GGA, RMC, GSA, GSV, GST and ZDA.
//
// Consumers (gpsd, GeoClue, serial chart plotters) read these with their own
// parsers, several of them strict, so the rules below matter more than they
// look: a field the fix does not know is left empty rather than written as
// 0, "nan" or "-0.00"; coordinates are rounded once, on whole millionths of a
// minute, so that a value just below a whole degree carries into the degrees
// instead of printing 60 minutes; and the time is rounded once, to the
// centisecond, before the date is taken from it, so that the time and the
// date of an epoch always agree.
#include "NmeaBuilder.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

#include "gnss/protocol/status.h"

namespace gnss::feed {
namespace {

constexpr int kConstellations = 5;

struct System {
    const char* talker;
    const char* systemId;  // the last field of GSA
};
// Indexed by Constellation.
constexpr std::array<System, kConstellations> kSystems = {{
    {"GP", "1"},
    {"GL", "2"},
    {"GA", "3"},
    {"GB", "4"},
    {"GQ", "5"},
}};

constexpr int Index(Constellation c) { return static_cast<int>(c); }

// GSA names at most this many satellites; a constellation with more used
// gets a second GSA of its own.
constexpr std::size_t kGsaSatellites = 12;
constexpr std::size_t kGsvSatellites = 4;

constexpr double kKnotsPerMetreSecond = 3600.0 / 1852.0;
// FILETIME counts 100 ns ticks; the sentences carry centiseconds.
constexpr std::uint64_t kTicksPerCentisecond = 100000;
constexpr std::uint64_t kCentisecondsPerDay = 24ull * 3600 * 100;

// printf-style formatting into a std::string.
template <class... Args>
std::string Format(const char* format, Args... args) {
    char text[96];
    const int n = std::snprintf(text, sizeof text, format, args...);
    return std::string(text, n < 0 ? 0 : std::min<std::size_t>(n, sizeof text - 1));
}

// `value` with `decimals` decimals; a value that rounds to zero loses its
// sign, since "-0.00" trips some parsers and means nothing.
std::string Fixed(double value, int decimals) {
    std::string text = Format("%.*f", decimals, value);
    if (text[0] == '-' && text.find_first_not_of("0.", 1) == std::string::npos) text.erase(0, 1);
    return text;
}

// Appends one field, with its separating comma, to a sentence body.
void Add(std::string& body, std::string_view field) {
    body += ',';
    body += field;
}

// A positive value, or an empty field for 0 or NaN (both mean unknown in
// the DOPs and the accuracy block).
std::string Positive(double value, int decimals) {
    return std::isfinite(value) && value > 0.0 ? Fixed(value, decimals) : std::string();
}

// --- position ------------------------------------------------------------

// Latitude as "ddmm.mmmmmm" and its hemisphere, or longitude as
// "dddmm.mmmmmm".  Six decimals of a minute are 1.7e-8 degree, well inside
// what a decoder needs to give the fix back to 1e-7 degree.
void AddCoordinate(std::string& body, double degrees, int degreeDigits, char positive,
                   char negative) {
    constexpr std::int64_t kUnitsPerMinute = 1000000;
    constexpr std::int64_t kUnitsPerDegree = 60 * kUnitsPerMinute;
    const std::int64_t units = std::llround(std::fabs(degrees) * double(kUnitsPerDegree));
    const std::int64_t whole = units / kUnitsPerDegree;
    const std::int64_t minutes = units % kUnitsPerDegree / kUnitsPerMinute;
    const std::int64_t fraction = units % kUnitsPerMinute;
    Add(body,
        Format("%0*" PRId64 "%02" PRId64 ".%06" PRId64, degreeDigits, whole, minutes, fraction));
    // A coordinate that rounds to zero is on the equator (or the prime
    // meridian) and is written N (or E), whatever the sign it came with.
    Add(body, std::string(1, degrees < 0.0 && units != 0 ? negative : positive));
}

void AddPosition(std::string& body, const GNSS_FIXDATA_BASIC& basic) {
    AddCoordinate(body, basic.Latitude, 2, 'N', 'S');
    AddCoordinate(body, basic.Longitude, 3, 'E', 'W');
}

// --- time ----------------------------------------------------------------

struct Utc {
    bool known = false;
    std::string time;  // hhmmss.ss
    std::string date;  // ddmmyy
    std::string zda;   // hhmmss.ss,dd,mm,yyyy
};

Utc ToUtc(const FILETIME& stamp) {
    const std::uint64_t ticks = gnss::FileTimeToU64(stamp);
    Utc utc;
    // The driver leaves a stamp it could not read at 0; such a fix has a
    // position but no time.
    if (ticks == 0) return utc;
    const std::uint64_t centiseconds = (ticks + kTicksPerCentisecond / 2) / kTicksPerCentisecond;
    const std::uint64_t days = centiseconds / kCentisecondsPerDay;
    const std::uint64_t ofDay = centiseconds % kCentisecondsPerDay;

    using namespace std::chrono;
    constexpr sys_days kFileTimeEpoch = year{1601} / January / 1;
    const year_month_day date{kFileTimeEpoch + std::chrono::days(static_cast<long>(days))};
    const int y = int(date.year());
    const unsigned m = unsigned(date.month());
    const unsigned d = unsigned(date.day());

    const auto hh = static_cast<unsigned>(ofDay / 360000);
    const auto mm = static_cast<unsigned>(ofDay / 6000 % 60);
    const auto ss = static_cast<unsigned>(ofDay / 100 % 60);
    const auto cs = static_cast<unsigned>(ofDay % 100);
    utc.known = true;
    utc.time = Format("%02u%02u%02u.%02u", hh, mm, ss, cs);
    utc.date = Format("%02u%02u%02d", d, m, y % 100);
    utc.zda = Format("%s,%02u,%02u,%04d", utc.time.c_str(), d, m, y);
    return utc;
}

// --- satellites ----------------------------------------------------------

struct Satellite {
    NmeaSatellite nmea;
    const GNSS_SATELLITEINFO* info;
};

// The satellites of the fix grouped by constellation, in the driver's order
// within each.
struct Sky {
    std::array<std::vector<Satellite>, kConstellations> inView;
    std::array<std::vector<int>, kConstellations> used;  // NMEA ids
    bool hasData = false;

    int UsedCount() const {
        int n = 0;
        for (const auto& ids : used) n += static_cast<int>(ids.size());
        return n;
    }
    int UsedConstellations() const {
        int n = 0;
        for (const auto& ids : used) n += ids.empty() ? 0 : 1;
        return n;
    }
    // GN when more than one constellation went into the fix, else that
    // constellation's talker; GP when the fix names no satellite.
    const char* FixTalker() const {
        if (UsedConstellations() > 1) return "GN";
        for (int c = 0; c < kConstellations; ++c)
            if (!used[c].empty()) return kSystems[c].talker;
        return "GP";
    }
};

Sky ToSky(const GNSS_FIXDATA& fix) {
    Sky sky;
    if ((fix.FixLevelOfDetails & GNSS_FIXDETAIL_SATELLITE) == 0) return sky;
    sky.hasData = true;
    const GNSS_FIXDATA_SATELLITE& data = fix.SatelliteData;
    // The count comes off the wire; never trust it past the array.
    const std::size_t count = std::min<std::size_t>(data.SatelliteCount, GNSS_MAXSATELLITE);
    for (std::size_t i = 0; i < count; ++i) {
        const GNSS_SATELLITEINFO& info = data.SatelliteArray[i];
        const std::optional<NmeaSatellite> nmea = ToNmeaSatellite(info.SatelliteId);
        if (!nmea) continue;
        const int c = Index(nmea->constellation);
        sky.inView[c].push_back({*nmea, &info});
        if (info.UsedInPositiong) sky.used[c].push_back(nmea->id);
    }
    return sky;
}

// Elevation 00-90, azimuth 000-359, SNR 00-99 dB-Hz; a value the receiver
// did not give (NaN, or an SNR of 0 for a satellite not tracked) is empty.
std::string Elevation(double degrees) {
    if (!std::isfinite(degrees) || degrees < -90.0 || degrees > 90.0) return {};
    return Format("%02ld", std::lround(degrees));
}

std::string Azimuth(double degrees) {
    if (!std::isfinite(degrees)) return {};
    long whole = std::lround(std::fmod(degrees, 360.0));
    if (whole < 0) whole += 360;
    return Format("%03ld", whole % 360);
}

std::string SignalToNoise(double dbHz) {
    if (!std::isfinite(dbHz) || dbHz <= 0.0) return {};
    return Format("%02ld", std::min(std::lround(dbHz), 99L));
}

// --- sentences -----------------------------------------------------------

// Course over ground in [0, 360), rounded to hundredths without ever
// printing 360.00.
std::string Course(double degrees) {
    if (!std::isfinite(degrees)) return {};
    double normal = std::fmod(degrees, 360.0);
    if (normal < 0.0) normal += 360.0;
    const long hundredths = std::lround(normal * 100.0) % 36000;
    return Format("%ld.%02ld", hundredths / 100, hundredths % 100);
}

std::string Speed(double metresPerSecond) {
    if (!std::isfinite(metresPerSecond) || metresPerSecond < 0.0) return {};
    return Fixed(metresPerSecond * kKnotsPerMetreSecond, 2);
}

// The driver leaves Altitude at 0 for a report that carried none (a 2-D
// fix has no altitude accuracy either); a measured altitude of exactly
// 0.0 m with no accuracy is taken as unknown too, which costs nothing.
bool AltitudeKnown(const GNSS_FIXDATA& fix) {
    const double altitude = fix.BasicData.Altitude;
    if (!std::isfinite(altitude)) return false;
    if (altitude != 0.0) return true;
    return (fix.FixLevelOfDetails & GNSS_FIXDETAIL_ACCURACY) != 0 &&
           fix.AccuracyData.AltitudeAccuracy != 0;
}

const GNSS_FIXDATA_ACCURACY* Accuracy(const GNSS_FIXDATA& fix) {
    return (fix.FixLevelOfDetails & GNSS_FIXDETAIL_ACCURACY) != 0 ? &fix.AccuracyData : nullptr;
}

std::string Gga(const GNSS_FIXDATA& fix, const Utc& utc, const Sky& sky, const char* talker) {
    const GNSS_FIXDATA_ACCURACY* accuracy = Accuracy(fix);
    std::string body = std::string(talker) + "GGA";
    Add(body, utc.time);
    AddPosition(body, fix.BasicData);
    Add(body, "1");  // an autonomous fix; the driver says nothing of corrections
    Add(body, sky.hasData ? Format("%02d", sky.UsedCount()) : std::string());
    Add(body, accuracy ? Positive(accuracy->HorizontalDilutionOfPrecision, 2) : std::string());
    const bool altitude = AltitudeKnown(fix);
    Add(body, altitude ? Fixed(fix.BasicData.Altitude, 2) : std::string());
    Add(body, altitude ? "M" : "");
    // The geoid separation is not in the fix; a decoder that needs it has
    // its own model (gpsd does).  No differential age or station.
    Add(body, "");
    Add(body, "");
    Add(body, "");
    Add(body, "");
    return Sentence(body);
}

std::string Rmc(const GNSS_FIXDATA& fix, const Utc& utc, const char* talker) {
    std::string body = std::string(talker) + "RMC";
    Add(body, utc.time);
    Add(body, "A");
    AddPosition(body, fix.BasicData);
    Add(body, Speed(fix.BasicData.Speed));
    Add(body, Course(fix.BasicData.Heading));
    Add(body, utc.date);
    Add(body, "");  // magnetic variation: unknown
    Add(body, "");
    Add(body, "A");  // autonomous
    // Navigational status: nothing here judges the integrity of the fix, so
    // it says that it gives no status rather than claiming "safe".
    Add(body, "V");
    return Sentence(body);
}

// The GSA fields after the mode: up to twelve ids, then the DOPs.
void AddGsaTail(std::string& body, const std::vector<int>& ids, std::size_t first,
                const GNSS_FIXDATA_ACCURACY* accuracy) {
    for (std::size_t i = 0; i < kGsaSatellites; ++i) {
        const std::size_t at = first + i;
        Add(body, at < ids.size() ? Format("%02d", ids[at]) : std::string());
    }
    Add(body, accuracy ? Positive(accuracy->PositionDilutionOfPrecision, 2) : std::string());
    Add(body, accuracy ? Positive(accuracy->HorizontalDilutionOfPrecision, 2) : std::string());
    Add(body, accuracy ? Positive(accuracy->VerticalDilutionOfPrecision, 2) : std::string());
}

std::string Gsa(const GNSS_FIXDATA& fix, const Sky& sky) {
    const GNSS_FIXDATA_ACCURACY* accuracy = Accuracy(fix);
    const char* mode = AltitudeKnown(fix) ? "3" : "2";
    // Each constellation's GSA under its own talker, with the system id as
    // well: decoders that ignore the system id of a GN GSA (gpsd 3.22 does)
    // would otherwise take Galileo and BeiDou ids for GPS ones.
    std::string sentences;
    for (int c = 0; c < kConstellations; ++c) {
        const std::vector<int>& ids = sky.used[c];
        for (std::size_t first = 0; first < ids.size(); first += kGsaSatellites) {
            std::string body = std::string(kSystems[c].talker) + "GSA,A," + mode;
            AddGsaTail(body, ids, first, accuracy);
            Add(body, kSystems[c].systemId);
            sentences += Sentence(body);
        }
    }
    // A fix without satellites still has a mode and DOPs to tell; the system
    // id stays empty because no constellation is named.
    if (sentences.empty()) {
        std::string body = std::string(sky.FixTalker()) + "GSA,A," + mode;
        AddGsaTail(body, {}, 0, accuracy);
        Add(body, "");
        sentences = Sentence(body);
    }
    return sentences;
}

std::string Gsv(const Sky& sky) {
    std::string sentences;
    for (int c = 0; c < kConstellations; ++c) {
        const std::vector<Satellite>& sats = sky.inView[c];
        const std::size_t pages = (sats.size() + kGsvSatellites - 1) / kGsvSatellites;
        for (std::size_t page = 0; page < pages; ++page) {
            std::string body =
                Format("%sGSV,%zu,%zu,%02zu", kSystems[c].talker, pages, page + 1, sats.size());
            const std::size_t end = std::min(sats.size(), (page + 1) * kGsvSatellites);
            for (std::size_t i = page * kGsvSatellites; i < end; ++i) {
                const GNSS_SATELLITEINFO& info = *sats[i].info;
                Add(body, Format("%02d", sats[i].nmea.id));
                Add(body, Elevation(info.Elevation));
                Add(body, Azimuth(info.Azimuth));
                Add(body, SignalToNoise(info.SignalToNoiseRatio));
            }
            sentences += Sentence(body);
        }
    }
    return sentences;
}

// The factor from an error at `percent` confidence to one standard
// deviation: of a circular two-dimensional normal distribution for the
// horizontal ellipse, of a one-dimensional one for altitude.  A confidence
// the driver did not give (0) leaves the values as they are.
double HorizontalSigmas(ULONG percent) {
    if (percent == 0 || percent >= 100) return 1.0;
    return std::sqrt(-2.0 * std::log(1.0 - percent / 100.0));
}

double VerticalSigmas(ULONG percent) {
    if (percent == 0 || percent >= 100) return 1.0;
    // erf(z / sqrt 2) = p by bisection: 60 halvings of [0, 10] are exact to
    // the last bit of a double, and this runs once per fix.
    const double p = percent / 100.0;
    double low = 0.0, high = 10.0;
    for (int i = 0; i < 60; ++i) {
        const double mid = (low + high) / 2.0;
        (std::erf(mid / std::sqrt(2.0)) < p ? low : high) = mid;
    }
    return (low + high) / 2.0;
}

std::string Gst(const GNSS_FIXDATA_ACCURACY& a, const Utc& utc, const char* talker) {
    std::string body = std::string(talker) + "GST";
    Add(body, utc.time);
    // The RMS of the range residuals never reaches the driver.
    Add(body, "");

    // The ellipse, or the circle of HorizontalAccuracy when the driver gives
    // no axes; a missing minor axis makes a circle of the major one.
    const double k = HorizontalSigmas(a.HorizontalConfidence);
    double major = a.HorizontalErrorMajorAxis;
    double minor = a.HorizontalErrorMinorAxis;
    double angle = a.HorizontalErrorAngle;
    if (major == 0.0) {
        major = minor = a.HorizontalAccuracy;
        angle = 0.0;
    }
    if (minor == 0.0 || minor > major) minor = major;
    major /= k;
    minor /= k;
    if (major > 0.0) {
        const double theta = angle * std::numbers::pi / 180.0;
        const double c = std::cos(theta), s = std::sin(theta);
        Add(body, Fixed(major, 2));
        Add(body, Fixed(minor, 2));
        Add(body, Fixed(std::fmod(angle, 180.0), 1));
        Add(body, Fixed(std::sqrt(major * major * c * c + minor * minor * s * s), 2));
        Add(body, Fixed(std::sqrt(major * major * s * s + minor * minor * c * c), 2));
    } else {
        for (int i = 0; i < 5; ++i) Add(body, "");
    }
    Add(body, Positive(a.AltitudeAccuracy / VerticalSigmas(a.AltitudeConfidence), 2));
    return Sentence(body);
}

std::string Zda(const Utc& utc, const char* talker) {
    std::string body = std::string(talker) + "ZDA";
    Add(body, utc.zda);
    Add(body, "00");  // the local zone is UTC's
    Add(body, "00");
    return Sentence(body);
}

bool IsFix(const GNSS_FIXDATA& fix) {
    if (!NT_SUCCESS(fix.FixStatus) || (fix.FixLevelOfDetails & GNSS_FIXDETAIL_BASIC) == 0)
        return false;
    const double lat = fix.BasicData.Latitude, lon = fix.BasicData.Longitude;
    return std::isfinite(lat) && std::isfinite(lon) && std::fabs(lat) <= 90.0 &&
           std::fabs(lon) <= 180.0;
}

}  // namespace

std::optional<NmeaSatellite> ToNmeaSatellite(ULONG id) {
    if (id >= 1 && id <= 64) return NmeaSatellite{Constellation::Gps, int(id)};
    if (id >= 65 && id <= 96) return NmeaSatellite{Constellation::Glonass, int(id)};
    if (id >= 193 && id <= 202) return NmeaSatellite{Constellation::Qzss, int(id) - 192};
    if (id >= 301 && id <= 336) return NmeaSatellite{Constellation::Galileo, int(id) - 300};
    if (id >= 401 && id <= 463) return NmeaSatellite{Constellation::BeiDou, int(id) - 400};
    return std::nullopt;
}

std::string Checksum(std::string_view body) {
    unsigned sum = 0;
    for (const char c : body) sum ^= static_cast<unsigned char>(c);
    return Format("%02X", sum);
}

std::string Sentence(std::string_view body) {
    std::string sentence;
    sentence.reserve(body.size() + 6);
    sentence += '$';
    sentence += body;
    sentence += '*';
    sentence += Checksum(body);
    sentence += "\r\n";
    return sentence;
}

std::string FixSentences(const GNSS_FIXDATA& fix) {
    if (!IsFix(fix)) return NoFixSentences();
    const Utc utc = ToUtc(fix.FixTimeStamp);
    const Sky sky = ToSky(fix);
    const char* talker = sky.FixTalker();

    std::string epoch = Gga(fix, utc, sky, talker);
    epoch += Rmc(fix, utc, talker);
    epoch += Gsa(fix, sky);
    epoch += Gsv(sky);
    if (const GNSS_FIXDATA_ACCURACY* accuracy = Accuracy(fix)) epoch += Gst(*accuracy, utc, talker);
    if (utc.known) epoch += Zda(utc, talker);
    return epoch;
}

std::string NoFixSentences() {
    return Sentence("GPGGA,,,,,,0,,,,,,,,") + Sentence("GPRMC,,V,,,,,,,,,,N,V") +
           Sentence("GPGSA,A,1,,,,,,,,,,,,,,,,");
}

}  // namespace gnss::feed
