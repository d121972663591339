// Value queries by signal key.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <iostream>
#include <stdexcept>

#include "device/pmbuspower_419.h"

namespace query_detail {

// Loss of AC input: every phase of the input below 150 V (a NaN phase
// counts as present).
template <typename Channel>
bool AcInputLost(const Channel& ch) {
    const float a = ch.a, b = ch.b, c = ch.c;
    return a < 150.0f && b < 150.0f && c < 150.0f;
}

}  // namespace query_detail

template <typename T, int N>
float pmbuspower_419<T, N>::Get_Value(unsigned int, const std::string& key) const {
    std::cout << "in pmbuspower_419 Get_Value" << std::endl;
    if (!this->data_ready_) throw std::out_of_range("数据未就绪");

    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    const boost::posix_time::time_duration age = now - this->last_data_time_;
    // Ready without a round time can only come from a damaged state; such
    // data is not vouched for, so it counts as timed out.
    if (age.is_special() || age.total_seconds() > 60) throw std::out_of_range("数据已超时");

    const auto& channels = this->data_.ac.channel;
    if (key == "out_v") return this->data_.dc1.v;
    if (key == "ac")
        return query_detail::AcInputLost(channels[0]) && query_detail::AcInputLost(channels[1])
                   ? 1.0f
                   : 0.0f;
    if (key == "ac1") return query_detail::AcInputLost(channels[0]) ? 1.0f : 0.0f;
    if (key == "ac2") return query_detail::AcInputLost(channels[1]) ? 1.0f : 0.0f;
    throw std::out_of_range("不支持变量");
}
