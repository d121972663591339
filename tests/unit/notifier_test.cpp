// The notifier with real programs: small sh scripts written into a scratch
// folder record what they were given (environment, arguments, descriptors,
// process group) and when they started and ended, so that every check reads
// the programs' own records. Waits are for conditions, each bounded.
#include "service/notifier.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Checks `cond` until it holds or `seconds` have passed.
bool WaitFor(const std::function<bool()>& cond, double seconds = 10) {
    const auto until = e2e::In(seconds);
    for (;;) {
        if (cond()) return true;
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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

// `env -0` output as a map; a name given twice is kept as "<twice>".
std::map<std::string, std::string> EnvOf(const std::string& text) {
    std::map<std::string, std::string> out;
    for (const auto& e : Split(text, '\0')) {
        const auto eq = e.find('=');
        const std::string name = e.substr(0, eq);
        out[name] = out.count(name) ? "<twice>" : e.substr(eq + 1);
    }
    return out;
}

// The pgrp and state of every process, from /proc.
bool GroupGone(pid_t pgid) {
    if (::kill(-pgid, 0) == -1 && errno == ESRCH) return true;
    // An orphan killed with the group waits for init to reap it; where
    // init does not, it is dead but still counted in its group.
    DIR* d = ::opendir("/proc");
    if (d == nullptr) return false;
    bool alive = false;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        const std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
        const auto paren = stat.rfind(')');
        if (paren == std::string::npos) continue;
        std::istringstream in(stat.substr(paren + 1));
        char state = 0;
        long ppid = 0, pgrp = 0;
        in >> state >> ppid >> pgrp;
        if (pgrp == pgid && state != 'Z') alive = true;
    }
    ::closedir(d);
    return !alive;
}

// No child of this process has ended without being reaped.
bool NoZombieChildren() {
    siginfo_t info{};
    const int rc = ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT);
    return rc == -1 ? errno == ECHILD : info.si_pid == 0;
}

// Every program has ended and been reaped: this process has no children.
bool NoChildren() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

class NotifierTest : public ::testing::Test {
  protected:
    // An executable sh script in the scratch folder; its path.
    std::string Script(const std::string& name, const std::string& body) {
        const std::string path = dir_ / name;
        dir_.Write(name, "#!/bin/sh\n" + body);
        EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
        return path;
    }

    Notifier::Log Collector() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mu_);
            log_.push_back(line);
        };
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(mu_);
        return log_;
    }
    // Log lines holding `piece`.
    std::vector<std::string> Lines(const std::string& piece) {
        std::vector<std::string> out;
        for (const auto& l : Log())
            if (l.find(piece) != std::string::npos) out.push_back(l);
        return out;
    }
    std::string LogText() {
        std::string s;
        for (const auto& l : Log()) s += l + "\n";
        return s;
    }

    // The lines of a file the scripts append to.
    std::vector<std::string> Records(const std::string& name) {
        return Split(ReadFile(dir_ / name), '\n');
    }

    static AlarmNotice Notice(const std::string& alarm_id, bool raised = true) {
        AlarmNotice n;
        n.raised = raised;
        n.data_id = 1001;
        n.device = "east";
        n.alarm_id = alarm_id;
        n.key = "k-" + alarm_id;
        n.alarm_text = "text " + alarm_id;
        n.value_text = "1";
        n.level = 2;
        n.time = "2024-05-02 10:15:00";
        return n;
    }

    static Notifier::Options Options(std::vector<std::string> command, int max_running = 4,
                                     double timeout_s = 10, size_t queue = 1000) {
        Notifier::Options o;
        o.command = std::move(command);
        o.max_running = max_running;
        o.timeout_s = timeout_s;
        o.queue = queue;
        return o;
    }

    e2e::TempDir dir_;
    std::mutex mu_;
    std::vector<std::string> log_;
};

