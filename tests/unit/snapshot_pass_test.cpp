// The "snapshot" option: read like the other device options, and when on,
// the threshold pass of modes 1, 3 and 5 sees the record's values under
// their snapshot names; when off, the pass is what it always was.
#include <gtest/gtest.h>
#include <json/value.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/device_harness.h"
#include "tests/unit/work_dir_fixture.h"

namespace {

using Lines = std::vector<std::string>;

Json::Value Settings(int b_mode, const Json::Value& snapshot) {
    Json::Value s;
    s["appSetting"]["b_mode"] = b_mode;
    s["appSetting"]["has_dc"] = 1;
    if (!snapshot.isNull()) s["appSetting"]["snapshot"] = snapshot;
    return s;
}

// The level rules of a DC voltage watched as "dc1v", and of the first
// module's current as "rc1i".
Json::Value LevelEntries() {
    Json::Value t;
    Json::Value& v = t["dc_voltage"];
    v["ID"] = "419620301";
    v["SignalName"] = "dc1v";
    v["LowValue"] = "47";
    v["LowReconverValue"] = "48";
    v["LowAlarmLevel"] = "2";
    Json::Value& m = t["module"];
    m["ID"] = "419430101";
    m["SignalName"] = "rc1i";
    m["UpValue"] = "30";
    m["UpReconverValue"] = "29";
    m["UpAlarmLevel"] = "3";
    return t;
}

class SnapshotPass : public WorkDirTest {
  protected:
    void Init(const Json::Value& s) {
        testing::internal::CaptureStdout();
        h.dev->InitSetting(s);
        testing::internal::GetCapturedStdout();
    }

    // A completed round with DC bus voltage `dc_v` and module current
    // `module_i` (one module); the threshold calls it made, and the
    // device's diagnostics in `out`.
    Lines Round(float dc_v, float module_i = 10.5f) {
        h.dev->data_.rc.channel_count = 1;
        h.dev->data_.rc.v = 53.5f;
        h.dev->data_.rc.channel[0].i = module_i;
        h.dev->data_.dc1.v = dc_v;
        h.dev->data_.dc1.i = 21.5f;
        h.host->Clear();
        testing::internal::CaptureStdout();
        h.dev->RoundDone();
        out = testing::internal::GetCapturedStdout();
        Lines calls;
        for (const auto& c : h.host->calls)
            if (c.kind == HostCall::Kind::kThreshold || c.kind == HostCall::Kind::kThresholdBool)
                calls.push_back(ToText(c));
        return calls;
    }

    // The calls that name one of `ids`, in their order.
    static Lines Naming(const Lines& calls, std::initializer_list<const char*> ids) {
        Lines out;
        for (const auto& c : calls)
            for (const char* id : ids)
                if (c.find(std::string("id=") + id + " ") != std::string::npos) out.push_back(c);
        return out;
    }

