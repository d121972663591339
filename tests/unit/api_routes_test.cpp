// The read side of /api/v1/ in-process: the routes on an httplib server on
// a loopback port, fed by a hand-made snapshot, a fake set of devices
// behind a real loop hand-off, and a history file written here. Each
// answer's status and the members a client relies on.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "protocol/record.h"
#include "runtime/site/history_db.h"
#include "runtime/wire/event_loop.h"
#include "service/http_json.h"
#include "service/loop_calls.h"
#include "service/service_context.h"

namespace {

using std::chrono::milliseconds;

// Answers as the plug-in does: device 1001 has data, 1002 none yet.
class FakeDevices : public DeviceAccess {
  public:
    bool Has(unsigned int id) const override { return id == 1001 || id == 1002; }
    Answer Query(unsigned int id, const std::string& key) override {
        on_loop_thread = std::this_thread::get_id() == loop_thread;
        Answer a;
        if (id == 1002) {
            a.refused = "数据未就绪";
        } else if (key == "out_v") {
            a.ok = true;
            a.value = 53.5;
        } else if (key == "ac") {
            a.ok = true;
            a.value = 1;
        } else if (key == "stale") {
            a.refused = "数据已超时";
        } else {
            a.refused = "不支持变量";
        }
        return a;
    }
    bool Busy(unsigned int) const override { return false; }
    int Control(unsigned int, int, const std::vector<uint8_t>&) override { return -1; }
    int ControlStatus(unsigned int) override { return -1; }

    std::thread::id loop_thread;
    std::atomic<bool> on_loop_thread{false};
};

// A marker of "not available" as a decoder copies it raw.
float Marker() {
    const uint8_t raw[4] = {0x20, 0x20, 0x20, 0x20};
    float v;
    std::memcpy(&v, raw, sizeof v);
    return v;
}

std::vector<uint8_t> RecordBytes(float dc_v, float dc_i) {
    q318b_419_Data_t r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.data_id = 1001;
    r.rc.v = 53.5f;
    r.rc.channel_count = 2;
    r.dc1.v = dc_v;
    r.dc1.i = dc_i;
    std::vector<uint8_t> b(sizeof r);
    std::memcpy(b.data(), &r, sizeof r);
    return b;
}

std::shared_ptr<SiteStateHolder> Snapshot() {
    auto state = std::make_shared<SiteState>();
    DeviceState a;
    a.data_id = 1001;
    a.name = "east \"1\"";
    a.record = RecordBytes(53.5f, 21.5f);
    a.record_time = 1765300000.5;
    a.link_up = true;
    a.rounds = 12;
    AlarmChange mains;
    mains.data_id = 1001;
    mains.alarm_id = "419610101001";
    mains.key = "ac_a";
    mains.level = 2;
    mains.value_text = "0";
    mains.alarm_text = "交流停电";
    mains.active = true;
    a.alarms.push_back({mains, 1765299990});
    AlarmChange unknown = mains;
    unknown.alarm_id = "419610201001";
    a.alarms.push_back({unknown, 0});
    state->devices.push_back(a);
    DeviceState b;
    b.data_id = 1002;
    b.name = "west";
    state->devices.push_back(b);
    auto holder = std::make_shared<SiteStateHolder>();
    holder->Publish(state);
    return holder;
}

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &errs)) ADD_FAILURE() << "not JSON: " << text;
    return v;
}

