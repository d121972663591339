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
#include <json/value.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/mqtt_e2e_support.h"

using namespace mqtt_e2e;

TEST(MqttE2e, RetainedStateAndOneRaiseAndOneClearOfAScriptedMainsFailure) {
    TempDir dir;
    Broker broker(dir, e2e::FreePort(), "allow_anonymous true\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    WriteSite(dir, MqttMember(broker.port(), "site/east"), MainsEvents(2, 5));
    Subscriber live(broker.port(), "site/east/#");
    ASSERT_TRUE(live.Ready());
    Runner r(dir);
    ASSERT_TRUE(live.WaitFor(30, MainsCleared)) << r.stderr_text();
    // A round after the return: the latest state shows mains again. (The
    // runner's record lines are read on their own thread, so counting them
    // says nothing of when the broker got the state.)
    ASSERT_TRUE(live.WaitFor(30, [](const std::vector<Message>& ms) {
        for (auto m = ms.rbegin(); m != ms.rend(); ++m) {
            if (m->topic != "site/east/1001/state") continue;
            const Json::Value v = Parse(m->payload);
            for (const auto& id : v["active_alarms"])
                if (id.asString() == kMains) return false;
            return v["record"]["ac"]["channel"][0]["a"].asDouble() == 229.5;
        }
        return false;
    })) << r.stderr_text();

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
    const auto went = e2e::Clock::now();
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
    const auto returned = e2e::Clock::now();
    ASSERT_TRUE(sub->WaitFor(30, MainsCleared));
    ASSERT_TRUE(r.Records(2));
    EXPECT_EQ(r.Stop(), 0);

    // The rounds kept their pace while the broker was gone and while the
    // runner found it again. The site asks for a round every 0.5 s and the
    // device takes one at most every two seconds on its seconds clock, so
    // rounds come every 1 to 2 s: no gap between two records of that time
    // may be longer, beyond scheduling noise, and none went missing.
    const auto times = r.RecordTimes();
    double worst_gap = 0;
    int during = 0;
    for (size_t k = 1; k < times.size(); ++k) {
        if (times[k] < went || times[k - 1] > returned) continue;
        ++during;
        worst_gap =
            std::max(worst_gap, std::chrono::duration<double>(times[k] - times[k - 1]).count());
    }
    const double outage = std::chrono::duration<double>(returned - went).count();
    EXPECT_LT(worst_gap, 2.5) << "a round waited for the broker";
    EXPECT_GE(during, static_cast<int>(outage / 2.0) - 1) << "over " << outage << " s";

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

TEST(MqttE2e, HomeAssistantDiscoveryOnEveryConnect) {
    TempDir dir;
    const int port = e2e::FreePort();
    Broker broker(dir, port, "allow_anonymous true\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Json::Value m = MqttMember(port, "q318b");
    m["homeassistant"] = true;
    // The mains fail and stay away.
    WriteSite(dir, m, MainsEvents(2, 3600));
    Subscriber ha(port, "homeassistant/#");
    ASSERT_TRUE(ha.Ready());
    Subscriber states(port, "q318b/1001/state");
    ASSERT_TRUE(states.Ready());
    Runner r(dir);
    const std::string mains = "homeassistant/binary_sensor/q318b_1001/mains_failure/config";
    const std::string bus = "homeassistant/sensor/q318b_1001/dc1_voltage/config";
    ASSERT_TRUE(ha.Has(30, mains)) << r.stderr_text();
    ASSERT_TRUE(ha.Has(10, bus));
    // One DC group, the rectifiers' voltage and module count, three phases
    // of the one AC input, and mains failure.
    std::vector<std::string> topics;
    for (const auto& msg : ha.Messages()) {
        if (std::find(topics.begin(), topics.end(), msg.topic) == topics.end())
            topics.push_back(msg.topic);
        const Json::Value c = Parse(msg.payload);
        EXPECT_EQ(c["state_topic"].asString(), "q318b/1001/state") << msg.topic;
        EXPECT_EQ(c["availability_topic"].asString(), "q318b/availability") << msg.topic;
        EXPECT_EQ(c["device"]["name"].asString(), "demo east") << msg.topic;
        EXPECT_FALSE(c["unique_id"].asString().empty()) << msg.topic;
    }
    EXPECT_EQ(topics.size(), 8u) << ::testing::PrintToString(topics);

    // The templates point at what the state holds: the bus voltage, and
    // the mains-failure alarm among the active ones once it is raised.
    const Json::Value v = Parse(ha.On(bus).front().payload);
    EXPECT_EQ(v["value_template"].asString(), "{{ value_json.record.dc1.v }}");
    EXPECT_EQ(v["unit_of_measurement"].asString(), "V");
    EXPECT_EQ(v["device_class"].asString(), "voltage");
    const Json::Value b = Parse(ha.On(mains).front().payload);
    EXPECT_NE(b["value_template"].asString().find("'" + kMains + "' in value_json.active_alarms"),
              std::string::npos)
        << b["value_template"].asString();
    ASSERT_TRUE(states.Has(30, "q318b/1001/state", [](const Message& msg) {
        const Json::Value state = Parse(msg.payload);
        for (const auto& id : state["active_alarms"])
            if (id.asString() == kMains) return true;
        return false;
    }));
    EXPECT_DOUBLE_EQ(
        Parse(states.On("q318b/1001/state").front().payload)["record"]["dc1"]["v"].asDouble(),
        53.5);

    // A broker restarted without persistence has forgotten them: they come
    // again with the next connect.
    broker.Stop();
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber again(port, "homeassistant/#");
    ASSERT_TRUE(again.Ready());
    ASSERT_TRUE(again.Has(60, mains));
    Subscriber later(port, "homeassistant/#");
    ASSERT_TRUE(later.Ready());
    ASSERT_TRUE(later.Has(10, mains));
    EXPECT_TRUE(later.On(mains).front().retain) << "kept for Home Assistant's next start";
    EXPECT_EQ(r.Stop(), 0);
}

namespace {

const std::string kToken = "mq-t0ken-e2e";

std::string Request(const std::string& token, const std::string& rest, const std::string& id) {
    return "{" + (token.empty() ? "" : "\"token\": \"" + token + "\", ") + rest + ", \"id\": \"" +
           id + "\"}";
}

// Module 1's on/off byte in the latest state (1: off).
int ModuleOneOff(Subscriber& s) {
    const auto states = s.On("q318b/1001/state");
    if (states.empty()) return -1;
    return Parse(states.back().payload)["record"]["rc"]["channel"][0]["state"][0].asInt();
}

}  // namespace

TEST(MqttE2e, ControlWithTheTokenReachesTheControllerAndWithoutItNothingIsSent) {
    TempDir dir;
    const int port = e2e::FreePort();
    Broker broker(dir, port, "allow_anonymous true\n");
    ASSERT_TRUE(broker.Start()) << broker.Log();
    dir.Write("token", kToken + "\n");
    Json::Value m = MqttMember(port, "q318b");
    m["control"]["token_file"] = "token";
    WriteSite(dir, m, Json::Value(Json::arrayValue));
    Subscriber sub(port, "q318b/#");
    ASSERT_TRUE(sub.Ready());
    const std::string off = R"("code": 320, "payload": "419500200001")";
    // Left on the broker before the runner comes: a retained request would
    // act again on every connect, so it is refused.
    ASSERT_TRUE(sub.Publish("q318b/1001/control/set", Request(kToken, off, "kept"), true));
    Runner r(dir);
    const auto answer = [&](const std::string& topic, const std::string& id) {
        Json::Value got;
        sub.Has(20, topic, [&](const Message& msg) {
            got = Parse(msg.payload);
            return got["id"].asString() == id;
        });
        return got["id"].asString() == id ? got : Json::Value();
    };
    const Json::Value kept = answer("q318b/1001/control/result", "kept");
    EXPECT_EQ(kept["error"].asString(), "retained requests are not taken") << Text(kept);
    ASSERT_TRUE(sub.Publish("q318b/1001/control/set", "", true));  // the retained one goes
    ASSERT_TRUE(r.Records(2));
    ASSERT_EQ(ModuleOneOff(sub), 0);

    const struct {
        unsigned id;
        std::string request;
        const char* says;
    } refused[] = {
        {1001, Request("", off, "r1"), "no token"},
        {1001, Request("wrong", off, "r2"), "wrong token"},
        {1001, Request(kToken + "x", off, "r3"), "wrong token"},
        {9999, Request(kToken, off, "r4"), "unknown device"},
        {1001, Request(kToken, R"("code": 300, "payload": "01020304050607")", "r5"),
         "code 300 is not enabled"},
        {1001, Request(kToken, R"("code": 320, "payload": "nonsense")", "r6"), "rectifier"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.request);
        const std::string base = "q318b/" + std::to_string(c.id) + "/control/";
        ASSERT_TRUE(sub.Publish(base + "set", c.request));
        const Json::Value a = answer(base + "result", Parse(c.request)["id"].asString());
        EXPECT_NE(a["error"].asString().find(c.says), std::string::npos) << Text(a);
        EXPECT_FALSE(a.isMember("sent_at")) << Text(a);
    }
    // Two more rounds: nothing was sent, module 1 is still on.
    ASSERT_TRUE(r.Records(2));
    EXPECT_EQ(ModuleOneOff(sub), 0);

    ASSERT_TRUE(sub.Publish("q318b/1001/control/set", Request(kToken, off, "go")));
    const Json::Value ok = answer("q318b/1001/control/result", "go");
    EXPECT_EQ(ok["status"].asInt(), 1) << Text(ok);
    EXPECT_EQ(ok["code"].asInt(), 320);
    EXPECT_EQ(ok["data_id"].asUInt(), 1001u);
    EXPECT_FALSE(ok.isMember("error")) << Text(ok);
    EXPECT_GE(ok["replied_at"].asDouble(), ok["sent_at"].asDouble());
    // The simulator switched module 1 off; a following round's state says so.
    EXPECT_TRUE(sub.Has(30, "q318b/1001/state", [](const Message& msg) {
        return Parse(msg.payload)["record"]["rc"]["channel"][0]["state"][0].asInt() == 1;
    }));
    EXPECT_EQ(r.Stop(), 0);

    const auto logged = r.Logged();
    size_t refusals = 0, replied = 0;
    for (const auto& l : logged) {
        EXPECT_EQ(l.find(kToken), std::string::npos) << l;
        refusals +=
            l.find("MQTT control to device") == 0 && l.find(" refused: ") != std::string::npos;
        replied += l == "MQTT control to device 1001: code 320, replied";
    }
    EXPECT_EQ(refusals, std::size(refused) + 1) << ::testing::PrintToString(logged);
    EXPECT_EQ(replied, 1u) << ::testing::PrintToString(logged);
    EXPECT_EQ(r.stderr_text().find(kToken), std::string::npos);
}
