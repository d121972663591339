#include "service/control_desk.h"

#include <chrono>
#include <utility>

#include "service/http_json.h"

struct ControlDesk::Flight {
    unsigned int data_id;
    ControlRequest request;
    Done done;
    rt::TimePoint start_deadline{}, reply_deadline{};
    ControlOutcome outcome;
};

namespace {

constexpr auto kCheckEvery = std::chrono::milliseconds(5);

rt::Duration Seconds(double s) {
    return std::chrono::duration_cast<rt::Duration>(std::chrono::duration<double>(s));
}

}  // namespace

ControlDesk::ControlDesk(std::shared_ptr<LoopCalls> calls, DeviceAccess* devices,
                         double start_timeout, double reply_timeout)
    : calls_(std::move(calls)),
      devices_(devices),
      start_timeout_(Seconds(start_timeout)),
      reply_timeout_(Seconds(reply_timeout)) {}

void ControlDesk::Submit(unsigned int data_id, const ControlRequest& request, Done done) {
    ControlOutcome refused;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!busy_.insert(data_id).second) {
            refused.kind = ControlOutcome::Kind::kBusy;
        }
    }
    if (refused.kind == ControlOutcome::Kind::kBusy) {
        done(refused);
        return;
    }
    auto f = std::make_shared<Flight>();
    f->data_id = data_id;
    f->request = request;
    f->done = std::move(done);
    const bool posted = calls_->Post([self = shared_from_this(), f] {
        rt::EventLoop* loop = self->calls_->loop();
        if (loop == nullptr) {
            self->Finish(f, ControlOutcome{});
            return;
        }
        f->start_deadline = loop->Now() + self->start_timeout_;
        self->StartWhenIdle(f);
    });
    if (!posted) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            busy_.erase(data_id);
        }
        f->done(ControlOutcome{});
    }
}

void ControlDesk::StartWhenIdle(std::shared_ptr<Flight> f) {
    rt::EventLoop* loop = calls_->loop();
    if (devices_->Busy(f->data_id)) {
        if (loop->Now() >= f->start_deadline) {
            ControlOutcome o;
            o.kind = ControlOutcome::Kind::kNotSent;
            Finish(f, o);
            return;
        }
        loop->After(kCheckEvery, [self = shared_from_this(), f] { self->StartWhenIdle(f); });
        return;
    }
    f->outcome.rc = devices_->Control(f->data_id, f->request.code, f->request.payload);
    f->outcome.sent_at = UnixNow();
    if (f->outcome.rc < 0) {
        // Nothing was sent; no reply will come.
        f->outcome.kind = ControlOutcome::Kind::kTurnedDown;
        Finish(f, f->outcome);
        return;
    }
    f->reply_deadline = loop->Now() + reply_timeout_;
    loop->After(kCheckEvery, [self = shared_from_this(), f] { self->Watch(f); });
}

void ControlDesk::Watch(std::shared_ptr<Flight> f) {
    rt::EventLoop* loop = calls_->loop();
    if (devices_->ControlStatus(f->data_id) == 1) {
        f->outcome.kind = ControlOutcome::Kind::kReplied;
        f->outcome.replied_at = UnixNow();
        Finish(f, f->outcome);
        return;
    }
    if (loop->Now() >= f->reply_deadline) {
        f->outcome.kind = ControlOutcome::Kind::kNoReply;
        Finish(f, f->outcome);
        return;
    }
    loop->After(kCheckEvery, [self = shared_from_this(), f] { self->Watch(f); });
}

void ControlDesk::Finish(std::shared_ptr<Flight> f, ControlOutcome outcome) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        busy_.erase(f->data_id);
    }
    f->done(outcome);
}
