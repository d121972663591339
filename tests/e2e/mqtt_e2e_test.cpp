// The runner's site on a real broker, as a central subscriber sees it:
// each test writes its own mosquitto.conf (a free loopback port, no
// persistence unless a subscriber's session must outlive a restart), starts
// mosquitto itself and stops it by its process id; the subscriber is a
// libmosquitto client of the test's own. Retained state with the scenario's
// values, a mains failure raised once and cleared once, the last will after
// SIGKILL, no alarm lost across a broker restart, TLS with client
// certificates, a password from a file (a wrong one logged once while the
// rounds go on), control with and without the token.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <mosquitto.h>
#include <pwd.h>
#include <signal.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kHost = Q318B_HOST_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";
const std::string kMains = "419415001";  // the alarm the scenario's mains_failure raises

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &errs)) return Json::Value();
    return v;
}

std::string Text(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

bool Shell(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// Waits for `ok` until the deadline, re-checking whenever `cv` is told.
template <typename F>
bool WaitUntil(std::mutex& mu, std::condition_variable& cv, e2e::Clock::time_point deadline, F ok) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_until(lock, deadline, ok);
}

bool PortAccepts(int port) {
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
void WriteSite(const TempDir& dir, const Json::Value& mqtt, const Json::Value& events) {
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

Json::Value MainsEvents(double fail_at, double restore_at) {
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

Json::Value MqttMember(int port, const std::string& prefix, const char* scheme = "mqtt") {
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
    }
    ~Runner() {
        if (child_) Stop();
    }
    // Reads lines until one satisfies `ok`; false at the deadline or the end.
    bool Until(double seconds, const std::function<bool(const Json::Value&)>& ok) {
        const auto deadline = In(seconds);
        while (auto line = child_->ReadLine(deadline)) {
            Json::Value v = Parse(*line);
            events_.push_back(v);
            if (ok(v)) return true;
        }
        return false;
    }
    bool Records(int n, double seconds = 20) {
        int seen = 0;
        return Until(seconds, [&](const Json::Value& v) {
            return v["event"].asString() == "record" && ++seen >= n;
        });
    }
    std::vector<std::string> Logged() const {
        std::vector<std::string> out;
        for (const auto& v : events_)
            if (v["event"].asString() == "service") out.push_back(v["message"].asString());
        return out;
    }
    // (raised|cleared, alarm_id, key) in the order the runner saw them.
    std::vector<std::string> Alarms() const {
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
    int Stop() {
        child_->Signal(SIGTERM);
        // Whatever is left of its output is read while it ends.
        while (auto line = child_->ReadLine(In(15))) events_.push_back(Parse(*line));
        const int st = child_->Wait(In(15));
        stderr_ = child_->stderr_text();
        child_.reset();
        return st;
    }
    void Kill() {
        child_->Signal(SIGKILL);
        child_->Wait(In(15));
        child_.reset();
    }
    std::string stderr_text() const { return child_ ? child_->stderr_text() : stderr_; }

  private:
    std::unique_ptr<Child> child_;
    std::vector<Json::Value> events_;
    std::string stderr_;
};

std::vector<std::string> AlarmsOf(const std::vector<Message>& ms) {
    std::vector<std::string> out;
    for (const auto& m : ms) {
        if (m.topic.size() < 6 || m.topic.compare(m.topic.size() - 6, 6, "/alarm") != 0) continue;
        const Json::Value v = Parse(m.payload);
        out.push_back(v["event"].asString() + " " + v["alarm_id"].asString() + " " +
                      v["key"].asString());
    }
    return out;
}

size_t Count(const std::vector<std::string>& v, const std::string& s) {
    return static_cast<size_t>(std::count(v.begin(), v.end(), s));
}

size_t CountIn(const std::string& text, const std::string& s) {
    size_t n = 0;
    for (size_t at = text.find(s); at != std::string::npos; at = text.find(s, at + 1)) ++n;
    return n;
}

bool MainsCleared(const std::vector<Message>& ms) {
    for (const auto& a : AlarmsOf(ms))
        if (a.rfind("cleared " + kMains + " ", 0) == 0) return true;
    return false;
}

}  // namespace

TEST(MqttE2e, RetainedStateAndOneRaiseAndOneClearOfAScriptedMainsFailure) {
    TempDir dir;
    Broker broker(dir, e2e::FreePort(), "allow_anonymous true\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    WriteSite(dir, MqttMember(broker.port(), "site/east"), MainsEvents(2, 5));
    Subscriber live(broker.port(), "site/east/#");
    ASSERT_TRUE(live.Ready());
    Runner r(dir);
    ASSERT_TRUE(live.WaitFor(30, MainsCleared)) << r.stderr_text();
    // Rounds after the return: the state shows mains again.
    ASSERT_TRUE(r.Records(3));

    const auto alarms = AlarmsOf(live.Messages());
    std::vector<std::string> mains;
    for (const auto& a : alarms)
        if (a.find(" " + kMains + " ") != std::string::npos) mains.push_back(a);
    ASSERT_EQ(mains.size(), 2u) << ::testing::PrintToString(alarms);
    EXPECT_EQ(mains[0].rfind("raised ", 0), 0u);
    EXPECT_EQ(mains[1].rfind("cleared ", 0), 0u);
    for (const auto& m : live.On("site/east/1001/alarm")) {
        EXPECT_FALSE(m.retain) << "alarm events are not retained";
        const Json::Value v = Parse(m.payload);
        for (const char* k : {"event", "data_id", "name", "alarm_id", "key", "level", "value_text",
                              "alarm_text", "time", "time_text"})
            EXPECT_TRUE(v.isMember(k)) << k << " in " << m.payload;
        EXPECT_EQ(v["name"].asString(), "demo east");
    }

    // A subscriber arriving now gets the retained latest state and link.
    Subscriber late(broker.port(), "site/east/#");
    ASSERT_TRUE(late.Ready());
    ASSERT_TRUE(late.Has(10, "site/east/1001/state"));
    ASSERT_TRUE(late.Has(10, "site/east/availability"));
    const Message state = late.On("site/east/1001/state").front();
    EXPECT_TRUE(state.retain);
    const Json::Value s = Parse(state.payload);
    EXPECT_EQ(s["data_id"].asUInt(), 1001u);
    EXPECT_EQ(s["name"].asString(), "demo east");
    EXPECT_GT(s["time"].asDouble(), 1.7e9);
    EXPECT_FALSE(s["time_text"].asString().empty());
    EXPECT_DOUBLE_EQ(s["record"]["rc"]["v"].asDouble(), 53.5);
    EXPECT_DOUBLE_EQ(s["record"]["dc1"]["v"].asDouble(), 53.5);
    EXPECT_DOUBLE_EQ(s["record"]["dc1"]["i"].asDouble(), 21.5);
    EXPECT_DOUBLE_EQ(s["record"]["ac"]["channel"][0]["a"].asDouble(), 229.5);
    EXPECT_EQ(s["record"]["rc"]["channel_count"].asUInt(), 3u);
    bool mains_active = false;
    for (const auto& id : s["active_alarms"])
        mains_active = mains_active || id.asString() == kMains;
    EXPECT_FALSE(mains_active) << state.payload;
    EXPECT_EQ(late.On("site/east/availability").front().payload, "online");
    EXPECT_TRUE(late.On("site/east/availability").front().retain);

    // A clean stop says offline itself.
    EXPECT_EQ(r.Stop(), 0);
    EXPECT_TRUE(live.Has(10, "site/east/availability",
                         [](const Message& m) { return m.payload == "offline"; }));
    const auto logged = r.Logged();
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [](const std::string& l) { return l.find("MQTT") == 0; }),
              1)
        << ::testing::PrintToString(logged);
}

TEST(MqttE2e, SigkillLeavesOfflineThroughTheLastWill) {
    TempDir dir;
    Broker broker(dir, e2e::FreePort(), "allow_anonymous true\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    WriteSite(dir, Json::Value(), Json::Value(Json::arrayValue));
    Subscriber sub(broker.port(), "q318b/availability");
    ASSERT_TRUE(sub.Ready());
    // --mqtt without the site's member: the default prefix.
    Runner r(dir, {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker.port())});
    ASSERT_TRUE(
        sub.Has(20, "q318b/availability", [](const Message& m) { return m.payload == "online"; }));
    ASSERT_TRUE(r.Records(1));
    r.Kill();
    ASSERT_TRUE(
        sub.Has(20, "q318b/availability", [](const Message& m) { return m.payload == "offline"; }));
    // Retained: a subscriber arriving later still learns it.
    Subscriber late(broker.port(), "q318b/availability");
    ASSERT_TRUE(late.Ready());
    ASSERT_TRUE(late.Has(10, "q318b/availability"));
    EXPECT_EQ(late.On("q318b/availability").back().payload, "offline");
}

TEST(MqttE2e, NoAlarmEventIsLostWhileTheBrokerIsAway) {
    TempDir dir;
    // The central subscriber's session (QoS 1, not clean) must outlive the
    // broker's restart, so that what the runner sends before the
    // subscriber is back waits for it: only here is persistence on.
    Broker broker(
        dir, e2e::FreePort(),
        "allow_anonymous true\npersistence true\npersistence_location " + dir.path() + "/\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    WriteSite(dir, MqttMember(broker.port(), "q318b"), MainsEvents(4, 7));
    ClientOptions central;
    central.client_id = "central-e2e";
    central.clean = false;
    auto sub = std::make_unique<Subscriber>(broker.port(), "q318b/+/alarm", central);
    ASSERT_TRUE(sub->Ready());
    Runner r(dir);
    ASSERT_TRUE(r.Until(20, [](const Json::Value& v) {
        return v["event"].asString() == "service" &&
               v["message"].asString().find("MQTT connected") == 0;
    }));
    ASSERT_TRUE(r.Records(1));
    broker.Stop();
    // The failure and the return happen while nobody can be told.
    ASSERT_TRUE(r.Until(30, [](const Json::Value& v) {
        return v["event"].asString() == "alarm_cleared" && v["alarm"]["alarm_id"] == kMains;
    }));
    ASSERT_TRUE(broker.Start()) << broker.Log();
    ASSERT_TRUE(r.Until(90, [](const Json::Value& v) {
        return v["event"].asString() == "service" &&
               v["message"].asString().find(" back") != std::string::npos;
    }));
    ASSERT_TRUE(sub->WaitFor(30, MainsCleared));
    ASSERT_TRUE(r.Records(2));
    EXPECT_EQ(r.Stop(), 0);

    // Everything the runner raised and cleared, in its order. At least
    // once: an event whose acknowledgement was lost with the broker may
    // come again (the broker itself redelivers what the subscriber had not
    // acknowledged when it stopped), but only after it came the first time.
    const auto want = r.Alarms();
    ASSERT_TRUE(sub->WaitFor(
        10, [&](const std::vector<Message>& ms) { return AlarmsOf(ms).size() >= want.size(); }));
    const auto got = AlarmsOf(sub->Messages());
    size_t next = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        if (next < want.size() && got[k] == want[next]) {
            ++next;
            continue;
        }
        EXPECT_NE(std::find(got.begin(), got.begin() + static_cast<long>(k), got[k]),
                  got.begin() + static_cast<long>(k))
            << got[k] << " arrived out of order";
    }
    EXPECT_EQ(next, want.size()) << "lost: " << ::testing::PrintToString(want) << " vs "
                                 << ::testing::PrintToString(got);
    EXPECT_GE(Count(want, "raised " + kMains + " PowerOff"), 1u);
    const auto logged = r.Logged();
    size_t lost = 0, back = 0;
    for (const auto& l : logged) {
        lost += l.find("MQTT broker 127.0.0.1:" + std::to_string(broker.port()) + " lost: ") == 0;
        back += l.find(" back") != std::string::npos;
    }
    EXPECT_EQ(lost, 1u) << ::testing::PrintToString(logged);
    EXPECT_EQ(back, 1u) << ::testing::PrintToString(logged);
}

TEST(MqttE2e, TlsWithTheSitesCaAndAClientCertificate) {
    ASSERT_TRUE(Shell("command -v openssl")) << "openssl is missing (scripts/bootstrap.sh)";
    TempDir dir;
    const std::string d = dir.path();
    const std::string days = " -days 2 -nodes -newkey rsa:2048 ";
    ASSERT_TRUE(Shell("cd " + d + " && openssl req -x509" + days +
                      "-keyout ca.key -out ca.pem -subj /CN=q318b-test-ca"));
    for (const std::string who : {"server", "client"}) {
        ASSERT_TRUE(Shell("cd " + d + " && openssl req" + days + "-keyout " + who + ".key -out " +
                          who + ".csr -subj /CN=" + who));
        dir.Write(who + ".ext", "subjectAltName=IP:127.0.0.1\n");
        ASSERT_TRUE(Shell("cd " + d + " && openssl x509 -req -in " + who +
                          ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out " + who +
                          ".pem -extfile " + who + ".ext"));
    }
    const int port = e2e::FreePort();
    Broker broker(dir, port,
                  "allow_anonymous true\ncafile " + d + "/ca.pem\ncertfile " + d +
                      "/server.pem\nkeyfile " + d + "/server.key\nrequire_certificate true\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Json::Value m = MqttMember(port, "q318b", "mqtts");
    m["tls"]["ca_file"] = "ca.pem";
    m["tls"]["cert_file"] = "client.pem";
    m["tls"]["key_file"] = "client.key";
    WriteSite(dir, m, Json::Value(Json::arrayValue));
    ClientOptions o;
    o.ca = d + "/ca.pem";
    o.cert = d + "/client.pem";
    o.key = d + "/client.key";
    Subscriber sub(port, "q318b/#", o);
    ASSERT_TRUE(sub.Ready());
    Runner r(dir);
    ASSERT_TRUE(sub.Has(30, "q318b/1001/state")) << r.stderr_text() << broker.Log();
    EXPECT_DOUBLE_EQ(
        Parse(sub.On("q318b/1001/state").front().payload)["record"]["rc"]["v"].asDouble(), 53.5);
    EXPECT_EQ(r.Stop(), 0);

    // Without its client certificate the broker turns the runner away:
    // one line, and the rounds go on.
    m["tls"].removeMember("cert_file");
    m["tls"].removeMember("key_file");
    WriteSite(dir, m, Json::Value(Json::arrayValue));
    Runner bare(dir);
    ASSERT_TRUE(bare.Records(6));
    EXPECT_EQ(bare.Stop(), 0);
    const auto logged = bare.Logged();
    ASSERT_EQ(logged.size(), 1u) << ::testing::PrintToString(logged);
    EXPECT_EQ(logged[0].find("MQTT broker 127.0.0.1:" + std::to_string(port) + " unreachable: "),
              0u)
        << logged[0];
}

TEST(MqttE2e, PasswordFromAFileAndAWrongOneLoggedOnceWhileTheRoundsGoOn) {
    ASSERT_TRUE(Shell("command -v mosquitto_passwd")) << "mosquitto_passwd is missing";
    TempDir dir;
    ASSERT_TRUE(Shell("mosquitto_passwd -b -c " + (dir / "passwd") + " east 'r1ght pass'"));
    Broker broker(dir, e2e::FreePort(),
                  "allow_anonymous false\npassword_file " + (dir / "passwd") + "\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    ClientOptions central;
    central.user = "east";
    central.password = "r1ght pass";
    Subscriber sub(broker.port(), "q318b/#", central);
    ASSERT_TRUE(sub.Ready());

    dir.Write("good.pass", "r1ght pass\n");
    dir.Write("bad.pass", "wr0ng pass\n");
    Json::Value m = MqttMember(broker.port(), "q318b");
    m["username"] = "east";
    m["password_file"] = "good.pass";
    WriteSite(dir, m, Json::Value(Json::arrayValue));
    {
        Runner r(dir);
        ASSERT_TRUE(sub.Has(30, "q318b/1001/state")) << broker.Log();
        EXPECT_EQ(r.Stop(), 0);
    }

    m["password_file"] = "bad.pass";
    WriteSite(dir, m, Json::Value(Json::arrayValue));
    Runner r(dir);
    // Rounds while the runner keeps trying: at least three refusals.
    const std::string refusal = "not authorised";
    const auto deadline = In(30);
    while (CountIn(broker.Log(), refusal) < 3 && e2e::Clock::now() < deadline)
        ASSERT_TRUE(r.Records(1));
    ASSERT_GE(CountIn(broker.Log(), refusal), 3u) << broker.Log();
    ASSERT_TRUE(r.Records(2));
    EXPECT_EQ(r.Stop(), 0);
    const auto logged = r.Logged();
    ASSERT_EQ(logged.size(), 1u) << ::testing::PrintToString(logged);
    EXPECT_EQ(logged[0], "MQTT broker 127.0.0.1:" + std::to_string(broker.port()) +
                             " refused the connection: not authorised");
    for (const auto& l : logged) EXPECT_EQ(l.find("wr0ng"), std::string::npos);
    EXPECT_EQ(r.stderr_text().find("wr0ng"), std::string::npos);
}