// The routes on a loopback port of their own.
class ApiServer {
  public:
    explicit ApiServer(const ServiceContext& ctx) {
        AddApiRoutes(server_, ctx);
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~ApiServer() {
        server_.stop();
        thread_.join();
    }
    struct Reply {
        int status = 0;
        Json::Value body;
    };
    Reply Get(const std::string& path) {
        httplib::Client client("127.0.0.1", port_);
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(10, 0);
        auto res = client.Get(path.c_str());
        if (!res) {
            ADD_FAILURE() << "no answer to " << path;
            return {};
        }
        EXPECT_EQ(res->get_header_value("Content-Type"), kJsonContentType) << path;
        return {res->status, Parse(res->body)};
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

class ApiRoutesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/q318b-api-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        db_path_ = dir_ + "/host.db";
        {
            HistoryDb db(db_path_);
            const struct {
                int64_t t;
                float v, i;
            } rows[] = {{100, 53.5f, 21.5f}, {110, 53.25f, Marker()}, {120, NAN, 20.0f}};
            for (const auto& r : rows) {
                StoredRecord rec;
                rec.data_id = 1001;
                rec.unix_time = r.t;
                rec.time = "T" + std::to_string(r.t);
                rec.type = 5535;
                rec.blob = RecordBytes(r.v, r.i);
                db.AddRecord(rec);
                AlarmEventRow e;
                e.data_id = 1001;
                e.unix_time = r.t;
                e.time = rec.time;
                e.alarm_id = "419610101001";
                e.key = "ac_a";
                e.level = 2;
                e.active = r.t != 120;
                e.alarm_text = "交流停电";
                e.ordinal = 1;
                db.AddAlarmEvent(e);
                AnalogReportRow a;
                a.data_id = r.t == 110 ? 1002 : 1001;
                a.unix_time = r.t;
                a.time = rec.time;
                a.key = "419110100001";
                a.value = 230.5;
                db.AddAnalogReport(a);
            }
            StoredRecord other;  // another device's record, never in 1001's pages
            other.data_id = 1002;
            other.unix_time = 105;
            other.blob = RecordBytes(1, 1);
            db.AddRecord(other);
        }
        calls_ = std::make_shared<LoopCalls>();
        calls_->Attach(loop_);
        loop_thread_ = std::thread([this] {
            while (!stop_) loop_.RunOnce(milliseconds(50));
        });
        devices_.loop_thread = loop_thread_.get_id();
        ctx_.holder = Snapshot();
        ctx_.calls = calls_;
        ctx_.devices = &devices_;
        ctx_.db_path = db_path_;
    }
    void TearDown() override {
        stop_ = true;
        loop_thread_.join();
        calls_->Detach();
        std::system(("rm -rf " + dir_).c_str());
    }

    std::string dir_, db_path_;
    rt::EventLoop loop_;
    std::shared_ptr<LoopCalls> calls_;
    std::atomic<bool> stop_{false};
    std::thread loop_thread_;
    FakeDevices devices_;
    ServiceContext ctx_;
};

TEST_F(ApiRoutesTest, DevicesFromTheSnapshot) {
    ApiServer api(ctx_);
    auto list = api.Get("/api/v1/devices");
    ASSERT_EQ(list.status, 200);
    const Json::Value& ds = list.body["devices"];
    ASSERT_EQ(ds.size(), 2u);
    EXPECT_EQ(ds[0]["data_id"].asUInt(), 1001u);
    EXPECT_EQ(ds[0]["name"].asString(), "east \"1\"");
    EXPECT_TRUE(ds[0]["link_up"].asBool());
    EXPECT_EQ(ds[0]["rounds"].asInt(), 12);
    EXPECT_DOUBLE_EQ(ds[0]["last_round"].asDouble(), 1765300000.5);
    EXPECT_GT(ds[0]["last_round_age"].asDouble(), 0);
    EXPECT_EQ(ds[0]["active_alarms"].asInt(), 2);
    EXPECT_TRUE(ds[1]["last_round"].isNull());
    EXPECT_TRUE(ds[1]["last_round_age"].isNull());
    EXPECT_FALSE(ds[1]["link_up"].asBool());
    EXPECT_EQ(ds[1]["active_alarms"].asInt(), 0);

    auto one = api.Get("/api/v1/devices/1002");
    ASSERT_EQ(one.status, 200);
    EXPECT_EQ(one.body["name"].asString(), "west");
    EXPECT_EQ(one.body, ds[1]);
}

TEST_F(ApiRoutesTest, UnknownDevicesAre404Everywhere) {
    ApiServer api(ctx_);
    const char* paths[] = {
        "/api/v1/devices/1003",         "/api/v1/devices/abc",
        "/api/v1/devices/01001x",       "/api/v1/devices/99999999999",
        "/api/v1/devices/1003/record",  "/api/v1/devices/1003/values/out_v",
        "/api/v1/devices/1003/history", "/api/v1/devices/1003/series",
        "/api/v1/alarms?data_id=1003",  "/api/v1/events?data_id=1003",
        "/api/v1/reports?data_id=1003",
    };
    for (const char* p : paths) {
        auto r = api.Get(p);
        EXPECT_EQ(r.status, 404) << p;
        EXPECT_EQ(r.body["error"].asString(), "no such device") << p;
    }
}

TEST_F(ApiRoutesTest, BadParametersAre400NamingTheParameter) {
    ApiServer api(ctx_);
    const struct {
        const char* path;
        const char* parameter;
    } cases[] = {
        {"/api/v1/events?since=12abc", "since"},
        {"/api/v1/events?since=-1", "since"},
        {"/api/v1/events?until=nan", "until"},
        {"/api/v1/events?until=1e999", "until"},
        {"/api/v1/events?since=", "since"},
        {"/api/v1/events?limit=0", "limit"},
        {"/api/v1/events?limit=10001", "limit"},
        {"/api/v1/events?since=20&until=10", "until"},
        {"/api/v1/events?data_id=x", "data_id"},
        {"/api/v1/reports?limit=1.5", "limit"},
        {"/api/v1/reports?since=1&since=2", "since"},
        {"/api/v1/devices/1001/history?until=%2D5", "until"},
        {"/api/v1/devices/1001/history?data_id=1001", "data_id"},
        {"/api/v1/devices/1001/series?limit=abc", "limit"},
        {"/api/v1/alarms?since=5", "since"},
        {"/api/v1/alarms?data_id=", "data_id"},
        {"/api/v1/devices?limit=5", "limit"},
        {"/api/v1/devices/1001/record?x=1", "x"},
        {"/api/v1/devices/1001/values/%01", "key"},
    };
    for (const auto& c : cases) {
        auto r = api.Get(c.path);
        EXPECT_EQ(r.status, 400) << c.path;
        EXPECT_EQ(r.body["parameter"].asString(), c.parameter) << c.path;
        EXPECT_EQ(r.body["error"].asString().rfind(std::string(c.parameter) + ": ", 0), 0u)
            << c.path << ": " << r.body["error"].asString();
    }
}

TEST_F(ApiRoutesTest, RecordOfTheLastRoundAnd503BeforeTheFirst) {
    ApiServer api(ctx_);
    auto r = api.Get("/api/v1/devices/1001/record");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body["data_id"].asUInt(), 1001u);
    EXPECT_EQ(r.body["name"].asString(), "east \"1\"");
    EXPECT_DOUBLE_EQ(r.body["time"].asDouble(), 1765300000.5);
    EXPECT_DOUBLE_EQ(r.body["record"]["dc1"]["v"].asDouble(), 53.5);
    EXPECT_DOUBLE_EQ(r.body["record"]["dc1"]["i"].asDouble(), 21.5);
    EXPECT_EQ(r.body["record"]["rc"]["channel_count"].asInt(), 2);

