// The probe's layout inference over every reply layout the simulator can
// produce: the options it recovers are the scenario's (or the ambiguity is
// reported), and a device set up with them reads the scenario's values.
#include "tools/probe/probe_layout.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "runtime/wire/frame_codec.h"
#include "sim/controller.h"
#include "sim/scenario.h"
#include "tests/support/device_harness.h"
#include "tests/unit/decoder_test_util.h"

namespace {

sim::Scenario Demo() {
    sim::Scenario s;
    std::string err;
    EXPECT_TRUE(sim::LoadScenarioFile(
        std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/demo_site.json", &s, &err))
        << err;
    s.events.clear();
    return s;
}

// One command through the controller, as the line would carry it.
bool Ask(sim::SimController& ctl, uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
         const std::vector<uint8_t>& info, wire::Frame* reply) {
    const std::string cmd = wire::EncodeCommand(wire::Version(ver), wire::Address(adr), cid1, cid2,
                                                info.data(), info.size());
    const sim::Response r = ctl.Answer(std::string_view(cmd).substr(1, cmd.size() - 2), 0);
    if (r.text.size() < 2) return false;
    return wire::ParseFrameBody(std::string_view(r.text).substr(1, r.text.size() - 2), reply) ==
           wire::FrameError::kNone;
}

probe::RoundCapture Capture(sim::SimController& ctl) {
    probe::RoundCapture round;
    const sim::Scenario& s = ctl.scenario();
    for (const auto& c : probe::ProbeCommands()) {
        probe::Exchange e;
        e.command = c;
        std::vector<uint8_t> arg;
        if (c.arg == probe::Arg::kGroup) arg = {0x01};
        if (c.arg == probe::Arg::kAll) arg = {0xFF};
        wire::Frame f;
        e.answered = Ask(ctl, s.version, s.address, c.cid1, c.cid2, arg, &f);
        e.rtn = f.cid2;
        e.info = f.info;
        round.exchanges.push_back(e);
    }
    return round;
}

// A device with `app` polls the controller for one round; false when the
// round did not complete.
bool PollOnce(DeviceHarness& h, sim::SimController& ctl, const Json::Value& app) {
    Json::Value settings;
    settings["appSetting"] = app;
    bool done = false;
    Printed([&] {
        h.dev->InitSetting(settings);
        h.dev->address_ = ctl.scenario().address;
        // The controller's own version (the runner always sends 0x20).
        h.dev->protocol_ver_ = ctl.scenario().version;
        if (!h.dev->RefreshStatus()) return;
        for (int step = 0; step < 12; ++step) {
            const auto cmds = h.host->Of(HostCall::Kind::kCommand);
            const HostCall& c = cmds.back();
            wire::Frame f;
            if (!Ask(ctl, h.dev->protocol_ver_, h.dev->address_, c.cid1, c.cid2, c.bytes, &f) ||
                f.cid2 != 0)
                return;
            h.dev->reply_frame_ = BuildReplyFrame(f.ver, f.adr, f.cid1, f.cid2, f.info);
            if (h.dev->process_payload() == 0) {
                done = true;
                return;
            }
        }
    });
    return done && h.host->Of(HostCall::Kind::kPublish).size() == 1;
}

float Or(const sim::Value& v, float absent) {
    return v ? *v : absent;
}

// The record against the scenario it was read from.
void ExpectValues(const q318b_419_Data_t& d, const sim::Scenario& s) {
    if (s.ac) {
        ASSERT_FALSE(s.ac->inputs.empty());
        EXPECT_EQ(d.ac.channel_count, s.ac->inputs.size());
        EXPECT_FLOAT_EQ(Val(d.ac.channel[0].a), Or(s.ac->inputs[0].a, 0));
        EXPECT_FLOAT_EQ(Val(d.ac.channel[0].c), Or(s.ac->inputs[0].c, 0));
        EXPECT_FLOAT_EQ(Val(d.ac.channel[0].f), Or(s.ac->inputs[0].f, 0));
        EXPECT_FLOAT_EQ(Val(d.ac.ia), Or(s.ac->currents[0], -0.1f));
        EXPECT_EQ(d.ac.channel[0].a_alarm, s.ac->inputs[0].alarms[0]);
    }
    ASSERT_TRUE(s.rectifiers);
    EXPECT_FLOAT_EQ(Val(d.rc.v), Or(s.rectifiers->voltage, 0));
    ASSERT_EQ(d.rc.channel_count, s.rectifiers->modules.size());
    for (size_t j = 0; j < s.rectifiers->modules.size(); ++j) {
        EXPECT_FLOAT_EQ(Val(d.rc.channel[j].i), Or(s.rectifiers->modules[j].current, 0));
        EXPECT_EQ(d.rc.channel[j].fault, s.rectifiers->modules[j].fault);
        EXPECT_EQ(d.rc.channel[j].state[0], s.rectifiers->modules[j].state[0]);
    }
    if (!s.dc.empty()) {
        EXPECT_FLOAT_EQ(Val(d.dc1.v), Or(s.dc[0].voltage, 0));
        EXPECT_FLOAT_EQ(Val(d.dc1.i), Or(s.dc[0].current, 0));
        EXPECT_EQ(d.dc1.m_count, s.dc[0].batteries.size());
        if (s.dc.size() > 1 && s.layout.dc_number) {
            EXPECT_FLOAT_EQ(Val(d.dc2.v), Or(s.dc[1].voltage, 0));
            EXPECT_FLOAT_EQ(Val(d.dc2.i), Or(s.dc[1].current, 0));
        }
    }
}

const probe::Ambiguity* FindAmbiguity(const probe::Verdict& v, const std::string& option) {
    for (const auto& a : v.ambiguities)
        if (a.option == option) return &a;
    return nullptr;
}

void AddTower(sim::Scenario& s) {
    s.layout.tower = true;
    if (s.ac) {
        for (auto& in : s.ac->inputs) {
            in.tower = {25.5f, 26.0f};
            in.tower_alarms = {0, 1};
        }
        s.ac->tower_status = {1};
    }
    for (auto& m : s.rectifiers->modules) {
        m.tower = {41.0f};
        m.tower_status = {0, 0};
        m.tower_alarms = {0};
    }
}

sim::DcGroup SecondGroup() {
    sim::DcGroup g;
    g.voltage = 54.25f;
    g.current = 7.5f;
    g.batteries = {1.5f};
    g.user = {};
    g.fuses = {0};
    return g;
}

TEST(ProbeLayout, RecoversEverySimulatorLayout) {
    using GB = sim::Layout::GroupByte;
    struct Case {
        const char* name;
        std::function<void(sim::Scenario&)> change;
        // The options the scenario needs where only one value works.
        std::function<void(probe::Options&)> expect;
        const char* harmless = nullptr;  // an option reported as "either works"
    } cases[] = {
        {"demo site (group byte on 0xFF, DC-number byte, spaces)", [](sim::Scenario&) {},
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
         },
         "no_40_arg"},
        {"tower values", [](sim::Scenario& s) { AddTower(s); },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
             o.has_tower = true;
         }},
        {"group byte always", [](sim::Scenario& s) { s.layout.group_byte = GB::kAlways; },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
             o.cg = 0xFF;
         },
         "no_40_arg"},
        {"group byte never", [](sim::Scenario& s) { s.layout.group_byte = GB::kNever; },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
         }},
        {"no DC-number byte", [](sim::Scenario& s) { s.layout.dc_number = false; },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 1;
         }},
        {"two DC groups", [](sim::Scenario& s) { s.dc.push_back(SecondGroup()); },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
         }},
        {"two DC groups, no DC-number byte",
         [](sim::Scenario& s) {
             s.dc.push_back(SecondGroup());
             s.layout.dc_number = false;
         },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 1;
         }},
        {"no AC unit", [](sim::Scenario& s) { s.ac.reset(); },
         [](probe::Options& o) {
             o.has_ac = false;
             o.has_dc = true;
             o.no_dc_number = 2;
         }},
        {"no DC unit", [](sim::Scenario& s) { s.dc.clear(); }, [](probe::Options&) {}},
        {"address 2", [](sim::Scenario& s) { s.address = 2; },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
         }},
        {"version 0x21", [](sim::Scenario& s) { s.version = 0x21; },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
         }},
        {"not available as 0x20 bytes",
         [](sim::Scenario& s) {
             s.layout.not_available = sim::Layout::NotAvailable::kBytes;
             s.ac->inputs[0].c.reset();
             s.ac->currents[0].reset();
         },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
         }},
        {"not available as spaces",
         [](sim::Scenario& s) {
             s.ac->inputs[0].c.reset();
             s.ac->currents[0].reset();
         },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
         }},
        {"two extra bytes per module",
         [](sim::Scenario& s) {
             for (auto& m : s.rectifiers->modules) m.extra = {0x00, 0x07};
         },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 2;
             o.skip_41_41 = 2;
         }},
        {"everything at once: tower, group byte always, no DC-number byte, address 2, bytes",
         [](sim::Scenario& s) {
             AddTower(s);
             s.layout.group_byte = GB::kAlways;
             s.layout.dc_number = false;
             s.layout.not_available = sim::Layout::NotAvailable::kBytes;
             s.address = 2;
             s.dc.push_back(SecondGroup());
         },
         [](probe::Options& o) {
             o.has_dc = true;
             o.no_dc_number = 1;
             o.has_tower = true;
             o.cg = 0xFF;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Scenario s = Demo();
        c.change(s);
        sim::SimController ctl(s);
        probe::Verdict v;
        Printed([&] { v = probe::InferLayout(Capture(ctl)); });
        ASSERT_FALSE(v.fits.empty()) << (v.problems.empty() ? "" : v.problems[0]);
        EXPECT_TRUE(v.problems.empty()) << v.problems[0];
        const probe::Candidate& best = v.fits.front();
        EXPECT_EQ(best.implausible, 0) << best.doubts[0];
        probe::Options want;
        c.expect(want);
        EXPECT_EQ(probe::AppSetting(best.options), probe::AppSetting(want));
        for (const auto& a : v.ambiguities)
            EXPECT_TRUE(a.harmless) << a.option << ": " << a.what_to_check;
        if (c.harmless != nullptr) {
            const probe::Ambiguity* a = FindAmbiguity(v, c.harmless);
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(a->values.front(), 0);
        }

        DeviceHarness h;
        sim::SimController polled(s);
        ASSERT_TRUE(PollOnce(h, polled, probe::AppSetting(best.options)));
        ExpectValues(h.dev->data_, s);
    }
}

