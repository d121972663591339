#include "service/mqtt_publisher.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point After(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int MillisUntil(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(ms, 1000)));
}

std::string Reason(int rc, int err) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(err);
    return mosquitto_strerror(rc);
}

// CONNACK return codes of MQTT 3.1.1.
std::string Refusal(int rc) {
    switch (rc) {
        case 1:
            return "unacceptable protocol version";
        case 2:
            return "client identifier rejected";
        case 3:
            return "server unavailable";
        case 4:
            return "bad user name or password";
        case 5:
            return "not authorised";
        default:
            return "code " + std::to_string(rc);
    }
}

// A key file with a passphrase would otherwise make OpenSSL ask for it on
// the terminal, holding the MQTT thread forever.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

std::string Seconds(double s) {
    std::ostringstream o;
    o << s;
    return o.str();
}

}  // namespace

MqttPublisher::MqttPublisher(Options options)
    : opt_(std::move(options)),
      where_(opt_.config.host + ":" + std::to_string(opt_.config.port)),
      client_id_(opt_.config.client_id),
      devices_(opt_.devices) {
    backoff_ = opt_.backoff_first;
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    if (client_id_.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "host");
        client_id_ = std::string("q318b-") + host + "-" + std::to_string(::getpid());
    }
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

MqttPublisher::~MqttPublisher() {
    Stop();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void MqttPublisher::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void MqttPublisher::Stop(double timeout) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!stopping_) {
            stopping_ = true;
            stop_deadline_ = After(timeout);
        }
    }
    Wake();
    if (thread_.joinable()) thread_.join();
}

void MqttPublisher::Wake() {
    const uint64_t one = 1;
    if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof one);
}

void MqttPublisher::State(unsigned int data_id, const std::string& name,
                          std::vector<uint8_t> record, double time,
                          std::vector<std::string> active_alarms) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        StateItem& s = states_[data_id];
        s.name = name;
        s.record = std::move(record);
        s.time = time;
        s.active_alarms = std::move(active_alarms);
        s.dirty = true;
    }
    Wake();
}

void MqttPublisher::SetDevices(std::set<unsigned int> devices) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_ = std::move(devices);
}

void MqttPublisher::Alarm(MqttAlarm alarm) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (alarms_.size() >= static_cast<size_t>(opt_.config.alarm_queue)) {
            alarms_.pop_front();
            ++dropped_;
            if (!drop_logged_ && opt_.log) {
                drop_logged_ = true;
                opt_.log("MQTT alarm queue full (" + std::to_string(opt_.config.alarm_queue) +
                         " events): dropping the oldest");
            }
        }
        AlarmItem item;
        item.seq = next_seq_++;
        item.alarm = std::move(alarm);
        alarms_.push_back(std::move(item));
    }
    Wake();
}

void MqttPublisher::Link(unsigned int data_id, bool up, const std::string& detail, double time) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        LinkItem& l = links_[data_id];
        l.up = up;
        l.detail = detail;
        l.time = time;
        l.dirty = true;
    }
    Wake();
}

void MqttPublisher::ControlResult(unsigned int data_id, Json::Value body) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        // Answers nobody collects while the broker is away are not worth
        // unbounded memory.
        if (results_.size() >= 100) results_.pop_front();
        results_.emplace_back(data_id, std::move(body));
    }
    Wake();
}

// ---- the MQTT thread ----

void MqttPublisher::Run() {
    auto next_attempt = Clock::now();
    Clock::time_point connect_deadline;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stopping_) break;
        }
        if (mosq_ == nullptr && Clock::now() >= next_attempt) {
            if (Connect()) {
                connect_deadline = After(opt_.connect_timeout);
            } else {
                next_attempt = After(backoff_);
                backoff_ = std::min(backoff_ * 2, opt_.backoff_max);
            }
        }
        if (mosq_ != nullptr && !connected_ && Clock::now() >= connect_deadline) {
            EndSession("no answer within " + Seconds(opt_.connect_timeout) + " s");
            next_attempt = After(backoff_);
            backoff_ = std::min(backoff_ * 2, opt_.backoff_max);
        }
        if (connected_) Send();
        int timeout = 1000;
        if (mosq_ == nullptr)
            timeout = MillisUntil(next_attempt);
        else if (!connected_)
            timeout = MillisUntil(connect_deadline);
        if (!Step(timeout)) {
            EndSession(lost_reason_);
            next_attempt = After(backoff_);
            backoff_ = std::min(backoff_ * 2, opt_.backoff_max);
        }
    }
    Clock::time_point deadline;
    {
        std::lock_guard<std::mutex> lock(mu_);
        deadline = stop_deadline_;
    }
    StopSession(deadline);
}

