// JSON answers of the API: one writer for every route, so that bodies,
// errors and their content type look the same everywhere.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

namespace httplib {
struct Response;
}

// Seconds since the Unix epoch, as the API reports times.
double UnixNow();

constexpr const char* kJsonContentType = "application/json";

// Compact JSON text, UTF-8 kept as it is (alarm texts are Chinese).
std::string CompactJson(const Json::Value& v);

void ReplyJson(httplib::Response& res, int status, const Json::Value& body);
// {"error": text} with `status`; extra members from `detail` when it is an
// object.
void ReplyError(httplib::Response& res, int status, const std::string& text,
                const Json::Value& detail = Json::Value());
