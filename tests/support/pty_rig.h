// A scripted device, a scripted far end on the master side of a
// pseudo-terminal and the host's port controller between them, on manual
// time: the rig of the line's unit tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/qvr_device.h"
#include "runtime/framework/recording_controller.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/frame_codec.h"
#include "runtime/wire/port_controller.h"
#include "runtime/wire/transport.h"
#include "tests/support/virtual_time.h"

namespace pty_rig {

using namespace std::chrono_literals;
using rt::Duration;

// Runs a fixed chain of commands, one per reply, like the driver's round.
struct ScriptDevice : PMBusProtocol {
    std::vector<std::pair<uint8_t, uint8_t>> chain = {{0x40, 0x41}, {0x41, 0x41}, {0x42, 0x41}};
    size_t step = 0;
    std::vector<std::vector<uint8_t>> frames;
    int errors = 0;
    int resets = 0;
    int rounds_done = 0;

    bool RefreshStatus() override {
        if (!PMBusProtocol::RefreshStatus()) return false;
        step = 0;
        return write_pmbus_cmd(chain[0].first, chain[0].second);
    }
    int process_payload() override {
        frames.push_back(reply_frame_);
        if (++step < chain.size()) {
            write_pmbus_cmd(chain[step].first, chain[step].second);
            return 1;
        }
        ++rounds_done;
        SendSP(1, reply_frame_.data(), reply_frame_.size(), false);
        return 0;
    }
    int process_error() override { return ++errors; }
    bool Reset() override { return ++resets > 0; }
};

// The far end of the line: answers each command it reads with whatever
// `answer` returns (nothing for silence).
struct FarEnd {
    explicit FarEnd(rt::EventLoop& loop) : loop(loop) {}
    ~FarEnd() { Detach(); }

    void Attach(rt::Transport& t) {
        line = &t;
        loop.Watch(t.fd(), [this](short) { OnRead(); });
    }
    void Detach() {
        if (line != nullptr && line->fd() >= 0) loop.Unwatch(line->fd());
        line = nullptr;
    }
    void Send(const std::string& s) {
        ASSERT_EQ(line->Write(reinterpret_cast<const uint8_t*>(s.data()), s.size()),
                  static_cast<ssize_t>(s.size()));
    }
    void OnRead() {
        uint8_t buf[4096];
        ssize_t n;
        while ((n = line->Read(buf, sizeof buf)) > 0) {
            std::vector<wire::FrameAssembler::Piece> pieces;
            frames.Feed(buf, static_cast<size_t>(n), &pieces);
            for (auto& p : pieces) {
                wire::Frame f;
                ASSERT_EQ(wire::ParseFrameBody(p.body, &f), wire::FrameError::kNone);
                commands.push_back(f);
                const std::string a = answer ? answer(f) : Reply(f, {0x00, 0x11});
                if (!a.empty()) Send(a);
            }
        }
    }
    static std::string Reply(const wire::Frame& cmd, const std::vector<uint8_t>& info,
                             uint8_t rtn = 0) {
        std::string out;
        wire::EncodeFrameText(wire::Version(cmd.ver), wire::Address(cmd.adr), cmd.cid1, rtn,
                              wire::HexText(info.data(), info.size()), &out);
        return out;
    }

    rt::EventLoop& loop;
    rt::Transport* line = nullptr;
    wire::FrameAssembler frames;
    std::vector<wire::Frame> commands;
    std::function<std::string(const wire::Frame&)> answer;
};

// Host side over a fresh pseudo-terminal, manual time.
struct PtyRig {
    PtyRig() : loop(&clock), far(loop) {
        std::string err;
        EXPECT_TRUE(master.Open(&err)) << err;
        far.Attach(master);
        port = std::make_shared<rt::PortController>(loop, [this](int baud) {
            ++opens;
            return std::make_unique<rt::SerialPort>(master.slave_path(), baud);
        });
        port->log = [this](const std::string& m) { logs.push_back(m); };
        port->SetServices(services);
        dev.Init(port, 42, Json::Value());
        sched.poll_interval = 10s;
        sched.reset_interval = 30s;
        sched.reply_timeout = 2s;
        sched.retries = 2;
    }
    ~PtyRig() { port->Stop(); }

    void Start() {
        port->AddDevice(dev, sched);
        port->Start();
    }
    bool RunUntil(std::function<bool()> done, int passes = 400) {
        return loop.RunUntil(done, passes, 20ms);
    }
    // Time moves as the line needs it to, at most `limit`.
    bool Virtual(std::function<bool()> done, Duration limit = 60s) {
        return RunVirtual(loop, clock, done, limit);
    }
    Duration Elapsed() const { return clock.Now() - start; }
    // Lets the line settle: everything written so far is read and handled.
    void Settle() {
        for (int i = 0; i < 20; ++i) loop.RunOnce(2ms);
    }

    rt::ManualTime clock;
    rt::TimePoint start = clock.Now();
    rt::EventLoop loop;
    rt::PtyMaster master;
    FarEnd far;
    std::shared_ptr<RecordingController> services = std::make_shared<RecordingController>();
    std::shared_ptr<rt::PortController> port;
    ScriptDevice dev;
    rt::DeviceSchedule sched;
    int opens = 0;
    std::vector<std::string> logs;
};

}  // namespace pty_rig
