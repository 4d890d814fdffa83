// The driver's diagnostics: the log line and the set-up and tear-down of its
// tracing back-ends.
//
// Every line starts with a component tag in square brackets and the calling
// function's own name ("[%s] %s ..."), then the message.  Levels: 1 data,
// 2 error, 3 warning, 4 information, 5 verbose (honoured, never used by the
// driver), 6 AT traffic (traced as level 1, never sent to the event provider).
#pragma once

#include "gnss/platform/types.h"

// Component tags (three of them end in a blank).
inline constexpr const char* TAG_DRIVER = "DRIVER";
inline constexpr const char* TAG_DEVICE = "DEVICE";
inline constexpr const char* TAG_QUEUE = "QUEUE ";
inline constexpr const char* TAG_IOCTRL = "IOCTRL";
inline constexpr const char* TAG_CLIENT = "CLIENT";
inline constexpr const char* TAG_MODEM = "MODEM ";
inline constexpr const char* TAG_PARSER = "PARSER ";
inline constexpr const char* TAG_XMLCFG = "XMLCFG";
inline constexpr const char* TAG_USBDEV = "USBDEV";

inline constexpr BYTE GNSS_LEVEL_DATA = 1;
inline constexpr BYTE GNSS_LEVEL_ERROR = 2;
inline constexpr BYTE GNSS_LEVEL_WARNING = 3;
inline constexpr BYTE GNSS_LEVEL_INFO = 4;
inline constexpr BYTE GNSS_LEVEL_VERBOSE = 5;
inline constexpr BYTE GNSS_LEVEL_ATCMD = 6;

// The trace flag under which every line is traced (the second flag).
inline constexpr unsigned GNSS_TRACE_FLAG = 0x2;

// Size of the formatting buffer; longer lines are cut to 2047 characters.
inline constexpr std::size_t GNSS_LOG_BUFFER = 2048;

// {7E2D35A6-A362-4C33-BB2E-67084D45264E}
inline constexpr GUID GNSS_TRACE_CONTROL_GUID = {
    0x7E2D35A6, 0xA362, 0x4C33, {0xBB, 0x2E, 0x67, 0x08, 0x4D, 0x45, 0x26, 0x4E}};

// Formats and writes one line.  Safe from any thread at any time; allocates
// nothing and takes no lock of its own.
void GnssLog(BYTE level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Brings the tracing back-ends up: registers the trace control GUID, starts
// the in-flight recorder, and registers the event provider unless it already is.
void GnssDiagnosticsInitialize();
// Logs the version banner (three lines at level 4).
void GnssLogVersionBanner();
// Tears the tracing back-ends down: unregisters the trace control GUID, stops
// the in-flight recorder, and unregisters the event provider.
void GnssDiagnosticsCleanup();
