// What a simulated power controller reports: its AC distribution,
// rectifier modules and DC distribution, how it lays its replies out, raw
// replies captured in the field, and events over time. Read from JSON;
// examples/scenarios/README.md describes the format.
#pragma once

#include <json/value.h>

#include <cstddef>
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

// What a scenario may ask for. ParseScenario refuses anything outside
// these; the controller falls back to its defaults outside them, which a
// scenario that loaded never reaches.
namespace limits {
constexpr int kMinBaud = 50;
constexpr int kMaxBaud = 4'000'000;
constexpr double kMaxTurnaroundMs = 60'000;
// Event times, in seconds after the start: some 115 days.
constexpr double kMaxEventAt = 1e7;
// The longest scripted delay, in milliseconds: far beyond any host's
// timeout, and far from what would overflow the server's clock arithmetic.
constexpr double kMaxDelayMs = 3'600'000;
// A silence this long is the controller gone for good.
constexpr double kMaxSilenceSeconds = 1e9;
constexpr long kMaxFaultCount = 1'000'000;
// The most characters a fault argument may add or take away: a little more
// than the longest frame.
constexpr long kMaxLineChars = 4096;
// Every list goes on the wire behind a count byte.
constexpr unsigned kMaxItems = 255;
// JSON nesting: a scenario needs five levels; this leaves room and keeps
// the reader's recursion shallow.
constexpr int kMaxNesting = 64;
// Larger than any scenario; a device or a pipe given as the file ends here.
constexpr size_t kMaxFileBytes = 16u << 20;
}  // namespace limits

// Parses a scenario; false with the reason in `error` for anything it
// cannot take: one line naming the member by its JSON path and what is
// wrong with it ("events[2].count: must be a whole number from 0 to
// 1000000"). Every event's action and arguments are checked here.
bool ParseScenario(const Json::Value& root, Scenario* out, std::string* error);
// The same from JSON text; syntax errors come as one line too.
bool ParseScenarioText(const std::string& text, Scenario* out, std::string* error);
// The same from a file; the error names the file: "scenario PATH: ...".
bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error);

// Sections on their own, for events that replace them; `where` is the
// JSON path the errors name.
bool ParseAc(const Json::Value& v, AcUnit* out, std::string* error,
             const std::string& where = "ac");
bool ParseRectifiers(const Json::Value& v, RectifierUnit* out, std::string* error,
                     const std::string& where = "rectifiers");
bool ParseModule(const Json::Value& v, Module* out, std::string* error,
                 const std::string& where = "module");
bool ParseDc(const Json::Value& v, std::vector<DcGroup>* out, std::string* error,
             const std::string& where = "dc");

// Names of the events a scenario may script.
bool KnownAction(const std::string& action);
// Whether an action is a fault on the line (it takes `count` and
// `command`) rather than a change of the controller's state.
bool FaultAction(const std::string& action);

// A byte given as a number or as hex text ("41", "0x41").
bool ParseByteArg(const Json::Value& v, uint8_t* out);

// "41 41" or "4141" as CID1 and CID2.
bool ParseCommand(const std::string& text, uint8_t* cid1, uint8_t* cid2);

}  // namespace sim
