#include "service/http_json.h"

#include <httplib.h>
#include <json/writer.h>

#include <chrono>

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