bool MqttPublisher::Step(int timeout_ms) {
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
    const int sock = mosq_ != nullptr ? mosquitto_socket(mosq_) : -1;
    if (sock >= 0)
        fds[1] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)),
                  0};
    if (::poll(fds, sock >= 0 ? 2 : 1, timeout_ms) < 0 && errno != EINTR) return mosq_ == nullptr;
    if (fds[0].revents != 0) {
        uint64_t n;
        (void)!::read(wake_fd_, &n, sizeof n);
    }
    if (mosq_ == nullptr) return true;
    if (mosquitto_socket(mosq_) < 0) return false;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) mosquitto_loop_read(mosq_, 1);
    if (mosquitto_socket(mosq_) >= 0 && (fds[1].revents & POLLOUT)) mosquitto_loop_write(mosq_, 1);
    if (mosquitto_socket(mosq_) >= 0) mosquitto_loop_misc(mosq_);
    return mosquitto_socket(mosq_) >= 0;
}

bool MqttPublisher::Connect() {
    const MqttConfig& c = opt_.config;
    connected_ = false;
    refused_ = 0;
    lost_reason_ = "connection closed";
    mosq_ = mosquitto_new(client_id_.c_str(), true, this);
    if (mosq_ == nullptr) {
        Down("cannot create a client: " + std::string(std::strerror(errno)), false);
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublish);
    mosquitto_message_callback_set(mosq_, &MqttPublisher::OnMessage);
    const std::string avail = MqttAvailabilityTopic(c.topic_prefix);
    int rc = mosquitto_will_set(mosq_, avail.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !c.username.empty())
        rc = mosquitto_username_pw_set(mosq_, c.username.c_str(),
                                       c.password.empty() ? nullptr : c.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && c.tls)
        rc = mosquitto_tls_set(mosq_, c.ca_file.empty() ? nullptr : c.ca_file.c_str(),
                               c.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
                               c.cert_file.empty() ? nullptr : c.cert_file.c_str(),
                               c.key_file.empty() ? nullptr : c.key_file.c_str(), &NoPassphrase);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(mosq_, c.host.c_str(), c.port, c.keepalive);
    if (rc != MOSQ_ERR_SUCCESS) {
        const int err = errno;
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        Down(Reason(rc, err), false);
        return false;
    }
    return true;
}

void MqttPublisher::Down(const std::string& reason, bool refused) {
    if (!opt_.log) return;
    if (refused) {
        if (shown_ != Shown::kRefused)
            opt_.log("MQTT broker " + where_ + " refused the connection: " + reason);
        shown_ = Shown::kRefused;
        return;
    }
    if (shown_ == Shown::kUp)
        opt_.log("MQTT broker " + where_ + " lost: " + reason);
    else if (shown_ == Shown::kNothing)
        opt_.log("MQTT broker " + where_ + " unreachable: " + reason);
    if (shown_ != Shown::kRefused) shown_ = Shown::kDown;
}

void MqttPublisher::EndSession(const std::string& reason) {
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    if (refused_ != 0)
        Down(Refusal(refused_), true);
    else
        Down(reason, false);
    connected_ = false;
    refused_ = 0;
    inflight_.clear();
    discovered_.clear();
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (rc != 0) {
        p->refused_ = rc;
        return;
    }
    p->connected_ = true;
    p->backoff_ = p->opt_.backoff_first;
    if (p->opt_.log) {
        if (p->shown_ == Shown::kNothing)
            p->opt_.log("MQTT connected to broker " + p->where_);
        else if (p->shown_ != Shown::kUp)
            p->opt_.log("MQTT broker " + p->where_ + " back");
    }
    p->shown_ = Shown::kUp;
    const std::string& prefix = p->opt_.config.topic_prefix;
    p->Publish(MqttAvailabilityTopic(prefix), "online", 1, true);
    // At most once: a control command repeated by a redelivery would act
    // twice on the plant.
    if (p->opt_.config.control.enabled)
        mosquitto_subscribe(p->mosq_, nullptr, MqttControlFilter(prefix).c_str(), 0);
    std::lock_guard<std::mutex> lock(p->mu_);
    for (auto& a : p->alarms_) a.sent = false;
    for (auto& s : p->states_) s.second.dirty = !s.second.record.empty();
    for (auto& l : p->links_) l.second.dirty = true;
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) p->lost_reason_ = Reason(rc, err);
    p->connected_ = false;
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int mid) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (mid == p->offline_mid_) p->offline_acked_ = true;
    auto it = p->inflight_.find(mid);
    if (it == p->inflight_.end()) return;
    const uint64_t seq = it->second;
    p->inflight_.erase(it);
    std::lock_guard<std::mutex> lock(p->mu_);
    // The oldest is almost always the one: acknowledgements come in order.
    auto a = std::find_if(p->alarms_.begin(), p->alarms_.end(),
                          [seq](const AlarmItem& x) { return x.seq == seq; });
    if (a != p->alarms_.end()) p->alarms_.erase(a);
    if (p->dropped_ > 0 && p->opt_.log) {
        p->opt_.log("MQTT alarm queue: " + std::to_string(p->dropped_) +
                    " alarm events were dropped while it was full");
        p->dropped_ = 0;
        p->drop_logged_ = false;
    }
}