    auto none = api.Get("/api/v1/devices/1002/record");
    EXPECT_EQ(none.status, 503);
    EXPECT_EQ(none.body["error"].asString(), "no record yet");
}

TEST_F(ApiRoutesTest, ValueQueriesAnsweredOnTheLoopOrRefused) {
    ApiServer api(ctx_);
    auto v = api.Get("/api/v1/devices/1001/values/out_v");
    ASSERT_EQ(v.status, 200);
    EXPECT_EQ(v.body["data_id"].asUInt(), 1001u);
    EXPECT_EQ(v.body["key"].asString(), "out_v");
    EXPECT_DOUBLE_EQ(v.body["value"].asDouble(), 53.5);
    EXPECT_TRUE(devices_.on_loop_thread) << "the device was called off the loop";
    EXPECT_DOUBLE_EQ(api.Get("/api/v1/devices/1001/values/ac").body["value"].asDouble(), 1);

    const struct {
        const char* path;
        int status;
        const char* key;
        const char* refused;
    } refusals[] = {
        {"/api/v1/devices/1001/values/dc_x", 404, "dc_x", "不支持变量"},
        {"/api/v1/devices/1001/values/%E7%94%B5", 404, "电", "不支持变量"},
        {"/api/v1/devices/1001/values/stale", 503, "stale", "数据已超时"},
        {"/api/v1/devices/1002/values/out_v", 503, "out_v", "数据未就绪"},
    };
    for (const auto& c : refusals) {
        auto r = api.Get(c.path);
        EXPECT_EQ(r.status, c.status) << c.path;
        EXPECT_EQ(r.body["error"].asString(), "the device refused the query") << c.path;
        EXPECT_EQ(r.body["key"].asString(), c.key) << c.path;
        EXPECT_EQ(r.body["refused"].asString(), c.refused) << c.path;
        EXPECT_FALSE(r.body.isMember("value")) << c.path;
    }
}

