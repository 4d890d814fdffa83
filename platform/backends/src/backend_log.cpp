#include "backend_log.h"

#include <cstdarg>
#include <cstdio>

#include "gnss/platform/trace.h"

namespace gnss::fw::detail {

void BackendLog(unsigned level, const char* function, const char* format, ...) {
    if (!trace::LineWanted(level, 0x2)) return;
    char line[1024];
    const int n = std::snprintf(line, sizeof line, "[USBIO ] %s ", function);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line) return;
    va_list args;
    va_start(args, format);
    const int m = std::vsnprintf(line + n, sizeof line - static_cast<std::size_t>(n), format, args);
    va_end(args);
    if (m < 0) return;
    std::size_t length = static_cast<std::size_t>(n) + static_cast<std::size_t>(m);
    if (length >= sizeof line) length = sizeof line - 1;
    // Flag 0x2: the flag of the driver's and the daemon's own lines.
    trace::TraceLine(level, 0x2, line, length);
}

}  // namespace gnss::fw::detail
