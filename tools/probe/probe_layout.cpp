#include "tools/probe/probe_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "protocol/decoders.h"
#include "protocol/record.h"

namespace probe {

namespace {

constexpr uint8_t kAc = 0x40, kRc = 0x41, kDc = 0x42;

// The part of the record a probe round fills.
struct Readout {
    q318b_ac_t ac;
    q318b_rc_t rc;
    q318b_dc_t dc1, dc2;
    int dc_groups = 0;
    Readout() {
        std::memset(static_cast<void*>(&ac), 0, sizeof ac);
        std::memset(static_cast<void*>(&rc), 0, sizeof rc);
        std::memset(static_cast<void*>(&dc1), 0, sizeof dc1);
        std::memset(static_cast<void*>(&dc2), 0, sizeof dc2);
    }
};

using Decoder = std::function<int(const uint8_t*, int)>;

// The reply to `c` when it came back with RTN 0, else null.
const Exchange* Good(const RoundCapture& r, uint8_t cid1, uint8_t cid2, Arg arg) {
    const Exchange* e = r.Find(cid1, cid2, arg);
    return e != nullptr && e->answered && e->rtn == 0 ? e : nullptr;
}

// Whether `decode` takes exactly the INFO bytes from `from` on. A decoder
// that stops on a missing byte may still report the length as consumed
// (40 44 does), so the bytes are decoded once more with one byte added: a
// complete layout does not reach it, a short one does.
bool Exact(const Decoder& decode, const std::vector<uint8_t>& info, size_t from) {
    if (info.size() < from) return false;
    std::vector<uint8_t> buf(info.begin() + static_cast<long>(from), info.end());
    const int len = static_cast<int>(buf.size());
    buf.push_back(0);
    return decode(buf.data(), len) == len && decode(buf.data(), len + 1) == len;
}

// The bit pattern of a "not available" value: four equal bytes, not zero.
bool Marker(float f) {
    uint8_t b[4];
    std::memcpy(b, &f, 4);
    return b[0] != 0 && b[0] == b[1] && b[1] == b[2] && b[2] == b[3];
}

bool Within(float f, double lo, double hi) {
    return std::isfinite(f) && f >= lo && f <= hi;
}

std::string Num(float f) {
    if (Marker(f)) return "n/a";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", static_cast<double>(f));
    return buf;
}

struct Check {
    std::vector<std::string>* doubts;
    void Range(const std::string& what, float f, double lo, double hi) {
        // A value this close to zero but not zero is what a float read
        // across the wrong bytes looks like, not a measurement.
        const bool stray = f != 0 && std::fabs(f) < 1e-6f;
        if (!Marker(f) && (!Within(f, lo, hi) || stray))
            doubts->push_back(what + " " + Num(f) + " (expected " + Num(static_cast<float>(lo)) +
                              " to " + Num(static_cast<float>(hi)) + ")");
    }
};

// One unit's fit under one set of its options.
struct UnitFit {
    bool has_tower = false;  // the value it needs (ignored for DC)
    int a = 0, b = 0;        // AC: cg, no_40_arg; RC: skip; DC: no_dc_number, no_42_arg
    std::string reading;
    std::vector<std::string> doubts;
    bool dropped = false;  // the unit answers but is left out
};

std::vector<UnitFit> AcFits(const RoundCapture& r, bool tower) {
    std::vector<UnitFit> out;
    for (int cg : {1, 0xFF}) {
        const Arg group = cg == 0xFF ? Arg::kAll : Arg::kGroup;
        for (int no40 : {0, 1}) {
            const Exchange* a41 = Good(r, kAc, 0x41, no40 ? Arg::kNone : group);
            const Exchange* a43 = Good(r, kAc, 0x43, group);
            const Exchange* a44 = Good(r, kAc, 0x44, group);
            if (a41 == nullptr || a43 == nullptr || a44 == nullptr) continue;
            const size_t from = cg == 0xFF ? 2 : 1;
            Readout d;
            LayoutOptions opt;
            opt.has_tower = tower;
            if (!Exact([&](const uint8_t* p, int n) { return Decode40_41(d.ac, opt, p, n); },
                       a41->info, from) ||
                !Exact([&](const uint8_t* p, int n) { return Decode40_43(d.ac, opt, p, n); },
                       a43->info, from) ||
                !Exact([&](const uint8_t* p, int n) { return Decode40_44(d.ac, opt, p, n); },
                       a44->info, from))
                continue;
            // The alarm reply counts its inputs itself; it must be the
            // analog reply's count.
            if (a44->info[from] != d.ac.channel_count) continue;
            UnitFit f;
            f.has_tower = tower;
            f.a = cg;
            f.b = no40;
            Check c{&f.doubts};
            const int shown = std::min<int>(d.ac.channel_count, q318b_ac_t::kChannels);
            f.reading = "AC " + std::to_string(d.ac.channel_count) + " input(s)";
            for (int i = 0; i < shown; ++i) {
                const auto& ch = d.ac.channel[i];
                const std::string n = "AC input " + std::to_string(i + 1);
                f.reading += "; input " + std::to_string(i + 1) + " " + Num(ch.a) + "/" +
                             Num(ch.b) + "/" + Num(ch.c) + " V " + Num(ch.f) + " Hz";
                c.Range(n + " phase A voltage", ch.a, 0, 300);
                c.Range(n + " phase B voltage", ch.b, 0, 300);
                c.Range(n + " phase C voltage", ch.c, 0, 300);
                if (ch.f != 0) c.Range(n + " frequency", ch.f, 40, 70);
            }
            f.reading +=
                "; currents " + Num(d.ac.ia) + "/" + Num(d.ac.ib) + "/" + Num(d.ac.ic) + " A";
            c.Range("AC phase A current", d.ac.ia, -0.2, 2000);
            c.Range("AC phase B current", d.ac.ib, -0.2, 2000);
            c.Range("AC phase C current", d.ac.ic, -0.2, 2000);
            if (d.ac.channel_count > 8)
                f.doubts.push_back("AC inputs " + std::to_string(d.ac.channel_count));
            out.push_back(f);
        }
    }
    return out;
}

std::vector<UnitFit> RcFits(const RoundCapture& r, bool tower) {
    std::vector<UnitFit> out;
    const Exchange* r41 = Good(r, kRc, 0x41, Arg::kNone);
    const Exchange* r43 = Good(r, kRc, 0x43, Arg::kNone);
    const Exchange* r44 = Good(r, kRc, 0x44, Arg::kNone);
    if (r41 == nullptr || r43 == nullptr || r44 == nullptr) return out;
    if (r43->info.size() < 2 || r44->info.size() < 2) return out;
    for (int skip = 0; skip <= kMaxSkip; ++skip) {
        Readout d;
        LayoutOptions opt;
        opt.has_tower = tower;
        opt.skip_41_41 = skip;
        if (!Exact([&](const uint8_t* p, int n) { return Decode41_41(d.rc, opt, p, n); }, r41->info,
                   0))
            continue;
        if (r43->info[1] != d.rc.channel_count || r44->info[1] != d.rc.channel_count) continue;
        if (!Exact([&](const uint8_t* p, int n) { return Decode41_43(d.rc, opt, p, n); }, r43->info,
                   0) ||
            !Exact([&](const uint8_t* p, int n) { return Decode41_44(d.rc, opt, p, n); }, r44->info,
                   0))
            continue;
        UnitFit f;
        f.has_tower = tower;
        f.a = skip;
        Check c{&f.doubts};
        const int n = d.rc.channel_count;
        f.reading = "rectifiers " + Num(d.rc.v) + " V, " + std::to_string(n) + " module(s)";
        c.Range("rectifier output voltage", d.rc.v, 40, 60);
        const int shown = std::min(n, q318b_rc_t::kChannels);
        for (int j = 0; j < shown; ++j) {
            const auto& ch = d.rc.channel[j];
            if (j < 4) f.reading += (j == 0 ? " (" : ", ") + Num(ch.i) + " A";
            c.Range("module " + std::to_string(j + 1) + " current", ch.i, -5, 1000);
        }
        if (shown > 0) f.reading += shown > 4 ? ", ...)" : ")";
        out.push_back(f);
    }
    return out;
}

// Walks the DC groups of one reply from `from` on: `groups` blocks, the
// first into dc1, the second into dc2, the rest into scratch (the device
// decodes two, but all must fit), as in Exact. The analog decoder takes
// the rest of the reply unread after more user values than the record
// holds: that walk fits only loosely.
enum class Walk { kNo, kExact, kTakesAll };
Walk DcGroups(Readout& d, bool alarm, const std::vector<uint8_t>& info, size_t from, int groups) {
    if (info.size() < from) return Walk::kNo;
    std::vector<uint8_t> buf(info.begin() + static_cast<long>(from), info.end());
    const int len = static_cast<int>(buf.size());
    buf.push_back(0);
    const LayoutOptions opt;
    const auto walk = [&](int limit) {
        int off = 0;
        for (int g = 0; g < groups; ++g) {
            q318b_dc_t scratch;
            q318b_dc_t& dst = g == 0 ? d.dc1 : g == 1 ? d.dc2 : scratch;
            const int r = alarm ? Decode42_44(dst, opt, buf.data() + off, limit - off)
                                : Decode42_41(dst, opt, buf.data() + off, limit - off);
            if (r < 0) return -1;
            // A group that took the rest unread leaves nothing for the
            // next, which the device then does not decode either.
            const bool took_rest = r == limit - off && !alarm;
            off += r;
            if (took_rest && r > 0) break;
        }
        return off;
    };
    if (walk(len) != len) return Walk::kNo;
    const int longer = walk(len + 1);
    return longer == len ? Walk::kExact : !alarm && longer == len + 1 ? Walk::kTakesAll : Walk::kNo;
}

std::vector<UnitFit> DcFits(const RoundCapture& r) {
    std::vector<UnitFit> out;
    for (int no42 : {0, 1}) {
        const Arg arg = no42 ? Arg::kNone : Arg::kAll;
        const Exchange* d41 = Good(r, kDc, 0x41, arg);
        const Exchange* d44 = Good(r, kDc, 0x44, arg);
        if (d41 == nullptr || d44 == nullptr) continue;
        for (int mode : {2, 1}) {
            Readout d;
            size_t from = 1;
            int groups = 1;
            if (mode == 2) {
                if (d41->info.size() < 2 || d44->info.size() < 2) continue;
                if (d41->info[1] != d44->info[1]) continue;
                from = 2;
                groups = d41->info[1];
            }
            const Walk analog = DcGroups(d, false, d41->info, from, groups);
            if (analog == Walk::kNo || DcGroups(d, true, d44->info, from, groups) != Walk::kExact)
                continue;
            UnitFit f;
            if (analog == Walk::kTakesAll)
                f.doubts.push_back("a DC group reports more user values than the record holds (" +
                                   std::to_string(q318b_dc_t::P_SIZE()) +
                                   "): the device takes the rest of 42 41 unread, so its layout "
                                   "was not checked past them");
            f.a = mode;
            f.b = no42;
            Check c{&f.doubts};
            f.reading = "DC " + std::to_string(groups) + " group(s)";
            for (int g = 0; g < std::min(groups, 2); ++g) {
                const q318b_dc_t& dc = g == 0 ? d.dc1 : d.dc2;
                const std::string n = "DC group " + std::to_string(g + 1);
                f.reading +=
                    "; group " + std::to_string(g + 1) + " " + Num(dc.v) + " V " + Num(dc.i) + " A";
                c.Range(n + " bus voltage", dc.v, 40, 60);
                c.Range(n + " load current", dc.i, -5000, 5000);
                for (int k = 0; k < std::min<int>(dc.m_count, q318b_dc_t::M_SIZE()); ++k)
                    c.Range(n + " battery " + std::to_string(k + 1) + " current", dc.m[k], -5000,
                            5000);
            }
            if (groups == 0) f.doubts.push_back("DC group count 0");
            out.push_back(f);
        }
    }
    return out;
}

bool AnyGood(const RoundCapture& r, uint8_t cid1) {
    for (const auto& e : r.exchanges)
        if (e.command.cid1 == cid1 && e.answered && e.rtn == 0) return true;
    return false;
}

int OptionValue(const Options& o, const std::string& key) {
    if (key == "has_ac") return o.has_ac;
    if (key == "has_dc") return o.has_dc;
    if (key == "cg") return o.cg;
    if (key == "no_40_arg") return o.no_40_arg;
    if (key == "no_42_arg") return o.no_42_arg;
    if (key == "has_tower") return o.has_tower;
    if (key == "skip_41_41") return o.skip_41_41;
    return o.no_dc_number;
}

const char* const kKeys[] = {"has_ac",    "has_dc",    "cg",         "no_40_arg",
                             "no_42_arg", "has_tower", "skip_41_41", "no_dc_number"};

// What tells the values of `key` apart when these replies do not.
std::string Hint(const std::string& key) {
    if (key == "has_tower")
        return "nothing in these replies carries a tower block (no AC input and no module "
               "reported): probe again once AC inputs or rectifier modules report, or ask the "
               "vendor whether the firmware sends tower values";
    if (key == "skip_41_41")
        return "no rectifier module reported, so the bytes after each module cannot be "
               "counted: probe again with the modules in place";
    if (key == "no_dc_number")
        return "the DC replies read the same either way: probe again with the DC group "
               "reporting, or ask the vendor whether DC replies carry a group count";
    return "the controller answers every form of the command alike; the default is kept";
}

void FindAmbiguities(Verdict& v) {
    const Candidate& best = v.fits.front();
    for (const char* k : kKeys) {
        const std::string key = k;
        std::vector<int> values{OptionValue(best.options, key)};
        std::vector<const Candidate*> alt{&best};
        for (const auto& c : v.fits) {
            if (c.implausible != best.implausible) continue;
            const int x = OptionValue(c.options, key);
            if (std::find(values.begin(), values.end(), x) != values.end()) continue;
            // Prefer the set that differs from the best in this option only.
            const Candidate* pick = &c;
            for (const auto& o : v.fits) {
                if (o.implausible != best.implausible || OptionValue(o.options, key) != x) continue;
                Options probe = best.options;
                if (key == "cg") probe.cg = x;
                if (key == "no_40_arg") probe.no_40_arg = x;
                if (key == "no_42_arg") probe.no_42_arg = x;
                if (key == "has_tower") probe.has_tower = x != 0;
                if (key == "skip_41_41") probe.skip_41_41 = x;
                if (key == "no_dc_number") probe.no_dc_number = x;
                if (o.options == probe) {
                    pick = &o;
                    break;
                }
            }
            values.push_back(x);
            alt.push_back(pick);
        }
        if (values.size() < 2) continue;
        Ambiguity a;
        a.option = key;
        a.values = values;
        bool same = true;
        for (const Candidate* c : alt) same = same && c->reading == best.reading;
        const bool form = key == "cg" || key == "no_40_arg" || key == "no_42_arg";
        a.harmless = same && form;
        if (same) {
            a.what_to_check = Hint(key);
        } else {
            a.what_to_check = "each decodes every reply exactly, with different values:";
            for (size_t i = 0; i < alt.size(); ++i)
                a.what_to_check +=
                    "\n  " + key + " " + std::to_string(values[i]) + ": " + alt[i]->reading;
            a.what_to_check +=
                "\ncheck these values on site (a meter on the DC bus, the "
                "controller's own display) and keep the set that matches";
        }
        v.ambiguities.push_back(a);
    }
}

std::string Lengths(const RoundCapture& r, uint8_t cid1) {
    std::string s;
    for (const auto& e : r.exchanges) {
        if (e.command.cid1 != cid1 || !e.answered || e.rtn != 0) continue;
        if (!s.empty()) s += ", ";
        s += CommandText(e.command) + " " + std::to_string(e.info.size()) + " bytes";
    }
    return s;
}

}  // namespace

const std::vector<Command>& ProbeCommands() {
    static const std::vector<Command> k = {
        {kAc, 0x41, Arg::kGroup}, {kAc, 0x41, Arg::kAll},  {kAc, 0x41, Arg::kNone},
        {kAc, 0x43, Arg::kGroup}, {kAc, 0x43, Arg::kAll},  {kAc, 0x44, Arg::kGroup},
        {kAc, 0x44, Arg::kAll},   {kRc, 0x41, Arg::kNone}, {kRc, 0x43, Arg::kNone},
        {kRc, 0x44, Arg::kNone},  {kDc, 0x41, Arg::kAll},  {kDc, 0x41, Arg::kNone},
        {kDc, 0x44, Arg::kAll},   {kDc, 0x44, Arg::kNone},
    };
    return k;
}

std::string CommandText(const Command& c) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02X %02X [%s]", c.cid1, c.cid2,
                  c.arg == Arg::kNone    ? ""
                  : c.arg == Arg::kGroup ? "01"
                                         : "FF");
    return buf;
}

