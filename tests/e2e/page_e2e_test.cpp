// The status page as a browser shows it: q318b-host against the built-in
// simulator with --http, a headless Chromium driven over the DevTools
// protocol. The page must show the scenario's values, follow a mains
// failure without being reloaded, show "connection lost" while the runner
// is gone and recover when it is back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/cdp_client.h"
#include "tests/e2e/e2e_json.h"
#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Cdp;
using e2e::Clock;
using e2e::In;
using e2e::Process;
using e2e::TempDir;

const std::string kHost = Q318B_HOST_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";
// Quotes, markup and an entity: the page must show them as text.
const std::string kName = "demo \"east\" <b>&amp;</b>";
const std::string kMainsAlarmId = "419415001";
// When the simulated mains fail, in seconds after the runner started.
constexpr double kMainsFailureAt = 15;

using e2e::FreePort;
using e2e::ReadFile;

Json::Value Parse(const std::string& text) {
    return e2e::ParseJson(text, false);
}

std::string Text(const Json::Value& v) {
    return e2e::JsonText(v, "");
}

// The next check after a short pause; the thing waited for is a child
// process's, so there is no clock to move.
void Pause() {
    ::poll(nullptr, 0, 100);
}

enum class Scenario { kDemo, kDemoMainsFailure, kLarge };

// The demo controller answering fast, with a few values "not available"
// (and a mains failure at a fixed time), or the 40-module site; the site
// names the device with markup and carries the alarm levels of
// examples/site.json.
void WriteSite(const TempDir& dir, Scenario which) {
    const bool large = which == Scenario::kLarge;
    Json::Value s = e2e::FastScenario(large ? "large_site.json" : "demo_site.json");
    ASSERT_TRUE(s.isObject());
    if (!large) {
        s["ac"]["currents"][2] = Json::Value();
        s["dc"][0]["batteries"][1] = Json::Value();
    }
    if (which == Scenario::kDemoMainsFailure) {
        Json::Value e(Json::objectValue);
        e["at"] = kMainsFailureAt;
        e["action"] = "mains_failure";
        s["events"].append(e);
    }
    dir.Write("scenario.json", Text(s));

    const Json::Value example = Parse(ReadFile(kExamples + "/site.json"));
    Json::Value d(Json::objectValue);
    d["data_id"] = 1001;
    d["name"] = kName;
    d["port"] = "sim:scenario.json";
    d["poll_interval"] = 1;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/unicom.json";
    d["alarms"] = example["devices"][0]["alarms"];
    Json::Value site(Json::objectValue);
    site["devices"].append(d);
    // Every round stored: the series and plots count them.
    site["history"]["min_interval_s"] = 0;
    dir.Write("site.json", Text(site));
}

std::string FindChromium() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && ::access((d + "/chromium").c_str(), X_OK) == 0) return d + "/chromium";
    return "";
}

// A headless browser on a DevTools port it picked itself (written to its
// profile folder), so no port can be taken between choosing and binding.
class Browser {
  public:
    Browser(const std::string& chromium, const TempDir& dir)
        : profile_(dir / "chromium-profile"),
          proc_({chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
                 "--remote-debugging-port=0", "--user-data-dir=" + profile_, "--no-first-run",
                 "--no-default-browser-check", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-extensions",
                 "about:blank"},
                dir.path(), dir / "chromium.log") {}

    // The page target's DevTools session.
    std::unique_ptr<Cdp> Connect(Clock::time_point deadline) {
        int port = 0;
        while (port == 0) {
            std::istringstream in(ReadFile(profile_ + "/DevToolsActivePort"));
            in >> port;
            if (port != 0) break;
            if (Clock::now() > deadline)
                throw std::runtime_error("chromium wrote no DevTools port");
            Pause();
        }
        httplib::Client http("127.0.0.1", port);
        http.set_connection_timeout(2, 0);
        http.set_read_timeout(5, 0);
        for (;;) {
            if (auto res = http.Get("/json/list")) {
                for (const auto& t : Parse(res->body))
                    if (t["type"].asString() == "page")
                        return std::make_unique<Cdp>(t["webSocketDebuggerUrl"].asString(),
                                                     deadline);
            }
            if (Clock::now() > deadline) throw std::runtime_error("chromium lists no page");
            Pause();
        }
    }

  private:
    std::string profile_;
    Process proc_;
};

