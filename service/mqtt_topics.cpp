#include "service/mqtt_topics.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <memory>
#include <sstream>

#include "runtime/site/record_json.h"
#include "runtime/site/site_services.h"
#include "service/api_params.h"
#include "service/http_json.h"

const char* const kMainsFailureAlarmId = "419415001";

namespace {

std::string TimeText(double t) {
    return LocalTimeText(static_cast<std::time_t>(std::floor(t)));
}

// A second DC group that the controller never filled is all zeros.
bool Filled(const q318b_dc_t& d) {
    return d.v != 0.0f || d.i != 0.0f || d.m_count != 0 || d.p_count != 0;
}

}  // namespace

std::string MqttJson(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

std::string MqttDeviceTopic(const std::string& prefix, unsigned int data_id, const char* leaf) {
    return prefix + "/" + std::to_string(data_id) + "/" + leaf;
}

std::string MqttAvailabilityTopic(const std::string& prefix) {
    return prefix + "/availability";
}

std::string MqttControlFilter(const std::string& prefix) {
    return prefix + "/+/control/set";
}

bool MqttControlTopicId(const std::string& prefix, const std::string& topic,
                        unsigned int* data_id) {
    const std::string head = prefix + "/";
    const std::string tail = "/control/set";
    if (topic.size() <= head.size() + tail.size() || topic.compare(0, head.size(), head) != 0 ||
        topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    return ParseDataId(topic.substr(head.size(), topic.size() - head.size() - tail.size()),
                       data_id);
}

Json::Value MqttStatePayload(unsigned int data_id, const std::string& name,
                             const std::vector<uint8_t>& record, double time,
                             const std::vector<std::string>& active_alarms) {
    auto rec = std::make_unique<q318b_419_Data_t>();
    if (!RecordFromBytes(record.data(), record.size(), *rec)) return Json::Value();
    Json::Value v(Json::objectValue);
    v["data_id"] = data_id;
    v["name"] = name;
    v["time"] = time;
    v["time_text"] = TimeText(time);
    Json::Value ids(Json::arrayValue);
    for (const auto& id : active_alarms) ids.append(id);
    v["active_alarms"] = ids;
    v["record"] = RecordToJson(*rec);
    return v;
}

Json::Value MqttAlarmPayload(const MqttAlarm& a) {
    Json::Value v(Json::objectValue);
    v["event"] = a.raised ? "raised" : "cleared";
    v["data_id"] = a.alarm.data_id;
    v["name"] = a.name;
    v["alarm_id"] = a.alarm.alarm_id;
    v["key"] = a.alarm.key;
    v["level"] = a.alarm.level;
    v["value_text"] = a.alarm.value_text;
    v["alarm_text"] = a.alarm.alarm_text;
    v["time"] = a.time;
    v["time_text"] = TimeText(a.time);
    return v;
}

Json::Value MqttLinkPayload(bool up, const std::string& detail, double time) {
    Json::Value v(Json::objectValue);
    v["up"] = up;
    v["detail"] = detail;
    v["time"] = time;
    return v;
}

std::vector<MqttMessage> HomeAssistantConfigs(const std::string& prefix, unsigned int data_id,
                                              const std::string& name,
                                              const std::vector<uint8_t>& record) {
    std::vector<MqttMessage> out;
    auto rec = std::make_unique<q318b_419_Data_t>();
    if (!RecordFromBytes(record.data(), record.size(), *rec)) return out;
    const std::string node = "q318b_" + std::to_string(data_id);
    Json::Value device(Json::objectValue);
    device["identifiers"].append(node);
    device["name"] = name;
    device["manufacturer"] = "q318b";
    device["model"] = "48 V DC power system";
    const std::string state_topic = MqttDeviceTopic(prefix, data_id, "state");
    const std::string availability = MqttAvailabilityTopic(prefix);

    const auto add = [&](const char* component, const std::string& object, const std::string& title,
                         const std::string& tmpl, const char* unit, const char* device_class) {
        Json::Value c(Json::objectValue);
        c["name"] = title;
        c["unique_id"] = node + "_" + object;
        c["object_id"] = node + "_" + object;
        c["state_topic"] = state_topic;
        c["value_template"] = tmpl;
        if (*unit) c["unit_of_measurement"] = unit;
        if (*device_class) c["device_class"] = device_class;
        if (std::string(component) == "sensor") c["state_class"] = "measurement";
        c["availability_topic"] = availability;
        c["payload_available"] = "online";
        c["payload_not_available"] = "offline";
        c["device"] = device;
        out.push_back(
            {"homeassistant/" + std::string(component) + "/" + node + "/" + object + "/config",
             MqttJson(c)});
    };

    const q318b_dc_t* groups[] = {&rec->dc1, &rec->dc2};
    for (int g = 0; g < 2; ++g) {
        if (g == 1 && !Filled(*groups[g])) continue;
        const std::string n = std::to_string(g + 1);
        const std::string path = "value_json.record.dc" + n;
        add("sensor", "dc" + n + "_voltage", "DC bus " + n + " voltage", "{{ " + path + ".v }}",
            "V", "voltage");
        add("sensor", "dc" + n + "_current", "DC load " + n + " current", "{{ " + path + ".i }}",
            "A", "current");
    }
    add("sensor", "rectifier_voltage", "Rectifier output voltage", "{{ value_json.record.rc.v }}",
        "V", "voltage");
    add("sensor", "module_count", "Rectifier modules", "{{ value_json.record.rc.channel_count }}",
        "", "");
    const int inputs = std::min<int>(rec->ac.channel_count, q318b_ac_t::kChannels);
    static const char* const kPhases[] = {"a", "b", "c"};
    for (int k = 0; k < inputs; ++k) {
        const std::string n = std::to_string(k + 1);
        for (const char* p : kPhases) {
            std::string upper(p);
            upper[0] = static_cast<char>(upper[0] - 'a' + 'A');
            add("sensor", "ac" + n + "_" + p, "AC input " + n + " phase " + upper + " voltage",
                "{{ value_json.record.ac.channel[" + std::to_string(k) + "]." + p + " }}", "V",
                "voltage");
        }
    }
    add("binary_sensor", "mains_failure", "Mains failure",
        std::string("{{ 'ON' if '") + kMainsFailureAlarmId +
            "' in value_json.active_alarms else 'OFF' }}",
        "", "problem");
    return out;
}

MqttControlCheck CheckMqttControl(const std::string& payload, const std::string& token,
                                  bool allow_raw, bool device_known) {
    MqttControlCheck out;
    if (payload.size() > kMaxControlBody) {
        out.error = "request longer than " + std::to_string(kMaxControlBody) + " bytes";
        return out;
    }
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value body;
    std::string errs;
    bool parsed = false;
    try {
        parsed = r->parse(payload.data(), payload.data() + payload.size(), &body, &errs);
    } catch (const Json::Exception&) {
        parsed = false;
    }
    if (!parsed || !body.isObject()) {
        out.error = "request is not a JSON object";
        return out;
    }
    if (body.isMember("id")) out.id = body["id"];
    const Json::Value& t = body["token"];
    if (!t.isString()) {
        out.error = "no token";
        return out;
    }
    // Compared in full whatever the first difference, so that the time an
    // answer takes says nothing about the token.
    const std::string given = t.asString();
    unsigned char diff = given.size() == token.size() && !token.empty() ? 0 : 1;
    for (size_t i = 0; i < given.size() && !token.empty(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    if (diff != 0) {
        out.error = "wrong token";
        return out;
    }
    if (!device_known) {
        out.error = "unknown device";
        return out;
    }
    Json::Value request(Json::objectValue);
    if (body.isMember("code")) request["code"] = body["code"];
    if (body.isMember("payload")) request["payload"] = body["payload"];
    if (!ParseControlRequest(request, &out.request, &out.error)) {
        // A refusal quotes the payload, and a client may have pasted the
        // token into it: the answer goes to every subscriber of the topic.
        for (size_t at; !token.empty() && (at = out.error.find(token)) != std::string::npos;)
            out.error.replace(at, token.size(), "<token>");
        return out;
    }
    if (out.request.code == 300 && !allow_raw) {
        out.error = "code 300 is not enabled";
        return out;
    }
    out.ok = true;
    return out;
}

std::string MqttOutcomeError(const ControlOutcome& o, double reply_timeout) {
    switch (o.kind) {
        case ControlOutcome::Kind::kReplied:
            return "";
        case ControlOutcome::Kind::kNoReply: {
            std::ostringstream t;
            t << reply_timeout;
            return "no reply from the controller within " + t.str() + " s";
        }
        case ControlOutcome::Kind::kNotSent:
            return "the device's line did not come free: nothing sent";
        case ControlOutcome::Kind::kTurnedDown:
            return "the device refused the request (result " + std::to_string(o.rc) + ")";
        case ControlOutcome::Kind::kBusy:
            return "a request to this device still awaits its reply";
        case ControlOutcome::Kind::kClosed:
            return "the runner is stopping";
    }
    return "";
}
