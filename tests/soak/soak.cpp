#include "tests/soak/soak.h"

#include <json/reader.h>
#include <json/writer.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

#include "device/q318b_419.h"
#include "runtime/framework/diag_redirect.h"
#include "runtime/site/record_json.h"
#include "runtime/site/site_config.h"
#include "runtime/site/site_services.h"
#include "runtime/wire/event_loop.h"
#include "runtime/wire/transport.h"
#include "sim/scenario.h"
#include "sim/server.h"
#include "tests/support/record_diff.h"
#include "tests/support/virtual_time.h"

namespace soak {

namespace {

constexpr const char* kCommands[] = {"40 41", "40 43", "40 44", "41 41",
                                     "41 43", "41 44", "42 41", "42 44"};
constexpr size_t kMaxNotes = 20;

template <typename T>
T Pick(std::mt19937_64& rng, T lo, T hi) {
    if constexpr (std::is_integral_v<T>)
        return std::uniform_int_distribution<T>(lo, hi)(rng);
    else
        return std::uniform_real_distribution<T>(lo, hi)(rng);
}

// The arguments of one fault, drawn so that each kind shows its worst:
// replies later than any timeout, noise that holds a frame start, silence
// longer than a whole chain of retries.
Json::Value ArgsFor(const std::string& kind, std::mt19937_64& rng) {
    Json::Value a(Json::objectValue);
    if (kind == "delay") {
        a["ms"] = Pick(rng, 800, 5000);
    } else if (kind == "silence") {
        a["duration"] = Pick(rng, 1.0, 30.0);
    } else if (kind == "garbage") {
        a["text"] = Pick(rng, 0, 1) == 0 ? std::string("~\r") : std::string("~20014100\r\n#");
    } else if (kind == "noise") {
        a["where"] = Pick(rng, 0, 1) == 0 ? "before" : "inside";
    } else if (kind == "drop") {
        a["bytes"] = Pick(rng, 1, 12);
    } else if (kind == "rtn") {
        const int codes[] = {1, 2, 3, 4, 5, 6, 0x80};
        a["code"] = codes[Pick<size_t>(rng, 0, 6)];
    }
    return a;
}

std::string Join(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) out += (out.empty() ? "" : "; ") + s;
    return out;
}

}  // namespace

const std::vector<std::string>& FaultKinds() {
    static const std::vector<std::string> kinds = {
        "delay",   "duplicate", "echo",   "wrong_address", "wrong_unit",   "noise",      "drop",
        "silence", "garbage",   "garble", "truncate",      "bad_checksum", "bad_length", "rtn",
    };
    return kinds;
}

