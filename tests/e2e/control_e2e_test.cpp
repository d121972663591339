// Control over HTTP as an operator's tool sees it: q318b-host against the
// built-in simulator. Off without a token; every refusal (no token, wrong
// token, raw command not enabled, bad payload, unknown device) is answered,
// logged and leaves the controller untouched; with the token the command
// reaches the simulator, the answer says when its reply came, and the
// module it switched off shows so in the next rounds.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>
#include <signal.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_json.h"
#include "tests/e2e/e2e_process.h"

namespace {

using e2e::Child;
using e2e::In;
using e2e::TempDir;

const std::string kHost = Q318B_HOST_PATH;
const std::string kExamples = std::string(Q318B_SOURCE_DIR) + "/examples";
const std::string kToken = "e2e-Token-5f3a";

Json::Value Parse(const std::string& text) {
    return e2e::ParseJson(text, false);
}

// The demo controller answering fast, polled twice a second; `control`
// goes into the site's http member when it is an object.
void WriteSite(const TempDir& dir, int port, const Json::Value& control) {
    dir.Write("scenario.json", e2e::JsonText(e2e::FastScenario()));
    dir.Write("token", kToken + "\n");

    Json::Value d(Json::objectValue);
    d["data_id"] = 1001;
    d["name"] = "demo";
    d["port"] = "sim:scenario.json";
    d["poll_interval"] = 0.5;
    d["workdir"] = kExamples;
    d["settings_file"] = kExamples + "/settings/unicom.json";
    Json::Value site(Json::objectValue);
    site["devices"].append(d);
    site["http"]["listen"] = "127.0.0.1:" + std::to_string(port);
    if (control.isObject()) site["http"]["control"] = control;
    dir.Write("site.json", e2e::JsonText(site));
}

class Runner {
  public:
    Runner(const TempDir& dir, int port)
        : host_({kHost, "--site", dir / "site.json", "--json", "--no-db"}, dir.path()),
          client_("127.0.0.1", port) {
        client_.set_connection_timeout(5, 0);
        client_.set_read_timeout(20, 0);
    }
    ~Runner() {
        host_.Signal(SIGTERM);
        host_.Wait(In(10));
    }

    // Reads the event stream until `n` more records have been published.
    bool Records(int n) {
        const auto deadline = In(30);
        while (n > 0) {
            auto line = host_.ReadLine(deadline);
            if (!line) return false;
            const Json::Value e = Parse(*line);
            events_.push_back(e);
            if (e["event"].asString() == "record") --n;
        }
        return true;
    }
    // The service lines logged so far (read from the events seen).
    std::vector<std::string> Logged() const {
        std::vector<std::string> out;
        for (const auto& e : events_)
            if (e["event"].asString() == "service") out.push_back(e["message"].asString());
        return out;
    }
    bool SawControlEvent() const {
        for (const auto& e : events_)
            if (e["event"].asString() == "control") return true;
        return false;
    }

    httplib::Result Post(unsigned id, const std::string& body, const std::string& auth) {
        httplib::Headers h;
        if (!auth.empty()) h.emplace("Authorization", auth);
        return client_.Post("/api/v1/devices/" + std::to_string(id) + "/control", h, body,
                            "application/json");
    }
    // Module 1's on/off byte as the latest round reported it.
    double ModuleOneOff() {
        auto res = client_.Get("/metrics");
        if (!res) return -1;
        const std::string key =
            "q318b_module_state{data_id=\"1001\",name=\"demo\",module=\"1\",byte=\"1\"} ";
        const auto at = res->body.find(key);
        return at == std::string::npos ? -1 : std::stod(res->body.substr(at + key.size()));
    }

    Child& host() { return host_; }

  private:
    Child host_;
    httplib::Client client_;
    std::vector<Json::Value> events_;
};

const char* const kSwitchOff = R"({"code": 320, "payload": "419500200001"})";

TEST(ControlE2e, OffUnlessTheSiteGivesAToken) {
    TempDir dir;
    const int port = e2e::FreePort();
    WriteSite(dir, port, Json::Value());
    Runner r(dir, port);
    ASSERT_TRUE(r.Records(2)) << r.host().stderr_text();
    auto res = r.Post(1001, kSwitchOff, "Bearer " + kToken);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_NE(Parse(res->body)["error"].asString().find("disabled"), std::string::npos)
        << res->body;
    ASSERT_TRUE(r.Records(2));
    EXPECT_EQ(r.ModuleOneOff(), 0) << "module 1 still on";
    const auto logged = r.Logged();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("refused"), std::string::npos) << logged[0];
}

