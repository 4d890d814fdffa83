#include "gnss/sim/report.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstdarg>
#include <cstdio>

namespace gnss::sim {
namespace {

constexpr double kKnotsPerMetreSecond = 1.0 / 0.514444;
constexpr std::int64_t kGpsEpochUnix = 315964800;  // 1980-01-06
constexpr int kLeapSeconds = 18;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return std::string(buffer, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

// Uncertainties are whole metres, rounded up, at least 1.
unsigned Whole(double value) {
    if (!(value > 1.0)) return 1;
    return static_cast<unsigned>(std::ceil(value - 1e-9));
}

unsigned Degrees(double value) {
    const double wrapped = std::fmod(std::fmod(value, 360.0) + 360.0, 360.0);
    return static_cast<unsigned>(std::lround(wrapped)) % 360;
}

int NmeaId(const Satellite& satellite) {
    switch (satellite.constellation) {
        case Constellation::Galileo: return satellite.id - 300;
        case Constellation::BeiDou: return satellite.id - 400;
        default: return satellite.id;
    }
}

// "ddmm.mmmmm" or "dddmm.mmmmm" and the hemisphere letter.
std::string NmeaAngle(double degrees, bool latitude) {
    const double magnitude = std::fabs(degrees);
    long long minutes = std::llround(magnitude * 60.0 * 100000.0);  // 1e-5 minutes
    const long long whole = minutes / (60LL * 100000);
    minutes -= whole * 60LL * 100000;
    const char hemisphere = latitude ? (degrees < 0 ? 'S' : 'N') : (degrees < 0 ? 'W' : 'E');
    return Format(latitude ? "%02lld%02lld.%05lld,%c" : "%03lld%02lld.%05lld,%c", whole,
                  minutes / 100000, minutes % 100000, hemisphere);
}

}  // namespace

int ReportFieldsBeforeSatellites(ReportShape shape) {
    switch (shape) {
        case ReportShape::Circle: return 59;
        case ReportShape::Ellipse: return 62;
        case ReportShape::Ellipsoid: return 64;
        case ReportShape::Arc: return 63;
    }
    return 0;
}

std::string FormatCoordinate(double degrees, bool latitude) {
    const char hemisphere = latitude ? (degrees < 0 ? 'S' : 'N') : (degrees < 0 ? 'W' : 'E');
    return Format("%.6f %c", std::fabs(degrees), hemisphere);
}

std::string FormatPositionReport(const Fix& fix, ReportShape shape, int positioningMode) {
    std::string line = "+XLCSLSR: " + std::to_string(static_cast<int>(shape));
    const auto add = [&line](const std::string& field) {
        line += ',';
        line += field;
    };
    const auto addWhole = [&add](double value) { add(std::to_string(Whole(value))); };
    constexpr int kConfidence = 68;

    add(FormatCoordinate(fix.latitude, true));
    add(FormatCoordinate(fix.longitude, false));
    switch (shape) {
        case ReportShape::Circle:
            addWhole(fix.semiMajor);
            break;
        case ReportShape::Ellipse:
            addWhole(fix.semiMajor);
            addWhole(fix.semiMinor);
            add(std::to_string(Degrees(fix.orientation) % 180));
            add(std::to_string(kConfidence));
            break;
        case ReportShape::Ellipsoid:
            add(Format("%.1f", fix.altitude));
            addWhole(fix.semiMajor);
            addWhole(fix.semiMinor);
            add(std::to_string(Degrees(fix.orientation) % 180));
            addWhole(fix.altitudeError);
            add(std::to_string(kConfidence));
            break;
        case ReportShape::Arc:
            add("0");  // inner radius
            addWhole(fix.semiMajor);
            add("0");    // offset angle
            add("360");  // included angle
            add(std::to_string(kConfidence));
            break;
    }

    const CivilTime& t = fix.time;
    add(Format("%d/%d/%d", t.year, t.month, t.day));
    add(Format("%d:%d:%d", t.hour, t.minute, t.second));
    add(std::to_string(t.millisecond));
    add("1");  // time uncertainty, ms
    add(Format("%.1f", fix.heading));
    add(Format("%.2f", fix.speed));
    add(Format("%.2f", fix.verticalSpeed));
    addWhole(fix.speedError);
    add(std::to_string(fix.speed < 0.5 ? 180u : std::min(180u, Whole(fix.speedError * 10.0))));
    addWhole(fix.speedError * 1.5);
    add(std::to_string(fix.fixDimension));
    add(std::to_string(fix.satellitesUsed));
    add(std::to_string(positioningMode));
    add(Format("%.2f", fix.pdop));
    add(Format("%.2f", fix.hdop));
    add(Format("%.2f", fix.vdop));
    // The error ellipse projected on north and east.
    const double theta = fix.orientation * std::numbers::pi / 180.0;
    const double a = fix.semiMajor, b = fix.semiMinor;
    add(Format("%.1f", std::hypot(a * std::cos(theta), b * std::sin(theta))));
    add(Format("%.1f", std::hypot(a * std::sin(theta), b * std::cos(theta))));
    add(Format("%.1f", fix.altitudeError));
    unsigned mask = 0;
    for (const Satellite& s : fix.satellites)
        if (s.used) mask |= 1u << static_cast<int>(s.constellation);
    add(std::to_string(mask));
    add(std::to_string(kLeapSeconds));
    const std::int64_t gps = UnixFromCivil(t) - kGpsEpochUnix + kLeapSeconds;
    add(std::to_string(gps / 604800));
    add(std::to_string(gps % 604800));
    for (int i = 0; i < 32; ++i) add("0");

    for (int group = 0; group < kConstellationCount; ++group) {
        std::vector<const Satellite*> members;
        for (const Satellite& s : fix.satellites)
            if (static_cast<int>(s.constellation) == group) members.push_back(&s);
        add(std::to_string(members.size()));
        for (const Satellite* s : members) {
            add(Format("%.0f", s->elevation));
            add(Format("%.0f", s->azimuth));
            add(Format("%.0f", s->snr));
            add(s->used ? "1" : "0");
            add(std::to_string(group));
            add("1");  // frequency band L1/E1/B1
            add("0");
            add(std::to_string(s->id));
        }
    }
    return line;
}

std::string NmeaChecksum(std::string_view body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    return Format("%02X", sum & 0xFF);
}

std::string NmeaSentence(std::string_view body) {
    return "$" + std::string(body) + "*" + NmeaChecksum(body);
}

bool IsValidNmeaSentence(std::string_view sentence) {
    if (sentence.size() < 6 || sentence[0] != '$') return false;
    for (char c : sentence)
        if (c < 0x20 || c > 0x7E) return false;
    const std::size_t star = sentence.size() - 3;
    if (sentence[star] != '*') return false;
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    const int high = hex(sentence[star + 1]), low = hex(sentence[star + 2]);
    if (high < 0 || low < 0) return false;
    unsigned sum = 0;
    for (char c : sentence.substr(1, star - 1)) sum ^= static_cast<unsigned char>(c);
    return static_cast<int>(sum) == high * 16 + low;
}

std::vector<std::string> BuildNmeaSentences(const Fix& fix) {
    std::vector<std::string> out;
    const CivilTime& t = fix.time;
    const std::string time = Format("%02d%02d%02d.%02d", t.hour, t.minute, t.second, t.millisecond / 10);
    const std::string position = NmeaAngle(fix.latitude, true) + "," + NmeaAngle(fix.longitude, false);
    const double knots = fix.speed * kKnotsPerMetreSecond;

    if (fix.valid) {
        out.push_back(NmeaSentence(Format("GNGGA,%s,%s,1,%02d,%.2f,%.1f,M,0.0,M,,", time.c_str(),
                                          position.c_str(), fix.satellitesUsed, fix.hdop, fix.altitude)));
    } else {
        out.push_back(NmeaSentence("GNGGA," + time + ",,,,,0,00,99.99,,,,,,"));
    }

    static const char* const kTalkers[kConstellationCount] = {"GP", "GL", "GA", "GB"};
    for (int group = 0; group < kConstellationCount; ++group) {
        std::string ids;
        int count = 0;
        for (const Satellite& s : fix.satellites) {
            if (static_cast<int>(s.constellation) != group || !s.used || count == 12) continue;
            ids += Format("%02d,", NmeaId(s));
            ++count;
        }
        if (count == 0) continue;
        for (int i = count; i < 12; ++i) ids += ",";
        out.push_back(NmeaSentence(Format("GNGSA,A,%d,%s%.2f,%.2f,%.2f,%d", fix.fixDimension, ids.c_str(),
                                          fix.pdop, fix.hdop, fix.vdop, group + 1)));
    }
    for (int group = 0; group < kConstellationCount; ++group) {
        std::vector<const Satellite*> members;
        for (const Satellite& s : fix.satellites)
            if (static_cast<int>(s.constellation) == group) members.push_back(&s);
        if (members.empty()) continue;
        const std::size_t sentences = (members.size() + 3) / 4;
        for (std::size_t n = 0; n < sentences; ++n) {
            std::string body = Format("%sGSV,%zu,%zu,%02zu", kTalkers[group], sentences, n + 1, members.size());
            for (std::size_t i = n * 4; i < std::min(members.size(), n * 4 + 4); ++i) {
                const Satellite& s = *members[i];
                body += Format(",%02d,%02d,%03u,", NmeaId(s), static_cast<int>(std::lround(s.elevation)),
                               Degrees(s.azimuth));
                if (s.snr > 0) body += Format("%02d", static_cast<int>(std::lround(s.snr)));
            }
            out.push_back(NmeaSentence(body));
        }
    }

    const std::string date = Format("%02d%02d%02d", t.day, t.month, t.year % 100);
    if (fix.valid) {
        out.push_back(NmeaSentence(Format("GNRMC,%s,A,%s,%.3f,%.1f,%s,,,A", time.c_str(), position.c_str(),
                                          knots, fix.heading, date.c_str())));
        out.push_back(NmeaSentence(Format("GNVTG,%.1f,T,,M,%.3f,N,%.3f,K,A", fix.heading, knots,
                                          fix.speed * 3.6)));
    } else {
        out.push_back(NmeaSentence("GNRMC," + time + ",V,,,,,,," + date + ",,,N"));
        out.push_back(NmeaSentence("GNVTG,,T,,M,,N,,K,N"));
    }
    return out;
}

}  // namespace gnss::sim
