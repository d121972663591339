// The read side of /api/v1/: the devices as the site snapshot shows them,
// their latest records, value queries answered on the poll loop, the
// active alarms, and the stored events, reports and records. Stored rows
// come from the history file opened read-only for each request: the
// runner writes it in WAL mode, so a reader never blocks a round's
// transaction, and closing it with the request means no reader keeps a
// snapshot of the file (and the WAL from being checkpointed) any longer.
#include <httplib.h>
#include <json/writer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "protocol/record.h"
#include "runtime/site/history_db.h"
#include "runtime/site/record_json.h"
#include "service/api_params.h"
#include "service/http_json.h"
#include "service/service_context.h"

namespace {

// The device's own refusal of a key it does not know; any other refusal
// (data not ready, data too old) is a passing state of the device.
const char kUnsupportedKey[] = "不支持变量";

Json::Value OrNull(double v) {
    return std::isfinite(v) ? Json::Value(v) : Json::Value(Json::nullValue);
}

Json::Value TimeOrNull(double unix_seconds) {
    return unix_seconds > 0 ? Json::Value(unix_seconds) : Json::Value(Json::nullValue);
}

Json::Value DeviceJson(const DeviceState& d, double now) {
    Json::Value v(Json::objectValue);
    v["data_id"] = d.data_id;
    v["name"] = d.name;
    v["link_up"] = d.link_up;
    v["rounds"] = static_cast<Json::Int64>(d.rounds);
    v["last_round"] = TimeOrNull(d.record_time);
    v["last_round_age"] =
        d.record_time > 0 ? Json::Value(std::max(0.0, now - d.record_time)) : Json::Value();
    v["active_alarms"] = static_cast<Json::UInt>(d.alarms.size());
    return v;
}

Json::Value AlarmJson(const DeviceState& d, const ActiveAlarm& a) {
    Json::Value v(Json::objectValue);
    v["data_id"] = d.data_id;
    v["name"] = d.name;
    v["alarm_id"] = a.alarm.alarm_id;
    v["key"] = a.alarm.key;
    v["level"] = a.alarm.level;
    v["value_text"] = a.alarm.value_text;
    v["alarm_text"] = a.alarm.alarm_text;
    v["since"] = TimeOrNull(a.since);
    return v;
}

// The snapshot's entry for the device named in a path, or null.
const DeviceState* FindDevice(const SiteState& state, const std::string& id_text) {
    unsigned id = 0;
    if (!ParseDataId(id_text, &id)) return nullptr;
    for (const auto& d : state.devices)
        if (d.data_id == id) return &d;
    return nullptr;
}

bool KnownDevice(const SiteState& state, unsigned id) {
    return std::any_of(state.devices.begin(), state.devices.end(),
                       [id](const DeviceState& d) { return d.data_id == id; });
}

void ReplyNoDevice(httplib::Response& res, const std::string& id_text) {
    Json::Value detail(Json::objectValue);
    if (ValidQueryKey(id_text)) detail["data_id"] = id_text;
    ReplyError(res, 404, "no such device", detail);
}

// The request's parameters, or false with the 400 answered.
bool Params(const httplib::Request& req, httplib::Response& res, unsigned allowed, RowFilter* out) {
    ParamError err;
    if (ParseListParams(req.params, allowed, out, &err)) return true;
    Json::Value detail(Json::objectValue);
    detail["parameter"] = err.parameter;
    ReplyError(res, 400, err.message, detail);
    return false;
}

// The history file for one request, or null with the 503 answered.
std::unique_ptr<HistoryDb> OpenStore(const ServiceContext& ctx, httplib::Response& res) {
    if (ctx.db_path.empty()) {
        ReplyError(res, 503, "no history store: the runner stores nothing (no database)");
        return nullptr;
    }
    try {
        return std::make_unique<HistoryDb>(ctx.db_path, HistoryDb::Access::kReadOnly);
    } catch (const StoreError& e) {
        ReplyError(res, 503, e.what());
        return nullptr;
    }
}

// A body as JSON text; a body already written as text passes through.
std::string BodyText(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}
std::string BodyText(std::string text) {
    return text;
}

// Runs a read of the store; a failure of the file (locked past the busy
// wait, damaged) is the store being unavailable, not a fault of the request.
template <typename Read>
void WithStore(const ServiceContext& ctx, httplib::Response& res, Read read) {
    auto db = OpenStore(ctx, res);
    if (!db) return;
    std::string body;
    try {
        body = BodyText(read(*db));
    } catch (const StoreError& e) {
        ReplyError(res, 503, e.what());
        return;
    }
    db.reset();  // the file is let go before the answer is written
    res.status = 200;
    body += '\n';
    res.set_content(std::move(body), kJsonContentType);
}

Json::Value EventJson(const AlarmEventRow& e) {
    Json::Value v(Json::objectValue);
    v["data_id"] = e.data_id;
    v["time"] = static_cast<Json::Int64>(e.unix_time);
    v["time_text"] = e.time;
    v["alarm_id"] = e.alarm_id;
    v["key"] = e.key;
    v["level"] = e.level;
    v["active"] = e.active;
    v["value_text"] = e.value_text;
    v["alarm_text"] = e.alarm_text;
    v["ordinal"] = e.ordinal;
    return v;
}

Json::Value ReportJson(const AnalogReportRow& r) {
    Json::Value v(Json::objectValue);
    v["data_id"] = r.data_id;
    v["time"] = static_cast<Json::Int64>(r.unix_time);
    v["time_text"] = r.time;
    v["key"] = r.key;
    v["value"] = OrNull(r.value);
    return v;
}

// A stored value the controller marked not available: NaN or infinity, or
// its marker copied raw (four equal non-zero bytes), as /metrics leaves out.
Json::Value Reading(float v) {
    uint8_t b[4];
    std::memcpy(b, &v, sizeof b);
    const bool marker = b[0] != 0 && b[0] == b[1] && b[1] == b[2] && b[2] == b[3];
    if (!std::isfinite(v) || marker) return Json::Value(Json::nullValue);
    return Json::Value(static_cast<double>(v));
}

// A second DC group that the controller never filled is all zeros.
bool Filled(const q318b_dc_t& d) {
    return d.v != 0.0f || d.i != 0.0f || d.m_count != 0 || d.p_count != 0;
}

Json::Value SeriesPoint(const StoredRecord& row) {
    Json::Value p(Json::objectValue);
    p["t"] = static_cast<Json::Int64>(row.unix_time);
    Json::Value dc(Json::arrayValue);
    q318b_419_Data_t r;
    if (RecordFromBytes(row.blob.data(), row.blob.size(), r)) {
        for (const q318b_dc_t* g : {&r.dc1, &r.dc2}) {
            if (g == &r.dc2 && !Filled(r.dc2)) break;
            Json::Value v(Json::objectValue);
            v["v"] = Reading(g->v);
            v["i"] = Reading(g->i);
            dc.append(v);
        }
    }
    p["dc"] = dc;
    return p;
}

// The body of a device's stored rows: its id, the rows and "truncated".
Json::Value DevicePage(unsigned id, const char* member, Json::Value rows, bool truncated) {
    Json::Value body(Json::objectValue);
    body["data_id"] = id;
    body[member] = std::move(rows);
    body["truncated"] = truncated;
    return body;
}

}  // namespace

