// The q318b_419 controller's own alarms, carried in the extra alarm bytes of
// its AC input (40 44) and rectifier (41 44) replies. They are reported for
// every operator, each call with the next running ordinal.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "alarms/alarm_sink.h"
#include "protocol/record.h"

// The alarm texts of each AC input and each module. A text depends on the
// input's or module's number alone, so a device keeps one of these for its
// life and every round after the first reuses what the first one built.
class ModelAlarmTexts {
  public:
    static constexpr size_t kAcInputTexts = 7;
    static constexpr size_t kModuleTexts = 4;

    // The texts of AC input `input` (0-based), built on first use.
    const std::array<std::string, kAcInputTexts>& AcInput(size_t input);
    // The texts of module `module` (0-based), built on first use.
    const std::array<std::string, kModuleTexts>& Module(size_t module);

  private:
    std::vector<std::array<std::string, kAcInputTexts>> ac_inputs_;
    std::vector<std::array<std::string, kModuleTexts>> modules_;
};

// `ordinal` is the host's running alarm ordinal: each call passes its
// current value and then advances it (16 bits, wrapping).
void RunModelAlarms(const q318b_419_Data_t& d, bool has_ac, uint16_t& ordinal, AlarmSink& host,
                    ModelAlarmTexts& texts);
