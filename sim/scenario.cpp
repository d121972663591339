#include "sim/scenario.h"

#include <json/reader.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "sim/controller.h"

namespace sim {

namespace {

// Reads the members of one JSON object, remembering the first problem.
class Reader {
  public:
    Reader(const Json::Value& v, std::string where, std::string* error)
        : v_(v), where_(std::move(where)), error_(error) {
        if (!v.isNull() && !v.isObject()) Fail("", "an object");
    }

    bool ok() const { return ok_; }

    void Float(const char* key, Value* out) {
        const Json::Value& x = v_[key];
        if (x.isNull()) return;
        if (!x.isNumeric()) return Fail(key, "a number or null");
        *out = x.asFloat();
    }
    void FloatOrNull(const Json::Value& x, const std::string& key, Value* out) {
        if (x.isNull()) {
            out->reset();
        } else if (x.isNumeric()) {
            *out = x.asFloat();
        } else {
            Fail(key, "a number or null");
        }
    }
    void Floats(const char* key, std::vector<Value>* out) {
        const Json::Value& x = v_[key];
        if (x.isNull()) return;
        if (!x.isArray() || x.size() > 255) return Fail(key, "a list of at most 255 values");
        out->assign(x.size(), Value());
        for (Json::ArrayIndex i = 0; i < x.size(); ++i) FloatOrNull(x[i], key, &(*out)[i]);
    }
    void Byte(const Json::Value& x, const std::string& key, uint8_t* out) {
        if (!x.isIntegral() || x.asInt64() < 0 || x.asInt64() > 255)
            return Fail(key, "a byte (0 to 255)");
        *out = static_cast<uint8_t>(x.asUInt());
    }
    void Byte(const char* key, uint8_t* out) {
        if (!v_[key].isNull()) Byte(v_[key], key, out);
    }
    void Bytes(const char* key, std::vector<uint8_t>* out) {
        const Json::Value& x = v_[key];
        if (x.isNull()) return;
        if (!x.isArray() || x.size() > 255) return Fail(key, "a list of at most 255 bytes");
        out->assign(x.size(), 0);
        for (Json::ArrayIndex i = 0; i < x.size(); ++i) Byte(x[i], key, &(*out)[i]);
    }
    void FixedBytes(const char* key, uint8_t* out, unsigned n) {
        const Json::Value& x = v_[key];
        if (x.isNull()) return;
        if (!x.isArray() || x.size() != n)
            return Fail(key, "a list of " + std::to_string(n) + " bytes");
        for (unsigned i = 0; i < n; ++i) Byte(x[i], key, &out[i]);
    }
    void Bool(const char* key, bool* out) {
        const Json::Value& x = v_[key];
        if (x.isNull()) return;
        if (!x.isBool()) return Fail(key, "true or false");
        *out = x.asBool();
    }
    void Fail(const std::string& key, const std::string& what) {
        if (!ok_) return;
        ok_ = false;
        *error_ = where_ + (key.empty() ? "" : "." + key) + ": expected " + what;
    }

