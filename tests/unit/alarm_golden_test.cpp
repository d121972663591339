// Golden files: one site of each operator driven the way the host drives it
// (settings and rule files through InitSetting, then whole poll rounds of
// replies), with every host call and every diagnostic line written out in
// order. Any change of behaviour shows up as a diff of tests/golden/.
//
// To regenerate after an intended change:
//   Q318B_UPDATE_GOLDEN=1 build/tests/unit_tests --gtest_filter='Golden*'
// then review the diff. Regeneration is refused when CI is set, and a
// missing golden file is a failure, never created on the fly.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "alarm_plant.h"
#include "alarm_test_support.h"
#include "tests/support/device_harness.h"

namespace {

// ------------------------------------------------------------ sites

struct RuleFile {
    std::string path;  // below the working directory
    std::string text;
};

struct Site {
    const char* name;  // golden file name without extension
    const char* description;
    std::string settings;  // JSON handed to InitSetting
    std::vector<RuleFile> files;
    std::function<void(q318b_419&)> host_tables;  // the host's own configuration
    std::vector<Plant> rounds;
};

// A working directory of its own for the rule file search; restored after.
class TempWorkDir {
  public:
    TempWorkDir() : old_(std::filesystem::current_path()) {
        char tmpl[] = "/tmp/q318b_golden_XXXXXX";
        const char* dir = mkdtemp(tmpl);
        if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = dir;
        std::filesystem::current_path(dir_);
    }
    ~TempWorkDir() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
        std::filesystem::remove_all(dir_, ec);
    }
    void Write(const RuleFile& f) {
        const std::filesystem::path path(f.path);
        if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << f.text;
    }

  private:
    std::filesystem::path old_;
    std::filesystem::path dir_;
};

std::string RunSite(const Site& site) {
    TempWorkDir wd;
    for (const auto& f : site.files) wd.Write(f);

    DeviceHarness h(7);
    auto& d = *h.dev;
    site.host_tables(d);
    Json::Value settings;
    std::istringstream(site.settings) >> settings;

    std::ostringstream out;
    out << "# " << site.description << "\n";
    testing::internal::CaptureStdout();
    h.host->Clear();
    d.InitSetting(settings);
    out << "## InitSetting\n";
    for (const auto& line : CallLines(*h.host)) out << line << "\n";

    int n = 0;
    for (const Plant& p : site.rounds) {
        out << "## round " << ++n << "\n";
        h.host->Clear();
        // The previous round is old enough for a new one to start.
        if (!d.last_data_time_.is_not_a_date_time())
            d.last_data_time_ -= boost::posix_time::seconds(5);
        d.RefreshStatus();
        const bool has_ac = d.has_ac;
        const bool has_dc = d.has_dc;
        if (has_ac) {
            h.Reply(p.Ac41(), 0x40);
            h.Reply(p.Ac43(), 0x40);
            h.Reply(p.Ac44(), 0x40);
        }
        h.Reply(p.Rc41(), 0x41);
        h.Reply(p.Rc43(), 0x41);
        h.Reply(p.Rc44(), 0x41);
        if (has_dc) {
            h.Reply(p.Dc41(), 0x42);
            h.Reply(p.Dc44(), 0x42);
        }
        for (const auto& line : CallLines(*h.host)) out << line << "\n";
    }
    out << "## standard output\n" << testing::internal::GetCapturedStdout();
    return out.str();
}

std::vector<std::string> SplitLines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

void CheckGolden(const Site& site) {
    const std::string got = RunSite(site);
    const std::string path = std::string(Q318B_SOURCE_DIR) + "/tests/golden/" + site.name + ".txt";
    const char* update = std::getenv("Q318B_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        ASSERT_EQ(std::getenv("CI"), nullptr) << "golden files are not regenerated in CI";
        std::ofstream file(path);
        file << got;
        file.close();
        ASSERT_TRUE(file.good()) << "cannot write " << path;
        std::cout << "updated " << path << "\n";
        return;
    }
    std::ifstream in(path);
    ASSERT_TRUE(in.good()) << path << " is missing; see the top of " << __FILE__;
    std::stringstream want;
    want << in.rdbuf();
    EXPECT_EQ(SplitLines(got), SplitLines(want.str())) << "differs from " << path;
}

// ------------------------------------------------------------ the four sites

