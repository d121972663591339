// Poll chain and reply dispatch.
//
// One round: 40 41, 40 43, 40 44 (AC distribution, when there is one),
// 41 41, 41 43, 41 44 (rectifiers), then 42 41, 42 44 (DC distribution,
// when configured). Each command is sent after poll_step_ names the reply
// it waits for; a reply at any other step answers a control request.
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "device/pmbuspower_419.h"

namespace poll_detail {

// The INFO field of the reply in reply_frame_, trusting its length header
// only as far as the bytes actually held.
struct InfoField {
    const uint8_t* bytes;
    int len;

    // The bytes from `offset` on and how many are left (zero or negative
    // when the reply is shorter); the pointer never leaves the buffer.
    const uint8_t* From(int offset) const { return bytes + (offset < len ? offset : len); }
    int LeftFrom(int offset) const { return len - offset; }
};

inline InfoField InfoOf(const std::vector<uint8_t>& frame) {
    static const uint8_t kNone[1] = {0};
    constexpr size_t kHeader = 6;
    if (frame.size() < kHeader) return {kNone, 0};
    const size_t declared = ((size_t{frame[4]} << 8) | frame[5]) >> 1;
    const size_t held = frame.size() - kHeader;
    const size_t n = declared < held ? declared : held;
    return {frame.data() + kHeader, static_cast<int>(n)};
}

// The 42 41 reply: one group right after the DATAFLAG, or a group count
// and up to two groups. Which of the two is settled by the first reply.
template <typename Dev>
void DecodeDcAnalog(Dev& dev, const InfoField& in) {
    if (dev.no_dc_number == -1) {
        // A bus voltage right after the DATAFLAG means there is no group
        // count. A reply too short to tell is left alone: the next decides.
        if (in.len < 5) return;
        float dc_v;
        std::memcpy(&dc_v, in.From(1), sizeof dc_v);
        std::cout << "test dc_v:" << dc_v << "\n";
        dev.no_dc_number = dc_v > 40 && dc_v < 60 ? 1 : 2;
    }
    std::cout << "no dc number is " << dev.no_dc_number << "\n";

    if (dev.no_dc_number == 1) {
        dev.parse42_41(in.From(1), in.LeftFrom(1));
        return;
    }
    if (in.len < 2) return;  // not even the group count
    dev.dc_number_ = in.From(1)[0];
    std::cout << "pmbuspower_419 PMBUSPOWER_42_41 dc_number:" << dev.dc_number_ << "\n";
    const int used = dev.parse42_41(in.From(2), in.LeftFrom(2));
    if (used != -1 && dev.dc_number_ > 1)
        dev.parse42_41_2(in.From(2 + used), in.LeftFrom(2 + used));
}

// The 42 44 reply, in the layout the analog reply settled.
template <typename Dev>
void DecodeDcAlarm(Dev& dev, const InfoField& in) {
    if (dev.no_dc_number == 1) {
        dev.parse42_44(in.From(1), in.LeftFrom(1));
        return;
    }
    // Still undecided (every analog reply so far was too short to tell):
    // this reply's layout is unknown, so nothing is taken from it.
    if (dev.no_dc_number == -1 || in.len < 2) return;
    dev.dc_number_ = in.From(1)[0];
    std::cout << "pmbuspower_419 PMBUSPOWER_42_44 dc_number:" << dev.dc_number_ << "\n";
    const int used = dev.parse42_44(in.From(2), in.LeftFrom(2));
    if (used != -1 && dev.dc_number_ > 1)
        dev.parse42_44_2(in.From(2 + used), in.LeftFrom(2 + used));
}

}  // namespace poll_detail

template <typename T, int N>
bool pmbuspower_419<T, N>::RefreshStatus() {
    if (!QVRSPDevice::RefreshStatus()) return false;

    const auto now = boost::posix_time::second_clock::local_time();
    if (!this->last_data_time_.is_special() && (now - this->last_data_time_).total_seconds() <= 1) {
        this->serial_cmd_ = 10;  // a round has just completed
        return false;
    }

    if (has_ac) {
        this->poll_step_ = kStepAcAnalog;
        if (no_40_arg != 0)
            this->write_pmbus_cmd(0x40, 0x41);
        else
            this->write_pmbus_cmd(0x40, 0x41, &group_byte_, 1);
    } else {
        this->poll_step_ = kStepRcAnalog;
        this->write_pmbus_cmd(0x41, 0x41);
    }
    return true;
}

template <typename T, int N>
int pmbuspower_419<T, N>::process_payload() {
    const poll_detail::InfoField info = poll_detail::InfoOf(this->reply_frame_);
    const int L = info.len;
    // The AC replies carry one more byte after the DATAFLAG with group 0xFF.
    const int ac_from = group_byte_ == 0xFF ? 2 : 1;
    static const uint8_t kAllGroups = 0xFF;

    switch (this->poll_step_) {
        case kStepAcAnalog:
            if (parse40_41(info.From(ac_from), info.LeftFrom(ac_from)) == -1) return 1;
            this->poll_step_ = kStepAcStatus;
            this->write_pmbus_cmd(0x40, 0x43, &group_byte_, 1);
            return 1;

        case kStepAcStatus:
            parse40_43(info.From(ac_from), info.LeftFrom(ac_from));
            this->poll_step_ = kStepAcAlarm;
            this->write_pmbus_cmd(0x40, 0x44, &group_byte_, 1);
            return 1;

        case kStepAcAlarm:
            parse40_44(info.From(ac_from), info.LeftFrom(ac_from));
            this->poll_step_ = kStepRcAnalog;
            this->write_pmbus_cmd(0x41, 0x41);
            return 1;

        case kStepRcAnalog: {
            const int used = parse41_41(info.From(0), L);
            std::printf("41_43 %d vs %d\n", L, used);
            this->poll_step_ = kStepRcStatus;
            this->write_pmbus_cmd(0x41, 0x43);
            return 1;
        }

        case kStepRcStatus:
            parse41_43(info.From(0), L);
            this->poll_step_ = kStepRcAlarm;
            this->write_pmbus_cmd(0x41, 0x44);
            return 1;

        case kStepRcAlarm:
            parse41_44(info.From(0), L);
            if (!has_dc) break;
            this->poll_step_ = kStepDcAnalog;
            if (no_42_arg != 0)
                this->write_pmbus_cmd(0x42, 0x41);
            else
                this->write_pmbus_cmd(0x42, 0x41, &kAllGroups, 1);
            return 1;

        case kStepDcAnalog:
            poll_detail::DecodeDcAnalog(*this, info);
            this->poll_step_ = kStepDcAlarm;
            if (no_42_arg != 0)
                this->write_pmbus_cmd(0x42, 0x44);
            else
                this->write_pmbus_cmd(0x42, 0x44, &kAllGroups, 1);
            return 1;

        case kStepDcAlarm:
            poll_detail::DecodeDcAlarm(*this, info);
            break;

        default:
            // Not a poll reply: the controller's answer to a control request.
            ctrl_result_ = 1;
            return 0;
    }

    this->RoundDone();
    this->poll_step_ = kStepRoundDone;
    this->Reset();
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
