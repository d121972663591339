#include "runtime/site/site_services.h"

#include <cstdio>

#include "host/qvr_device.h"

const char* ToString(HostEvent::Kind kind) {
    switch (kind) {
        case HostEvent::Kind::kRecordPublished:
            return "record";
        case HostEvent::Kind::kAlarmRaised:
            return "alarm_raised";
        case HostEvent::Kind::kAlarmCleared:
            return "alarm_cleared";
        case HostEvent::Kind::kAnalogReport:
            return "analog_report";
        case HostEvent::Kind::kLinkLost:
            return "link_lost";
        case HostEvent::Kind::kLinkBack:
            return "link_back";
    }
    return "unknown";
}

SiteServices::SiteServices(std::shared_ptr<HistoryDb> db)
    : db_(std::move(db)), clock_([] { return std::time(nullptr); }) {}

void SiteServices::SetThresholds(unsigned int data_id,
                                 std::map<std::string, ThresholdConfig> config) {
    thresholds_[data_id] = std::move(config);
}

std::string LocalTimeText(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

HostEvent SiteServices::Event(HostEvent::Kind kind, unsigned int data_id) const {
    HostEvent e;
    e.kind = kind;
    e.data_id = data_id;
    const std::time_t now = clock_();
    e.unix_time = static_cast<int64_t>(now);
    e.time = LocalTimeText(now);
    return e;
}

void SiteServices::Emit(const HostEvent& e) {
    if (listener_) listener_(e);
}

bool SiteServices::Publish(unsigned int data_id, int type, const uint8_t* data, size_t len) {
    if (data == nullptr) return false;
    if (db_) db_->Begin();
    HostEvent e = Event(HostEvent::Kind::kRecordPublished, data_id);
    e.record.assign(data, data + len);
    last_record_[data_id] = e.record;
    // The round's alarm reports follow the record.
    alarms_.BeginRound(data_id);
    (void)type;
    Emit(e);
    return true;
}

bool SiteServices::SaveHistory(unsigned int data_id, const uint8_t* data, size_t len) {
    if (data == nullptr) return false;
    if (db_) {
        const std::time_t now = clock_();
        const auto unix_time = static_cast<int64_t>(now);
        // A clock set back is no reason to stop storing until it has caught
        // up with the last stored time.
        const auto last = last_stored_.find(data_id);
        const bool store = last == last_stored_.end() || unix_time < last->second ||
                           unix_time - last->second >= min_interval_s_;
        if (store) {
            // One row for every round: its blob keeps its size.
            row_.data_id = data_id;
            row_.unix_time = unix_time;
            row_.time = LocalTimeText(now);
            row_.type = 5535;
            row_.blob.assign(data, data + len);
            db_->AddRecord(row_);
        }
        // The round's alarm events and analog reports, stored or not.
        db_->Commit();
        if (store) last_stored_[data_id] = unix_time;
    }
    return true;
}

void SiteServices::Alarm(const AlarmChange& change) {
    HostEvent e =
        Event(change.active ? HostEvent::Kind::kAlarmRaised : HostEvent::Kind::kAlarmCleared,
              change.data_id);
    e.alarm = change;
    if (db_) {
        AlarmEventRow row;
        row.data_id = change.data_id;
        row.unix_time = e.unix_time;
        row.time = e.time;
        row.alarm_id = change.alarm_id;
        row.key = change.key;
        row.level = change.level;
        row.active = change.active;
        row.value_text = change.value_text;
        row.alarm_text = change.alarm_text;
        row.ordinal = change.ordinal;
        db_->AddAlarmEvent(row);
    }
    Emit(e);
}

void SiteServices::CheckThreshold(unsigned int data_id, const std::string& alarm_id,
                                  const std::string& name, float value) {
    auto it = thresholds_.find(data_id);
    if (it == thresholds_.end()) return;
    if (auto change = alarms_.Evaluate(data_id, it->second, alarm_id, name, value)) Alarm(*change);
}

void SiteServices::CheckThresholdBool(unsigned int data_id, int level, const std::string& key,
                                      const std::string& alarm_id, const std::string& value_text,
                                      const std::string& alarm_text, bool active,
                                      uint16_t ordinal) {
    AlarmChange r;
    r.data_id = data_id;
    r.level = level;
    r.key = key;
    r.alarm_id = alarm_id;
    r.value_text = value_text;
    r.alarm_text = alarm_text;
    r.active = active;
    r.ordinal = ordinal;
    if (auto change = alarms_.Report(r)) Alarm(*change);
}

bool SiteServices::DoBatchCheckThreshold(unsigned int data_id,
                                         const std::vector<rule_value>& values) {
    bool changed = false;
    for (const auto& v : values) {
        auto it = thresholds_.find(data_id);
        if (it == thresholds_.end()) break;
        if (auto change = alarms_.Evaluate(data_id, it->second, v.alarm_id, v.key, v.value)) {
            Alarm(*change);
            changed = true;
        }
    }
    return changed;
}

bool SiteServices::CheckAOReport(unsigned int data_id, const std::string& key, float value) {
    HostEvent e = Event(HostEvent::Kind::kAnalogReport, data_id);
    e.key = key;
    e.value = value;
    if (db_) {
        AnalogReportRow r;
        r.data_id = data_id;
        r.unix_time = e.unix_time;
        r.time = e.time;
        r.key = key;
        r.value = value;
        db_->AddAnalogReport(r);
    }
    Emit(e);
    return true;
}

void SiteServices::LinkState(unsigned int data_id, bool up, const std::string& detail) {
    auto it = link_up_.find(data_id);
    if (it != link_up_.end() && it->second == up) return;
    const bool first = it == link_up_.end();
    link_up_[data_id] = up;
    if (first && up) return;  // a link that starts up is no news
    HostEvent e = Event(up ? HostEvent::Kind::kLinkBack : HostEvent::Kind::kLinkLost, data_id);
    e.detail = detail;
    Emit(e);
}

bool SiteServices::LinkUp(unsigned int data_id) const {
    auto it = link_up_.find(data_id);
    return it != link_up_.end() && it->second;
}

const std::vector<uint8_t>& SiteServices::LastRecord(unsigned int data_id) const {
    static const std::vector<uint8_t> kNone;
    auto it = last_record_.find(data_id);
    return it == last_record_.end() ? kNone : it->second;
}

void SiteServices::Flush() {
    if (db_) db_->Commit();
}

bool SiteServicesController::Publish(QVRVDevice& dev, int type, const uint8_t* data, size_t len,
                                     bool) {
    return services_->Publish(dev.DataId(), type, data, len);
}

bool SiteServicesController::SaveHistory(QVRVDevice& dev, const uint8_t* data, size_t len) {
    const bool ok = services_->SaveHistory(dev.DataId(), data, len);
    if (on_round_stored) on_round_stored(dev.DataId());
    return ok;
}

void SiteServicesController::CheckThreshold(QVRVDevice& dev, const std::string& alarm_id,
                                            const std::string& name, float value, int) {
    services_->CheckThreshold(dev.DataId(), alarm_id, name, value);
}

void SiteServicesController::CheckThresholdBool(QVRVDevice& dev, int level, const std::string& key,
                                                const std::string& alarm_id,
                                                const std::string& value_text,
                                                const std::string& alarm_text, bool active,
                                                uint16_t ordinal) {
    services_->CheckThresholdBool(dev.DataId(), level, key, alarm_id, value_text, alarm_text,
                                  active, ordinal);
}

bool SiteServicesController::DoBatchCheckThreshold(QVRVDevice& dev,
                                                   const std::vector<rule_value>& values) {
    return services_->DoBatchCheckThreshold(dev.DataId(), values);
}

bool SiteServicesController::CheckAOReport(QVRVDevice& dev, const std::string& key, float value) {
    return services_->CheckAOReport(dev.DataId(), key, value);
}
