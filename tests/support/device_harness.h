// A q318b_419 device bound to a recording host, for unit tests that drive
// the device the way the host does.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "device/q318b_419.h"
#include "runtime/framework/recording_controller.h"
#include "runtime/wire/reply_frame.h"

struct DeviceHarness {
    explicit DeviceHarness(unsigned int data_id = 7)
        : host(std::make_shared<RecordingController>()), dev(std::make_unique<q318b_419>()) {
        dev->Init(host, data_id, Json::Value());
    }

    // Hands one reply to the device as the host does: the INFO bytes behind
    // a reply header, then process_payload().
    int Reply(const std::vector<uint8_t>& info, uint8_t cid1 = 0x40) {
        dev->reply_frame_ = BuildReplyFrame(dev->protocol_ver_, dev->address_, cid1, 0, info);
        return dev->process_payload();
    }

    std::shared_ptr<RecordingController> host;
    std::unique_ptr<q318b_419> dev;
};
