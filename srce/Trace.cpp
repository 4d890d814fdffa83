#include "Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "DriverEvents.h"
#include "gnss/platform/trace.h"
#include "gnss_driver_version.h"

namespace {

// Narrow (UTF-8) text to UTF-16 into a bounded, NUL-terminated buffer.
// Invalid sequences become U+FFFD; the text is cut when the buffer is full.
void NarrowToWide(const char* in, char16_t* out, std::size_t capacity) {
    std::size_t used = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    while (*p != 0 && used + 1 < capacity) {
        char32_t cp = 0xFFFD;
        int extra = 0;
        if (*p < 0x80) {
            cp = *p;
        } else if ((*p & 0xE0) == 0xC0) {
            cp = *p & 0x1F;
            extra = 1;
        } else if ((*p & 0xF0) == 0xE0) {
            cp = *p & 0x0F;
            extra = 2;
        } else if ((*p & 0xF8) == 0xF0) {
            cp = *p & 0x07;
            extra = 3;
        }
        ++p;
        for (int i = 0; i < extra; ++i) {
            if ((*p & 0xC0) != 0x80) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (*p++ & 0x3F);
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            if (used + 2 >= capacity) break;
            cp -= 0x10000;
            out[used++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[used++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[used++] = static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp);
        }
    }
    out[used] = 0;
}

// The driver's texts write pointers as "0x%p", for a %p without a prefix of
// its own.  This C library's %p has one, and writes a null pointer as
// "(nil)": each "0x%p" becomes "0x%lx", which writes the same digits for any
// pointer and 0x0 for a null one.  A pointer and an unsigned long travel alike
// through the variable arguments here.  Returns the format so rewritten (in
// `buffer`), or the format itself when it has no "0x%p" or does not fit.
static_assert(sizeof(void*) == sizeof(unsigned long) && alignof(void*) == alignof(unsigned long));
const char* PointerFormat(const char* format, char* buffer, std::size_t size) {
    if (std::strstr(format, "0x%p") == nullptr) return format;
    std::size_t used = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        const bool pointer = p[0] == '0' && p[1] == 'x' && p[2] == '%' && p[3] == 'p';
        const char* piece = pointer ? "0x%lx" : p;
        const std::size_t length = pointer ? 5 : 1;
        if (used + length >= size) return format;
        std::memcpy(buffer + used, piece, length);
        used += length;
        if (pointer) p += 3;
    }
    buffer[used] = '\0';
    return buffer;
}

}  // namespace

void GnssLog(BYTE level, const char* format, ...) {
    // AT traffic is traced as data and never sent to the event provider.
    const bool atCommand = level == GNSS_LEVEL_ATCMD;
    const BYTE traced = atCommand ? GNSS_LEVEL_DATA : level;
    const std::uint16_t eventId = level == GNSS_LEVEL_WARNING ? 101 : level == GNSS_LEVEL_ERROR ? 102 : 100;
    const bool toProvider = !atCommand && gnss::driver::EventWanted(eventId);
    const bool toTrace = gnss::trace::ControlRegistered() &&
                         (traced < GNSS_LEVEL_VERBOSE || gnss::trace::RecorderVerbose()) &&
                         gnss::trace::LineWanted(traced, GNSS_TRACE_FLAG);
    // A line nobody wants costs two checks: no formatting, no lock.
    if (!toProvider && !toTrace) return;

    char narrow[GNSS_LOG_BUFFER];
    char adjusted[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(narrow, sizeof narrow, PointerFormat(format, adjusted, sizeof adjusted), args);
    va_end(args);
    if (n < 0) return;
    const std::size_t length = std::strlen(narrow);

    if (toProvider) {
        char16_t wide[GNSS_LOG_BUFFER];
        NarrowToWide(narrow, wide, GNSS_LOG_BUFFER);
        using gnss::events::EventValue;
        if (eventId == 102) {
            gnss::driver::WriteEvent(
                102, {EventValue::Unicode(wide),
                      EventValue::Number(static_cast<ULONG>(STATUS_UNSUCCESSFUL))});
        } else {
            gnss::driver::WriteEvent(eventId, {EventValue::Unicode(wide)});
        }
    }

    if (toTrace) gnss::trace::TraceLine(traced, GNSS_TRACE_FLAG, narrow, length);
}

void GnssDiagnosticsInitialize() {
    gnss::trace::RegisterControl(GNSS_TRACE_CONTROL_GUID);
    gnss::trace::RecorderStart();
    if (!gnss::driver::EventProviderRegistered()) gnss::driver::EventProviderRegister();
}

void GnssLogVersionBanner() {
    GnssLog(GNSS_LEVEL_INFO, "***********************************************");
    GnssLog(GNSS_LEVEL_INFO, "GNSS Driver Version: %s", GNSS_DRIVER_VERSION_TEXT);
    GnssLog(GNSS_LEVEL_INFO, "***********************************************");
}

void GnssDiagnosticsCleanup() {
    gnss::trace::UnregisterControl();
    gnss::trace::RecorderStop();
    gnss::driver::EventProviderUnregister();
}
