#include "gnss/platform/tty_usb_backend.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#include "backend_log.h"
#include "gnss/platform/usb_function.h"

namespace gnss::fw {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

std::string OpenFailure(const std::string& path, int error) {
    std::string text = "tty:" + path + ": cannot open: " + ErrnoText(error);
    if (error == EACCES || error == EPERM)
        text += " (the user needs read and write access to the device, e.g. through its group)";
    else if (error == EBUSY)
        text += " (another program holds it exclusively)";
    return text;
}

// Errors of a device that is gone (or hung up) for good.
bool DeviceGoneError(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

void DrainEventFd(int fd) {
    std::uint64_t value = 0;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::shared_ptr<TtyUsbBackend> TtyUsbBackend::Open(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "tty: needs the path of a serial device, as tty:/dev/ttyACM0";
        return nullptr;
    }
    // Non-blocking from the start: the open must not wait for a carrier, and
    // every later wait is a poll().
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = OpenFailure(path, errno);
        return nullptr;
    }
    auto fail = [&](const std::string& what, int code) -> std::shared_ptr<TtyUsbBackend> {
        error = "tty:" + path + ": " + what + (code != 0 ? ": " + ErrnoText(code) : std::string());
        ::close(fd);
        return nullptr;
    };
    if (::isatty(fd) == 0) return fail("is not a terminal device", 0);
    if (::ioctl(fd, TIOCEXCL) != 0) return fail("cannot be opened exclusively (TIOCEXCL)", errno);

    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) return fail("cannot read the terminal settings", errno);
    termios raw = saved;
    ::cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    // A read returns what is there, at least one byte; with O_NONBLOCK an
    // empty device answers EAGAIN, so a read of 0 bytes means a hang-up.
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) return fail("cannot be set to raw mode", errno);
    // Whatever arrived before we owned the device belongs to nobody.
    ::tcflush(fd, TCIFLUSH);

    const int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cancelFd < 0) {
        const int code = errno;
        ::tcsetattr(fd, TCSANOW, &saved);
        return fail("cannot create an eventfd", code);
    }
    USBIO_LOG(detail::kLogInfo, "opened %s in raw mode", path.c_str());
    return std::shared_ptr<TtyUsbBackend>(new TtyUsbBackend(path, fd, cancelFd, saved));
}

TtyUsbBackend::TtyUsbBackend(std::string path, int fd, int cancelFd, const termios& saved)
    : path_(std::move(path)), fd_(fd), cancelFd_(cancelFd), saved_(saved) {}

TtyUsbBackend::~TtyUsbBackend() {
    if (!IsGone()) {
        ::tcsetattr(fd_, TCSANOW, &saved_);
        ::ioctl(fd_, TIOCNXCL);
    }
    ::close(cancelFd_);
    ::close(fd_);
}

std::string TtyUsbBackend::Describe() const { return "tty:" + path_; }

std::vector<UsbInterfaceDescriptor> TtyUsbBackend::Interfaces() { return SerialFunctionInterfaces(); }

bool TtyUsbBackend::IsGone() {
    std::lock_guard<std::mutex> lock(mutex_);
    return gone_;
}

