// Round completion, the communication alarm and cache reload, seen through
// the calls a recording host receives. Time is moved by setting
// last_data_time_, never by waiting.
#include <boost/date_time/posix_time/posix_time.hpp>

#include "tests/support/device_harness.h"
#include "tests/unit/decoder_test_util.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;

const char* const kCommId = "120600180010";
constexpr size_t kTtime = 2459;  // record offset of the round's time stamp

std::string CommAlarm(int level, bool active) {
    return "alarm level=" + std::to_string(level) + " key=" + kCommId + " id=" + kCommId +
           " value=\"设备智能口通信状态告警\" text=\"通信异常\" active=" + (active ? "1" : "0") +
           " ordinal=1";
}

// The host calls that round completion itself owns (the alarm mappings add
// their own, which are not looked at here).
std::vector<std::string> RoundCalls(const RecordingController& host) {
    std::vector<std::string> out;
    for (const auto& c : host.calls) {
        const bool mine = c.kind == HostCall::Kind::kPublish ||
                          c.kind == HostCall::Kind::kHistory ||
                          c.kind == HostCall::Kind::kBatchCheck ||
                          (c.kind == HostCall::Kind::kThresholdBool && c.alarm_id == kCommId);
        if (mine) out.push_back(ToText(c));
    }
    return out;
}

