// gnssfeed's outputs: TCP and Unix stream listeners, pseudo-terminals, and
// the consumers connected to them, served by one event loop.
//
//   Outputs outputs(65536);
//   outputs.ListenTcp("127.0.0.1:10110");
//   outputs.OpenPty("/run/gnss/nmea0");
//   // elsewhere, from any thread: outputs.Publish(sentences);
//   int signal = outputs.Run(signals, std::chrono::seconds(1), hooks);
//
// Every block published goes to every consumer connected when the loop
// takes it, in order.  Each consumer has a bounded buffer: a stream consumer
// with more than `bufferLimit` bytes waiting is dropped; a pseudo-terminal's
// waiting bytes are discarded instead (its reader cannot be disconnected).
// Nothing a consumer does blocks the loop or another consumer.  What
// consumers send is read and discarded.
//
// A pseudo-terminal counts as one consumer while any process holds its slave
// open (seen through inotify on the slave's device node); sentences go to it
// only then, so a program that opens it later starts with fresh ones.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace gnss::feed {

// An output that cannot be set up; what() says which and why.
class SetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Outputs {
public:
    struct Hooks {
        // The number of consumers changed (on the loop's thread).
        std::function<void(std::size_t consumers)> consumersChanged;
        // Every tick interval (on the loop's thread).
        std::function<void()> tick;
    };

    explicit Outputs(std::size_t bufferLimit);
    // Closes every connection and removes the socket files and links it made.
    ~Outputs();
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;

    // "ADDRESS:PORT" (IPv4, [IPv6] or a host name); port 0 takes a free one.
    // Returns the address and port it listens on ("127.0.0.1:41234").
    std::string ListenTcp(const std::string& addressPort);
    // A stale socket file at `path` is replaced; a live one is refused.
    void ListenUnix(const std::string& path, unsigned mode);
    // A new pseudo-terminal in raw mode, with `link` (replaced if it is a
    // symbolic link) pointing at its slave.
    void OpenPty(const std::string& link);

    // From any thread: `block` for every consumer.
    void Publish(std::string block);

    // Serves until one of `signals` (blocked in every thread by the caller)
    // arrives; returns its number.
    int Run(const sigset_t& signals, std::chrono::milliseconds tickInterval, Hooks hooks);

private:
    struct Listener;
    struct Stream;
    struct Pty;

    void Watch(int fd, std::uint32_t events, std::uint64_t key);
    void Rewatch(int fd, std::uint32_t events, std::uint64_t key);
    void Unwatch(int fd);
    void Accept(Listener& listener);
    void PauseAccepting(int error);
    void ResumeAccepting();
    void Deliver(const std::string& block);
    void DeliverTo(Stream& stream, const std::string& block);
    void FlushStream(Stream& stream);
    void ReadStream(Stream& stream);
    void DropStream(int id, const std::string& why);
    void PtyEvents();
    void PtyReadable(Pty& pty, std::uint32_t events);
    void DeliverTo(Pty& pty, const std::string& block);
    void FlushPty(Pty& pty);
    void PtyOpened(Pty& pty);
    void PtyClosed(Pty& pty);
    void CountChanged();
    std::size_t Consumers() const;

    const std::size_t bufferLimit_;
    int epoll_ = -1;
    int wake_ = -1;        // eventfd: Publish has queued blocks
    int inotify_ = -1;     // opens and closes of the pseudo-terminals' slaves
    int acceptPause_ = -1; // timerfd: accepting again after running out of descriptors
    bool accepting_ = true;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::map<int, std::unique_ptr<Stream>> streams_;  // by consumer number
    std::vector<std::unique_ptr<Pty>> ptys_;
    int nextConsumer_ = 1;
    std::size_t lastCount_ = 0;
    Hooks hooks_;

    std::mutex queueLock_;
    std::deque<std::string> queue_;  // guarded by queueLock_
};

}  // namespace gnss::feed
