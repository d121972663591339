// What a subscriber gets from the runner's MQTT side, built without a
// broker: topics, the state, alarm and link payloads, Home Assistant's
// discovery entities, the checks on a control request, and --mqtt.
#include "service/mqtt_topics.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/record.h"
#include "tools/host_options.h"

namespace {

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errs)) << text;
    return v;
}

// One AC input, three modules, DC group 1 (and group 2 when asked).
std::vector<uint8_t> Record(bool second_group) {
    auto r = std::make_unique<q318b_419_Data_t>();
    std::memset(static_cast<void*>(r.get()), 0, sizeof *r);
    r->data_id = 1001;
    r->ac.channel_count = 1;
    r->ac.channel[0].a = 229.5f;
    r->ac.channel[0].b = 231.25f;
    r->ac.channel[0].c = 230.75f;
    r->rc.v = 53.5f;
    r->rc.channel_count = 3;
    r->dc1.v = 53.25f;
    r->dc1.i = 21.5f;
    if (second_group) {
        r->dc2.v = 52.0f;
        r->dc2.i = 3.0f;
    }
    std::vector<uint8_t> out(sizeof *r);
    std::memcpy(out.data(), r.get(), sizeof *r);
    return out;
}

TEST(MqttTopics, TopicsAndTheControlTopicsDevice) {
    EXPECT_EQ(MqttDeviceTopic("site/east", 1001, "state"), "site/east/1001/state");
    EXPECT_EQ(MqttAvailabilityTopic("q318b"), "q318b/availability");
    EXPECT_EQ(MqttControlFilter("a/b"), "a/b/+/control/set");
    const struct {
        const char* topic;
        bool ok;
        unsigned id;
    } cases[] = {
        {"a/b/1001/control/set", true, 1001},
        {"a/b/0/control/set", true, 0},
        {"a/b/4294967295/control/set", true, 4294967295u},
        {"a/b/4294967296/control/set", false, 0},
        {"a/b//control/set", false, 0},
        {"a/b/x1/control/set", false, 0},
        {"a/b/1001/control/result", false, 0},
        {"a/c/1001/control/set", false, 0},
        {"a/b/1/2/control/set", false, 0},
        {"a/b1001/control/set", false, 0},
    };
    for (const auto& c : cases) {
        unsigned id = 0;
        EXPECT_EQ(MqttControlTopicId("a/b", c.topic, &id), c.ok) << c.topic;
        if (c.ok) {
            EXPECT_EQ(id, c.id) << c.topic;
        }
    }
}

TEST(MqttTopics, StateAlarmAndLinkPayloads) {
    EXPECT_TRUE(MqttStatePayload(7, "x", std::vector<uint8_t>(10), 1, {}).isNull())
        << "only a whole record makes a state";
    const Json::Value s =
        MqttStatePayload(1001, "demo \"east\"", Record(false), 1714644900.25, {"419415001", "9"});
    EXPECT_EQ(s["data_id"].asUInt(), 1001u);
    EXPECT_EQ(s["name"].asString(), "demo \"east\"");
    EXPECT_DOUBLE_EQ(s["time"].asDouble(), 1714644900.25);
    EXPECT_EQ(s["time_text"].asString().size(), 19u);
    ASSERT_EQ(s["active_alarms"].size(), 2u);
    EXPECT_EQ(s["active_alarms"][0].asString(), "419415001");
    EXPECT_DOUBLE_EQ(s["record"]["rc"]["v"].asDouble(), 53.5);
    EXPECT_DOUBLE_EQ(s["record"]["dc1"]["i"].asDouble(), 21.5);

    for (bool raised : {true, false}) {
        MqttAlarm a;
        a.raised = raised;
        a.name = "east";
        a.alarm.data_id = 1001;
        a.alarm.alarm_id = "419415001";
        a.alarm.key = "PowerOff";
        a.alarm.level = 1;
        a.alarm.value_text = "v";
        a.alarm.alarm_text = "输入电源中断告警";
        a.time = 1714644900;
        const Json::Value v = MqttAlarmPayload(a);
        EXPECT_EQ(v["event"].asString(), raised ? "raised" : "cleared");
        EXPECT_EQ(v["data_id"].asUInt(), 1001u);
        EXPECT_EQ(v["name"].asString(), "east");
        EXPECT_EQ(v["alarm_id"].asString(), "419415001");
        EXPECT_EQ(v["key"].asString(), "PowerOff");
        EXPECT_EQ(v["level"].asInt(), 1);
        EXPECT_EQ(v["value_text"].asString(), "v");
        EXPECT_EQ(v["alarm_text"].asString(), "输入电源中断告警");
        EXPECT_DOUBLE_EQ(v["time"].asDouble(), 1714644900);
        EXPECT_EQ(v["time_text"].asString().size(), 19u);
    }
    const Json::Value l = MqttLinkPayload(false, "no good reply to 42", 5);
    EXPECT_FALSE(l["up"].asBool());
    EXPECT_EQ(l["detail"].asString(), "no good reply to 42");
    EXPECT_DOUBLE_EQ(l["time"].asDouble(), 5);
}

