// What the service may ask of the runner's devices. The runner implements
// it over its devices; every call is made on the poll loop (through
// LoopCalls), never from a client's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DeviceAccess {
  public:
    virtual ~DeviceAccess() = default;

    virtual bool Has(unsigned int data_id) const = 0;

    struct Answer {
        bool ok = false;
        double value = 0;
        std::string refused;  // the device's own text when !ok
    };
    // The device's Get_Value for `key`.
    virtual Answer Query(unsigned int data_id, const std::string& key) = 0;

    // Whether the device has a command on its line: its round is in
    // progress, and a control command now would take the next poll reply
    // for its own.
    virtual bool Busy(unsigned int data_id) const = 0;

    // The device's DeviceIoControl with a request code (300, 310, 320) and
    // its bytes; returns what the device returned.
    virtual int Control(unsigned int data_id, int code, const std::vector<uint8_t>& payload) = 0;
    // The status of the device's last control command: -1 while its reply
    // is awaited, 1 once it arrived.
    virtual int ControlStatus(unsigned int data_id) = 0;
};