TEST_F(ApiRoutesTest, ValueQueryWithoutALoopThatTakesItIs503) {
    // A hand-off no loop serves: the route gives up after the loop timeout.
    ServiceContext stuck = ctx_;
    stuck.calls = std::make_shared<LoopCalls>();
    stuck.loop_timeout = 0.05;
    ServiceContext no_loop = ctx_;
    no_loop.calls = nullptr;
    for (const auto* ctx : {&stuck, &no_loop}) {
        ApiServer api(*ctx);
        auto r = api.Get("/api/v1/devices/1001/values/out_v");
        EXPECT_EQ(r.status, 503);
        EXPECT_FALSE(r.body["error"].asString().empty());
        EXPECT_FALSE(r.body.isMember("value"));
    }
}

TEST_F(ApiRoutesTest, ActiveAlarmsWithTheirRaiseTime) {
    ApiServer api(ctx_);
    for (const char* path : {"/api/v1/alarms", "/api/v1/alarms?data_id=1001"}) {
        auto r = api.Get(path);
        ASSERT_EQ(r.status, 200) << path;
        const Json::Value& as = r.body["alarms"];
        ASSERT_EQ(as.size(), 2u) << path;
        EXPECT_EQ(as[0]["data_id"].asUInt(), 1001u);
        EXPECT_EQ(as[0]["name"].asString(), "east \"1\"");
        EXPECT_EQ(as[0]["alarm_id"].asString(), "419610101001");
        EXPECT_EQ(as[0]["key"].asString(), "ac_a");
        EXPECT_EQ(as[0]["level"].asInt(), 2);
        EXPECT_EQ(as[0]["value_text"].asString(), "0");
        EXPECT_EQ(as[0]["alarm_text"].asString(), "交流停电");
        EXPECT_DOUBLE_EQ(as[0]["since"].asDouble(), 1765299990);
        EXPECT_TRUE(as[1]["since"].isNull());
    }
    auto quiet = api.Get("/api/v1/alarms?data_id=1002");
    ASSERT_EQ(quiet.status, 200);
    EXPECT_EQ(quiet.body["alarms"].size(), 0u);
}

