// Poll chain and reply dispatch.
#pragma once

#include "device/pmbuspower_419.h"

template <typename T, int N>
bool pmbuspower_419<T, N>::RefreshStatus() {
    return false;  // the poll chain is not implemented yet: nothing is sent
}

template <typename T, int N>
int pmbuspower_419<T, N>::process_payload() {
    return 0;
}

template <typename T, int N>
int pmbuspower_419<T, N>::parse42_41(const unsigned char* data, int len) {
    return Decode42_41(this->data_.dc1, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse42_41_2(const unsigned char* data, int len) {
    return Decode42_41(this->data_.dc2, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse42_44(const unsigned char* data, int len) {
    return Decode42_44(this->data_.dc1, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse42_44_2(const unsigned char* data, int len) {
    return Decode42_44(this->data_.dc2, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse41_41(const unsigned char* data, int len) {
    return Decode41_41(this->data_.rc, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse41_43(const unsigned char* data, int len) {
    return Decode41_43(this->data_.rc, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse41_44(const unsigned char* data, int len) {
    return Decode41_44(this->data_.rc, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse40_44(const unsigned char* data, int len) {
    return Decode40_44(this->data_.ac, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse40_43(const unsigned char* data, int len) {
    return Decode40_43(this->data_.ac, Layout(), data, len);
}
template <typename T, int N>
int pmbuspower_419<T, N>::parse40_41(const unsigned char* data, int len) {
    return Decode40_41(this->data_.ac, Layout(), data, len);
}
