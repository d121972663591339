// Threshold pass, level rules, analog reports and the operator alarm mapping.
#pragma once

#include "device/pmbuspower_419.h"

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::RunCheckThreshold() {}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::RunThresholdPass() {}

template <typename T, typename P, int N>
void UniDataDevice<T, P, N>::CheckSignalThresholdMap(ThresholdRuleMap&, bool) {}

template <typename T, typename P, int N>
bool UniDataDevice<T, P, N>::CheckAOReport(const std::string&, const std::string&, float) {
    return false;
}

template <typename T, int N>
void pmbuspower_419<T, N>::RunCheckThreshold() {}
