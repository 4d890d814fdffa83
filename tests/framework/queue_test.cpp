// Queues and requests: sequential presentation, the manual queue's
// find/retrieve/requeue walk, cancellation, purge and stop, completion rules
// and buffered I/O.
#include <atomic>
#include <random>
#include <thread>

#include "fixture.h"

namespace fwtest {
namespace {

using Queues = FrameworkTest;

ULONG CodeOf(WDFREQUEST request) {
    WDF_REQUEST_PARAMETERS p;
    WDF_REQUEST_PARAMETERS_INIT(&p);
    WdfRequestGetParameters(request, &p);
    return p.Parameters.DeviceIoControl.IoControlCode;
}

TEST_F(Queues, SequentialQueuePresentsOneRequestAtATime) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    const FileId f = Open();
    const RequestId a = Submit(f, kHold | 1);
    const WDFREQUEST first = D().TakeHeld();
    ASSERT_NE(first, nullptr);
    const RequestId b = Submit(f, kHold | 2);
    const RequestId c = Submit(f, kEcho, "c", 1);

    // The first is in progress, so the others still wait in the queue: the
    // sender can cancel them there.
    EXPECT_TRUE(host.CancelRequest(c));
    Completion done_c;
    ASSERT_TRUE(done.Wait(c, &done_c));
    EXPECT_EQ(done_c.status, STATUS_CANCELLED);

    // A request the driver owns is not affected by a cancel.
    EXPECT_FALSE(host.CancelRequest(a));
    D().Log("Completing first");
    WdfRequestCompleteWithInformation(first, STATUS_SUCCESS, 0);
    const WDFREQUEST second = D().TakeHeld();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(CodeOf(second), kHold | 2);
    // The second was presented only after the first was completed.
    EXPECT_EQ(D().Log(), (V{"Presented(0x3001)", "Completing first", "Presented(0x3002)"}));
    EXPECT_FALSE(host.CancelRequest(b));
    WdfRequestComplete(second, STATUS_SUCCESS);

    Completion x;
    ASSERT_TRUE(done.Wait(a, &x));
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    ASSERT_TRUE(done.Wait(b, &x));
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(D().Presented(), 2u);
    EXPECT_EQ(done.Count(a) + done.Count(b) + done.Count(c), 3u);
    EXPECT_FALSE(host.CancelRequest(a));  // completed: unknown now
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Queues, ManualQueueFindRetrieveRequeue) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    const FileId f = Open();
    const RequestId r1 = Submit(f, kPark | 1);
    const RequestId r2 = Submit(f, kPark | 2);
    const RequestId r3 = Submit(f, kPark | 3);
    WaitParked(3);
    const WDFQUEUE manual = D().manualQueue;

    // A walk from the head; each tag carries a reference.
    auto walk = [&] {
        std::vector<ULONG> codes;
        WDFREQUEST previous = nullptr, tag = nullptr;
        WDF_REQUEST_PARAMETERS p;
        for (;;) {
            WDF_REQUEST_PARAMETERS_INIT(&p);
            NTSTATUS s = WdfIoQueueFindRequest(manual, previous, nullptr, &p, &tag);
            if (previous != nullptr) WdfObjectDereference(previous);
            if (s == STATUS_NO_MORE_ENTRIES) break;
            EXPECT_EQ(s, STATUS_SUCCESS);
            if (!NT_SUCCESS(s)) break;
            EXPECT_EQ(p.Type, WdfRequestTypeDeviceControl);
            codes.push_back(p.Parameters.DeviceIoControl.IoControlCode);
            previous = tag;
        }
        return codes;
    };
    EXPECT_EQ(walk(), (std::vector<ULONG>{kPark | 1, kPark | 2, kPark | 3}));

