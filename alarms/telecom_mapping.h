// Alarms of sites of the operator "telecom": the plug-in decides every alarm
// itself, against fixed limits or the host's per-alarm thresholds, and
// reports only the alarms that the host's level table enables.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "alarms/alarm_sink.h"
#include "protocol/record.h"

// What the telecom mapping hands the host, kept from round to round: the
// identifiers and texts of each module and fuse (their numbers alone decide
// them) and the value texts, made again only when their values change.
// A device keeps one of these for its life.
class TelecomAlarmTexts {
  public:
    struct Module {
        std::string text;
        std::string running_id;  // 12060069nnn0
        std::string second_id;   // 12060002nnn0
    };
    struct Fuse {
        std::string id;
        std::string text;
    };
    // A text made from values, with the values' bits it was made from.
    template <size_t K>
    struct ValueText {
        std::array<float, K> values{};
        std::string text;
        bool made = false;
    };

    const Module& ModuleTexts(size_t module);
    const Fuse& FuseTexts(size_t panel, size_t fuse);

    ValueText<6> ac_volts;
    ValueText<2> ac_freq;
    std::array<ValueText<1>, 2> dc_volts;

  private:
    std::vector<Module> modules_;
    std::array<std::vector<Fuse>, 2> fuses_;
};

void RunTelecomMapping(const q318b_419_Data_t& d, const AlarmSiteOptions& opt,
                       HostAlarmTables tables, AlarmSink& host, TelecomAlarmTexts& texts);
