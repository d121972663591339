// 1,000 devices publishing through the runner's one MQTT connection, each
// at one round per 10 s (100 states a second, spread evenly), to a real
// mosquitto on a loopback port that the benchmark starts itself. Counted:
// what the poll loop's hand-over costs (the State() call), the states that
// reached a subscriber, and the broker's own count of PUBLISH messages
// received, per minute. Q318B_MQTT_SECONDS sets the run (default 60).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/alloc_count.h"
#include "protocol/record.h"
#include "service/mqtt_publisher.h"
#include "tests/e2e/e2e_process.h"

extern char** environ;

namespace {

constexpr unsigned kDevices = 1000;
constexpr double kRoundSeconds = 10;

bool WaitFor(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

struct Broker {
    pid_t pid = -1;
    int port = 0;
    std::string dir;
    bool Start(std::string* err) {
        char tmpl[] = "/tmp/q318b-mqtt-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return *err = "no temp folder", false;
        dir = tmpl;
        port = e2e::FreePort();
        std::ofstream(dir + "/mosquitto.conf")
            << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
            << "sys_interval 1\nmax_queued_messages 100000\n";
        const std::string conf = dir + "/mosquitto.conf";
        const char* argv[] = {"mosquitto", "-c", conf.c_str(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        const int rc =
            posix_spawnp(&pid, "mosquitto", &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            return *err = "cannot start mosquitto (scripts/bootstrap.sh installs it)", false;
        return true;
    }
    ~Broker() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
};

// Counts what arrives under the benchmark's prefix, and the broker's
// PUBLISH count from $SYS.
struct Counter {
    mosquitto* m = nullptr;
    std::atomic<long> states{0};
    std::atomic<long> broker_received{-1};
    std::atomic<long> broker_bytes{-1};
    std::atomic<bool> subscribed{false};
    bool Start(int port) {
        m = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m, [](mosquitto* m, void*, int rc) {
            if (rc != 0) return;
            mosquitto_subscribe(m, nullptr, "bench/+/state", 0);
            mosquitto_subscribe(m, nullptr, "$SYS/broker/#", 0);
        });
        mosquitto_subscribe_callback_set(m, [](mosquitto*, void* obj, int, int, const int*) {
            static_cast<Counter*>(obj)->subscribed = true;
        });
        mosquitto_message_callback_set(m, [](mosquitto*, void* obj, const mosquitto_message* msg) {
            auto* c = static_cast<Counter*>(obj);
            // Every message of any kind the broker took in; PUBLISH counts of
            // this broker release stay at 0 for these clients.
            if (std::strcmp(msg->topic, "$SYS/broker/messages/received") == 0)
                c->broker_received = std::atol(static_cast<const char*>(msg->payload));
            else if (std::strcmp(msg->topic, "$SYS/broker/publish/bytes/received") == 0)
                c->broker_bytes = std::atol(static_cast<const char*>(msg->payload));
            else if (std::strncmp(msg->topic, "$SYS/", 5) == 0)
                return;
            else if (!msg->retain)
                ++c->states;
        });
        // The broker may still be starting: try for a while.
        if (!WaitFor(
                [&] { return mosquitto_connect(m, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS; },
                10))
            return false;
        return mosquitto_loop_start(m) == MOSQ_ERR_SUCCESS;
    }
    ~Counter() {
        if (m != nullptr) {
            mosquitto_disconnect(m);
            mosquitto_loop_stop(m, true);
            mosquitto_destroy(m);
        }
    }
};

void BM_Mqtt1000DevicesOneRoundPer10s(benchmark::State& state) {
    const char* env = std::getenv("Q318B_MQTT_SECONDS");
    const double seconds = env != nullptr ? std::atof(env) : 60.0;
    mosquitto_lib_init();
    std::string err;
    Broker broker;
    if (!broker.Start(&err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    Counter counter;
    if (!counter.Start(broker.port) || !WaitFor([&] { return counter.subscribed.load(); }, 10)) {
        state.SkipWithError("the counting subscriber did not connect");
        return;
    }

    MqttPublisher::Options o;
    o.config.enabled = true;
    o.config.host = "127.0.0.1";
    o.config.port = broker.port;
    o.config.topic_prefix = "bench";
    o.config.client_id = "q318b-bench";
    for (unsigned id = 1; id <= kDevices; ++id) o.devices.insert(id);
    std::atomic<long> log_lines{0};
    o.log = [&](const std::string&) { ++log_lines; };
    MqttPublisher pub(o);
    pub.Start();

    // A record of the size and shape of a large site's.
    q318b_419_Data_t rec{};
    rec.ac.channel_count = 2;
    rec.rc.channel_count = 40;
    rec.rc.v = 53.5f;
    std::vector<uint8_t> bytes(sizeof rec);
    std::memcpy(bytes.data(), &rec, sizeof rec);

    // The broker reports its count every second ($SYS, sys_interval 1).
    WaitFor([&] { return counter.broker_received.load() >= 0; }, 5);
    const long broker_before = counter.broker_received.load();
    const long bytes_before = counter.broker_bytes.load();
    double call_total = 0, call_max = 0;
    long handed = 0;
    uint64_t allocs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto every = std::chrono::duration<double>(kRoundSeconds / kDevices);
        auto next = start;
        unsigned id = 1;
        while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
            std::this_thread::sleep_until(next);
            next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(every);
            const auto t0 = std::chrono::steady_clock::now();
            // The poll loop's side of a device's round; the MQTT thread
            // allocates on its own meanwhile.
            const bench::AllocSpan span(bench::AllocSpan::Scope::kThisThread);
            pub.State(id, "device " + std::to_string(id), bytes,
                      static_cast<double>(std::time(nullptr)), {});
            const double d =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            allocs += span.Count();
            call_total += d;
            call_max = std::max(call_max, d);
            ++handed;
            id = id % kDevices + 1;
        }
        state.SetIterationTime(seconds);
    }
    // What was handed over has had a moment to reach the subscriber and the
    // broker's next $SYS report.
    WaitFor([&] { return counter.states.load() >= handed; }, 10);
    const long got = counter.states.load();
    const long broker_before_seen = broker_before;
    WaitFor([&] { return counter.broker_received.load() >= broker_before_seen + got; }, 5);
    const long broker_after = counter.broker_received.load();
    const long bytes_after = counter.broker_bytes.load();
    pub.Stop();
    const double minutes = seconds / 60.0;
    state.counters["handed_per_min"] = static_cast<double>(handed) / minutes;
    state.counters["states_received_per_min"] = static_cast<double>(got) / minutes;
    state.counters["broker_messages_received_per_min"] =
        broker_before >= 0 && broker_after >= 0
            ? static_cast<double>(broker_after - broker_before) / minutes
            : -1;
    state.counters["broker_publish_bytes_per_min"] =
        bytes_before >= 0 && bytes_after >= 0
            ? static_cast<double>(bytes_after - bytes_before) / minutes
            : -1;
    state.counters["state_call_mean_us"] = handed > 0 ? call_total / handed * 1e6 : 0;
    state.counters["state_call_max_us"] = call_max * 1e6;
    state.counters["log_lines"] = static_cast<double>(log_lines.load());
    state.counters["allocs_per_round"] =
        handed > 0 ? static_cast<double>(allocs) / static_cast<double>(handed) : 0;
    mosquitto_lib_cleanup();
}

}  // namespace

BENCHMARK(BM_Mqtt1000DevicesOneRoundPer10s)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
