// JSON for end-to-end tests: reading the runner's lines and answers,
// writing site files and scenarios, and the demo controller made fast.
#pragma once

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <fstream>
#include <sstream>
#include <string>

namespace e2e {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Null for text that is not JSON; with `expect_json` that is also a test
// failure naming the text.
inline Json::Value ParseJson(const std::string& text, bool expect_json = true) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &errs)) {
        if (expect_json) ADD_FAILURE() << "not JSON (" << errs << "): " << text.substr(0, 200);
        return Json::Value();
    }
    return v;
}

inline std::string JsonText(const Json::Value& v, const char* indentation = "\t") {
    Json::StreamWriterBuilder b;
    b["indentation"] = indentation;
    return Json::writeString(b, v);
}

// examples/scenarios/<name> answering at once (no pacing, 2 ms turnaround)
// with the timetable `events` instead of its own.
inline Json::Value FastScenario(const std::string& name = "demo_site.json",
                                const Json::Value& events = Json::Value(Json::arrayValue)) {
    Json::Value s =
        ParseJson(ReadFile(std::string(Q318B_SOURCE_DIR) + "/examples/scenarios/" + name));
    s["pace"] = false;
    s["turnaround_ms"] = 2;
    s["events"] = events;
    return s;
}

}  // namespace e2e