TEST_F(ApiRoutesTest, StoredRowsWithRangeAndLimit) {
    ApiServer api(ctx_);
    auto ev = api.Get("/api/v1/events?since=105&limit=1");
    ASSERT_EQ(ev.status, 200);
    ASSERT_EQ(ev.body["events"].size(), 1u);
    EXPECT_TRUE(ev.body["truncated"].asBool());
    const Json::Value& e = ev.body["events"][0];
    EXPECT_EQ(e["time"].asInt64(), 110);
    EXPECT_EQ(e["time_text"].asString(), "T110");
    EXPECT_EQ(e["data_id"].asUInt(), 1001u);
    EXPECT_EQ(e["alarm_id"].asString(), "419610101001");
    EXPECT_EQ(e["key"].asString(), "ac_a");
    EXPECT_EQ(e["level"].asInt(), 2);
    EXPECT_TRUE(e["active"].asBool());
    EXPECT_EQ(e["alarm_text"].asString(), "交流停电");
    EXPECT_EQ(e["ordinal"].asInt(), 1);
    auto all = api.Get("/api/v1/events?data_id=1001&until=120");
    ASSERT_EQ(all.body["events"].size(), 3u);
    EXPECT_FALSE(all.body["truncated"].asBool());
    EXPECT_FALSE(all.body["events"][2]["active"].asBool());

    auto rep = api.Get("/api/v1/reports?data_id=1002");
    ASSERT_EQ(rep.status, 200);
    ASSERT_EQ(rep.body["reports"].size(), 1u);
    EXPECT_EQ(rep.body["reports"][0]["time"].asInt64(), 110);
    EXPECT_EQ(rep.body["reports"][0]["key"].asString(), "419110100001");
    EXPECT_DOUBLE_EQ(rep.body["reports"][0]["value"].asDouble(), 230.5);

    auto hist = api.Get("/api/v1/devices/1001/history?since=100&until=110");
    ASSERT_EQ(hist.status, 200);
    EXPECT_EQ(hist.body["data_id"].asUInt(), 1001u);
    const Json::Value& recs = hist.body["records"];
    ASSERT_EQ(recs.size(), 2u);  // 1002's row at 105 stays out
    EXPECT_EQ(recs[0]["time"].asInt64(), 100);
    EXPECT_EQ(recs[0]["time_text"].asString(), "T100");
    EXPECT_DOUBLE_EQ(recs[0]["record"]["dc1"]["v"].asDouble(), 53.5);
    EXPECT_DOUBLE_EQ(recs[1]["record"]["dc1"]["v"].asDouble(), 53.25);
    EXPECT_FALSE(hist.body["truncated"].asBool());

    auto series = api.Get("/api/v1/devices/1001/series?limit=2");
    ASSERT_EQ(series.status, 200);
    const Json::Value& pts = series.body["points"];
    ASSERT_EQ(pts.size(), 2u);
    EXPECT_TRUE(series.body["truncated"].asBool());
    EXPECT_EQ(pts[0]["t"].asInt64(), 100);
    ASSERT_EQ(pts[0]["dc"].size(), 1u);  // the unfilled second group is left out
    EXPECT_DOUBLE_EQ(pts[0]["dc"][0]["v"].asDouble(), 53.5);
    EXPECT_DOUBLE_EQ(pts[0]["dc"][0]["i"].asDouble(), 21.5);
    EXPECT_DOUBLE_EQ(pts[1]["dc"][0]["v"].asDouble(), 53.25);
    EXPECT_TRUE(pts[1]["dc"][0]["i"].isNull()) << "the raw marker passed for a reading";
    auto last = api.Get("/api/v1/devices/1001/series?since=120");
    ASSERT_EQ(last.body["points"].size(), 1u);
    EXPECT_TRUE(last.body["points"][0]["dc"][0]["v"].isNull()) << "NaN passed for a reading";
    EXPECT_DOUBLE_EQ(last.body["points"][0]["dc"][0]["i"].asDouble(), 20);
}

TEST_F(ApiRoutesTest, NoStoreIs503WithTheStoresMessage) {
    ServiceContext no_db = ctx_;
    no_db.db_path.clear();
    ServiceContext missing = ctx_;
    missing.db_path = dir_ + "/gone.db";
    ServiceContext not_sqlite = ctx_;
    not_sqlite.db_path = dir_ + "/text.db";
    std::ofstream(not_sqlite.db_path) << "this is not a database, only text long enough to tell\n";
    const struct {
        const ServiceContext* ctx;
        std::string says;
    } cases[] = {
        {&no_db, "no history store"},
        {&missing, missing.db_path + " does not exist"},
        {&not_sqlite, "is not an SQLite database"},
    };
    for (const auto& c : cases) {
        ApiServer api(*c.ctx);
        for (const char* path : {"/api/v1/events", "/api/v1/reports",
                                 "/api/v1/devices/1001/history", "/api/v1/devices/1001/series"}) {
            auto r = api.Get(path);
            EXPECT_EQ(r.status, 503) << path;
            const std::string error = r.body["error"].asString();
            EXPECT_NE(error.find(c.says), std::string::npos) << path << ": " << error;
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        }
        // What the snapshot answers does not need the store.
        EXPECT_EQ(api.Get("/api/v1/alarms").status, 200);
        EXPECT_EQ(api.Get("/api/v1/devices/1001/record").status, 200);
    }
}

}  // namespace
