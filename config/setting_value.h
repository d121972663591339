// Settings values as the host hands them over: every value is taken as the
// JSON library's text form (asString()) and then read as a C number, so 3,
// "3" and "3x" all give 3, while true gives 0 (its text is "true"). A member
// that is missing or JSON null counts as absent. Arrays and objects make
// asString() raise the JSON library's type error, which callers let pass.
#pragma once

#include <json/value.h>

#include <cstdint>

// The member `key` of `object` when `object` is a JSON object holding it
// with a non-null value; nullptr otherwise.
const Json::Value* SettingMember(const Json::Value& object, const char* key);

// The "appSetting" object of a settings object; nullptr when it is missing,
// null or not an object.
const Json::Value* AppSetting(const Json::Value& setting);

int SettingInt(const Json::Value& value);
double SettingDouble(const Json::Value& value);

// Each sets `field` from the member `key` of `object` and returns true, or
// leaves it unchanged and returns false when the member is absent.
bool ReadIntOption(const Json::Value& object, const char* key, int& field);
bool ReadBoolOption(const Json::Value& object, const char* key, bool& field);
// Keeps the low 8 bits of the integer.
bool ReadByteOption(const Json::Value& object, const char* key, uint8_t& field);
