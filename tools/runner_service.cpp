#include "tools/runner_service.h"

#include <stdexcept>
#include <utility>

DeviceAccess::Answer PluginDeviceAccess::Query(unsigned int data_id, const std::string& key) {
    Answer a;
    auto it = devices_.find(data_id);
    if (it == devices_.end()) {
        a.refused = "no such device";
        return a;
    }
    try {
        a.value = static_cast<double>(it->second.dev->Get_Value(0, key));
        a.ok = true;
    } catch (const std::exception& e) {
        a.refused = e.what();
    }
    return a;
}

bool PluginDeviceAccess::Busy(unsigned int data_id) const {
    auto it = devices_.find(data_id);
    return it != devices_.end() && it->second.busy && it->second.busy();
}

int PluginDeviceAccess::Control(unsigned int data_id, int code,
                                const std::vector<uint8_t>& payload) {
    auto it = devices_.find(data_id);
    if (it == devices_.end()) return -1;
    int status = 0, written = 0;
    return it->second.dev->DeviceIoControl(code, payload.data(), static_cast<int>(payload.size()),
                                           &status, sizeof status, written);
}

int PluginDeviceAccess::ControlStatus(unsigned int data_id) {
    auto it = devices_.find(data_id);
    if (it == devices_.end()) return -1;
    int status = 0, written = 0;
    it->second.dev->DeviceIoControl(0, nullptr, 0, &status, sizeof status, written);
    return written == static_cast<int>(sizeof status) ? status : -1;
}

void LogQueue::Add(std::string line) {
    std::lock_guard<std::mutex> lock(mu_);
    if (lines_.size() >= bound_) {
        ++dropped_;
        return;
    }
    lines_.push_back(std::move(line));
}

std::vector<std::string> LogQueue::Take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out(lines_.begin(), lines_.end());
    lines_.clear();
    if (dropped_ > 0) {
        out.push_back(std::to_string(dropped_) + " more service lines not logged");
        dropped_ = 0;
    }
    return out;
}
