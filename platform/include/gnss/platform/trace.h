// Software tracing back-ends: a real-time trace session and an in-flight
// recorder, standing in for the platform's software tracing.
//
// The driver registers one trace control GUID and starts its recorder when it
// loads, and tears both down last.  Every line it traces goes to the recorder
// (a 64 KiB in-memory ring that can be dumped on request) and, when a
// real-time session is running with the line's flag enabled and a level at
// least the line's level, to that session's sink (standard error or a file).
//
// A session may collapse repeats, as a daemon's log does: a line that
// repeats the one before it (the same text, thread and level; only the time
// stamp differs) is written once and then counted, and "last message
// repeated N times" follows when a different line comes, when the session
// stops, or kRepeatFlushMs after the first repeat, whichever is first.  A
// file sink may have a size cap, at which the file is rotated to "<file>.1",
// and may be reopened at its path after somebody else has moved it away.
//
// Every entry is one line: a line break or other control character in the
// text (a certificate, a modem's multi-line answer) is written escaped, as
// \n, \r or \xHH, and line breaks at its end are dropped.
//
// Nothing on the tracing path allocates memory; every function is safe from
// any thread at any time, before registration and after tear-down (lines are
// then dropped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <atomic>
#include <cstdint>

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
// Whether TraceLine would do anything with a line of this level and these
// flags: the recorder, the real-time session or a line count wants it.  A
// false answer lets the caller skip formatting the line.  Takes no lock.
bool LineWanted(unsigned level, unsigned flags);

// --- controller side (the host and tests) -----------------------------------

struct RealtimeSessionConfig {
    // Sink: the file at `path` (appended to), or standard error when empty.
    std::string path;
    unsigned level = 4;       // lines with a level up to this one are written
    unsigned flags = 0xFFFF;  // enabled trace flag bits
    // A file's size cap in bytes, 0 for none.  A line that would take the
    // file past it first renames the file to "<path>.1" (replacing the one
    // there) and starts a new one, so the pair holds at most about twice
    // the cap.  A file already past the cap is rotated at the first line.
    std::uint64_t maxSize = 0;
    // Count repeated lines instead of writing them.  Off for a session that
    // must see every line, such as a test's.
    bool collapseRepeats = false;
    // How the lines are written.  Plain: "<time> [<tid>] L<level> <text>".
    // Journal: standard error read by the system's journal, which stamps the
    // time itself: "<P>[<tid>] L<level> <text>", P being the syslog priority
    // (SyslogPriority).  Syslog: each line to syslog(3) with its priority
    // and without time stamp (the caller has called openlog); `path` and
    // `maxSize` do not apply.
    enum class Form { Plain, Journal, Syslog };
    Form form = Form::Plain;
    // Level-1 lines (the driver's data dumps and AT traffic): false leaves
    // them out at every level, for a log meant for errors and warnings.
    bool dataLines = true;
};

// The syslog priority of a trace level: 2 error (3), 3 warning (4),
// 4 information (6), 1 data, 5 and 6 debug (7).
int SyslogPriority(unsigned level);

// How long a repeated line's count may wait for a different line before it
// is written anyway (scaled by the time scale, timescale.h).
inline constexpr unsigned kRepeatFlushMs = 1000;

// Starts (or replaces) the real-time session.  False when the file cannot be
// opened.  Start and Stop are for one controlling thread; lines may be traced
// meanwhile from any thread.
bool StartRealtimeSession(const RealtimeSessionConfig& config);
// Writes a pending repeat count, then ends the session.
void StopRealtimeSession();
// Opens a file sink's path again and goes on there (the old file was
// renamed by log rotation, or removed).  True when the session has no file
// sink or the file opened; false, with the old file kept, when it did not.
bool ReopenRealtimeSession();
// Writes `text` (whole lines) to the session's sink as it is, whatever the
// level, as a recorder dump is written; nothing when no session runs.
void WriteToRealtimeSession(const std::string& text);

// The recorder's verbose switch: level-5 lines are recorded only while it is on.
void SetRecorderVerbose(bool on);
bool RecorderVerbose();
// The highest level the recorder keeps (default 6: every line), and whether
// it keeps the level-1 data lines.  A host that never reads the recorder sets
// its log level here, so that the lines it does not log cost nothing.
void SetRecorderLevel(unsigned level, bool dataLines);

// Counts the traced lines of level `level` or lower whose text contains
// `needle` (a literal that outlives the count) into `counter`, whether or not
// anything else wants them.  One count at a time; a null needle ends it.
void CountLines(unsigned level, const char* needle, std::atomic<std::uint64_t>* counter);

inline constexpr std::size_t kRecorderCapacity = 64 * 1024;

// The recorder's content, oldest line first (whole lines only).
std::string RecorderSnapshot();
// Writes the recorder's content to a file descriptor; returns bytes written.
std::size_t DumpRecorder(int fd);
void ClearRecorder();

}  // namespace gnss::trace
