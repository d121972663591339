// The read side of /api/v1/ (devices, records, value queries, alarms,
// stored events). Being written: only the device list so far.
#include <httplib.h>

#include "service/http_json.h"
#include "service/service_context.h"

void AddApiRoutes(httplib::Server& server, const ServiceContext& ctx) {
    server.Get("/api/v1/devices",
               [h = ctx.holder](const httplib::Request&, httplib::Response& res) {
                   Json::Value list(Json::arrayValue);
                   for (const auto& d : h->Get()->devices) {
                       Json::Value v(Json::objectValue);
                       v["data_id"] = d.data_id;
                       v["name"] = d.name;
                       v["link_up"] = d.link_up;
                       list.append(v);
                   }
                   Json::Value body(Json::objectValue);
                   body["devices"] = list;
                   ReplyJson(res, 200, body);
               });
}
