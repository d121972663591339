#include "tools/snapshot_warning.h"

#include <cstddef>

#include "device/q318b_419.h"

namespace {

struct ModeRules {
    const char* mode;
    const char* what;
    size_t count;
};

// The rules the threshold pass of the device's mode would evaluate.
ModeRules RulesOf(const q318b_419& d) {
    switch (d.b_mode_) {
        case 1:
            return {"1 (unicom)", "[AI]", d.ai_rules_.size()};
        case 3:
            return {"3 (mobile)", "[ALARM]", d.alarm_rules_.size()};
        case 5:
            return {"5 (level thresholds)", "level",
                    d.up_rules_.size() + d.up2_rules_.size() + d.low_rules_.size() +
                        d.low2_rules_.size()};
        default:
            return {nullptr, nullptr, 0};
    }
}

}  // namespace

std::string SnapshotWarning(const DeviceConfig& cfg, const QVRSPDevice& dev) {
    // The runner and the plug-in share the device headers; another model's
    // object may be laid out otherwise, so it is not looked into.
    if (dev.DeviceType() != "q318b_419") return std::string();
    const auto& d = static_cast<const q318b_419&>(dev);
    if (d.snapshot != 0) return std::string();
    const ModeRules r = RulesOf(d);
    if (r.count == 0) return std::string();
    return cfg.name + " (data id " + std::to_string(cfg.data_id) + "): mode " + r.mode + " has " +
           std::to_string(r.count) + " " + r.what + (r.count == 1 ? " rule" : " rules") +
           " loaded but \"snapshot\" is off in \"appSetting\", so " +
           (r.count == 1 ? "it is" : "they are") + " never evaluated";
}
