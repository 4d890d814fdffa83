#include "gnss/platform/timescale.h"

#include <atomic>
#include <cmath>
#include <cstdlib>

namespace gnss::os {
namespace {

double FromEnvironment() {
    const char* text = std::getenv("GNSS_TIME_SCALE");
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0.0) || value > 1.0) return 1.0;
    return value;
}

std::atomic<double>& Scale() {
    static std::atomic<double> scale{FromEnvironment()};
    return scale;
}

}  // namespace

double TimeScale() { return Scale().load(std::memory_order_relaxed); }

void SetTimeScale(double factor) {
    Scale().store(factor > 0.0 && factor <= 1.0 ? factor : 1.0, std::memory_order_relaxed);
}

DWORD ScaleDuration(DWORD milliseconds) {
    if (milliseconds == 0 || milliseconds == INFINITE) return milliseconds;
    const double scale = TimeScale();
    if (scale >= 1.0) return milliseconds;
    const double scaled = std::ceil(static_cast<double>(milliseconds) * scale);
    return scaled < 1.0 ? 1 : static_cast<DWORD>(scaled);
}

}  // namespace gnss::os