  private:
    const Json::Value& v_;
    std::string where_;
    std::string* error_;
    bool ok_ = true;
};

bool ParseAcInput(const Json::Value& v, const std::string& where, AcInput* in, std::string* error) {
    Reader r(v, where, error);
    r.Float("a", &in->a);
    r.Float("b", &in->b);
    r.Float("c", &in->c);
    r.Float("f", &in->f);
    r.Floats("tower", &in->tower);
    r.Floats("user", &in->user);
    r.FixedBytes("alarms", in->alarms, 4);
    r.Bytes("fuses", &in->fuses);
    r.Bytes("tower_alarms", &in->tower_alarms);
    r.Bytes("user_alarms", &in->user_alarms);
    return r.ok();
}

bool ParseModuleAt(const Json::Value& v, const std::string& where, Module* m, std::string* error) {
    Reader r(v, where, error);
    r.Float("current", &m->current);
    r.Floats("tower", &m->tower);
    r.Floats("user", &m->user);
    r.FixedBytes("state", m->state, 3);
    r.Bytes("tower_status", &m->tower_status);
    r.Bytes("user_status", &m->user_status);
    r.Byte("fault", &m->fault);
    r.Bytes("tower_alarms", &m->tower_alarms);
    r.Bytes("user_alarms", &m->user_alarms);
    r.Bytes("extra", &m->extra);
    return r.ok();
}

bool ParseDcGroup(const Json::Value& v, const std::string& where, DcGroup* g, std::string* error) {
    Reader r(v, where, error);
    r.Float("voltage", &g->voltage);
    r.Float("current", &g->current);
    r.Floats("batteries", &g->batteries);
    r.Floats("branches", &g->branches);
    r.Floats("user", &g->user);
    r.Byte("voltage_alarm", &g->voltage_alarm);
    r.Bytes("fuses", &g->fuses);
    r.Bytes("user_alarms", &g->user_alarms);
    return r.ok();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseCommand(const std::string& text, uint8_t* cid1, uint8_t* cid2) {
    std::string hex;
    for (char c : text)
        if (c != ' ') hex += c;
    if (hex.size() != 4) return false;
    int d[4];
    for (int i = 0; i < 4; ++i)
        if ((d[i] = HexDigit(hex[i])) < 0) return false;
    *cid1 = static_cast<uint8_t>(d[0] << 4 | d[1]);
    *cid2 = static_cast<uint8_t>(d[2] << 4 | d[3]);
    return true;
}

bool ParseAc(const Json::Value& v, AcUnit* ac, std::string* error) {
    Reader r(v, "ac", error);
    if (!r.ok()) return false;
    const Json::Value& inputs = v["inputs"];
    if (!inputs.isNull() && (!inputs.isArray() || inputs.size() > 255)) {
        *error = "ac.inputs: expected a list of at most 255 inputs";
        return false;
    }
    ac->inputs.assign(inputs.size(), AcInput());
    for (Json::ArrayIndex i = 0; i < inputs.size(); ++i)
        if (!ParseAcInput(inputs[i], "ac.inputs[" + std::to_string(i) + "]", &ac->inputs[i], error))
            return false;
    const Json::Value& cur = v["currents"];
    if (!cur.isNull()) {
        if (!cur.isArray() || cur.size() != 3) {
            *error = "ac.currents: expected a list of 3 values";
            return false;
        }
        for (unsigned i = 0; i < 3; ++i) r.FloatOrNull(cur[i], "currents", &ac->currents[i]);
    }
    r.FixedBytes("current_alarms", ac->current_alarms, 3);
    r.Bytes("switches", &ac->switches);
    r.Bytes("tower_status", &ac->tower_status);
    r.Bytes("user_status", &ac->user_status);
    return r.ok();
}

bool ParseModule(const Json::Value& v, Module* out, std::string* error) {
    return ParseModuleAt(v, "module", out, error);
}

bool ParseRectifiers(const Json::Value& v, RectifierUnit* rect, std::string* error) {
    Reader r(v, "rectifiers", error);
    if (!r.ok()) return false;
    r.Float("voltage", &rect->voltage);
    const Json::Value& mods = v["modules"];
    if (!mods.isNull() && !mods.isArray()) {
        *error = "rectifiers.modules: expected a list";
        return false;
    }
    rect->modules.clear();
    for (Json::ArrayIndex i = 0; i < mods.size(); ++i) {
        const std::string where = "rectifiers.modules[" + std::to_string(i) + "]";
        Module m;
        if (!ParseModuleAt(mods[i], where, &m, error)) return false;
        // "repeat": this module n times, its current rising by "step".
        const Json::Value& rep = mods[i]["repeat"];
        const Json::Value& step = mods[i]["step"];
        if ((!rep.isNull() && (!rep.isIntegral() || rep.asInt() < 1 || rep.asInt() > 255)) ||
            (!step.isNull() && !step.isNumeric())) {
            *error = where + ": repeat is a count from 1 to 255, step a number";
            return false;
        }
        const int n = rep.isNull() ? 1 : rep.asInt();
        for (int k = 0; k < n; ++k) {
            rect->modules.push_back(m);
            if (m.current && !step.isNull()) *m.current += step.asFloat();
        }
    }
    if (rect->modules.size() > 255) {
        *error = "rectifiers.modules: at most 255 modules fit the count byte";
        return false;
    }
    return r.ok();
}

bool ParseDc(const Json::Value& v, std::vector<DcGroup>* dc, std::string* error) {
    if (!v.isArray() || v.size() > 255) {
        *error = "dc: expected a list of DC groups";
        return false;
    }
    dc->assign(v.size(), DcGroup());
    for (Json::ArrayIndex i = 0; i < v.size(); ++i)
        if (!ParseDcGroup(v[i], "dc[" + std::to_string(i) + "]", &(*dc)[i], error)) return false;
    return true;
}

bool ParseScenario(const Json::Value& root, Scenario* out, std::string* error) {
    if (!root.isObject()) {
        *error = "a scenario is a JSON object";
        return false;
    }
    Scenario s;
    Reader r(root, "scenario", error);
    if (root["name"].isString()) s.name = root["name"].asString();
    r.Byte("version", &s.version);
    r.Byte("address", &s.address);
    if (!root["baud"].isNull()) {
        if (!root["baud"].isIntegral() || root["baud"].asInt() <= 0)
            r.Fail("baud", "a rate");
        else
            s.baud = root["baud"].asInt();
    }
    r.Bool("pace", &s.pace);
    if (!root["turnaround_ms"].isNull()) {
        if (!root["turnaround_ms"].isNumeric() || root["turnaround_ms"].asDouble() < 0)
            r.Fail("turnaround_ms", "milliseconds");
        else
            s.turnaround_ms = root["turnaround_ms"].asDouble();
    }
    if (!r.ok()) return false;

    const Json::Value& lay = root["layout"];
    Reader lr(lay, "layout", error);
    lr.Bool("tower", &s.layout.tower);
    lr.Bool("dc_number", &s.layout.dc_number);
    lr.Byte("dataflag", &s.layout.dataflag);
    lr.Byte("group_value", &s.layout.group_value);
    const Json::Value& gb = lay["group_byte"];
    if (gb.isBool()) {
        s.layout.group_byte = gb.asBool() ? Layout::GroupByte::kAlways : Layout::GroupByte::kNever;
    } else if (!gb.isNull() && !(gb.isString() && gb.asString() == "auto")) {
        lr.Fail("group_byte", "true, false or \"auto\"");
    }
    const Json::Value& na = lay["not_available"];
    if (na.isString() && na.asString() == "bytes") {
        s.layout.not_available = Layout::NotAvailable::kBytes;
    } else if (!na.isNull() && !(na.isString() && na.asString() == "spaces")) {
        lr.Fail("not_available", "\"spaces\" or \"bytes\"");
    }
    if (!lr.ok()) return false;

    if (!root["ac"].isNull()) {
        s.ac.emplace();
        if (!ParseAc(root["ac"], &*s.ac, error)) return false;
    }
    if (!root["rectifiers"].isNull()) {
        s.rectifiers.emplace();
        if (!ParseRectifiers(root["rectifiers"], &*s.rectifiers, error)) return false;
    }
    if (!root["dc"].isNull() && !ParseDc(root["dc"], &s.dc, error)) return false;

    const Json::Value& rep = root["replay"];
    for (Json::ArrayIndex i = 0; i < rep.size(); ++i) {
        Replay rp;
        const Json::Value& e = rep[i];
        const std::string where = "replay[" + std::to_string(i) + "]";
        if (!e["command"].isString() ||
            !ParseCommand(e["command"].asString(), &rp.cid1, &rp.cid2)) {
            *error = where + ".command: expected \"CID1 CID2\" in hex";
            return false;
        }
        const Json::Value& frames = e["frames"];
        if (!frames.isArray() || frames.empty()) {
            *error = where + ".frames: expected a list of frame texts";
            return false;
        }
        for (const auto& f : frames) {
            if (!f.isString()) {
                *error = where + ".frames: expected texts";
                return false;
            }
            std::string t = f.asString();
            if (t.empty() || t.back() != '\r') t += '\r';
            rp.frames.push_back(t);
        }
        s.replay.push_back(std::move(rp));
    }

    const Json::Value& ev = root["events"];
    for (Json::ArrayIndex i = 0; i < ev.size(); ++i) {
        const Json::Value& e = ev[i];
        Event x;
        if (!e["at"].isNumeric() || !e["action"].isString()) {
            *error = "events[" + std::to_string(i) + "]: expected \"at\" seconds and an \"action\"";
            return false;
        }
        x.at = e["at"].asDouble();
        x.action = e["action"].asString();
        if (!KnownAction(x.action)) {
            *error = "events[" + std::to_string(i) + "]: unknown action \"" + x.action + "\"";
            return false;
        }
        x.args = e;
        s.events.push_back(std::move(x));
    }
    *out = std::move(s);
    return true;
}

bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    Json::CharReaderBuilder b;
    Json::Value root;
    std::string errs;
    if (!Json::parseFromStream(b, in, &root, &errs)) {
        *error = path + ": " + errs;
        return false;
    }
    if (!ParseScenario(root, out, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

}  // namespace sim
