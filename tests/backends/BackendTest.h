// Helpers shared by the back-end tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <vector>

#include "gnss/platform/usb_function.h"
#include "gnss/platform/wdfhost.h"

namespace gnss::test {

// How long a test waits for something that should happen at once before it
// gives up (a guard against hanging, never a measurement).
inline constexpr std::chrono::seconds kPatience{20};

inline fw::UsbSetupPacket ControlLineRequest(USHORT lines) {
    return fw::UsbSetupPacket{0x21, 0x22, lines, 0, 0};
}

inline NTSTATUS Write(fw::UsbBackend& usb, const std::string& text, ULONG* written = nullptr) {
    ULONG ignored = 0;
    return usb.WritePipe(fw::kBulkOutEndpoint, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                         written != nullptr ? written : &ignored);
}

// Counts the back-end's removal notices.
class RemovalCounter {
public:
    explicit RemovalCounter(fw::UsbBackend& usb) {
        usb.SetRemovalHandler([this] { count_.fetch_add(1); });
    }
    int Count() const { return count_.load(); }

private:
    std::atomic<int> count_{0};
};

// Sees reads begin (through the back-ends' read-started hook).
class ReadTracker {
public:
    template <class Backend>
    explicit ReadTracker(Backend& usb) {
        usb.SetReadStartedHook([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            ++started_;
            changed_.notify_all();
        });
    }
    // Starts a read of the bulk IN pipe on another thread and returns once
    // the read has begun (so that a CancelRead now is meant for it).
    std::future<NTSTATUS> BeginRead(fw::UsbBackend& usb) {
        unsigned before = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            before = started_;
        }
        auto read = std::async(std::launch::async, [&usb] {
            std::uint8_t buffer[fw::kReadChunkBytes];
            std::size_t n = 0;
            return usb.ReadPipe(fw::kBulkInEndpoint, buffer, sizeof buffer, &n);
        });
        std::unique_lock<std::mutex> lock(mutex_);
        EXPECT_TRUE(changed_.wait_for(lock, kPatience, [&] { return started_ > before; }));
        return read;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned started_ = 0;
};

struct Collected {
    NTSTATUS status = STATUS_SUCCESS;
    std::string text;
    std::vector<std::size_t> chunks;  // bytes of each successful read
};

// Reads the bulk IN pipe until `done(text)` holds or a read fails.  Should
// the answer never come, a watchdog cancels the read in progress so that the
// test fails instead of hanging.
template <class Done>
Collected ReadUntil(fw::UsbBackend& usb, Done done, std::size_t bufferSize = fw::kReadChunkBytes) {
    Collected collected;
    std::mutex mutex;
    std::condition_variable finishedCv;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!finishedCv.wait_for(lock, kPatience, [&] { return finished; })) {
            lock.unlock();
            usb.CancelRead(fw::kBulkInEndpoint);
        }
    });
    std::vector<std::uint8_t> buffer(bufferSize);
    while (!done(collected.text)) {
        std::size_t n = 0;
        collected.status = usb.ReadPipe(fw::kBulkInEndpoint, buffer.data(), buffer.size(), &n);
        if (!NT_SUCCESS(collected.status)) break;
        collected.chunks.push_back(n);
        collected.text.append(reinterpret_cast<const char*>(buffer.data()), n);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    finishedCv.notify_all();
    watchdog.join();
    return collected;
}

inline auto EndsWithOk() {
    return [](const std::string& text) { return text.ends_with("OK\r\n") || text.ends_with("ERROR\r\n"); };
}

inline auto AtLeast(std::size_t bytes) {
    return [bytes](const std::string& text) { return text.size() >= bytes; };
}

}  // namespace gnss::test