TEST_F(NotifierTest, TheProgramGetsTheAlarmInItsEnvironmentAndNothingOfTheRunners) {
    // A descriptor of the runner's (a line, a socket) without close-on-exec.
    const int leak = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leak, 0);
    ASSERT_EQ(::dup2(leak, 57), 57);
    ::close(leak);
    const std::string prog = Script("env.sh", R"(out=$1
f0=$(readlink /proc/$$/fd/0); f1=$(readlink /proc/$$/fd/1); f2=$(readlink /proc/$$/fd/2)
{ echo "$f0"; echo "$f1"; echo "$f2"
  [ -e /proc/$$/fd/57 ] && echo leaked57
  cut -d' ' -f5 /proc/$$/stat; echo $$; } > "$out/fds.$Q318B_EVENT"
env -0 > "$out/env.tmp.$$" && mv "$out/env.tmp.$$" "$out/env.$Q318B_EVENT"
)");
    ::setenv("Q318B_INHERITED", "from the runner", 1);
    ::setenv("Q318B_EVENT", "stale", 1);  // replaced, not doubled
    Notifier n(Options({prog, dir_.path()}, 1), Collector());
    ::unsetenv("Q318B_INHERITED");
    ::unsetenv("Q318B_EVENT");

    AlarmNotice raised;
    raised.raised = true;
    raised.data_id = 4294967295u;
    raised.device = "demo \"east\" rack 2";
    raised.alarm_id = "419415001";
    raised.key = "PowerOff";
    raised.alarm_text = "市电停电 'mains' $HOME; off";
    raised.value_text = "0.0 V";
    raised.level = 3;
    raised.time = "2024-05-02 10:15:00";
    AlarmNotice cleared = raised;
    cleared.raised = false;
    cleared.value_text = "229.5 V";
    cleared.time = "2024-05-02 10:15:07";
    n.Notify(raised);
    n.Notify(cleared);
    ASSERT_TRUE(WaitFor([&] {
        return e2e::FileExists(dir_ / "env.raised") && e2e::FileExists(dir_ / "env.cleared");
    })) << LogText();
    ::close(57);
    // A program that has written its files may still be on its way out.
    ASSERT_TRUE(WaitFor(NoChildren)) << LogText();

    for (const AlarmNotice* a : {&raised, &cleared}) {
        const std::string event = a->raised ? "raised" : "cleared";
        auto env = EnvOf(ReadFile(dir_ / ("env." + event)));
        const std::map<std::string, std::string> want = {
            {"Q318B_EVENT", event},
            {"Q318B_DATA_ID", "4294967295"},
            {"Q318B_DEVICE", "demo \"east\" rack 2"},
            {"Q318B_ALARM_ID", "419415001"},
            {"Q318B_KEY", "PowerOff"},
            {"Q318B_ALARM_TEXT", "市电停电 'mains' $HOME; off"},
            {"Q318B_LEVEL", "3"},
            {"Q318B_VALUE", a->value_text},
            {"Q318B_TIME", a->time},
            {"Q318B_INHERITED", "from the runner"},
        };
        for (const auto& w : want) EXPECT_EQ(env[w.first], w.second) << event << " " << w.first;
        EXPECT_FALSE(env["PATH"].empty()) << "the runner's environment is passed on";

        const auto fds = Split(ReadFile(dir_ / ("fds." + event)), '\n');
        ASSERT_EQ(fds.size(), 5u) << event << ": " << ReadFile(dir_ / ("fds." + event));
        EXPECT_EQ(fds[0], "/dev/null");
        EXPECT_EQ(fds[1], "/dev/null");
        EXPECT_EQ(fds[2], "/dev/null");
        EXPECT_EQ(fds[3], fds[4]) << "a process group of its own";
        EXPECT_NE(fds[3], std::to_string(::getpgrp()));
    }
    n.Stop();
    EXPECT_TRUE(Log().empty()) << LogText();
    EXPECT_EQ(n.started(), 2u);
    EXPECT_TRUE(NoZombieChildren());
}

