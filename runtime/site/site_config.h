// The runner's site file: which devices to poll, on which ports, with which
// settings and host alarm configuration. Relative paths in it are taken
// relative to the site file's own folder.
#pragma once

#include <json/value.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/site/alarm_store.h"
#include "runtime/site/history_config.h"

class SiteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct PortSpec {
    enum class Kind { kSerial, kTcp, kSimulator };
    Kind kind = Kind::kSerial;
    std::string path;  // serial device, or the simulator's scenario file
    std::string host;  // tcp
    int port = 0;      // tcp
    std::string text;  // as written in the site file
};

struct DeviceConfig {
    unsigned int data_id = 0;
    std::string name;  // for messages and tables; defaults to "device <data_id>"
    PortSpec port;
    int address = 1;
    int protocol_version = 0;  // VER of the commands; 0: the device's own (0x20)
    int baud_rate = 0;         // 0: the device's own default
    double poll_interval = 5.0;
    double reply_timeout = 0.0;  // seconds; 0: derived from the expected reply
    // Seconds; 0: derived from the line (rt::DeviceSchedule says how).
    double late_window = 0.0;
    double quiet_gap = 0.0;
    double unit_gap = 0.0;
    std::string workdir;                            // where the plug-in looks for ./ini/
    Json::Value settings;                           // handed to InitSetting
    std::map<std::string, ThresholdConfig> alarms;  // host alarm levels and thresholds
};

// Control from outside (HTTP, later other clients): off unless the site
// names a token file.
struct RemoteControlConfig {
    bool enabled = false;
    std::string token_file;
    std::string token;          // the file's content without surrounding blanks; never logged
    bool allow_raw = false;     // the raw rectifier command (300)
    double reply_timeout = 10;  // seconds a request waits for the controller's reply
};

// A program the runner starts on every alarm raise and clear: off unless
// the site gives a command.
struct NotifyConfig {
    bool enabled = false;
    std::vector<std::string> command;  // argv; the first resolved, executable at load
    double timeout_s = 10;             // a program still running then is killed
    int max_running = 4;
    int queue = 1000;  // notices waiting for a free slot; beyond it the oldest go
};

// Publishing to an MQTT broker: off unless the site has "mqtt" or the
// runner is given --mqtt.
struct MqttConfig {
    bool enabled = false;
    std::string url;  // mqtt://HOST:PORT or mqtts://HOST:PORT
    std::string host;
    int port = 1883;
    bool tls = false;  // mqtts://
    std::string topic_prefix = "q318b";
    std::string client_id;  // empty: made from the host name and process id
    std::string username;
    std::string password_file;
    std::string password;  // the file's content; never logged
    std::string ca_file;   // empty with TLS: the system's CA certificates
    std::string cert_file;
    std::string key_file;
    int qos = 1;  // states and links; alarms are sent with at least 1
    int keepalive = 30;
    int alarm_queue = 1000;  // alarm events held for the broker; beyond it the oldest go
    bool homeassistant = false;
    RemoteControlConfig control;  // "mqtt.control"
};

struct SiteConfig {
    std::string file;
    std::string plugin;                // empty: the default plug-in
    std::string database;              // empty: no store
    std::string http_listen;           // "ADDR:PORT" for the status listener; empty: none
    RemoteControlConfig http_control;  // "http.control"
    NotifyConfig notify;               // "notify"
    MqttConfig mqtt;                   // "mqtt"
    HistoryConfig history;             // "history"
    std::vector<DeviceConfig> devices;
};

// Reads and checks a site file. Every problem is a SiteError with one line
// naming the file and, where it applies, the device and the member.
SiteConfig LoadSiteConfig(const std::string& path);
SiteConfig ParseSiteConfig(const Json::Value& root, const std::string& file,
                           const std::string& base_dir);

// A secret (token, password) from its file: the content without leading
// and trailing blanks and line ends. False, with `error` naming the file but
// never its content, when it cannot be read, is empty, longer than 4096
// bytes or holds a control character.
bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error);

// "ADDR:PORT" with ADDR a numeric IPv4 address or "localhost" and PORT
// 1-65535. False for anything else.
bool ParseListenAddress(const std::string& text, std::string* host, int* port);

// "mqtt://HOST:PORT" or "mqtts://HOST:PORT" (the port may be left out:
// 1883, 8883 with TLS) into `cfg`'s url, host, port and tls. False for
// anything else.
bool ParseMqttUrl(const std::string& text, MqttConfig* cfg);

// "tcp://host:port", "sim:SCENARIO" or a serial device path.
PortSpec ParsePortSpec(const std::string& text, const std::string& base_dir);
