#include "ModemReattach.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <utility>
#include <vector>

#include "Backends.h"
#include "HostLog.h"
#include "gnss/platform/wdfhost.h"
#include "gnss/protocol/status.h"

namespace gnss::host {
namespace {

bool BeginsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool IsSim(const std::string& modem) { return modem == "sim" || BeginsWith(modem, "sim:"); }

// The nearest existing directory that holds `path` (or one of its parents).
std::string NearestDirectory(const std::string& path) {
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    std::error_code ec;
    while (!dir.empty() && dir != dir.root_path() && !std::filesystem::is_directory(dir, ec))
        dir = dir.parent_path();
    return dir.empty() ? "." : dir.string();
}

constexpr std::uint32_t kWatchMask =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

ModemReattach::ModemReattach(fw::DriverHost& host, std::string modem)
    : host_(host), modem_(std::move(modem)) {
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0)
        GNSSD_LOG(kLogError, "ERROR: eventfd: %s; the modem will not be attached again",
                  std::strerror(errno));
    else
        thread_ = std::thread([this] { Run(); });
}

ModemReattach::~ModemReattach() {
    Stop();
    if (stopFd_ >= 0) ::close(stopFd_);
}

void ModemReattach::DeviceRemoved() {
    std::lock_guard guard(lock_);
    if (stopping_) return;
    removed_ = true;
    wake_.notify_all();
}

void ModemReattach::Stop() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (stopFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
}

std::string ModemReattach::ReattachText(const std::string& modem) {
    if (!BeginsWith(modem, "sim:")) return modem;
    std::istringstream pairs(modem.substr(4));
    std::string pair, kept;
    while (std::getline(pairs, pair, ',')) {
        // An unplug after N commands comes again on the fresh modem, so a
        // modem that keeps going away can be simulated; the others would
        // unplug it at once or on the same command again.
        if (BeginsWith(pair, "fault=unplug") && !BeginsWith(pair, "fault=unplug:after:")) continue;
        kept += (kept.empty() ? "" : ",") + pair;
    }
    return kept.empty() ? "sim" : "sim:" + kept;
}

std::string ModemReattach::WaitsFor(const std::string& modem) {
    return BeginsWith(modem, "tty:") ? modem.substr(4) : modem;
}

void ModemReattach::Run() {
    bool failed = false;  // the last attach failed: wait for a change before the next
    for (;;) {
        {
            std::unique_lock lock(lock_);
            wake_.wait(lock, [this, failed] { return removed_ || stopping_ || failed; });
            if (stopping_) return;
            removed_ = false;
        }
        if (!failed)
            GNSSD_LOG(kLogInfo, "device removed: waiting for the modem (%s) to come back",
                      modem_.c_str());
        std::shared_ptr<fw::UsbBackend> backend = WaitForModem(failed);
        failed = false;
        if (!backend) return;  // stopped, or a modem that cannot come back (logged)
        const std::string described = backend->Describe();
        GNSSD_LOG(kLogInfo, "the modem is back (%s): attaching the device", described.c_str());
        const NTSTATUS status = host_.AddDevice(std::move(backend));
        char text[64];
        if (NT_SUCCESS(status)) {
            GNSSD_LOG(kLogInfo, "device attached again (%s); serving new connections",
                      described.c_str());
            continue;
        }
        GNSSD_LOG(kLogError, "ERROR: cannot attach the device again (%s): %s", described.c_str(),
                  FormatStatus(static_cast<std::uint32_t>(status), text, sizeof text));
        if (IsSim(modem_) || modem_ == "loopback") return;  // it would fail the same way again
        // A port or device that opened but did not start: wait for its next change.
        failed = true;
    }
}

std::shared_ptr<fw::UsbBackend> ModemReattach::WaitForModem(bool changeFirst) {
    std::string error;
    if (IsSim(modem_) || modem_ == "loopback") {
        const std::string text = ReattachText(modem_);
        auto backend = CreateUsbBackend(text, error);
        if (!backend)
            GNSSD_LOG(kLogError, "ERROR: cannot create the modem again (%s): %s", text.c_str(),
                      error.c_str());
        return backend;
    }
    const bool tty = BeginsWith(modem_, "tty:");
    const std::string path = tty ? modem_.substr(4) : std::string();
    for (;;) {
        const int in = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (in < 0) {
            GNSSD_LOG(kLogError, "ERROR: inotify_init1: %s; the modem will not be attached again",
                      std::strerror(errno));
            return nullptr;
        }
        // Watch first, then look: nothing that appears in between is missed.
        std::vector<std::string> watched;
        if (tty) {
            watched.push_back(NearestDirectory(path));
        } else {
            // A USB device that arrives gets a node under /dev/bus/usb/BBB.
            std::error_code ec;
            const std::filesystem::path root = "/dev/bus/usb";
            watched.push_back(std::filesystem::is_directory(root, ec) ? root.string() : "/dev");
            for (const auto& entry : std::filesystem::directory_iterator(root, ec))
                if (entry.is_directory(ec)) watched.push_back(entry.path().string());
        }
        for (const auto& dir : watched)
            if (::inotify_add_watch(in, dir.c_str(), kWatchMask) < 0)
                GNSSD_LOG(kLogWarning, "WARNING: cannot watch %s: %s", dir.c_str(),
                          std::strerror(errno));
        GNSSD_LOG(kLogVerbose, "watching %s for the modem", watched.front().c_str());

        if (!std::exchange(changeFirst, false) && (!tty || ::access(path.c_str(), F_OK) == 0)) {
            auto backend = CreateUsbBackend(modem_, error);
            if (backend) {
                ::close(in);
                return backend;
            }
            GNSSD_LOG(kLogVerbose, "the modem does not open yet (%s); waiting", error.c_str());
        }
        const bool changed = WaitForChange(in);
        ::close(in);
        if (!changed) return nullptr;
    }
}

bool ModemReattach::WaitForChange(int inotifyFd) {
    pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (stopping_) return false;
        }
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            GNSSD_LOG(kLogError, "ERROR: poll: %s", std::strerror(errno));
            return false;
        }
        if ((fds[1].revents & POLLIN) != 0) return false;
        if ((fds[0].revents & POLLIN) != 0) {
            char events[4096];
            while (::read(inotifyFd, events, sizeof events) > 0) {
            }
            return true;
        }
    }
}

}  // namespace gnss::host
