// Runs the site's notify program on every alarm raise and clear, the way
// a UPS daemon runs its NOTIFYCMD: one process per notice, the alarm in its
// environment, never through a shell.
//
// The poll loop only queues a notice; a thread of the notifier's own starts
// the programs, at most `max_running` at a time and in the order of the
// events, kills one that outlives `timeout_s` together with its process
// group, and reaps every child. A slow, hanging or missing program costs a
// log line, never a round.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AlarmNotice {
    bool raised = true;  // false: cleared
    unsigned int data_id = 0;
    std::string device;  // the device's name
    std::string alarm_id;
    std::string key;
    std::string alarm_text;
    std::string value_text;
    int level = 0;
    std::string time;  // the event's local time, "YYYY-MM-DD hh:mm:ss"
};

class Notifier {
  public:
    struct Options {
        std::vector<std::string> command;  // argv; command[0] a path
        double timeout_s = 10;
        int max_running = 4;
        size_t queue = 1000;
    };
    // Called from the notifier's thread (and from Notify for nothing but
    // the queue); must be thread-safe.
    using Log = std::function<void(const std::string&)>;

    // Starts the thread. The environment the programs get is the process's
    // as it is now, plus the notice's variables.
    Notifier(Options options, Log log);
    // Stop().
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Queues a notice and returns at once. A full queue drops its oldest
    // waiting notice to make room.
    void Notify(const AlarmNotice& notice);

    // Drops what waits, kills what runs (its process group), reaps it and
    // joins the thread; bounded in time. Safe to call twice.
    void Stop();

    // Notices dropped because the queue was full, since the start.
    uint64_t dropped() const;
    // Programs started so far (failed starts not counted).
    uint64_t started() const;

    // The variables a program gets for `notice`, as NAME=VALUE.
    static std::vector<std::string> NoticeEnvironment(const AlarmNotice& notice);

  private:
    struct Running {
        pid_t pid = -1;
        int pidfd = -1;  // -1: the kernel has no pidfd_open; polled instead
        double deadline = 0;
        double started = 0;
        bool killed = false;  // at the limit
        AlarmNotice notice;
    };

    void Main();
    void Start(const AlarmNotice& notice);
    void Reap(Running& r, int status);
    void KillAll();
    std::string What(const AlarmNotice& n) const;

    const Options options_;
    const Log log_;
    std::vector<std::string> base_env_;  // without our own variables
    int wake_fd_ = -1;                   // eventfd: a notice came, or Stop

    mutable std::mutex mu_;
    std::deque<AlarmNotice> waiting_;
    bool stopping_ = false;
    bool in_burst_ = false;  // drops since the queue last ran empty
    uint64_t dropped_ = 0;
    uint64_t started_ = 0;

    std::vector<Running> running_;  // the thread's own
    std::thread thread_;
};