    DeviceHarness h{7};
    std::string out;
};

TEST_F(SnapshotPass, OptionReadsLikeTheOtherOptions) {
    const struct {
        const char* name;
        Json::Value given;  // null: absent
        int want;
    } rows[] = {
        {"absent", Json::Value(), 0},           {"number 1", Json::Value(1), 1},
        {"text 1", Json::Value("1"), 1},        {"text 2x", Json::Value("2x"), 2},
        {"boolean true", Json::Value(true), 0}, {"text 0", Json::Value("0"), 0},
        {"real 1.9", Json::Value(1.9), 1},
    };
    const auto init = [](DeviceHarness& d, const Json::Value& s) {
        testing::internal::CaptureStdout();
        try {
            d.dev->InitSetting(s);
        } catch (...) {
            testing::internal::GetCapturedStdout();
            throw;
        }
        testing::internal::GetCapturedStdout();
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        DeviceHarness fresh{7};
        init(fresh, Settings(2, r.given));
        EXPECT_EQ(fresh.dev->snapshot, r.want);
    }

    // Absent or null later: the value of the call before stays.
    DeviceHarness dev{7};
    init(dev, Settings(2, Json::Value(1)));
    init(dev, Settings(2, Json::Value()));
    EXPECT_EQ(dev.dev->snapshot, 1);
    Json::Value null_member = Settings(2, Json::Value());
    null_member["appSetting"]["snapshot"] = Json::Value();
    init(dev, null_member);
    EXPECT_EQ(dev.dev->snapshot, 1);

    // Read after the other options: an array stops there, with "cg"
    // already applied and the rule loading skipped.
    Json::Value bad = Settings(2, Json::Value(Json::arrayValue));
    bad["appSetting"]["snapshot"].append(1);
    bad["appSetting"]["cg"] = 9;
    DeviceHarness arr{7};
    EXPECT_THROW(init(arr, bad), Json::LogicError);
    EXPECT_EQ(arr.dev->group_byte_, 9);
    EXPECT_EQ(arr.dev->snapshot, 0);
    EXPECT_TRUE(arr.host->Of(HostCall::Kind::kProtocolSetting).empty());
}

TEST_F(SnapshotPass, OffLeavesEveryModeAsItWas) {
    WriteFile("ini/unicom/q318b_419.ini", "[AI]\ndc1v = 419120300501,直流电压\n[ALARM]\nx_1 = 1\n");
    WriteFile("ini/mobile/q318b_419.ini", "[ALARM]\ndc1v_1 = 419620301001,lower\n");
    for (int mode : {1, 3, 5}) {
        SCOPED_TRACE(mode);
        // Every host call of two rounds, with "snapshot" absent, 0 and 1.
        std::vector<Lines> seen;
        for (const Json::Value& given : {Json::Value(), Json::Value(0), Json::Value(1)}) {
            DeviceHarness fresh{7};
            h.dev.swap(fresh.dev);
            h.host.swap(fresh.host);
            Json::Value s = Settings(mode, given);
            if (mode == 5) s["thresholdSetting"] = LevelEntries();
            h.dev->alarm_level_["419620301001"] = 2;
            h.dev->alarm_threshold_["419620301001"] = 47;
            Init(s);
            Lines all;
            for (float v : {53.5f, 46.5f}) {
                Round(v, 40.0f);
                for (const auto& c : h.host->calls)
                    if (c.kind != HostCall::Kind::kPublish && c.kind != HostCall::Kind::kHistory)
                        all.push_back(ToText(c));
            }
            seen.push_back(all);
            if (given.asInt() == 0) {
                // Nothing reached the snapshot: it holds at most the nulls
                // of the pass's own look-ups.
                for (const auto& name : h.dev->json_data_.getMemberNames())
                    EXPECT_TRUE(h.dev->json_data_[name].isNull()) << name;
            }
        }
        EXPECT_EQ(seen[0], seen[1]);
        // The rule's alarm id in each mode (mode 1 maps the DC voltage
        // under 419620301001 itself, rules or not).
        const char* rule = mode == 1 ? "419620301501" : mode == 3 ? "419620301001" : "419620301003";
        EXPECT_EQ(Naming(seen[0], {rule}), Lines{});
        // The same rules, with the option on, are reported.
        EXPECT_NE(Naming(seen[2], {rule}), Lines{});
    }
}

TEST_F(SnapshotPass, LevelRulesFollowTheRecord) {
    Json::Value s = Settings(5, Json::Value(1));
    s["thresholdSetting"] = LevelEntries();
    Init(s);
    const struct {
        float dc_v;
        float module_i;
        Lines want;
    } rounds[] = {
        {53.5f,
         10.5f,
         {"alarm level=3 key=rc1i id=419430101001 value=\"10.5\" text=\"\" active=0 ordinal=1",
          "alarm level=2 key=dc1v id=419620301003 value=\"53.5\" text=\"\" active=0 ordinal=1"}},
        {46.5f,
         30.25f,
         {"alarm level=3 key=rc1i id=419430101001 value=\"30.25\" "
          "text=\"当前值30.25高于阈值:30\" active=1 ordinal=1",
          "alarm level=2 key=dc1v id=419620301003 value=\"46.5\" "
          "text=\"当前值46.5低于阈值:47\" active=1 ordinal=1"}},
        // Not available this round: the rule is skipped, not fed the value
        // of the round before, and its state waits.
        {std::numeric_limits<float>::quiet_NaN(),
         29.5f,
         {"alarm level=3 key=rc1i id=419430101001 value=\"29.5\" "
          "text=\"当前值29.5高于阈值:30\" active=1 ordinal=1"}},
        {48.0f,
         29.0f,
         {"alarm level=3 key=rc1i id=419430101001 value=\"29\" text=\"\" active=0 ordinal=1",
          "alarm level=2 key=dc1v id=419620301003 value=\"48\" text=\"\" active=0 ordinal=1"}},
    };
    for (size_t i = 0; i < sizeof rounds / sizeof rounds[0]; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(
            Naming(Round(rounds[i].dc_v, rounds[i].module_i), {"419430101001", "419620301003"}),
            rounds[i].want);
    }
}

TEST_F(SnapshotPass, UnicomAnalogRulesGoToTheHostsThresholds) {
    WriteFile("ini/q318b_419.ini",
              "[AI]\n"
              "dc1v = 419120300501,直流电压\n"
              "rc2i = 419120200502,模块2电流\n"  // one module only: never reported
              "ia = 419111000001,A相输入电流\n"  // AC off at this site
              "[ALARM]\nx_1 = 1\n");
    Json::Value s = Settings(1, Json::Value(1));
    s["appSetting"]["has_ac"] = 0;
    Init(s);
    const std::initializer_list<const char*> rules = {"419620301501", "419620201502",
                                                      "419611001001"};
    EXPECT_EQ(Naming(Round(46.5f), rules),
              Lines{"threshold id=419620301501 name=\"直流电压\" value=46.5 count=1"});
    EXPECT_EQ(Naming(Round(std::numeric_limits<float>::infinity()), rules), Lines{});
}

TEST_F(SnapshotPass, MobileRulesCompareTheValueAndSkipWhatIsMissing) {
    WriteFile("ini/q318b_419.ini",
              "[ALARM]\n"
              "dc1v_1 = 419620301001,lower\n"
              "rc1i_1 = 419430101001,upper\n"
              "ia_1 = 419500601001,lower\n");  // AC currents not available
    Json::Value s = Settings(3, Json::Value(1));
    Json::Value& t = s["thresholdSetting"]["419620301001"];
    t["SignalName"] = "直流输出电压";
    t["NMAlarmID"] = "0406012001";
    t["ID"] = "419620301001";
    t["SignalNumber"] = "1";
    for (const char* id : {"419620301001", "419430101001", "419500601001"}) {
        h.dev->alarm_level_[id] = 2;
        h.dev->alarm_threshold_[id] = 47;
    }
    h.dev->alarm_threshold_["419430101001"] = 30;
    Init(s);
    h.dev->data_.ac.channel_count = 1;
    h.dev->data_.ac.channel[0].a = 230.0f;
    h.dev->data_.ac.ia = -0.1f;
    h.dev->data_.ac.ib = -0.1f;
    h.dev->data_.ac.ic = -0.1f;

    const Lines low = Round(46.5f, 31.0f);
    EXPECT_EQ(Naming(low, {"419620301001"}),
              Lines{"alarm level=2 key=419620301001 id=419620301001 value=\"直流输出电压\" "
                    "text=\"0406012001;419620301001;1;46.5\" active=1 ordinal=1"});
    EXPECT_EQ(Naming(low, {"419430101001"}),
              Lines{"alarm level=2 key=419430101001 id=419430101001 value=\"\" "
                    "text=\"31.0\" active=1 ordinal=1"});
    EXPECT_EQ(Naming(low, {"419500601001"}), Lines{});
    EXPECT_NE(out.find("dataName:ia alarmId:419500601001 alarmComp:lower level:2 "
                       "realvalue:null vs 47"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("dataName:dc1v alarmId:419620301001 alarmComp:lower level:2 "
                       "realvalue:46.5 vs 47"),
              std::string::npos)
        << out;

    const Lines back = Round(53.5f, 10.5f);
    EXPECT_EQ(Naming(back, {"419620301001"}),
              Lines{"alarm level=2 key=419620301001 id=419620301001 value=\"直流输出电压\" "
                    "text=\"0406012001;419620301001;1;53.5\" active=0 ordinal=1"});
    EXPECT_EQ(Naming(back, {"419500601001"}), Lines{});
}

}  // namespace
