// The lines the modem puts out for an epoch: the position report in its four
// shapes, the position error, and NMEA sentences built from a fix.
//
// Position report, one line:
//
//     +XLCSLSR: <shape>,<head fields>,<55 tail fields>,<satellite section>
//
// Head fields by shape (coordinates as "47.376900 N", "8.541700 E"):
//   0 circle:    latitude, longitude, uncertainty radius
//   1 ellipse:   latitude, longitude, semi-major, semi-minor, orientation, confidence
//   2 ellipsoid: latitude, longitude, altitude, semi-major, semi-minor, orientation,
//                altitude uncertainty, confidence
//   3 arc:       latitude, longitude, inner radius, uncertainty radius, offset angle,
//                included angle, confidence
// Tail fields:
//    1 date "YYYY/M/D"          2 time "H:M:S" (UTC)      3 milliseconds
//    4 time uncertainty (ms)    5 heading (degrees)       6 speed (m/s)
//    7 vertical speed (m/s)     8 speed accuracy (m/s)    9 heading accuracy (degrees)
//   10 vertical speed accuracy 11 fix dimension (2, 3)   12 satellites used
//   13 positioning mode        14 PDOP  15 HDOP  16 VDOP
//   17 latitude error (m)      18 longitude error (m)    19 altitude error (m)
//   20 constellations used (bit mask)  21 leap seconds   22 GPS week  23 GPS time of week (s)
//   24-55 reserved, written as 0
// Satellite section: four groups (GPS, GLONASS, Galileo, BeiDou), each a
// record count and then per satellite eight fields: elevation, azimuth, SNR,
// used flag (1/0), constellation number, frequency band, reserved, id.
// Uncertainties, radii and accuracies are whole metres (rounded up, at least 1).
//
// So a report has 59 fields before the satellite section for shape 0, 62 for
// shape 1, 64 for shape 2 and 63 for shape 3, and every field carries a value.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "gnss/sim/fix.h"
#include "gnss/sim/options.h"

namespace gnss::sim {

inline constexpr const char* kPositionErrorLine = "+XLCSLSR: ERROR, -8";

// Number of fields before the satellite section, the shape field included.
int ReportFieldsBeforeSatellites(ReportShape shape);

// The report line without its line end.  `positioningMode` is the mode of the
// location request (tail field 13).
std::string FormatPositionReport(const Fix& fix, ReportShape shape, int positioningMode);

// "47.376900 N" / "8.541700 W".
std::string FormatCoordinate(double degrees, bool latitude);

// NMEA: the two hex digits of the checksum of a sentence body (between "$" and "*").
std::string NmeaChecksum(std::string_view body);
// "$" + body + "*" + checksum.
std::string NmeaSentence(std::string_view body);
// True for "$...*hh" with a correct checksum and printable characters only.
bool IsValidNmeaSentence(std::string_view sentence);

// The sentences a multi-constellation receiver puts out for a fix: GGA, RMC,
// VTG, one GSA per constellation with satellites in use, GSV per constellation.
std::vector<std::string> BuildNmeaSentences(const Fix& fix);

}  // namespace gnss::sim
