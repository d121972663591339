// Control requests: a raw rectifier command (300), a DC parameter from a
// JSON request (310), rectifier commands by identifier (320); every other
// code reads the status of the last one.
#pragma once

#include <json/reader.h>
#include <json/value.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/pmbuspower_419.h"

namespace control_detail {

constexpr int kCodeRaw = 300;
constexpr int kCodeParam = 310;
constexpr int kCodeRectifier = 320;

inline void WriteStatus(void* out, int value) {
    std::memcpy(out, &value, sizeof value);
}

// Parameter 1 or 2 of a DC parameter request, 0 for an unknown signal.
inline int ParamIndex(const std::string& signal_id) {
    if (signal_id == "4196A3101001" || signal_id == "150600370010") return 1;
    if (signal_id == "4196A3201001" || signal_id == "150600410010") return 2;
    return 0;
}

// Low 16 bits of value x 100 truncated toward zero, as the two-byte
// parameter form carries it. Values beyond any integer (or not a number)
// give 0 instead of an undefined conversion.
inline uint16_t Centi16(double value) {
    const double scaled = std::trunc(value * 100.0);
    if (!std::isfinite(scaled)) return 0;
    double low = std::fmod(scaled, 65536.0);  // exact for every finite double
    if (low < 0) low += 65536.0;
    return static_cast<uint16_t>(low);
}

// INFO and command of a DC parameter setting for a model.
inline void ParamCommand(const std::string& model, int param, double value, uint8_t& cid2,
                         std::vector<uint8_t>& info) {
    info.clear();
    if (model == "hvp22_419") {
        cid2 = 0x49;
        const uint16_t v = Centi16(value);
        info = {static_cast<uint8_t>(param == 1 ? 0x85 : 0x84), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v & 0xFF)};
        return;
    }
    cid2 = 0x48;
    uint8_t type = param == 1 ? 0xDC : 0xDB;
    if (model == "q318b_419") type = param == 1 ? 0xF2 : 0xF1;
    if (model == "r604k_419") type = param == 1 ? 0xEC : 0xEB;
    const float f = static_cast<float>(value);
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    info = {type, static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
            static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
}

// The two INFO bytes of a rectifier command text, or false for a text that
// names no command.
inline bool RectifierCommand(const std::string& model, const std::string& text, uint8_t info[2]) {
    const bool family = model == "hvp22_419" || model == "q318b_419" || model == "r604k_419" ||
                        model == "tgx41d_419";
    const std::string prefix = text.substr(0, 9);
    if (prefix == "419500201" || prefix == "419500200") {
        const std::string digits = text.size() > 9 ? text.substr(9, 3) : std::string();
        info[1] = static_cast<uint8_t>(static_cast<unsigned>(std::atoi(digits.c_str())) & 0xFFu);
        if (prefix == "419500201")
            info[0] = family ? 0x20 : 0xE5;
        else
            info[0] = family ? 0x2F : 0xE6;
        return true;
    }
    if (text == "419500600001") {
        info[0] = 0x1F;
    } else if (text == "419500601001") {
        info[0] = 0x10;
    } else if (text == "419500602001") {
        info[0] = 0x11;
    } else {
        return false;
    }
    info[1] = 0x02;
    return true;
}

}  // namespace control_detail

template <typename T, int N>
int pmbuspower_419<T, N>::DeviceIoControl(int code, const void* in, int in_len, void* out,
                                          int out_len, int& out_written) {
    using namespace control_detail;
    const bool request = code == kCodeRaw || code == kCodeParam || code == kCodeRectifier;
    // A request whose bytes cannot be read is refused before it touches
    // the poll state: nothing is sent and a poll cycle in progress goes on.
    if (request && (in_len < 0 || (in == nullptr && in_len > 0))) return -1;
    // No status can be written to a missing buffer, whatever its length says.
    const int room = out == nullptr ? 0 : out_len;
    const char* bytes = static_cast<const char*>(in);

    if (code == kCodeRaw) {
        this->poll_step_ = kStepCtrlRaw;
        ctrl_result_ = -1;
        this->OpenPort();
        if (in_len != 7) return -1;
        this->write_pmbus_cmd(0x41, 0x4E, static_cast<const uint8_t*>(in), in_len);
        if (room >= 4) {
            WriteStatus(out, 1);
            out_written = 4;
        }
    } else if (code == kCodeParam) {
        ctrl_result_ = -1;
        this->poll_step_ = kStepCtrlParam;
        this->OpenPort();
        Json::Value root;
        Json::Reader reader;
        const char* begin = in_len > 0 ? bytes : "";
        // The reader gives up on very deep nesting by throwing instead of
        // failing; that is still a request it could not parse.
        bool parsed = false;
        try {
            parsed = reader.parse(begin, begin + in_len, root);
        } catch (const Json::Exception&) {
            parsed = false;
        }
        if (!parsed) return -1;
        const Json::Value& request_json = root;
        const Json::Value& signal = request_json["signal_id"];
        if (!signal.isNull()) {
            const int param = ParamIndex(signal.asString());
            const Json::Value& set_value = request_json["SetValue"];
            if (param != 0 && !set_value.isNull()) {
                const double value = std::atof(set_value.asString().c_str());
                uint8_t cid2 = 0;
                std::vector<uint8_t> info;
                ParamCommand(this->DeviceType(), param, value, cid2, info);
                ctrl_result_ = -1;
                this->write_pmbus_cmd(0x42, cid2, info.data(), static_cast<int>(info.size()));
                return 0;
            }
        }
    } else if (code == kCodeRectifier) {
        this->serial_cmd_ = kCodeRectifier;
        ctrl_result_ = -1;
        this->OpenPort();
        const std::string text =
            in_len > 0 ? std::string(bytes, static_cast<size_t>(in_len)) : std::string();
        uint8_t info[2] = {0, 0};
        if (RectifierCommand(this->DeviceType(), text, info))
            this->write_pmbus_cmd(0x41, 0x45, info, 2);
    } else {
        if (room >= 4) {
            WriteStatus(out, ctrl_result_);
            out_written = 4;
        } else {
            out_written = 0;
        }
    }
    return PMBusProtocol::DeviceIoControl(code, in, in_len, out, out_len, out_written);
}
