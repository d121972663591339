// What the runner publishes to an MQTT broker, topic by topic, and what it
// takes from it: pure functions of the data, so the publisher's thread only
// moves text and the unit tests see exactly what a subscriber gets.
//
//   <prefix>/availability          "online" / "offline" (retained, also the will)
//   <prefix>/<data_id>/state       latest record (retained)
//   <prefix>/<data_id>/alarm       every raise and clear (QoS >= 1, not retained)
//   <prefix>/<data_id>/link        latest link state (retained)
//   <prefix>/<data_id>/control/set     control requests (subscribed)
//   <prefix>/<data_id>/control/result  their answers
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/site/alarm_store.h"
#include "service/control_desk.h"
#include "service/control_request.h"

// Compact JSON text, UTF-8 kept as it is (alarm texts are Chinese).
std::string MqttJson(const Json::Value& v);

std::string MqttDeviceTopic(const std::string& prefix, unsigned int data_id, const char* leaf);
std::string MqttAvailabilityTopic(const std::string& prefix);
// The subscription for control requests: <prefix>/+/control/set.
std::string MqttControlFilter(const std::string& prefix);
// The data_id of a control request's topic; false for any other topic.
bool MqttControlTopicId(const std::string& prefix, const std::string& topic, unsigned int* data_id);

// {"data_id", "name", "time", "time_text", "active_alarms": [alarm ids],
//  "record": RecordToJson}; null when `record` is not a whole record.
Json::Value MqttStatePayload(unsigned int data_id, const std::string& name,
                             const std::vector<uint8_t>& record, double time,
                             const std::vector<std::string>& active_alarms);

struct MqttAlarm {
    bool raised = false;
    std::string name;  // the device's, from the site file
    AlarmChange alarm;
    double time = 0;  // Unix seconds
};
// {"event": "raised"|"cleared", "data_id", "name", "alarm_id", "key",
//  "level", "value_text", "alarm_text", "time", "time_text"}
Json::Value MqttAlarmPayload(const MqttAlarm& a);

// {"up", "detail", "time"}
Json::Value MqttLinkPayload(bool up, const std::string& detail, double time);

// Home Assistant's discovery: one retained config message per entity.
struct MqttMessage {
    std::string topic;
    std::string payload;
};
// The alarm id the controller's mains failure raises; the discovery's
// binary sensor looks for it among the state's active alarms.
extern const char* const kMainsFailureAlarmId;
// The entities of one device, from the layout its latest record shows
// (AC inputs, DC groups).
std::vector<MqttMessage> HomeAssistantConfigs(const std::string& prefix, unsigned int data_id,
                                              const std::string& name,
                                              const std::vector<uint8_t>& record);

// A control request as it comes over MQTT:
//   {"token": "...", "code": 310, "payload": ..., "id": <anything, echoed>}
struct MqttControlCheck {
    bool ok = false;
    std::string error;  // one line; never holds the token
    Json::Value id;     // null when the request had none (or was not JSON)
    ControlRequest request;
};
// Checked in this order: JSON, token, the device (`device_known`), the
// request itself, code 300's own enable.
MqttControlCheck CheckMqttControl(const std::string& payload, const std::string& token,
                                  bool allow_raw, bool device_known);

// Why a request sent to the desk got no reply, for its answer and the log;
// empty when the controller replied.
std::string MqttOutcomeError(const ControlOutcome& o, double reply_timeout);