void AddApiRoutes(httplib::Server& server, const ServiceContext& ctx) {
    server.Get("/api/v1/devices", [ctx](const httplib::Request& req, httplib::Response& res) {
        RowFilter none;
        if (!Params(req, res, 0, &none)) return;
        const auto state = ctx.holder->Get();
        const double now = UnixNow();
        Json::Value list(Json::arrayValue);
        for (const auto& d : state->devices) list.append(DeviceJson(d, now));
        Json::Value body(Json::objectValue);
        body["devices"] = list;
        ReplyJson(res, 200, body);
    });

    server.Get(R"(/api/v1/devices/([^/]+))",
               [ctx](const httplib::Request& req, httplib::Response& res) {
                   const auto state = ctx.holder->Get();
                   const DeviceState* d = FindDevice(*state, req.matches[1].str());
                   if (d == nullptr) return ReplyNoDevice(res, req.matches[1].str());
                   RowFilter none;
                   if (!Params(req, res, 0, &none)) return;
                   ReplyJson(res, 200, DeviceJson(*d, UnixNow()));
               });

    server.Get(R"(/api/v1/devices/([^/]+)/record)",
               [ctx](const httplib::Request& req, httplib::Response& res) {
                   const auto state = ctx.holder->Get();
                   const DeviceState* d = FindDevice(*state, req.matches[1].str());
                   if (d == nullptr) return ReplyNoDevice(res, req.matches[1].str());
                   RowFilter none;
                   if (!Params(req, res, 0, &none)) return;
                   q318b_419_Data_t r;
                   if (!RecordFromBytes(d->record.data(), d->record.size(), r))
                       return ReplyError(res, 503, "no record yet");
                   Json::Value body(Json::objectValue);
                   body["data_id"] = d->data_id;
                   body["name"] = d->name;
                   body["time"] = TimeOrNull(d->record_time);
                   body["record"] = RecordToJson(r);
                   ReplyJson(res, 200, body);
               });

    server.Get(R"(/api/v1/devices/([^/]+)/values/([^/]+))", [ctx](const httplib::Request& req,
                                                                  httplib::Response& res) {
        const auto state = ctx.holder->Get();
        const DeviceState* d = FindDevice(*state, req.matches[1].str());
        if (d == nullptr) return ReplyNoDevice(res, req.matches[1].str());
        const std::string key = req.matches[2].str();
        if (!ValidQueryKey(key)) {
            Json::Value detail(Json::objectValue);
            detail["parameter"] = "key";
            return ReplyError(res, 400,
                              "key: not 1 to 64 bytes of UTF-8 text without control characters",
                              detail);
        }
        RowFilter none;
        if (!Params(req, res, 0, &none)) return;
        if (!ctx.calls || ctx.devices == nullptr)
            return ReplyError(res, 503, "no poll loop to ask the device");
        const unsigned id = d->data_id;
        DeviceAccess* devices = ctx.devices;
        DeviceAccess::Answer answer;
        // The device is asked between two of the loop's callbacks, never
        // from this thread: it is not made to answer inside its own round.
        const bool ran =
            ctx.calls->Call([&] { answer = devices->Query(id, key); },
                            std::chrono::milliseconds(static_cast<long>(ctx.loop_timeout * 1000)));
        if (!ran) return ReplyError(res, 503, "the poll loop did not take the query in time");
        Json::Value body(Json::objectValue);
        body["data_id"] = id;
        body["key"] = key;
        if (answer.ok) {
            body["value"] = OrNull(answer.value);
            return ReplyJson(res, 200, body);
        }
        body["refused"] = answer.refused;
        ReplyError(res, answer.refused == kUnsupportedKey ? 404 : 503,
                   "the device refused the query", body);
    });

    server.Get("/api/v1/alarms", [ctx](const httplib::Request& req, httplib::Response& res) {
        RowFilter f;
        if (!Params(req, res, kParamDataId, &f)) return;
        const auto state = ctx.holder->Get();
        if (f.data_id && !KnownDevice(*state, *f.data_id))
            return ReplyNoDevice(res, std::to_string(*f.data_id));
        Json::Value list(Json::arrayValue);
        for (const auto& d : state->devices) {
            if (f.data_id && d.data_id != *f.data_id) continue;
            for (const auto& a : d.alarms) list.append(AlarmJson(d, a));
        }
        Json::Value body(Json::objectValue);
        body["alarms"] = list;
        ReplyJson(res, 200, body);
    });

    // The stored lists: a page of rows read from the store by `read`,
    // each shown by `show`, under `member`.
    const auto stored_list = [&server, ctx](const char* path, const char* member, auto read,
                                            auto show) {
        server.Get(path,
                   [ctx, member, read, show](const httplib::Request& req, httplib::Response& res) {
                       RowFilter f;
                       if (!Params(req, res, kParamDataId | kParamTimes, &f)) return;
                       if (f.data_id && !KnownDevice(*ctx.holder->Get(), *f.data_id))
                           return ReplyNoDevice(res, std::to_string(*f.data_id));
                       WithStore(ctx, res, [&](const HistoryDb& db) {
                           const auto page = read(db, f);
                           Json::Value rows(Json::arrayValue);
                           for (const auto& r : page.rows) rows.append(show(r));
                           Json::Value body(Json::objectValue);
                           body[member] = rows;
                           body["truncated"] = page.truncated;
                           return body;
                       });
                   });
    };
    stored_list(
        "/api/v1/events", "events",
        [](const HistoryDb& db, const RowFilter& f) { return db.AlarmEventsIn(f); }, &EventJson);
    stored_list(
        "/api/v1/reports", "reports",
        [](const HistoryDb& db, const RowFilter& f) { return db.AnalogReportsIn(f); }, &ReportJson);

    server.Get(R"(/api/v1/devices/([^/]+)/history)", [ctx](const httplib::Request& req,
                                                           httplib::Response& res) {
        const auto state = ctx.holder->Get();
        const DeviceState* d = FindDevice(*state, req.matches[1].str());
        if (d == nullptr) return ReplyNoDevice(res, req.matches[1].str());
        RowFilter f;
        if (!Params(req, res, kParamTimes, &f)) return;
        f.data_id = d->data_id;
        WithStore(ctx, res, [&](const HistoryDb& db) {
            // Written record by record: a page of full records as one JSON
            // tree would take some 180 kB a record.
            const auto page = db.RecordsIn(f);
            std::string text = "{\"data_id\":" + std::to_string(*f.data_id) + ",\"records\":[";
            for (size_t i = 0; i < page.rows.size(); ++i) {
                const StoredRecord& row = page.rows[i];
                Json::Value v(Json::objectValue);
                v["time"] = static_cast<Json::Int64>(row.unix_time);
                v["time_text"] = row.time;
                q318b_419_Data_t r;
                v["record"] = RecordFromBytes(row.blob.data(), row.blob.size(), r) ? RecordToJson(r)
                                                                                   : Json::Value();
                if (i > 0) text += ',';
                text += BodyText(v);
            }
            return text + "],\"truncated\":" + (page.truncated ? "true" : "false") + "}";
        });
    });

    server.Get(R"(/api/v1/devices/([^/]+)/series)",
               [ctx](const httplib::Request& req, httplib::Response& res) {
                   const auto state = ctx.holder->Get();
                   const DeviceState* d = FindDevice(*state, req.matches[1].str());
                   if (d == nullptr) return ReplyNoDevice(res, req.matches[1].str());
                   RowFilter f;
                   if (!Params(req, res, kParamTimes, &f)) return;
                   f.data_id = d->data_id;
                   WithStore(ctx, res, [&](const HistoryDb& db) {
                       const auto page = db.RecordsIn(f);
                       Json::Value points(Json::arrayValue);
                       for (const auto& row : page.rows) points.append(SeriesPoint(row));
                       return DevicePage(*f.data_id, "points", points, page.truncated);
                   });
               });
}
