// Round completion, the communication alarm and cache reload.
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>
#include <iostream>

#include "device/pmbuspower_419.h"

namespace round_detail {

// The device's own link alarm: raised when the host finds the data two
// minutes old, cleared by every completed round.
constexpr const char* kCommAlarmId = "120600180010";
constexpr const char* kCommAlarmName = "设备智能口通信状态告警";
constexpr const char* kCommAlarmText = "通信异常";
constexpr long kLinkLostSeconds = 120;

}  // namespace round_detail

template <typename T, typename P, int N>
bool UniDataDevice<T, P, N>::LoadFromCache(const unsigned char* data, int len) {
    if (data == nullptr || len != static_cast<int>(sizeof(T))) return false;
    std::memcpy(static_cast<void*>(&data_), data, sizeof(T));
    this->data_ready_ = true;
    RoundDone();
    return true;
}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::RoundDone() {
    this->data_ready_ = true;
    this->last_data_time_ = boost::posix_time::second_clock::local_time();

    const uint64_t stamp = get_ttime(this->last_data_time_);
    for (size_t k = 0; k < sizeof data_.ttime; ++k)
        data_.ttime[k] = static_cast<uint8_t>(stamp >> (8 * k));

    const auto* record = reinterpret_cast<const unsigned char*>(&data_);
    this->SendSP(N, record, sizeof(T), false);
    this->Reset();

    this->alarm_seq_ = 1;
    this->threshold_changed_ = false;
    RunCheckThreshold();
    RunThresholdPass();

    std::cout << "rvSize is " << this->rule_values_.size() << "\n";
    if (this->DoBatchCheckThreshold(this->rule_values_)) this->threshold_changed_ = true;
    this->SaveDeviceHistory(record, sizeof(T));
    this->rule_values_.clear();
}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::GenJsonData() {}

template <typename T, int N>
bool pmbuspower_419<T, N>::Reset() {
    using namespace round_detail;
    std::cout << "pmbuspower_419 data_id:" << this->DataId() << " reset called\n";

    // Before the first round the data counts as infinitely old.
    const bool never = this->last_data_time_.is_special();
    const long age = never ? 0
                           : (boost::posix_time::second_clock::local_time() - this->last_data_time_)
                                 .total_seconds();
    const bool lost = never || age >= kLinkLostSeconds;

    const auto found = this->alarm_level_.find(kCommAlarmId);
    const int level = found == this->alarm_level_.end() ? 0 : found->second;
    if (level != 0) {
        if (lost)
            std::cout << "data_id:" << this->DataId() << " reset from refreshstatus\n";
        else
            std::cout << "data_id:" << this->DataId() << " reset from rounddone\n";
        this->CheckThresholdBool(level, kCommAlarmId, kCommAlarmId, kCommAlarmName, kCommAlarmText,
                                 lost, 1);
    }

    if (!this->rule_values_.empty()) {
        this->DoBatchCheckThreshold(this->rule_values_);
        this->rule_values_.clear();
    }
    return true;
}