class Runner {
  public:
    Runner(const TempDir& dir, int port, const std::string& log)
        : proc_({kHost, "--site", dir / "site.json", "--db", dir / "history.db", "--diag",
                 dir / "diag.log", "--http", "127.0.0.1:" + std::to_string(port)},
                dir.path(), log),
          port_(port) {}

    // Waits until the API shows a completed round.
    void WaitForRound(Clock::time_point deadline) {
        httplib::Client http("127.0.0.1", port_);
        http.set_connection_timeout(1, 0);
        http.set_read_timeout(5, 0);
        for (;;) {
            if (auto res = http.Get("/api/v1/devices")) {
                const Json::Value list = Parse(res->body)["devices"];
                if (list.isArray() && list.size() == 1 && list[0]["rounds"].asInt() >= 1) return;
            }
            if (Clock::now() > deadline) throw std::runtime_error("the runner completed no round");
            Pause();
        }
    }

    int Stop() { return proc_.Stop(10); }

  private:
    Process proc_;
    int port_;
};

// What the device's panel shows: the named fields' texts, the alarms, the
// marked module rows, the plot's series, the connection state and whether
// the page is still the one loaded at first.
const char* const kSnapshotJs = R"JS(
(() => {
  const root = document.querySelector('section.device[data-device="1001"]');
  const conn = document.getElementById('conn');
  const out = {conn: conn ? conn.getAttribute('data-state') : null,
               marker: window.__marker === undefined ? null : window.__marker};
  if (!root) return out;
  out.fields = {};
  for (const e of root.querySelectorAll('[data-field]'))
    if (!e.closest('.alarms')) out.fields[e.getAttribute('data-field')] = e.textContent;
  out.alarms = [...root.querySelectorAll('.alarms li')].map((li) => ({
    id: li.getAttribute('data-alarm-id'),
    text: li.querySelector('[data-field="text"]').textContent}));
  out.faulty = [...root.querySelectorAll('tr.faulty')].map((tr) => tr.getAttribute('data-module'));
  out.series = {};
  for (const p of root.querySelectorAll('path[data-series]'))
    out.series[p.getAttribute('data-series')] = (p.getAttribute('d') || '').length;
  out.markup = root.querySelectorAll('b').length;
  out.foreign = performance.getEntriesByType('resource')
      .map((e) => e.name).filter((n) => !n.startsWith(location.origin + '/'));
  return out;
})()
)JS";

class Page {
  public:
    explicit Page(Cdp& cdp) : cdp_(cdp) {}

    Json::Value Snapshot() { return cdp_.Evaluate(kSnapshotJs, In(10)); }

    // Snapshots until `ok` holds; the last one either way.
    Json::Value WaitFor(const std::function<bool(const Json::Value&)>& ok,
                        Clock::time_point deadline) {
        for (;;) {
            Json::Value s = Snapshot();
            if (ok(s) || Clock::now() > deadline) return s;
            Pause();
        }
    }

  private:
    Cdp& cdp_;
};

bool HasAlarm(const Json::Value& s, const std::string& id) {
    for (const auto& a : s["alarms"])
        if (a["id"].asString() == id) return true;
    return false;
}

double Number(const Json::Value& s, const std::string& field) {
    const std::string t = s["fields"][field].asString();
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || end == t.c_str()) ADD_FAILURE() << field << " is not a number: '" << t << "'";
    return v;
}

