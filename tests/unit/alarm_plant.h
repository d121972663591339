// A controller's state for one poll round, turned into the INFO bytes of
// each reply of the poll chain. Used by the golden tests and the round
// benchmark.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// INFO bytes of a reply, built field by field.
class Info {
  public:
    Info& U8(unsigned v) {
        bytes_.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Info& F32(float v) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);  // the wire is little-endian, like this host
        bytes_.insert(bytes_.end(), b, b + 4);
        return *this;
    }
    Info& Bytes(const std::vector<uint8_t>& v) {
        U8(static_cast<unsigned>(v.size()));
        bytes_.insert(bytes_.end(), v.begin(), v.end());
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

inline constexpr unsigned kDataFlag = 0x00;

struct AcInput {
    float a, b, c, f;
    std::vector<uint8_t> extra_alarms;  // p40_44_0 ...
};

struct Module {
    float i;
    uint8_t state;  // on/off byte; the other two status bytes are 0
    uint8_t fault;
    std::vector<uint8_t> extra_alarms;  // Q318BRC_0 ...
};

struct DcGroup {
    float v, i;
    std::vector<uint8_t> fuses;
};

// What the controller reports in one round.
struct Plant {
    std::vector<AcInput> inputs;
    std::vector<Module> modules;
    std::vector<DcGroup> groups;  // sent with the group count byte

    std::vector<uint8_t> Ac41() const {
        Info r;
        r.U8(kDataFlag).U8(static_cast<unsigned>(inputs.size()));
        for (const auto& in : inputs) r.F32(in.a).F32(in.b).F32(in.c).F32(in.f).U8(0);
        r.F32(10.5f).F32(11.5f).F32(12.5f);  // phase currents
        return r.bytes();
    }
    std::vector<uint8_t> Ac43() const {
        Info r;
        r.U8(kDataFlag).U8(0).Bytes({0x00});
        return r.bytes();
    }
    std::vector<uint8_t> Ac44() const {
        Info r;
        r.U8(kDataFlag).U8(static_cast<unsigned>(inputs.size()));
        for (const auto& in : inputs) r.U8(0).U8(0).U8(0).U8(0).Bytes({}).Bytes(in.extra_alarms);
        r.U8(0).U8(0).U8(0);
        return r.bytes();
    }
    std::vector<uint8_t> Rc41() const {
        Info r;
        r.U8(kDataFlag).F32(53.5f).U8(static_cast<unsigned>(modules.size()));
        for (const auto& m : modules) r.F32(m.i).U8(0);
        return r.bytes();
    }
    std::vector<uint8_t> Rc43() const {
        Info r;
        r.U8(kDataFlag).U8(static_cast<unsigned>(modules.size()));
        for (const auto& m : modules) r.U8(m.state).U8(0).U8(0).Bytes({});
        return r.bytes();
    }
    std::vector<uint8_t> Rc44() const {
        Info r;
        r.U8(kDataFlag).U8(static_cast<unsigned>(modules.size()));
        for (const auto& m : modules) r.U8(m.fault).Bytes(m.extra_alarms);
        return r.bytes();
    }
    std::vector<uint8_t> Dc41() const {
        Info r;
        r.U8(kDataFlag).U8(static_cast<unsigned>(groups.size()));
        for (const auto& g : groups) r.F32(g.v).F32(g.i).U8(0).U8(0).U8(0);
        return r.bytes();
    }
    std::vector<uint8_t> Dc44() const {
        Info r;
        r.U8(kDataFlag).U8(static_cast<unsigned>(groups.size()));
        for (const auto& g : groups) r.U8(0).Bytes(g.fuses).Bytes({});
        return r.bytes();
    }
};

// A normal site and the same site in trouble.
inline AcInput Mains(float v) {
    return {v, v + 1.0f, v - 1.0f, 50.0f, {0, 0, 0, 0, 0, 0, 0, 0}};
}

inline Module Running(float i) {
    return {i, 1, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
}

inline Plant NormalPlant() {
    Plant p;
    p.inputs = {Mains(230.5f), Mains(220.5f)};
    p.modules = {Running(20.5f), Running(21.5f), Running(22.5f)};
    p.groups = {{53.5f, 60.25f, {0, 0}}, {53.25f, 30.5f, {0, 0, 0}}};
    return p;
}

// Mains lost on input 1 (the controller also flags it), a module fault, a
// blown fuse in the second group, and the DC voltage sagging.
inline Plant TroublePlant() {
    Plant p = NormalPlant();
    p.inputs[0] = {0.0f, 0.0f, 0.0f, 0.0f, {0, 0, 0, 0xE1, 0, 0, 0, 0}};
    p.inputs[1].a = 290.0f;
    p.inputs[1].f = 52.5f;
    p.modules[1].fault = 1;
    p.modules[1].state = 0;
    p.modules[1].extra_alarms = {1, 1, 0, 0, 0, 0, 0, 1};
    p.groups[0].v = 46.5f;
    p.groups[1].fuses = {0, 1, 0};
    return p;
}
