// Fixes for the sentence builder's tests, filled the way the driver fills a
// GNSS_FIXDATA: a successful status, the BASIC block always, the ACCURACY and
// SATELLITE blocks only when a test adds them.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "gnss/protocol/gnss_ddi.h"
#include "gnss/protocol/status.h"

namespace gnss::feed::test {

inline constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();
inline constexpr float kUnknownFloat = std::numeric_limits<float>::quiet_NaN();

// A UTC time as the driver stamps it; `ticks` are 100 ns past the second.
inline FILETIME Utc(int y, unsigned mo, unsigned d, int h, int mi, int s, std::int64_t ticks = 0) {
    using namespace std::chrono;
    constexpr sys_days kFileTimeEpoch = year{1601} / January / 1;
    const sys_days day = year{y} / month{mo} / d;
    const std::int64_t seconds = (day - kFileTimeEpoch).count() * 86400LL + h * 3600 + mi * 60 + s;
    return gnss::U64ToFileTime(static_cast<ULONGLONG>(seconds * 10000000LL + ticks));
}

inline FILETIME Later(FILETIME time, int seconds) {
    return gnss::U64ToFileTime(gnss::FileTimeToU64(time) + seconds * 10000000ULL);
}

struct Position {
    double latitude = 0.0;
    double longitude = 0.0;
    double altitude = kUnknown;
    double speed = kUnknown;
    double heading = kUnknown;
};

inline GNSS_FIXDATA Fix(FILETIME time, const Position& p) {
    GNSS_FIXDATA fix{};
    fix.Size = sizeof fix;
    fix.Version = GNSS_INTERFACE_VERSION;
    fix.FixTimeStamp = time;
    fix.IsFinalFix = TRUE;
    fix.FixStatus = STATUS_SUCCESS;
    fix.FixLevelOfDetails = GNSS_FIXDETAIL_BASIC;
    fix.BasicData.Size = sizeof fix.BasicData;
    fix.BasicData.Version = GNSS_INTERFACE_VERSION;
    fix.BasicData.Latitude = p.latitude;
    fix.BasicData.Longitude = p.longitude;
    fix.BasicData.Altitude = p.altitude;
    fix.BasicData.Speed = p.speed;
    fix.BasicData.Heading = p.heading;
    return fix;
}

struct Accuracy {
    ULONG horizontal = 0;
    ULONG major = 0;
    ULONG minor = 0;
    ULONG angle = 0;
    ULONG altitude = 0;
    ULONG horizontalConfidence = 0;
    float pdop = 0.0f;
    float hdop = 0.0f;
    float vdop = 0.0f;
};

inline void SetAccuracy(GNSS_FIXDATA& fix, const Accuracy& a) {
    fix.FixLevelOfDetails |= GNSS_FIXDETAIL_ACCURACY;
    GNSS_FIXDATA_ACCURACY& block = fix.AccuracyData;
    block.Size = sizeof block;
    block.Version = GNSS_INTERFACE_VERSION;
    block.HorizontalAccuracy = a.horizontal;
    block.HorizontalErrorMajorAxis = a.major;
    block.HorizontalErrorMinorAxis = a.minor;
    block.HorizontalErrorAngle = a.angle;
    block.AltitudeAccuracy = a.altitude;
    block.HorizontalConfidence = a.horizontalConfidence;
    block.PositionDilutionOfPrecision = a.pdop;
    block.HorizontalDilutionOfPrecision = a.hdop;
    block.VerticalDilutionOfPrecision = a.vdop;
}

struct Satellite {
    ULONG id;
    bool used;
    double elevation;
    double azimuth;
    double snr;  // 0: not tracked
};

inline void AddSatellite(GNSS_FIXDATA& fix, const Satellite& s) {
    fix.FixLevelOfDetails |= GNSS_FIXDETAIL_SATELLITE;
    GNSS_FIXDATA_SATELLITE& block = fix.SatelliteData;
    block.Size = sizeof block;
    block.Version = GNSS_INTERFACE_VERSION;
    GNSS_SATELLITEINFO& info = block.SatelliteArray[block.SatelliteCount++];
    info.SatelliteId = s.id;
    info.UsedInPositiong = s.used ? TRUE : FALSE;
    info.Elevation = s.elevation;
    info.Azimuth = s.azimuth;
    info.SignalToNoiseRatio = s.snr;
}

}  // namespace gnss::feed::test
