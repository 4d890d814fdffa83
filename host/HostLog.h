// gnssd's own log lines.  They go through the same tracing back-ends as the
// driver's lines (the real-time session given by --log-level and --log-file,
// and the in-flight recorder while the driver runs it), tagged "GNSSD ".
#pragma once

namespace gnss::host {

inline constexpr unsigned kLogError = 2;
inline constexpr unsigned kLogWarning = 3;
inline constexpr unsigned kLogInfo = 4;
inline constexpr unsigned kLogVerbose = 5;

// Formats "[GNSSD ] <function> <message>" and traces it at `level`.
void HostLog(unsigned level, const char* function, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace gnss::host

#define GNSSD_LOG(level, ...) ::gnss::host::HostLog((level), __func__, __VA_ARGS__)
