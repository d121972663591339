// Value queries by signal key.
#pragma once

#include <stdexcept>

#include "device/pmbuspower_419.h"

template <typename T, int N>
float pmbuspower_419<T, N>::Get_Value(unsigned int index, const std::string& key) const {
    return PMBusProtocol::Get_Value(index, key);  // refuses until queries are implemented
}
