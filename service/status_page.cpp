// The live status page at /: static files compiled into the runner. The
// page reads everything it shows from /api/v1/ in the browser, so these
// routes never look at the snapshot or the loop.
#include <httplib.h>

#include <cstring>
#include <string>

#include "service/page_assets.h"
#include "service/service_context.h"

namespace {

const char* ContentType(const std::string& name) {
    struct Kind {
        const char* suffix;
        const char* type;
    };
    static const Kind kKinds[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".svg", "image/svg+xml"},
    };
    for (const auto& k : kKinds) {
        const size_t n = std::strlen(k.suffix);
        if (name.size() >= n && name.compare(name.size() - n, n, k.suffix) == 0) return k.type;
    }
    return "application/octet-stream";
}

// httplib takes a route as a regular expression; a file name's dots are
// meant literally.
std::string Literal(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '.') out += '\\';
        out += c;
    }
    return out;
}

void Serve(httplib::Server& server, const std::string& path, const PageAsset& asset) {
    const std::string body(reinterpret_cast<const char*>(asset.data), asset.size);
    const std::string type = ContentType(asset.name);
    server.Get(Literal(path), [body, type](const httplib::Request&, httplib::Response& res) {
        // A runner upgraded in place must not leave browsers on the old
        // script talking to the new API.
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Content-Type-Options", "nosniff");
        // The page builds its DOM from API text with textContent only; the
        // policy makes any slip there inert: no inline script, nothing from
        // elsewhere, no framing.
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; script-src 'self'; style-src 'self'; "
                       "img-src 'self' data:; connect-src 'self'; base-uri 'none'; "
                       "form-action 'none'; frame-ancestors 'none'");
        res.set_content(body, type);
    });
}

}  // namespace

void AddPageRoutes(httplib::Server& server, const ServiceContext&) {
    for (size_t i = 0; i < kPageAssetCount; ++i) {
        const PageAsset& a = kPageAssets[i];
        const std::string name = a.name;
        if (name == "index.html") Serve(server, "/", a);
        Serve(server, "/static/" + name, a);
    }
}
