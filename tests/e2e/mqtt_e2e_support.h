// The broker, the subscriber and the runner as the MQTT end-to-end tests
// use them: mosquitto with the test's own configuration on a loopback
// port, a libmosquitto subscriber of the test's own, q318b-host with --json
// on a demo site. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <mosquitto.h>
#include <pwd.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_process.h"

namespace mqtt_e2e {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kHost = Q318B_HOST_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";
const std::string kMains = "419415001";  // the alarm the scenario's mains_failure raises

inline Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &errs)) return Json::Value();
    return v;
}

inline std::string Text(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

inline bool Shell(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// Waits for `ok` until the deadline, re-checking whenever `cv` is told.
template <typename F>
bool WaitUntil(std::mutex& mu, std::condition_variable& cv, e2e::Clock::time_point deadline, F ok) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_until(lock, deadline, ok);
}

inline bool PortAccepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// mosquitto on a loopback port with the test's own configuration.
class Broker {
  public:
    Broker(const TempDir& dir, int port, const std::string& extra)
        : dir_(dir), port_(port), conf_(dir / "mosquitto.conf") {
        // As root, mosquitto would switch to its own user, who cannot read
        // the test's folder.
        const passwd* pw = ::getpwuid(::getuid());
        std::ostringstream c;
        c << "user " << (pw ? pw->pw_name : "root") << "\n"
          << "listener " << port << " 127.0.0.1\n"
          << "log_dest file " << (dir / "broker.log") << "\n"
          << "log_type all\n"
          << extra;
        if (extra.find("persistence true") == std::string::npos) c << "persistence false\n";
        dir.Write("mosquitto.conf", c.str());
    }
    ~Broker() { Stop(); }

    bool Start() {
        child_ = std::make_unique<Child>(
            std::vector<std::string>{"/usr/sbin/mosquitto", "-c", conf_}, dir_.path());
        const auto deadline = In(10);
        while (e2e::Clock::now() < deadline) {
            if (PortAccepts(port_)) return true;
            if (child_->Wait(In(0.02)) >= 0) return false;  // it ended: a bad configuration
        }
        return false;
    }
    void Stop() {
        if (!child_) return;
        child_->Signal(SIGTERM);
        if (child_->Wait(In(10)) < 0) child_->Signal(SIGKILL);
        child_.reset();
    }
    std::string Log() const {
        std::ifstream in(dir_ / "broker.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    int port() const { return port_; }

  private:
    const TempDir& dir_;
    int port_;
    std::string conf_;
    std::unique_ptr<Child> child_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
};

struct ClientOptions {
    std::string user, password;
    std::string ca, cert, key;
    std::string client_id;
    bool clean = true;
};

// The central system: subscribes to everything under a filter and keeps
// what arrives, resubscribing after every reconnect.
class Subscriber {
  public:
    Subscriber(int port, std::string filter, ClientOptions o = {}) : filter_(std::move(filter)) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(o.client_id.empty() ? nullptr : o.client_id.c_str(), o.clean, this);
        if (!o.user.empty()) mosquitto_username_pw_set(mosq_, o.user.c_str(), o.password.c_str());
        if (!o.ca.empty())
            mosquitto_tls_set(mosq_, o.ca.c_str(), nullptr,
                              o.cert.empty() ? nullptr : o.cert.c_str(),
                              o.key.empty() ? nullptr : o.key.c_str(), nullptr);
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            auto* s = static_cast<Subscriber*>(self);
            if (rc == 0) mosquitto_subscribe(m, nullptr, s->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> lock(s->mu_);
            ++s->subscribed_;
            s->cv_.notify_all();
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* s = static_cast<Subscriber*>(self);
                std::lock_guard<std::mutex> lock(s->mu_);
                s->messages_.push_back({m->topic,
                                        std::string(static_cast<const char*>(m->payload),
                                                    static_cast<size_t>(m->payloadlen)),
                                        m->retain});
                s->cv_.notify_all();
            });
        connected_ = mosquitto_connect(mosq_, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS &&
                     mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }

    // Connected, and the subscription acknowledged.
    bool Ready() {
        return connected_ && WaitUntil(mu_, cv_, In(10), [&] { return subscribed_ > 0; });
    }
    bool Publish(const std::string& topic, const std::string& payload, bool retain = false) {
        return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                 payload.data(), 1, retain) == MOSQ_ERR_SUCCESS;
    }
    // The first message that satisfies `ok`, waiting up to `seconds`.
    bool WaitFor(double seconds, const std::function<bool(const std::vector<Message>&)>& ok) {
        return WaitUntil(mu_, cv_, In(seconds), [&] { return ok(messages_); });
    }
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> lock(mu_);
        return messages_;
    }
    std::vector<Message> On(const std::string& topic) {
        std::vector<Message> out;
        for (auto& m : Messages())
            if (m.topic == topic) out.push_back(m);
        return out;
    }
    bool Has(double seconds, const std::string& topic,
             const std::function<bool(const Message&)>& ok = nullptr) {
        return WaitFor(seconds, [&](const std::vector<Message>& ms) {
            for (const auto& m : ms)
                if (m.topic == topic && (!ok || ok(m))) return true;
            return false;
        });
    }

  private:
    std::string filter_;
    mosquitto* mosq_ = nullptr;
    bool connected_ = false;
    std::mutex mu_;
    std::condition_variable cv_;
    int subscribed_ = 0;
    std::vector<Message> messages_;
};

