// A reload leaves a device running only when nothing about how it is
// polled changed: every member of its site entry counts. What a reload
// does not apply is named.
#include <gtest/gtest.h>

#include <functional>

#include "tools/site_check.h"

TEST(SameDevice, AnyChangedMemberMakesADifferentDevice) {
    DeviceConfig base;
    base.data_id = 5;
    base.name = "rack";
    base.port.kind = PortSpec::Kind::kSerial;
    base.port.path = base.port.text = "/dev/ttyS0";
    base.workdir = "/srv";
    base.settings["appSetting"]["b_mode"] = 1;
    base.alarms["419415001"].level = 2;
    EXPECT_TRUE(SameDevice(base, base));

    const struct {
        const char* what;
        std::function<void(DeviceConfig&)> change;
    } cases[] = {
        {"data_id", [](DeviceConfig& d) { d.data_id = 6; }},
        {"name", [](DeviceConfig& d) { d.name = "rack 2"; }},
        {"port", [](DeviceConfig& d) { d.port.path = d.port.text = "/dev/ttyS1"; }},
        {"port kind", [](DeviceConfig& d) { d.port.kind = PortSpec::Kind::kSimulator; }},
        {"address", [](DeviceConfig& d) { d.address = 2; }},
        {"protocol_version", [](DeviceConfig& d) { d.protocol_version = 0x21; }},
        {"baud_rate", [](DeviceConfig& d) { d.baud_rate = 19200; }},
        {"poll_interval", [](DeviceConfig& d) { d.poll_interval = 6; }},
        {"reply_timeout", [](DeviceConfig& d) { d.reply_timeout = 1; }},
        {"late_window", [](DeviceConfig& d) { d.late_window = 1; }},
        {"quiet_gap", [](DeviceConfig& d) { d.quiet_gap = 1; }},
        {"unit_gap", [](DeviceConfig& d) { d.unit_gap = 1; }},
        {"workdir", [](DeviceConfig& d) { d.workdir = "/srv2"; }},
        {"settings", [](DeviceConfig& d) { d.settings["appSetting"]["b_mode"] = 3; }},
        {"alarm level", [](DeviceConfig& d) { d.alarms["419415001"].level = 3; }},
        {"alarm threshold", [](DeviceConfig& d) { d.alarms["419415001"].threshold = 1; }},
        {"alarm recover", [](DeviceConfig& d) { d.alarms["419415001"].recover = 1.5f; }},
        {"alarm added", [](DeviceConfig& d) { d.alarms["419415002"].level = 1; }},
        {"alarm renamed",
         [](DeviceConfig& d) {
             d.alarms.clear();
             d.alarms["419415009"].level = 2;
         }},
    };
    for (const auto& c : cases) {
        DeviceConfig changed = base;
        c.change(changed);
        EXPECT_FALSE(SameDevice(base, changed)) << c.what;
        EXPECT_FALSE(SameDevice(changed, base)) << c.what;
    }
}

TEST(MembersReadAtStart, EachChangedTopLevelMemberIsNamed) {
    SiteConfig base;
    base.devices.resize(1);
    EXPECT_TRUE(MembersReadAtStart(base, base).empty());
    const struct {
        std::function<void(SiteConfig&)> change;
        std::vector<std::string> named;
    } cases[] = {
        {[](SiteConfig& s) { s.plugin = "/opt/other.so"; }, {"plugin"}},
        {[](SiteConfig& s) { s.database = "other.db"; }, {"database"}},
        {[](SiteConfig& s) { s.http_listen = "127.0.0.1:9000"; }, {"http"}},
        {[](SiteConfig& s) { s.http_control.token = "new"; }, {"http"}},
        {[](SiteConfig& s) { s.notify.timeout_s = 3; }, {"notify"}},
        {[](SiteConfig& s) { s.mqtt.topic_prefix = "site7"; }, {"mqtt"}},
        {[](SiteConfig& s) { s.mqtt.control.allow_raw = true; }, {"mqtt"}},
        {[](SiteConfig& s) {
             s.database = "x.db";
             s.mqtt.enabled = true;
         },
         {"database", "mqtt"}},
        // What a reload applies itself is not named.
        {[](SiteConfig& s) { s.devices.clear(); }, {}},
        {[](SiteConfig& s) { s.history.max_age_days = 1; }, {}},
    };
    for (const auto& c : cases) {
        SiteConfig next = base;
        c.change(next);
        EXPECT_EQ(MembersReadAtStart(base, next), c.named);
    }
}
