#include "service/notifier.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

const char* const kVariables[] = {"Q318B_EVENT",    "Q318B_DATA_ID", "Q318B_DEVICE",
                                  "Q318B_ALARM_ID", "Q318B_KEY",     "Q318B_ALARM_TEXT",
                                  "Q318B_LEVEL",    "Q318B_VALUE",   "Q318B_TIME"};

// How long Stop waits for killed programs to be reaped. SIGKILL is not
// refused, so only a process stuck in the kernel (a dead NFS mount) takes
// longer; the runner does not wait for it.
constexpr double kStopWait = 2.0;
// Without pidfds (kernels before 5.3) the ends of the programs are looked
// for this often.
constexpr int kFallbackTickMs = 20;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int MsUntil(double t) {
    const double ms = std::ceil((t - Now()) * 1000.0);
    return ms <= 0 ? 0 : ms > 1e9 ? 1000000000 : static_cast<int>(ms);
}

std::string Seconds(double s) {
    std::ostringstream o;
    o << s;
    return o.str();
}

// An alarm text or device name in a log line stays on the line.
std::string OneLine(std::string s) {
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return s;
}

std::string SignalName(int sig) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    if (const char* abbrev = sigabbrev_np(sig)) return std::to_string(sig) + " (SIG" + abbrev + ")";
#endif
    return std::to_string(sig);
}

}  // namespace

std::vector<std::string> Notifier::NoticeEnvironment(const AlarmNotice& n) {
    return {
        std::string("Q318B_EVENT=") + (n.raised ? "raised" : "cleared"),
        "Q318B_DATA_ID=" + std::to_string(n.data_id),
        "Q318B_DEVICE=" + n.device,
        "Q318B_ALARM_ID=" + n.alarm_id,
        "Q318B_KEY=" + n.key,
        "Q318B_ALARM_TEXT=" + n.alarm_text,
        "Q318B_LEVEL=" + std::to_string(n.level),
        "Q318B_VALUE=" + n.value_text,
        "Q318B_TIME=" + n.time,
    };
}

Notifier::Notifier(Options options, Log log) : options_(std::move(options)), log_(std::move(log)) {
    if (options_.command.empty()) throw std::invalid_argument("notify: no command");
    // A variable of ours already in the environment would reach the
    // program twice, and which one it reads depends on its libc.
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        bool ours = false;
        for (const char* v : kVariables) {
            const size_t len = std::strlen(v);
            ours =
                ours || (entry.compare(0, len, v) == 0 && entry.size() > len && entry[len] == '=');
        }
        if (!ours) base_env_.push_back(entry);
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) throw std::runtime_error(std::string("notify: eventfd: ") + strerror(errno));
    thread_ = std::thread([this] { Main(); });
}

Notifier::~Notifier() {
    Stop();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void Notifier::Notify(const AlarmNotice& notice) {
    bool burst_starts = false;
    uint64_t dropped = 0;
    size_t bound = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return;
        bound = std::max<size_t>(1, options_.queue);
        // The oldest goes: the latest notice tells the current state of
        // its alarm, an old one may already be undone by a later one.
        while (waiting_.size() >= bound) {
            waiting_.pop_front();
            ++dropped_;
            if (!in_burst_) burst_starts = in_burst_ = true;
        }
        dropped = dropped_;
        waiting_.push_back(notice);
    }
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
    if (burst_starts)
        log_("notify: queue full (" + std::to_string(bound) +
             " waiting): the oldest notices are dropped until it drains (" +
             std::to_string(dropped) + " dropped since the start)");
}

void Notifier::Stop() {
    size_t unsent = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return;
        stopping_ = true;
        unsent = waiting_.size();
        waiting_.clear();
    }
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    if (unsent > 0)
        log_("notify: " + std::to_string(unsent) + " notices not sent, the runner is stopping");
}

uint64_t Notifier::dropped() const {
    std::lock_guard<std::mutex> lock(mu_);
    return dropped_;
}

uint64_t Notifier::started() const {
    std::lock_guard<std::mutex> lock(mu_);
    return started_;
}

std::string Notifier::What(const AlarmNotice& n) const {
    return "notify: " + options_.command[0] + " for " + (n.raised ? "raised" : "cleared") +
           " alarm " + OneLine(n.alarm_id) + " " + OneLine(n.key) + " \"" + OneLine(n.alarm_text) +
           "\" of " + OneLine(n.device) + " (" + std::to_string(n.data_id) + ")";
}