// The demo controller answering fast, polled every half second, with the
// scenario's timetable `events`.
inline void WriteSite(const TempDir& dir, const Json::Value& mqtt, const Json::Value& events) {
    std::ifstream in(kExamples + "/scenarios/demo_site.json");
    std::stringstream ss;
    ss << in.rdbuf();
    Json::Value s = Parse(ss.str());
    s["pace"] = false;
    s["turnaround_ms"] = 2;
    s["events"] = events;
    dir.Write("scenario.json", Text(s));
    Json::Value d(Json::objectValue);
    d["data_id"] = 1001;
    d["name"] = "demo east";
    d["port"] = "sim:scenario.json";
    d["poll_interval"] = 0.5;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/unicom.json";
    Json::Value site(Json::objectValue);
    site["devices"].append(d);
    if (!mqtt.isNull()) site["mqtt"] = mqtt;
    dir.Write("site.json", Text(site));
}

inline Json::Value MainsEvents(double fail_at, double restore_at) {
    Json::Value events(Json::arrayValue);
    Json::Value f(Json::objectValue);
    f["at"] = fail_at;
    f["action"] = "mains_failure";
    events.append(f);
    Json::Value r(Json::objectValue);
    r["at"] = restore_at;
    r["action"] = "mains_restored";
    events.append(r);
    return events;
}

inline Json::Value MqttMember(int port, const std::string& prefix, const char* scheme = "mqtt") {
    Json::Value m(Json::objectValue);
    m["url"] = std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
    m["topic_prefix"] = prefix;
    m["keepalive"] = 5;
    return m;
}

// q318b-host with --json; its lines are read as they come.
class Runner {
  public:
    Runner(const TempDir& dir, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {kHost, "--site", dir / "site.json", "--json", "--no-db"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child_ = std::make_unique<Child>(argv, dir.path());
        // Its output is read all the time: a full pipe would stall its loop
        // while a test waits on the broker.
        reader_ = std::thread([this] {
            while (auto line = child_->ReadLine(In(3600))) {
                std::lock_guard<std::mutex> lock(mu_);
                events_.push_back(Parse(*line));
                if (events_.back()["event"].asString() == "record")
                    record_times_.push_back(e2e::Clock::now());
                cv_.notify_all();
            }
            std::lock_guard<std::mutex> lock(mu_);
            ended_ = true;
            cv_.notify_all();
        });
    }
    ~Runner() {
        if (child_) Stop();
    }
    // Takes the lines not looked at yet until one satisfies `ok`; false at
    // the deadline or the end.
    bool Until(double seconds, const std::function<bool(const Json::Value&)>& ok) {
        const auto deadline = In(seconds);
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            while (next_ < events_.size())
                if (ok(events_[next_++])) return true;
            if (ended_ ||
                !cv_.wait_until(lock, deadline, [&] { return ended_ || next_ < events_.size(); }))
                return false;
        }
    }
    bool Records(int n, double seconds = 20) {
        int seen = 0;
        return Until(seconds, [&](const Json::Value& v) {
            return v["event"].asString() == "record" && ++seen >= n;
        });
    }
    std::vector<std::string> Logged() {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const auto& v : events_)
            if (v["event"].asString() == "service") out.push_back(v["message"].asString());
        return out;
    }
    // (raised|cleared, alarm_id, key) in the order the runner saw them.
    std::vector<std::string> Alarms() {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const auto& v : events_) {
            const std::string e = v["event"].asString();
            if (e == "alarm_raised" || e == "alarm_cleared")
                out.push_back((e == "alarm_raised" ? "raised " : "cleared ") +
                              v["alarm"]["alarm_id"].asString() + " " +
                              v["alarm"]["key"].asString());
        }
        return out;
    }
    // When each record line came, as read (the poll loop writes one per
    // round the moment it completes).
    std::vector<e2e::Clock::time_point> RecordTimes() {
        std::lock_guard<std::mutex> lock(mu_);
        return record_times_;
    }
    int Stop() { return End(SIGTERM); }
    void Kill() { End(SIGKILL); }
    std::string stderr_text() const { return stderr_; }

  private:
    int End(int sig) {
        child_->Signal(sig);
        {
            std::unique_lock<std::mutex> lock(mu_);
            if (!cv_.wait_until(lock, In(15), [&] { return ended_; })) child_->Signal(SIGKILL);
        }
        reader_.join();
        const int st = child_->Wait(In(15));
        stderr_ = child_->stderr_text();
        child_.reset();
        return st;
    }

    std::unique_ptr<Child> child_;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Json::Value> events_;
    std::vector<e2e::Clock::time_point> record_times_;
    size_t next_ = 0;
    bool ended_ = false;
    std::string stderr_;
};

inline std::vector<std::string> AlarmsOf(const std::vector<Message>& ms) {
    std::vector<std::string> out;
    for (const auto& m : ms) {
        if (m.topic.size() < 6 || m.topic.compare(m.topic.size() - 6, 6, "/alarm") != 0) continue;
        const Json::Value v = Parse(m.payload);
        out.push_back(v["event"].asString() + " " + v["alarm_id"].asString() + " " +
                      v["key"].asString());
    }
    return out;
}

inline size_t Count(const std::vector<std::string>& v, const std::string& s) {
    return static_cast<size_t>(std::count(v.begin(), v.end(), s));
}

inline size_t CountIn(const std::string& text, const std::string& s) {
    size_t n = 0;
    for (size_t at = text.find(s); at != std::string::npos; at = text.find(s, at + 1)) ++n;
    return n;
}

inline bool MainsCleared(const std::vector<Message>& ms) {
    for (const auto& a : AlarmsOf(ms))
        if (a.rfind("cleared " + kMains + " ", 0) == 0) return true;
    return false;
}

}  // namespace mqtt_e2e