TEST_F(NotifierTest, ArgumentsArriveAsGivenWithNoShellBetween) {
    const std::string prog = Script("args.sh", R"(out=$1; shift
printf '%s\0' "$@" > "$out/args.tmp" && mv "$out/args.tmp" "$out/args"
)");
    const std::vector<std::string> args = {
        "--site", "east", "two words", "it's \"quoted\"", "$HOME", "a;b|c > d", "*", "",
    };
    std::vector<std::string> command = {prog, dir_.path()};
    command.insert(command.end(), args.begin(), args.end());
    Notifier n(Options(command), Collector());
    n.Notify(Notice("A"));
    ASSERT_TRUE(WaitFor([&] { return e2e::FileExists(dir_ / "args"); })) << LogText();
    const std::string got = ReadFile(dir_ / "args");
    std::string want;
    for (const auto& a : args) want += a + '\0';
    EXPECT_EQ(got, want);
    EXPECT_FALSE(e2e::FileExists(dir_ / " d")) << "a shell would have redirected";
}

TEST_F(NotifierTest, OneAtATimeRunsInTheOrderOfTheEvents) {
    const std::string prog = Script("order.sh", R"(echo "$Q318B_ALARM_ID $Q318B_EVENT" >> "$1/order"
)");
    Notifier n(Options({prog, dir_.path()}, 1), Collector());
    std::vector<std::string> want;
    for (int i = 0; i < 8; ++i) {
        const bool raised = i % 3 != 2;
        n.Notify(Notice("A" + std::to_string(i), raised));
        want.push_back("A" + std::to_string(i) + (raised ? " raised" : " cleared"));
    }
    ASSERT_TRUE(WaitFor([&] { return Records("order").size() >= want.size(); })) << LogText();
    EXPECT_EQ(Records("order"), want);
}

