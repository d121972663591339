// The record's JSON text written directly must be the text the tree gives
// through the runner's writer, for any record: the readers of the JSON
// stream, the HTTP API and MQTT see one shape whichever path wrote it.
#include "runtime/site/record_json_writer.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/site/record_json.h"
#include "tests/support/large_site_record.h"
#include "tools/runner_log.h"
#include "tools/runner_view.h"

namespace {

using test_records::LargeSiteRecord;
using test_records::PutFloat;
using test_records::RecordEvent;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

q318b_419_Data_t Zeroed() {
    q318b_419_Data_t r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    return r;
}

std::string Direct(const q318b_419_Data_t& r) {
    std::string out;
    AppendRecordJson(r, out);
    return out;
}

bool Parse(const std::string& text, Json::Value* v) {
    Json::CharReaderBuilder b;
    Json::CharReaderBuilder::strictMode(&b.settings_);
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string errs;
    return reader->parse(text.data(), text.data() + text.size(), v, &errs);
}

// Equal as JSON: a parsed number is signed or unsigned by its size, where
// the tree says unsigned; doubles must match to the bit's sign.
bool SameJson(const Json::Value& a, const Json::Value& b, std::string* where) {
    if (a.isIntegral() && b.isIntegral() && !a.isDouble() && !b.isDouble()) {
        if (a.asLargestUInt() == b.asLargestUInt()) return true;
    } else if (a.isDouble() && b.isDouble()) {
        const double x = a.asDouble(), y = b.asDouble();
        if (x == y && std::signbit(x) == std::signbit(y)) return true;
    } else if (a.type() == b.type()) {
        switch (a.type()) {
            case Json::nullValue:
                return true;
            case Json::stringValue:
                if (a.asString() == b.asString()) return true;
                break;
            case Json::arrayValue:
                if (a.size() != b.size()) break;
                for (Json::ArrayIndex i = 0; i < a.size(); ++i)
                    if (!SameJson(a[i], b[i], where)) {
                        *where = "[" + std::to_string(i) + "]" + *where;
                        return false;
                    }
                return true;
            case Json::objectValue:
                if (a.getMemberNames() != b.getMemberNames()) break;
                for (const auto& name : a.getMemberNames())
                    if (!SameJson(a[name], b[name], where)) {
                        *where = "." + name + *where;
                        return false;
                    }
                return true;
            default:
                break;
        }
    }
    *where = " (" + a.toStyledString() + " vs " + b.toStyledString() + ")";
    return false;
}

struct Case {
    std::string name;
    q318b_419_Data_t record;
};

// Values jsoncpp spells in each of its ways: with an exponent, as an
// integer given ".0", negative zero, the smallest denormal, null.
const float kOddFloats[] = {kNaN,     kInf,    -kInf,           -0.0f,     0.0f,
                            1e-45f,   FLT_MIN, FLT_MAX,         -FLT_MAX,  1e16f,
                            16777216, 0.1f,    -123.456f,       1e-7f,     3.0e38f,
                            53.5f,    -1.0f,   -std::nanf("7"), 123456792, 1.17e-38f};

void FillOdd(q318b_419_Data_t& r, size_t shift) {
    auto* bytes = reinterpret_cast<unsigned char*>(&r);
    const size_t n = sizeof kOddFloats / sizeof kOddFloats[0];
    // Every float field, whatever it is: step through the record in four
    // bytes from an offset that lands on the float fields of interest.
    const size_t offsets[] = {
        offsetof(q318b_419_Data_t, ac) + offsetof(q318b_ac_t, ia),
        offsetof(q318b_419_Data_t, ac) + offsetof(q318b_ac_t, ib),
        offsetof(q318b_419_Data_t, ac) + offsetof(q318b_ac_t, ic),
        offsetof(q318b_419_Data_t, ac) + offsetof(q318b_ac_t, channel),
        offsetof(q318b_419_Data_t, ac) + offsetof(q318b_ac_t, channel) + 4,
        offsetof(q318b_419_Data_t, ac) + offsetof(q318b_ac_t, channel) + 8,
        offsetof(q318b_419_Data_t, ac) + offsetof(q318b_ac_t, channel) + 12,
        offsetof(q318b_419_Data_t, rc) + offsetof(q318b_rc_t, v),
        offsetof(q318b_419_Data_t, dc1) + offsetof(q318b_dc_t, v),
        offsetof(q318b_419_Data_t, dc1) + offsetof(q318b_dc_t, i),
        offsetof(q318b_419_Data_t, dc2) + offsetof(q318b_dc_t, m),
        offsetof(q318b_419_Data_t, dc2) + offsetof(q318b_dc_t, m) + 4,
    };
    size_t k = shift;
    for (size_t off : offsets) PutFloat(bytes, off, kOddFloats[k++ % n]);
    for (int j = 0; j < q318b_rc_t::kChannels; ++j) {
        const size_t base = offsetof(q318b_419_Data_t, rc) + offsetof(q318b_rc_t, channel) +
                            j * sizeof(q318b_rc_channel_t);
        PutFloat(bytes, base, kOddFloats[k++ % n]);
        for (int u = 0; u < 7; ++u)
            PutFloat(bytes, base + offsetof(q318b_rc_channel_t, p41_41) + 4 * u,
                     kOddFloats[k++ % n]);
    }
    for (int u = 0; u < 27; ++u)
        PutFloat(bytes, offsetof(q318b_419_Data_t, dc1) + offsetof(q318b_dc_t, p) + 4 * u,
                 kOddFloats[k++ % n]);
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    cases.push_back({"all zero, no time", Zeroed()});

    Case one{"one input, three modules", Zeroed()};
    one.record.data_id = 4242;
    one.record.ac.channel_count = 1;
    one.record.ac.channel[0].a = 230.5f;
    one.record.ac.channel[1].a = 999.0f;  // past the count: not shown
    one.record.rc.channel_count = 3;
    one.record.rc.channel[2].fault = 1;
    one.record.rc.channel[3].i = 999.0f;
    cases.push_back(one);

    Case full{"counts at capacity", Zeroed()};
    full.record.ac.channel_count = 2;
    full.record.rc.channel_count = 40;
    full.record.rc.channel[39].i = 12.25f;
    cases.push_back(full);

    for (uint8_t ac : {3, 200, 255}) {
        Case over{"counts above capacity " + std::to_string(ac), Zeroed()};
        over.record.ac.channel_count = ac;
        over.record.rc.channel_count = ac == 3 ? 41 : ac;
        cases.push_back(over);
    }

    for (size_t shift = 0; shift < 20; shift += 3) {
        Case odd{"odd floats from " + std::to_string(shift), Zeroed()};
        odd.record.ac.channel_count = 2;
        odd.record.rc.channel_count = static_cast<uint8_t>(38 + shift % 5);
        FillOdd(odd.record, shift);
        cases.push_back(odd);
    }

    // ttime's fields as the bytes come: a year under 1000 is zero-padded,
    // a month past 99 is written whole.
    const uint8_t times[][7] = {{5, 0, 1, 2, 3, 4, 5},
                                {0xFF, 0xFF, 255, 255, 255, 255, 255},
                                {0xE7, 0x03, 0, 0, 0, 0, 0},
                                {0xE8, 0x03, 9, 10, 99, 100, 7}};
    for (const auto& t : times) {
        Case c{"ttime " + std::to_string(t[0] | (t[1] << 8)), Zeroed()};
        std::memcpy(c.record.ttime, t, 7);
        cases.push_back(c);
    }

    cases.push_back({"large site", LargeSiteRecord()});
    Case large_max{"large site, every id bit", LargeSiteRecord()};
    large_max.record.data_id = 0xFFFFFFFFu;
    cases.push_back(large_max);

    // Whatever bytes a stored record may hold; half of them with counts
    // near capacity, so that trimming is exercised at every length.
    std::mt19937 rng(20261210);
    for (int n = 0; n < 300; ++n) {
        Case c{"random " + std::to_string(n), Zeroed()};
        auto* bytes = reinterpret_cast<unsigned char*>(&c.record);
        for (size_t i = 0; i < sizeof c.record; ++i) bytes[i] = static_cast<unsigned char>(rng());
        if (n % 2 == 0) {
            c.record.ac.channel_count = static_cast<uint8_t>(rng() % 4);
            c.record.rc.channel_count = static_cast<uint8_t>(rng() % 43);
        }
        cases.push_back(c);
    }

    // The fuzz target's seeds (fuzz/record_json_fuzz.cpp), as it reads them.
    const std::filesystem::path seeds =
        std::filesystem::path(Q318B_SOURCE_DIR) / "fuzz/corpus/record_json_fuzz";
    for (const auto& entry : std::filesystem::directory_iterator(seeds)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        Case c{"seed " + entry.path().filename().string(), Zeroed()};
        std::memcpy(static_cast<void*>(&c.record), bytes.data(),
                    std::min(bytes.size(), sizeof c.record));
        cases.push_back(c);
    }
    return cases;
}

TEST(RecordJsonWriter, WritesTheTreesTextForEveryRecord) {
    std::string reused;  // as the runner keeps it: grown once, cleared per line
    for (const auto& c : Cases()) {
        const Json::Value tree = RecordToJson(c.record);
        const std::string direct = Direct(c.record);
        EXPECT_EQ(direct, JsonLine(tree)) << c.name;

        Json::Value parsed;
        ASSERT_TRUE(Parse(direct, &parsed)) << c.name << ": " << direct;
        std::string where;
        EXPECT_TRUE(SameJson(parsed, tree, &where)) << c.name << " at" << where;

        const unsigned ac = c.record.ac.channel_count, rc = c.record.rc.channel_count;
        EXPECT_EQ(parsed["ac"]["channel"].size(), std::min(ac, 2u)) << c.name;
        EXPECT_EQ(parsed["rc"]["channel"].size(), std::min(rc, 40u)) << c.name;
        EXPECT_EQ(parsed["ac"]["channel_count"].asUInt(), ac) << c.name;
        EXPECT_EQ(parsed["rc"]["channel_count"].asUInt(), rc) << c.name;

        reused.clear();
        AppendRecordJson(c.record, reused);
        EXPECT_EQ(reused, direct) << c.name;
    }
}

TEST(RecordJsonWriter, SpellsAFixedRecordExactly) {
    q318b_419_Data_t r = Zeroed();
    r.data_id = 77;
    r.ac.channel_count = 1;
    r.ac.channel[0].a = 230.5f;
    r.ac.channel[0].b = kNaN;
    r.ac.channel[0].c = -0.0f;
    r.ac.channel[0].f = 50.0f;
    r.ac.channel[0].c_alarm = 2;
    r.ac.channel[0].p40_44_count = 8;
    r.ac.channel[0].p40_44[7] = 0xE2;
    r.rc.v = 53.5f;
    r.rc.channel_count = 1;
    auto& m = r.rc.channel[0];
    m.i = 12.25f;
    m.p41_41_count = 7;
    const float user[7] = {0.1f, kNaN, -0.0f, 1e-45f, FLT_MAX, 16777216.0f, -kInf};
    for (int k = 0; k < 7; ++k) PutFloat(&m, offsetof(q318b_rc_channel_t, p41_41) + 4 * k, user[k]);
    m.state[0] = 1;
    m.state[2] = 2;
    m.p41_43_count = 6;
    for (int k = 0; k < 6; ++k) m.p41_43[k] = static_cast<uint8_t>(k + 1);
    m.fault = 1;
    m.p41_44_count = 8;
    m.p41_44[7] = 9;
    const uint8_t ttime[7] = {0xEA, 0x07, 12, 9, 5, 46, 51};
    std::memcpy(r.ttime, ttime, 7);

    std::string text = "prefix:";
    AppendRecordJson(r, text);
    EXPECT_EQ(text.rfind("prefix:{\"ac\":{\"airlock_count\":0,\"channel\":[{\"a\":230.5,"
                         "\"a_alarm\":0,\"b\":null,\"b_alarm\":0,\"c\":-0.0,\"c_alarm\":2,"
                         "\"f\":50.0,\"f_alarm\":0,\"p40_41_count\":0,"
                         "\"p40_44\":[0,0,0,0,0,0,0,226],\"p40_44_count\":8}],"
                         "\"channel_count\":1,\"ia\":0.0,",
                         0),
              0u)
        << text;
    const std::string rc_part =
        ",\"rc\":{\"channel\":[{\"fault\":1,\"i\":12.25,\"p41_41\":[0.10000000149011612,null,"
        "-0.0,1.4012984643248171e-45,3.4028234663852886e+38,16777216.0,null],"
        "\"p41_41_count\":7,\"p41_43\":[1,2,3,4,5,6],\"p41_43_count\":6,"
        "\"p41_44\":[0,0,0,0,0,0,0,9],\"p41_44_count\":8,\"state\":[1,0,2]}],"
        "\"channel_count\":1,\"v\":53.5},\"ttime\":\"2026-12-09 05:46:51\"}";
    ASSERT_GE(text.size(), rc_part.size());
    EXPECT_EQ(text.substr(text.size() - rc_part.size()), rc_part);
    EXPECT_NE(text.find(",\"data_id\":77,\"dc1\":{\"alert_m\":[0,0,0,0,0,0,0,0,0,0],"
                        "\"alert_m_count\":0,"),
              std::string::npos)
        << text;
}

TEST(RecordJsonWriter, PiecesSpellAsJsoncppDoes) {
    const double doubles[] = {0.0,     -0.0,  1.0, -1.5,      1e16, 1e17,  123456789012345678.0,
                              5e-324,  1e308, 0.1, 2.0 / 3.0, 1e-5, 100.0, NAN,
                              INFINITY};
    for (double d : doubles) {
        std::string out;
        AppendJsonDouble(d, out);
        EXPECT_EQ(out, JsonLine(Json::Value(std::isfinite(d) ? Json::Value(d) : Json::Value())))
            << d;
    }
    const std::string texts[] = {"", "2026-12-10 03:15:42", "quote \" and backslash \\ and slash /",
                                 std::string("controls \x01\x1f\b\f\n\r\t\x7f\0end", 21),
                                 "UTF-8 \xe5\xb8\x82\xe7\x94\xb5 and a stray \xff byte"};
    for (const auto& s : texts) {
        std::string out;
        AppendJsonString(s, out);
        EXPECT_EQ(out, JsonLine(Json::Value(s))) << s;
    }
    for (int64_t v : {int64_t{0}, int64_t{-1}, INT64_MIN, INT64_MAX}) {
        std::string out;
        AppendJsonInt(v, out);
        EXPECT_EQ(out, JsonLine(Json::Value(static_cast<Json::Int64>(v))));
    }
    std::string out;
    AppendJsonUnsigned(UINT64_MAX, out);
    EXPECT_EQ(out, JsonLine(Json::Value(static_cast<Json::UInt64>(UINT64_MAX))));
}

TEST(RecordJsonWriter, RecordEventLineIsTheEventTreesLine) {
    std::vector<HostEvent> events;
    events.push_back(RecordEvent(LargeSiteRecord()));
    events.push_back(RecordEvent(Zeroed()));
    HostEvent odd = RecordEvent(LargeSiteRecord());
    odd.data_id = UINT_MAX;
    odd.unix_time = -86400;
    odd.time = "a \"time\" with \\ and \x01 and \xe5\xb8\x82";
    events.push_back(odd);
    std::string line = "left from the last round";
    for (const auto& e : events) {
        ASSERT_TRUE(RecordEventLine(e, line));
        EXPECT_EQ(line, JsonLine(EventJson(e)));
    }

    // Not a record event, or not a whole record: the tree's line, which
    // says so, is the caller's to write.
    HostEvent cut = RecordEvent(Zeroed());
    cut.record.pop_back();
    HostEvent alarm = RecordEvent(Zeroed());
    alarm.kind = HostEvent::Kind::kAlarmRaised;
    for (const auto& e : {cut, alarm}) {
        std::string kept = "kept";
        EXPECT_FALSE(RecordEventLine(e, kept));
        EXPECT_EQ(kept, "kept");
    }
}

// The --json stream writes a record as the tree would have, one line per
// event, whatever came before it in the stream.
TEST(RecordJsonWriter, JsonStreamWritesRecordsAsTheTreeDid) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    ASSERT_NE(f, nullptr);
    std::vector<HostEvent> events = {RecordEvent(LargeSiteRecord()), RecordEvent(Zeroed())};
    events[1].kind = HostEvent::Kind::kLinkLost;
    events[1].detail = "no good reply";
    events.push_back(RecordEvent(Zeroed()));
    HostEvent cut = RecordEvent(Zeroed());
    cut.record.resize(10);
    events.push_back(cut);
    {
        RunnerLog log(f, true, LogFormat::kAuto, false);
        for (const auto& e : events) log.Event(e);
    }
    std::fclose(f);
    std::string expected;
    for (const auto& e : events) expected += JsonLine(EventJson(e)) + "\n";
    EXPECT_EQ(std::string(buf, len), expected);
    std::free(buf);
}

}  // namespace
