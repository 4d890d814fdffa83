// Log lines of the USB back-ends.  They go through the same tracing back-ends
// as the driver's and the daemon's lines, tagged "USBIO ".
#pragma once

namespace gnss::fw::detail {

inline constexpr unsigned kLogError = 2;
inline constexpr unsigned kLogWarning = 3;
inline constexpr unsigned kLogInfo = 4;

// Formats "[USBIO ] <function> <message>" and traces it at `level`.
void BackendLog(unsigned level, const char* function, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace gnss::fw::detail

#define USBIO_LOG(level, ...) ::gnss::fw::detail::BackendLog((level), __func__, __VA_ARGS__)