// The end of each program is seen through a pidfd: the thread sleeps in
// poll() until a program ends, a notice comes or the nearest limit is due,
// so a child is reaped the moment it exits and nothing wakes for nothing.
// waitpid(WNOHANG) on a timer would lag by its period or spin, and a
// SIGCHLD handler or waitpid(-1) would belong to the whole process and
// could take the exit of a child someone else started (a test harness
// has its own); only our own pids are ever waited for. A child not yet reaped keeps its pid
// and its process group id, so the kill at the limit, sent before the
// reap, cannot reach a stranger. Kernels without pidfd_open are looked at
// every kFallbackTickMs instead.
void Notifier::Main() {
    const size_t max_running = static_cast<size_t>(std::max(1, options_.max_running));
    for (;;) {
        std::vector<AlarmNotice> to_start;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stopping_) break;
            while (running_.size() + to_start.size() < max_running && !waiting_.empty()) {
                to_start.push_back(std::move(waiting_.front()));
                waiting_.pop_front();
            }
            if (waiting_.empty()) in_burst_ = false;
        }
        bool again = false;
        for (const auto& n : to_start) {
            const size_t before = running_.size();
            Start(n);
            again = again || running_.size() == before;  // a failed start frees its slot
        }

        std::vector<pollfd> fds;
        fds.push_back({wake_fd_, POLLIN, 0});
        int timeout = -1;
        for (const auto& r : running_) {
            fds.push_back({r.pidfd, POLLIN, 0});  // a negative fd is skipped by poll
            if (r.pidfd < 0)
                timeout = timeout < 0 ? kFallbackTickMs : std::min(timeout, kFallbackTickMs);
            if (!r.killed) {
                const int ms = MsUntil(r.deadline);
                timeout = timeout < 0 ? ms : std::min(timeout, ms);
            }
        }
        if (again) timeout = 0;
        if (::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout) < 0 && errno != EINTR) {
            log_(std::string("notify: poll failed: ") + strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!::read(wake_fd_, &count, sizeof count);
        }
        for (size_t i = running_.size(); i-- > 0;) {
            Running& r = running_[i];
            if (r.pidfd >= 0 && fds[i + 1].revents == 0) continue;
            int status = 0;
            if (::waitpid(r.pid, &status, WNOHANG) != r.pid) continue;
            Reap(r, status);
            running_.erase(running_.begin() + static_cast<long>(i));
        }
        const double now = Now();
        for (auto& r : running_) {
            if (r.killed || now < r.deadline) continue;
            ::kill(-r.pid, SIGKILL);
            r.killed = true;
        }
    }
    KillAll();
}

void Notifier::Start(const AlarmNotice& notice) {
    std::vector<char*> argv;
    for (const auto& a : options_.command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env = base_env_;
    for (auto& v : NoticeEnvironment(notice)) env.push_back(std::move(v));
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    // The runner's standard output carries its JSON stream and its other
    // descriptors are lines, sockets and the database: the program sees
    // none of them.
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
#endif
    // Its own process group, so that the kill at the limit takes whatever
    // it started too; signals as a fresh program has them (an ignored
    // SIGPIPE would otherwise be inherited across exec).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        log_(What(notice) + ": cannot start: " + strerror(rc));
        return;
    }
    Running r;
    r.pid = pid;
    r.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (r.pidfd >= 0) ::fcntl(r.pidfd, F_SETFD, FD_CLOEXEC);
    r.started = Now();
    r.deadline = r.started + options_.timeout_s;
    r.notice = notice;
    running_.push_back(std::move(r));
    std::lock_guard<std::mutex> lock(mu_);
    ++started_;
}

void Notifier::Reap(Running& r, int status) {
    if (r.pidfd >= 0) ::close(r.pidfd);
    r.pidfd = -1;
    if (r.killed)
        log_(What(r.notice) + ": killed at the " + Seconds(options_.timeout_s) +
             " s limit, still running");
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        log_(What(r.notice) + ": exit status " + std::to_string(WEXITSTATUS(status)));
    else if (WIFSIGNALED(status))
        log_(What(r.notice) + ": killed by signal " + SignalName(WTERMSIG(status)));
}

void Notifier::KillAll() {
    for (auto& r : running_) ::kill(-r.pid, SIGKILL);
    const double until = Now() + kStopWait;
    while (!running_.empty()) {
        std::vector<pollfd> fds;
        bool fallback = false;
        for (const auto& r : running_) {
            fds.push_back({r.pidfd, POLLIN, 0});
            fallback = fallback || r.pidfd < 0;
        }
        const int left = MsUntil(until);
        ::poll(fds.data(), static_cast<nfds_t>(fds.size()),
               fallback ? std::min(left, kFallbackTickMs) : left);
        for (size_t i = running_.size(); i-- > 0;) {
            Running& r = running_[i];
            int status = 0;
            if (::waitpid(r.pid, &status, WNOHANG) != r.pid) continue;
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
                if (r.pidfd >= 0) ::close(r.pidfd);
                log_(What(r.notice) + ": killed, the runner is stopping");
            } else {
                Reap(r, status);  // it ended by itself meanwhile
            }
            running_.erase(running_.begin() + static_cast<long>(i));
        }
        if (Now() >= until) break;
    }
    for (auto& r : running_) {
        if (r.pidfd >= 0) ::close(r.pidfd);
        log_(What(r.notice) + ": pid " + std::to_string(r.pid) +
             " did not end after SIGKILL; left behind");
    }
    running_.clear();
}