Result Run(const Options& opt) {
    Result res;
    const SiteConfig site = LoadSiteConfig(opt.source_dir + "/examples/site.json");
    const DeviceConfig& cfg = site.devices.at(0);
    sim::Scenario sc;
    std::string err;
    if (!sim::LoadScenarioFile(opt.source_dir + "/examples/scenarios/small_site.json", &sc, &err))
        throw std::runtime_error("scenario: " + err);
    sc.pace = opt.pace;
    const sim::Scenario expected = sc;

    // Round 0 stays clean: what it raises is the site's true state.
    std::mt19937_64 rng(opt.seed);
    const std::vector<std::string>& kinds = opt.kinds.empty() ? FaultKinds() : opt.kinds;
    for (long r = 1; r < opt.rounds && !kinds.empty(); ++r) {
        if (Pick(rng, 0.0, 1.0) >= opt.fault_share) continue;
        const std::string kind = kinds[Pick<size_t>(rng, 0, kinds.size() - 1)];
        Json::Value args = ArgsFor(kind, rng);
        if (kind != "silence") args["command"] = kCommands[Pick<size_t>(rng, 0, 7)];
        sc.events.push_back({static_cast<double>(r) * opt.poll_interval + 0.1, kind, args});
        ++res.injected[kind];
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        res.schedule.push_back(std::to_string(sc.events.back().at) + " " + kind + " " +
                               Json::writeString(w, args));
    }
    for (const auto& f : opt.fixed) {
        Json::Value args;
        std::istringstream in(f.args_json.empty() ? "{}" : f.args_json);
        if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &args, &err))
            throw std::runtime_error("fixed event: " + err);
        sc.events.push_back({f.at, f.action, args});
        ++res.injected[f.action];
    }

    DiagRedirect quiet("");  // the driver's own diagnostics
    rt::ManualTime clock;
    const rt::TimePoint start = clock.Now();
    rt::EventLoop loop(&clock);
    sim::SimServer server(loop, sc);
    if (!server.ServePty(&err)) throw std::runtime_error("simulator: " + err);

    auto services = std::make_shared<SiteServices>();
    services->SetThresholds(cfg.data_id, cfg.alarms);
    auto bridge = std::make_shared<SiteServicesController>(services);
    auto port = std::make_shared<rt::PortController>(loop, [&server](int baud) {
        return std::make_unique<rt::SerialPort>(server.pty_path(), baud);
    });
    port->SetServices(bridge);
    const auto line_time = [&] {
        return std::chrono::duration<double>(clock.Now() - start).count();
    };
    port->log = [&](const std::string& m) {
        if (opt.verbose) std::fprintf(stderr, "%10.3f log %s\n", line_time(), m.c_str());
    };
    if (opt.verbose)
        port->on_event = [&](const rt::LinkEvent& e) {
            std::fprintf(stderr, "%10.3f event %d %s\n", line_time(), static_cast<int>(e.kind),
                         e.text.c_str());
        };

    q318b_419 dev;
    dev.address_ = static_cast<uint8_t>(cfg.address);
    for (const auto& a : cfg.alarms) {
        dev.alarm_level_[a.first] = a.second.level;
        dev.alarm_threshold_[a.first] = a.second.threshold;
    }
    dev.Init(port, cfg.data_id, cfg.settings);
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(cfg.workdir.c_str()) != 0)
        throw std::runtime_error("cannot enter " + cfg.workdir);
    dev.InitSetting(cfg.settings);
    if (chdir(cwd) != 0) throw std::runtime_error("cannot return to " + std::string(cwd));

    bool baseline = false;
    const auto note = [&](const std::string& s) {
        if (res.notes.size() < kMaxNotes) res.notes.push_back(s);
    };
    services->SetListener([&](const HostEvent& e) {
        const double t = std::chrono::duration<double>(clock.Now() - start).count();
        if (e.kind == HostEvent::Kind::kRecordPublished) {
            ++res.records;
            q318b_419_Data_t rec;
            std::vector<std::string> diffs{"not a whole record"};
            if (RecordFromBytes(e.record.data(), e.record.size(), rec))
                diffs = RecordDiffs(rec, expected);
            if (!diffs.empty()) {
                ++res.damaged;
                note("record " + std::to_string(res.records) + " at " + std::to_string(t) +
                     " s: " + Join(diffs));
            }
            // The driver holds back a round that comes within a second of
            // the last by the wall clock; line time runs far faster here.
            dev.last_data_time_ -= boost::posix_time::seconds(2);
        } else if ((e.kind == HostEvent::Kind::kAlarmRaised ||
                    e.kind == HostEvent::Kind::kAlarmCleared) &&
                   baseline) {
            ++res.false_alarms;
            note(std::string(ToString(e.kind)) + " " + e.alarm.alarm_id + " " + e.alarm.key +
                 " at " + std::to_string(t) + " s");
        }
    });
    bridge->on_round_stored = [&](unsigned) { baseline = true; };

    rt::DeviceSchedule sch;
    sch.poll_interval =
        std::chrono::duration_cast<rt::Duration>(std::chrono::duration<double>(opt.poll_interval));
    port->AddDevice(dev, sch);
    port->Start();
    const auto limit = std::chrono::duration_cast<rt::Duration>(std::chrono::duration<double>(
        opt.poll_interval * 20.0 * static_cast<double>(opt.rounds) + 600.0));
    // The round after the last has begun: every counted round has ended.
    RunVirtual(
        loop, clock, [&] { return port->Stats(dev).polls > static_cast<uint64_t>(opt.rounds); },
        limit);
    res.stats = port->Stats(dev);
    res.rounds = std::min<long>(opt.rounds, static_cast<long>(res.stats.polls));
    res.lost = res.rounds - std::min(res.rounds, res.records);
    res.line_seconds = std::chrono::duration<double>(clock.Now() - start).count();
    port->Stop();
    server.Stop();
    port->RemoveDevice(dev);
    return res;
}

std::string Summary(const Result& r) {
    std::ostringstream o;
    o << "rounds " << r.rounds << ", records " << r.records << ", damaged " << r.damaged
      << ", false alarms " << r.false_alarms << ", lost " << r.lost << ", line time "
      << static_cast<long>(r.line_seconds) << " s\nfaults:";
    long total = 0;
    for (const auto& f : r.injected) {
        o << " " << f.first << " " << f.second;
        total += f.second;
    }
    const auto& s = r.stats;
    const auto rej = [&](wire::FrameError e) { return s.rejected[static_cast<int>(e)]; };
    o << " (" << total << ")\nline: commands " << s.commands << ", good " << s.replies
      << ", timeouts " << s.timeouts << ", bad checksum " << rej(wire::FrameError::kBadChksum)
      << ", bad LCHKSUM " << rej(wire::FrameError::kBadLchksum) << ", RTN "
      << rej(wire::FrameError::kReturnCode) << ", foreign address "
      << rej(wire::FrameError::kWrongAddress) << ", wrong unit "
      << rej(wire::FrameError::kWrongUnit) << ", other damage "
      << s.Rejected() - rej(wire::FrameError::kBadChksum) - rej(wire::FrameError::kBadLchksum) -
             rej(wire::FrameError::kReturnCode) - rej(wire::FrameError::kWrongAddress) -
             rej(wire::FrameError::kWrongUnit)
      << ", echoes " << s.echoes << ", late replies " << s.late_replies << ", drained bytes "
      << s.drained_bytes << ", retries " << s.retries << ", abandoned " << s.abandoned
      << ", settles " << s.settles << ", fences " << s.fences << "\n";
    for (const auto& n : r.notes) o << "  " << n << "\n";
    return o.str();
}

}  // namespace soak
