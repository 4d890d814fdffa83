#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <numbers>

#include "gnss/sim/receiver.h"
#include "gnss/sim/report.h"

namespace gnss::sim {
namespace {

constexpr double kEarthRadius = 6371000.0;
constexpr double kRad = std::numbers::pi / 180.0;
constexpr double kUere = 3.0;         // user range error, metres
constexpr double kEllipse68 = 1.515;  // 1-sigma ellipse to 68 % confidence
constexpr double kSpeedSwing = 2.5;   // metres per second around the mean
constexpr double kSpeedPeriod = 180.0;
constexpr int kRouteSteps = 2048;

std::uint64_t SplitMix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A number in [0, 1) drawn from the seed and a key, the same on every platform.
double Uniform(std::uint64_t seed, std::uint64_t key) {
    return static_cast<double>(SplitMix(SplitMix(seed) ^ key) >> 11) * 0x1.0p-53;
}

struct ConstellationPlan {
    Constellation constellation;
    int count, firstId;
    double period;  // seconds
};

constexpr ConstellationPlan kPlans[kConstellationCount] = {
    {Constellation::Gps, 31, 1, 43082.0},
    {Constellation::Glonass, 24, 65, 40544.0},
    {Constellation::Galileo, 24, 301, 50710.0},
    {Constellation::BeiDou, 30, 401, 46404.0},
};

// Inverts a symmetric 4x4 matrix in place; false when it is singular.
bool Invert4(std::array<std::array<double, 4>, 4>& m) {
    std::array<std::array<double, 8>, 4> a{};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) a[r][c] = m[r][c];
        a[r][4 + r] = 1.0;
    }
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (std::fabs(a[pivot][c]) < 1e-12) return false;
        std::swap(a[c], a[pivot]);
        const double d = a[c][c];
        for (double& v : a[c]) v /= d;
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            const double f = a[r][c];
            for (int k = 0; k < 8; ++k) a[r][k] -= f * a[c][k];
        }
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m[r][c] = a[r][4 + c];
    return true;
}

}  // namespace

SyntheticReceiver::SyntheticReceiver(const ModemOptions& options)
    : seed_(options.seed),
      start_(options.start ? *options.start
                           : std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count()),
      lat0_(options.latitude),
      lon0_(options.longitude),
      alt0_(options.altitude),
      speed_(options.speed),
      radius_(options.radius) {
    shapePhase_ = 2 * std::numbers::pi * Uniform(seed_, 1);
    speedPhase_ = 2 * std::numbers::pi * Uniform(seed_, 2);
    altitudePhase_ = 2 * std::numbers::pi * Uniform(seed_, 3);
    clockwise_ = Uniform(seed_, 4) < 0.5;

    // A closed route: a circle bent in and out three times, like a ring road.
    const double secondPhase = 2 * std::numbers::pi * Uniform(seed_, 5);
    route_.reserve(kRouteSteps + 1);
    double previousEast = 0.0, previousNorth = 0.0;
    for (int i = 0; i <= kRouteSteps; ++i) {
        const double angle = (clockwise_ ? -1.0 : 1.0) * 2 * std::numbers::pi * i / kRouteSteps;
        const double r = radius_ * (1.0 + 0.22 * std::cos(3 * angle + shapePhase_) +
                                    0.08 * std::sin(5 * angle + secondPhase));
        const double east = r * std::cos(angle), north = r * std::sin(angle);
        if (i > 0) length_ += std::hypot(east - previousEast, north - previousNorth);
        route_.push_back({length_, east, north});
        previousEast = east;
        previousNorth = north;
    }

    for (const ConstellationPlan& plan : kPlans) {
        for (int i = 0; i < plan.count; ++i) {
            const std::uint64_t key = 1000 + static_cast<std::uint64_t>(plan.firstId + i) * 8;
            Orbit orbit;
            orbit.constellation = plan.constellation;
            orbit.id = plan.firstId + i;
            orbit.phase = 2 * std::numbers::pi * Uniform(seed_, key);
            orbit.period = plan.period;
            orbit.peak = 30.0 + 58.0 * Uniform(seed_, key + 1);
            orbit.azimuth0 = 360.0 * Uniform(seed_, key + 2);
            orbit.drift = (Uniform(seed_, key + 3) < 0.5 ? -1.0 : 1.0) * (180.0 / plan.period) *
                          (0.5 + Uniform(seed_, key + 4));
            orbits_.push_back(orbit);
        }
    }
}

double SyntheticReceiver::Noise(std::uint64_t a, std::uint64_t b) const {
    return 2.0 * Uniform(seed_, SplitMix(a * 0x100000001B3ULL) ^ b) - 1.0;
}

