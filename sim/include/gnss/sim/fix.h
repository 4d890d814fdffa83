// One receiver epoch: the fix with its accuracy, the satellites in view and the
// NMEA sentences the receiver put out for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gnss::sim {

// The four constellation groups of the position report, in report order.
enum class Constellation : int { Gps = 0, Glonass = 1, Galileo = 2, BeiDou = 3 };
inline constexpr int kConstellationCount = 4;

// Satellite ids in the report are unique across constellations: GPS (and
// SBAS) 1-64, GLONASS 65-96, Galileo 301-336, BeiDou 401-463.
struct Satellite {
    Constellation constellation = Constellation::Gps;
    int id = 0;
    double elevation = 0.0;  // degrees
    double azimuth = 0.0;    // degrees from north
    double snr = 0.0;        // dB-Hz, 0 when not tracked
    bool used = false;       // used in the position
};

// UTC calendar time.
struct CivilTime {
    int year = 1970, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0;
    int millisecond = 0;
};

std::int64_t DaysFromCivil(int year, int month, int day);
CivilTime CivilFromUnix(std::int64_t seconds);
std::int64_t UnixFromCivil(const CivilTime& time);  // milliseconds ignored

struct Fix {
    bool valid = false;  // a position was computed
    CivilTime time;
    double latitude = 0.0, longitude = 0.0;  // degrees, negative south and west
    double altitude = 0.0;                   // metres above mean sea level
    bool hasAltitude = false;
    double speed = 0.0;    // metres per second
    double heading = 0.0;  // degrees from true north
    double verticalSpeed = 0.0;
    double pdop = 0.0, hdop = 0.0, vdop = 0.0;
    double semiMajor = 0.0, semiMinor = 0.0;  // horizontal error ellipse, metres
    double orientation = 0.0;                 // of the semi-major axis, degrees from north
    double altitudeError = 0.0;               // metres
    double speedError = 0.0;                  // metres per second
    int fixDimension = 3;                     // 2 or 3
    int satellitesUsed = 0;
    std::vector<Satellite> satellites;
};

struct Epoch {
    Fix fix;
    std::vector<std::string> nmea;  // sentences without their line ends
};

}  // namespace gnss::sim
