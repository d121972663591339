// Control requests.
#pragma once

#include "device/pmbuspower_419.h"

template <typename T, int N>
int pmbuspower_419<T, N>::DeviceIoControl(int code, const void* in, int in_len, void* out,
                                          int out_len, int& out_written) {
    return PMBusProtocol::DeviceIoControl(code, in, in_len, out, out_len, out_written);
}
