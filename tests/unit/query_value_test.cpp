// Value queries: answered from the record only while the last round is at
// most 60 seconds old, refused with fixed texts otherwise. Time is moved by
// setting last_data_time_, never by waiting.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "tests/support/device_harness.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;

const char kNotReady[] = "数据未就绪";
const char kTimedOut[] = "数据已超时";
const char kUnsupported[] = "不支持变量";

class ValueQuery : public ::testing::Test {
  protected:
    // Marks the data as ready and `age_s` seconds old.
    void Age(long age_s) {
        h.dev->data_ready_ = true;
        h.dev->last_data_time_ = second_clock::local_time() - seconds(age_s);
    }

    float Query(const std::string& key) {
        testing::internal::CaptureStdout();
        try {
            const float v = h.dev->Get_Value(0, key);
            out = testing::internal::GetCapturedStdout();
            return v;
        } catch (...) {
            out = testing::internal::GetCapturedStdout();
            throw;
        }
    }

    // The refusal text, or "" when the query answered.
    std::string Refusal(const std::string& key) {
        try {
            Query(key);
            return "";
        } catch (const std::out_of_range& e) {
            return e.what();
        }
    }

    // The refusal of a query made while the data are exactly `age_s` old;
    // repeated if the clock's second changed between stamping and asking.
    std::string RefusalAtAge(long age_s, const std::string& key) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const ptime before = second_clock::local_time();
            h.dev->data_ready_ = true;
            h.dev->last_data_time_ = before - seconds(age_s);
            const std::string r = Refusal(key);
            if (second_clock::local_time() == before) return r;
        }
        ADD_FAILURE() << "clock kept moving";
        return "?";
    }

    void SetPhases(int ch, float a, float b, float c) {
        h.dev->data_.ac.channel[ch].a = a;
        h.dev->data_.ac.channel[ch].b = b;
        h.dev->data_.ac.channel[ch].c = c;
    }

    DeviceHarness h;
    std::string out;
};

TEST_F(ValueQuery, NotReadyRefusesEveryKey) {
    for (const char* key : {"out_v", "ac", "ac1", "ac2", "nope", ""}) {
        EXPECT_EQ(Refusal(key), kNotReady) << key;
        EXPECT_EQ(out, "in pmbuspower_419 Get_Value\n");
    }
}

TEST_F(ValueQuery, FreshForSixtySecondsThenTimedOut) {
    h.dev->data_.dc1.v = 53.5f;
    EXPECT_EQ(RefusalAtAge(0, "out_v"), "");
    EXPECT_EQ(RefusalAtAge(60, "out_v"), "");
    Age(61);
    EXPECT_EQ(Refusal("out_v"), kTimedOut);
    Age(3600);
    EXPECT_EQ(Refusal("ac"), kTimedOut);
}

TEST_F(ValueQuery, FreshnessIsTestedBeforeTheKey) {
    Age(61);
    EXPECT_EQ(Refusal("ac3"), kTimedOut);
    h.dev->data_ready_ = false;
    EXPECT_EQ(Refusal("ac3"), kNotReady);
}

TEST_F(ValueQuery, ReadyWithoutARoundTimeCountsAsTimedOut) {
    h.dev->data_ready_ = true;  // last_data_time_ stays not-a-date-time
    EXPECT_EQ(Refusal("out_v"), kTimedOut);
}

TEST_F(ValueQuery, UnknownKeysWhileFresh) {
    Age(0);
    for (const char* key : {"OUT_V", "Out_v", "ac3", "", "out_v ", "ac1\n"})
        EXPECT_EQ(Refusal(key), kUnsupported) << '"' << key << '"';
}

TEST_F(ValueQuery, AcInputLossPerInputAndBoth) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* name;
        float ch0[3];
        float ch1[3];
        float ac1, ac2, ac;
    } rows[] = {
        {"no voltages at all", {0, 0, 0}, {0, 0, 0}, 1, 1, 1},
        {"one input at 230 V", {230, 230, 230}, {0, 0, 0}, 0, 1, 0},
        {"phase B 149.9, others 0", {0, 149.9f, 0}, {0, 0, 0}, 1, 1, 1},
        {"exactly 150 is not below", {150, 0, 0}, {0, 0, 0}, 0, 1, 0},
        {"phase C present on input 2", {0, 0, 0}, {0, 0, 220}, 1, 0, 0},
        {"both inputs present", {220, 221, 222}, {230, 231, 232}, 0, 0, 0},
        {"NaN phase fails the test", {nan, 0, 0}, {0, 0, 0}, 0, 1, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        SetPhases(0, r.ch0[0], r.ch0[1], r.ch0[2]);
        SetPhases(1, r.ch1[0], r.ch1[1], r.ch1[2]);
        Age(0);
        EXPECT_EQ(Query("ac1"), r.ac1);
        EXPECT_EQ(Query("ac2"), r.ac2);
        EXPECT_EQ(Query("ac"), r.ac);
    }
}

TEST_F(ValueQuery, OutVIsTheFirstDcGroupVoltage) {
    h.dev->data_.dc1.v = 53.25f;
    h.dev->data_.dc2.v = 48.0f;
    Age(0);
    EXPECT_EQ(Query("out_v"), 53.25f);
}

}  // namespace
