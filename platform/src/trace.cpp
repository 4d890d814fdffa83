#include "gnss/platform/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
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

// Room for one formatted line: time stamp, thread, level, text, newline.
constexpr std::size_t kLineCapacity = 2200;

struct RealtimeSession {
    std::mutex lock;  // guards everything below but the atomics
    int fd = -1;
    bool ownsFd = false;
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
    std::uint64_t repeats = 0;
    std::chrono::steady_clock::time_point firstRepeat{};
    // Writes a count that no different line follows in time.
    std::thread flusher;
    std::condition_variable flusherWake;
    bool flusherStop = false;
    std::atomic<bool> active{false};
    std::atomic<unsigned> level{0};
    std::atomic<unsigned> flags{0};
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
    const std::size_t room = size - used - 1;
    if (length > room) length = room;
    std::memcpy(buf + used, text, length);
    used += length;
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

// Writes to the sink, rotating first when the bytes would pass the cap (an
// empty file takes a line of any length).  Session lock held.
void Emit(RealtimeSession& s, const char* data, std::size_t length) {
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
    std::size_t used = static_cast<std::size_t>(detail::FormatUtcNow(line, sizeof line));
    std::memcpy(line + used, s.last, s.lastPrefix);
    used += s.lastPrefix;
    used += static_cast<std::size_t>(std::snprintf(line + used, sizeof line - used,
                                                   "last message repeated %llu times\n",
                                                   static_cast<unsigned long long>(s.repeats)));
    s.repeats = 0;
    Emit(s, line, used);
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

void TraceLine(unsigned level, unsigned flags, const char* text, std::size_t length) {
    if (text == nullptr) return;
    RealtimeSession& s = Session();
    const bool toSession = s.active.load(std::memory_order_acquire) &&
                           (s.flags.load(std::memory_order_relaxed) & flags) != 0 &&
                           level <= s.level.load(std::memory_order_relaxed);
    const bool toRecorder = RecorderRunning();
    if (!toSession && !toRecorder) return;

    char line[kLineCapacity];
    std::size_t stamp = 0;
    std::size_t header = 0;
    const std::size_t n = FormatLine(line, sizeof line, level, text, length, stamp, header);
    if (toRecorder) Record(line, n);
    if (toSession) {
        std::lock_guard guard(s.lock);
        if (s.fd < 0) return;
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
        Emit(s, line, n);
        std::memcpy(s.last, key, keyLength);
        s.lastLength = keyLength;
        s.lastPrefix = header;
    }
}

bool StartRealtimeSession(const RealtimeSessionConfig& config) {
    int fd = STDERR_FILENO;
    bool owns = false;
    std::uint64_t size = 0;
    if (!config.path.empty()) {
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
        s.path = config.path;
        s.rotatedPath = owns ? config.path + ".1" : std::string();
        s.maxSize = owns ? config.maxSize : 0;
        s.size = size;
        s.collapse = config.collapseRepeats;
        s.lastLength = 0;
        s.flusherStop = false;
        s.level.store(config.level, std::memory_order_relaxed);
        s.flags.store(config.flags, std::memory_order_relaxed);
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
        s.lastLength = 0;
        s.flusherStop = true;
        flusher = std::move(s.flusher);
    }
    s.flusherWake.notify_all();
    if (flusher.joinable()) flusher.join();
}

void WriteToRealtimeSession(const std::string& text) {
    RealtimeSession& s = Session();
    std::lock_guard guard(s.lock);
    if (s.fd < 0) return;
    FlushRepeats(s);
    s.lastLength = 0;  // a line after the text repeats nothing
    // Line by line, so that the cap holds within a long text too.
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto newline = text.find('\n', pos);
        const std::size_t end = newline == std::string::npos ? text.size() : newline + 1;
        Emit(s, text.data() + pos, end - pos);
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
