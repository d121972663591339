#include "sim/scenario_events.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "sim/scenario_reader.h"

namespace sim {

using scenario_json::Member;
using scenario_json::Reader;

namespace {

// Module numbers go from 0; a unit holds at most 255 modules.
constexpr long kLastModule = static_cast<long>(limits::kMaxItems) - 1;

void Module(Reader& r, std::string*) {
    long x = 0;
    r.Whole("module", 0, kLastModule, &x);
}

void Required(Reader& r, const char* key, const char* what) {
    if (r.ok() && !r.Has(key)) r.Fail(key, std::string("must be given: ") + what);
}

void ModuleFault(Reader& r, std::string* error) {
    Module(r, error);
    uint8_t b = 0;
    r.Byte("fault", &b);
}

void AddModule(Reader& r, std::string* error) {
    Module(r, error);
    sim::Module m;
    if (r.Has("value") && !ParseModule(r.Get("value"), &m, error, Member(r.path(), "value")))
        r.Failed();
}

void SetAc(Reader& r, std::string* error) {
    Required(r, "value", "the AC unit as in \"ac\"");
    AcUnit ac;
    if (r.ok() && !ParseAc(r.Get("value"), &ac, error, Member(r.path(), "value"))) r.Failed();
}

void SetRectifiers(Reader& r, std::string* error) {
    Required(r, "value", "the rectifier unit as in \"rectifiers\"");
    RectifierUnit u;
    if (r.ok() && !ParseRectifiers(r.Get("value"), &u, error, Member(r.path(), "value")))
        r.Failed();
}

void SetDc(Reader& r, std::string* error) {
    Required(r, "value", "the DC groups as in \"dc\"");
    std::vector<DcGroup> dc;
    if (r.ok() && !ParseDc(r.Get("value"), &dc, error, Member(r.path(), "value"))) r.Failed();
}

void Silence(Reader& r, std::string*) {
    double d = 0;
    r.Number("duration", 0, limits::kMaxSilenceSeconds, &d);
}

void Garbage(Reader& r, std::string*) {
    std::string t;
    r.Text("text", 0, limits::kMaxLineChars, &t);
}

void Noise(Reader& r, std::string*) {
    std::string t;
    r.Text("text", 1, limits::kMaxLineChars, &t);
    long n = 0;
    r.Whole("length", 1, limits::kMaxLineChars, &n);
    const Json::Value& w = r.Get("where");
    if (!w.isNull() && !(w.isString() && (w.asString() == "before" || w.asString() == "inside")))
        r.Fail("where", "must be \"before\" or \"inside\"");
}

void Rtn(Reader& r, std::string*) {
    uint8_t b = 0;
    r.Byte("code", &b);
}

void Delay(Reader& r, std::string*) {
    double ms = 0;
    r.Number("ms", 0, limits::kMaxDelayMs, &ms);
}

void WrongUnit(Reader& r, std::string*) {
    uint8_t b = 0;
    if (r.Has("cid1") && !ParseByteArg(r.Get("cid1"), &b))
        r.Fail("cid1", "must be a byte: a whole number from 0 to 255, or hex text such as \"42\"");
}

void Drop(Reader& r, std::string*) {
    long n = 0;
    r.Whole("bytes", 1, limits::kMaxLineChars, &n);
}

struct Action {
    const char* name;
    bool fault;  // takes `count` and `command`, and damages replies
    void (*check)(Reader&, std::string*);
};

constexpr Action kActions[] = {
    {"mains_failure", false, nullptr},
    {"mains_restored", false, nullptr},
    {"module_fault", false, ModuleFault},
    {"module_clear", false, Module},
    {"add_module", false, AddModule},
    {"remove_module", false, Module},
    {"set_ac", false, SetAc},
    {"set_rectifiers", false, SetRectifiers},
    {"set_dc", false, SetDc},
    {"silence", true, Silence},
    {"garbage", true, Garbage},
    {"garble", true, nullptr},
    {"truncate", true, nullptr},
    {"bad_checksum", true, nullptr},
    {"bad_length", true, nullptr},
    {"rtn", true, Rtn},
    {"wrong_address", true, nullptr},
    {"delay", true, Delay},
    {"duplicate", true, nullptr},
    {"echo", true, nullptr},
    {"wrong_unit", true, WrongUnit},
    {"noise", true, Noise},
    {"drop", true, Drop},
};

const Action* Find(const std::string& name) {
    const auto it = std::find_if(std::begin(kActions), std::end(kActions),
                                 [&](const Action& a) { return name == a.name; });
    return it == std::end(kActions) ? nullptr : it;
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Seconds(double at) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", at);
    return buf;
}

// The events that name a module can only name one that is there when they
// come (otherwise the controller would quietly do nothing, or add at the
// end). The timetable is played through on the module count alone, in the
// order the controller applies it: by time, and in file order at one time.
bool CheckModuleNumbers(const Scenario& s, const std::vector<Event>& events, std::string* error) {
    std::vector<size_t> order(events.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return events[a].at < events[b].at; });
    bool present = s.rectifiers.has_value();
    size_t count = present ? s.rectifiers->modules.size() : 0;
    for (size_t i : order) {
        const Event& e = events[i];
        const std::string where =
            scenario_json::Element("events", static_cast<Json::ArrayIndex>(i));
        if (e.action == "set_rectifiers") {
            RectifierUnit u;
            std::string ignored;
            ParseRectifiers(e.args["value"], &u, &ignored);  // checked already
            present = true;
            count = u.modules.size();
            continue;
        }
        const bool adds = e.action == "add_module";
        if (!adds && e.action != "module_fault" && e.action != "module_clear" &&
            e.action != "remove_module")
            continue;
        const std::string when = " at " + Seconds(e.at);
        if (!present) {
            *error = where + ".action: there is no rectifier unit" + when;
            return false;
        }
        const Json::Value& m = e.args["module"];
        const long j = m.isNull() ? (adds ? static_cast<long>(count) : static_cast<long>(count) - 1)
                                  : static_cast<long>(m.asInt64());  // range checked already
        const long last = adds ? static_cast<long>(count) : static_cast<long>(count) - 1;
        if (adds && count >= limits::kMaxItems) {
            *error =
                where + ": the unit has 255 modules" + when + ", the most the count byte carries";
            return false;
        }
        if (j < 0 || j > last) {
            const std::string have = std::to_string(count) + (count == 1 ? " module" : " modules");
            *error = where + (m.isNull() ? "" : ".module") + ": " +
                     (m.isNull() ? std::string("no module") : "no module " + std::to_string(j)) +
                     (adds ? " to insert before" : "") + when + " (the unit has " + have +
                     ", numbered from 0)";
            return false;
        }
        if (adds) ++count;
        if (e.action == "remove_module") --count;
    }
    return true;
}

}  // namespace

