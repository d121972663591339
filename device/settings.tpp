// Device options, operator mode, rule files and threshold settings.
#pragma once

#include "device/pmbuspower_419.h"

template <typename T, typename P, int N>
bool UniDataDevice<T, P, N>::InitSetting(const Json::Value& setting) {
    data_.data_id = this->DataId();
    return P::InitSetting(setting);
}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::LoadThresholdSettings(const Json::Value&) {}

template <typename T, int N>
bool pmbuspower_419<T, N>::InitSetting(const Json::Value& setting) {
    this->data_.data_id = this->DataId();
    UniDataDevice<T, PMBusProtocol, N>::InitSetting(setting);
    return true;
}
