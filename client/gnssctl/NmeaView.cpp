#include "NmeaView.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace gnss::ctl {
namespace {

const char* TalkerName(const std::string& talker) {
    static const std::map<std::string, const char*> names = {
        {"GP", "GPS"},     {"GL", "GLONASS"}, {"GA", "Galileo"}, {"GB", "BeiDou"},
        {"BD", "BeiDou"},  {"GQ", "QZSS"},    {"QZ", "QZSS"},    {"GI", "NavIC"},
        {"GN", "GNSS"}};
    const auto found = names.find(talker);
    return found != names.end() ? found->second : "other";
}

std::vector<std::string> Fields(const std::string& sentence) {
    std::vector<std::string> fields;
    const std::string body = sentence.substr(0, sentence.find('*'));
    std::istringstream in(body);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    return fields;
}

int Whole(const std::string& text) {
    return text.empty() ? 0 : std::atoi(text.c_str());
}

// "4807.038" and "N": degrees, negative south and west; NaN when empty.
double Angle(const std::string& value, const std::string& hemisphere) {
    if (value.empty()) return NAN;
    const double raw = std::atof(value.c_str());
    const double degrees = std::floor(raw / 100.0);
    const double angle = degrees + (raw - degrees * 100.0) / 60.0;
    return hemisphere == "S" || hemisphere == "W" ? -angle : angle;
}

// The driver's satellite id for an NMEA id under a talker (or a GSA system id).
ULONG DriverId(const std::string& system, int id) {
    if (system == "GL" || system == "2") return static_cast<ULONG>(id < 65 ? id + 64 : id);
    if (system == "GA" || system == "3") return static_cast<ULONG>(id + 300);
    if (system == "GB" || system == "BD" || system == "4") return static_cast<ULONG>(id + 400);
    if (system == "GQ" || system == "QZ" || system == "5") return static_cast<ULONG>(id < 193 ? id + 192 : id);
    return static_cast<ULONG>(id);
}

}  // namespace

void NmeaView::Add(const std::string& sentences) {
    std::istringstream lines(sentences);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 7 && line[0] == '$') Take(line);
    }
}

void NmeaView::Take(const std::string& line) {
    const std::string talker = line.substr(1, 2), type = line.substr(3, 3);
    const std::vector<std::string> f = Fields(line);
    if (type == "GGA" && f.size() >= 10) {
        if (f[1] != epoch_) {
            epoch_ = f[1];
            used_.clear();
        }
        valid_ = Whole(f[6]) != 0;
        if (valid_) {
            latitude_ = Angle(f[2], f[3]);
            longitude_ = Angle(f[4], f[5]);
            altitude_ = std::atof(f[9].c_str());
        }
        time_ = f[1];
    } else if (type == "RMC" && f.size() >= 10) {
        valid_ = f[2] == "A";
        if (valid_) {
            latitude_ = Angle(f[3], f[4]);
            longitude_ = Angle(f[5], f[6]);
            speed_ = std::atof(f[7].c_str()) * 1852.0 / 3600.0;
            heading_ = std::atof(f[8].c_str());
        }
        time_ = f[1];
        date_ = f[9];
    } else if (type == "GST" && f.size() >= 9) {
        horizontal_ = static_cast<ULONG>(std::lround(std::hypot(std::atof(f[6].c_str()), std::atof(f[7].c_str()))));
        vertical_ = static_cast<ULONG>(std::lround(std::atof(f[8].c_str())));
    } else if (type == "GSA" && f.size() >= 18) {
        gsa_ = true;
        // NMEA 4.1 names the system after the dilutions; older talkers are their own.
        const std::string system = f.size() >= 19 && !f[18].empty() ? f[18] : talker;
        for (std::size_t i = 3; i < 15; ++i)
            if (!f[i].empty()) used_.insert(DriverId(system, Whole(f[i])));
        pdop_ = static_cast<FLOAT>(std::atof(f[15].c_str()));
        hdop_ = static_cast<FLOAT>(std::atof(f[16].c_str()));
        vdop_ = static_cast<FLOAT>(std::atof(f[17].c_str()));
    } else if (type == "GSV" && f.size() >= 4) {
        Talker& t = talkers_[talker];
        if (Whole(f[2]) <= 1) t.satellites.clear();  // the group's first sentence
        t.inView = Whole(f[3]);
        for (std::size_t i = 4; i + 2 < f.size(); i += 4) {
            if (f[i].empty()) continue;
            GNSS_SATELLITEINFO s{};
            s.SatelliteId = DriverId(talker, Whole(f[i]));
            s.Elevation = std::atof(f[i + 1].c_str());
            s.Azimuth = std::atof(f[i + 2].c_str());
            s.SignalToNoiseRatio = i + 3 < f.size() ? std::atof(f[i + 3].c_str()) : 0;
            t.satellites.push_back(s);
        }
    }
}