TEST(MqttTopics, HomeAssistantEntitiesFollowTheRecordsLayout) {
    EXPECT_TRUE(HomeAssistantConfigs("q318b", 1, "x", {}).empty());
    const struct {
        bool second_group;
        size_t sensors;
    } layouts[] = {
        // Per DC group voltage and current, rectifier voltage, module
        // count, three phases of the one AC input.
        {false, 2 + 2 + 3},
        {true, 4 + 2 + 3},
    };
    for (const auto& layout : layouts) {
        const auto configs =
            HomeAssistantConfigs("site/east", 1001, "east", Record(layout.second_group));
        size_t sensors = 0, binary = 0;
        std::set<std::string> ids;
        for (const auto& m : configs) {
            SCOPED_TRACE(m.topic);
            const Json::Value c = Parse(m.payload);
            const bool is_binary = m.topic.rfind("homeassistant/binary_sensor/q318b_1001/", 0) == 0;
            EXPECT_TRUE(is_binary || m.topic.rfind("homeassistant/sensor/q318b_1001/", 0) == 0);
            EXPECT_EQ(m.topic.substr(m.topic.size() - 7), "/config");
            (is_binary ? binary : sensors)++;
            EXPECT_TRUE(ids.insert(c["unique_id"].asString()).second) << "unique_id twice";
            EXPECT_EQ(c["state_topic"].asString(), "site/east/1001/state");
            EXPECT_EQ(c["availability_topic"].asString(), "site/east/availability");
            EXPECT_EQ(c["device"]["identifiers"][0].asString(), "q318b_1001");
            EXPECT_EQ(c["device"]["name"].asString(), "east");
            EXPECT_NE(c["value_template"].asString().find("value_json."), std::string::npos);
            if (is_binary) {
                EXPECT_EQ(c["device_class"].asString(), "problem");
                EXPECT_NE(
                    c["value_template"].asString().find(std::string("'") + kMainsFailureAlarmId +
                                                        "' in value_json.active_alarms"),
                    std::string::npos);
            }
        }
        EXPECT_EQ(sensors, layout.sensors);
        EXPECT_EQ(binary, 1u);
        auto find = [&](const std::string& object) {
            for (const auto& m : configs)
                if (m.topic.find("/" + object + "/config") != std::string::npos)
                    return Parse(m.payload);
            return Json::Value();
        };
        const Json::Value v = find("dc1_voltage");
        EXPECT_EQ(v["value_template"].asString(), "{{ value_json.record.dc1.v }}");
        EXPECT_EQ(v["unit_of_measurement"].asString(), "V");
        EXPECT_EQ(v["device_class"].asString(), "voltage");
        const Json::Value i = find("dc1_current");
        EXPECT_EQ(i["unit_of_measurement"].asString(), "A");
        EXPECT_EQ(i["device_class"].asString(), "current");
        EXPECT_EQ(find("ac1_b")["value_template"].asString(),
                  "{{ value_json.record.ac.channel[0].b }}");
        EXPECT_EQ(find("module_count")["value_template"].asString(),
                  "{{ value_json.record.rc.channel_count }}");
        EXPECT_EQ(find("dc2_voltage").isNull(), !layout.second_group);
    }
}

