#include "sim/controller.h"

#include <algorithm>
#include <cstring>

#include "runtime/wire/frame_codec.h"

namespace sim {

namespace {

using limits::kMaxDelayMs;
using limits::kMaxLineChars;
using limits::kMaxSilenceSeconds;

// Junk for `noise`: a high byte, a NUL and a stray SOI, so that whoever
// reads the line has to resynchronise on the reply's own SOI.
const std::string kNoise("\xFF#~\x00?*!", 7);

// Return codes of the protocol.
constexpr uint8_t kRtnVersion = 1;
constexpr uint8_t kRtnChksum = 2;
constexpr uint8_t kRtnLchksum = 3;
constexpr uint8_t kRtnCid2 = 4;
constexpr uint8_t kRtnFormat = 5;
constexpr uint8_t kRtnData = 6;

// Builds INFO text the way the controller lays it out.
class Info {
  public:
    explicit Info(Layout::NotAvailable na) : na_(na) {}

    void B(uint8_t b) {
        uint8_t x = b;
        s_ += wire::HexText(&x, 1);
    }
    void F(const Value& v) {
        if (!v) {
            s_ += na_ == Layout::NotAvailable::kSpaces ? "        " : "20202020";
            return;
        }
        const float f = *v;
        uint8_t b[4];
        std::memcpy(b, &f, 4);  // the wire is little-endian, as is this host
        s_ += wire::HexText(b, 4);
    }
    void Count(size_t n) { B(static_cast<uint8_t>(n)); }
    void Floats(const std::vector<Value>& v) {
        Count(v.size());
        for (const auto& x : v) F(x);
    }
    void Bytes(const std::vector<uint8_t>& v) {
        Count(v.size());
        for (auto b : v) B(b);
    }
    void Raw(const std::vector<uint8_t>& v) {
        for (auto b : v) B(b);
    }
    std::string& text() { return s_; }

