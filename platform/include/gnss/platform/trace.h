// Software tracing back-ends: a real-time trace session and an in-flight
// recorder, standing in for the platform's software tracing.
//
// The driver registers one trace control GUID and starts its recorder when it
// loads, and tears both down last.  Every line it traces goes to the recorder
// (a 64 KiB in-memory ring that can be dumped on request) and, when a
// real-time session is running with the line's flag enabled and a level at
// least the line's level, to that session's sink (standard error or a file).
//
// Nothing on the tracing path allocates memory; every function is safe from
// any thread at any time, before registration and after tear-down (lines are
// then dropped).
#pragma once

#include <cstddef>
#include <string>

#include "gnss/platform/types.h"

namespace gnss::trace {

// --- provider side (the driver) ---------------------------------------------

// Registers the trace control GUID; until then, and after UnregisterControl,
// ControlRegistered() is false.
void RegisterControl(const GUID& control);
void UnregisterControl();
bool ControlRegistered();

void RecorderStart();
void RecorderStop();
bool RecorderRunning();

// Traces one line with its level (1-5) and trace flag bits.  The recorder
// receives it when running; the real-time session when the flags and level
// match.  The caller decides about verbose lines (RecorderVerbose()).
void TraceLine(unsigned level, unsigned flags, const char* text, std::size_t length);

// --- controller side (the host and tests) -----------------------------------

struct RealtimeSessionConfig {
    // Sink: the file at `path` (appended to), or standard error when empty.
    std::string path;
    unsigned level = 4;       // lines with a level up to this one are written
    unsigned flags = 0xFFFF;  // enabled trace flag bits
};

// Starts (or replaces) the real-time session.  False when the file cannot be opened.
bool StartRealtimeSession(const RealtimeSessionConfig& config);
void StopRealtimeSession();

// The recorder's verbose switch: level-5 lines are recorded only while it is on.
void SetRecorderVerbose(bool on);
bool RecorderVerbose();

inline constexpr std::size_t kRecorderCapacity = 64 * 1024;

// The recorder's content, oldest line first (whole lines only).
std::string RecorderSnapshot();
// Writes the recorder's content to a file descriptor; returns bytes written.
std::size_t DumpRecorder(int fd);
void ClearRecorder();

}  // namespace gnss::trace
