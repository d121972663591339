// The bodies of the decoder and reply fuzz targets, shared with the unit
// test that replays the committed corpus in an ordinary build.
//
// Decoder input:  [flags] [skip_41_41 as int8] [dc_i_adjust as int8]
//                 [modules left by an earlier analog reply] [cut] INFO...
//   flags: bit 0 has_tower, bit 1 the lfcq93 model
//   cut: the length handed over is the INFO size minus (cut % 4)
//
// Reply input:    [flags] [no_dc_number selector] [skip_41_41 as int8]
//                 [poll step selector] [frame selector] INFO...
//   flags: bit 0 has_ac, 1 has_dc, 2 has_tower, 3 lfcq93, 4 no_40_arg,
//          5 no_42_arg, 6 group byte 0xFF
//   frame selector: 0 a well-formed frame; 1 the INFO bytes taken as the
//   whole frame; 2 a header that claims more INFO than it holds
//   The INFO bytes are then handed over again for every further reply the
//   device waits for, so that one input can run a whole round.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "alarms/value_snapshot.h"
#include "device/q318b_419.h"
#include "protocol/decoders.h"
#include "runtime/framework/recording_controller.h"
#include "runtime/wire/reply_frame.h"

namespace fuzz_inputs {

inline void Require(bool ok) {
    if (!ok) std::abort();
}

// A count a decoder returns must describe bytes it was given.
inline void CheckCount(int got, int len) {
    Require(got == -1 || (got >= 0 && got <= len));
}

inline void FuzzDecoders(const uint8_t* data, size_t size) {
    constexpr size_t kHead = 5;
    if (size < kHead) return;
    LayoutOptions opt;
    opt.has_tower = (data[0] & 1) != 0;
    opt.lfcq93 = (data[0] & 2) != 0;
    opt.skip_41_41 = static_cast<int8_t>(data[1]);
    opt.dc_i_adjust = static_cast<int8_t>(data[2]);
    const uint8_t modules = data[3];
    const int cut = data[4] % 4;
    // An exact-size copy: any read past the end lands outside the block.
    const std::vector<uint8_t> info(data + kHead, data + size);
    const uint8_t* in = info.empty() ? nullptr : info.data();
    const int len = static_cast<int>(info.size()) - cut;

    auto record = std::make_unique<q318b_419_Data_t>();
    q318b_419_Data_t& d = *record;
    CheckCount(Decode40_41(d.ac, opt, in, len), len);
    const int status = Decode40_43(d.ac, opt, in, len);
    Require(status >= -1);
    const int alarms = Decode40_44(d.ac, opt, in, len);
    Require(alarms >= 0 && alarms <= (len > 0 ? len : 0));

    CheckCount(Decode41_41(d.rc, opt, in, len), len);
    d.rc.channel_count = modules;  // the status and alarm replies walk these
    CheckCount(Decode41_43(d.rc, opt, in, len), len);
    CheckCount(Decode41_44(d.rc, opt, in, len), len);

    CheckCount(Decode42_41(d.dc1, opt, in, len), len);
    CheckCount(Decode42_44(d.dc1, opt, in, len), len);
    CheckCount(Decode42_41(d.dc2, opt, in, len), len);
    CheckCount(Decode42_44(d.dc2, opt, in, len), len);

    // The threshold pass's snapshot walks whatever counts the replies gave:
    // at most 2 inputs, 40 modules and 2 groups of 2 batteries, every value
    // a finite number.
    AlarmSiteOptions site;
    site.has_dc = true;
    site.dc_number = data[0] >> 4;
    const Json::Value snap = ValueSnapshot(d, site);
    Require(snap.isObject() && snap.size() <= 2 * 4 + 3 + 3 + 40 + 2 * 4);
    for (const auto& name : snap.getMemberNames())
        Require(snap[name].isNumeric() && std::isfinite(snap[name].asDouble()));
}

inline void FuzzPayload(const uint8_t* data, size_t size) {
    constexpr size_t kHead = 5;
    if (size < kHead) return;
    static const int kSteps[] = {100, 101, 102, 104, 105, 106, 107, 108, 10, 103, 300, 310};
    static const int kModes[] = {-1, 1, 2, 0};

    auto host = std::make_shared<RecordingController>();
    q318b_419 dev;
    dev.Init(host, 7, Json::Value());
    const uint8_t flags = data[0];
    dev.has_ac = (flags & 1) != 0;
    dev.has_dc = (flags & 2) != 0;
    dev.has_tower = (flags & 4) != 0;
    if (flags & 8) dev.device_type_ = "lfcq93_k408n27_419";
    dev.no_40_arg = (flags & 16) != 0;
    dev.no_42_arg = (flags & 32) != 0;
    dev.group_byte_ = (flags & 64) != 0 ? 0xFF : 0x01;
    dev.no_dc_number = kModes[data[1] % 4];
    dev.skip_41_41 = static_cast<int8_t>(data[2]);
    dev.poll_step_ = kSteps[data[3] % (sizeof kSteps / sizeof kSteps[0])];
    dev.alarm_level_["120600180010"] = 1;
    const std::vector<uint8_t> info(data + kHead, data + size);

    for (int reply = 0; reply < 10; ++reply) {
        switch (data[4] % 3) {
            case 0:
                dev.reply_frame_ = BuildReplyFrame(0x20, 1, 0x40, 0, info);
                break;
            case 1:
                dev.reply_frame_ = info;
                break;
            default: {
                std::vector<uint8_t> frame = BuildReplyFrame(0x20, 1, 0x40, 0, info);
                frame[4] = 0x0F;
                frame[5] = 0xFE;
                dev.reply_frame_ = frame;
                break;
            }
        }
        const int step = dev.poll_step_;
        const int result = dev.process_payload();
        Require(result == 0 || result == 1);
        // Only an AC analog reply that cannot be decoded holds the chain.
        if (result == 1 && dev.poll_step_ == step) Require(step == 100);
        if (result == 0 || dev.poll_step_ == step) break;
    }
    Require(dev.no_dc_number == -1 || dev.no_dc_number == 1 || dev.no_dc_number == 2 ||
            dev.no_dc_number == kModes[data[1] % 4]);
}

}  // namespace fuzz_inputs
