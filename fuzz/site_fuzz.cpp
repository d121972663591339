// Any bytes as a site file, through the JSON reader and ParseSiteConfig.
// A refusal is a SiteError of one line naming the file; anything else
// leaving the reader (a jsoncpp exception from a number it cannot convert,
// say), a crash or undefined behaviour is a fault. A site that is taken
// holds only values inside their documented ranges.
#include <json/reader.h>
#include <json/value.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "runtime/site/site_config.h"
// The reader is compiled in here, not taken from the host runtime: only
// code built with the fuzzer's coverage instrumentation guides it, and the
// runtime library is built without.
#include "runtime/site/site_config.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

std::string g_base;  // the site file's folder, made once

void Require(bool ok) {
    if (!ok) std::abort();
}

bool Within(double v, double lo, double hi) {
    return std::isfinite(v) && v >= lo && v <= hi;
}

void CheckSite(const SiteConfig& site) {
    Require(!site.devices.empty());
    Require(site.history.max_age_days >= 0 && site.history.max_age_days <= 36500);
    Require(site.history.min_interval_s >= 0 && site.history.min_interval_s <= 86400);
    std::set<unsigned> ids;
    for (const auto& d : site.devices) {
        Require(ids.insert(d.data_id).second);
        Require(d.address >= 0 && d.address <= 255);
        Require(d.baud_rate == 0 || (d.baud_rate >= 50 && d.baud_rate <= 4000000));
        Require(Within(d.poll_interval, 0, 86400) && d.poll_interval > 0);
        Require(Within(d.reply_timeout, 0, 600));
        Require(Within(d.late_window, 0, 600));
        Require(Within(d.quiet_gap, 0, 60));
        Require(Within(d.unit_gap, 0, 10));
        Require(d.settings.isObject());
        for (const auto& a : d.alarms) {
            Require(a.second.level >= 0 && a.second.level <= 1000);
            Require(std::isfinite(a.second.threshold));
            Require(!a.second.recover || std::isfinite(*a.second.recover));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The files the example sites name, so that their seeds get past the
    // port and settings checks.
    char tmpl[] = "/tmp/q318b_site_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    g_base = tmpl;
    if (mkdir((g_base + "/scenarios").c_str(), 0700) != 0 ||
        mkdir((g_base + "/settings").c_str(), 0700) != 0)
        std::abort();
    std::ofstream(g_base + "/scenarios/demo_site.json") << "{}";
    std::ofstream(g_base + "/settings/unicom.json") << R"({"appSetting": {"b_mode": 2}})";
    std::ofstream(g_base + "/settings/broken.json") << R"({"appSetting": )";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 64;  // nesting deeper than any site file
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(text, text + size, &root, &errors)) return 0;
    } catch (const Json::Exception&) {
        return 0;  // nested beyond the stack limit
    }
    try {
        CheckSite(ParseSiteConfig(root, "site.json", g_base));
    } catch (const SiteError& e) {
        const std::string msg = e.what();
        Require(msg.rfind("site file site.json: ", 0) == 0);
        Require(msg.find('\n') == std::string::npos && msg.find('\r') == std::string::npos);
    }
    return 0;
}
