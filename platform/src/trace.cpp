#include "gnss/platform/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "clockfmt.h"
#include "gnss/platform/sync.h"
#include "gnss/platform/timescale.h"

namespace gnss::trace {
namespace {

std::atomic<bool> g_controlRegistered{false};
std::atomic<bool> g_recorderRunning{false};
std::atomic<bool> g_recorderVerbose{false};
std::atomic<unsigned> g_recorderLevel{6};
std::atomic<bool> g_recorderDataLines{true};
// CountLines: the needle is published last, so a reader that sees it sees the rest.
std::atomic<const char*> g_countNeedle{nullptr};
std::atomic<unsigned> g_countLevel{0};
std::atomic<std::atomic<std::uint64_t>*> g_countTarget{nullptr};

// Room for one formatted line: time stamp, thread, level, text, newline.
constexpr std::size_t kLineCapacity = 2200;

using Form = RealtimeSessionConfig::Form;

struct RealtimeSession {
    std::mutex lock;  // guards everything below but the atomics
    int fd = -1;
    bool ownsFd = false;
    Form form = Form::Plain;
    // A file sink's rotation: its paths, its cap (0: none) and how much it holds.
    std::string path;
    std::string rotatedPath;
    std::uint64_t maxSize = 0;
    std::uint64_t size = 0;
    bool collapse = false;
    // The last line written, from its thread on (without its time stamp);
    // `lastPrefix` bytes of it are the thread and level.  `repeats` counts
    // the times it came again since it or its last count was written.
    char last[kLineCapacity];
    std::size_t lastLength = 0;
    std::size_t lastPrefix = 0;
    unsigned lastLevel = 0;
    std::uint64_t repeats = 0;
    std::chrono::steady_clock::time_point firstRepeat{};
    // Writes a count that no different line follows in time.
    std::thread flusher;
    std::condition_variable flusherWake;
    bool flusherStop = false;
    std::atomic<bool> active{false};
    std::atomic<unsigned> level{0};
    std::atomic<unsigned> flags{0};
    std::atomic<bool> dataLines{true};
};

RealtimeSession& Session() {
    static auto* session = new RealtimeSession;  // never destroyed
    return *session;
}

struct Recorder {
    std::mutex lock;
    char ring[kRecorderCapacity];
    std::size_t head = 0;  // next write position
    bool wrapped = false;
};

Recorder& TheRecorder() {
    static auto* recorder = new Recorder;  // never destroyed
    return *recorder;
}

void WriteAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

// Copies `text` into buf as one line: control characters but the tab
// escaped, line breaks at its end dropped, cut where buf (`room` bytes) is
// full but never inside an escape.  Returns the bytes used.
std::size_t CopyEscaped(char* buf, std::size_t room, const char* text, std::size_t length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        char escaped[5];
        std::size_t width = 1;
        if (c == '\n' || c == '\r') {
            escaped[0] = '\\';
            escaped[1] = c == '\n' ? 'n' : 'r';
            width = 2;
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            width = 4;
        } else {
            escaped[0] = static_cast<char>(c);
        }
        if (used + width > room) break;
        std::memcpy(buf + used, escaped, width);
        used += width;
    }
    return used;
}

// What a line starts with: the time stamp (plain), "<P>" (journal) or
// nothing (syslog).  Returns its length.
std::size_t FormatStamp(char* buf, std::size_t size, Form form, unsigned level) {
    int n = 0;
    if (form == Form::Plain)
        n = detail::FormatUtcNow(buf, size);
    else if (form == Form::Journal)
        n = std::snprintf(buf, size, "<%d>", SyslogPriority(level));
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

// "<time> [<tid>] L<level> <text>\n" into buf; returns the length.  The time
// stamp takes the first `stamp` bytes, the thread and level the `header`
// bytes after it.
std::size_t FormatLine(char* buf, std::size_t size, unsigned level, const char* text,
                       std::size_t length, std::size_t& stamp, std::size_t& header) {
    const int n = detail::FormatUtcNow(buf, size);
    const int m = std::snprintf(buf + n, size - static_cast<std::size_t>(n), " [%5u] L%u ",
                                static_cast<unsigned>(os::CurrentThreadId()), level);
    stamp = static_cast<std::size_t>(n);
    header = static_cast<std::size_t>(m);
    std::size_t used = stamp + header;
    used += CopyEscaped(buf + used, size - used - 1, text, length);
    buf[used++] = '\n';
    return used;
}

// Moves a full file aside to "<path>.1" and starts a new one.  When either
// step fails the lines go on into the file at hand, and the next attempt
// comes a cap later: better a longer file than a lost log or a rename per line.
void Rotate(RealtimeSession& s) {
    s.size = 0;
    if (::rename(s.path.c_str(), s.rotatedPath.c_str()) != 0 && errno != ENOENT) return;
    const int fd = ::open(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ::close(s.fd);
    s.fd = fd;
}

bool HasSink(const RealtimeSession& s) { return s.fd >= 0 || s.form == Form::Syslog; }

// Writes to the sink, rotating first when the bytes would pass the cap (an
// empty file takes a line of any length).  Session lock held.
void Emit(RealtimeSession& s, const char* data, std::size_t length, int priority) {
    if (s.form == Form::Syslog) {
        if (length > 0 && data[length - 1] == '\n') --length;
        ::syslog(priority, "%.*s", static_cast<int>(length), data);
        return;
    }
    if (s.fd < 0) return;
    if (s.maxSize != 0 && s.size > 0 && s.size + length > s.maxSize) Rotate(s);
    WriteAll(s.fd, data, length);
    s.size += length;
}

// Writes "last message repeated N times" for a pending count, under the
// thread and level of the line repeated.  Session lock held.
void FlushRepeats(RealtimeSession& s) {
    if (s.repeats == 0) return;
    char line[kLineCapacity];
    std::size_t used = FormatStamp(line, sizeof line, s.form, s.lastLevel);
    // Without a time stamp the blank after it goes too.
    const std::size_t skip = s.form == Form::Plain ? 0 : 1;
    std::memcpy(line + used, s.last + skip, s.lastPrefix - skip);
    used += s.lastPrefix - skip;
    used += static_cast<std::size_t>(std::snprintf(line + used, sizeof line - used,
                                                   "last message repeated %llu times\n",
                                                   static_cast<unsigned long long>(s.repeats)));
    s.repeats = 0;
    Emit(s, line, used, SyslogPriority(s.lastLevel));
}

// The flusher thread: writes a count kRepeatFlushMs after its first repeat
// unless a different line or the session's end has written it before.
void FlushLoop(RealtimeSession& s) {
    std::unique_lock guard(s.lock);
    while (!s.flusherStop) {
        if (s.repeats == 0) {
            s.flusherWake.wait(guard);
            continue;
        }
        const auto due =
            s.firstRepeat + std::chrono::milliseconds(os::ScaleDuration(kRepeatFlushMs));
        if (std::chrono::steady_clock::now() >= due) {
            FlushRepeats(s);
            continue;
        }
        s.flusherWake.wait_until(guard, due);
    }
}

void Record(const char* line, std::size_t length) {
    Recorder& r = TheRecorder();
    std::lock_guard guard(r.lock);
    while (length > 0) {
        const std::size_t chunk = std::min(length, kRecorderCapacity - r.head);
        std::memcpy(r.ring + r.head, line, chunk);
        r.head += chunk;
        line += chunk;
        length -= chunk;
        if (r.head == kRecorderCapacity) {
            r.head = 0;
            r.wrapped = true;
        }
    }
}

}  // namespace

void RegisterControl(const GUID&) { g_controlRegistered.store(true, std::memory_order_release); }
void UnregisterControl() { g_controlRegistered.store(false, std::memory_order_release); }
bool ControlRegistered() { return g_controlRegistered.load(std::memory_order_acquire); }

void RecorderStart() { g_recorderRunning.store(true, std::memory_order_release); }
void RecorderStop() { g_recorderRunning.store(false, std::memory_order_release); }
bool RecorderRunning() { return g_recorderRunning.load(std::memory_order_acquire); }

void SetRecorderVerbose(bool on) { g_recorderVerbose.store(on, std::memory_order_relaxed); }
bool RecorderVerbose() { return g_recorderVerbose.load(std::memory_order_relaxed); }

int SyslogPriority(unsigned level) {
    switch (level) {
        case 2: return LOG_ERR;
        case 3: return LOG_WARNING;
        case 4: return LOG_INFO;
        default: return LOG_DEBUG;
    }
}

void SetRecorderLevel(unsigned level, bool dataLines) {
    g_recorderLevel.store(level, std::memory_order_relaxed);
    g_recorderDataLines.store(dataLines, std::memory_order_relaxed);
}

void CountLines(unsigned level, const char* needle, std::atomic<std::uint64_t>* counter) {
    g_countNeedle.store(nullptr, std::memory_order_release);
    if (needle == nullptr) return;
    g_countLevel.store(level, std::memory_order_relaxed);
    g_countTarget.store(counter, std::memory_order_relaxed);
    g_countNeedle.store(needle, std::memory_order_release);
}

namespace {

bool SessionWants(const RealtimeSession& s, unsigned level, unsigned flags) {
    return s.active.load(std::memory_order_acquire) &&
           (s.flags.load(std::memory_order_relaxed) & flags) != 0 &&
           level <= s.level.load(std::memory_order_relaxed) &&
           (level != 1 || s.dataLines.load(std::memory_order_relaxed));
}

bool RecorderWants(unsigned level) {
    return RecorderRunning() && level <= g_recorderLevel.load(std::memory_order_relaxed) &&
           (level != 1 || g_recorderDataLines.load(std::memory_order_relaxed));
}

bool CountWants(unsigned level) {
    return g_countNeedle.load(std::memory_order_acquire) != nullptr &&
           level <= g_countLevel.load(std::memory_order_relaxed);
}

}  // namespace

bool LineWanted(unsigned level, unsigned flags) {
    return SessionWants(Session(), level, flags) || RecorderWants(level) || CountWants(level);
}

void TraceLine(unsigned level, unsigned flags, const char* text, std::size_t length) {
    if (text == nullptr) return;
    if (CountWants(level)) {
        const char* needle = g_countNeedle.load(std::memory_order_acquire);
        if (needle != nullptr && std::string_view(text, length).find(needle) != std::string_view::npos)
            g_countTarget.load(std::memory_order_relaxed)->fetch_add(1, std::memory_order_relaxed);
    }
    RealtimeSession& s = Session();
    const bool toSession = SessionWants(s, level, flags);
    const bool toRecorder = RecorderWants(level);
    if (!toSession && !toRecorder) return;

    char line[kLineCapacity];
    std::size_t stamp = 0;
    std::size_t header = 0;
    const std::size_t n = FormatLine(line, sizeof line, level, text, length, stamp, header);
    if (toRecorder) Record(line, n);
    if (toSession) {
        std::lock_guard guard(s.lock);
        if (!HasSink(s)) return;
        // Everything but the time stamp decides whether the line repeats the last one.
        const char* key = line + stamp;
        const std::size_t keyLength = n - stamp;
        if (s.collapse && keyLength == s.lastLength && std::memcmp(key, s.last, keyLength) == 0) {
            if (s.repeats++ == 0) {
                s.firstRepeat = std::chrono::steady_clock::now();
                s.flusherWake.notify_one();
            }
            return;
        }
        FlushRepeats(s);
        if (s.form == Form::Plain) {
            Emit(s, line, n, SyslogPriority(level));
        } else {
            char other[kLineCapacity];
            const std::size_t used = FormatStamp(other, sizeof other, s.form, level);
            const std::size_t kept = std::min(keyLength - 1, sizeof other - used);
            std::memcpy(other + used, key + 1, kept);  // without the blank after the stamp
            Emit(s, other, used + kept, SyslogPriority(level));
        }
        std::memcpy(s.last, key, keyLength);
        s.lastLength = keyLength;
        s.lastPrefix = header;
        s.lastLevel = level;
    }
}

bool StartRealtimeSession(const RealtimeSessionConfig& config) {
    const bool toSyslog = config.form == Form::Syslog;
    int fd = toSyslog ? -1 : STDERR_FILENO;
    bool owns = false;
    std::uint64_t size = 0;
    if (!config.path.empty() && !toSyslog) {
        fd = ::open(config.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        owns = true;
        struct stat st{};
        if (::fstat(fd, &st) == 0) size = static_cast<std::uint64_t>(st.st_size);
    }
    RealtimeSession& s = Session();
    {
        std::lock_guard guard(s.lock);
        FlushRepeats(s);  // the count belongs to the sink being replaced
        if (s.ownsFd && s.fd >= 0) ::close(s.fd);
        s.fd = fd;
        s.ownsFd = owns;
        s.form = config.form;
        s.path = owns ? config.path : std::string();
        s.rotatedPath = owns ? config.path + ".1" : std::string();
        s.maxSize = owns ? config.maxSize : 0;
        s.size = size;
        s.collapse = config.collapseRepeats;
        s.lastLength = 0;
        s.flusherStop = false;
        s.level.store(config.level, std::memory_order_relaxed);
        s.flags.store(config.flags, std::memory_order_relaxed);
        s.dataLines.store(config.dataLines, std::memory_order_relaxed);
        s.active.store(true, std::memory_order_release);
    }
    if (config.collapseRepeats && !s.flusher.joinable()) {
        try {
            s.flusher = std::thread([&s] { FlushLoop(s); });
        } catch (const std::system_error&) {
            // Without the thread a count waits for the next line or the stop.
        }
    }
    return true;
}

void StopRealtimeSession() {
    RealtimeSession& s = Session();
    std::thread flusher;
    {
        std::lock_guard guard(s.lock);
        FlushRepeats(s);
        s.active.store(false, std::memory_order_release);
        if (s.ownsFd && s.fd >= 0) ::close(s.fd);
        s.fd = -1;
        s.ownsFd = false;
        s.form = Form::Plain;
        s.lastLength = 0;
        s.flusherStop = true;
        flusher = std::move(s.flusher);
    }
    s.flusherWake.notify_all();
    if (flusher.joinable()) flusher.join();
}

bool ReopenRealtimeSession() {
    RealtimeSession& s = Session();
    std::lock_guard guard(s.lock);
    if (!s.ownsFd || s.fd < 0) return true;
    // Whatever count is pending belongs to the file being let go.
    FlushRepeats(s);
    const int fd = ::open(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat st{};
    s.size = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    ::close(s.fd);
    s.fd = fd;
    s.lastLength = 0;
    return true;
}

void WriteToRealtimeSession(const std::string& text) {
    RealtimeSession& s = Session();
    std::lock_guard guard(s.lock);
    if (!HasSink(s)) return;
    FlushRepeats(s);
    s.lastLength = 0;  // a line after the text repeats nothing
    // Line by line, so that the cap holds within a long text too.
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto newline = text.find('\n', pos);
        const std::size_t end = newline == std::string::npos ? text.size() : newline + 1;
        Emit(s, text.data() + pos, end - pos, LOG_INFO);
        pos = end;
    }
}

std::string RecorderSnapshot() {
    Recorder& r = TheRecorder();
    std::lock_guard guard(r.lock);
    std::string out;
    if (r.wrapped) {
        out.assign(r.ring + r.head, kRecorderCapacity - r.head);
        out.append(r.ring, r.head);
        // The oldest line was partly overwritten: start at the first whole line.
        const auto first = out.find('\n');
        out.erase(0, first == std::string::npos ? out.size() : first + 1);
    } else {
        out.assign(r.ring, r.head);
    }
    return out;
}

std::size_t DumpRecorder(int fd) {
    const std::string content = RecorderSnapshot();
    WriteAll(fd, content.data(), content.size());
    return content.size();
}

void ClearRecorder() {
    Recorder& r = TheRecorder();
    std::lock_guard guard(r.lock);
    r.head = 0;
    r.wrapped = false;
}

}  // namespace gnss::trace
