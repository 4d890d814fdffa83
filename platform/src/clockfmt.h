// Time stamps for trace and event lines, formatted without allocation.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

namespace gnss::detail {

// "2026-12-05T18:41:54.123456Z" (27 characters) into buf; returns its length.
inline int FormatUtcNow(char* buf, std::size_t size) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    gmtime_r(&ts.tv_sec, &parts);
    const auto field = [](long value, unsigned modulo) {
        return static_cast<unsigned>(value) % modulo;
    };
    return std::snprintf(buf, size, "%04u-%02u-%02uT%02u:%02u:%02u.%06uZ",
                         field(parts.tm_year + 1900L, 10000), field(parts.tm_mon + 1L, 100),
                         field(parts.tm_mday, 100), field(parts.tm_hour, 100),
                         field(parts.tm_min, 100), field(parts.tm_sec, 100),
                         field(ts.tv_nsec / 1000, 1000000));
}

}  // namespace gnss::detail
