// A raw client of the device socket for the tests: sends any bytes, reads
// frames with blocking receives (a test that hangs is ended by ctest's
// time-out rather than by sleeps here).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "gnss/protocol/device_frame.h"

namespace gnss::test {

struct ReceivedCompletion {
    std::uint64_t tag = 0;
    NTSTATUS status = 0;
    std::uint64_t information = 0;
    std::vector<std::uint8_t> output;
};

class FrameClient {
public:
    // Connects; fd() is -1 when the connection failed (errno kept in error()).
    explicit FrameClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            error_ = errno;
            ::close(fd_);
            fd_ = -1;
            return;
        }
        // A safety net only: a server that never answers fails the test
        // instead of hanging it.
        timeval tv{60, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~FrameClient() { Close(); }
    FrameClient(const FrameClient&) = delete;
    FrameClient& operator=(const FrameClient&) = delete;

    int fd() const { return fd_; }
    int error() const { return error_; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool SendBytes(const std::vector<std::uint8_t>& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool SendControl(std::uint64_t tag, std::uint32_t code, std::vector<std::uint8_t> input = {},
                     std::size_t outputLength = 0) {
        std::vector<std::uint8_t> bytes;
        frame::EncodeDeviceControl(tag, code, input, outputLength, bytes);
        return SendBytes(bytes);
    }
    bool SendCancel(std::uint64_t tag) { return SendBytes(frame::EncodeCancel(tag)); }

    // The next frame's bytes; nullopt at the end of the connection.
    std::optional<std::vector<std::uint8_t>> ReceiveFrame() {
        std::vector<std::uint8_t> buffer(frame::kMaxFrame);
        ssize_t n;
        do {
            n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        } while (n < 0 && errno == EINTR);
        if (n == 0) errno = 0;  // the end of the connection
        if (n <= 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }

    // The open result's status; nullopt when the frame is missing or malformed.
    std::optional<NTSTATUS> ReadOpenResult() {
        auto bytes = ReceiveFrame();
        frame::OpenResult result;
        if (!bytes || frame::DecodeOpenResult(*bytes, result) != frame::FrameError::None)
            return std::nullopt;
        return result.status;
    }

    std::optional<ReceivedCompletion> ReadCompletion() {
        auto bytes = ReceiveFrame();
        frame::Completion c;
        if (!bytes || frame::DecodeCompletion(*bytes, c) != frame::FrameError::None)
            return std::nullopt;
        return ReceivedCompletion{c.tag, c.status, c.information, {c.output.begin(), c.output.end()}};
    }

    // True when the next thing on the connection is its end (no frame); false
    // for a frame, and when the safety net's time ran out first.
    bool AtEnd() {
        if (ReceiveFrame().has_value()) return false;
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }

private:
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace gnss::test
