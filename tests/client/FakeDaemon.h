// A stand-in for gnssd in the client tests: a SEQPACKET socket in a
// temporary directory that answers every connection with a chosen open
// status, then either hands the connection to the test (which reads the
// requests and completes them as it likes) or answers each request through a
// responder function on a thread of its own.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::test {

using Bytes = std::vector<std::uint8_t>;

struct FakeRequest {
    frame::FrameType type = frame::FrameType::DeviceControl;
    std::uint64_t tag = 0;
    std::uint32_t code = 0;
    std::uint32_t outputLength = 0;
    Bytes input;
};

struct FakeReply {
    NTSTATUS status = STATUS_SUCCESS;
    std::uint64_t information = 0;
    Bytes output;
};

class FakeDaemon {
public:
    using Responder = std::function<FakeReply(const FakeRequest&)>;

    // Manual mode: NextConnection() hands each accepted connection to the test.
    explicit FakeDaemon(NTSTATUS openStatus = STATUS_SUCCESS) : FakeDaemon(openStatus, nullptr) {}
    // Responder mode: every request of every connection is answered by `respond`.
    explicit FakeDaemon(Responder respond) : FakeDaemon(STATUS_SUCCESS, std::move(respond)) {}

    ~FakeDaemon() {
        ::shutdown(listen_, SHUT_RDWR);  // ends the blocking accept
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
            if (serving_ >= 0) ::shutdown(serving_, SHUT_RDWR);
        }
        acceptor_.join();
        ::close(listen_);
        for (int fd : handedOut_) ::close(fd);
    }

    const std::string& Path() const { return path_; }

    // Manual mode: the next connection, after its open result was sent.
    int NextConnection() {
        std::unique_lock guard(lock_);
        arrived_.wait(guard, [&] { return !accepted_.empty(); });
        const int fd = accepted_.front();
        accepted_.pop_front();
        return fd;
    }

    // The next frame from the client; nullopt at the end of the connection.
    static std::optional<FakeRequest> Read(int fd) {
        std::vector<std::uint8_t> buffer(frame::kMaxFrame);
        ssize_t n;
        do {
            n = ::recv(fd, buffer.data(), buffer.size(), 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return std::nullopt;
        frame::Request r;
        const auto error = frame::DecodeRequest({buffer.data(), static_cast<std::size_t>(n)}, r);
        EXPECT_EQ(error, frame::FrameError::None) << frame::FrameErrorText(error);
        if (error != frame::FrameError::None) return std::nullopt;
        return FakeRequest{r.type, r.tag, r.controlCode, r.outputLength, {r.input.begin(), r.input.end()}};
    }

    static void Complete(int fd, std::uint64_t tag, const FakeReply& reply) {
        Bytes bytes;
        ASSERT_EQ(frame::EncodeCompletion(tag, reply.status, reply.information, reply.output, bytes),
                  frame::FrameError::None);
        SendRaw(fd, bytes);
    }

    static void SendRaw(int fd, const Bytes& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Closes a connection handed out by NextConnection.
    void Drop(int fd) {
        ::close(fd);
        std::lock_guard guard(lock_);
        std::erase(handedOut_, fd);
    }

private:
    FakeDaemon(NTSTATUS openStatus, Responder respond)
        : openStatus_(openStatus), respond_(std::move(respond)) {
        path_ = dir_.File("gnss.sock");
        listen_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(::bind(listen_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listen_, 8), 0);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    void AcceptLoop() {
        for (;;) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;  // shut down
            SendRaw(fd, frame::EncodeOpenResult(openStatus_, 3));
            if (!NT_SUCCESS(openStatus_)) {  // refused: closed at once, as gnssd does
                ::close(fd);
                continue;
            }
            if (!respond_) {
                std::lock_guard guard(lock_);
                accepted_.push_back(fd);
                handedOut_.push_back(fd);
                arrived_.notify_all();
                continue;
            }
            {
                std::lock_guard guard(lock_);
                if (stopping_) {
                    ::close(fd);
                    return;
                }
                serving_ = fd;
            }
            while (auto request = Read(fd))
                if (request->type == frame::FrameType::DeviceControl)
                    Complete(fd, request->tag, respond_(*request));
            {
                std::lock_guard guard(lock_);
                serving_ = -1;
            }
            ::close(fd);
        }
    }

    TempDir dir_;
    std::string path_;
    const NTSTATUS openStatus_;
    const Responder respond_;
    int listen_ = -1;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<int> accepted_;
    std::vector<int> handedOut_;  // closed with the daemon
    int serving_ = -1;
    bool stopping_ = false;
    std::thread acceptor_;
};

}  // namespace gnss::test
