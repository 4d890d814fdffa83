#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "gnss/sim/receiver.h"
#include "gnss/sim/report.h"

namespace gnss::sim {
namespace {

constexpr double kMetresPerSecondPerKnot = 0.514444;
constexpr double kUere = 3.0;
constexpr double kEllipse68 = 1.515;

struct Sentence {
    std::string text;                 // as in the capture
    std::string talker;               // "GP", "GN", ... ("" for proprietary)
    std::string type;                 // "GGA", ... (the whole address for proprietary)
    std::vector<std::string> fields;  // fields[0] is the address
    const std::string& Field(std::size_t i) const {
        static const std::string empty;
        return i < fields.size() ? fields[i] : empty;
    }
};

Sentence Split(const std::string& text) {
    Sentence s;
    s.text = text;
    const std::string body = text.substr(1, text.size() - 4);
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = body.find(',', begin);
        s.fields.push_back(body.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    const std::string& address = s.fields[0];
    if (address.size() == 5 && address[0] != 'P') {
        s.talker = address.substr(0, 2);
        s.type = address.substr(2);
    } else {
        s.type = address;
    }
    return s;
}

// The field that holds the UTC time, or 0 when the sentence has none.
std::size_t TimeField(const std::string& type) {
    if (type == "GGA" || type == "RMC" || type == "GNS" || type == "ZDA" || type == "GST") return 1;
    if (type == "GLL") return 5;
    return 0;
}

bool OncePerEpoch(const std::string& type) { return TimeField(type) != 0 || type == "VTG"; }

bool Number(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

double NumberOr(const std::string& text, double fallback) {
    double value = 0;
    return Number(text, value) ? value : fallback;
}

// "ddmm.mmmm" with its hemisphere letter.
bool Angle(const std::string& value, const std::string& hemisphere, double& out) {
    double raw = 0;
    if (!Number(value, raw) || hemisphere.size() != 1) return false;
    const double degrees = std::floor(raw / 100.0);
    out = degrees + (raw - degrees * 100.0) / 60.0;
    if (hemisphere == "S" || hemisphere == "W") out = -out;
    else if (hemisphere != "N" && hemisphere != "E") return false;
    return true;
}

bool TimeOfDay(const std::string& text, CivilTime& time) {
    if (text.size() < 6) return false;
    for (std::size_t i = 0; i < 6; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    time.hour = std::atoi(text.substr(0, 2).c_str());
    time.minute = std::atoi(text.substr(2, 2).c_str());
    time.second = std::atoi(text.substr(4, 2).c_str());
    time.millisecond = 0;
    if (text.size() > 7 && text[6] == '.') {
        const std::string fraction = (text.substr(7) + "000").substr(0, 3);
        time.millisecond = std::atoi(fraction.c_str());
    }
    return time.hour < 24 && time.minute < 60 && time.second < 61;
}

Constellation FromSystemId(int id, Constellation fallback) {
    switch (id) {
        case 1: return Constellation::Gps;
        case 2: return Constellation::Glonass;
        case 3: return Constellation::Galileo;
        case 4: return Constellation::BeiDou;
        default: return fallback;
    }
}

// The constellation of a satellite given by talker and NMEA number, and its id
// in the report's numbering.
std::pair<Constellation, int> Identify(const std::string& talker, int number) {
    if (talker == "GL") return {Constellation::Glonass, number <= 32 ? 64 + number : number};
    if (talker == "GA") return {Constellation::Galileo, number > 300 ? number : 300 + number};
    if (talker == "GB" || talker == "BD")
        return {Constellation::BeiDou, number > 400 ? number : 400 + (number > 200 ? number - 200 : number)};
    if (talker == "GN") {  // numbered by range
        if (number >= 65 && number <= 96) return {Constellation::Glonass, number};
        if (number >= 201 && number <= 263) return {Constellation::BeiDou, 400 + number - 200};
        if (number >= 301 && number <= 336) return {Constellation::Galileo, number};
        if (number >= 401 && number <= 463) return {Constellation::BeiDou, number};
    }
    return {Constellation::Gps, number};
}

struct RawEpoch {
    std::vector<Sentence> sentences;
    std::string time;
    std::set<std::string> types;
};

Fix Decode(const RawEpoch& raw, bool& hasOwnDate, CivilTime& date) {
    Fix fix;
    hasOwnDate = false;
    bool timeKnown = false;
    bool positionValid = false;
    bool speedKnown = false, headingKnown = false;
    double gstMajor = -1, gstMinor = -1, gstOrientation = 0, gstLat = -1, gstLon = -1, gstAlt = -1;
    std::set<std::pair<Constellation, int>> used;
    int usedFromGga = -1;
    bool dopsKnown = false;
    int dimension = 0;

    for (const Sentence& s : raw.sentences) {
        const std::size_t timeField = TimeField(s.type);
        if (!timeKnown && timeField != 0 && TimeOfDay(s.Field(timeField), fix.time)) timeKnown = true;

        if (s.type == "GGA" || s.type == "GNS") {
            const std::string& quality = s.Field(6);
            const bool ok = s.type == "GGA" ? (!quality.empty() && quality != "0")
                                            : (!quality.empty() && quality.find_first_not_of('N') != std::string::npos);
            double lat = 0, lon = 0;
            if (ok && Angle(s.Field(2), s.Field(3), lat) && Angle(s.Field(4), s.Field(5), lon)) {
                if (!positionValid) {
                    fix.latitude = lat;
                    fix.longitude = lon;
                }
                positionValid = true;
                double altitude = 0;
                if (Number(s.Field(9), altitude)) {
                    fix.altitude = altitude;
                    fix.hasAltitude = true;
                }
                double count = 0;
                if (Number(s.Field(7), count)) usedFromGga = static_cast<int>(count);
                if (!dopsKnown) fix.hdop = NumberOr(s.Field(8), fix.hdop);
            }
        } else if (s.type == "RMC") {
            double lat = 0, lon = 0;
            if (s.Field(2) == "A" && Angle(s.Field(3), s.Field(4), lat) && Angle(s.Field(5), s.Field(6), lon)) {
                if (!positionValid) {
                    fix.latitude = lat;
                    fix.longitude = lon;
                }
                positionValid = true;
            }
            double value = 0;
            if (Number(s.Field(7), value)) {
                fix.speed = value * kMetresPerSecondPerKnot;
                speedKnown = true;
            }
            if (Number(s.Field(8), value)) {
                fix.heading = value;
                headingKnown = true;
            }
            const std::string& d = s.Field(9);
            if (d.size() == 6 && d.find_first_not_of("0123456789") == std::string::npos) {
                const int yy = std::atoi(d.substr(4, 2).c_str());
                date.day = std::atoi(d.substr(0, 2).c_str());
                date.month = std::atoi(d.substr(2, 2).c_str());
                date.year = yy < 80 ? 2000 + yy : 1900 + yy;
                hasOwnDate = date.month >= 1 && date.month <= 12 && date.day >= 1 && date.day <= 31;
            }
        } else if (s.type == "ZDA") {
            double day = 0, month = 0, year = 0;
            if (Number(s.Field(2), day) && Number(s.Field(3), month) && Number(s.Field(4), year) && month >= 1 &&
                month <= 12 && day >= 1 && day <= 31 && year >= 1980) {
                date.day = static_cast<int>(day);
                date.month = static_cast<int>(month);
                date.year = static_cast<int>(year);
                hasOwnDate = true;
            }
        } else if (s.type == "VTG") {
            double value = 0;
            if (!headingKnown && Number(s.Field(1), value)) {
                fix.heading = value;
                headingKnown = true;
            }
            if (!speedKnown && Number(s.Field(5), value)) {
                fix.speed = value * kMetresPerSecondPerKnot;
                speedKnown = true;
            } else if (!speedKnown && Number(s.Field(7), value)) {
                fix.speed = value / 3.6;
                speedKnown = true;
            }
        } else if (s.type == "GSA") {
            const std::string& system = s.Field(18);
            double systemId = 0;
            const bool hasSystem = Number(system, systemId);
            for (std::size_t i = 3; i <= 14; ++i) {
                double number = 0;
                if (!Number(s.Field(i), number)) continue;
                auto id = Identify(s.talker, static_cast<int>(number));
                if (hasSystem) {
                    const Constellation c = FromSystemId(static_cast<int>(systemId), id.first);
                    id = Identify(c == Constellation::Glonass ? "GL"
                                  : c == Constellation::Galileo ? "GA"
                                  : c == Constellation::BeiDou  ? "GB"
                                                                : "GP",
                                  static_cast<int>(number));
                }
                used.insert(id);
            }
            double pdop = 0, hdop = 0, vdop = 0;
            if (!dopsKnown && Number(s.Field(15), pdop) && Number(s.Field(16), hdop) && Number(s.Field(17), vdop)) {
                fix.pdop = pdop;
                fix.hdop = hdop;
                fix.vdop = vdop;
                dopsKnown = true;
            }
            double mode = 0;
            if (Number(s.Field(2), mode) && mode >= 2) dimension = std::max(dimension, static_cast<int>(mode));
        } else if (s.type == "GSV") {
            for (std::size_t i = 4; i + 3 < s.fields.size(); i += 4) {
                double number = 0;
                if (!Number(s.Field(i), number)) continue;
                const auto id = Identify(s.talker, static_cast<int>(number));
                Satellite satellite;
                satellite.constellation = id.first;
                satellite.id = id.second;
                satellite.elevation = NumberOr(s.Field(i + 1), 0);
                satellite.azimuth = NumberOr(s.Field(i + 2), 0);
                satellite.snr = NumberOr(s.Field(i + 3), 0);
                // A satellite listed twice (several signals) is kept once.
                const bool known = std::any_of(fix.satellites.begin(), fix.satellites.end(), [&](const Satellite& x) {
                    return x.constellation == satellite.constellation && x.id == satellite.id;
                });
                if (!known) fix.satellites.push_back(satellite);
            }
        } else if (s.type == "GST") {
            gstMajor = NumberOr(s.Field(3), -1);
            gstMinor = NumberOr(s.Field(4), -1);
            gstOrientation = NumberOr(s.Field(5), 0);
            gstLat = NumberOr(s.Field(6), -1);
            gstLon = NumberOr(s.Field(7), -1);
            gstAlt = NumberOr(s.Field(8), -1);
        }
    }

    std::stable_sort(fix.satellites.begin(), fix.satellites.end(),
                     [](const Satellite& a, const Satellite& b) { return a.constellation < b.constellation; });
    for (Satellite& s : fix.satellites) s.used = used.count({s.constellation, s.id}) != 0;
    fix.satellitesUsed = usedFromGga >= 0 ? usedFromGga : static_cast<int>(used.size());
    fix.fixDimension = dimension != 0 ? dimension : (fix.hasAltitude ? 3 : 2);

    const double hdop = fix.hdop > 0 ? fix.hdop : 1.0;
    if (gstMajor >= 0 && gstMinor >= 0) {
        fix.semiMajor = gstMajor * kEllipse68;
        fix.semiMinor = gstMinor * kEllipse68;
        fix.orientation = gstOrientation;
    } else if (gstLat >= 0 && gstLon >= 0) {
        fix.semiMajor = std::max(gstLat, gstLon) * kEllipse68;
        fix.semiMinor = std::min(gstLat, gstLon) * kEllipse68;
        fix.orientation = gstLat >= gstLon ? 0.0 : 90.0;
    } else {
        fix.semiMajor = fix.semiMinor = hdop * kUere;
    }
    fix.altitudeError = gstAlt >= 0 ? gstAlt : (fix.vdop > 0 ? fix.vdop : 1.5 * hdop) * kUere;
    fix.speedError = 0.1 + 0.05 * hdop;
    fix.valid = positionValid && timeKnown;
    return fix;
}

}  // namespace

Capture ParseCapture(const std::string& content, std::int64_t fallbackDate) {
    std::vector<RawEpoch> raws;
    std::size_t begin = 0;
    while (begin < content.size()) {
        std::size_t end = content.find('\n', begin);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(begin, end - begin);
        begin = end + 1;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t dollar = line.find('$');
        if (dollar == std::string::npos) continue;
        line.erase(0, dollar);
        if (!IsValidNmeaSentence(line)) continue;

        Sentence sentence = Split(line);
        const std::size_t timeField = TimeField(sentence.type);
        const std::string time = timeField != 0 ? sentence.Field(timeField) : std::string();
        bool fresh = raws.empty();
        if (!fresh && !time.empty() && !raws.back().time.empty() && time != raws.back().time) fresh = true;
        if (!fresh && OncePerEpoch(sentence.type) && raws.back().types.count(sentence.type) != 0) fresh = true;
        if (fresh) raws.emplace_back();
        RawEpoch& epoch = raws.back();
        if (epoch.time.empty() && !time.empty()) epoch.time = time;
        epoch.types.insert(sentence.type);
        epoch.sentences.push_back(std::move(sentence));
    }
    if (raws.empty()) throw std::runtime_error("the capture holds no NMEA sentence with a valid checksum");

    Capture capture;
    std::vector<bool> dated(raws.size(), false);
    std::vector<CivilTime> dates(raws.size());
    for (std::size_t i = 0; i < raws.size(); ++i) {
        Epoch epoch;
        bool ownDate = false;
        epoch.fix = Decode(raws[i], ownDate, dates[i]);
        dated[i] = ownDate;
        for (const Sentence& s : raws[i].sentences) epoch.nmea.push_back(s.text);
        capture.epochs.push_back(std::move(epoch));
    }

    // Dates: an epoch's own, else carried on from the one before (a day later
    // past midnight), else the first date of the capture, else the fallback.
    std::optional<CivilTime> first;
    for (std::size_t i = 0; i < raws.size() && !first; ++i)
        if (dated[i]) first = dates[i];
    if (!first) first = CivilFromUnix(fallbackDate);
    CivilTime current = *first;
    int previousSecondOfDay = -1;
    for (std::size_t i = 0; i < capture.epochs.size(); ++i) {
        Fix& fix = capture.epochs[i].fix;
        const int secondOfDay = raws[i].time.empty() ? -1 : fix.time.hour * 3600 + fix.time.minute * 60 + fix.time.second;
        if (dated[i]) {
            current = dates[i];
        } else if (secondOfDay >= 0 && previousSecondOfDay >= 0 && secondOfDay + 43200 < previousSecondOfDay) {
            current = CivilFromUnix(UnixFromCivil(current) + 86400);
        }
        if (secondOfDay >= 0) previousSecondOfDay = secondOfDay;
        fix.time.year = current.year;
        fix.time.month = current.month;
        fix.time.day = current.day;
        if (fix.valid) ++capture.validFixes;
    }
    return capture;
}

Capture LoadCapture(const std::string& path, std::int64_t fallbackDate) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the NMEA capture '" + path + "'");
    std::ostringstream content;
    content << in.rdbuf();
    try {
        return ParseCapture(content.str(), fallbackDate);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("NMEA capture '" + path + "': " + e.what());
    }
}

}  // namespace gnss::sim
