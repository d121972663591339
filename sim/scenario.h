// What a simulated power controller reports: its AC distribution,
// rectifier modules and DC distribution, how it lays its replies out, raw
// replies captured in the field, and events over time. Read from JSON;
// examples/scenarios/README.md describes the format.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// A float that may be "not available" (null in the scenario).
using Value = std::optional<float>;

struct AcInput {
    Value a, b, c, f;
    std::vector<Value> tower;          // 40 41 tower values
    std::vector<Value> user;           // 40 41 user-defined values
    uint8_t alarms[4] = {0, 0, 0, 0};  // A, B, C, frequency
    std::vector<uint8_t> fuses;
    std::vector<uint8_t> tower_alarms;
    std::vector<uint8_t> user_alarms;
};

struct AcUnit {
    std::vector<AcInput> inputs;
    Value currents[3];
    uint8_t current_alarms[3] = {0, 0, 0};
    std::vector<uint8_t> switches;  // 40 43 switch states
    std::vector<uint8_t> tower_status;
    std::vector<uint8_t> user_status;
};

struct Module {
    Value current;
    std::vector<Value> tower;
    std::vector<Value> user;
    uint8_t state[3] = {0, 0, 0};  // on/off, current limit, charge mode
    std::vector<uint8_t> tower_status;
    std::vector<uint8_t> user_status;
    uint8_t fault = 0;
    std::vector<uint8_t> tower_alarms;
    std::vector<uint8_t> user_alarms;
    std::vector<uint8_t> extra;  // bytes after the module's 41 41 block
};

struct RectifierUnit {
    Value voltage;
    std::vector<Module> modules;
};

struct DcGroup {
    Value voltage, current;
    std::vector<Value> batteries;  // battery-group currents
    std::vector<Value> branches;   // branch currents
    std::vector<Value> user;
    uint8_t voltage_alarm = 0;
    std::vector<uint8_t> fuses;
    std::vector<uint8_t> user_alarms;
};

struct Layout {
    enum class GroupByte { kAuto, kAlways, kNever };
    enum class NotAvailable { kSpaces, kBytes };

    bool tower = false;
    // The byte after DATAFLAG in 40 4x replies; "auto": when the command
    // asked for every group (INFO 0xFF).
    GroupByte group_byte = GroupByte::kAuto;
    uint8_t group_value = 1;
    // DC replies carry the number of groups after DATAFLAG.
    bool dc_number = true;
    NotAvailable not_available = NotAvailable::kSpaces;
    uint8_t dataflag = 0;
};

// Captured replies for one command, sent in turn (the last one repeats).
struct Replay {
    uint8_t cid1 = 0, cid2 = 0;
    std::vector<std::string> frames;
};

struct Event {
    double at = 0;  // seconds after the simulator started
    std::string action;
    Json::Value args;
};

struct Scenario {
    std::string name;
    uint8_t version = 0x20;
    uint8_t address = 1;
    int baud = 9600;
    bool pace = true;
    double turnaround_ms = 20;
    Layout layout;
    std::optional<AcUnit> ac;
    std::optional<RectifierUnit> rectifiers;
    std::vector<DcGroup> dc;
    std::vector<Replay> replay;
    std::vector<Event> events;
};

// Parses a scenario; false with the reason in `error` for anything it
// cannot take (wrong types, counts that do not fit a count byte).
bool ParseScenario(const Json::Value& root, Scenario* out, std::string* error);
bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error);

// Sections on their own, for events that replace them.
bool ParseAc(const Json::Value& v, AcUnit* out, std::string* error);
bool ParseRectifiers(const Json::Value& v, RectifierUnit* out, std::string* error);
bool ParseModule(const Json::Value& v, Module* out, std::string* error);
bool ParseDc(const Json::Value& v, std::vector<DcGroup>* out, std::string* error);

// "41 41" or "4141" as CID1 and CID2.
bool ParseCommand(const std::string& text, uint8_t* cid1, uint8_t* cid2);

}  // namespace sim
