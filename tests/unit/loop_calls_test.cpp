// The hand-off from client threads to the poll loop: work runs on the
// loop's thread, a caller that gave up is never run behind its back, and a
// closed hand-off lets every caller go.
#include "service/loop_calls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "runtime/wire/event_loop.h"

namespace {

using std::chrono::milliseconds;

TEST(LoopCalls, WorkRunsOnTheLoopThreadAndTheCallerSeesItsEffect) {
    rt::EventLoop loop;
    LoopCalls calls;
    calls.Attach(loop);
    std::atomic<bool> stop{false};
    std::thread::id loop_thread;
    std::thread runner([&] {
        loop_thread = std::this_thread::get_id();
        while (!stop) loop.RunOnce(milliseconds(20));
    });
    int value = 0;
    std::thread::id ran_on;
    // The loop sleeps 20 ms per pass without the wake pipe; a caller that
    // waits 10 s still finishes at once, but a lost wake-up would show as a
    // slow test, not a wrong one, so the thread check is what matters.
    ASSERT_TRUE(calls.Call(
        [&] {
            value = 42;
            ran_on = std::this_thread::get_id();
        },
        milliseconds(10000)));
    EXPECT_EQ(value, 42);
    stop = true;
    runner.join();
    EXPECT_EQ(ran_on, loop_thread);
    calls.Detach();
}

TEST(LoopCalls, AbandonedWorkNeverRuns) {
    LoopCalls calls;  // no loop attached: nothing takes the work
    bool ran = false;
    EXPECT_FALSE(calls.Call([&] { ran = true; }, milliseconds(1)));
    calls.RunPending();  // the loop comes round after the caller left
    EXPECT_FALSE(ran);
}

TEST(LoopCalls, WorkAlreadyStartedIsWaitedForPastTheTimeout) {
    LoopCalls calls;
    std::atomic<bool> finished{false};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread loop_side([&] {
        while (!finished) calls.RunPending();
    });
    // The job outlasts the caller's 1 ms: it refers to the caller's locals,
    // so the caller must wait for it and then report it done.
    const bool done = calls.Call(
        [&] {
            while (std::chrono::steady_clock::now() < t0 + milliseconds(20)) {
            }
            finished = true;
        },
        milliseconds(1));
    const bool finished_when_returned = finished;
    finished = true;
    loop_side.join();
    // Taken late (after the 1 ms) the job is dropped instead: either way the
    // caller's answer matches what happened.
    EXPECT_EQ(done, finished_when_returned);
}

TEST(LoopCalls, CloseReleasesWaitingCallersAndRefusesNewWork) {
    LoopCalls calls;
    bool ran = false;
    auto caller = std::async(std::launch::async,
                             [&] { return calls.Call([&] { ran = true; }, milliseconds(60000)); });
    // Close until the caller is let go (it may not have queued yet).
    while (caller.wait_for(milliseconds(1)) != std::future_status::ready) calls.Close();
    EXPECT_FALSE(caller.get());
    EXPECT_TRUE(calls.Closed());
    EXPECT_FALSE(calls.Call([&] { ran = true; }, milliseconds(60000)));
    calls.RunPending();
    EXPECT_FALSE(ran);
}

}  // namespace
