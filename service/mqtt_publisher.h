// The runner's site on an MQTT broker (topics: service/mqtt_topics.h).
//
// libmosquitto runs on a thread of its own: connecting, resolving a name,
// a TLS handshake or a slow broker may block, and none of that may delay a
// line. The poll loop only puts data into an outbox under a mutex and
// returns at once; the thread builds the messages and sends them.
//
// States and links keep the latest per device: a newer one replaces one not
// yet sent, and after every connect each device's latest is sent again (a
// restarted broker may have lost its retained messages). Alarm events are
// queued and leave the queue only when the broker has acknowledged them;
// after a reconnect whatever was not acknowledged is sent again, oldest
// first (at least once). The session is clean and a new libmosquitto handle
// is made for every connect, so nothing but this resend repeats a message.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/site/site_config.h"
#include "service/control_request.h"
#include "service/mqtt_topics.h"

struct mosquitto;
struct mosquitto_message;

class MqttPublisher {
  public:
    using Log = std::function<void(const std::string&)>;
    // A control request that passed every check, called on the MQTT thread.
    // `request_id` is the client's "id" (null without one), for the answer.
    using ControlHandler = std::function<void(unsigned int data_id, const ControlRequest& request,
                                              const Json::Value& request_id)>;

    struct Options {
        MqttConfig config;
        std::set<unsigned int> devices;  // the site's data_ids
        Log log;                         // thread-safe; called from the MQTT thread
        ControlHandler control;          // only with config.control.enabled
        // Seconds.
        double backoff_first = 1;
        double backoff_max = 60;
        double connect_timeout = 10;  // for the broker's CONNACK
        size_t max_inflight = 10;     // alarm events sent and not yet acknowledged
    };

    explicit MqttPublisher(Options options);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Starts the thread, which connects and keeps connecting.
    void Start();
    // Waits at most `timeout` seconds: unacknowledged alarms get part of it,
    // then "offline" is published and the session closed. Joins the thread.
    void Stop(double timeout = 3);

    // From the poll loop; each returns at once.
    void State(unsigned int data_id, const std::string& name, std::vector<uint8_t> record,
               double time, std::vector<std::string> active_alarms);
    void Alarm(MqttAlarm alarm);
    void Link(unsigned int data_id, bool up, const std::string& detail, double time);
    // The answer to a control request: `body` goes to <prefix>/<data_id>/control/result.
    void ControlResult(unsigned int data_id, Json::Value body);
    // The site's data_ids after a reload: control requests for others are
    // refused from now on.
    void SetDevices(std::set<unsigned int> devices);

  private:
    struct StateItem {
        std::string name;
        std::vector<uint8_t> record;
        double time = 0;
        std::vector<std::string> active_alarms;
        bool dirty = false;
    };
    struct LinkItem {
        bool up = false;
        std::string detail;
        double time = 0;
        bool dirty = false;
    };
    struct AlarmItem {
        uint64_t seq = 0;
        MqttAlarm alarm;
        bool sent = false;  // in this session
    };

    void Run();
    void Wake();
    // One poll of the wake-up and the broker's socket; false when the
    // session has ended.
    bool Step(int timeout_ms);
    bool Connect();
    // Logged once per change: up, down, refused.
    void Down(const std::string& reason, bool refused);
    void EndSession(const std::string& reason);
    void Send();
    bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                 int* mid = nullptr);
    void StopSession(std::chrono::steady_clock::time_point deadline);
    void Handle(const std::string& topic, const std::string& payload, bool retained);

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* m);

    const Options opt_;
    const std::string where_;  // "HOST:PORT", for the log
    std::string client_id_;
    std::thread thread_;
    int wake_fd_ = -1;

    std::mutex mu_;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stop_deadline_;
    std::map<unsigned int, StateItem> states_;
    std::map<unsigned int, LinkItem> links_;
    std::deque<AlarmItem> alarms_;
    uint64_t next_seq_ = 1;
    uint64_t dropped_ = 0;      // alarm events dropped in the current burst
    bool drop_logged_ = false;  // the burst's first drop was logged
    std::deque<std::pair<unsigned int, Json::Value>> results_;
    std::set<unsigned int> devices_;  // starts as opt_.devices

    // The MQTT thread's own.
    mosquitto* mosq_ = nullptr;
    bool connected_ = false;  // CONNACK accepted
    double backoff_ = 1;      // seconds before the next attempt after a failed one
    int refused_ = 0;         // the CONNACK's refusal code, 0: none
    std::string lost_reason_;
    std::map<int, uint64_t> inflight_;  // mid -> alarm seq
    std::set<unsigned int> discovered_;
    int offline_mid_ = -1;
    bool offline_acked_ = false;
    enum class Shown { kNothing, kUp, kDown, kRefused } shown_ = Shown::kNothing;
};
