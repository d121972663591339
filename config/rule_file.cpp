#include "config/rule_file.h"

#include <unistd.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <fstream>
#include <sstream>

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

namespace {

bool IsBlank(char c, const std::locale& loc) {
    return std::isspace(c, loc);
}

// The line as the reader sees it: white space trimmed at both ends.
std::string Trimmed(const std::string& line, const std::locale& loc) {
    std::string::size_type first = 0, last = line.size();
    while (first < last && IsBlank(line[first], loc)) ++first;
    while (last > first && IsBlank(line[last - 1], loc)) --last;
    return line.substr(first, last - first);
}

using boost::property_tree::ini_parser::ini_parser_error;

// The file's lines as the reader would take them from the file itself,
// joined again by line feeds, so that the reader's own loop sees the same
// lines, in the same count.
std::string ReadRuleText(const std::string& path, const std::locale& loc) {
    std::ifstream in(path.c_str());
    if (!in) throw ini_parser_error("cannot open file", path, 0);
    in.imbue(loc);
    std::string text, line;
    unsigned long line_no = 0;
    while (in.good()) {
        ++line_no;
        std::getline(in, line);
        if (!in.good() && !in.eof()) throw ini_parser_error("read error", path, line_no);
        if (line_no > 1) text += '\n';
        text += line;
    }
    return text;
}

}  // namespace

std::string WithoutKeysBeforeFirstSection(const std::string& text, const std::locale& loc) {
    std::string out;
    out.reserve(text.size());
    std::string::size_type at = 0;
    bool in_section = false;
    while (at <= text.size()) {
        std::string::size_type end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        bool drop = false;
        if (!in_section) {
            const std::string t = Trimmed(line, loc);
            if (!t.empty() && t[0] == '[') {
                in_section = true;
            } else if (!t.empty() && t[0] != ';' && t[0] != '#') {
                const std::string::size_type eq = t.find('=');
                drop = eq != std::string::npos && eq != 0;
            }
        }
        if (!drop) out += line;
        if (end == text.size()) break;
        out += '\n';
        at = end + 1;
    }
    return out;
}

void LoadRuleFile(const std::string& path, int b_mode, AiRuleMap& ai_rules,
                  AlarmRuleMap& alarm_rules) {
    // The reader's own defaults: the global locale, errors naming the file.
    const std::locale loc;
    std::istringstream in(WithoutKeysBeforeFirstSection(ReadRuleText(path, loc), loc));
    in.imbue(loc);
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::ini_parser::read_ini(in, tree);
    } catch (const ini_parser_error& e) {
        throw ini_parser_error(e.message(), path, e.line());
    }
    LoadRuleSections(tree, b_mode, ai_rules, alarm_rules);
}

void PrintAiRules(unsigned int data_id, const AiRuleMap& ai_rules, std::ostream& log) {
    log << "AI " << data_id << std::endl;
    for (const auto& kv : ai_rules)
        log << "first:" << kv.first << " second:" << kv.second.first << " name:" << kv.second.second
            << std::endl;
}