TEST(ControlE2e, RefusalsLeaveTheControllerAloneAndTheTokenSendsTheCommand) {
    TempDir dir;
    const int port = e2e::FreePort();
    Json::Value control(Json::objectValue);
    control["token_file"] = "token";
    WriteSite(dir, port, control);
    Runner r(dir, port);
    ASSERT_TRUE(r.Records(2)) << r.host().stderr_text();
    ASSERT_EQ(r.ModuleOneOff(), 0);

    const struct {
        unsigned id;
        std::string body, auth;
        int status;
        const char* says;
    } refused[] = {
        {1001, kSwitchOff, "", 401, "no bearer token"},
        {1001, kSwitchOff, "Bearer wrong", 401, "wrong token"},
        {1001, kSwitchOff, "Bearer " + kToken + "x", 401, "wrong token"},
        {1001, kSwitchOff, "Basic " + kToken, 401, "wrong token"},
        {1001, kSwitchOff, "Bearer", 401, "wrong token"},
        {1001, R"({"code": 300, "payload": "01020304050607"})", "Bearer " + kToken, 403, "(300)"},
        {1001, R"({"code": 320, "payload": "nonsense"})", "Bearer " + kToken, 400,
         "no rectifier command"},
        {1001, "{", "Bearer " + kToken, 400, "not JSON"},
        {9999, kSwitchOff, "Bearer " + kToken, 404, "no device 9999"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.body + " / " + c.auth);
        auto res = r.Post(c.id, c.body, c.auth);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_NE(Parse(res->body)["error"].asString().find(c.says), std::string::npos)
            << res->body;
        if (c.status == 401) {
            EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Bearer");
        }
    }
    // Two more rounds: nothing was sent, the module is still on.
    ASSERT_TRUE(r.Records(2));
    EXPECT_EQ(r.ModuleOneOff(), 0);
    EXPECT_EQ(r.Logged().size(), std::size(refused));

    auto res = r.Post(1001, kSwitchOff, "Bearer " + kToken);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const Json::Value ok = Parse(res->body);
    EXPECT_EQ(ok["status"].asInt(), 1);
    EXPECT_EQ(ok["code"].asInt(), 320);
    EXPECT_GE(ok["replied_at"].asDouble(), ok["sent_at"].asDouble());
    EXPECT_DOUBLE_EQ(ok["reply_after"].asDouble(),
                     ok["replied_at"].asDouble() - ok["sent_at"].asDouble());
    // The simulator switched the module off; the next rounds report it.
    double off = 0;
    for (int rounds = 0; rounds < 10 && off != 1; ++rounds) {
        ASSERT_TRUE(r.Records(1));
        off = r.ModuleOneOff();
    }
    EXPECT_EQ(off, 1);

    const auto logged = r.Logged();
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.back().find("code 320, reply after"), std::string::npos) << logged.back();
    for (const auto& l : logged) EXPECT_EQ(l.find(kToken), std::string::npos) << l;
    EXPECT_EQ(r.host().stderr_text().find(kToken), std::string::npos);
}

TEST(ControlE2e, RawCommandWithItsOwnEnable) {
    TempDir dir;
    const int port = e2e::FreePort();
    Json::Value control(Json::objectValue);
    control["token_file"] = "token";
    control["allow_raw"] = true;
    WriteSite(dir, port, control);
    Runner r(dir, port);
    ASSERT_TRUE(r.Records(2)) << r.host().stderr_text();
    auto res =
        r.Post(1001, R"({"code": 300, "payload": [1, 2, 3, 4, 5, 6, 7]})", "Bearer " + kToken);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(Parse(res->body)["status"].asInt(), 1);
    // A second request while none is in flight is taken as well.
    res =
        r.Post(1001, R"({"code": 310, "payload": {"signal_id": "4196A3101001", "SetValue": 53.5}})",
               "Bearer " + kToken);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(Parse(res->body)["status"].asInt(), 1);
}

}  // namespace