// Where nothing in the replies exercises an option, the probe says so
// instead of guessing silently.
TEST(ProbeLayout, ReportsWhatTheRepliesCannotTell) {
    sim::Scenario s = Demo();
    s.ac.reset();
    s.rectifiers->modules.clear();
    sim::SimController ctl(s);
    probe::Verdict v;
    Printed([&] { v = probe::InferLayout(Capture(ctl)); });
    ASSERT_FALSE(v.fits.empty());
    EXPECT_FALSE(v.fits.front().options.has_tower);
    EXPECT_EQ(v.fits.front().options.skip_41_41, 0);
    for (const char* option : {"has_tower", "skip_41_41"}) {
        const probe::Ambiguity* a = FindAmbiguity(v, option);
        ASSERT_NE(a, nullptr) << option;
        EXPECT_FALSE(a->harmless);
        EXPECT_FALSE(a->what_to_check.empty());
    }
    EXPECT_EQ(FindAmbiguity(v, "skip_41_41")->values.size(), size_t{probe::kMaxSkip + 1});
}

// Forty modules with seven user values each also decode exactly with 14
// bytes skipped per module, reading every other current as a stray
// near-zero float: plausibility settles it.
TEST(ProbeLayout, AStrayFitIsToldByItsValues) {
    sim::Scenario s;
    std::string err;
    ASSERT_TRUE(sim::LoadScenarioFile(
        std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/large_site.json", &s, &err))
        << err;
    sim::SimController ctl(s);
    probe::Verdict v;
    Printed([&] { v = probe::InferLayout(Capture(ctl)); });
    ASSERT_FALSE(v.fits.empty());
    EXPECT_EQ(v.fits.front().options.skip_41_41, 0);
    EXPECT_EQ(v.fits.front().implausible, 0);
    EXPECT_EQ(FindAmbiguity(v, "skip_41_41"), nullptr);
}

// More DC user values than the record holds: the device takes the rest of
// 42 41 unread, so the fit is loose and says so, but the DC unit stays.
TEST(ProbeLayout, DcUserValuesBeyondTheRecordFitLoosely) {
    sim::Scenario s = Demo();
    s.dc[0].user.assign(28, 1.5f);
    sim::SimController ctl(s);
    probe::Verdict v;
    Printed([&] { v = probe::InferLayout(Capture(ctl)); });
    ASSERT_FALSE(v.fits.empty());
    const probe::Candidate& best = v.fits.front();
    EXPECT_TRUE(best.options.has_dc);
    EXPECT_EQ(best.options.no_dc_number, 2);
    ASSERT_EQ(best.doubts.size(), 1u);
    EXPECT_NE(best.doubts[0].find("more user values"), std::string::npos);
}

// Replies no option set decodes, and a unit that refuses its commands.
TEST(ProbeLayout, RefusesRepliesThatFitNoLayout) {
    sim::Scenario s = Demo();
    sim::SimController ctl(s);
    probe::RoundCapture round;
    Printed([&] { round = Capture(ctl); });

    struct Case {
        const char* name;
        std::function<void(probe::RoundCapture&)> damage;
        bool fits;
        bool has_ac, has_dc;
    } cases[] = {
        {"a byte missing from 41 41",
         [](probe::RoundCapture& r) {
             for (auto& e : r.exchanges)
                 if (e.command.cid1 == 0x41 && e.command.cid2 == 0x41) e.info.pop_back();
         },
         false, true, true},
        {"41 43 counts other modules than 41 41",
         [](probe::RoundCapture& r) {
             for (auto& e : r.exchanges)
                 if (e.command.cid1 == 0x41 && e.command.cid2 == 0x43) e.info[1] = 2;
         },
         false, true, true},
        {"rectifiers refuse their commands",
         [](probe::RoundCapture& r) {
             for (auto& e : r.exchanges)
                 if (e.command.cid1 == 0x41) e.rtn = 4;
         },
         false, true, true},
        {"a byte too many in every DC reply: DC left out",
         [](probe::RoundCapture& r) {
             for (auto& e : r.exchanges)
                 if (e.command.cid1 == 0x42) e.info.push_back(0);
         },
         true, true, false},
        {"40 44 one input short: AC left out",
         [](probe::RoundCapture& r) {
             for (auto& e : r.exchanges)
                 if (e.command.cid1 == 0x40 && e.command.cid2 == 0x44) e.info.resize(4);
         },
         true, false, true},
        {"no AC reply at all",
         [](probe::RoundCapture& r) {
             for (auto& e : r.exchanges)
                 if (e.command.cid1 == 0x40) e.answered = false;
         },
         true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        probe::RoundCapture r = round;
        c.damage(r);
        probe::Verdict v;
        Printed([&] { v = probe::InferLayout(r); });
        ASSERT_EQ(!v.fits.empty(), c.fits);
        if (!c.fits) {
            EXPECT_FALSE(v.problems.empty());
            continue;
        }
        EXPECT_EQ(v.fits.front().options.has_ac, c.has_ac);
        EXPECT_EQ(v.fits.front().options.has_dc, c.has_dc);
        // A unit that answers but is left out is a problem to report; one
        // that does not answer is not.
        const bool answered_but_dropped =
            (!c.has_ac && r.Find(0x40, 0x41, probe::Arg::kGroup)->answered) || !c.has_dc;
        EXPECT_EQ(v.problems.empty(), !answered_but_dropped);
    }
}

}  // namespace