NmeaSky NmeaView::Sky() const {
    NmeaSky sky;
    if (gsa_) sky.used = static_cast<int>(used_.size());
    for (const auto& [talker, t] : talkers_) {
        sky.inView = std::max(sky.inView, 0) + t.inView;
        if (!sky.byConstellation.empty()) sky.byConstellation += ", ";
        sky.byConstellation += std::string(TalkerName(talker)) + " " + std::to_string(t.inView);
        for (const auto& s : t.satellites) sky.bestSignal = std::max(sky.bestSignal, s.SignalToNoiseRatio);
    }
    return sky;
}

std::optional<GNSS_FIXDATA> NmeaView::Fix() const {
    if (!valid_ || std::isnan(latitude_) || std::isnan(longitude_)) return std::nullopt;
    GNSS_FIXDATA fix{};
    fix.Size = sizeof fix;
    fix.Version = GNSS_INTERFACE_VERSION;
    fix.FixLevelOfDetails = GNSS_FIXDETAIL_BASIC | GNSS_FIXDETAIL_ACCURACY | GNSS_FIXDETAIL_SATELLITE;
    fix.BasicData = {sizeof fix.BasicData, GNSS_INTERFACE_VERSION, latitude_, longitude_, altitude_,
                     speed_, heading_};
    auto& a = fix.AccuracyData;
    a.Size = sizeof a;
    a.Version = GNSS_INTERFACE_VERSION;
    a.HorizontalAccuracy = a.HorizontalErrorMajorAxis = a.HorizontalErrorMinorAxis = horizontal_;
    a.AltitudeAccuracy = vertical_;
    a.PositionDilutionOfPrecision = pdop_;
    a.HorizontalDilutionOfPrecision = hdop_;
    a.VerticalDilutionOfPrecision = vdop_;
    auto& satellites = fix.SatelliteData;
    satellites.Size = sizeof satellites;
    satellites.Version = GNSS_INTERFACE_VERSION;
    for (const auto& [talker, t] : talkers_)
        for (const auto& s : t.satellites) {
            if (satellites.SatelliteCount == GNSS_MAXSATELLITE) break;
            GNSS_SATELLITEINFO& entry = satellites.SatelliteArray[satellites.SatelliteCount++];
            entry = s;
            entry.UsedInPositiong = used_.count(s.SatelliteId) != 0 ? 1 : 0;
        }
    // ddmmyy and hhmmss.ss, UTC.
    if (date_.size() == 6 && time_.size() >= 6) {
        std::tm tm{};
        tm.tm_mday = std::atoi(date_.substr(0, 2).c_str());
        tm.tm_mon = std::atoi(date_.substr(2, 2).c_str()) - 1;
        tm.tm_year = 100 + std::atoi(date_.substr(4, 2).c_str());
        tm.tm_hour = std::atoi(time_.substr(0, 2).c_str());
        tm.tm_min = std::atoi(time_.substr(2, 2).c_str());
        const double seconds = std::atof(time_.substr(4).c_str());
        tm.tm_sec = static_cast<int>(seconds);
        constexpr long long kUnixEpochSeconds = 11644473600LL;  // 1601 to 1970
        const auto ticks =
            static_cast<ULONGLONG>(::timegm(&tm) + kUnixEpochSeconds) * 10000000ULL +
            static_cast<ULONGLONG>(std::llround((seconds - tm.tm_sec) * 1000.0)) * 10000ULL;
        fix.FixTimeStamp = U64ToFileTime(ticks);
    }
    return fix;
}

}  // namespace gnss::ctl
