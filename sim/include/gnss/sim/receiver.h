// Sources of epochs: the synthetic receiver and the replay of a capture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gnss/sim/fix.h"
#include "gnss/sim/options.h"

namespace gnss::sim {

// A vehicle driving a closed route around a city centre at 10 to 15 m/s,
// with a sky of GPS, GLONASS, Galileo and BeiDou satellites.  Every epoch is
// a function of the seed, the start time and the epoch's time alone, so two
// receivers built from the same options report the same epochs.
class SyntheticReceiver {
public:
    explicit SyntheticReceiver(const ModemOptions& options);

    // The epoch at `unixSeconds` (whole seconds, UTC), with its NMEA sentences.
    Epoch At(std::int64_t unixSeconds) const;

    double RouteLength() const { return length_; }  // metres

private:
    struct RoutePoint {
        double distance, east, north;
    };
    struct Orbit {
        Constellation constellation;
        int id;
        double phase, period, peak, azimuth0, drift;
    };

    void Locate(double distance, double& east, double& north, double& heading) const;
    double Noise(std::uint64_t a, std::uint64_t b) const;  // in [-1, 1)

    std::uint64_t seed_;
    std::int64_t start_;
    double lat0_, lon0_, alt0_, speed_, radius_;
    double shapePhase_, speedPhase_, altitudePhase_;
    bool clockwise_;
    std::vector<RoutePoint> route_;
    double length_ = 0.0;
    std::vector<Orbit> orbits_;
};

// A capture of NMEA sentences cut into epochs.  A new epoch starts when a
// sentence with a UTC time (GGA, RMC, GNS, GLL, ZDA, GST) carries a time other
// than the current epoch's, or when a sentence that comes once per epoch (the
// same list and VTG) comes a second time (receivers without a fix leave the
// time empty).  Only whole sentences with a correct checksum count: comment
// lines, binary noise and cut-off lines are skipped; noise in front of a "$"
// on the same line is dropped.  The date comes from RMC or ZDA; an epoch before
// the first dated one takes that date, and a capture without any date takes
// the date of `fallbackDate` (UTC seconds).  Epochs after midnight without a
// date of their own move on to the next day.
struct Capture {
    std::vector<Epoch> epochs;
    std::size_t validFixes = 0;
};

// Throws std::runtime_error when the file cannot be read or holds no sentence.
Capture LoadCapture(const std::string& path, std::int64_t fallbackDate);
Capture ParseCapture(const std::string& content, std::int64_t fallbackDate);

}  // namespace gnss::sim