TEST(PageE2e, PageFollowsTheRunnerWithoutReloading) {
    const std::string chromium = FindChromium();
    ASSERT_FALSE(chromium.empty()) << "chromium is missing: run scripts/bootstrap.sh";
    TempDir dir;
    WriteSite(dir, Scenario::kDemoMainsFailure);
    const int port = FreePort();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";

    // The browser first: its start is the slow part, and the mains failure
    // is timed from the runner's start.
    Browser browser(chromium, dir);
    std::unique_ptr<Cdp> cdp = browser.Connect(In(60));
    auto runner = std::make_unique<Runner>(dir, port, dir / "runner-1.log");
    const auto failure = In(kMainsFailureAt);
    runner->WaitForRound(In(20));

    Json::Value nav(Json::objectValue);
    nav["url"] = url;
    cdp->Call("Page.navigate", nav, In(10));
    Page page(*cdp);
    Json::Value s = page.WaitFor(
        [](const Json::Value& v) {
            return v["conn"] == "ok" && v["fields"]["dc1.v"].asString() != "" &&
                   v["fields"]["dc1.v"].asString() != "\u2014" && v["alarms"].isArray();
        },
        In(10));
    ASSERT_EQ(s["conn"].asString(), "ok") << Text(s) << ReadFile(dir / "runner-1.log");
    ASSERT_TRUE(Clock::now() < failure) << "the page took too long to show the first round";
    cdp->Evaluate("window.__marker = 1", In(5));

    struct Want {
        const char* field;
        double value;
    };
    const Want wants[] = {
        {"ac1.a", 229.5}, {"ac1.b", 231.25}, {"ac1.c", 230.75}, {"ac1.f", 50}, {"ac.ia", 12.5},
        {"ac.ib", 11.75}, {"rc.v", 53.5},    {"rc1.i", 10.5},   {"rc2.i", 11}, {"rc3.i", 0},
        {"dc1.v", 53.5},  {"dc1.i", 21.5},   {"dc1.b1", 2.5},
    };
    for (const auto& w : wants) EXPECT_DOUBLE_EQ(Number(s, w.field), w.value) << w.field;
    // Not available on the controller: a dash, not a number.
    for (const char* f : {"ac.ic", "dc1.b2"})
        EXPECT_EQ(s["fields"][f].asString(), "\u2014") << f << ": " << Text(s);
    EXPECT_EQ(s["fields"]["rc.count"].asString(), "3");
    EXPECT_EQ(s["fields"]["rc3.fault"].asString(), "fault 3");
    EXPECT_EQ(s["fields"]["rc1.fault"].asString(), "ok");
    EXPECT_EQ(Text(s["faulty"]), R"(["3"])");
    EXPECT_EQ(s["fields"]["rc3.on"].asString(), "off");
    EXPECT_EQ(s["fields"]["link"].asString(), "link up");
    EXPECT_EQ(s["fields"]["name"].asString(), kName);
    EXPECT_EQ(s["markup"].asInt(), 0) << "the device name became markup";
    EXPECT_EQ(Text(s["foreign"]), "[]") << "the page loaded something from elsewhere";
    EXPECT_FALSE(HasAlarm(s, kMainsAlarmId)) << Text(s);
    EXPECT_FALSE(s["fields"].isMember("dc2.v")) << "a second DC group the site does not have";

    // The mains fail: the page follows by itself.
    s = page.WaitFor([](const Json::Value& v) { return HasAlarm(v, kMainsAlarmId); }, In(40));
    ASSERT_TRUE(HasAlarm(s, kMainsAlarmId)) << Text(s);
    EXPECT_EQ(s["marker"].asInt(), 1) << "the page was reloaded";
    for (const auto& a : s["alarms"]) {
        if (a["id"].asString() != kMainsAlarmId) continue;
        EXPECT_EQ(a["text"].asString(), "输入电源中断告警");
    }
    s = page.WaitFor([](const Json::Value& v) { return v["fields"]["ac1.a"] == "0.0"; }, In(10));
    EXPECT_EQ(s["fields"]["ac1.a"].asString(), "0.0") << Text(s);
    // Several rounds are stored by now: the plot has a line.
    EXPECT_GT(s["series"]["dc1.v"].asInt(), 0) << Text(s["series"]);
    EXPECT_GT(s["series"]["dc1.i"].asInt(), 0) << Text(s["series"]);

    // The runner goes away and comes back (a fresh simulator: mains fine).
    EXPECT_EQ(runner->Stop(), 0) << ReadFile(dir / "runner-1.log");
    runner.reset();
    s = page.WaitFor([](const Json::Value& v) { return v["conn"] == "lost"; }, In(15));
    ASSERT_EQ(s["conn"].asString(), "lost") << Text(s);
    WriteSite(dir, Scenario::kDemo);
    runner = std::make_unique<Runner>(dir, port, dir / "runner-2.log");
    runner->WaitForRound(In(20));
    s = page.WaitFor(
        [](const Json::Value& v) { return v["conn"] == "ok" && !HasAlarm(v, kMainsAlarmId); },
        In(20));
    EXPECT_EQ(s["conn"].asString(), "ok") << Text(s);
    EXPECT_FALSE(HasAlarm(s, kMainsAlarmId)) << Text(s);
    EXPECT_DOUBLE_EQ(Number(s, "ac1.a"), 229.5);
    EXPECT_EQ(s["marker"].asInt(), 1) << "the page was reloaded";
    EXPECT_EQ(runner->Stop(), 0) << ReadFile(dir / "runner-2.log");
}

