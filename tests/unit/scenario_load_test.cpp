// Scenario files as they load: every problem, whatever its depth in the
// file, is refused there and then on one line naming the member, so that
// nothing in a scenario that loaded can stop the simulator mid-run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/scenario.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

// A unit of each kind to hang the members under test on.
const std::string kBase = R"("rectifiers": {"modules": [{"current": 1}, {"current": 2}]})";

std::string WithEvent(const std::string& event) {
    return "{" + kBase + R"(, "events": [{"at": 1, "action": "garble"}, )" + event + "]}";
}

std::string Nested(const std::string& open, const std::string& close, int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    for (int i = 0; i < depth; ++i) s += close;
    return s;
}

std::string Zeros(int n) {
    std::string s = "0";
    for (int i = 1; i < n; ++i) s += ", 0";
    return s;
}

std::vector<std::filesystem::path> Files(const std::string& dir, const std::string& ext) {
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::directory_iterator(std::string(Q318B_SOURCE_DIR) + dir))
        if (e.path().extension() == ext) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(ScenarioLoad, EveryExampleScenarioLoads) {
    const auto files = Files("/examples/scenarios", ".json");
    EXPECT_GE(files.size(), 7u);
    for (const auto& f : files) {
        sim::Scenario s;
        std::string err;
        EXPECT_TRUE(sim::LoadScenarioFile(f.string(), &s, &err)) << err;
    }
    sim::Scenario s;
    std::string err;
    ASSERT_TRUE(sim::LoadScenarioFile(
        std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/over_capacity.json", &s, &err));
    ASSERT_EQ(s.rectifiers->modules.size(), 45u) << "repeat";
    EXPECT_FLOAT_EQ(*s.rectifiers->modules[44].current, 5.0f + 44 * 0.5f) << "step";
}

TEST(ScenarioLoad, BrokenScenariosAreRefusedOnOneLineNamingTheMember) {
    struct Case {
        std::string json;
        std::string path;  // the error starts with it and ": "; "" for the whole file
        std::string problem;
    } cases[] = {
        // The file as a whole.
        {"[1]", "", "must be a JSON object"},
        {"", "", "not valid JSON: Line 1, Column 1"},
        {"{\"baud\": 9600,\n\n  \"pace\": tru}", "", "not valid JSON: Line 3, Column 11"},
        {R"({"name": "x"} {"name": "y"})", "", "not valid JSON"},
        {Nested("[", "]", 65), "", "nested more than 64 levels deep"},
        {"{\"events\": " + Nested("[", "]", 100000) + "}", "", "nested more than 64"},
        {"{\"ac\": " + Nested("{\"a\": ", "}", 80) + "}", "", "nested more than 64"},
        // Top level: wrong types and values out of range.
        {R"({"name": 5})", "name", "must be a text"},
        {R"({"address": 300})", "address", "from 0 to 255"},
        {R"({"address": 1.8e19})", "address", "from 0 to 255"},
        {R"({"version": 18446744073709551615})", "version", "from 0 to 255"},
        {R"({"version": 32.5})", "version", "whole number"},
        {R"({"baud": 3000000000})", "baud", "must be a whole number from 50 to 4000000"},
        {R"({"baud": 1e300})", "baud", "from 50 to 4000000"},
        {R"({"baud": 49})", "baud", "from 50"},
        {R"({"baud": 4000001})", "baud", "to 4000000"},
        {R"({"baud": "fast"})", "baud", "whole number"},
        {R"({"pace": 1})", "pace", "true or false"},
        {R"({"turnaround_ms": -1})", "turnaround_ms", "must be a number from 0 to 60000"},
        {R"({"turnaround_ms": 60000.5})", "turnaround_ms", "from 0 to 60000"},
        {R"({"turnaround_ms": 1e400})", "",
         "not valid JSON: Line 1, Column 19: '1e400' is not a number"},
        {R"({"layout": 5})", "layout", "must be an object, not a number"},
        {R"({"layout": [true]})", "layout", "must be an object, not a list"},
        {R"({"layout": {"group_byte": 2}})", "layout.group_byte", "true, false or \"auto\""},
        {R"({"layout": {"not_available": "dashes"}})", "layout.not_available", "\"spaces\""},
        {R"({"layout": {"dataflag": -1}})", "layout.dataflag", "from 0 to 255"},
        {R"({"layout": {"tower": "yes"}})", "layout.tower", "true or false"},
        // Units, down to list items.
        {R"({"ac": 5})", "ac", "must be an object"},
        {R"({"ac": {"inputs": 5}})", "ac.inputs", "list of at most 255 inputs"},
        {R"({"ac": {"inputs": [5]}})", "ac.inputs[0]", "must be an object"},
        {R"({"ac": {"inputs": [{}, {"a": "high"}]}})", "ac.inputs[1].a", "number"},
        {R"({"ac": {"inputs": [{"a": 1e39}]}})", "ac.inputs[0].a", "32-bit float"},
        {R"({"ac": {"inputs": [{"user": [1, null, true]}]}})", "ac.inputs[0].user[2]", "number"},
        {R"({"ac": {"inputs": [{"alarms": [0, 0, 0, 256]}]}})", "ac.inputs[0].alarms[3]", "255"},
        {R"({"ac": {"inputs": [{"alarms": [0, 0, 0]}]}})", "ac.inputs[0].alarms", "list of 4"},
        {R"({"ac": {"inputs": [{"fuses": [0, 1e10]}]}})", "ac.inputs[0].fuses[1]", "255"},
        {R"({"ac": {"currents": [1, 2]}})", "ac.currents", "list of 3"},
        {R"({"ac": {"currents": [1, 2, "x"]}})", "ac.currents[2]", "number"},
        {"{\"ac\": {\"switches\": [" + Zeros(256) + "]}}", "ac.switches", "at most 255 bytes"},
        {"{\"dc\": [{\"user\": [" + Zeros(256) + "]}]}", "dc[0].user", "at most 255 numbers"},
        {R"({"rectifiers": []})", "rectifiers", "must be an object, not a list"},
        {R"({"rectifiers": {"modules": {"current": 1}}})", "rectifiers.modules", "list"},
        {R"({"rectifiers": {"modules": [5]}})", "rectifiers.modules[0]", "must be an object"},
        {R"({"rectifiers": {"modules": [{"state": [0, 0]}]}})", "rectifiers.modules[0].state",
         "list of 3"},
        {R"({"rectifiers": {"modules": [{"repeat": 300}]}})", "rectifiers.modules[0].repeat",
         "from 1 to 255"},
        {R"({"rectifiers": {"modules": [{"repeat": 1e10}]}})", "rectifiers.modules[0].repeat",
         "from 1 to 255"},
        {R"({"rectifiers": {"modules": [{"repeat": 0}]}})", "rectifiers.modules[0].repeat",
         "from 1 to 255"},
        {R"({"rectifiers": {"modules": [{"repeat": 200}, {"repeat": 56}]}})",
         "rectifiers.modules[1].repeat", "more than 255 modules"},
        {R"({"rectifiers": {"modules": [{"repeat": 255}, {}]}})", "rectifiers.modules[1]",
         "more than 255 modules"},
        {R"({"rectifiers": {"modules": [{"current": 1, "step": "up"}]}})",
         "rectifiers.modules[0].step", "number"},
        {R"({"rectifiers": {"modules": [{"current": 3e38, "repeat": 3, "step": 3e38}]}})",
         "rectifiers.modules[0].step", "32-bit float"},
        {R"({"dc": {"voltage": 1}})", "dc", "list of at most 255 DC groups"},
        {R"({"dc": [{}, 7]})", "dc[1]", "must be an object"},
        {R"({"dc": [{"batteries": [1, {}]}]})", "dc[0].batteries[1]", "number"},
        {R"({"replay": 5})", "replay", "list"},
        {R"({"replay": [5]})", "replay[0]", "must be an object"},
        {R"({"replay": [{"command": "4X41", "frames": ["~\r"]}]})", "replay[0].command", "hex"},
        {R"({"replay": [{"command": "41 41", "frames": []}]})", "replay[0].frames", "one or more"},
        {R"({"replay": [{"command": "41 41", "frames": ["~", 7]}]})", "replay[0].frames[1]",
         "frame text"},
        // The timetable: each event's time, action and arguments.
        {R"({"events": 5})", "events", "must be a list"},
        {R"({"events": [5]})", "events[0]", "must be an object, not a number"},
        {R"({"events": [{"at": 1, "action": "garble"}, [1]]})", "events[1]", "must be an object"},
        {R"({"events": [{"action": "silence"}]})", "events[0].at", "must be given"},
        {R"({"events": [{"at": -1, "action": "silence"}]})", "events[0].at", "from 0 to 10000000"},
        {R"({"events": [{"at": 1e8, "action": "silence"}]})", "events[0].at", "to 10000000"},
        {R"({"events": [{"at": "soon", "action": "silence"}]})", "events[0].at", "number"},
        {R"({"events": [{"at": 1}]})", "events[0].action", "must be given"},
        {R"({"events": [{"at": 1, "action": 3}]})", "events[0].action", "text"},
        {R"({"events": [{"at": 1, "action": "explode"}]})", "events[0].action",
         "unknown action \"explode\""},
        {"{\"events\": [{\"at\": 1, \"action\": \"ex\\nplode\"}]}", "events[0].action",
         "unknown action \"ex\\nplode\""},
        {WithEvent(R"({"at": 2, "action": "bad_checksum", "count": 1e10})"), "events[1].count",
         "must be a whole number from 0 to 1000000"},
        {WithEvent(R"({"at": 2, "action": "bad_checksum", "count": 1e12})"), "events[1].count",
         "to 1000000"},
        {WithEvent(R"({"at": 2, "action": "bad_checksum", "count": 18446744073709551615})"),
         "events[1].count", "to 1000000"},
        {WithEvent(R"({"at": 2, "action": "bad_checksum", "count": -3})"), "events[1].count",
         "from 0"},
        {WithEvent(R"({"at": 2, "action": "bad_checksum", "count": "two"})"), "events[1].count",
         "whole number"},
        {WithEvent(R"({"at": 2, "action": "truncate", "command": "41 4G"})"), "events[1].command",
         "hex"},
        {WithEvent(R"({"at": 2, "action": "truncate", "command": 4143})"), "events[1].command",
         "hex"},
        {WithEvent(R"({"at": 2, "action": "rtn", "code": -1})"), "events[1].code", "0 to 255"},
        {WithEvent(R"({"at": 2, "action": "rtn", "code": 300})"), "events[1].code", "0 to 255"},
        {WithEvent(R"({"at": 2, "action": "rtn", "code": 1e300})"), "events[1].code", "0 to 255"},
        {WithEvent(R"({"at": 2, "action": "delay", "ms": -5})"), "events[1].ms",
         "from 0 to 3600000"},
        {WithEvent(R"({"at": 2, "action": "delay", "ms": 1e300})"), "events[1].ms", "3600000"},
        {WithEvent(R"({"at": 2, "action": "delay", "ms": "soon"})"), "events[1].ms", "number"},
        {WithEvent(R"({"at": 2, "action": "silence", "duration": -1})"), "events[1].duration",
         "from 0 to 1000000000"},
        {WithEvent(R"({"at": 2, "action": "silence", "duration": 1e300})"), "events[1].duration",
         "1000000000"},
        {WithEvent(R"({"at": 2, "action": "garbage", "text": 5})"), "events[1].text", "text"},
        {WithEvent(R"({"at": 2, "action": "garbage", "text": ")" + std::string(4097, 'x') + "\"}"),
         "events[1].text", "up to 4096 characters"},
        {WithEvent(R"({"at": 2, "action": "noise", "text": ""})"), "events[1].text",
         "1 to 4096 characters"},
        {WithEvent(R"({"at": 2, "action": "noise", "where": "sideways"})"), "events[1].where",
         "\"before\" or \"inside\""},
        {WithEvent(R"({"at": 2, "action": "noise", "length": -5})"), "events[1].length",
         "from 1 to 4096"},
        {WithEvent(R"({"at": 2, "action": "noise", "length": 1e9})"), "events[1].length",
         "to 4096"},
        {WithEvent(R"({"at": 2, "action": "drop", "bytes": 0})"), "events[1].bytes",
         "from 1 to 4096"},
        {WithEvent(R"({"at": 2, "action": "drop", "bytes": 1e15})"), "events[1].bytes", "4096"},
        {WithEvent(R"({"at": 2, "action": "drop", "bytes": "many"})"), "events[1].bytes",
         "whole number"},
        {WithEvent(R"({"at": 2, "action": "wrong_unit", "cid1": 300})"), "events[1].cid1", "byte"},
        {WithEvent(R"({"at": 2, "action": "wrong_unit", "cid1": -1})"), "events[1].cid1", "byte"},
        {WithEvent(R"({"at": 2, "action": "wrong_unit", "cid1": "4G"})"), "events[1].cid1", "byte"},
        {WithEvent(R"({"at": 2, "action": "wrong_unit", "cid1": "141"})"), "events[1].cid1",
         "byte"},
        {WithEvent(R"({"at": 2, "action": "module_fault", "fault": 4096})"), "events[1].fault",
         "0 to 255"},
        {WithEvent(R"({"at": 2, "action": "module_fault", "module": 18446744073709551615})"),
         "events[1].module", "from 0 to 254"},
        {WithEvent(R"({"at": 2, "action": "module_fault", "module": -1})"), "events[1].module",
         "from 0 to 254"},
        {WithEvent(R"({"at": 2, "action": "remove_module", "module": 1e19})"), "events[1].module",
         "from 0 to 254"},
        {WithEvent(R"({"at": 2, "action": "add_module", "value": 5})"), "events[1].value",
         "must be an object"},
        {WithEvent(R"({"at": 2, "action": "add_module", "value": {"fault": 999}})"),
         "events[1].value.fault", "0 to 255"},
        {WithEvent(R"({"at": 2, "action": "set_ac"})"), "events[1].value", "must be given"},
        {WithEvent(R"({"at": 2, "action": "set_ac", "value": {"inputs": [{"b": "x"}]}})"),
         "events[1].value.inputs[0].b", "number"},
        {WithEvent(
             R"({"at": 2, "action": "set_rectifiers", "value": {"modules": [{"repeat": 256}]}})"),
         "events[1].value.modules[0].repeat", "from 1 to 255"},
        {WithEvent(R"({"at": 2, "action": "set_dc", "value": {"voltage": 47}})"), "events[1].value",
         "list"},
        {WithEvent(R"({"at": 2, "action": "set_dc"})"), "events[1].value", "must be given"},
        // Module numbers against the modules there are when the event comes
        // (two at the start).
        {WithEvent(R"({"at": 2, "action": "module_fault", "module": 2})"), "events[1].module",
         "no module 2 at 2 s (the unit has 2 modules"},
        {WithEvent(R"({"at": 2, "action": "add_module", "module": 3})"), "events[1].module",
         "no module 3 to insert before"},
        {"{" + kBase + R"(, "events": [{"at": 5, "action": "module_clear", "module": 1},
                           {"at": 3, "action": "remove_module"}]})",
         "events[0].module", "no module 1 at 5 s (the unit has 1 module,"},
        {"{" + kBase + R"(, "events": [{"at": 1, "action": "remove_module"},
            {"at": 1, "action": "remove_module"}, {"at": 1, "action": "remove_module"}]})",
         "events[2]", "no module at 1 s (the unit has 0 modules"},
        {"{" + kBase + R"(, "events": [{"at": 1, "action": "set_rectifiers", "value": {}},
            {"at": 2, "action": "module_fault"}]})",
         "events[1]", "no module at 2 s"},
        {R"({"events": [{"at": 1, "action": "module_fault"}]})", "events[0].action",
         "no rectifier unit at 1 s"},
        {R"({"rectifiers": {"modules": [{"repeat": 255}]},
             "events": [{"at": 1, "action": "add_module"}]})",
         "events[0]", "has 255 modules at 1 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 200));
        sim::Scenario s;
        std::string err;
        EXPECT_FALSE(sim::ParseScenarioText(c.json, &s, &err));
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        EXPECT_EQ(err.find('\r'), std::string::npos) << err;
        if (c.path.empty()) {
            EXPECT_EQ(err.rfind(c.problem, 0), 0u) << err;
        } else {
            EXPECT_EQ(err.rfind(c.path + ": ", 0), 0u) << err;
            EXPECT_NE(err.find(c.problem, c.path.size()), std::string::npos) << err;
        }
    }
}

