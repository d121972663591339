// The q318b_419 controller model: fixes the model identifier and adds the
// model's own AC input and rectifier module alarms.
#pragma once

#include "alarms/model_alarms.h"
#include "device/pmbuspower_419.h"
#include "protocol/record.h"

class q318b_419 : public pmbuspower_419<q318b_419_Data_t, kQ318bDataType> {
  public:
    q318b_419();
    ~q318b_419() override;

    void RunCheckThreshold() override;

  private:
    ModelAlarmTexts model_alarm_texts_;
};
