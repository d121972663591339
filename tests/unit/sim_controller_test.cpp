// The controller simulator: scenario files, reply layouts, control
// commands, scripted events and faults, and its line (pacing, pseudo-
// terminal, TCP).
#include <gtest/gtest.h>
#include <json/reader.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/wire/event_loop.h"
#include "runtime/wire/frame_codec.h"
#include "runtime/wire/transport.h"
#include "sim/controller.h"
#include "sim/scenario.h"
#include "sim/server.h"

using namespace std::chrono_literals;

namespace {

sim::Scenario Parse(const std::string& json) {
    Json::Value root;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(json.data(), json.data() + json.size(), &root, &errs)) << errs;
    sim::Scenario s;
    std::string err;
    EXPECT_TRUE(sim::ParseScenario(root, &s, &err)) << err;
    return s;
}

// The body of a command frame (between SOI and EOI).
std::string Cmd(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {}, uint8_t adr = 1,
                uint8_t ver = 0x20) {
    const std::string f = wire::EncodeCommand(wire::Version(ver), wire::Address(adr), cid1, cid2,
                                              info.data(), info.size());
    return f.substr(1, f.size() - 2);
}

// What the host's codec makes of a reply text.
std::vector<wire::Reply> Host(const std::string& text, uint8_t adr = 1) {
    wire::ReplyAssembler a;
    std::vector<wire::Reply> out;
    a.Feed(reinterpret_cast<const uint8_t*>(text.data()), text.size(), wire::Address(adr), &out);
    return out;
}

// INFO bytes of a good reply.
std::vector<uint8_t> Info(sim::SimController& c, uint8_t cid1, uint8_t cid2,
                          std::vector<uint8_t> cmd = {}, double now = 0) {
    const sim::Response r = c.Answer(Cmd(cid1, cid2, std::move(cmd), c.scenario().address), now);
    auto rs = Host(r.text, c.scenario().address);
    EXPECT_EQ(rs.size(), 1u);
    if (rs.size() != 1 || rs[0].error != wire::FrameError::kNone) {
        ADD_FAILURE() << "reply to " << int(cid1) << " " << int(cid2) << ": " << r.text;
        return {};
    }
    return std::vector<uint8_t>(rs[0].reply_frame.begin() + 6, rs[0].reply_frame.end());
}

std::vector<uint8_t> F(float v) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    return {b, b + 4};
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::vector<uint8_t> kNa = {0x20, 0x20, 0x20, 0x20};

const char* kTiny = R"({
  "ac": {"inputs": [{"a": 230.0, "b": null, "c": 231.0, "f": 50.0, "tower": [7.0],
                     "user": [1.5], "alarms": [1, 2, 3, 4], "fuses": [5], "tower_alarms": [6],
                     "user_alarms": [8, 9]}],
         "currents": [10.0, null, 12.0], "current_alarms": [10, 11, 12],
         "switches": [], "tower_status": [13], "user_status": [14, 15]},
  "rectifiers": {"voltage": 53.5, "modules": [
     {"current": 9.0, "tower": [40.0], "user": [null], "state": [0, 1, 2], "tower_status": [3],
      "user_status": [4], "fault": 5, "tower_alarms": [6], "user_alarms": [7], "extra": [170]},
     {"current": 9.5, "state": [1, 1, 1], "fault": 0}]},
  "dc": [{"voltage": 53.5, "current": 20.0, "batteries": [1.0, 2.0], "branches": [3.0],
          "user": [null], "voltage_alarm": 1, "fuses": [2, 3], "user_alarms": [4]},
         {"voltage": 52.5, "current": 5.0, "voltage_alarm": 0}]
})";

}  // namespace

TEST(SimReplies, PollChainLayoutsByteForByte) {
    sim::Scenario s = Parse(kTiny);
    s.layout.tower = true;
    sim::SimController c(s);
    struct Case {
        uint8_t cid1, cid2;
        std::vector<uint8_t> cmd;
        std::vector<uint8_t> info;
    } cases[] = {
        {0x40,
         0x41,
         {0x01},
         Cat({{0x00, 0x01},
              F(230.0f),
              kNa,
              F(231.0f),
              F(50.0f),
              {0x01},
              F(7.0f),
              {0x01},
              F(1.5f),
              F(10.0f),
              kNa,
              F(12.0f)})},
        // The command asks for every group: the reply names its group.
        {0x40,
         0x41,
         {0xFF},
         Cat({{0x00, 0x01, 0x01},
              F(230.0f),
              kNa,
              F(231.0f),
              F(50.0f),
              {0x01},
              F(7.0f),
              {0x01},
              F(1.5f),
              F(10.0f),
              kNa,
              F(12.0f)})},
        {0x40, 0x43, {0x01}, {0x00, 0x00, 0x01, 13, 0x02, 14, 15}},
        {0x40, 0x44, {0x01}, {0x00, 0x01, 1, 2, 3, 4, 0x01, 5, 0x01, 6, 0x02, 8, 9, 10, 11, 12}},
        {0x41,
         0x41,
         {},
         Cat({{0x00},
              F(53.5f),
              {0x02},
              F(9.0f),
              {0x01},
              F(40.0f),
              {0x01},
              kNa,
              {170},
              F(9.5f),
              {0x00, 0x00}})},
        {0x41, 0x43, {}, {0x00, 0x02, 0, 1, 2, 0x01, 3, 0x01, 4, 1, 1, 1, 0x00, 0x00}},
        {0x41, 0x44, {}, {0x00, 0x02, 5, 0x01, 6, 0x01, 7, 0, 0x00, 0x00}},
        {0x42,
         0x41,
         {0xFF},
         Cat({{0x00, 0x02},
              F(53.5f),
              F(20.0f),
              {0x02},
              F(1.0f),
              F(2.0f),
              {0x01},
              F(3.0f),
              {0x01},
              kNa,
              F(52.5f),
              F(5.0f),
              {0x00, 0x00, 0x00}})},
        {0x42, 0x44, {0xFF}, {0x00, 0x02, 1, 0x02, 2, 3, 0x01, 4, 0, 0x00, 0x00}},
    };
    for (const auto& k : cases)
        EXPECT_EQ(Info(c, k.cid1, k.cid2, k.cmd), k.info)
            << std::hex << int(k.cid1) << " " << int(k.cid2);
}

