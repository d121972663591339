// The site's notify program as the runner starts it: q318b-host against
// the built-in simulator with a scripted mains failure and return, and an
// sh script that records what each run was given. The raise and the clear
// reach the program in order with the event's values, and a program that
// hangs is killed at its limit while the rounds go on.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kHost = Q318B_HOST_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &errs)) ADD_FAILURE() << "not JSON: " << text;
    return v;
}

std::string Text(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    return Json::writeString(b, v);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

bool WaitFor(const std::function<bool()>& cond, double seconds) {
    const auto until = In(seconds);
    for (;;) {
        if (cond()) return true;
        if (e2e::Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Each run appends "PID EVENT KEY" to `order` and leaves its environment
// in env.PID; a raise of `hang_key` then hangs, its pid in `hung`.
const char kScript[] = R"(#!/bin/sh
out=$1
env -0 > "$out/env.tmp.$$" && mv "$out/env.tmp.$$" "$out/env.$$"
echo "$$ $Q318B_EVENT $Q318B_KEY" >> "$out/order"
if [ "$Q318B_EVENT" = raised ] && [ "$Q318B_KEY" = "$2" ]; then
  echo $$ > "$out/hung.tmp" && mv "$out/hung.tmp" "$out/hung"
  exec sleep 60
fi
)";

// The demo controller answering fast, the mains failing 2 s in and coming
// back 5 s in, polled every 0.5 s, with `notify` as the site's member.
void WriteSite(const TempDir& dir, const Json::Value& notify) {
    Json::Value s = Parse(ReadFile(kExamples + "/scenarios/demo_site.json"));
    s["pace"] = false;
    s["turnaround_ms"] = 2;
    Json::Value events(Json::arrayValue);
    Json::Value fail(Json::objectValue), back(Json::objectValue);
    fail["at"] = 2;
    fail["action"] = "mains_failure";
    back["at"] = 5;
    back["action"] = "mains_restored";
    events.append(fail);
    events.append(back);
    s["events"] = events;
    dir.Write("scenario.json", Text(s));
    dir.Write("notify.sh", kScript);
    ::chmod((dir / "notify.sh").c_str(), 0755);

    Json::Value d(Json::objectValue);
    d["data_id"] = 1001;
    d["name"] = "demo \"east\"";
    d["port"] = "sim:scenario.json";
    d["poll_interval"] = 0.5;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/unicom.json";
    Json::Value site(Json::objectValue);
    site["devices"].append(d);
    site["notify"] = notify;
    dir.Write("site.json", Text(site));
}

Json::Value Notify(const TempDir& dir, const std::string& hang_key, double timeout_s) {
    Json::Value n(Json::objectValue);
    n["command"].append("notify.sh");  // relative: the site's folder
    n["command"].append(dir.path());
    n["command"].append(hang_key);
    n["timeout_s"] = timeout_s;
    n["max_running"] = 1;
    return n;
}

std::map<std::string, std::string> EnvOf(const std::string& text) {
    std::map<std::string, std::string> out;
    for (const auto& e : Split(text, '\0')) {
        const auto eq = e.find('=');
        out[e.substr(0, eq)] = e.substr(eq + 1);
    }
    return out;
}

bool IsPowerOff(const Json::Value& e, const char* kind) {
    return e["event"].asString() == kind && e["alarm"]["key"].asString() == "PowerOff";
}

TEST(NotifyE2e, TheRaiseAndThenTheClearReachTheProgramWithTheirValues) {
    TempDir dir;
    WriteSite(dir, Notify(dir, "none", 10));
    Child host({kHost, "--site", dir / "site.json", "--json", "--no-db"}, dir.path());

    std::vector<Json::Value> alarms;  // every alarm event, as streamed
    const auto deadline = In(40);
    while (alarms.empty() || !IsPowerOff(alarms.back(), "alarm_cleared")) {
        auto line = host.ReadLine(deadline);
        ASSERT_TRUE(line) << "no mains return; stderr: " << host.stderr_text();
        const Json::Value e = Parse(*line);
        const std::string kind = e["event"].asString();
        if (kind == "alarm_raised" || kind == "alarm_cleared") alarms.push_back(e);
        EXPECT_NE(kind, "service") << "nothing to say about a program that works: " << *line;
    }
    ASSERT_TRUE(
        WaitFor([&] { return Split(ReadFile(dir / "order"), '\n').size() >= alarms.size(); }, 20))
        << ReadFile(dir / "order");
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(In(15)), 0) << host.stderr_text();

    // One run per event, in the order of the events, each with its values.
    const auto runs = Split(ReadFile(dir / "order"), '\n');
    ASSERT_EQ(runs.size(), alarms.size()) << ReadFile(dir / "order");
    bool raised_seen = false;
    for (size_t i = 0; i < runs.size(); ++i) {
        const Json::Value& e = alarms[i];
        const auto fields = Split(runs[i], ' ');
        ASSERT_EQ(fields.size(), 3u) << runs[i];
        const std::string event = e["event"].asString() == "alarm_raised" ? "raised" : "cleared";
        EXPECT_EQ(fields[1], event) << i;
        EXPECT_EQ(fields[2], e["alarm"]["key"].asString()) << i;
        auto env = EnvOf(ReadFile(dir / ("env." + fields[0])));
        EXPECT_EQ(env["Q318B_EVENT"], event);
        EXPECT_EQ(env["Q318B_DATA_ID"], "1001");
        EXPECT_EQ(env["Q318B_DEVICE"], "demo \"east\"");
        EXPECT_EQ(env["Q318B_ALARM_ID"], e["alarm"]["alarm_id"].asString());
        EXPECT_EQ(env["Q318B_KEY"], e["alarm"]["key"].asString());
        EXPECT_EQ(env["Q318B_ALARM_TEXT"], e["alarm"]["alarm_text"].asString());
        EXPECT_EQ(env["Q318B_LEVEL"], std::to_string(e["alarm"]["level"].asInt()));
        EXPECT_EQ(env["Q318B_VALUE"], e["alarm"]["value_text"].asString());
        EXPECT_EQ(env["Q318B_TIME"], e["time"].asString());
        raised_seen = raised_seen || IsPowerOff(e, "alarm_raised");
        if (IsPowerOff(e, "alarm_cleared")) {
            EXPECT_TRUE(raised_seen) << "cleared before raised";
        }
    }
    EXPECT_TRUE(raised_seen);
}

TEST(NotifyE2e, RoundsGoOnWhileAHangingProgramIsKilled) {
    TempDir dir;
    WriteSite(dir, Notify(dir, "PowerOff", 6));
    Child host({kHost, "--site", dir / "site.json", "--json", "--no-db"}, dir.path());

    enum { kBefore, kHanging, kKilled } phase = kBefore;
    int records_while_hanging = 0;
    bool cleared = false;  // the mains back, queued behind the hanging program
    std::string kill_line;
    const auto deadline = In(40);
    for (;;) {
        auto line = host.ReadLine(deadline);
        ASSERT_TRUE(line) << "phase " << phase << "; stderr: " << host.stderr_text();
        const Json::Value e = Parse(*line);
        const std::string kind = e["event"].asString();
        if (phase == kBefore && IsPowerOff(e, "alarm_raised")) phase = kHanging;
        if (phase == kHanging && kind == "record") ++records_while_hanging;
        if (kind == "service" &&
            e["message"].asString().find("killed at the 6 s limit") != std::string::npos) {
            ASSERT_EQ(phase, kHanging) << *line;
            kill_line = e["message"].asString();
            phase = kKilled;
        }
        cleared = cleared || (phase != kBefore && IsPowerOff(e, "alarm_cleared"));
        if (phase == kKilled && cleared) break;
    }
    // The device starts a round about every 2 s (it refuses one sooner
    // than that, whatever the poll interval): rounds went on through the
    // program's 6 s.
    EXPECT_GE(records_while_hanging, 2) << kill_line;
    EXPECT_NE(kill_line.find("raised alarm 419415001 PowerOff"), std::string::npos) << kill_line;
    EXPECT_NE(kill_line.find(dir / "notify.sh"), std::string::npos) << kill_line;
    const pid_t hung = std::stoi(ReadFile(dir / "hung"));
    EXPECT_TRUE(WaitFor([&] { return ::kill(-hung, 0) == -1 && errno == ESRCH; }, 5))
        << "the hanging program's group is still there";

    // The clear after it still runs.
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto runs = Split(ReadFile(dir / "order"), '\n');
            return !runs.empty() && runs.back().find(" cleared PowerOff") != std::string::npos;
        },
        20))
        << ReadFile(dir / "order");
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(In(15)), 0) << host.stderr_text();
}

}  // namespace