Bytes Stamp(ptime t) {
    const uint64_t v = get_ttime(t);
    Bytes out;
    for (int k = 0; k < 7; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    return out;
}

// Ends a cycle the way the sequencer does: the last rectifier reply.
std::string CompleteRound(DeviceHarness& h) {
    h.dev->poll_step_ = 106;
    return Printed([&] { EXPECT_EQ(h.Reply({0x00, 0x00}), 0); });
}

TEST(RoundDone, PublishesStampsAndStoresTheRecordOnce) {
    DeviceHarness h;
    h.dev->alarm_level_[kCommId] = 3;
    h.dev->alarm_seq_ = 9;
    h.dev->data_.rc.v = 53.7f;
    const std::string out = CompleteRound(h);

    EXPECT_EQ(
        RoundCalls(*h.host),
        (std::vector<std::string>{"publish type=5535 len=2704 realtime=0", CommAlarm(3, false),
                                  "batch-check count=0", "history len=2704", CommAlarm(3, false)}));
    EXPECT_EQ(Count(out, "pmbuspower_419 data_id:7 reset called\n"), 2);
    EXPECT_EQ(Count(out, "data_id:7 reset from rounddone\n"), 2);
    EXPECT_NE(out.find("rvSize is 0\n"), std::string::npos);

    EXPECT_TRUE(h.dev->data_ready_);
    EXPECT_EQ(h.dev->poll_step_, 10);
    EXPECT_EQ(h.dev->alarm_seq_, 1);
    const long age = (second_clock::local_time() - h.dev->last_data_time_).total_seconds();
    EXPECT_GE(age, 0);
    EXPECT_LE(age, 2);

    const Bytes published = h.host->Of(HostCall::Kind::kPublish).at(0).bytes;
    ASSERT_EQ(published.size(), 2704u);
    EXPECT_EQ(Bytes(published.begin() + kTtime, published.begin() + kTtime + 7),
              Stamp(h.dev->last_data_time_));
    EXPECT_NE(Stamp(h.dev->last_data_time_), Bytes(7, 0));
    EXPECT_EQ(h.host->Of(HostCall::Kind::kHistory).at(0).bytes, published);
    Bytes record(2704);
    std::memcpy(record.data(), &h.dev->data_, record.size());
    EXPECT_EQ(record, published);
}

TEST(RoundDone, BatchCheckResultSetsThresholdChanged) {
    for (bool changed : {false, true}) {
        SCOPED_TRACE(changed);
        DeviceHarness h;
        h.host->batch_result = changed;
        h.dev->threshold_changed_ = true;  // cleared at the start of the round
        CompleteRound(h);
        EXPECT_EQ(h.dev->threshold_changed_, changed);
    }
}

TEST(Reset, CommunicationAlarmFollowsTheAgeOfTheData) {
    struct Case {
        const char* name;
        int level;
        int age;  // seconds since the last round; -1: no round yet
        std::vector<std::string> calls;
        const char* line;
    } cases[] = {
        {"no round yet", 2, -1, {CommAlarm(2, true)}, "data_id:7 reset from refreshstatus\n"},
        {"120 s old", 2, 120, {CommAlarm(2, true)}, "data_id:7 reset from refreshstatus\n"},
        {"an hour old", 4, 3600, {CommAlarm(4, true)}, "data_id:7 reset from refreshstatus\n"},
        {"119 s old", 2, 119, {CommAlarm(2, false)}, "data_id:7 reset from rounddone\n"},
        {"fresh", 2, 0, {CommAlarm(2, false)}, "data_id:7 reset from rounddone\n"},
        {"no level configured", 0, -1, {}, nullptr},
        {"no level, old data", 0, 500, {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceHarness h;
        if (c.level != 0) h.dev->alarm_level_[kCommId] = c.level;
        std::string out;
        bool ok = false;
        // Retried if the clock's second turns between setting the age and
        // reading it, which would shift the age by one.
        for (int attempt = 0; attempt < 5; ++attempt) {
            h.host->Clear();
            const ptime now = second_clock::local_time();
            if (c.age >= 0) h.dev->last_data_time_ = now - seconds(c.age);
            out = Printed([&] { ok = h.dev->Reset(); });
            if (second_clock::local_time() == now) break;
        }
        EXPECT_TRUE(ok);
        EXPECT_EQ(RoundCalls(*h.host), c.calls);
        EXPECT_NE(out.find("pmbuspower_419 data_id:7 reset called\n"), std::string::npos);
        if (c.line != nullptr)
            EXPECT_NE(out.find(c.line), std::string::npos) << out;
        else
            EXPECT_EQ(out.find("reset from"), std::string::npos) << out;
        EXPECT_FALSE(h.dev->data_ready_) << "Reset leaves the data state alone";
    }
}

TEST(Reset, FlushesPendingRuleValues) {
    DeviceHarness h;
    h.dev->rule_values_.resize(2);
    Printed([&] { h.dev->Reset(); });
    EXPECT_EQ(RoundCalls(*h.host), std::vector<std::string>{"batch-check count=2"});
    EXPECT_TRUE(h.dev->rule_values_.empty());
    h.host->Clear();
    Printed([&] { h.dev->Reset(); });
    EXPECT_TRUE(h.host->calls.empty()) << "nothing pending, no batch check";
}

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(k * 7 + 3);
    return b;
}

TEST(LoadFromCache, OnlyAWholeRecordIsTaken) {
    for (size_t len : {size_t{0}, size_t{2703}, size_t{2705}, size_t{5408}}) {
        SCOPED_TRACE(len);
        DeviceHarness h;
        const Bytes block = Pattern(len);
        bool taken = true;
        Printed([&] { taken = h.dev->LoadFromCache(block.data(), static_cast<int>(len)); });
        EXPECT_FALSE(taken);
        const std::string as_string(block.begin(), block.end());
        Printed([&] { taken = h.dev->LoadFromCache(as_string); });
        EXPECT_FALSE(taken);
        EXPECT_TRUE(h.host->calls.empty());
        EXPECT_FALSE(h.dev->data_ready_);
        EXPECT_EQ(Bytes(reinterpret_cast<const uint8_t*>(&h.dev->data_),
                        reinterpret_cast<const uint8_t*>(&h.dev->data_) + 2704),
                  Bytes(2704, 0));
    }
    DeviceHarness h;
    EXPECT_FALSE(h.dev->LoadFromCache(nullptr, 2704));
}

TEST(LoadFromCache, AWholeRecordIsPublishedLikeAPolledRound) {
    for (bool as_string : {false, true}) {
        SCOPED_TRACE(as_string);
        DeviceHarness h;
        h.dev->alarm_level_[kCommId] = 1;
        const Bytes block = Pattern(2704);
        bool taken = false;
        const std::string out = Printed([&] {
            taken = as_string ? h.dev->LoadFromCache(std::string(block.begin(), block.end()))
                              : h.dev->LoadFromCache(block.data(), 2704);
        });
        EXPECT_TRUE(taken);
        EXPECT_TRUE(h.dev->data_ready_);
        EXPECT_EQ(
            RoundCalls(*h.host),
            (std::vector<std::string>{"publish type=5535 len=2704 realtime=0", CommAlarm(1, false),
                                      "batch-check count=0", "history len=2704"}));
        Bytes want = block;
        const Bytes stamp = Stamp(h.dev->last_data_time_);
        std::copy(stamp.begin(), stamp.end(), want.begin() + kTtime);
        EXPECT_EQ(h.host->Of(HostCall::Kind::kPublish).at(0).bytes, want);
        EXPECT_EQ(h.host->Of(HostCall::Kind::kHistory).at(0).bytes, want);
        EXPECT_EQ(Count(out, " reset called\n"), 1);
    }
}

}  // namespace