TEST(SimReplies, LayoutOptionsChangeTheReplies) {
    sim::Scenario s = Parse(kTiny);
    s.layout.group_byte = sim::Layout::GroupByte::kNever;
    s.layout.dc_number = false;
    s.layout.not_available = sim::Layout::NotAvailable::kBytes;
    sim::SimController c(s);
    // No tower block, no group byte even for 0xFF, only the first DC group.
    EXPECT_EQ(Info(c, 0x40, 0x41, {0xFF}), Cat({{0x00, 0x01},
                                                F(230.0f),
                                                kNa,
                                                F(231.0f),
                                                F(50.0f),
                                                {0x01},
                                                F(1.5f),
                                                F(10.0f),
                                                kNa,
                                                F(12.0f)}));
    EXPECT_EQ(Info(c, 0x42, 0x44), (std::vector<uint8_t>{0x00, 1, 0x02, 2, 3, 0x01, 4}));
    // Not available sent as the bytes 0x20 hex-encoded, spaces as spaces.
    const std::string as_bytes = c.Answer(Cmd(0x40, 0x41, {0x01}), 0).text;
    EXPECT_NE(as_bytes.find("20202020"), std::string::npos);
    EXPECT_EQ(as_bytes.find(' '), std::string::npos);
    sim::SimController spaces(Parse(kTiny));
    EXPECT_NE(spaces.Answer(Cmd(0x40, 0x41, {0x01}), 0).text.find("        "), std::string::npos);
}

