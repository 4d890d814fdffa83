#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "FakeDaemon.h"
#include "gnss/client/nmea_listener.h"
#include "gnss/client/structures.h"

namespace gnss::client {
namespace {

using test::FakeDaemon;
using test::FakeReply;

// Only bounds a failing test.
constexpr auto kBound = std::chrono::seconds(10);

void AnswerLost(int fd, const char* text) {
    const auto query = FakeDaemon::Read(fd);
    ASSERT_TRUE(query);
    ASSERT_EQ(query->type, frame::FrameType::HostQuery);
    const std::string answer = std::string("connections 1\n") + text;
    FakeDaemon::Complete(fd, query->tag, {STATUS_SUCCESS, answer.size(), {answer.begin(), answer.end()}});
}

std::uint64_t ReadListen(int fd) {
    const auto request = FakeDaemon::Read(fd);
    EXPECT_TRUE(request && request->code == IOCTL_GNSS_LISTEN_NMEA);
    return request ? request->tag : 0;
}

// The next request goes out before a block is handed on, a session stop's
// cancellation is listened through, and the drops are counted from Start.
TEST(NmeaListener, ReArmsBeforeHandingABlockOnAndCountsTheDropsSinceStart) {
    FakeDaemon daemon;
    auto device = Device::Open(daemon.Path());
    const int fd = daemon.NextConnection();

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> handedOn{0};
    NmeaListener listener(*device, [&](Completion&& c) {
        EXPECT_TRUE(c.ok());
        ++handedOn;
        EXPECT_EQ(released.wait_for(kBound), std::future_status::ready)
            << "the block was handed on before the next request went out";
    });
    std::thread starter([&] { listener.Start(); });
    AnswerLost(fd, "nmea-lost 15\n");
    const std::uint64_t first = ReadListen(fd);
    starter.join();

    FakeDaemon::Complete(fd, first, {STATUS_SUCCESS, sizeof(GNSS_EVENT), Bytes(sizeof(GNSS_EVENT))});
    const std::uint64_t second = ReadListen(fd);  // while the callback still holds the block
    release.set_value();
    FakeDaemon::Complete(fd, second, {STATUS_CANCELLED, 0, {}});
    const std::uint64_t third = ReadListen(fd);
    EXPECT_NE(third, second);

    std::future<std::uint64_t> lost = std::async(std::launch::async, [&] { return listener.Lost(); });
    AnswerLost(fd, "nmea-wanted 1\nnmea-lost 25\n");
    EXPECT_EQ(lost.get(), 10u);

    listener.Stop();
    const auto cancel = FakeDaemon::Read(fd);
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->type, frame::FrameType::Cancel);
    EXPECT_EQ(cancel->tag, third);
    EXPECT_EQ(handedOn.load(), 1);
    device->Close();
}

}  // namespace
}  // namespace gnss::client