TEST(ScenarioLoad, ValuesAtTheirBoundsLoad) {
    const std::string cases[] = {
        R"({"baud": 50, "turnaround_ms": 0, "address": 0, "version": 255})",
        R"({"baud": 4000000, "turnaround_ms": 60000, "address": 255})",
        R"({"baud": 9600.0})",
        R"({"ac": {"inputs": [{"a": -3.4e38, "b": 3.4e38, "c": null}]}})",
        R"({"rectifiers": {"modules": [{"repeat": 200}, {"repeat": 55, "current": 1, "step": 2}]}})",
        WithEvent(R"({"at": 10000000, "action": "bad_checksum", "count": 1000000})"),
        WithEvent(R"({"at": 0, "action": "silence", "count": 0, "duration": 1e9})"),
        WithEvent(R"({"at": 2, "action": "delay", "ms": 3600000, "command": "4143"})"),
        WithEvent(
            R"({"at": 2, "action": "noise", "where": "inside", "length": 4096, "text": "#"})"),
        WithEvent(R"({"at": 2, "action": "drop", "bytes": 4096})"),
        WithEvent(R"({"at": 2, "action": "garbage", "text": ""})"),
        WithEvent(R"({"at": 2, "action": "wrong_unit", "cid1": "0x4a"})"),
        WithEvent(R"({"at": 2, "action": "wrong_unit", "cid1": 255})"),
        WithEvent(R"({"at": 2, "action": "rtn", "code": 0})"),
        WithEvent(R"({"at": 2, "action": "set_ac", "value": {}})"),
        WithEvent(R"({"at": 2, "action": "set_dc", "value": []})"),
        // Module numbers follow the timetable, in time order.
        WithEvent(R"({"at": 2, "action": "module_fault", "module": 1, "fault": 255})"),
        WithEvent(R"({"at": 2, "action": "add_module", "module": 2})"),
        "{" + kBase + R"(, "events": [{"at": 5, "action": "module_fault", "module": 2},
                          {"at": 3, "action": "add_module", "module": 0}]})",
        "{" + kBase + R"(, "events": [{"at": 1, "action": "remove_module"},
            {"at": 1, "action": "remove_module"}, {"at": 2, "action": "add_module"},
            {"at": 3, "action": "module_clear", "module": 0}]})",
        R"({"events": [{"at": 1, "action": "set_rectifiers", "value": {"modules": [{}]}},
                       {"at": 2, "action": "module_fault", "module": 0}]})",
    };
    for (const auto& json : cases) {
        sim::Scenario s;
        std::string err;
        EXPECT_TRUE(sim::ParseScenarioText(json, &s, &err)) << json << " -> " << err;
    }
}

