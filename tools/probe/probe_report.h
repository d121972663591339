// What q318b-probe prints for the controllers it found: text for a person,
// or one JSON document for a program, with the "appSetting" object and a
// site-file device entry ready to paste.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "tools/probe/probe_layout.h"
#include "tools/probe/probe_line.h"

namespace probe {

struct Report {
    std::string port;  // as given on the command line
    int baud = 9600;
    struct Entry {
        Found found;
        Verdict verdict;
    };
    std::vector<Entry> controllers;
};

// The device entry for the site file (data_id 1000 + address, to be
// chosen by the site's owner).
Json::Value SiteEntry(const Report& r, const Report::Entry& e);
Json::Value ReportJson(const Report& r);
std::string ReportText(const Report& r);

}  // namespace probe