// Forty modules and two DC groups on a 1280x1600 window: the module table
// scrolls inside its card, and everything else stays on the screen.
TEST(PageE2e, FortyModulesStayInsideTheirCard) {
    const std::string chromium = FindChromium();
    ASSERT_FALSE(chromium.empty()) << "chromium is missing: run scripts/bootstrap.sh";
    TempDir dir;
    WriteSite(dir, Scenario::kLarge);
    const int port = FreePort();
    Browser browser(chromium, dir);
    std::unique_ptr<Cdp> cdp = browser.Connect(In(60));
    Runner runner(dir, port, dir / "runner.log");
    runner.WaitForRound(In(30));

    Json::Value metrics(Json::objectValue);
    metrics["width"] = 1280;
    metrics["height"] = 1600;
    metrics["deviceScaleFactor"] = 1;
    metrics["mobile"] = false;
    cdp->Call("Emulation.setDeviceMetricsOverride", metrics, In(10));
    Json::Value nav(Json::objectValue);
    nav["url"] = "http://127.0.0.1:" + std::to_string(port) + "/";
    cdp->Call("Page.navigate", nav, In(10));
    Page page(*cdp);
    const Json::Value s = page.WaitFor(
        [](const Json::Value& v) { return v["fields"]["rc.count"].asString() == "40"; }, In(15));
    ASSERT_EQ(s["fields"]["rc.count"].asString(), "40") << Text(s);
    EXPECT_DOUBLE_EQ(Number(s, "dc1.v"), 53.75);
    EXPECT_DOUBLE_EQ(Number(s, "dc2.v"), 53.5);
    EXPECT_DOUBLE_EQ(Number(s, "rc1.i"), 8);
    EXPECT_DOUBLE_EQ(Number(s, "rc40.i"), 17.75);
    EXPECT_EQ(Text(s["faulty"]), R"(["18"])");
    EXPECT_EQ(s["fields"]["rc.faults"].asString(), "faulty: 18");

    const Json::Value layout = cdp->Evaluate(R"JS(
(() => {
  const root = document.querySelector('section.device[data-device="1001"]');
  const box = (sel) => root.querySelector(sel).getBoundingClientRect();
  const scroller = root.querySelector('.module-rows').closest('.scroll');
  return {rows: root.querySelectorAll('.module-rows tr').length,
          scrolls: scroller.scrollHeight > scroller.clientHeight,
          page: document.documentElement.scrollHeight, view: window.innerHeight,
          alarms: box('ul.alarms').top, plot: box('svg.plot').bottom,
          dc: box('.dc-groups').bottom};
})()
)JS",
                                             In(10));
    EXPECT_EQ(layout["rows"].asInt(), 40);
    EXPECT_TRUE(layout["scrolls"].asBool()) << Text(layout);
    EXPECT_EQ(layout["view"].asInt(), 1600) << Text(layout);
    EXPECT_LE(layout["page"].asDouble(), 1600) << Text(layout);
    for (const char* part : {"alarms", "plot", "dc"})
        EXPECT_LE(layout[part].asDouble(), 1600) << part << ": " << Text(layout);
    EXPECT_EQ(runner.Stop(), 0) << ReadFile(dir / "runner.log");
}

// The files themselves, as any client gets them.
TEST(PageE2e, FilesServedWithTheirTypesAndNoCaching) {
    TempDir dir;
    WriteSite(dir, Scenario::kDemo);
    const int port = FreePort();
    Runner runner(dir, port, dir / "runner.log");
    runner.WaitForRound(In(20));
    httplib::Client http("127.0.0.1", port);
    http.set_connection_timeout(5, 0);
    http.set_read_timeout(5, 0);
    const std::map<std::string, std::string> types = {
        {"/", "text/html; charset=utf-8"},
        {"/static/status.css", "text/css; charset=utf-8"},
        {"/static/status.js", "text/javascript; charset=utf-8"},
    };
    std::string index;
    for (const auto& [path, type] : types) {
        auto res = http.Get(path.c_str());
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        EXPECT_EQ(res->get_header_value("Content-Type"), type) << path;
        EXPECT_EQ(res->get_header_value("Cache-Control"), "no-cache") << path;
        EXPECT_FALSE(res->body.empty()) << path;
        if (path == "/") index = res->body;
    }
    EXPECT_NE(index.find("/static/status.js"), std::string::npos);
    EXPECT_NE(index.find("/static/status.css"), std::string::npos);
    for (const char* path : {"/static/nothing.js", "/static/status", "/static/statusXjs"}) {
        auto res = http.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path;
    }
    EXPECT_EQ(runner.Stop(), 0) << ReadFile(dir / "runner.log");
}

}  // namespace