    // Take the second out; it is then no longer found; requeued, it is at the head.
    WDFREQUEST t1 = nullptr, t2 = nullptr, out = nullptr;
    ASSERT_EQ(WdfIoQueueFindRequest(manual, nullptr, nullptr, nullptr, &t1), STATUS_SUCCESS);
    ASSERT_EQ(WdfIoQueueFindRequest(manual, t1, nullptr, nullptr, &t2), STATUS_SUCCESS);
    ASSERT_EQ(WdfIoQueueRetrieveFoundRequest(manual, t2, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, t2);
    EXPECT_EQ(WdfIoQueueRetrieveFoundRequest(manual, t2, &out), STATUS_NOT_FOUND);
    WDFREQUEST t3 = nullptr;
    EXPECT_EQ(WdfIoQueueFindRequest(manual, t2, nullptr, nullptr, &t3), STATUS_NOT_FOUND);  // the tag has left
    EXPECT_EQ(WdfRequestRequeue(t2), STATUS_SUCCESS);
    WdfObjectDereference(t1);
    WdfObjectDereference(t2);
    EXPECT_EQ(walk(), (std::vector<ULONG>{kPark | 2, kPark | 1, kPark | 3}));

    // The sender cancels a request whose tag the driver holds: the tag stays
    // valid, but the request is no longer in the queue.
    WDFREQUEST head = nullptr;
    ASSERT_EQ(WdfIoQueueFindRequest(manual, nullptr, nullptr, nullptr, &head), STATUS_SUCCESS);
    EXPECT_TRUE(host.CancelRequest(r2));
    Completion c;
    ASSERT_TRUE(done.Wait(r2, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(WdfIoQueueFindRequest(manual, head, nullptr, nullptr, &t3), STATUS_NOT_FOUND);
    EXPECT_EQ(WdfIoQueueRetrieveFoundRequest(manual, head, &out), STATUS_NOT_FOUND);
    EXPECT_EQ(host.Violations().size(), 0u);
    WdfObjectDereference(head);

    // Retrieve next takes from the head.
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &out), STATUS_SUCCESS);
    EXPECT_EQ(CodeOf(out), kPark | 1);
    WdfRequestCompleteWithInformation(out, STATUS_SUCCESS, 0);
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &out), STATUS_SUCCESS);
    EXPECT_EQ(CodeOf(out), kPark | 3);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(manual, &t3), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(WdfRequestRequeue(out), STATUS_SUCCESS);
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &out), STATUS_SUCCESS);
    WdfRequestComplete(out, STATUS_SUCCESS);
    ASSERT_TRUE(done.Wait(r1, &c));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    ASSERT_TRUE(done.Wait(r3, &c));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(manual, &out), STATUS_NO_MORE_ENTRIES);
    EXPECT_TRUE(host.Violations().empty());

    // A tag whose request is gone and whose reference was released is dead.
    EXPECT_EQ(WdfIoQueueFindRequest(manual, head, nullptr, nullptr, &t3), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(Contains(host.Violations(), "was already completed"));
}

