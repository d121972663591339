// What the runner lends its service: the plug-in's devices behind the
// DeviceAccess calls (made on the loop only), and a log the service's
// threads write to and the loop prints from.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/qvr_device.h"
#include "service/device_access.h"

class PluginDeviceAccess : public DeviceAccess {
  public:
    // `busy` tells whether the device has a command on its line.
    void Add(unsigned int data_id, QVRVDevice* dev, std::function<bool()> busy) {
        devices_[data_id] = {dev, std::move(busy)};
    }
    void Remove(unsigned int data_id) { devices_.erase(data_id); }

    bool Has(unsigned int data_id) const override { return devices_.count(data_id) != 0; }
    bool Busy(unsigned int data_id) const override;
    Answer Query(unsigned int data_id, const std::string& key) override;
    int Control(unsigned int data_id, int code, const std::vector<uint8_t>& payload) override;
    int ControlStatus(unsigned int data_id) override;

  private:
    struct Entry {
        QVRVDevice* dev;
        std::function<bool()> busy;
    };
    std::map<unsigned int, Entry> devices_;
};

// Lines from any thread, printed by the loop. Bounded: a client flooding
// refused requests costs a count, not memory.
class LogQueue {
  public:
    explicit LogQueue(size_t bound = 1000) : bound_(bound) {}
    void Add(std::string line);
    // The lines so far, and one that counts those dropped.
    std::vector<std::string> Take();

  private:
    std::mutex mu_;
    std::deque<std::string> lines_;
    size_t bound_;
    size_t dropped_ = 0;
};
