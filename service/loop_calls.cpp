#include "service/loop_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <stdexcept>
#include <utility>

struct LoopCalls::Job {
    std::function<void()> fn;
    // Guarded by the LoopCalls mutex: a job the caller gave up on is never
    // started, and one started is waited for to the end.
    enum class State { kWaiting, kRunning, kDone, kAbandoned } state = State::kWaiting;
    std::condition_variable cv;
};

LoopCalls::LoopCalls() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create the loop's wake pipe");
    wake_read_ = fds[0];
    wake_write_ = fds[1];
}

LoopCalls::~LoopCalls() {
    Close();
    Detach();
    ::close(wake_read_);
    ::close(wake_write_);
}

void LoopCalls::Attach(rt::EventLoop& loop) {
    loop_ = &loop;
    loop.Watch(wake_read_, [this](short) {
        char buf[256];
        while (::read(wake_read_, buf, sizeof buf) > 0) {
        }
        RunPending();
    });
}

void LoopCalls::Detach() {
    if (loop_ != nullptr) loop_->Unwatch(wake_read_);
    loop_ = nullptr;
}

void LoopCalls::Wake() {
    const char c = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping this.
    (void)!::write(wake_write_, &c, 1);
}

void LoopCalls::RunPending() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::lock_guard<std::mutex> lock(mu_);
            while (!jobs_.empty() && jobs_.front()->state == Job::State::kAbandoned)
                jobs_.pop_front();
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            job->state = Job::State::kRunning;
        }
        try {
            job->fn();
        } catch (...) {
            // The caller's work reports its own failures; an exception here
            // must not unwind through the poll loop.
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            job->state = Job::State::kDone;
        }
        job->cv.notify_all();
    }
}

void LoopCalls::Close() {
    std::deque<std::shared_ptr<Job>> dropped;
    {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = true;
        dropped.swap(jobs_);
        for (auto& j : dropped) j->state = Job::State::kAbandoned;
    }
    for (auto& j : dropped) j->cv.notify_all();
}

bool LoopCalls::Closed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
}

bool LoopCalls::Post(std::function<void()> fn) {
    auto job = std::make_shared<Job>();
    job->fn = std::move(fn);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closed_) return false;
        jobs_.push_back(std::move(job));
    }
    Wake();
    return true;
}

bool LoopCalls::Call(std::function<void()> fn, std::chrono::milliseconds timeout) {
    auto job = std::make_shared<Job>();
    job->fn = std::move(fn);
    std::unique_lock<std::mutex> lock(mu_);
    if (closed_) return false;
    jobs_.push_back(job);
    lock.unlock();
    Wake();
    lock.lock();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (job->state == Job::State::kWaiting || job->state == Job::State::kRunning) {
        if (job->state == Job::State::kWaiting &&
            job->cv.wait_until(lock, deadline) == std::cv_status::timeout &&
            job->state == Job::State::kWaiting) {
            job->state = Job::State::kAbandoned;
            return false;
        }
        // Started: it refers to the caller's locals, so it is waited for
        // however long it takes (a device call is short).
        if (job->state == Job::State::kRunning) job->cv.wait(lock);
    }
    return job->state == Job::State::kDone;
}