bool KnownAction(const std::string& action) {
    return Find(action) != nullptr;
}

bool FaultAction(const std::string& action) {
    const Action* a = Find(action);
    return a != nullptr && a->fault;
}

bool ParseByteArg(const Json::Value& v, uint8_t* out) {
    if (v.isString()) {
        std::string t = v.asString();
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.erase(0, 2);
        if (t.empty() || t.size() > 2) return false;
        int x = 0;
        for (char c : t) {
            if (Hex(c) < 0) return false;
            x = x << 4 | Hex(c);
        }
        *out = static_cast<uint8_t>(x);
        return true;
    }
    long x = 0;
    if (!scenario_json::ReadWhole(v, 0, 255, &x)) return false;
    *out = static_cast<uint8_t>(x);
    return true;
}

bool ParseEvents(const Json::Value& list, const Scenario& s, std::vector<Event>* out,
                 std::string* error) {
    if (list.isNull()) return true;
    if (!list.isArray()) {
        *error =
            std::string("events: must be a list of events, not ") + scenario_json::KindOf(list);
        return false;
    }
    std::vector<Event> events;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        Reader r(list[i], scenario_json::Element("events", i), error, true);
        Event e;
        Required(r, "at", "seconds after the start, from 0 to 10000000");
        r.Number("at", 0, limits::kMaxEventAt, &e.at);
        Required(r, "action", "the name of an event, such as \"delay\"");
        const Json::Value& name = r.Get("action");
        if (r.ok() && !name.isString()) r.Fail("action", "must be the name of an event, as text");
        const Action* a = r.ok() ? Find(name.asString()) : nullptr;
        if (r.ok() && a == nullptr)
            r.Fail("action", "unknown action " + scenario_json::Quoted(name.asString()));
        if (!r.ok()) return false;
        if (a->fault) {
            long count = 0;
            r.Whole("count", 0, limits::kMaxFaultCount, &count);
            const Json::Value& cmd = r.Get("command");
            uint8_t cid1 = 0, cid2 = 0;
            if (!cmd.isNull() && !(cmd.isString() && ParseCommand(cmd.asString(), &cid1, &cid2)))
                r.Fail("command", "must be CID1 CID2 in hex, such as \"41 43\"");
        }
        if (a->check != nullptr) a->check(r, error);
        if (!r.ok()) return false;
        e.action = a->name;
        e.args = list[i];
        events.push_back(std::move(e));
    }
    if (!CheckModuleNumbers(s, events, error)) return false;
    *out = std::move(events);
    return true;
}

}  // namespace sim
