#include "config/rule_file.h"

#include <unistd.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

const char* CarrierName(int b_mode) {
    switch (b_mode) {
        case 2:
            return "telecom";
        case 3:
            return "mobile";
        default:
            return "unicom";
    }
}

std::vector<std::string> RuleFileCandidates(unsigned int data_id, const std::string& device_type,
                                            const std::string& carrier) {
    const std::string id = std::to_string(data_id);
    const std::string dir = "./ini/";
    const std::string sub = dir + carrier + "/";
    return {
        dir + id + ".yaml",          dir + id + ".ini",          dir + device_type + ".yaml",
        dir + device_type + ".ini",  sub + id + ".yaml",         sub + id + ".ini",
        sub + device_type + ".yaml", sub + device_type + ".ini",
    };
}

std::string FindRuleFile(unsigned int data_id, const std::string& device_type,
                         const std::string& carrier, std::ostream& log) {
    for (const std::string& path : RuleFileCandidates(data_id, device_type, carrier)) {
        log << "test ini/yaml:" << path << std::endl;
        if (access(path.c_str(), F_OK) == 0) return path;
    }
    log << "data_id:" << data_id << " model:" << device_type << " b ini not found" << std::endl;
    return std::string();
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::pair<std::string, std::string> SplitAiValue(const std::string& value) {
    const std::string::size_type comma = value.find(',');
    if (comma == std::string::npos) return {value, value};
    return {value.substr(0, comma), value.substr(comma + 1)};
}

void LoadRuleSections(const boost::property_tree::ptree& tree, int b_mode, AiRuleMap& ai_rules,
                      AlarmRuleMap& alarm_rules) {
    if (b_mode == 1) {
        for (const auto& kv : tree.get_child("AI"))
            ai_rules[kv.first] = SplitAiValue(kv.second.data());
        for (const auto& kv : tree.get_child("ALARM"))
            alarm_rules[kv.first] = SplitAiValue(kv.second.data()).first;
    } else if (b_mode == 3) {
        for (const auto& kv : tree.get_child("ALARM")) alarm_rules[kv.first] = kv.second.data();
    }
}

void LoadRuleFile(const std::string& path, int b_mode, AiRuleMap& ai_rules,
                  AlarmRuleMap& alarm_rules) {
    boost::property_tree::ptree tree;
    boost::property_tree::ini_parser::read_ini(path, tree);
    LoadRuleSections(tree, b_mode, ai_rules, alarm_rules);
}

void PrintAiRules(unsigned int data_id, const AiRuleMap& ai_rules, std::ostream& log) {
    log << "AI " << data_id << std::endl;
    for (const auto& kv : ai_rules)
        log << "first:" << kv.first << " second:" << kv.second.first << " name:" << kv.second.second
            << std::endl;
}
