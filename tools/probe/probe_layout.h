// Works out a controller's device options from the replies to one probe
// round: every poll command, in each form a device can send it, and for
// each option set the replies that device would get are decoded with the
// plug-in's own decoders. An option set fits when every reply decodes
// exactly (all bytes consumed, none missing) and the counts agree between
// the analog, status and alarm replies of a unit; among the sets that fit,
// values that make sense for a 48 V system rank first.
//
// Pure: no I/O, no clock. The decoders print trace lines on standard
// output; callers that print themselves silence it around InferLayout.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

// The data byte a command carries.
enum class Arg : uint8_t {
    kNone,   // no INFO
    kGroup,  // INFO 0x01 (the default "cg")
    kAll,    // INFO 0xFF ("cg" 255, and the DC commands)
};

struct Command {
    uint8_t cid1 = 0;
    uint8_t cid2 = 0;
    Arg arg = Arg::kNone;
};

// Every command of a probe round, in the order sent.
const std::vector<Command>& ProbeCommands();
// "40 41 [01]", "41 41 []".
std::string CommandText(const Command& c);

struct Exchange {
    Command command;
    bool answered = false;  // a reply that passed the frame checks came back
    uint8_t rtn = 0;
    std::vector<uint8_t> info;  // INFO bytes, DATAFLAG first
};

struct RoundCapture {
    std::vector<Exchange> exchanges;
    // The exchange for a command, or null when it was not sent.
    const Exchange* Find(uint8_t cid1, uint8_t cid2, Arg arg) const;
};

// The device options the probe decides; the others keep their defaults.
struct Options {
    bool has_ac = true;
    bool has_dc = false;
    int cg = 1;
    int no_40_arg = 0;
    int no_42_arg = 0;
    bool has_tower = false;
    int skip_41_41 = 0;
    int no_dc_number = -1;  // 1: no group count in DC replies, 2: a count

    bool operator==(const Options& o) const;
};

// Skip values tried per rectifier module.
constexpr int kMaxSkip = 32;

// An option set whose decodes fit every reply.
struct Candidate {
    Options options;
    int implausible = 0;              // values outside what a 48 V system reports
    int penalty = 0;                  // options away from their defaults
    std::string reading;              // the main values as this set reads them
    std::vector<std::string> doubts;  // the implausible values, named
};

// Two or more values of one option that fit equally well.
struct Ambiguity {
    std::string option;         // "has_tower"
    std::vector<int> values;    // the values that fit, the chosen one first
    bool harmless = false;      // the controller answers every form alike
    std::string what_to_check;  // for the field engineer
};

struct Verdict {
    std::vector<Candidate> fits;  // best first; empty when nothing fits
    std::vector<Ambiguity> ambiguities;
    std::vector<std::string> problems;  // why a unit did not fit, or no reply
    // Units that answered, with the return codes seen ("40 41 [01]: RTN 0").
    std::vector<std::string> units;
};

Verdict InferLayout(const RoundCapture& round);

// The "appSetting" object of an option set (integers throughout: the
// device reads every value as text and then as a number, so `true` would
// read as 0).
Json::Value AppSetting(const Options& o);

}  // namespace probe
