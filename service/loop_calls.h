// Work an outside client needs done on the poll loop (a device's value
// query, a control request). The client's thread posts it and waits; the
// loop runs it between two callbacks, so a device is still called one
// operation at a time and never from inside its own round. A pipe wakes the
// loop at once instead of at its next timer.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "runtime/wire/event_loop.h"

class LoopCalls {
  public:
    LoopCalls();
    ~LoopCalls();
    LoopCalls(const LoopCalls&) = delete;
    LoopCalls& operator=(const LoopCalls&) = delete;

    // Loop side: watch the wake pipe of `loop` and run posted work when it
    // stirs. Detach (or Close) before the loop goes.
    void Attach(rt::EventLoop& loop);
    void Detach();
    // The attached loop, for work that sets timers of its own; only on the
    // loop's thread.
    rt::EventLoop* loop() const { return loop_; }
    // Runs what has been posted; the loop calls this itself once attached.
    void RunPending();
    // No more work is taken; callers still waiting are released with false.
    void Close();
    bool Closed() const;

    // Any thread but the loop's: runs `fn` on the loop and waits at most
    // `timeout` for it to finish. False when the loop did not run it in
    // time or is closed; then `fn` will never run, so it may safely refer
    // to the caller's locals.
    bool Call(std::function<void()> fn, std::chrono::milliseconds timeout);

    // Any thread: runs `fn` on the loop, without waiting for it. False
    // when closed; then `fn` will never run.
    bool Post(std::function<void()> fn);

  private:
    struct Job;
    void Wake();

    int wake_read_ = -1, wake_write_ = -1;
    rt::EventLoop* loop_ = nullptr;
    mutable std::mutex mu_;
    std::deque<std::shared_ptr<Job>> jobs_;
    bool closed_ = false;
};
