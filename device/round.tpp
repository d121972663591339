// Round completion, the communication alarm and cache reload.
#pragma once

#include "device/pmbuspower_419.h"

template <typename T, typename P, int N>
bool UniDataDevice<T, P, N>::LoadFromCache(const unsigned char*, int) {
    return false;  // not implemented yet: every block is refused
}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::RoundDone() {}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::GenJsonData() {}

template <typename T, int N>
bool pmbuspower_419<T, N>::Reset() {
    return true;
}