TEST_F(Queues, FindByFileAndCloseCancelsOnlyThatFilesRequests) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    const FileId a = Open();
    const FileId b = Open();
    const RequestId a1 = Submit(a, kPark | 1);
    const RequestId b1 = Submit(b, kPark | 2);
    const RequestId a2 = Submit(a, kPark | 3);
    WaitParked(3);
    const WDFQUEUE manual = D().manualQueue;

    WDFREQUEST tag = nullptr, next = nullptr;
    ASSERT_EQ(WdfIoQueueFindRequest(manual, nullptr, nullptr, nullptr, &tag), STATUS_SUCCESS);
    ASSERT_EQ(WdfIoQueueFindRequest(manual, tag, nullptr, nullptr, &next), STATUS_SUCCESS);
    const WDFFILEOBJECT fileB = WdfRequestGetFileObject(next);
    ASSERT_NE(fileB, nullptr);
    EXPECT_NE(WdfRequestGetFileObject(tag), fileB);
    EXPECT_EQ(FileGetContext(fileB)->Opens, 1);
    WdfObjectDereference(tag);
    WdfObjectDereference(next);
    ASSERT_EQ(WdfIoQueueFindRequest(manual, nullptr, fileB, nullptr, &tag), STATUS_SUCCESS);
    EXPECT_EQ(CodeOf(tag), kPark | 2);
    EXPECT_EQ(WdfIoQueueFindRequest(manual, tag, fileB, nullptr, &next), STATUS_NO_MORE_ENTRIES);
    WdfObjectDereference(tag);

    host.CloseFile(a);
    Completion c;
    ASSERT_TRUE(done.Wait(a1, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    ASSERT_TRUE(done.Wait(a2, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(done.Count(b1), 0u);
    // The close callback ran after the file's requests were gone.
    EXPECT_EQ(D().closeSawOwnRequests, std::vector<bool>{false});
    EXPECT_TRUE(Contains(host.CallbackHistory(), "FileClose"));
    RequestId id = 0;
    EXPECT_EQ(host.SubmitDeviceControl(a, kEcho, "x", 1, 1, done.Handler(), &id), STATUS_INVALID_HANDLE);
    EXPECT_EQ(id, 0u);

    // The other file's request is still parked.
    ASSERT_EQ(WdfIoQueueFindRequest(manual, nullptr, nullptr, nullptr, &tag), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetFileObject(tag), fileB);
    WdfObjectDereference(tag);
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Queues, PurgeAndStop) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    const FileId f = Open();
    const WDFQUEUE manual = D().manualQueue;
    const WDFQUEUE queue = D().defaultQueue;

    // Purge cancels what waits and whatever arrives until the next start.
    const RequestId p1 = Submit(f, kPark);
    const RequestId p2 = Submit(f, kPark);
    WaitParked(2);
    WdfIoQueuePurgeSynchronously(manual);
    Completion c;
    ASSERT_TRUE(done.Wait(p1, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    ASSERT_TRUE(done.Wait(p2, &c));
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(Call(f, kPark).status, STATUS_INVALID_DEVICE_STATE);  // the driver's forward failed
    WdfIoQueueStart(manual);
    const RequestId p3 = Submit(f, kPark);
    WaitParked(3);
    EXPECT_EQ(done.Count(p3), 0u);

    // A stopped queue accepts but does not present.
    WdfIoQueueStopSynchronously(queue);
    const RequestId waiting = Submit(f, kEcho, "ab", 2);
    EXPECT_TRUE(host.CancelRequest(waiting));
    const RequestId later = Submit(f, kEcho, "ab", 2);
    WdfIoQueueStart(queue);
    ASSERT_TRUE(done.Wait(later, &c));
    EXPECT_EQ(Text(c), "ba");

    // Stopping waits for the request the driver works on.
    const RequestId held = Submit(f, kHold);
    const WDFREQUEST request = D().TakeHeld();
    std::thread stopper([&] {
        WdfIoQueueStopSynchronously(queue);
        D().Log("Stopped");
    });
    D().Log("Completing");
    WdfRequestComplete(request, STATUS_SUCCESS);
    stopper.join();
    EXPECT_EQ(D().Log().back(), "Stopped");
    ASSERT_TRUE(done.Wait(held, &c));
    const RequestId blocked = Submit(f, kEcho, "z", 1);
    EXPECT_TRUE(host.CancelRequest(blocked));  // not presented by the stopped queue
    WdfIoQueueStart(queue);

    // A purge of the default queue refuses new requests at once.
    WdfIoQueuePurgeSynchronously(queue);
    EXPECT_EQ(Call(f, kEcho, "q", 1).status, STATUS_CANCELLED);
    EXPECT_TRUE(host.Violations().empty());
}

TEST_F(Queues, CompletionRules) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    const FileId f = Open();

    // A second completion is refused and recorded; the sender hears once.
    const RequestId twice = Submit(f, kTwice);
    Completion c = Call(f, kEcho, "a", 1);  // presented after kTwice's callback returned
    ASSERT_TRUE(done.Wait(twice, &c));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(done.Count(twice), 1u);
    auto violations = host.Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("already completed"), std::string::npos);

    // A request that waits in a queue cannot be completed by the driver.
    const RequestId parked = Submit(f, kPark);
    WaitParked(1);
    WDFREQUEST tag = nullptr;
    ASSERT_EQ(WdfIoQueueFindRequest(D().manualQueue, nullptr, nullptr, nullptr, &tag), STATUS_SUCCESS);
    WdfRequestComplete(tag, STATUS_SUCCESS);
    EXPECT_EQ(done.Count(parked), 0u);
    ASSERT_EQ(host.Violations().size(), 2u);
    EXPECT_NE(host.Violations()[1].find("still waiting in a queue"), std::string::npos);

    // Nor with STATUS_PENDING, nor forwarded to the queue it came from.
    WDFREQUEST out = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveFoundRequest(D().manualQueue, tag, &out), STATUS_SUCCESS);
    WdfRequestComplete(out, STATUS_PENDING);
    EXPECT_EQ(done.Count(parked), 0u);
    EXPECT_EQ(host.Violations().size(), 3u);
    EXPECT_EQ(WdfRequestForwardToIoQueue(out, D().manualQueue), STATUS_INVALID_DEVICE_REQUEST);
    WdfRequestCompleteWithInformation(out, STATUS_UNSUCCESSFUL, 0);
    ASSERT_TRUE(done.Wait(parked, &c));
    EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
    WdfObjectDereference(tag);
    EXPECT_EQ(host.Violations().size(), 3u);
}

TEST_F(Queues, BufferedIoKeepsInputAndOutputApart) {
    ASSERT_EQ(Start(NoIdle()), STATUS_SUCCESS);
    const FileId f = Open();

    // The output is a zero-filled buffer of its own; information bounds the answer.
    Completion c = Call(f, kEcho, "abcdef", 4);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.information, 4u);
    EXPECT_EQ(Text(c), "fedc");
    c = Call(f, kEcho | 10, "abcdef", 4);  // information beyond the output length
    EXPECT_EQ(c.information, 10u);
    EXPECT_EQ(Text(c), "fedc");
    c = Call(f, kEcho | 2, "abcdef", 6);
    EXPECT_EQ(Text(c), "fe");
    c = Call(f, kEcho, "xy", 6);  // an output longer than the input
    EXPECT_EQ(Text(c), "yxyxyx");
    EXPECT_TRUE(D().echoSeparateZeroedOutput);

    // Empty or short buffers.
    EXPECT_EQ(Call(f, kEcho, "abc", 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Call(f, kEcho, "", 4).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Call(f, kMinimum | 4, "abcd").status, STATUS_SUCCESS);
    EXPECT_EQ(Call(f, kMinimum | 5, "abcd").status, STATUS_BUFFER_TOO_SMALL);
    c = Call(f, 0x7777, "abcd", 8);
    EXPECT_EQ(c.status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(c.output.empty());
    EXPECT_TRUE(host.Violations().empty());
}

// Several senders submit, cancel and close while the driver's own thread
// completes held and parked requests, and the device idles in between.
TEST_F(Queues, ConcurrentSubmissionsCancellationsAndCompletions) {
    Options o;
    o.idleTimeoutMs = 100;
    ASSERT_EQ(Start(o), STATUS_SUCCESS);
    const WDFQUEUE manual = D().manualQueue;
    const WDFDEVICE device = D().device;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> submitted{0};
    std::thread engine([&] {
        // The driver's engine: completes held requests and takes parked ones
        // out of the manual queue, by code or from the head.
        std::size_t handledParks = 0;
        for (;;) {
            WDFREQUEST held = nullptr;
            {
                std::unique_lock lock(D().mu);
                D().cv.wait(lock, [&] {
                    return stop || !D().held.empty() ||
                           static_cast<std::size_t>(std::count(D().log.begin(), D().log.end(), "Parked")) > handledParks;
                });
                if (stop) break;
                if (!D().held.empty()) {
                    held = D().held.front();
                    D().held.pop_front();
                } else {
                    handledParks++;
                }
            }
            if (held != nullptr) {
                WdfRequestCompleteWithInformation(held, STATUS_SUCCESS, 0);
                continue;
            }
            // Each park is answered by one take-out attempt; a found request
            // the sender cancelled meanwhile is replaced by the head.
            WDFREQUEST tag = nullptr, out = nullptr;
            bool taken = false;
            if (handledParks % 2 == 0 && NT_SUCCESS(WdfIoQueueFindRequest(manual, nullptr, nullptr, nullptr, &tag))) {
                if (NT_SUCCESS(WdfIoQueueRetrieveFoundRequest(manual, tag, &out))) {
                    WdfRequestComplete(out, STATUS_SUCCESS);
                    taken = true;
                }
                WdfObjectDereference(tag);
            }
            if (taken) continue;
            if (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(manual, &out))) {
                if (handledParks % 3 == 0 && NT_SUCCESS(WdfRequestRequeue(out))) {
                    if (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(manual, &out))) WdfRequestComplete(out, STATUS_SUCCESS);
                } else {
                    WdfRequestComplete(out, STATUS_SUCCESS);
                }
            }
        }
    });
    std::thread power([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            if (NT_SUCCESS(WdfDeviceStopIdle(device, TRUE))) WdfDeviceResumeIdle(device);
            if (WdfDeviceStopIdle(device, FALSE) != STATUS_DELETE_PENDING) WdfDeviceResumeIdle(device);
        }
    });

    std::vector<std::thread> senders;
    std::vector<std::vector<RequestId>> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            FileId f = 0;
            ASSERT_EQ(host.OpenFile(&f), STATUS_SUCCESS);
            for (int i = 0; i < kPerThread; ++i) {
                static const ULONG codes[] = {kEcho, kPark, kHold, kPark};
                const ULONG code = codes[random() % 4];
                RequestId id = 0;
                ASSERT_EQ(host.SubmitDeviceControl(f, code, "data", 4, 4, done.Handler(), &id), STATUS_SUCCESS);
                submitted++;
                ids[t].push_back(id);
                if (random() % 3 == 0) host.CancelRequest(id);
                if (i % 50 == 49) {  // reopen: the old file's waiting requests are cancelled
                    host.CloseFile(f);
                    ASSERT_EQ(host.OpenFile(&f), STATUS_SUCCESS);
                }
            }
            host.CloseFile(f);
        });
    }
    for (auto& s : senders) s.join();
    ASSERT_TRUE(done.WaitCount(submitted.load(), 60000)) << done.Total() << " of " << submitted.load();
    {
        std::lock_guard lock(D().mu);
        stop = true;
        D().cv.notify_all();
    }
    engine.join();
    power.join();
    for (const auto& list : ids)
        for (RequestId id : list) EXPECT_EQ(done.Count(id), 1u) << id;
    EXPECT_EQ(done.Total(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
}

}  // namespace
}  // namespace fwtest