TEST(MqttTopics, ControlRequestsAreCheckedBeforeAnythingIsSent) {
    const std::string token = "t0k3n-mq";
    const struct {
        std::string payload;
        bool allow_raw, known;
        const char* error;  // nullptr: taken
    } cases[] = {
        {"{", false, true, "not a JSON object"},
        {"[1]", false, true, "not a JSON object"},
        {std::string(5000, ' ') + "{}", false, true, "longer than"},
        {R"({"code": 320, "payload": "419500200001"})", false, true, "no token"},
        {R"({"token": 5, "code": 320, "payload": "419500200001"})", false, true, "no token"},
        {R"({"token": "t0k3n-m", "code": 320, "payload": "419500200001"})", false, true,
         "wrong token"},
        {R"({"token": "t0k3n-mqx", "code": 320, "payload": "419500200001"})", false, true,
         "wrong token"},
        {R"({"token": "t0k3n-mq", "code": 320, "payload": "419500200001"})", false, false,
         "unknown device"},
        {R"({"token": "t0k3n-mq", "code": 320, "payload": "nonsense"})", false, true, ""},
        {R"({"token": "t0k3n-mq", "code": 999, "payload": "x"})", false, true, ""},
        {R"({"token": "t0k3n-mq", "code": 300, "payload": "01 02 03 04 05 06 07"})", false, true,
         "code 300 is not enabled"},
        {R"({"token": "t0k3n-mq", "code": 300, "payload": "01 02 03 04 05 06 07"})", true, true,
         nullptr},
        {R"({"token": "t0k3n-mq", "code": 320, "payload": "419500200001", "id": "r-1"})", false,
         true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 80));
        const MqttControlCheck k = CheckMqttControl(c.payload, token, c.allow_raw, c.known);
        EXPECT_EQ(k.ok, c.error == nullptr) << k.error;
        if (c.error != nullptr) {
            EXPECT_FALSE(k.error.empty());
            EXPECT_NE(k.error.find(c.error), std::string::npos) << k.error;
            EXPECT_EQ(k.error.find(token), std::string::npos);
        }
    }
    const MqttControlCheck ok = CheckMqttControl(
        R"({"token": "t0k3n-mq", "code": 320, "payload": "419500200001", "id": {"n": 3}})", token,
        false, true);
    ASSERT_TRUE(ok.ok);
    EXPECT_EQ(ok.request.code, 320);
    EXPECT_EQ(std::string(ok.request.payload.begin(), ok.request.payload.end()), "419500200001");
    EXPECT_EQ(ok.id["n"].asInt(), 3) << "the client's id comes back with the answer";
    EXPECT_EQ(CheckMqttControl(R"({"token": "x", "id": 9})", token, false, true).id.asInt(), 9)
        << "also with a refusal";
    EXPECT_FALSE(CheckMqttControl(R"({"token": ""})", "", false, true).ok)
        << "no token configured takes nothing";
}

TEST(MqttTopics, MqttFlagTakesABrokerUrlOnly) {
    const struct {
        const char* url;
        bool ok;
    } cases[] = {
        {"mqtt://127.0.0.1:1883", true},
        {"mqtts://broker.example", true},
        {"mqtt://h:0", false},
        {"http://h:1883", false},
        {"mqtt://", false},
        {"mqtt://h:1883/x", false},
    };
    for (const auto& c : cases) {
        HostOptions opt;
        std::string message;
        const char* argv[] = {"q318b-host", "--mqtt", c.url};
        const int st = ParseHostOptions(3, argv, &opt, &message);
        EXPECT_EQ(st, c.ok ? -1 : 2) << c.url << ": " << message;
        if (c.ok) {
            EXPECT_EQ(opt.mqtt, c.url);
        } else {
            EXPECT_NE(message.find("--mqtt"), std::string::npos) << message;
        }
    }
}

}  // namespace

namespace {

TEST(MqttTopics, AnOutcomeWithoutAReplySaysWhy) {
    const struct {
        ControlOutcome::Kind kind;
        const char* says;  // empty: no error
    } cases[] = {
        {ControlOutcome::Kind::kReplied, ""},
        {ControlOutcome::Kind::kNoReply, "no reply from the controller within 2.5 s"},
        {ControlOutcome::Kind::kNotSent, "nothing sent"},
        {ControlOutcome::Kind::kTurnedDown, "refused the request (result -3)"},
        {ControlOutcome::Kind::kBusy, "still awaits its reply"},
        {ControlOutcome::Kind::kClosed, "stopping"},
    };
    for (const auto& c : cases) {
        ControlOutcome o;
        o.kind = c.kind;
        o.rc = -3;
        const std::string e = MqttOutcomeError(o, 2.5);
        if (*c.says == '\0') {
            EXPECT_EQ(e, "");
        } else {
            EXPECT_NE(e.find(c.says), std::string::npos) << e;
        }
    }
}

}  // namespace

namespace {

// The answer to a refused request goes to every subscriber of the result
// topic: a token pasted into the payload is not quoted back.
TEST(MqttTopics, ARefusalNeverQuotesTheToken) {
    const std::string token = "s3cret-T0ken";
    const MqttControlCheck c = CheckMqttControl(
        R"({"token": "s3cret-T0ken", "code": 320, "payload": "4195x s3cret-T0ken"})", token, false,
        true);
    EXPECT_FALSE(c.ok);
    EXPECT_NE(c.error.find("no rectifier command"), std::string::npos) << c.error;
    EXPECT_NE(c.error.find("<token>"), std::string::npos) << c.error;
    EXPECT_EQ(c.error.find(token), std::string::npos) << c.error;
}

}  // namespace
