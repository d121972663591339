// The large site paced at 9600 baud while 100 clients scrape /metrics every
// 100 ms: the poll loop must not notice. Rounds run back to back for the
// benchmark's duration (Q318B_SCRAPE_SECONDS, default 60) with the runner's
// snapshot published after each; the counters give the round time against
// the line's floor and the scrapes' latency.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/paced_round.h"
#include "runtime/framework/diag_redirect.h"
#include "service/http_service.h"

namespace {

constexpr int kClients = 100;
constexpr auto kScrapeEvery = std::chrono::milliseconds(100);

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

void Publish(SiteStateHolder& holder, PacedLargeSite& site, long rounds) {
    auto state = std::make_shared<SiteState>();
    DeviceState d;
    d.data_id = 7;
    d.name = "large";
    const auto published = site.rig().services->Of(HostCall::Kind::kPublish);
    if (!published.empty()) d.record = published.back().bytes;
    d.record_time =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    d.link_up = true;
    d.rounds = rounds;
    state->devices.push_back(std::move(d));
    holder.Publish(std::move(state));
}

void BM_ScrapedWireRoundLargeSite9600(benchmark::State& state) {
    const char* env = std::getenv("Q318B_SCRAPE_SECONDS");
    const double seconds = env != nullptr ? std::atof(env) : 60.0;
    double round_s = 0, floor_s = 0, worst_pct = 0;
    int rounds = 0;
    uint64_t allocs = 0;
    std::vector<double> latencies_ms;
    std::atomic<long> failures{0};
    {
        DiagRedirect quiet("");
        PacedLargeSite site;
        std::string err;
        if (!site.Start(&err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        auto holder = std::make_shared<SiteStateHolder>();
        Publish(*holder, site, 1);
        ServiceContext ctx;
        ctx.holder = holder;
        // The kernel's pick of port: bind, then read which one it was.
        auto http = HttpService::Bind("127.0.0.1", 0, ctx, &err);
        if (!http) {
            state.SkipWithError(err.c_str());
            return;
        }
        const int port = http->port();
        http->Start();

        std::atomic<bool> stop{false};
        std::mutex mu;
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                httplib::Client client("127.0.0.1", port);
                client.set_keep_alive(true);
                client.set_read_timeout(5, 0);
                std::vector<double> mine;
                // Spread the clients over the interval, as independent
                // scrapers would be.
                auto next = std::chrono::steady_clock::now() + kScrapeEvery * c / kClients;
                while (!stop) {
                    std::this_thread::sleep_until(next);
                    next += kScrapeEvery;
                    const auto t0 = std::chrono::steady_clock::now();
                    auto res = client.Get("/metrics");
                    const auto t1 = std::chrono::steady_clock::now();
                    if (!res || res->status != 200 || res->body.size() < 1000) {
                        ++failures;
                        continue;
                    }
                    mine.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
                }
                std::lock_guard<std::mutex> lock(mu);
                latencies_ms.insert(latencies_ms.end(), mine.begin(), mine.end());
            });
        }

        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (auto _ : state) {
            while (std::chrono::steady_clock::now() < end) {
                // The loop's thread only: the listener and the scrapers
                // allocate on theirs all the while.
                const bench::AllocSpan span(bench::AllocSpan::Scope::kThisThread);
                const PacedRound r = site.Round();
                allocs += span.Count();
                round_s += r.round_s;
                floor_s += r.floor_s;
                worst_pct = std::max(worst_pct, (r.round_s / r.floor_s - 1) * 100);
                ++rounds;
                Publish(*holder, site, rounds + 1);
            }
            state.SetIterationTime(round_s);
        }
        stop = true;
        for (auto& t : clients) t.join();
        http->Stop();
    }
    if (rounds == 0) return;
    state.counters["rounds"] = rounds;
    state.counters["round_s"] = round_s / rounds;
    state.counters["floor_s"] = floor_s / rounds;
    state.counters["over_pct"] = (round_s / floor_s - 1) * 100;
    state.counters["worst_pct"] = worst_pct;
    state.counters["scrapes"] = static_cast<double>(latencies_ms.size());
    state.counters["failed"] = static_cast<double>(failures.load());
    state.counters["scrape_p50_ms"] = Percentile(latencies_ms, 0.50);
    state.counters["scrape_p99_ms"] = Percentile(latencies_ms, 0.99);
    state.counters["scrape_max_ms"] = Percentile(latencies_ms, 1.0);
    state.counters["allocs_per_round"] = static_cast<double>(allocs) / rounds;
}

}  // namespace

BENCHMARK(BM_ScrapedWireRoundLargeSite9600)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
