#include "config/setting_value.h"

#include <cstdlib>
#include <cstring>
#include <string>

const Json::Value* SettingMember(const Json::Value& object, const char* key) {
    if (!object.isObject()) return nullptr;
    const Json::Value* member = object.find(key, key + std::strlen(key));
    if (member == nullptr || member->isNull()) return nullptr;
    return member;
}

const Json::Value* AppSetting(const Json::Value& setting) {
    const Json::Value* app = SettingMember(setting, "appSetting");
    return app != nullptr && app->isObject() ? app : nullptr;
}

int SettingInt(const Json::Value& value) {
    const std::string text = value.asString();
    return std::atoi(text.c_str());
}

double SettingDouble(const Json::Value& value) {
    const std::string text = value.asString();
    return std::atof(text.c_str());
}

bool ReadIntOption(const Json::Value& object, const char* key, int& field) {
    const Json::Value* member = SettingMember(object, key);
    if (member == nullptr) return false;
    field = SettingInt(*member);
    return true;
}

bool ReadBoolOption(const Json::Value& object, const char* key, bool& field) {
    int n = 0;
    if (!ReadIntOption(object, key, n)) return false;
    field = n != 0;
    return true;
}

bool ReadByteOption(const Json::Value& object, const char* key, uint8_t& field) {
    int n = 0;
    if (!ReadIntOption(object, key, n)) return false;
    field = static_cast<uint8_t>(static_cast<unsigned>(n) & 0xFFu);
    return true;
}
