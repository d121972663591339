// The host's data and alarm services for a site: the alarm store, the
// history database and the event feed that the runner shows. Controllers
// forward the devices' Publish / SaveHistory / CheckThreshold /
// CheckThresholdBool / DoBatchCheckThreshold / CheckAOReport calls here.
//
// A device publishes, evaluates and stores a round in one synchronous call
// chain (Publish first, SaveHistory last), so that span is one database
// transaction: a host killed mid-round loses at most that round.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host_types.h"
#include "host/qvr_controller.h"
#include "runtime/site/alarm_store.h"
#include "runtime/site/history_config.h"
#include "runtime/site/history_db.h"

struct HostEvent {
    enum class Kind {
        kRecordPublished,
        kAlarmRaised,
        kAlarmCleared,
        kAnalogReport,
        kLinkLost,
        kLinkBack,
    };
    Kind kind = Kind::kRecordPublished;
    unsigned int data_id = 0;
    int64_t unix_time = 0;
    std::string time;             // local time, "YYYY-MM-DD hh:mm:ss"
    std::vector<uint8_t> record;  // record published
    AlarmChange alarm;            // alarm raised or cleared
    std::string key;              // analog report
    float value = 0.0f;           // analog report
    std::string detail;           // link lost: why
};

const char* ToString(HostEvent::Kind kind);
// Local time as events and stored rows carry it: "YYYY-MM-DD hh:mm:ss".
std::string LocalTimeText(std::time_t t);

class SiteServices {
  public:
    using Listener = std::function<void(const HostEvent&)>;
    using Clock = std::function<std::time_t()>;

    // `db` may be null: nothing is stored.
    explicit SiteServices(std::shared_ptr<HistoryDb> db = nullptr);

    // Stores from now on (null: nothing is stored).
    void SetDatabase(std::shared_ptr<HistoryDb> db) { db_ = std::move(db); }
    void SetListener(Listener l) { listener_ = std::move(l); }
    // Tests pin the clock; the default is the system time.
    void SetClock(Clock c) { clock_ = std::move(c); }
    void SetThresholds(unsigned int data_id, std::map<std::string, ThresholdConfig> config);
    // Which rounds' records are stored: min_interval_s (the age limit is the
    // retention's). Until this is called every record is.
    void SetHistoryPolicy(const HistoryConfig& config) { min_interval_s_ = config.min_interval_s; }

    bool Publish(unsigned int data_id, int type, const uint8_t* data, size_t len);
    bool SaveHistory(unsigned int data_id, const uint8_t* data, size_t len);
    void CheckThreshold(unsigned int data_id, const std::string& alarm_id, const std::string& name,
                        float value);
    void CheckThresholdBool(unsigned int data_id, int level, const std::string& key,
                            const std::string& alarm_id, const std::string& value_text,
                            const std::string& alarm_text, bool active, uint16_t ordinal);
    bool DoBatchCheckThreshold(unsigned int data_id, const std::vector<rule_value>& values);
    bool CheckAOReport(unsigned int data_id, const std::string& key, float value);

    // Link state as the controller sees it; only changes become events.
    void LinkState(unsigned int data_id, bool up, const std::string& detail = "");
    bool LinkUp(unsigned int data_id) const;

    const AlarmStore& alarms() const { return alarms_; }
    // The last published record of a device (empty before the first).
    const std::vector<uint8_t>& LastRecord(unsigned int data_id) const;
    // Ends a round left open (a device that published but never stored).
    void Flush();

  private:
    HostEvent Event(HostEvent::Kind kind, unsigned int data_id) const;
    void Emit(const HostEvent& e);
    void Alarm(const AlarmChange& change);

    std::shared_ptr<HistoryDb> db_;
    Listener listener_;
    Clock clock_;
    AlarmStore alarms_;
    std::map<unsigned int, std::map<std::string, ThresholdConfig>> thresholds_;
    std::map<unsigned int, std::vector<uint8_t>> last_record_;
    std::map<unsigned int, bool> link_up_;
    int64_t min_interval_s_ = 0;
    // When each device's last record was stored by this process: the first
    // round after a start is always stored.
    std::map<unsigned int, int64_t> last_stored_;
    StoredRecord row_;  // the history row being written, kept for its buffers
};

// The site services as a controller, for the port controllers to pass the
// devices' data and alarm calls to.
class SiteServicesController : public QVRController {
  public:
    explicit SiteServicesController(std::shared_ptr<SiteServices> services)
        : services_(std::move(services)) {}

    // Called after a device has stored a round (the end of its RoundDone).
    std::function<void(unsigned int data_id)> on_round_stored;

    bool Publish(QVRVDevice& dev, int type, const uint8_t* data, size_t len,
                 bool realtime) override;
    bool SaveHistory(QVRVDevice& dev, const uint8_t* data, size_t len) override;
    void CheckThreshold(QVRVDevice& dev, const std::string& alarm_id, const std::string& name,
                        float value, int count) override;
    void CheckThresholdBool(QVRVDevice& dev, int level, const std::string& key,
                            const std::string& alarm_id, const std::string& value_text,
                            const std::string& alarm_text, bool active, uint16_t ordinal) override;
    bool DoBatchCheckThreshold(QVRVDevice& dev, const std::vector<rule_value>& values) override;
    bool CheckAOReport(QVRVDevice& dev, const std::string& key, float value) override;

  private:
    std::shared_ptr<SiteServices> services_;
};
