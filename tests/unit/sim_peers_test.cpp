// Several simulated controllers on one line: each answers its own address,
// and a fault scripted for one is not used up by commands to another.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "runtime/wire/frame_codec.h"
#include "sim/controller.h"

namespace {

sim::Scenario Controller(uint8_t address, float voltage) {
    sim::Scenario s;
    s.address = address;
    s.rectifiers = sim::RectifierUnit{};
    s.rectifiers->voltage = voltage;
    return s;
}

// The address and rectifier voltage of the reply to 41 41 at `adr`, or -1.
std::pair<int, float> Ask(sim::SimController& ctl, uint8_t adr, double now) {
    const std::string cmd =
        wire::EncodeCommand(wire::Version(0x20), wire::Address(adr), 0x41, 0x41, nullptr, 0);
    const sim::Response r = ctl.Answer(std::string_view(cmd).substr(1, cmd.size() - 2), now);
    wire::Frame f;
    if (r.text.size() < 2 ||
        wire::ParseFrameBody(std::string_view(r.text).substr(1, r.text.size() - 2), &f) !=
            wire::FrameError::kNone ||
        f.info.size() < 5)
        return {-1, 0};
    float v;
    std::memcpy(&v, f.info.data() + 1, 4);
    return {f.adr, v};
}

TEST(SimPeers, EachControllerAnswersItsOwnAddress) {
    sim::Scenario first = Controller(1, 53.5f);
    sim::Event silence;
    silence.action = "silence";
    silence.args["count"] = 1;
    first.events.push_back(silence);
    sim::SimController line(first);
    line.AddPeer(Controller(2, 54.25f));
    line.AddPeer(Controller(7, 48.0f));
    ASSERT_EQ(line.peers().size(), 2u);

    EXPECT_EQ(Ask(line, 2, 0), std::make_pair(2, 54.25f));
    EXPECT_EQ(Ask(line, 7, 0), std::make_pair(7, 48.0f));
    EXPECT_EQ(Ask(line, 3, 0).first, -1);
    // The silence was the first controller's, for its next reply.
    EXPECT_EQ(Ask(line, 1, 0).first, -1);
    EXPECT_EQ(Ask(line, 1, 0), std::make_pair(1, 53.5f));
}

// Every controller hears every command, so each one's timetable runs on
// the line's clock, whoever is asked.
TEST(SimPeers, PeersHearEveryCommand) {
    sim::Scenario second = Controller(2, 54.25f);
    sim::Event change;
    change.at = 5;
    change.action = "set_rectifiers";
    change.args["value"]["voltage"] = 50.0;
    change.args["value"]["modules"] = Json::Value(Json::arrayValue);
    second.events.push_back(change);
    sim::SimController line(Controller(1, 53.5f));
    line.AddPeer(second);

    EXPECT_EQ(Ask(line, 1, 6).first, 1);
    EXPECT_EQ(line.peers()[0].scenario().rectifiers->voltage, 50.0f);
    EXPECT_EQ(Ask(line, 2, 6), std::make_pair(2, 50.0f));
}

}  // namespace
