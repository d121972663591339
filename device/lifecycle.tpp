// Construction and destruction of the device class chain.
#pragma once

#include <cstring>

#include "device/pmbuspower_419.h"

template <typename T, typename P, int N>
UniDataDevice<T, P, N>::UniDataDevice() {
    std::memset(static_cast<void*>(&data_), 0, sizeof data_);
}

template <typename T, typename P, int N>
UniDataDevice<T, P, N>::~UniDataDevice() = default;

template <typename T, int N>
pmbuspower_419<T, N>::pmbuspower_419() {
    this->baud_rate_ = 9600;
    this->port_flag_ = true;
    this->protocol_ver_ = 0x20;
}

template <typename T, int N>
pmbuspower_419<T, N>::~pmbuspower_419() = default;

template <typename T, int N>
LayoutOptions pmbuspower_419<T, N>::Layout() const {
    LayoutOptions opt;
    opt.has_tower = has_tower;
    opt.skip_41_41 = skip_41_41;
    opt.dc_i_adjust = dc_i_adjust;
    opt.lfcq93 = this->DeviceType() == "lfcq93_k408n27_419";
    return opt;
}
