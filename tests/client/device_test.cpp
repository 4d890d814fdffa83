// The client library's Device against a fake daemon: open, requests
// outstanding at once and completed out of order, cancellation, time-outs,
// and the ends of a connection.
#include <future>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "FakeDaemon.h"
#include "gnss/client/device.h"

namespace gnss::client {
namespace {

using test::Bytes;
using test::FakeDaemon;
using test::FakeReply;

// A callback that hands its completion to the test.
struct Catch {
    std::promise<Completion> promise;
    std::future<Completion> future = promise.get_future();
    CompletionCallback callback() {
        return [this](Completion&& c) { promise.set_value(std::move(c)); };
    }
};

TEST(ClientDevice, OpenReportsARefusalByItsStatusAndAMissingDaemonAsUnreachable) {
    FakeDaemon refusing(STATUS_NOT_SUPPORTED);
    try {
        Device::Open(refusing.Path());
        FAIL() << "the open succeeded";
    } catch (const StatusError& e) {
        EXPECT_EQ(e.status(), STATUS_NOT_SUPPORTED);
        EXPECT_NE(std::string(e.what()).find("STATUS_NOT_SUPPORTED (0xC00000BB)"), std::string::npos);
    }
    test::TempDir dir;
    EXPECT_THROW(Device::Open(dir.File("nobody.sock")), ConnectionError);
}

TEST(ClientDevice, OpenRejectsAnAnswerThatIsNoOpenResult) {
    // A server that answers the open with a completion, then one that answers nothing.
    test::TempDir dir;
    const std::string path = dir.File("bad.sock");
    const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 2), 0);
    std::thread server([listener] {
        int fd = ::accept(listener, nullptr, nullptr);
        Bytes wrong;
        frame::EncodeCompletion(1, STATUS_SUCCESS, 0, {}, wrong);
        FakeDaemon::SendRaw(fd, wrong);
        ::close(fd);
        fd = ::accept(listener, nullptr, nullptr);
        ::close(fd);  // no answer at all
    });
    try {
        Device::Open(path);
        FAIL() << "the open succeeded";
    } catch (const ConnectionError& e) {
        EXPECT_NE(std::string(e.what()).find("unknown frame type"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Device::Open(path), ConnectionError);
    server.join();
    ::close(listener);
}

TEST(ClientDevice, OutstandingRequestsCompleteOutOfOrderToTheirOwnCallbacks) {
    FakeDaemon daemon;
    auto device = Device::Open(daemon.Path());
    const int conn = daemon.NextConnection();
    EXPECT_EQ(device->InterfaceVersion(), 3u);

    Catch a, b, c;
    const Tag ta = device->ControlAsync(0x00220008, {}, 604, a.callback());
    const Tag tb = device->ControlAsync(0x0022000C, Bytes{1, 2, 3}, 0, b.callback());
    const Tag tc = device->ControlAsync(0x002200C4, {}, 2736, c.callback());
    EXPECT_EQ(std::set<Tag>({ta, tb, tc}).size(), 3u);

    std::map<Tag, test::FakeRequest> seen;
    for (int i = 0; i < 3; ++i) {
        auto r = FakeDaemon::Read(conn);
        ASSERT_TRUE(r.has_value());
        seen[r->tag] = *r;
    }
    EXPECT_EQ(seen[ta].code, 0x00220008u);
    EXPECT_EQ(seen[ta].outputLength, 604u);
    EXPECT_EQ(seen[tb].input, (Bytes{1, 2, 3}));
    EXPECT_EQ(seen[tc].outputLength, 2736u);

    FakeDaemon::Complete(conn, tc, {STATUS_CANCELLED, 0, {}});
    FakeDaemon::Complete(conn, ta, {STATUS_SUCCESS, 604, Bytes(604, 0x5A)});
    FakeDaemon::Complete(conn, tb, {STATUS_INTERNAL_ERROR, 4, {}});
    const Completion ca = a.future.get();
    const Completion cb = b.future.get();
    const Completion cc = c.future.get();
    EXPECT_EQ(ca.status, STATUS_SUCCESS);
    EXPECT_EQ(ca.output, Bytes(604, 0x5A));
    EXPECT_EQ(cb.status, STATUS_INTERNAL_ERROR);
    EXPECT_EQ(cb.information, 4u);
    EXPECT_FALSE(cb.ok());
    EXPECT_EQ(cc.status, STATUS_CANCELLED);
    EXPECT_FALSE(cc.disconnected);
}

TEST(ClientDevice, CancelSendsTheTagOnlyWhileTheRequestIsOutstanding) {
    FakeDaemon daemon;
    auto device = Device::Open(daemon.Path());
    const int conn = daemon.NextConnection();
    Catch parked;
    const Tag tag = device->ControlAsync(0x00220100, {}, 2736, parked.callback());
    ASSERT_TRUE(FakeDaemon::Read(conn).has_value());

    EXPECT_TRUE(device->Cancel(tag));
    const auto cancel = FakeDaemon::Read(conn);
    ASSERT_TRUE(cancel.has_value());
    EXPECT_EQ(cancel->type, frame::FrameType::Cancel);
    EXPECT_EQ(cancel->tag, tag);
    FakeDaemon::Complete(conn, tag, {STATUS_CANCELLED, 0, {}});
    EXPECT_EQ(parked.future.get().status, STATUS_CANCELLED);

    // Completed: a second cancel sends nothing; the next frame is a request.
    EXPECT_FALSE(device->Cancel(tag));
    EXPECT_FALSE(device->Cancel(12345));
    Catch next;
    const Tag nextTag = device->ControlAsync(0x00220008, {}, 0, next.callback());
    const auto r = FakeDaemon::Read(conn);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->type, frame::FrameType::DeviceControl);
    EXPECT_EQ(r->tag, nextTag);
    FakeDaemon::Complete(conn, nextTag, {});
    next.future.get();
}

TEST(ClientDevice, ControlWaitsForItsCompletionAndCancelsOnTimeout) {
    FakeDaemon daemon;
    auto device = Device::Open(daemon.Path());
    const int conn = daemon.NextConnection();

    auto answered = std::async(std::launch::async, [&] {
        return device->Control(0x00220118, {}, 660, std::chrono::milliseconds(60000));
    });
    const auto r = FakeDaemon::Read(conn);
    ASSERT_TRUE(r.has_value());
    FakeDaemon::Complete(conn, r->tag, {STATUS_SUCCESS, 660, Bytes(660, 1)});
    const Completion c = answered.get();
    EXPECT_EQ(c.information, 660u);
    EXPECT_EQ(c.output.size(), 660u);

    // Never answered: the call gives up and cancels the request.
    EXPECT_THROW(device->Control(0x00220100, {}, 2736, std::chrono::milliseconds(20)), TimeoutError);
    const auto request = FakeDaemon::Read(conn);
    const auto cancel = FakeDaemon::Read(conn);
    ASSERT_TRUE(request && cancel);
    EXPECT_EQ(cancel->type, frame::FrameType::Cancel);
    EXPECT_EQ(cancel->tag, request->tag);
    // The late completion of the abandoned request goes nowhere.
    FakeDaemon::Complete(conn, request->tag, {STATUS_CANCELLED, 0, {}});
    auto again = std::async(std::launch::async, [&] { return device->Control(1, {}, 0); });
    const auto third = FakeDaemon::Read(conn);
    ASSERT_TRUE(third.has_value());
    FakeDaemon::Complete(conn, third->tag, {STATUS_SUCCESS, 0, {}});
    EXPECT_TRUE(again.get().ok());
}

TEST(ClientDevice, TheDaemonClosingFailsEveryOutstandingRequest) {
    FakeDaemon daemon;
    auto device = Device::Open(daemon.Path());
    const int conn = daemon.NextConnection();
    Catch a, b;
    device->ControlAsync(0x002200C4, {}, 2736, a.callback());
    device->ControlAsync(0x00220100, {}, 2736, b.callback());
    ASSERT_TRUE(FakeDaemon::Read(conn) && FakeDaemon::Read(conn));
    daemon.Drop(conn);

    for (Catch* c : {&a, &b}) {
        const Completion done = c->future.get();
        EXPECT_TRUE(done.disconnected);
        EXPECT_EQ(done.status, STATUS_DEVICE_NOT_CONNECTED);
    }
    EXPECT_FALSE(device->Connected());
    EXPECT_NE(device->DisconnectReason().find("closed"), std::string::npos);
    EXPECT_THROW(device->ControlAsync(1, {}, 0, [](Completion&&) {}), ConnectionError);
    EXPECT_THROW(device->Control(1, {}, 0), ConnectionError);
}

TEST(ClientDevice, ADaemonBreakingTheProtocolEndsTheConnection) {
    FakeDaemon daemon;
    {
        auto device = Device::Open(daemon.Path());
        const int conn = daemon.NextConnection();
        Catch a;
        const Tag tag = device->ControlAsync(1, {}, 8, a.callback());
        ASSERT_TRUE(FakeDaemon::Read(conn));
        FakeDaemon::Complete(conn, tag, {STATUS_SUCCESS, 9, Bytes(9)});  // 9 bytes for 8 asked
        EXPECT_TRUE(a.future.get().disconnected);
        EXPECT_NE(device->DisconnectReason().find("more output"), std::string::npos);
    }
    {
        auto device = Device::Open(daemon.Path());
        const int conn = daemon.NextConnection();
        Catch a;
        device->ControlAsync(1, {}, 8, a.callback());
        ASSERT_TRUE(FakeDaemon::Read(conn));
        FakeDaemon::Complete(conn, 999, {});  // a tag never used
        EXPECT_TRUE(a.future.get().disconnected);
        EXPECT_NE(device->DisconnectReason().find("not outstanding"), std::string::npos);
        EXPECT_TRUE(FakeDaemon::Read(conn) == std::nullopt);  // the client hung up
    }
}

TEST(ClientDevice, CloseFailsWhatIsOutstandingBeforeItReturns) {
    FakeDaemon daemon;
    auto device = Device::Open(daemon.Path());
    const int conn = daemon.NextConnection();
    int failed = 0;  // written by the reader thread, read after Close
    device->ControlAsync(0x00220100, {}, 2736, [&](Completion&& c) { failed += c.disconnected; });
    device->ControlAsync(0x002200C4, {}, 2736, [&](Completion&& c) { failed += c.disconnected; });
    ASSERT_TRUE(FakeDaemon::Read(conn) && FakeDaemon::Read(conn));
    device->Close();
    EXPECT_EQ(failed, 2);
    EXPECT_EQ(device->DisconnectReason(), "closed by this client");
    EXPECT_EQ(FakeDaemon::Read(conn), std::nullopt);
    device->Close();  // again: nothing
}

TEST(ClientDevice, ManyThreadsShareOneDevice) {
    // Each request's output is its input: any mix-up of tags shows.
    FakeDaemon daemon([](const test::FakeRequest& r) {
        return FakeReply{STATUS_SUCCESS, r.input.size(), r.input};
    });
    auto device = Device::Open(daemon.Path());
    constexpr int kThreads = 4;
    constexpr int kEach = 100;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const Bytes input = {static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)};
                if (i % 2 == 0) {
                    if (device->Control(7, input, 2).output == input) ++good;
                } else {
                    std::promise<Bytes> p;
                    device->ControlAsync(7, input, 2, [&](Completion&& c) { p.set_value(c.output); });
                    if (p.get_future().get() == input) ++good;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), kThreads * kEach);
}

TEST(ClientDevice, OversizedRequestsAreRefusedBeforeSending) {
    FakeDaemon daemon;
    auto device = Device::Open(daemon.Path());
    EXPECT_THROW(device->ControlAsync(1, Bytes(frame::kMaxInputLength + 1), 0, [](Completion&&) {}),
                 FormatError);
    EXPECT_THROW(device->Control(1, {}, frame::kMaxOutputLength + 1), FormatError);
    EXPECT_TRUE(device->Connected());
}

}  // namespace
}  // namespace gnss::client