  private:
    Layout::NotAvailable na_;
    std::string s_;
};

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The address of a frame body, or -1 when its characters are not hex.
int BodyAddress(std::string_view body) {
    if (body.size() < 4) return -1;
    const int hi = Hex(body[2]), lo = Hex(body[3]);
    return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
}

void SetChecksum(std::string& frame) {
    // ~ BODY CHKSUM \r: the sum covers everything between ~ and CHKSUM.
    const size_t ck = frame.size() - 5;
    const uint16_t sum = wire::FrameChecksum(std::string_view(frame).substr(1, ck - 1));
    const uint8_t b[2] = {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
    frame.replace(ck, 4, wire::HexText(b, 2));
}

char OtherHexDigit(char c) {
    return c == '0' ? '1' : '0';
}

// Event arguments are checked when the scenario loads (ParseScenario), so
// these fallbacks are for events made up in code: a value that is absent,
// of the wrong type or out of range gives the default. (jsoncpp throws on
// conversions that do not fit.)
long IntArg(const Json::Value& v, long lo, long hi, long def) {
    if (!v.isInt64()) return def;
    const int64_t x = v.asInt64();
    return x < lo || x > hi ? def : static_cast<long>(x);
}

double NumberArg(const Json::Value& v, double lo, double hi, double def) {
    if (!v.isNumeric()) return def;
    const double x = v.asDouble();
    return x >= lo && x <= hi ? x : def;  // NaN and infinities fail both
}

// The unit a misrouted reply pretends to come from: the next one round.
uint8_t NextUnit(uint8_t cid1) {
    switch (cid1) {
        case 0x40:
            return 0x41;
        case 0x41:
            return 0x42;
        default:
            return 0x40;
    }
}

std::string NoiseText(const Json::Value& a) {
    const Json::Value& t = a["text"];
    const std::string base = t.isString() && !t.asString().empty() ? t.asString() : kNoise;
    const long n = IntArg(a["length"], 1, kMaxLineChars, -1);
    if (n < 0) return base;
    std::string out;
    while (out.size() < static_cast<size_t>(n)) out += base;
    out.resize(static_cast<size_t>(n));
    return out;
}

// SOI, a header, CHKSUM and EOI: enough to rewrite a field and re-sum it.
bool LooksLikeFrame(const std::string& t) {
    return t.size() >= 1 + wire::kHeaderChars + wire::kChksumChars + 1 && t.front() == wire::kSoi &&
           t.back() == wire::kEoi;
}

}  // namespace

SimController::SimController(Scenario s) : s_(std::move(s)) {
    std::stable_sort(s_.events.begin(), s_.events.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
    replay_pos_.assign(s_.replay.size(), 0);
}

void SimController::ApplyEvents(double now) {
    while (next_event_ < s_.events.size() && s_.events[next_event_].at <= now)
        Apply(s_.events[next_event_++]);
}

void SimController::Apply(const Event& e) {
    const Json::Value& a = e.args;
    std::string err;
    const auto module_index = [&](size_t size) -> long {
        const Json::Value& m = a["module"];
        if (m.isNull()) return size == 0 ? -1 : static_cast<long>(size) - 1;
        return IntArg(m, 0, static_cast<long>(size) - 1, -1);
    };
    if (e.action == "mains_failure" && s_.ac) {
        saved_ac_.push_back(*s_.ac);
        for (auto& in : s_.ac->inputs) {
            in.a = in.b = in.c = in.f = 0.0f;
            std::fill(std::begin(in.alarms), std::end(in.alarms), uint8_t{0x01});
        }
        for (auto& c : s_.ac->currents) c = 0.0f;
    } else if (e.action == "mains_restored" && s_.ac && !saved_ac_.empty()) {
        *s_.ac = saved_ac_.front();
        saved_ac_.clear();
    } else if ((e.action == "module_fault" || e.action == "module_clear") && s_.rectifiers) {
        const long j = module_index(s_.rectifiers->modules.size());
        if (j < 0) return;
        uint8_t fault = 0;
        if (e.action == "module_fault")
            fault = static_cast<uint8_t>(IntArg(a["fault"], 0, 255, 0x01));
        s_.rectifiers->modules[static_cast<size_t>(j)].fault = fault;
    } else if (e.action == "add_module" && s_.rectifiers) {
        Module m;
        if (!a["value"].isNull() && !ParseModule(a["value"], &m, &err)) return;
        auto& mods = s_.rectifiers->modules;
        if (mods.size() >= 255) return;
        const long end = static_cast<long>(mods.size());
        mods.insert(mods.begin() + IntArg(a["module"], 0, end, end), m);
    } else if (e.action == "remove_module" && s_.rectifiers) {
        const long j = module_index(s_.rectifiers->modules.size());
        if (j >= 0) s_.rectifiers->modules.erase(s_.rectifiers->modules.begin() + j);
    } else if (e.action == "set_ac") {
        AcUnit ac;
        if (ParseAc(a["value"], &ac, &err)) s_.ac = ac;
    } else if (e.action == "set_rectifiers") {
        RectifierUnit r;
        if (ParseRectifiers(a["value"], &r, &err)) s_.rectifiers = r;
    } else if (e.action == "set_dc") {
        std::vector<DcGroup> dc;
        if (ParseDc(a["value"], &dc, &err)) s_.dc = dc;
    } else if (FaultAction(e.action)) {
        // Only faults: a state change that found nothing to change (a mains
        // failure with no AC unit) must not take the next reply's turn.
        Fault f;
        f.kind = e.action;
        f.args = a;
        f.count = static_cast<int>(IntArg(a["count"], 0, limits::kMaxFaultCount, 1));
        if (a["command"].isString() && ParseCommand(a["command"].asString(), &f.cid1, &f.cid2))
            f.any_command = false;
        // The line going quiet for a while: keyed to time, not to replies.
        const double duration = NumberArg(a["duration"], 0, kMaxSilenceSeconds, -1);
        if (e.action == "silence" && duration >= 0) {
            f.until = std::max(e.at, 0.0) + duration;
            f.count = 0;
        }
        faults_.push_back(f);
    }
}

std::string SimController::Frame(uint8_t adr, uint8_t cid1, uint8_t rtn,
                                 const std::string& info) const {
    std::string out;
    if (!wire::EncodeFrameText(wire::Version(s_.version), wire::Address(adr), cid1, rtn, info,
                               &out)) {
        // More than a frame can carry: the controller says its data is bad.
        wire::EncodeFrameText(wire::Version(s_.version), wire::Address(adr), cid1, kRtnData, "",
                              &out);
    }
    return out;
}

uint8_t SimController::BuildInfo(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& cmd,
                                 std::string* text) {
    Info w(s_.layout.not_available);
    const Layout& lay = s_.layout;
    const bool group =
        lay.group_byte == Layout::GroupByte::kAlways ||
        (lay.group_byte == Layout::GroupByte::kAuto && cmd.size() == 1 && cmd[0] == 0xFF);
    if (cid1 == 0x40 && (cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44)) {
        if (!s_.ac) return kRtnCid2;
        const AcUnit& ac = *s_.ac;
        w.B(lay.dataflag);
        if (group) w.B(lay.group_value);
        if (cid2 == 0x41) {
            w.Count(ac.inputs.size());
            for (const auto& in : ac.inputs) {
                w.F(in.a);
                w.F(in.b);
                w.F(in.c);
                w.F(in.f);
                if (lay.tower) w.Floats(in.tower);
                w.Floats(in.user);
            }
            for (const auto& c : ac.currents) w.F(c);
        } else if (cid2 == 0x43) {
            w.Bytes(ac.switches);
            if (lay.tower) w.Bytes(ac.tower_status);
            w.Bytes(ac.user_status);
        } else {
            w.Count(ac.inputs.size());
            for (const auto& in : ac.inputs) {
                for (auto b : in.alarms) w.B(b);
                w.Bytes(in.fuses);
                if (lay.tower) w.Bytes(in.tower_alarms);
                w.Bytes(in.user_alarms);
            }
            for (auto b : ac.current_alarms) w.B(b);
        }
    } else if (cid1 == 0x41 && (cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44)) {
        if (!s_.rectifiers) return kRtnCid2;
        const RectifierUnit& r = *s_.rectifiers;
        w.B(lay.dataflag);
        if (cid2 == 0x41) w.F(r.voltage);
        w.Count(r.modules.size());
        for (const auto& m : r.modules) {
            if (cid2 == 0x41) {
                w.F(m.current);
                if (lay.tower) w.Floats(m.tower);
                w.Floats(m.user);
                w.Raw(m.extra);
            } else if (cid2 == 0x43) {
                for (auto b : m.state) w.B(b);
                if (lay.tower) w.Bytes(m.tower_status);
                w.Bytes(m.user_status);
            } else {
                w.B(m.fault);
                if (lay.tower) w.Bytes(m.tower_alarms);
                w.Bytes(m.user_alarms);
            }
        }
    } else if (cid1 == 0x42 && (cid2 == 0x41 || cid2 == 0x44)) {
        if (s_.dc.empty()) return kRtnCid2;
        w.B(lay.dataflag);
        const size_t groups = lay.dc_number ? s_.dc.size() : 1;
        if (lay.dc_number) w.Count(groups);
        for (size_t k = 0; k < groups; ++k) {
            const DcGroup& g = s_.dc[k];
            if (cid2 == 0x41) {
                w.F(g.voltage);
                w.F(g.current);
                w.Floats(g.batteries);
                w.Floats(g.branches);
                w.Floats(g.user);
            } else {
                w.B(g.voltage_alarm);
                w.Bytes(g.fuses);
                w.Bytes(g.user_alarms);
            }
        }
    } else {
        return Control(cid1, cid2, cmd);
    }
    *text = std::move(w.text());
    return 0;
}

uint8_t SimController::Control(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& info) {
    if (cid1 == 0x41 && cid2 == 0x45) {
        if (info.size() != 2) return kRtnFormat;
        const uint8_t type = info[0], n = info[1];
        if (type == 0x20 || type == 0x2F) {
            // Module n switched on (0x20) or off (0x2F); n counts from 1,
            // 0 means every module.
            if (!s_.rectifiers || n > s_.rectifiers->modules.size()) return kRtnData;
            for (size_t j = 0; j < s_.rectifiers->modules.size(); ++j)
                if (n == 0 || j + 1 == n)
                    s_.rectifiers->modules[j].state[0] = type == 0x20 ? 0x00 : 0x01;
        } else if (type != 0x1F && type != 0x10 && type != 0x11) {
            return kRtnData;
        }
    } else if (cid1 == 0x42 && cid2 == 0x48) {
        if (info.size() != 5) return kRtnFormat;
        float v;
        std::memcpy(&v, info.data() + 1, 4);
        parameters_[info[0]] = v;
    } else if (cid1 == 0x42 && cid2 == 0x49) {
        if (info.size() != 3) return kRtnFormat;
        const int16_t raw = static_cast<int16_t>(info[1] << 8 | info[2]);
        parameters_[info[0]] = static_cast<float>(raw) / 100.0f;
    } else if (cid1 == 0x41 && cid2 == 0x4E) {
        if (info.size() != 7) return kRtnFormat;
    } else {
        return kRtnCid2;
    }
    controls_.push_back({cid1, cid2, info});
    return 0;
}

void SimController::AddPeer(Scenario s) {
    peers_.emplace_back(std::move(s));
}

Response SimController::Answer(std::string_view body, double now) {
    Response r = AnswerOwn(body, now);
    for (auto& p : peers_) {
        Response other = p.Answer(body, now);
        if (r.text.empty() && r.echo.empty()) r = std::move(other);
    }
    return r;
}

Response SimController::AnswerOwn(std::string_view body, double now) {
    ApplyEvents(now);
    Response resp;
    const int adr = BodyAddress(body);
    // Not for this controller (or not readable enough to tell): another
    // device on the line may answer; this one keeps quiet.
    if (adr != s_.address) return resp;

    wire::Frame cmd;
    const wire::FrameError err = wire::ParseFrameBody(body, &cmd);
    uint8_t cid1 = 0;
    uint8_t rtn = 0;
    std::string info;
    if (err != wire::FrameError::kNone) {
        if (body.size() >= 6 && Hex(body[4]) >= 0 && Hex(body[5]) >= 0)
            cid1 = static_cast<uint8_t>(Hex(body[4]) << 4 | Hex(body[5]));
        rtn = err == wire::FrameError::kBadChksum    ? kRtnChksum
              : err == wire::FrameError::kBadLchksum ? kRtnLchksum
                                                     : kRtnFormat;
    } else if (cmd.ver != s_.version) {
        cid1 = cmd.cid1;
        rtn = kRtnVersion;
    } else {
        cid1 = cmd.cid1;
    }

    // Faults scripted for this command, the oldest first.
    Fault* fault = nullptr;
    for (auto& f : faults_) {
        const bool live = f.until >= 0 ? now < f.until : f.count > 0;
        if (!live || (!f.any_command && (f.cid1 != cmd.cid1 || f.cid2 != cmd.cid2))) continue;
        fault = &f;
        break;
    }
    if (fault != nullptr && fault->until < 0) --fault->count;
    const std::string kind = fault != nullptr ? fault->kind : std::string();
    if (kind == "silence") return resp;

    std::string text;
    const auto replay = std::find_if(s_.replay.begin(), s_.replay.end(), [&](const Replay& r) {
        return err == wire::FrameError::kNone && r.cid1 == cmd.cid1 && r.cid2 == cmd.cid2;
    });
    if (kind == "rtn") {
        const Json::Value& code = fault->args["code"];
        text = Frame(s_.address, cid1, static_cast<uint8_t>(IntArg(code, 0, 255, kRtnChksum)), "");
    } else if (rtn == 0 && replay != s_.replay.end()) {
        size_t& pos = replay_pos_[static_cast<size_t>(replay - s_.replay.begin())];
        text = replay->frames[pos];
        if (pos + 1 < replay->frames.size()) ++pos;
    } else {
        if (rtn == 0) rtn = BuildInfo(cmd.cid1, cmd.cid2, cmd.info, &info);
        if (rtn != 0) info.clear();
        text = Frame(kind == "wrong_address" ? static_cast<uint8_t>(s_.address + 1) : s_.address,
                     cid1, rtn, info);
    }

    if (kind == "garbage") {
        const Json::Value& g = fault->args["text"];
        text = (g.isString() ? g.asString() : std::string("\x00\xFF#noise#\n", 10)) + text;
    } else if (kind == "garble" && text.size() > 8) {
        text.replace(text.size() / 2, 4, "#?!*");
    } else if (kind == "truncate") {
        text.resize(text.size() / 2);
    } else if (kind == "bad_checksum" && text.size() >= 6) {
        char& c = text[text.size() - 2];
        c = OtherHexDigit(c);
    } else if (kind == "bad_length" && text.size() >= 16) {
        text[9] = OtherHexDigit(text[9]);  // LCHKSUM, then a CHKSUM that matches it
        SetChecksum(text);
    } else if (kind == "delay") {
        resp.extra_delay_ms = NumberArg(fault->args["ms"], 0, kMaxDelayMs, 1000.0);
    } else if (kind == "duplicate") {
        text += text;
    } else if (kind == "echo") {
        resp.echo.reserve(body.size() + 2);
        resp.echo += wire::kSoi;
        resp.echo += body;
        resp.echo += wire::kEoi;
    } else if (kind == "wrong_unit" && LooksLikeFrame(text)) {
        // A frame that checks out in every way but names another unit, as
        // when a reply meant for another poll is still on the line.
        uint8_t unit = NextUnit(cid1);
        ParseByteArg(fault->args["cid1"], &unit);
        text.replace(5, 2, wire::HexText(&unit, 1));
        SetChecksum(text);
    } else if (kind == "noise") {
        const std::string junk = NoiseText(fault->args);
        const Json::Value& where = fault->args["where"];
        const bool inside = where.isString() && where.asString() == "inside";
        text.insert(inside ? text.size() / 2 : 0, junk);
    } else if (kind == "drop" && text.size() > 2) {
        // Never more than lies between the first and the last character.
        const size_t n =
            std::min(static_cast<size_t>(IntArg(fault->args["bytes"], 1, kMaxLineChars, 4)),
                     text.size() - 2);
        text.erase((text.size() - n) / 2, n);
    }
    resp.text = std::move(text);
    return resp;
}

}  // namespace sim
