// SIGHUP: the runner reads its site file again and changes only what
// changed. A device that stays keeps polling on the line it has; one
// added starts; one removed stops and its port is let go; a file that
// does not pass the checks leaves the running site as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/wire/transport.h"
#include "tests/e2e/e2e_json.h"
#include "tests/e2e/e2e_process.h"

using e2e::Child;
using e2e::In;
using e2e::TempDir;

namespace {

const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";
const std::string kBadRules =
    std::string(Q318B_SOURCE_DIR) + "/tests/data/broken/rule_file_unreadable";

Json::Value Device(unsigned data_id, const std::string& port) {
    Json::Value d(Json::objectValue);
    d["data_id"] = data_id;
    d["port"] = port;
    d["poll_interval"] = 1;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/unicom.json";
    return d;
}

std::string Site(const std::vector<Json::Value>& devices) {
    Json::Value site(Json::objectValue);
    site["devices"] = Json::Value(Json::arrayValue);
    for (const auto& d : devices) site["devices"].append(d);
    return e2e::JsonText(site, "  ");
}

// Whether the process holds `path` open.
bool HoldsOpen(pid_t pid, const std::string& path) {
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    for (int fd = 0; fd < 1024; ++fd) {
        char target[4096];
        const std::string link = fd_dir + "/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) return true;
    }
    return false;
}

struct Runner {
    std::unique_ptr<Child> child;
    std::vector<Json::Value> events;

    template <typename Pred>
    bool ReadUntil(Pred done, double seconds) {
        const auto deadline = In(seconds);
        while (!done()) {
            auto line = child->ReadLine(deadline);
            if (!line) return false;
            events.push_back(e2e::ParseJson(*line));
        }
        return true;
    }
    size_t Records(unsigned data_id, size_t from = 0) const {
        size_t n = 0;
        for (size_t i = from; i < events.size(); ++i)
            n += events[i]["event"].asString() == "record" &&
                 events[i]["data_id"].asUInt() == data_id;
        return n;
    }
    // The index of the first reload line from `from` on, or npos.
    size_t Reload(size_t from) const {
        for (size_t i = from; i < events.size(); ++i)
            if (events[i]["event"].asString() == "reload") return i;
        return std::string::npos;
    }
    std::string Message(size_t i) const { return events[i]["message"].asString(); }
};

TEST(ReloadE2E, OnlyWhatChangedChangesAndABrokenFileChangesNothing) {
    TempDir dir;
    // Device 102's line: the test holds the other end, to see the runner
    // write to it and then let it go.
    rt::PtyMaster line;
    std::string err;
    ASSERT_TRUE(line.Open(&err)) << err;
    dir.Write("a.json", e2e::JsonText(e2e::FastScenario()));
    dir.Write("c.json", e2e::JsonText(e2e::FastScenario()));
    const Json::Value kept = Device(101, "sim:a.json");
    dir.Write("site.json", Site({kept, Device(102, line.slave_path())}));

    Runner run;
    run.child = std::make_unique<Child>(
        std::vector<std::string>{Q318B_HOST_PATH, "--site", dir / "site.json", "--json", "--no-db",
                                 "--stats-interval", "0.5", "--diag", dir / "diag.log"},
        dir.path());
    const pid_t pid = run.child->pid();
    ASSERT_TRUE(run.ReadUntil([&] { return run.Records(101) >= 2; }, 30))
        << run.child->stderr_text();
    uint8_t buf[512];
    EXPECT_GT(line.Read(buf, sizeof buf), 0) << "device 102 was never polled";
    EXPECT_TRUE(HoldsOpen(pid, line.slave_path()));

    // 102 goes, 103 comes, 101 stays as it is.
    dir.Write("site.json", Site({kept, Device(103, "sim:c.json")}));
    run.child->Signal(SIGHUP);
    ASSERT_TRUE(run.ReadUntil([&] { return run.Reload(0) != std::string::npos; }, 20));
    const size_t first = run.Reload(0);
    const std::string summary = run.Message(first);
    EXPECT_NE(summary.find("1 kept"), std::string::npos) << summary;
    EXPECT_NE(summary.find("added device 103"), std::string::npos) << summary;
    EXPECT_NE(summary.find("removed device 102"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("restarted"), std::string::npos) << summary;
    ASSERT_TRUE(run.ReadUntil(
        [&] { return run.Records(103, first) >= 2 && run.Records(101, first) >= 2; }, 30))
        << run.child->stderr_text();
    EXPECT_FALSE(HoldsOpen(pid, line.slave_path())) << "the removed device's port is still open";
    EXPECT_EQ(run.Records(102), 0u);

    // Not JSON; then a device the plug-in refuses (a rule file it cannot
    // read): both are refused with one line and the site runs on as it was.
    TempDir bad;
    ASSERT_EQ(std::system(("cp -r '" + kBadRules + "/ini' '" + bad.path() + "/'").c_str()), 0);
    Json::Value refused = Device(104, "sim:c.json");
    refused["workdir"] = bad.path();
    refused["settings_file"] = kBadRules + "/settings.json";
    const std::vector<std::string> broken = {"{ \"devices\": [", Site({kept, refused})};
    size_t from = first + 1;
    for (const auto& text : broken) {
        dir.Write("site.json", text);
        run.child->Signal(SIGHUP);
        ASSERT_TRUE(run.ReadUntil([&] { return run.Reload(from) != std::string::npos; }, 20));
        const size_t at = run.Reload(from);
        EXPECT_NE(run.Message(at).find("refused, the running site stays"), std::string::npos)
            << run.Message(at);
        ASSERT_TRUE(run.ReadUntil(
            [&] { return run.Records(103, at) >= 1 && run.Records(101, at) >= 1; }, 30))
            << run.child->stderr_text();
        from = at + 1;
    }
    EXPECT_NE(run.Message(from - 1).find("device 104: settings rejected by the plug-in"),
              std::string::npos)
        << run.Message(from - 1);
    EXPECT_EQ(run.Records(104), 0u);

    // Device 101 was never restarted: its line's counters only grew, and
    // its link never dropped.
    uint64_t last_commands = 0;
    for (const auto& e : run.events) {
        if (e["data_id"].asUInt() != 101) continue;
        EXPECT_NE(e["event"].asString(), "link_lost") << e2e::JsonText(e);
        if (e["event"].asString() != "link_stats") continue;
        const uint64_t commands = e["totals"]["commands"].asUInt64();
        EXPECT_GE(commands, last_commands) << "device 101's counters started again";
        last_commands = commands;
    }
    EXPECT_GT(last_commands, 0u);

    run.child->Signal(SIGTERM);
    EXPECT_EQ(run.child->Wait(In(10)), 0) << run.child->stderr_text();
}

}  // namespace