void MqttPublisher::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (m == nullptr || m->topic == nullptr) return;
    const std::string topic = m->topic;
    const std::string payload(static_cast<const char*>(m->payload),
                              m->payload != nullptr ? static_cast<size_t>(m->payloadlen) : 0);
    p->Handle(topic, payload, m->retain);
}

void MqttPublisher::Handle(const std::string& topic, const std::string& payload, bool retained) {
    const std::string& prefix = opt_.config.topic_prefix;
    unsigned int id = 0;
    if (!MqttControlTopicId(prefix, topic, &id)) {
        if (opt_.log) opt_.log("MQTT control refused: the topic names no device");
        return;
    }
    // An empty message is how a client clears a retained one: nothing to do.
    if (payload.empty()) return;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        known = devices_.count(id) != 0;
    }
    MqttControlCheck c =
        CheckMqttControl(payload, opt_.config.control.token, opt_.config.control.allow_raw, known);
    if (retained) {
        // A retained request would be carried out again on every connect.
        c.ok = false;
        c.error = "retained requests are not taken";
    }
    if (!c.ok) {
        if (opt_.log)
            opt_.log("MQTT control to device " + std::to_string(id) + " refused: " + c.error);
        Json::Value body(Json::objectValue);
        body["error"] = c.error;
        body["data_id"] = id;
        if (!c.id.isNull()) body["id"] = c.id;
        Publish(MqttDeviceTopic(prefix, id, "control/result"), MqttJson(body), 1, false);
        return;
    }
    if (opt_.control) opt_.control(id, c.request, c.id);
}

bool MqttPublisher::Publish(const std::string& topic, const std::string& payload, int qos,
                            bool retain, int* mid) {
    return mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), qos, retain) == MOSQ_ERR_SUCCESS;
}

void MqttPublisher::Send() {
    const MqttConfig& c = opt_.config;
    struct Out {
        std::string topic, payload;
        int qos;
        bool retain;
        uint64_t seq;  // alarms only
    };
    std::vector<Out> out;
    std::vector<std::pair<unsigned int, StateItem>> states;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& r : results_)
            out.push_back({MqttDeviceTopic(c.topic_prefix, r.first, "control/result"),
                           MqttJson(r.second), 1, false, 0});
        results_.clear();
        for (auto& l : links_) {
            if (!l.second.dirty) continue;
            l.second.dirty = false;
            out.push_back({MqttDeviceTopic(c.topic_prefix, l.first, "link"),
                           MqttJson(MqttLinkPayload(l.second.up, l.second.detail, l.second.time)),
                           c.qos, true, 0});
        }
        for (auto& s : states_) {
            if (!s.second.dirty) continue;
            s.second.dirty = false;
            states.emplace_back(s.first, s.second);
        }
        size_t in_flight = inflight_.size();
        for (auto& a : alarms_) {
            if (in_flight >= opt_.max_inflight) break;
            if (a.sent) continue;
            a.sent = true;
            ++in_flight;
            out.push_back({MqttDeviceTopic(c.topic_prefix, a.alarm.alarm.data_id, "alarm"),
                           MqttJson(MqttAlarmPayload(a.alarm)), std::max(1, c.qos), false, a.seq});
        }
    }
    for (const auto& o : out) {
        int mid = 0;
        if (Publish(o.topic, o.payload, o.qos, o.retain, &mid) && o.seq != 0)
            inflight_[mid] = o.seq;
    }
    // Building a state's JSON takes longer than anything else here: done
    // outside the lock, from the copies.
    for (const auto& s : states) {
        if (c.homeassistant && discovered_.insert(s.first).second)
            for (const auto& m :
                 HomeAssistantConfigs(c.topic_prefix, s.first, s.second.name, s.second.record))
                Publish(m.topic, m.payload, 1, true);
        const Json::Value v = MqttStatePayload(s.first, s.second.name, s.second.record,
                                               s.second.time, s.second.active_alarms);
        if (!v.isNull())
            Publish(MqttDeviceTopic(c.topic_prefix, s.first, "state"), MqttJson(v), c.qos, true);
    }
}

void MqttPublisher::StopSession(Clock::time_point deadline) {
    if (mosq_ == nullptr) return;
    if (connected_) {
        // Alarm events still unacknowledged get half the time left.
        const auto half = Clock::now() + (deadline - Clock::now()) / 2;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (alarms_.empty()) break;
            }
            if (Clock::now() >= half || !connected_) break;
            Send();
            if (!Step(MillisUntil(half))) break;
        }
    }
    if (connected_ && mosquitto_socket(mosq_) >= 0) {
        offline_acked_ = false;
        Publish(MqttAvailabilityTopic(opt_.config.topic_prefix), "offline", 1, true, &offline_mid_);
        while (!offline_acked_ && Clock::now() < deadline)
            if (!Step(MillisUntil(deadline))) break;
        if (mosquitto_socket(mosq_) >= 0) {
            mosquitto_disconnect(mosq_);
            while (mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_) &&
                   Clock::now() < deadline)
                if (!Step(MillisUntil(deadline))) break;
        }
    }
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    connected_ = false;
}