TEST_F(NotifierTest, NeverMoreThanMaxRunningAtOnce) {
    // Each program records its start, waits for the gate, records its end;
    // the first ones are held until the test has seen them start.
    const std::string prog = Script("gate.sh", R"(out=$1
echo "start $$" >> "$out/log"
i=0
while [ ! -e "$out/gate" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done
echo "end $$" >> "$out/log"
)");
    const struct {
        int max_running;
        int notices;
    } cases[] = {{2, 6}, {3, 7}, {1, 3}};
    for (const auto& c : cases) {
        ::unlink((dir_ / "gate").c_str());
        ::unlink((dir_ / "log").c_str());
        Notifier n(Options({prog, dir_.path()}, c.max_running), Collector());
        for (int i = 0; i < c.notices; ++i) n.Notify(Notice("C" + std::to_string(i)));
        const auto starts = [&] {
            const auto r = Records("log");
            return std::count_if(r.begin(), r.end(),
                                 [](const std::string& l) { return l.rfind("start", 0) == 0; });
        };
        ASSERT_TRUE(WaitFor([&] { return starts() >= c.max_running; })) << LogText();
        dir_.Write("gate", "");
        ASSERT_TRUE(WaitFor([&] { return Records("log").size() == 2u * c.notices; }))
            << ReadFile(dir_ / "log");
        ASSERT_TRUE(WaitFor(NoChildren)) << LogText();
        int now = 0, most = 0;
        for (const auto& l : Records("log")) {
            now += l.rfind("start", 0) == 0 ? 1 : -1;
            most = std::max(most, now);
        }
        EXPECT_EQ(most, c.max_running) << "max_running " << c.max_running << "\n"
                                       << ReadFile(dir_ / "log");
        n.Stop();
        EXPECT_EQ(n.started(), static_cast<uint64_t>(c.notices));
    }
    EXPECT_TRUE(Log().empty()) << LogText();
}

TEST_F(NotifierTest, AProgramPastItsLimitIsKilledWithItsGroupAndTheNextOneRuns) {
    const std::string prog = Script("hang.sh", R"(out=$1
if [ "$Q318B_ALARM_ID" = hang ]; then
  sleep 30 &
  echo $! > "$out/child"
  echo $$ > "$out/leader.tmp" && mv "$out/leader.tmp" "$out/leader"
  wait
fi
echo "$Q318B_ALARM_ID" >> "$out/done"
)");
    Notifier n(Options({prog, dir_.path()}, 1, 0.2), Collector());
    const auto sent = Clock::now();
    n.Notify(Notice("hang"));
    n.Notify(Notice("next"));
    ASSERT_TRUE(WaitFor([&] { return !Lines("killed at the 0.2 s limit").empty(); })) << LogText();
    const double after = std::chrono::duration<double>(Clock::now() - sent).count();
    EXPECT_GE(after, 0.2) << "killed before its limit";
    const auto killed = Lines("killed at the 0.2 s limit");
    ASSERT_EQ(killed.size(), 1u) << LogText();
    EXPECT_NE(killed[0].find(prog), std::string::npos) << killed[0];
    EXPECT_NE(killed[0].find("raised alarm hang"), std::string::npos) << killed[0];

    ASSERT_TRUE(e2e::FileExists(dir_ / "leader")) << "killed before it had begun";
    const pid_t leader = std::stoi(ReadFile(dir_ / "leader"));
    const pid_t child = std::stoi(ReadFile(dir_ / "child"));
    EXPECT_TRUE(WaitFor([&] { return GroupGone(leader); }, 5)) << "group " << leader << " lives";
    EXPECT_TRUE(::kill(child, 0) != 0 ||
                ReadFile("/proc/" + std::to_string(child) + "/stat").find(") Z") !=
                    std::string::npos)
        << "the program's own child survived";
    ASSERT_TRUE(WaitFor([&] { return Records("done") == std::vector<std::string>{"next"}; }))
        << ReadFile(dir_ / "done") << LogText();
    n.Stop();
    EXPECT_TRUE(NoZombieChildren());
}

TEST_F(NotifierTest, EveryFailureIsOneLineNamingTheProgramAndTheAlarm) {
    const struct {
        const char* name;
        const char* body;  // nullptr: no such program
        const char* expect;
    } cases[] = {
        {"exit3.sh", "exit 3\n", "exit status 3"},
        {"signal.sh", "kill -TERM $$\n", "killed by signal 15"},
        {"missing.sh", nullptr, "cannot start: No such file or directory"},
        {"badinterp.sh", nullptr, "cannot start:"},
    };
    const auto clear_log = [this] {
        std::lock_guard<std::mutex> lock(mu_);
        log_.clear();
    };
    for (const auto& c : cases) {
        clear_log();
        std::string prog = dir_ / c.name;
        if (c.body) prog = Script(c.name, c.body);
        if (std::string(c.name) == "badinterp.sh") {
            dir_.Write(c.name, "#!/no/such/interpreter\n");
            ASSERT_EQ(::chmod(prog.c_str(), 0755), 0);
        }
        Notifier n(Options({prog}, 1), Collector());
        n.Notify(Notice("F1"));
        n.Notify(Notice("F2", false));
        ASSERT_TRUE(WaitFor([&] { return Lines(c.expect).size() >= 2; }))
            << c.name << ": " << LogText();
        n.Stop();
        const auto lines = Log();
        ASSERT_EQ(lines.size(), 2u) << c.name << ": " << LogText();
        EXPECT_NE(lines[0].find("raised alarm F1"), std::string::npos) << lines[0];
        EXPECT_NE(lines[1].find("cleared alarm F2"), std::string::npos) << lines[1];
        for (const auto& l : lines) {
            EXPECT_NE(l.find(prog), std::string::npos) << l;
            EXPECT_EQ(l.find('\n'), std::string::npos) << l;
        }
        EXPECT_TRUE(NoZombieChildren()) << c.name;
    }
    // Success is not logged: a good run before a failing one leaves only
    // the failing one's line.
    clear_log();
    const std::string prog = Script("some.sh", R"([ "$Q318B_ALARM_ID" = bad ] && exit 1; exit 0
)");
    Notifier n(Options({prog}, 1), Collector());
    n.Notify(Notice("good"));
    n.Notify(Notice("bad"));
    ASSERT_TRUE(WaitFor([&] { return !Lines("exit status 1").empty(); })) << LogText();
    n.Stop();
    EXPECT_EQ(Log().size(), 1u) << LogText();
}

TEST_F(NotifierTest, AFullQueueDropsTheOldestCountsAndLogsOncePerBurst) {
    // "hold" programs wait for their own gate, so the queue fills behind them.
    const std::string prog = Script("queue.sh", R"(out=$1
echo "$Q318B_ALARM_ID" >> "$out/started"
case "$Q318B_ALARM_ID" in hold*)
  i=0
  while [ ! -e "$out/gate.$Q318B_ALARM_ID" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done
esac
)");
    Notifier n(Options({prog, dir_.path()}, 1, 30, 2), Collector());
    const auto started = [&](size_t k) {
        return WaitFor([&] { return Records("started").size() >= k; });
    };
    n.Notify(Notice("hold1"));
    ASSERT_TRUE(started(1)) << LogText();
    for (const char* id : {"B", "C", "D", "E"}) n.Notify(Notice(id));  // B and C go
    EXPECT_EQ(n.dropped(), 2u);
    EXPECT_EQ(Lines("queue full").size(), 1u) << LogText();
    dir_.Write("gate.hold1", "");
    ASSERT_TRUE(started(3)) << LogText();
    EXPECT_EQ(Records("started"), (std::vector<std::string>{"hold1", "D", "E"}));

    // Once the queue has drained, the next burst is logged again.
    n.Notify(Notice("hold2"));
    ASSERT_TRUE(started(4)) << LogText();
    for (const char* id : {"F", "G", "H"}) n.Notify(Notice(id));  // F goes
    EXPECT_EQ(n.dropped(), 3u);
    EXPECT_EQ(Lines("queue full").size(), 2u) << LogText();
    dir_.Write("gate.hold2", "");
    ASSERT_TRUE(started(6)) << LogText();
    EXPECT_EQ(Records("started"), (std::vector<std::string>{"hold1", "D", "E", "hold2", "G", "H"}));
    ASSERT_TRUE(WaitFor(NoChildren)) << LogText();
    n.Stop();
    EXPECT_EQ(Log().size(), 2u) << LogText();
}

TEST_F(NotifierTest, StopKillsWhatRunsDropsWhatWaitsAndReapsEverything) {
    const std::string prog = Script("long.sh", R"(out=$1
echo $$ > "$out/pid.tmp" && mv "$out/pid.tmp" "$out/pid"
exec sleep 30
)");
    auto n = std::make_unique<Notifier>(Options({prog, dir_.path()}, 1), Collector());
    n->Notify(Notice("long"));
    n->Notify(Notice("waits"));
    ASSERT_TRUE(WaitFor([&] { return e2e::FileExists(dir_ / "pid"); })) << LogText();
    const pid_t pid = std::stoi(ReadFile(dir_ / "pid"));
    const auto t0 = Clock::now();
    n.reset();  // the destructor stops
    // Bounded: far below the program's own 30 s and the notice's 10 s limit.
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 5.0);
    EXPECT_TRUE(GroupGone(pid));
    EXPECT_TRUE(NoZombieChildren());
    EXPECT_EQ(Lines("killed, the runner is stopping").size(), 1u) << LogText();
    EXPECT_EQ(Lines("1 notices not sent").size(), 1u) << LogText();
}

}  // namespace
