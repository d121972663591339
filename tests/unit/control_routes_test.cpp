// The control route's dealings with the loop, in-process: a device in the
// middle of a round is left to finish it, one that never frees up gets
// nothing, a missing reply is reported as such, a device that turns the
// request down is not waited for, and a second request to a device whose
// first is still awaited is refused. The loop runs on manual time, moved
// by the test, so the timeouts pass without waiting for them.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "runtime/wire/event_loop.h"
#include "service/service_context.h"

namespace {

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::istringstream in(text);
    Json::parseFromStream(b, in, &v, &errs);
    return v;
}

// Touched on the loop's thread only, read by the test once the loop stops.
class FakeDevices : public DeviceAccess {
  public:
    bool Has(unsigned id) const override { return id == 7; }
    Answer Query(unsigned, const std::string&) override { return {}; }
    bool Busy(unsigned) const override {
        ++busy_checks;
        return busy_checks <= busy_for;
    }
    int Control(unsigned, int code, const std::vector<uint8_t>&) override {
        ++controls;
        busy_when_sent = busy_checks <= busy_for;
        last_code = code;
        return rc;
    }
    int ControlStatus(unsigned) override {
        ++status_calls;
        return status_calls > answer_after ? 1 : -1;
    }

    mutable std::atomic<int> busy_checks{0};
    int busy_for = 0;  // Busy() answers true this many times
    int rc = 0;
    int answer_after = 1 << 30;  // ControlStatus() gives 1 after this many calls
    std::atomic<int> controls{0};
    std::atomic<int> status_calls{0};
    std::atomic<bool> busy_when_sent{false};
    std::atomic<int> last_code{0};
};

const char* const kBody = R"({"code": 320, "payload": "419500201003"})";

class ControlRoutes : public ::testing::Test {
  protected:
    void Start(double reply_timeout) {
        auto state = std::make_shared<SiteState>();
        DeviceState d;
        d.data_id = 7;
        d.name = "seven";
        state->devices.push_back(d);
        holder->Publish(state);
        ServiceContext ctx;
        ctx.holder = holder;
        ctx.calls = calls;
        ctx.devices = &devices;
        ctx.control.enabled = true;
        ctx.control.token = "tok";
        ctx.control.reply_timeout = reply_timeout;
        ctx.desk = std::make_shared<ControlDesk>(calls, &devices, 1, reply_timeout);
        AddControlRoutes(server, ctx);
        port = server.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port, 0);
        listener = std::thread([this] { server.listen_after_bind(); });
        calls->Attach(loop);
        // The loop turns on manual time, 10 ms a pass.
        loop_thread = std::thread([this] {
            while (!stop) {
                loop.RunOnce(std::chrono::milliseconds(1));
                if (moving) time.Advance(std::chrono::milliseconds(10));
            }
        });
    }
    void TearDown() override {
        calls->Close();
        server.stop();
        if (listener.joinable()) listener.join();
        stop = true;
        if (loop_thread.joinable()) loop_thread.join();
        calls->Detach();
    }
    httplib::Result Post(const std::string& body = kBody) {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(30, 0);
        return c.Post("/api/v1/devices/7/control", {{"Authorization", "Bearer tok"}}, body,
                      "application/json");
    }

    rt::ManualTime time;
    rt::EventLoop loop{&time};
    std::shared_ptr<LoopCalls> calls = std::make_shared<LoopCalls>();
    std::shared_ptr<SiteStateHolder> holder = std::make_shared<SiteStateHolder>();
    FakeDevices devices;
    httplib::Server server;
    int port = 0;
    std::thread listener, loop_thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> moving{true};  // loop time moves 10 ms a pass
};

TEST_F(ControlRoutes, ADeviceInARoundGetsTheRequestOnceTheRoundIsOver) {
    devices.busy_for = 20;
    devices.answer_after = 3;
    Start(30);
    auto res = Post();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(Parse(res->body)["status"].asInt(), 1);
    EXPECT_EQ(devices.controls, 1);
    EXPECT_FALSE(devices.busy_when_sent);
    EXPECT_GT(devices.busy_checks, 20);
    EXPECT_EQ(devices.last_code, 320);
}

TEST_F(ControlRoutes, ADeviceThatNeverFreesUpGetsNothing) {
    devices.busy_for = 1 << 30;
    Start(30);
    auto res = Post();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503) << res->body;
    EXPECT_NE(Parse(res->body)["error"].asString().find("nothing sent"), std::string::npos);
    EXPECT_EQ(devices.controls, 0);
}

TEST_F(ControlRoutes, NoReplyInTimeIsA504WithTheSendTime) {
    Start(2);
    auto res = Post();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 504) << res->body;
    const Json::Value v = Parse(res->body);
    EXPECT_EQ(v["status"].asInt(), -1);
    EXPECT_GT(v["sent_at"].asDouble(), 0);
    EXPECT_TRUE(v["replied_at"].isNull());
    EXPECT_EQ(devices.controls, 1);
}

TEST_F(ControlRoutes, ARequestTheDeviceTurnsDownIsNotWaitedFor) {
    devices.rc = -1;
    Start(30);
    auto res = Post();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 422) << res->body;
    EXPECT_EQ(devices.status_calls, 0);
}

TEST_F(ControlRoutes, ASecondRequestWhileTheFirstIsAwaitedIsRefused) {
    moving = false;  // the first request's reply timeout never passes
    Start(30);
    auto first = std::async(std::launch::async, [this] { return Post(); });
    // The first is in flight once the device has it.
    while (devices.controls == 0) std::this_thread::yield();
    auto second = Post(R"({"code": 310, "payload": {"signal_id": "4196A3101001", "SetValue": 1}})");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 409) << second->body;
    // Now let the first one's reply come.
    devices.answer_after = 0;
    moving = true;
    auto r = first.get();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(devices.controls, 1);
    EXPECT_EQ(devices.last_code, 320);
    // Answered: the device takes requests again.
    auto third = Post();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->status, 200) << third->body;
}

}  // namespace
