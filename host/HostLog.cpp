#include "HostLog.h"

#include <cstdarg>
#include <cstdio>

#include "gnss/platform/trace.h"

namespace gnss::host {

void HostLog(unsigned level, const char* function, const char* format, ...) {
    // A level nobody logs costs no formatting.
    if (!trace::LineWanted(level, 0x2)) return;
    char line[2048];
    int n = std::snprintf(line, sizeof line, "[GNSSD ] %s ", function);
    if (n < 0) return;
    va_list args;
    va_start(args, format);
    const int m = std::vsnprintf(line + n, sizeof line - static_cast<std::size_t>(n), format, args);
    va_end(args);
    if (m < 0) return;
    std::size_t length = static_cast<std::size_t>(n) + static_cast<std::size_t>(m);
    if (length >= sizeof line) length = sizeof line - 1;
    // Flag 0x2, the flag under which the driver traces its own lines.
    trace::TraceLine(level, 0x2, line, length);
}

}  // namespace gnss::host
