#include "alarms/model_alarms.h"

#include <algorithm>
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

template <size_t K, size_t M>
void ReportBytes(const uint8_t (&bytes)[K], const ByteAlarm (&alarms)[M], const char* value_text,
                 const std::string& prefix, uint16_t& ordinal, AlarmSink& host) {
    for (const ByteAlarm& a : alarms) {
        const bool active = bytes[a.byte] == a.code;
        host.CheckThresholdBool(a.level, a.key, a.id, value_text, prefix + a.suffix, active,
                                ordinal);
        ++ordinal;
    }
}

}  // namespace

void RunModelAlarms(const q318b_419_Data_t& d, bool has_ac, uint16_t& ordinal, AlarmSink& host) {
    static_assert(sizeof d.ac.channel[0].p40_44 == 8 && sizeof d.rc.channel[0].p41_44 == 8,
                  "the alarm tables index eight extra alarm bytes");
    if (has_ac) {
        const int channels = std::min<int>(d.ac.channel_count, q318b_ac_t::kChannels);
        for (int i = 0; i < channels; ++i)
            ReportBytes(d.ac.channel[i].p40_44, kAcInputAlarms, "0",
                        "第" + std::to_string(i + 1) + "路交流输入-", ordinal, host);
    }
    const int modules = std::min<int>(d.rc.channel_count, q318b_rc_t::kChannels);
    for (int j = 0; j < modules; ++j)
        ReportBytes(d.rc.channel[j].p41_44, kModuleAlarms, "1", "模块" + std::to_string(j + 1),
                    ordinal, host);
}
