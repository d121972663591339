#include "service/http_json.h"

#include <httplib.h>
#include <json/writer.h>

#include <chrono>
#include <limits>

double UnixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string CompactJson(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

void ReplyJson(httplib::Response& res, int status, const Json::Value& body) {
    res.status = status;
    res.set_content(CompactJson(body) + "\n", kJsonContentType);
}

void ReplyError(httplib::Response& res, int status, const std::string& text,
                const Json::Value& detail) {
    Json::Value body(Json::objectValue);
    if (detail.isObject())
        for (const auto& name : detail.getMemberNames()) body[name] = detail[name];
    body["error"] = text;
    ReplyJson(res, status, body);
}

bool ParseDataId(const std::string& text, unsigned int* out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > std::numeric_limits<unsigned int>::max()) return false;
    *out = static_cast<unsigned int>(v);
    return true;
}
