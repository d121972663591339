// The model class, and the one place where the device templates are
// instantiated: the record type and the data type number appear only here.
#include "device/q318b_419.h"

#include "device/alarms.tpp"
#include "device/control.tpp"
#include "device/lifecycle.tpp"
#include "device/poll.tpp"
#include "device/query.tpp"
#include "device/round.tpp"
#include "device/settings.tpp"

template class UniDataDevice<q318b_419_Data_t, PMBusProtocol, kQ318bDataType>;
template class pmbuspower_419<q318b_419_Data_t, kQ318bDataType>;

q318b_419::q318b_419() {
    device_type_ = "q318b_419";
}

q318b_419::~q318b_419() = default;

void q318b_419::RunCheckThreshold() {
    pmbuspower_419::RunCheckThreshold();
    DeviceAlarmSink<q318b_419> sink(*this);
    RunModelAlarms(data_, has_ac, alarm_seq_, sink, model_alarm_texts_);
}