void SyntheticReceiver::Locate(double distance, double& east, double& north, double& heading) const {
    distance = std::fmod(distance, length_);
    if (distance < 0) distance += length_;
    const auto next = std::upper_bound(route_.begin(), route_.end(), distance,
                                       [](double d, const RoutePoint& p) { return d < p.distance; });
    const std::size_t i = std::clamp<std::size_t>(static_cast<std::size_t>(next - route_.begin()), 1,
                                                   route_.size() - 1);
    const RoutePoint& a = route_[i - 1];
    const RoutePoint& b = route_[i];
    const double span = b.distance - a.distance;
    const double f = span > 0 ? (distance - a.distance) / span : 0.0;
    east = a.east + f * (b.east - a.east);
    north = a.north + f * (b.north - a.north);
    heading = std::fmod(std::atan2(b.east - a.east, b.north - a.north) / kRad + 360.0, 360.0);
}

Epoch SyntheticReceiver::At(std::int64_t unixSeconds) const {
    const double t = static_cast<double>(unixSeconds - start_);
    const std::uint64_t tick = static_cast<std::uint64_t>(unixSeconds);
    Fix fix;
    fix.time = CivilFromUnix(unixSeconds);

    // Along the route.
    const double w = 2 * std::numbers::pi / kSpeedPeriod;
    const double distance =
        speed_ * t + kSpeedSwing / w * (std::sin(w * t + speedPhase_) - std::sin(speedPhase_));
    fix.speed = speed_ + kSpeedSwing * std::cos(w * t + speedPhase_);
    double east = 0, north = 0;
    Locate(distance, east, north, fix.heading);
    const double along = 2 * std::numbers::pi * std::fmod(distance, length_) / length_;
    fix.altitude = alt0_ + 12.0 * std::sin(along + altitudePhase_) + 3.0 * std::sin(3 * along);
    fix.hasAltitude = true;
    fix.verticalSpeed = (12.0 * std::cos(along + altitudePhase_) + 9.0 * std::cos(3 * along)) *
                        (2 * std::numbers::pi / length_) * fix.speed;

    // The sky.
    std::array<int, kConstellationCount> usedPer{};
    for (const Orbit& orbit : orbits_) {
        const double elevation = (orbit.peak + 25.0) * std::sin(orbit.phase + 2 * std::numbers::pi * t / orbit.period) - 25.0;
        if (elevation < 5.0) continue;
        Satellite s;
        s.constellation = orbit.constellation;
        s.id = orbit.id;
        s.elevation = std::round(elevation);
        s.azimuth = std::round(std::fmod(std::fmod(orbit.azimuth0 + orbit.drift * t, 360.0) + 360.0, 360.0));
        if (s.azimuth >= 360.0) s.azimuth -= 360.0;
        s.snr = std::round(std::clamp(22.0 + 24.0 * std::sin(elevation * kRad) +
                                          2.5 * Noise(static_cast<std::uint64_t>(orbit.id), tick),
                                      12.0, 52.0));
        fix.satellites.push_back(s);
    }
    // The twelve highest satellites of each constellation with a good signal are used.
    std::stable_sort(fix.satellites.begin(), fix.satellites.end(), [](const Satellite& a, const Satellite& b) {
        if (a.constellation != b.constellation) return a.constellation < b.constellation;
        return a.elevation > b.elevation;
    });
    std::array<std::array<double, 4>, 4> normal{};
    for (Satellite& s : fix.satellites) {
        int& used = usedPer[static_cast<int>(s.constellation)];
        if (s.elevation < 10.0 || s.snr < 28.0 || used == 12) continue;
        s.used = true;
        ++used;
        ++fix.satellitesUsed;
        const double el = s.elevation * kRad, az = s.azimuth * kRad;
        const double row[4] = {std::cos(el) * std::sin(az), std::cos(el) * std::cos(az), std::sin(el), 1.0};
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) normal[r][c] += row[r] * row[c];
    }
    if (fix.satellitesUsed >= 4 && Invert4(normal)) {
        fix.valid = true;
        const double qee = normal[0][0], qnn = normal[1][1], qen = normal[0][1], quu = normal[2][2];
        fix.hdop = std::sqrt(qee + qnn);
        fix.vdop = std::sqrt(quu);
        fix.pdop = std::sqrt(qee + qnn + quu);
        const double mean = (qnn + qee) / 2, diff = (qnn - qee) / 2;
        const double root = std::sqrt(diff * diff + qen * qen);
        fix.semiMajor = kUere * kEllipse68 * std::sqrt(mean + root);
        fix.semiMinor = kUere * kEllipse68 * std::sqrt(std::max(mean - root, 0.0));
        fix.orientation = std::fmod(0.5 * std::atan2(2 * qen, qnn - qee) / kRad + 180.0, 180.0);
        fix.altitudeError = kUere * fix.vdop;
        fix.speedError = 0.1 + 0.05 * fix.hdop;
        // A little receiver noise on the position.
        north += 0.3 * kUere * std::sqrt(qnn) * Noise(1000001, tick);
        east += 0.3 * kUere * std::sqrt(qee) * Noise(1000002, tick);
    }
    fix.fixDimension = fix.valid ? 3 : 1;
    fix.latitude = lat0_ + north / kEarthRadius / kRad;
    fix.longitude = lon0_ + east / (kEarthRadius * std::cos(lat0_ * kRad)) / kRad;

    Epoch epoch;
    epoch.fix = fix;
    epoch.nmea = BuildNmeaSentences(fix);
    return epoch;
}

}  // namespace gnss::sim
