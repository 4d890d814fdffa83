#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gnss/platform/sync.h"
#include "gnss/platform/timescale.h"

using namespace gnss::os;
using R = Event::Mode;

TEST(Events, ManualStaysSignalledAutoIsConsumedByOneWait) {
    Event manual(R::ManualReset, false), automatic(R::AutoReset, false);
    manual.Set();
    automatic.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
    EXPECT_TRUE(Event(R::ManualReset, true).IsSignalled());
}

TEST(Events, FirstSignalledInTheCallersOrderWinsAndOnlyItIsConsumed) {
    Event a(R::AutoReset, false), b(R::AutoReset, false), c(R::ManualReset, false);
    b.Set();
    c.Set();
    EXPECT_EQ(WaitForAny({&a, &b, &c}, 0), 1u);
    EXPECT_FALSE(b.IsSignalled());  // the winner was consumed
    EXPECT_EQ(WaitForAny({&a, &b, &c}, 0), 2u);

    // An auto-reset event listed after the winner keeps its signal.
    a.Set();
    b.Set();
    EXPECT_EQ(WaitForAny({&c, &a, &b}, 0), 0u);
    EXPECT_TRUE(a.IsSignalled());
    EXPECT_TRUE(b.IsSignalled());
    EXPECT_EQ(WaitForAny({&b, &a}, 0), 0u);
    EXPECT_EQ(WaitForAny({&b, &a}, 0), 1u);
}

TEST(Events, TimeOutsAndBadArguments) {
    Event a(R::ManualReset, false);
    EXPECT_EQ(WaitForAny({&a}, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForAny({&a}, 20), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForAny({&a, nullptr}, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForAny(std::span<Event* const>(), 0), WAIT_FAILED);
    std::vector<Event*> tooMany(MAXIMUM_WAIT_OBJECTS + 1, &a);
    EXPECT_EQ(WaitForAny(tooMany, 0), WAIT_FAILED);
}

TEST(Events, SignalFromAnotherThreadEndsAnInfiniteWait) {
    Event first(R::AutoReset, false), second(R::AutoReset, false);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        second.Set();
    });
    EXPECT_EQ(WaitForAny({&first, &second}, INFINITE), 1u);
    setter.join();
    EXPECT_FALSE(second.IsSignalled());
}

TEST(Events, NoSignalIsLostBetweenRacingThreads) {
    // A ping-pong of auto-reset events: each side waits for its event and sets
    // the other's.  A lost wake-up hangs the exchange (caught by the time-out).
    Event ping(R::AutoReset, false), pong(R::AutoReset, false), stop(R::ManualReset, false);
    constexpr int kRounds = 2000;
    std::atomic<int> answered{0};
    std::thread responder([&] {
        for (;;) {
            const DWORD r = WaitForAny({&stop, &ping}, 10'000);
            if (r != 1) return;
            answered.fetch_add(1);
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ping.Set();
        ASSERT_TRUE(pong.Wait(10'000)) << "round " << i;
    }
    stop.Set();
    responder.join();
    EXPECT_EQ(answered.load(), kRounds);
}

TEST(Events, OneSetOfAnAutoResetEventReleasesExactlyOneWaiter) {
    Event e(R::AutoReset, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (e.Wait(300)) released.fetch_add(1);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    e.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(e.IsSignalled());
}

TEST(CriticalSection, IsRecursiveForItsOwnerAndExclusiveForOthers) {
    CriticalSection cs;
    cs.Enter();
    cs.Enter();
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
    EXPECT_FALSE(otherGotIt);
    cs.Leave();
    std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
    EXPECT_FALSE(otherGotIt);  // still held once
    cs.Leave();
    std::thread([&] {
        otherGotIt = cs.TryEnter();
        if (otherGotIt) cs.Leave();
    }).join();
    EXPECT_TRUE(otherGotIt);
}

TEST(Thread, JoinIsBoundedAndALateThreadFinishesSafely) {
    auto release = Event::Create(R::ManualReset);
    auto finished = Event::Create(R::ManualReset);
    {
        Thread t;
        ASSERT_TRUE(t.Start([release, finished] {
            release->Wait(INFINITE);
            finished->Set();
        }, "test-worker"));
        EXPECT_NE(t.Id(), 0u);
        EXPECT_NE(t.Id(), CurrentThreadId());
        EXPECT_FALSE(t.Join(30));  // still blocked
        EXPECT_FALSE(t.Started());
    }  // the handle is gone; the thread runs on
    release->Set();
    EXPECT_TRUE(finished->Wait(10'000));

    Thread quick;
    std::atomic<bool> ran{false};
    ASSERT_TRUE(quick.Start([&] { ran = true; }));
    EXPECT_FALSE(quick.Start([] {}));  // one at a time
    EXPECT_TRUE(quick.Join(10'000));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(quick.Join(0));  // nothing left to join
}

TEST(TimeScale, ShortensEveryFixedDurationButNotInfinity) {
    SetTimeScale(0.05);
    EXPECT_EQ(ScaleDuration(1000), 50u);
    EXPECT_EQ(ScaleDuration(3000), 150u);
    EXPECT_EQ(ScaleDuration(1), 1u);
    EXPECT_EQ(ScaleDuration(0), 0u);
    EXPECT_EQ(ScaleDuration(INFINITE), INFINITE);

    // A ten-minute wait ends as a scaled time-out (the test's own time-out
    // would catch an unscaled one).
    SetTimeScale(0.0001);
    Event never(R::ManualReset, false);
    EXPECT_EQ(WaitForAny({&never}, 600'000), WAIT_TIMEOUT);
    Sleep(600'000);

    SetTimeScale(7.0);  // out of range: back to real time
    EXPECT_EQ(ScaleDuration(1000), 1000u);
}
