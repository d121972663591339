// A control request as a client sends it over HTTP or MQTT:
//   {"code": 310, "payload": {"signal_id": "4196A3101001", "SetValue": "53.5"}}
//   {"code": 320, "payload": "419500201003"}
//   {"code": 300, "payload": "01 02 03 04 05 06 07"}   (or [1, 2, ...])
// checked here so that nothing the device would refuse, or would read as
// something else (a SetValue that is not a number reads as 0 V), ever
// reaches it: a refused request leaves the device untouched.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

struct ControlRequest {
    int code = 0;
    std::vector<uint8_t> payload;  // the bytes DeviceIoControl takes
};

// False with `error` one line naming the member at fault.
bool ParseControlRequest(const Json::Value& body, ControlRequest* out, std::string* error);
// The same from the request's text (at most kMaxControlBody bytes).
bool ParseControlRequestText(const std::string& text, ControlRequest* out, std::string* error);

constexpr size_t kMaxControlBody = 4096;
