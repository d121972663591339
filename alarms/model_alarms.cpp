#include "alarms/model_alarms.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace {

struct ByteAlarm {
    int byte;  // index into the extra alarm bytes; also the digit of the key
    const char* key;
    const char* id;
    int level;
    const char* suffix;
    uint8_t code;  // the byte's value while the alarm is active
};

const ByteAlarm kAcInputAlarms[] = {
    {0, "p40_44_0", "419410701", 1, "交流输入空开跳", 0x05},
    {2, "p40_44_2", "419410901", 1, "防雷器断", 0x05},
    {3, "p40_44_3", "419415001", 1, "交流输入1停电", 0xE1},
    {4, "p40_44_4", "419415001", 1, "交流输入2停电", 0xE1},
    {5, "p40_44_5", "419415001", 1, "交流输入3停电", 0xE1},
    {6, "p40_44_6", "419400101", 1, "市电切换失败", 0xE3},
    {7, "p40_44_7", "419400201", 1, "交流屏通讯中断", 0xE2},
};

const ByteAlarm kModuleAlarms[] = {
    {0, "Q318BRC_0", "419430501", 3, "模块故障告警状态", 1},
    {1, "Q318BRC_1", "419431C01", 4, "模块风扇告警", 1},
    {2, "Q318BRC_2", "419240403", 3, "模块过温告警状态", 1},
    {7, "Q318BRC_7", "419430601", 2, "整流模块过压关机告警", 1},
};

static_assert(std::size(kAcInputAlarms) == ModelAlarmTexts::kAcInputTexts &&
                  std::size(kModuleAlarms) == ModelAlarmTexts::kModuleTexts,
              "one cached text per table row");

// A table's keys and ids as the host takes them, made once for every device.
template <size_t M>
struct TableStrings {
    explicit TableStrings(const ByteAlarm (&alarms)[M]) {
        for (size_t k = 0; k < M; ++k) {
            key[k] = alarms[k].key;
            id[k] = alarms[k].id;
        }
    }
    std::array<std::string, M> key;
    std::array<std::string, M> id;
};

template <size_t M>
std::array<std::string, M> Texts(const std::string& prefix, const ByteAlarm (&alarms)[M]) {
    std::array<std::string, M> out;
    for (size_t k = 0; k < M; ++k) out[k] = prefix + alarms[k].suffix;
    return out;
}

template <size_t K, size_t M>
void ReportBytes(const uint8_t (&bytes)[K], const ByteAlarm (&alarms)[M],
                 const TableStrings<M>& strings, const std::string& value_text,
                 const std::array<std::string, M>& texts, uint16_t& ordinal, AlarmSink& host) {
    for (size_t k = 0; k < M; ++k) {
        const ByteAlarm& a = alarms[k];
        const bool active = bytes[a.byte] == a.code;
        host.CheckThresholdBool(a.level, strings.key[k], strings.id[k], value_text, texts[k],
                                active, ordinal);
        ++ordinal;
    }
}

}  // namespace

const std::array<std::string, ModelAlarmTexts::kAcInputTexts>& ModelAlarmTexts::AcInput(
    size_t input) {
    while (ac_inputs_.size() <= input)
        ac_inputs_.push_back(
            Texts("第" + std::to_string(ac_inputs_.size() + 1) + "路交流输入-", kAcInputAlarms));
    return ac_inputs_[input];
}

const std::array<std::string, ModelAlarmTexts::kModuleTexts>& ModelAlarmTexts::Module(
    size_t module) {
    while (modules_.size() <= module)
        modules_.push_back(Texts("模块" + std::to_string(modules_.size() + 1), kModuleAlarms));
    return modules_[module];
}

void RunModelAlarms(const q318b_419_Data_t& d, bool has_ac, uint16_t& ordinal, AlarmSink& host,
                    ModelAlarmTexts& texts) {
    static_assert(sizeof d.ac.channel[0].p40_44 == 8 && sizeof d.rc.channel[0].p41_44 == 8,
                  "the alarm tables index eight extra alarm bytes");
    static const TableStrings<std::size(kAcInputAlarms)> ac_strings(kAcInputAlarms);
    static const TableStrings<std::size(kModuleAlarms)> module_strings(kModuleAlarms);
    static const std::string ac_value_text = "0";
    static const std::string module_value_text = "1";
    if (has_ac) {
        const int channels = std::min<int>(d.ac.channel_count, q318b_ac_t::kChannels);
        for (int i = 0; i < channels; ++i)
            ReportBytes(d.ac.channel[i].p40_44, kAcInputAlarms, ac_strings, ac_value_text,
                        texts.AcInput(static_cast<size_t>(i)), ordinal, host);
    }
    const int modules = std::min<int>(d.rc.channel_count, q318b_rc_t::kChannels);
    for (int j = 0; j < modules; ++j)
        ReportBytes(d.rc.channel[j].p41_44, kModuleAlarms, module_strings, module_value_text,
                    texts.Module(static_cast<size_t>(j)), ordinal, host);
}