using ScenarioFileTest = WorkDirTest;

TEST_F(ScenarioFileTest, ErrorsNameTheFileOnOneLine) {
    WriteFile("bad.json", "{\"events\": [5]}");
    WriteFile("syntax.json", "{\n  \"baud\": 9600,\n  \"pace\": tru\n}\n");
    WriteFile("two\nlines.json", "{\"baud\": 3000000000}");
    std::filesystem::create_directory("folder.json");
    struct Case {
        std::string path;
        std::string starts;
    } cases[] = {
        {"bad.json", "scenario bad.json: events[0]: must be an object, not a number"},
        {"syntax.json", "scenario syntax.json: not valid JSON: Line 3, Column 11: Syntax error"},
        {"two\nlines.json", "scenario two\\nlines.json: baud: must be a whole number"},
        {"missing.json", "scenario missing.json: cannot be opened: No such file or directory"},
        {"folder.json", "scenario folder.json: is a folder, not a scenario file"},
    };
    for (const auto& c : cases) {
        sim::Scenario s;
        std::string err;
        EXPECT_FALSE(sim::LoadScenarioFile(c.path, &s, &err)) << c.path;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        EXPECT_EQ(err.rfind(c.starts, 0), 0u) << err;
    }
}

TEST_F(ScenarioFileTest, AFileLargerThanAnyScenarioIsRefused) {
    // Valid JSON all the way: only its size is wrong.
    std::string big = "{\"name\": \"" + std::string(sim::limits::kMaxFileBytes, 'x') + "\"}";
    WriteFile("big.json", big);
    sim::Scenario s;
    std::string err;
    EXPECT_FALSE(sim::LoadScenarioFile("big.json", &s, &err));
    EXPECT_EQ(err.rfind("scenario big.json: larger than 16 MiB", 0), 0u) << err;
}

// The fuzz target's seeds are what their names say: copies of the example
// scenarios that load, and broken ones that are refused.
TEST(ScenarioLoad, FuzzSeedsLoadOrAreRefusedAsNamed) {
    const auto seeds = Files("/fuzz/corpus/scenario_fuzz", ".json");
    size_t broken = 0;
    for (const auto& f : seeds) {
        sim::Scenario s;
        std::string err;
        const bool refuse = f.filename().string().rfind("broken_", 0) == 0;
        broken += refuse;
        EXPECT_EQ(sim::LoadScenarioFile(f.string(), &s, &err), !refuse) << f << ": " << err;
    }
    EXPECT_GE(seeds.size(), 10u);
    EXPECT_GE(broken, 3u);
}