NTSTATUS TtyUsbBackend::Gone(const char* why) {
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
        notify = !removalSent_;
        removalSent_ = true;
    }
    if (notify) {
        USBIO_LOG(detail::kLogWarning, "%s is gone (%s)", path_.c_str(), why);
        NotifyRemoved();
    }
    return STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS TtyUsbBackend::SetLines(bool dtr, bool rts) {
    const int set = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
    const int clear = (TIOCM_DTR | TIOCM_RTS) & ~set;
    for (const auto& [request, bits] : {std::pair{TIOCMBIS, set}, std::pair{TIOCMBIC, clear}}) {
        if (bits == 0) continue;
        if (::ioctl(fd_, request, &bits) == 0) continue;
        const int error = errno;
        if (error == ENOTTY || error == EINVAL) {
            if (!noLinesLogged_.exchange(true))
                USBIO_LOG(detail::kLogInfo, "%s has no modem control lines; DTR and RTS are not set",
                          path_.c_str());
            return STATUS_SUCCESS;
        }
        if (DeviceGoneError(error)) return Gone("setting the control lines failed");
        USBIO_LOG(detail::kLogError, "%s: setting DTR=%d RTS=%d failed: %s", path_.c_str(), dtr, rts,
                  std::strerror(error));
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TtyUsbBackend::ControlTransfer(const UsbSetupPacket& setup, std::uint8_t* data,
                                        std::size_t length, ULONG* transferred) {
    if (transferred != nullptr) *transferred = 0;
    ControlLines lines;
    const NTSTATUS status = DecodeControlLineRequest(setup, data, length, lines);
    if (!NT_SUCCESS(status)) return status;
    if (IsGone()) return STATUS_DEVICE_NOT_CONNECTED;
    return SetLines(lines.dtr, lines.rts);
}

NTSTATUS TtyUsbBackend::ReadPipe(UCHAR endpoint, std::uint8_t* buffer, std::size_t length,
                                 std::size_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    if (endpoint != kBulkInEndpoint || buffer == nullptr || length == 0) return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
        const NTSTATUS begun = readGate_.Begin();
        if (!NT_SUCCESS(begun)) return begun;
    }
    if (readStarted_) readStarted_();

    const std::size_t capacity = std::min(length, kReadChunkBytes);
    NTSTATUS status = STATUS_SUCCESS;
    const char* goneWhy = nullptr;
    while (true) {
        pollfd fds[2] = {{cancelFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            USBIO_LOG(detail::kLogError, "%s: poll failed: %s", path_.c_str(), std::strerror(errno));
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        if (fds[0].revents != 0) {
            // The cancel wins over data that arrived at the same moment: the
            // data stays in the device for the next read.
            DrainEventFd(cancelFd_);
            std::lock_guard<std::mutex> lock(mutex_);
            if (readGate_.Cancelled()) {
                status = STATUS_CANCELLED;
                break;
            }
            continue;  // left over from a read that had finished with data
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t n = ::read(fd_, buffer, capacity);
            if (n > 0) {
                if (transferred != nullptr) *transferred = static_cast<std::size_t>(n);
                break;
            }
            if (n == 0) {
                goneWhy = "end of file, hung up";
                break;
            }
            const int error = errno;
            if (error == EINTR || error == EAGAIN) continue;
            if (DeviceGoneError(error)) {
                goneWhy = "read failed with EIO";
                break;
            }
            USBIO_LOG(detail::kLogError, "%s: read failed: %s", path_.c_str(), std::strerror(error));
            status = STATUS_DEVICE_DATA_ERROR;
            break;
        }
        if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            goneWhy = "hung up";
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        readGate_.End();
    }
    return goneWhy != nullptr ? Gone(goneWhy) : status;
}

void TtyUsbBackend::CancelRead(UCHAR endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endpoint != kBulkInEndpoint || !readGate_.Cancel()) return;
    const std::uint64_t one = 1;
    while (::write(cancelFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

NTSTATUS TtyUsbBackend::WritePipe(UCHAR endpoint, const std::uint8_t* data, std::size_t length,
                                  ULONG* written) {
    if (written != nullptr) *written = 0;
    if (endpoint != kBulkOutEndpoint || data == nullptr || length == 0 ||
        length > std::numeric_limits<ULONG>::max())
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> serial(writeMutex_);
    if (IsGone()) return STATUS_DEVICE_NOT_CONNECTED;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + kWriteBound;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int error = n < 0 ? errno : EAGAIN;
        if (error == EINTR) continue;
        if (DeviceGoneError(error)) return Gone("write failed with EIO");
        if (error != EAGAIN) {
            USBIO_LOG(detail::kLogError, "%s: write failed: %s", path_.c_str(), std::strerror(error));
            return STATUS_UNSUCCESSFUL;
        }
        // The device takes no more for now: wait until it does, it goes
        // away, or the bound is reached.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLOUT, 0};
        const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            USBIO_LOG(detail::kLogError, "%s: poll failed: %s", path_.c_str(), std::strerror(errno));
            return STATUS_UNSUCCESSFUL;
        }
        if (ready == 0) {
            // The stream is broken either way; what is still queued would
            // only run into the next command.
            ::tcflush(fd_, TCOFLUSH);
            USBIO_LOG(detail::kLogError, "%s: write of %zu bytes not done after %lld ms (%zu sent), failed",
                      path_.c_str(), length, static_cast<long long>(kWriteBound.count()), done);
            return STATUS_IO_TIMEOUT;
        }
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0)
            return Gone("hung up while writing");
    }
    if (written != nullptr) *written = static_cast<ULONG>(length);
    return STATUS_SUCCESS;
}

}  // namespace gnss::fw