TEST(SimReplies, ControlCommandsAndReturnCodes) {
    sim::SimController c(Parse(kTiny));
    struct Case {
        const char* what;
        std::string body;
        int rtn;  // -1: no answer
    } cases[] = {
        {"module 1 off", Cmd(0x41, 0x45, {0x2F, 0x01}), 0},
        {"module 2 on", Cmd(0x41, 0x45, {0x20, 0x02}), 0},
        {"float charge", Cmd(0x41, 0x45, {0x1F, 0x02}), 0},
        {"module 3 does not exist", Cmd(0x41, 0x45, {0x20, 0x03}), 6},
        {"41 45 short", Cmd(0x41, 0x45, {0x20}), 5},
        {"42 48 parameter 1", Cmd(0x42, 0x48, {0xF2, 0x00, 0x00, 0x56, 0x42}), 0},
        {"42 49 parameter", Cmd(0x42, 0x49, {0x85, 0x14, 0xE6}), 0},
        {"42 48 short", Cmd(0x42, 0x48, {0xF2, 0x00}), 5},
        {"41 4E raw", Cmd(0x41, 0x4E, {1, 2, 3, 4, 5, 6, 7}), 0},
        {"41 4E six bytes", Cmd(0x41, 0x4E, {1, 2, 3, 4, 5, 6}), 5},
        {"unknown CID2", Cmd(0x41, 0x99), 4},
        {"other version", Cmd(0x41, 0x41, {}, 1, 0x21), 1},
        {"bad CHKSUM", Cmd(0x41, 0x41).substr(0, 12) + "FDB4", 2},
        {"bad LCHKSUM", "200141411002FF" + std::string("0000"), -2},
        {"another address", Cmd(0x41, 0x41, {}, 7), -1},
    };
    for (auto& k : cases) {
        if (k.rtn == -2) {
            // LENGTH 1002: LCHKSUM 1 for LENID 2 is wrong; CHKSUM made right.
            std::string b = "200141411002FF";
            const uint16_t sum = wire::FrameChecksum(b);
            char buf[5];
            std::snprintf(buf, sizeof buf, "%04X", sum);
            k.body = b + buf;
            k.rtn = 3;
        }
        const sim::Response r = c.Answer(k.body, 0);
        if (k.rtn < 0) {
            EXPECT_TRUE(r.text.empty()) << k.what;
            continue;
        }
        auto rs = Host(r.text);
        ASSERT_EQ(rs.size(), 1u) << k.what;
        EXPECT_EQ(rs[0].rtn, k.rtn) << k.what;
    }
    EXPECT_EQ(c.scenario().rectifiers->modules[0].state[0], 1);
    EXPECT_EQ(c.scenario().rectifiers->modules[1].state[0], 0);
    EXPECT_FLOAT_EQ(c.parameters().at(0xF2), 53.5f);
    EXPECT_FLOAT_EQ(c.parameters().at(0x85), 53.5f);
    ASSERT_EQ(c.controls().size(), 6u) << "only accepted commands are recorded";
    EXPECT_EQ(c.controls().back().info, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
    // The switch shows in the status reply.
    EXPECT_EQ(Info(c, 0x41, 0x43)[2], 1);
}

TEST(SimEvents, StateChangesOnTheTimetable) {
    sim::Scenario s = Parse(kTiny);
    auto ev = [&](double at, const char* json) {
        Json::Value v;
        std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
        std::string errs;
        r->parse(json, json + std::strlen(json), &v, &errs);
        s.events.push_back({at, v["action"].asString(), v});
    };
    ev(10, R"({"action": "mains_failure"})");
    ev(20, R"({"action": "mains_restored"})");
    ev(30, R"({"action": "module_fault", "module": 1, "fault": 4})");
    ev(40, R"({"action": "add_module", "value": {"current": 3.0}})");
    ev(50, R"({"action": "remove_module", "module": 0})");
    ev(60, R"({"action": "set_dc", "value": [{"voltage": 47.0, "current": 1.0}]})");
    sim::SimController c(s);
    EXPECT_EQ(Info(c, 0x40, 0x41, {1}, 9.9)[2 + 0], F(230.0f)[0]);
    auto at10 = Info(c, 0x40, 0x41, {1}, 10);
    EXPECT_EQ(std::vector<uint8_t>(at10.begin() + 2, at10.begin() + 6), F(0.0f));
    EXPECT_EQ(Info(c, 0x40, 0x44, {1}, 10)[2], 0x01) << "voltage alarm";
    auto at20 = Info(c, 0x40, 0x41, {1}, 20);
    EXPECT_EQ(std::vector<uint8_t>(at20.begin() + 2, at20.begin() + 6), F(230.0f));
    EXPECT_EQ(Info(c, 0x41, 0x44, {}, 30)[5], 4) << "module 2's fault byte";
    EXPECT_EQ(Info(c, 0x41, 0x44, {}, 40)[1], 3) << "a module more";
    auto at50 = Info(c, 0x41, 0x41, {}, 50);
    EXPECT_EQ(at50[5], 2);
    EXPECT_EQ(std::vector<uint8_t>(at50.begin() + 6, at50.begin() + 10), F(9.5f));
    auto at60 = Info(c, 0x42, 0x41, {0xFF}, 60);
    EXPECT_EQ(at60[1], 1);
    EXPECT_EQ(std::vector<uint8_t>(at60.begin() + 2, at60.begin() + 6), F(47.0f));
}

TEST(SimEvents, FaultsDamageRepliesTheWayTheHostSeesThem) {
    struct Case {
        const char* json;
        wire::FrameError error;  // as the host's codec sees the first reply
        size_t frames;           // frames the host finds in it
    } cases[] = {
        {R"({"action": "bad_checksum"})", wire::FrameError::kBadChksum, 1},
        // Junk in the middle of INFO: the sum no longer matches.
        {R"({"action": "garble"})", wire::FrameError::kBadChksum, 1},
        {R"({"action": "bad_length"})", wire::FrameError::kBadLchksum, 1},
        {R"({"action": "wrong_address"})", wire::FrameError::kWrongAddress, 1},
        {R"({"action": "rtn", "code": 2})", wire::FrameError::kReturnCode, 1},
        {R"({"action": "garbage"})", wire::FrameError::kNone, 1},
        {R"({"action": "truncate"})", wire::FrameError::kNone, 0},
    };
    for (const auto& k : cases) {
        sim::Scenario s = Parse(kTiny);
        Json::Value v;
        std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
        std::string errs;
        r->parse(k.json, k.json + std::strlen(k.json), &v, &errs);
        v["command"] = "41 43";
        s.events.push_back({5, v["action"].asString(), v});
        sim::SimController c(s);
        // Before the event, and for other commands, replies are good.
        EXPECT_EQ(Host(c.Answer(Cmd(0x41, 0x43), 1).text).at(0).error, wire::FrameError::kNone);
        EXPECT_EQ(Host(c.Answer(Cmd(0x41, 0x41), 6).text).at(0).error, wire::FrameError::kNone);
        const auto bad = Host(c.Answer(Cmd(0x41, 0x43), 6).text);
        ASSERT_EQ(bad.size(), k.frames) << k.json;
        if (k.frames > 0) {
            EXPECT_EQ(bad[0].error, k.error) << k.json;
        }
        // Once only: the next one is good again.
        const auto next = Host(c.Answer(Cmd(0x41, 0x43), 7).text);
        ASSERT_EQ(next.size(), 1u) << k.json;
        EXPECT_EQ(next[0].error, wire::FrameError::kNone) << k.json;
    }
}

TEST(SimEvents, SilenceAndDelay) {
    sim::Scenario s = Parse(kTiny);
    Json::Value sil;
    sil["duration"] = 30;
    s.events.push_back({100, "silence", sil});
    Json::Value del;
    del["ms"] = 250;
    del["count"] = 2;
    s.events.push_back({200, "delay", del});
    sim::SimController c(s);
    EXPECT_FALSE(c.Answer(Cmd(0x41, 0x41), 99).text.empty());
    EXPECT_TRUE(c.Answer(Cmd(0x41, 0x41), 100).text.empty());
    EXPECT_TRUE(c.Answer(Cmd(0x40, 0x41, {1}), 129.9).text.empty());
    EXPECT_FALSE(c.Answer(Cmd(0x41, 0x41), 130).text.empty());
    EXPECT_EQ(c.Answer(Cmd(0x41, 0x41), 200).extra_delay_ms, 250);
    EXPECT_EQ(c.Answer(Cmd(0x41, 0x41), 201).extra_delay_ms, 250);
    EXPECT_EQ(c.Answer(Cmd(0x41, 0x41), 202).extra_delay_ms, 0);
}

TEST(SimReplies, CapturedFramesAreReplayedAsTheyCame) {
    sim::Scenario s;
    std::string err;
    ASSERT_TRUE(sim::LoadScenarioFile(
        std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/replay.json", &s, &err))
        << err;
    sim::SimController c(s);
    EXPECT_EQ(c.Answer(Cmd(0x41, 0x41), 0).text,
              "~2001410060280000005642020000404101        0000504100F681\r");
    EXPECT_EQ(c.Answer(Cmd(0x41, 0x44), 0).text, "~20014100200E000200000301E0FAE6\r");
    // Commands without a capture come from the state.
    EXPECT_EQ(Host(c.Answer(Cmd(0x40, 0x41, {1}), 0).text).at(0).error, wire::FrameError::kNone);
}

TEST(SimServer, PacesRepliesAtTheLineRate) {
    rt::ManualTime clock;
    rt::EventLoop loop(&clock);
    sim::Scenario s = Parse(kTiny);
    s.baud = 1200;  // 8.33 ms a character
    s.turnaround_ms = 50;
    sim::SimServer server(loop, s);
    std::string err;
    ASSERT_TRUE(server.ServePty(&err)) << err;
    rt::SerialPort host(server.pty_path(), 1200);
    ASSERT_TRUE(host.Open(&err)) << err;

    const std::string cmd = "~" + Cmd(0x41, 0x44) + "\r";  // 18 characters
    ASSERT_EQ(host.Write(reinterpret_cast<const uint8_t*>(cmd.data()), cmd.size()), 18);
    ASSERT_TRUE(loop.RunUntil([&] { return server.stats().commands == 1; }, 200, 5ms));
    const std::string reply = server.controller().Answer(Cmd(0x41, 0x44), 0).text;

    std::string got;
    auto drain = [&] {
        for (int i = 0; i < 5; ++i) loop.RunOnce(1ms);
        uint8_t buf[512];
        ssize_t n;
        while ((n = host.Read(buf, sizeof buf)) > 0) got.append(reinterpret_cast<char*>(buf), n);
    };
    const rt::Duration ct = server.CharTime();
    // The command takes 18 characters on the line, then the turnaround.
    clock.Advance(ct * 18 + 50ms - 1ms);
    drain();
    EXPECT_EQ(got, "");
    clock.Advance(1ms);
    drain();
    EXPECT_EQ(got, "") << "the first character is complete one character later";
    clock.Advance(ct * 5);
    drain();
    EXPECT_EQ(got, reply.substr(0, 5));
    clock.Advance(ct * static_cast<long>(reply.size()));
    drain();
    EXPECT_EQ(got, reply);
    EXPECT_TRUE(server.Idle());
    EXPECT_EQ(server.stats().chars_in, 18u);
    EXPECT_EQ(server.stats().chars_out, reply.size());
    EXPECT_EQ(server.stats().turnaround, rt::Duration(50ms));
}

TEST(SimServer, AnswersOverTcp) {
    rt::EventLoop loop;
    sim::Scenario s = Parse(kTiny);
    s.pace = false;
    s.turnaround_ms = 0;
    sim::SimServer server(loop, s);
    std::string err;
    ASSERT_TRUE(server.ServeTcp(0, &err)) << err;
    rt::TcpClient host("127.0.0.1", server.tcp_port());
    ASSERT_TRUE(host.Open(&err)) << err;
    ASSERT_TRUE(loop.RunUntil(
        [&] {
            std::string e;
            return !host.Connecting() || host.FinishOpen(&e);
        },
        100, 5ms));
    const std::string cmd = "~" + Cmd(0x41, 0x41) + "\r";
    ASSERT_TRUE(loop.RunUntil(
        [&] { return host.Write(reinterpret_cast<const uint8_t*>(cmd.data()), cmd.size()) > 0; },
        100, 5ms));
    wire::ReplyAssembler a;
    std::vector<wire::Reply> out;
    ASSERT_TRUE(loop.RunUntil(
        [&] {
            uint8_t buf[512];
            const ssize_t n = host.Read(buf, sizeof buf);
            if (n > 0) a.Feed(buf, static_cast<size_t>(n), wire::Address(1), &out);
            return !out.empty();
        },
        400, 5ms));
    EXPECT_EQ(out[0].error, wire::FrameError::kNone);
    EXPECT_EQ(out[0].reply_frame[2], 0x41);
}

namespace {

sim::Event Ev(double at, const std::string& json) {
    Json::Value v;
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    std::string errs;
    EXPECT_TRUE(r->parse(json.data(), json.data() + json.size(), &v, &errs)) << json;
    return {at, v["action"].asString(), v};
}

// kTiny with one event at 5 s.
sim::SimController WithEvent(const std::string& json) {
    sim::Scenario s = Parse(kTiny);
    s.events.push_back(Ev(5, json));
    return sim::SimController(s);
}

// The undamaged reply to a command.
std::string Good(const std::string& body) {
    sim::SimController c(Parse(kTiny));
    return c.Answer(body, 0).text;
}

// Whether `longer` is `shorter` with one run of characters put in, and
// where that run starts (as far into the frame as the texts allow).
bool OneRunInserted(const std::string& shorter, const std::string& longer, size_t* at) {
    if (longer.size() <= shorter.size()) return false;
    size_t p = 0, s = 0;
    while (p < shorter.size() && shorter[p] == longer[p]) ++p;
    while (s < shorter.size() && shorter[shorter.size() - 1 - s] == longer[longer.size() - 1 - s])
        ++s;
    if (p + s < shorter.size()) return false;
    *at = p;
    return true;
}

bool AnyGood(const std::vector<wire::Reply>& rs) {
    return std::any_of(rs.begin(), rs.end(),
                       [](const wire::Reply& r) { return r.error == wire::FrameError::kNone; });
}

}  // namespace

TEST(SimFaults, LineFaultsPutTheirDamageOnTheLine) {
    using Check = std::function<void(const std::string& body, const std::string& good,
                                     const sim::Response& r)>;
    const auto unit_is = [](uint8_t want) -> Check {
        return [want](const std::string&, const std::string& good, const sim::Response& r) {
            wire::Frame got, orig;
            ASSERT_GE(r.text.size(), 2u);
            ASSERT_EQ(wire::ParseFrameBody(r.text.substr(1, r.text.size() - 2), &got),
                      wire::FrameError::kNone)
                << r.text;
            ASSERT_EQ(wire::ParseFrameBody(good.substr(1, good.size() - 2), &orig),
                      wire::FrameError::kNone);
            EXPECT_EQ(got.cid1, want) << r.text;
            EXPECT_EQ(got.adr, orig.adr);
            EXPECT_EQ(got.cid2, orig.cid2);
            EXPECT_EQ(got.info, orig.info);
            const wire::Reply as_answer =
                wire::CheckReply({wire::FrameError::kNone, r.text.substr(1, r.text.size() - 2)},
                                 wire::Address(1), orig.cid1);
            EXPECT_EQ(as_answer.error, wire::FrameError::kWrongUnit);
        };
    };
    const auto dropped = [](size_t n) -> Check {
        return [n](const std::string&, const std::string& good, const sim::Response& r) {
            ASSERT_EQ(r.text.size() + n, good.size()) << r.text;
            size_t at = 0;
            EXPECT_TRUE(OneRunInserted(r.text, good, &at)) << "one run from the middle";
            EXPECT_GT(at, 0u);
            EXPECT_EQ(r.text.back(), '\r');
            EXPECT_FALSE(AnyGood(Host(r.text)));
        };
    };
    const auto noise_before = [](const std::string& junk) -> Check {
        return [junk](const std::string&, const std::string& good, const sim::Response& r) {
            EXPECT_EQ(r.text, junk + good);
            const auto rs = Host(r.text);
            ASSERT_FALSE(rs.empty());
            EXPECT_EQ(rs.back().error, wire::FrameError::kNone);
        };
    };
    const auto noise_inside = [](size_t length) -> Check {
        return [length](const std::string&, const std::string& good, const sim::Response& r) {
            ASSERT_EQ(r.text.size(), good.size() + length) << r.text;
            size_t at = 0;
            ASSERT_TRUE(OneRunInserted(good, r.text, &at)) << r.text;
            EXPECT_GT(at, wire::kHeaderChars) << "past the header";
            EXPECT_LT(at, good.size() - 1) << "before the EOI";
            EXPECT_FALSE(AnyGood(Host(r.text))) << r.text;
        };
    };
    struct Case {
        const char* json;
        uint8_t cid1, cid2;
        std::vector<uint8_t> info;
        Check check;
    } cases[] = {
        {R"({"action": "duplicate"})",
         0x41,
         0x43,
         {},
         [](const std::string&, const std::string& good, const sim::Response& r) {
             EXPECT_EQ(r.text, good + good);
             const auto rs = Host(r.text);
             ASSERT_EQ(rs.size(), 2u);
             EXPECT_EQ(rs[0].error, wire::FrameError::kNone);
             EXPECT_EQ(rs[1].reply_frame, rs[0].reply_frame);
             EXPECT_TRUE(r.echo.empty());
         }},
        {R"({"action": "echo"})",
         0x40,
         0x41,
         {0x01},
         [](const std::string& body, const std::string& good, const sim::Response& r) {
             EXPECT_EQ(r.echo, "~" + body + "\r");
             EXPECT_EQ(r.text, good) << "the reply itself is untouched";
             EXPECT_EQ(r.extra_delay_ms, 0);
         }},
        {R"({"action": "wrong_unit"})", 0x40, 0x41, {0x01}, unit_is(0x41)},
        {R"({"action": "wrong_unit"})", 0x41, 0x43, {}, unit_is(0x42)},
        {R"({"action": "wrong_unit"})", 0x42, 0x44, {0xFF}, unit_is(0x40)},
        // A control command's reply is misrouted the same way.
        {R"({"action": "wrong_unit"})", 0x41, 0x45, {0x20, 0x01}, unit_is(0x42)},
        {R"({"action": "wrong_unit", "cid1": "40"})", 0x41, 0x43, {}, unit_is(0x40)},
        {R"({"action": "wrong_unit", "cid1": "0x4a"})", 0x41, 0x43, {}, unit_is(0x4A)},
        {R"({"action": "wrong_unit", "cid1": 64})", 0x41, 0x43, {}, unit_is(0x40)},
        {R"({"action": "wrong_unit", "cid1": 300})", 0x41, 0x43, {}, unit_is(0x42)},
        {R"({"action": "wrong_unit", "cid1": -1})", 0x41, 0x43, {}, unit_is(0x42)},
        {R"({"action": "wrong_unit", "cid1": "4G"})", 0x41, 0x43, {}, unit_is(0x42)},
        {R"({"action": "wrong_unit", "cid1": "141"})", 0x41, 0x43, {}, unit_is(0x42)},
        {R"({"action": "noise", "text": "#!?"})", 0x41, 0x43, {}, noise_before("#!?")},
        {R"({"action": "noise", "text": "#!?", "where": "sideways"})",
         0x41,
         0x43,
         {},
         noise_before("#!?")},
        {R"({"action": "noise", "text": "ab", "length": 5})",
         0x41,
         0x43,
         {},
         noise_before("ababa")},
        {R"({"action": "noise", "text": "abcdef", "length": 2})",
         0x41,
         0x43,
         {},
         noise_before("ab")},
        {R"({"action": "noise", "text": "ab", "length": -5})", 0x41, 0x43, {}, noise_before("ab")},
        {R"({"action": "noise", "text": "ab", "length": 1e9})", 0x41, 0x43, {}, noise_before("ab")},
        {R"({"action": "noise"})",
         0x41,
         0x43,
         {},
         [](const std::string&, const std::string& good, const sim::Response& r) {
             ASSERT_GT(r.text.size(), good.size());
             const std::string junk = r.text.substr(0, r.text.size() - good.size());
             EXPECT_EQ(r.text.substr(junk.size()), good);
             EXPECT_NE(junk.find('~'), std::string::npos) << "a stray SOI to resynchronise on";
             const auto rs = Host(r.text);
             ASSERT_EQ(rs.size(), 2u);
             EXPECT_EQ(rs[0].error, wire::FrameError::kTruncated);
             EXPECT_EQ(rs[1].error, wire::FrameError::kNone);
         }},
        {R"({"action": "noise", "where": "inside", "text": "~#!?"})",
         0x41,
         0x43,
         {},
         noise_inside(4)},
        {R"({"action": "noise", "where": "inside", "text": "xyz", "length": 9})",
         0x41,
         0x41,
         {},
         noise_inside(9)},
        {R"({"action": "noise", "where": "inside"})",
         0x41,
         0x43,
         {},
         [](const std::string&, const std::string& good, const sim::Response& r) {
             size_t at = 0;
             ASSERT_TRUE(OneRunInserted(good, r.text, &at));
             EXPECT_NE(r.text.find('~', 1), std::string::npos);
             EXPECT_FALSE(AnyGood(Host(r.text)));
         }},
        {R"({"action": "drop"})", 0x41, 0x43, {}, dropped(4)},
        {R"({"action": "drop", "bytes": 10})", 0x41, 0x41, {}, dropped(10)},
        {R"({"action": "drop", "bytes": 0})", 0x41, 0x43, {}, dropped(4)},
        {R"({"action": "drop", "bytes": -3})", 0x41, 0x43, {}, dropped(4)},
        {R"({"action": "drop", "bytes": "many"})", 0x41, 0x43, {}, dropped(4)},
        {R"({"action": "drop", "bytes": 1e15})", 0x41, 0x43, {}, dropped(4)},
        {R"({"action": "drop", "bytes": 2000})",
         0x41,
         0x43,
         {},
         [](const std::string&, const std::string&, const sim::Response& r) {
             EXPECT_EQ(r.text, "~\r") << "no more than the reply has between SOI and EOI";
         }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.json);
        sim::SimController c = WithEvent(k.json);
        const std::string body = Cmd(k.cid1, k.cid2, k.info);
        const std::string good = Good(body);
        ASSERT_EQ(Host(good).at(0).error, wire::FrameError::kNone);
        const sim::Response r = c.Answer(body, 6);
        k.check(body, good, r);
    }
}

TEST(SimFaults, LineFaultsHitOnlyTheNamedCommandAndOnlyCountTimes) {
    for (const char* action : {"duplicate", "echo", "wrong_unit", "noise", "drop"}) {
        SCOPED_TRACE(action);
        const std::string a = std::string(R"({"action": ")") + action + "\"";
        const auto damaged = [](const sim::Response& r, const std::string& body) {
            return r.text != Good(body) || !r.echo.empty();
        };
        const std::string c41 = Cmd(0x41, 0x41), c43 = Cmd(0x41, 0x43), c44 = Cmd(0x41, 0x44);
        {
            sim::SimController c = WithEvent(a + R"(, "count": 2, "command": "41 43"})");
            struct Step {
                double at;
                const std::string& body;
                bool hit;
            } steps[] = {
                {1, c43, false},  // before its time
                {6, c41, false}, {6, c43, true},  {7, c44, false},
                {7, c43, true},  {8, c43, false},  // twice only
            };
            for (const auto& s : steps)
                EXPECT_EQ(damaged(c.Answer(s.body, s.at), s.body), s.hit)
                    << "at " << s.at << " " << s.body;
        }
        {
            // No command named: the next reply, whatever it answers.
            sim::SimController c = WithEvent(a + "}");
            EXPECT_TRUE(damaged(c.Answer(c44, 6), c44));
            EXPECT_FALSE(damaged(c.Answer(c43, 6), c43));
        }
    }
}

TEST(SimEvents, AStateChangeWithNothingToChangeLeavesTheNextFaultItsReply) {
    // No AC unit and no rectifiers: these events find nothing to change,
    // and must not stand in line as faults ahead of the checksum fault.
    sim::Scenario s;
    s.dc.resize(1);
    for (const char* action :
         {"mains_failure", "mains_restored", "module_fault", "module_clear", "remove_module"})
        s.events.push_back(Ev(5, std::string(R"({"action": ")") + action + "\"}"));
    s.events.push_back(Ev(5, R"({"action": "bad_checksum"})"));
    sim::SimController c(s);
    EXPECT_EQ(Host(c.Answer(Cmd(0x42, 0x41), 6).text).at(0).error, wire::FrameError::kBadChksum);
    EXPECT_EQ(Host(c.Answer(Cmd(0x42, 0x41), 7).text).at(0).error, wire::FrameError::kNone);
}

// Events made up in code skip the load-time checks; the controller still
// takes only what fits.
TEST(SimFaults, ArgumentsOutOfRangeFallBackToTheirDefaults) {
    const auto first_bad_then_good = [](sim::SimController& c) {
        EXPECT_EQ(Host(c.Answer(Cmd(0x41, 0x41), 6).text).at(0).error,
                  wire::FrameError::kBadChksum);
        EXPECT_EQ(Host(c.Answer(Cmd(0x41, 0x41), 7).text).at(0).error, wire::FrameError::kNone);
    };
    const auto rtn2 = [](sim::SimController& c) {
        const auto rs = Host(c.Answer(Cmd(0x41, 0x41), 6).text);
        ASSERT_EQ(rs.size(), 1u);
        EXPECT_EQ(rs[0].rtn, 2);
    };
    const auto delay1000 = [](sim::SimController& c) {
        EXPECT_EQ(c.Answer(Cmd(0x41, 0x41), 6).extra_delay_ms, 1000);
    };
    const auto silent_once = [](sim::SimController& c) {
        EXPECT_TRUE(c.Answer(Cmd(0x41, 0x41), 6).text.empty());
        EXPECT_FALSE(c.Answer(Cmd(0x41, 0x41), 6.5).text.empty());
    };
    const auto faults_of_modules = [](std::vector<uint8_t> want) {
        return [want](sim::SimController& c) {
            const auto info = Info(c, 0x41, 0x44, {}, 6);
            std::vector<uint8_t> got;
            ASSERT_GE(info.size(), 2u);
            for (size_t j = 0, at = 2; j < info[1] && at < info.size(); ++j) {
                got.push_back(info[at]);
                at += 1 + 1 + info[at + 1];  // fault, user alarm count and bytes
            }
            EXPECT_EQ(got, want);
        };
    };
    struct Case {
        const char* json;
        std::function<void(sim::SimController&)> check;
    } cases[] = {
        {R"({"action": "bad_checksum", "count": 1e12})", first_bad_then_good},
        {R"({"action": "bad_checksum", "count": 18446744073709551615})", first_bad_then_good},
        {R"({"action": "bad_checksum", "count": -3})", first_bad_then_good},
        {R"({"action": "bad_checksum", "count": "two"})", first_bad_then_good},
        {R"({"action": "rtn", "code": -1})", rtn2},
        {R"({"action": "rtn", "code": 300})", rtn2},
        {R"({"action": "rtn", "code": 1e300})", rtn2},
        {R"({"action": "delay", "ms": -5})", delay1000},
        {R"({"action": "delay", "ms": 1e300})", delay1000},
        {R"({"action": "delay", "ms": "soon"})", delay1000},
        {R"({"action": "silence", "duration": -1})", silent_once},
        {R"({"action": "silence", "duration": 1e300})", silent_once},
        {R"({"action": "module_fault", "module": 18446744073709551615})",
         faults_of_modules({5, 0})},
        {R"({"action": "module_fault", "module": -1})", faults_of_modules({5, 0})},
        {R"({"action": "module_fault", "module": 1, "fault": -1})", faults_of_modules({5, 1})},
        {R"({"action": "module_fault", "module": 1, "fault": 4096})", faults_of_modules({5, 1})},
        {R"({"action": "add_module", "module": -1, "value": {"fault": 9}})",
         faults_of_modules({5, 0, 9})},
        {R"({"action": "add_module", "module": 0, "value": {"fault": 9}})",
         faults_of_modules({9, 5, 0})},
        {R"({"action": "remove_module", "module": 1e19})", faults_of_modules({5, 0})},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.json);
        sim::SimController c = WithEvent(k.json);
        k.check(c);
    }
}

TEST(SimEvents, SilenceForADurationIsTheLineGoingQuietOnTheClock) {
    sim::Scenario s = Parse(kTiny);
    // The window runs from the event's time, however late the first command
    // after it comes, and however many commands go unanswered meanwhile.
    s.events.push_back(Ev(100, R"({"action": "silence", "duration": 30, "command": "41 44"})"));
    s.events.push_back(Ev(200, R"({"action": "silence", "duration": 5})"));
    sim::SimController c(s);
    struct Step {
        double at;
        uint8_t cid2;
        bool answered;
    } steps[] = {
        {99.9, 0x44, true}, {120, 0x44, false},   {121, 0x41, true}, {125, 0x44, false},
        {125, 0x44, false}, {129.9, 0x44, false}, {130, 0x44, true}, {200, 0x41, false},
        {202, 0x44, false}, {204.9, 0x43, false}, {205, 0x41, true},
    };
    for (const auto& k : steps)
        EXPECT_EQ(!c.Answer(Cmd(0x41, k.cid2), k.at).text.empty(), k.answered)
            << "at " << k.at << " 41 " << std::hex << int(k.cid2);
}

namespace {

// The simulator on a pseudo-terminal with a host at the other end, on a loop
// whose clock only the test moves.
struct PtyLine {
    explicit PtyLine(const sim::Scenario& s) : loop(&clock), server(loop, s) {
        std::string err;
        EXPECT_TRUE(server.ServePty(&err)) << err;
        host = std::make_unique<rt::SerialPort>(server.pty_path(), s.baud);
        EXPECT_TRUE(host->Open(&err)) << err;
    }

    // Sends a command frame and lets the server read it.
    void Send(const std::string& body) {
        const std::string f = "~" + body + "\r";
        const uint64_t before = server.stats().commands;
        ASSERT_EQ(host->Write(reinterpret_cast<const uint8_t*>(f.data()), f.size()),
                  static_cast<ssize_t>(f.size()));
        ASSERT_TRUE(loop.RunUntil([&] { return server.stats().commands > before; }, 200, 5ms));
    }
    // Runs the loop without moving the clock and collects what arrived.
    const std::string& Drain() {
        for (int i = 0; i < 5; ++i) loop.RunOnce(1ms);
        Read();
        return got;
    }
    // The same, waiting for `n` characters in all to have arrived.
    const std::string& DrainTo(size_t n) {
        loop.RunUntil([&] { return Read() >= n; }, 200, 1ms);
        return got;
    }
    size_t Read() {
        uint8_t buf[512];
        ssize_t n;
        while ((n = host->Read(buf, sizeof buf)) > 0) got.append(reinterpret_cast<char*>(buf), n);
        return got.size();
    }

    rt::ManualTime clock;
    rt::EventLoop loop;
    sim::SimServer server;
    std::unique_ptr<rt::SerialPort> host;
    std::string got;
};

}  // namespace

TEST(SimServer, EchoGoesOutWithTheCommandAndTheReplyAfterTheTurnaround) {
    sim::Scenario s = Parse(kTiny);
    s.baud = 1200;
    s.turnaround_ms = 50;
    s.events.push_back(Ev(0, R"({"action": "echo"})"));
    PtyLine line(s);
    const std::string body = Cmd(0x41, 0x44);
    const std::string echo = "~" + body + "\r";  // 18 characters
    const std::string reply = Good(body);
    const rt::Duration ct = line.server.CharTime();

    line.Send(body);
    EXPECT_EQ(line.Drain(), "");
    line.clock.Advance(ct * 9);
    EXPECT_EQ(line.DrainTo(9), echo.substr(0, 9)) << "at the line rate, as the command crosses";
    line.clock.Advance(ct * 9);
    EXPECT_EQ(line.DrainTo(18), echo);
    line.clock.Advance(50ms - 1ms);
    EXPECT_EQ(line.Drain(), echo) << "the reply waits for the turnaround";
    line.clock.Advance(1ms + ct * static_cast<long>(reply.size()));
    EXPECT_EQ(line.DrainTo(echo.size() + reply.size()), echo + reply);
    EXPECT_TRUE(line.server.Idle());
    EXPECT_EQ(line.server.stats().replies, 1u) << "an echo is not a reply";
    EXPECT_EQ(line.server.stats().chars_out, echo.size() + reply.size());

    // Without pacing the echo is there at once, the reply still a turnaround
    // later.
    s.pace = false;
    PtyLine fast(s);
    fast.Send(body);
    EXPECT_EQ(fast.DrainTo(18), echo);
    fast.clock.Advance(50ms - 1ms);
    EXPECT_EQ(fast.Drain(), echo);
    fast.clock.Advance(1ms);
    EXPECT_EQ(fast.DrainTo(echo.size() + reply.size()), echo + reply);
}

TEST(SimServer, ALateReplyHoldsBackTheNextReplyButNotAnEcho) {
    sim::Scenario s = Parse(kTiny);
    s.baud = 9600;
    s.turnaround_ms = 20;
    s.events.push_back(Ev(0, R"({"action": "delay", "ms": 500, "command": "41 41"})"));
    s.events.push_back(Ev(0, R"({"action": "echo", "command": "41 44"})"));
    PtyLine line(s);
    const rt::Duration ct = line.server.CharTime();
    const std::string first = Cmd(0x41, 0x41), second = Cmd(0x41, 0x44);
    const std::string late = Good(first), next = Good(second), echo = "~" + second + "\r";

    line.Send(first);
    // The host gives up on it after 200 ms and moves on.
    line.clock.Advance(200ms);
    EXPECT_EQ(line.Drain(), "") << "late: 18 characters, 20 ms and 500 ms more";
    line.Send(second);
    line.clock.Advance(ct * 18);
    EXPECT_EQ(line.DrainTo(echo.size()), echo) << "the echo does not queue behind the late reply";
    // The late reply starts 18 characters, a turnaround and its delay after
    // the first command went out.
    line.clock.Advance(520ms - 200ms - 1ms);
    EXPECT_EQ(line.Drain(), echo);
    line.clock.Advance(1ms + ct * static_cast<long>(late.size()));
    EXPECT_EQ(line.DrainTo(echo.size() + late.size()), echo + late);
    // One thing at a time: the next reply comes a turnaround after the
    // late one has gone out, not a turnaround after its own command.
    line.clock.Advance(20ms - 1ms);
    EXPECT_EQ(line.Drain(), echo + late);
    line.clock.Advance(1ms + ct * static_cast<long>(next.size()));
    EXPECT_EQ(line.DrainTo(echo.size() + late.size() + next.size()), echo + late + next);
    EXPECT_EQ(line.server.stats().replies, 2u);
    EXPECT_EQ(line.server.stats().turnaround, rt::Duration(540ms));
}