Site UnicomSite() {
    Site s;
    s.name = "unicom_site";
    s.description =
        "unicom (b_mode 1): two AC inputs on ac_line 0, three modules, two DC groups, "
        "[AI] rules; a normal round, a round with trouble, a normal round";
    s.settings = R"({"appSetting": {"b_mode": "1", "has_dc": "1", "ac_line": "0"}})";
    s.files = {{"ini/unicom/q318b_419.ini",
                "[AI]\n"
                "p40_41_0=419110100001,A相电压\n"
                "p40_41_1=419110200001,B相电压\n"
                "[ALARM]\n"
                "PowerOff=419415001,输入电源中断告警\n"}};
    s.host_tables = [](q318b_419& d) {
        BAOSetting volts;
        volts.abs_enabled = true;
        volts.abs_delta = 5.0f;
        d.ao_report_settings_["419610401001"] = volts;
        BAOSetting dc;
        dc.percent_enabled = true;
        dc.percent_delta = 10.0f;
        d.ao_report_settings_["419620301001"] = dc;
        d.ao_report_settings_["419620401001"] = dc;
    };
    s.rounds = {NormalPlant(), TroublePlant(), NormalPlant()};
    return s;
}

Site TelecomSite() {
    Site s;
    s.name = "telecom_site";
    s.description =
        "telecom (b_mode 2): two AC inputs, phase C unwired, three modules, two DC groups, "
        "levels for most alarms; a normal round, a round with trouble, a normal round";
    s.settings =
        R"({"appSetting": {"b_mode": "2", "has_dc": "1", "has_c": "0", "open_41_43": "0"}})";
    s.host_tables = [](q318b_419& d) {
        for (const char* id : {"220600120010", "220600130010", "220600140010", "220600160010",
                               "220600170010", "210600320010", "210600330010", "210600340010",
                               "210600320020", "210600330020", "210600340020"})
            d.alarm_level_[id] = 2;
        for (const char* id : {"120600690010", "120600690020", "120600020020", "120600470010",
                               "120600470020", "120600470190", "120600470200", "120600470210"})
            d.alarm_level_[id] = 1;
        d.alarm_threshold_["220600160010"] = 52.0f;
        d.alarm_threshold_["220600170010"] = 48.0f;
        d.alarm_threshold_["210600320010"] = 47.0f;
        d.alarm_threshold_["210600330010"] = 45.0f;
        d.alarm_threshold_["210600340010"] = 57.5f;
        d.alarm_threshold_["210600320020"] = 47.0f;
        d.alarm_threshold_["210600330020"] = 45.0f;
        d.alarm_threshold_["210600340020"] = 57.5f;
    };
    s.rounds = {NormalPlant(), TroublePlant(), NormalPlant()};
    return s;
}

Site MobileSite() {
    Site s;
    s.name = "mobile_site";
    s.description =
        "mobile (b_mode 3): [ALARM] rules and their thresholdSetting texts; the device fills "
        "no snapshot, so the rules are printed and skipped; model alarms only; a normal round, a "
        "round with trouble, a normal round";
    s.settings = R"({
        "appSetting": {"b_mode": "3"},
        "thresholdSetting": {
            "419500601001": {"SignalName": "ua", "NMAlarmID": "0406001", "ID": "419500601001",
                             "SignalNumber": "001"},
            "419500602001": {"SignalName": "ub", "NMAlarmID": "0406002", "SignalNumber": "001"}
        }})";
    s.files = {{"ini/mobile/q318b_419.ini",
                "[ALARM]\n"
                "ua_1=419500601001,upper\n"
                "ub_1=419500602001,lower\n"
                "p40_41_0=419500603001,notequal\n"}};
    s.host_tables = [](q318b_419& d) {
        d.alarm_level_["419500601001"] = 2;
        d.alarm_level_["419500602001"] = 1;
        d.alarm_threshold_["419500601001"] = 260.0f;
        d.alarm_threshold_["419500602001"] = 180.0f;
    };
    s.rounds = {NormalPlant(), TroublePlant(), NormalPlant()};
    return s;
}

Site LevelSite() {
    Site s;
    s.name = "level_site";
    s.description =
        "level thresholds (b_mode 5): Up and Low levels from thresholdSetting, no DC unit; "
        "the device fills no snapshot, so no level rule reports; a normal round, a round with "
        "trouble, a normal round";
    s.settings = R"({
        "appSetting": {"b_mode": "5", "has_dc": "0"},
        "thresholdSetting": {
            "a": {"ID": "419500701", "SignalName": "out_v", "UpValue": "57",
                  "UpReconverValue": "56", "UpAlarmLevel": "2", "LowValue": "47",
                  "LowReconverValue": "48", "LowAlarmLevel": "1"},
            "b": {"ID": "", "SignalName": "ignored"}
        }})";
    s.host_tables = [](q318b_419&) {};
    s.rounds = {NormalPlant(), TroublePlant(), NormalPlant()};
    return s;
}

TEST(Golden, UnicomSite) {
    CheckGolden(UnicomSite());
}
TEST(Golden, TelecomSite) {
    CheckGolden(TelecomSite());
}
TEST(Golden, MobileSite) {
    CheckGolden(MobileSite());
}
TEST(Golden, LevelSite) {
    CheckGolden(LevelSite());
}

}  // namespace
