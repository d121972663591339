// Threshold rule files: where a device's file is looked for under ./ini/,
// and how its [AI] and [ALARM] sections become rule tables.
//
// The file is read with boost::property_tree's INI reader, whose errors
// (ini_parser_error for a malformed or unreadable file, ptree_bad_path for a
// missing section) are not caught here: a broken rule file must stop the
// device's initialisation rather than leave it with half its rules.
#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <locale>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// [AI]: snapshot member name -> (identifier, name).
using AiRuleMap = std::map<std::string, std::pair<std::string, std::string>>;
// [ALARM]: rule key -> stored text.
using AlarmRuleMap = std::map<std::string, std::string>;

// Folder of the operator's rule files: "unicom" (1 and every unknown mode,
// level thresholds included), "telecom" (2), "mobile" (3).
const char* CarrierName(int b_mode);

// The candidate paths in the order they are tried: per data id, then per
// device type, each ".yaml" before ".ini", first directly under ./ini/,
// then in the carrier's folder.
std::vector<std::string> RuleFileCandidates(unsigned int data_id, const std::string& device_type,
                                            const std::string& carrier);

// The first candidate that exists (access F_OK), or "" when none does.
// Writes one "test ini/yaml:" line per candidate tried and, when nothing is
// found, the "b ini not found" line.
std::string FindRuleFile(unsigned int data_id, const std::string& device_type,
                         const std::string& carrier, std::ostream& log);

bool EndsWith(const std::string& text, const std::string& suffix);

// An [AI] value: identifier before the first comma, name after it; a value
// without a comma is both.
std::pair<std::string, std::string> SplitAiValue(const std::string& value);

// Stores the sections that `b_mode` uses: 1 takes [AI] then [ALARM]
// (identifier up to the first comma), 3 takes [ALARM] with whole values,
// other modes take nothing. Entries stored before a missing section raises
// stay in the tables.
void LoadRuleSections(const boost::property_tree::ptree& tree, int b_mode, AiRuleMap& ai_rules,
                      AlarmRuleMap& alarm_rules);

// The text of a rule file with every key line before the first section
// blanked: such a key belongs to no section and must not reach the INI
// reader, which would keep it as a top-level key (standing in for a
// missing section, or clashing with a section of the same name). Lines
// are never removed, so the reader's line numbers stay the file's; lines
// the reader refuses (no '=', or nothing before it) are kept for it to
// refuse. Lines are trimmed with `loc`'s white space, as the reader does.
std::string WithoutKeysBeforeFirstSection(const std::string& text, const std::locale& loc);

// Reads the INI file at `path` in full (whatever the mode, so a malformed
// file always fails) and loads its sections as above. The reader's errors
// name `path` and the file's own line numbers.
void LoadRuleFile(const std::string& path, int b_mode, AiRuleMap& ai_rules,
                  AlarmRuleMap& alarm_rules);

// The "AI <data id>" line followed by one line per [AI] rule.
void PrintAiRules(unsigned int data_id, const AiRuleMap& ai_rules, std::ostream& log);