const Exchange* RoundCapture::Find(uint8_t cid1, uint8_t cid2, Arg arg) const {
    for (const auto& e : exchanges)
        if (e.command.cid1 == cid1 && e.command.cid2 == cid2 && e.command.arg == arg) return &e;
    return nullptr;
}

bool Options::operator==(const Options& o) const {
    return has_ac == o.has_ac && has_dc == o.has_dc && cg == o.cg && no_40_arg == o.no_40_arg &&
           no_42_arg == o.no_42_arg && has_tower == o.has_tower && skip_41_41 == o.skip_41_41 &&
           no_dc_number == o.no_dc_number;
}

Verdict InferLayout(const RoundCapture& round) {
    Verdict v;
    for (const auto& e : round.exchanges) {
        std::string s = CommandText(e.command) + ": ";
        if (!e.answered)
            s += "no reply";
        else
            s += "RTN " + std::to_string(e.rtn) + ", " + std::to_string(e.info.size()) +
                 " INFO bytes";
        v.units.push_back(s);
    }

    const bool ac = AnyGood(round, kAc), rc = AnyGood(round, kRc), dc = AnyGood(round, kDc);
    if (!rc) {
        v.problems.push_back(
            "the rectifier unit does not answer 41 41, 41 43 and 41 44 with RTN 0: the device "
            "asks for them every round and would never complete one");
        return v;
    }
    std::vector<UnitFit> dcs = DcFits(round);
    bool dc_dropped = false;
    if (dc && dcs.empty()) {
        dc_dropped = true;
        v.problems.push_back(
            "the DC distribution answers, but no option set decodes its "
            "replies exactly (" +
            Lengths(round, kDc) + "): has_dc 0 leaves it out");
    }
    if (dcs.empty()) {
        UnitFit none;
        none.dropped = dc_dropped;
        dcs.push_back(none);
    }

    bool ac_fit_any = false, rc_fit_any = false;
    for (bool tower : {false, true}) {
        std::vector<UnitFit> acs = ac ? AcFits(round, tower) : std::vector<UnitFit>{};
        const std::vector<UnitFit> rcs = RcFits(round, tower);
        ac_fit_any = ac_fit_any || !acs.empty();
        rc_fit_any = rc_fit_any || !rcs.empty();
        if (acs.empty()) {
            UnitFit none;
            none.dropped = ac;
            acs.push_back(none);
        }
        for (const auto& a : acs)
            for (const auto& r : rcs)
                for (const auto& d : dcs) {
                    Candidate c;
                    Options& o = c.options;
                    o.has_ac = ac && !a.dropped;
                    if (o.has_ac) {
                        o.cg = a.a;
                        o.no_40_arg = a.b;
                    }
                    o.has_tower = tower;
                    o.skip_41_41 = r.a;
                    o.has_dc = dc && !d.dropped;
                    if (o.has_dc) {
                        o.no_dc_number = d.a;
                        o.no_42_arg = d.b;
                    }
                    for (const UnitFit* u : {&a, &r, &d}) {
                        if (u->reading.empty()) continue;
                        if (!c.reading.empty()) c.reading += "; ";
                        c.reading += u->reading;
                        c.doubts.insert(c.doubts.end(), u->doubts.begin(), u->doubts.end());
                    }
                    c.implausible =
                        static_cast<int>(c.doubts.size()) + 100 * (int{a.dropped} + int{d.dropped});
                    c.penalty =
                        (o.cg != 1) + o.no_40_arg + o.no_42_arg + o.has_tower + (o.skip_41_41 != 0);
                    v.fits.push_back(std::move(c));
                }
    }
    if (!rc_fit_any)
        v.problems.push_back("no option set decodes the rectifier replies exactly (" +
                             Lengths(round, kRc) + ")");
    else if (ac && !ac_fit_any)
        v.problems.push_back(
            "the AC distribution answers, but no option set decodes its "
            "replies exactly (" +
            Lengths(round, kAc) + "): has_ac 0 leaves it out");
    std::stable_sort(v.fits.begin(), v.fits.end(), [](const Candidate& x, const Candidate& y) {
        if (x.implausible != y.implausible) return x.implausible < y.implausible;
        return x.penalty < y.penalty;
    });
    if (!v.fits.empty() && ac && ac_fit_any && !v.fits.front().options.has_ac)
        v.problems.push_back(
            "the AC replies fit only with another has_tower than the "
            "rectifier replies: has_ac 0 leaves the AC unit out");
    if (!v.fits.empty()) FindAmbiguities(v);
    return v;
}

Json::Value AppSetting(const Options& o) {
    Json::Value a(Json::objectValue);
    a["has_ac"] = o.has_ac ? 1 : 0;
    a["has_dc"] = o.has_dc ? 1 : 0;
    a["cg"] = o.cg;
    a["no_40_arg"] = o.no_40_arg;
    a["no_42_arg"] = o.no_42_arg;
    a["has_tower"] = o.has_tower ? 1 : 0;
    a["skip_41_41"] = o.skip_41_41;
    a["no_dc_number"] = o.no_dc_number;
    return a;
}

}  // namespace probe
