#include "gnss/platform/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "clockfmt.h"
#include "gnss/platform/sync.h"

namespace gnss::trace {
namespace {

std::atomic<bool> g_controlRegistered{false};
std::atomic<bool> g_recorderRunning{false};
std::atomic<bool> g_recorderVerbose{false};

struct RealtimeSession {
    std::mutex lock;  // guards fd against a concurrent stop
    int fd = -1;
    bool ownsFd = false;
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

// "<time> [<tid>] L<level> <text>\n" into buf; returns the length.
std::size_t FormatLine(char* buf, std::size_t size, unsigned level, const char* text,
                       std::size_t length) {
    int n = detail::FormatUtcNow(buf, size);
    n += std::snprintf(buf + n, size - static_cast<std::size_t>(n), " [%5u] L%u ",
                       static_cast<unsigned>(os::CurrentThreadId()), level);
    std::size_t used = static_cast<std::size_t>(n);
    const std::size_t room = size - used - 1;
    if (length > room) length = room;
    std::memcpy(buf + used, text, length);
    used += length;
    buf[used++] = '\n';
    return used;
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

    char line[2200];
    const std::size_t n = FormatLine(line, sizeof line, level, text, length);
    if (toRecorder) Record(line, n);
    if (toSession) {
        std::lock_guard guard(s.lock);
        if (s.fd >= 0) WriteAll(s.fd, line, n);
    }
}

bool StartRealtimeSession(const RealtimeSessionConfig& config) {
    int fd = STDERR_FILENO;
    bool owns = false;
    if (!config.path.empty()) {
        fd = ::open(config.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        owns = true;
    }
    RealtimeSession& s = Session();
    std::lock_guard guard(s.lock);
    if (s.ownsFd && s.fd >= 0) ::close(s.fd);
    s.fd = fd;
    s.ownsFd = owns;
    s.level.store(config.level, std::memory_order_relaxed);
    s.flags.store(config.flags, std::memory_order_relaxed);
    s.active.store(true, std::memory_order_release);
    return true;
}

void StopRealtimeSession() {
    RealtimeSession& s = Session();
    std::lock_guard guard(s.lock);
    s.active.store(false, std::memory_order_release);
    if (s.ownsFd && s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    s.ownsFd = false;
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
