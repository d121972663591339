// The API's query parameters: what each takes and what it refuses, and
// that every refusal names the parameter at fault.
#include "service/api_params.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

namespace {

using Params = std::multimap<std::string, std::string>;

TEST(ApiParams, UnixSecondsAcceptsPlainDecimalsWithinRange) {
    const struct {
        const char* text;
        std::optional<double> want;
    } cases[] = {
        {"0", 0},
        {"1765300000", 1765300000},
        {"1765300000.25", 1765300000.25},
        {"12.", 12},
        {".5", 0.5},
        {"007", 7},
        {"253402300799", 253402300799.0},
        {"253402300800", std::nullopt},
        {"", std::nullopt},
        {".", std::nullopt},
        {"12abc", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
        {"1e9", std::nullopt},
        {"1e999", std::nullopt},
        {" 12", std::nullopt},
        {"12 ", std::nullopt},
        {"1,5", std::nullopt},
        {"0x10", std::nullopt},
        {"1.2.3", std::nullopt},
        {"99999999999999999999999999999999", std::nullopt},
        {"1000000000000000000000000000000000000000", std::nullopt},
    };
    for (const auto& c : cases) {
        double v = -42;
        const bool ok = ParseUnixSeconds(c.text, &v);
        EXPECT_EQ(ok, c.want.has_value()) << '"' << c.text << '"';
        if (ok && c.want) {
            EXPECT_DOUBLE_EQ(v, *c.want) << c.text;
        }
        if (!ok) {
            EXPECT_EQ(v, -42) << c.text << ": written although refused";
        }
    }
}

TEST(ApiParams, LimitIsAWholeNumberFromOneToTenThousand) {
    const struct {
        const char* text;
        std::optional<int64_t> want;
    } cases[] = {
        {"1", 1},
        {"10000", 10000},
        {"0010", 10},
        {"0", std::nullopt},
        {"10001", std::nullopt},
        {"-1", std::nullopt},
        {"1.0", std::nullopt},
        {"", std::nullopt},
        {"5x", std::nullopt},
        {"1e3", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) {
        int64_t v = -42;
        const bool ok = ParseLimit(c.text, &v);
        EXPECT_EQ(ok, c.want.has_value()) << '"' << c.text << '"';
        if (ok && c.want) {
            EXPECT_EQ(v, *c.want) << c.text;
        }
    }
}

TEST(ApiParams, ListParamsFillTheFilterOrNameTheParameterAtFault) {
    const unsigned all = kParamDataId | kParamTimes;
    const struct {
        Params params;
        unsigned allowed;
        const char* refused;  // the parameter named; null: accepted
    } cases[] = {
        {{}, all, nullptr},
        {{{"since", "10"}, {"until", "20.5"}, {"limit", "3"}, {"data_id", "1001"}}, all, nullptr},
        {{{"since", "10"}, {"until", "10"}}, all, nullptr},
        {{{"data_id", "0"}}, all, nullptr},
        {{{"since", "12abc"}}, all, "since"},
        {{{"since", ""}}, all, "since"},
        {{{"until", "nan"}}, all, "until"},
        {{{"until", "1e999"}}, all, "until"},
        {{{"since", "-1"}}, all, "since"},
        {{{"limit", "0"}}, all, "limit"},
        {{{"limit", "10001"}}, all, "limit"},
        {{{"limit", ""}}, all, "limit"},
        {{{"data_id", "x"}}, all, "data_id"},
        {{{"data_id", "4294967296"}}, all, "data_id"},
        {{{"data_id", "-3"}}, all, "data_id"},
        {{{"since", "20"}, {"until", "10"}}, all, "until"},
        {{{"since", "1"}, {"since", "2"}}, all, "since"},
        {{{"limt", "5"}}, all, "limt"},
        {{{"since", "1"}}, kParamDataId, "since"},
        {{{"data_id", "1"}}, kParamTimes, "data_id"},
        {{{"data_id", "1"}}, 0, "data_id"},
        {{{std::string("\x01\xff", 2), "1"}}, all, "parameter"},
    };
    for (const auto& c : cases) {
        RowFilter f;
        f.since = -1;  // shows whether the filter was written
        ParamError err;
        const bool ok = ParseListParams(c.params, c.allowed, &f, &err);
        std::string shown;
        for (const auto& p : c.params) shown += p.first + "=" + p.second + "&";
        if (c.refused == nullptr) {
            EXPECT_TRUE(ok) << shown << ": " << err.message;
            continue;
        }
        EXPECT_FALSE(ok) << shown;
        EXPECT_EQ(err.parameter, c.refused) << shown;
        EXPECT_EQ(err.message.rfind(std::string(c.refused) + ": ", 0), 0u) << err.message;
        EXPECT_EQ(f.since, -1) << shown << ": filter written although refused";
    }
}

TEST(ApiParams, DefaultsAndValuesReachTheFilter) {
    RowFilter f;
    ParamError err;
    ASSERT_TRUE(ParseListParams({}, kParamDataId | kParamTimes, &f, &err));
    EXPECT_FALSE(f.data_id);
    EXPECT_EQ(f.since, 0);
    EXPECT_FALSE(f.until);
    EXPECT_EQ(f.limit, kDefaultLimit);

    ASSERT_TRUE(
        ParseListParams({{"since", "5.5"}, {"until", "7"}, {"limit", "2"}, {"data_id", "0"}},
                        kParamDataId | kParamTimes, &f, &err));
    ASSERT_TRUE(f.data_id);
    EXPECT_EQ(*f.data_id, 0u);  // device 0 is a device, not "every device"
    EXPECT_EQ(f.since, 5.5);
    ASSERT_TRUE(f.until);
    EXPECT_EQ(*f.until, 7);
    EXPECT_EQ(f.limit, 2);
}

TEST(ApiParams, QueryKeysAreShortPrintableUtf8) {
    const struct {
        std::string key;
        bool ok;
    } cases[] = {
        {"out_v", true},
        {"ac2", true},
        {"电压", true},
        {"a b", true},
        {"", false},
        {std::string(64, 'k'), true},
        {std::string(65, 'k'), false},
        {"a\nb", false},
        {std::string("a\0b", 3), false},
        {"\x7f", false},
        {"\xff", false},
        {"\xc0\xaf", false},          // overlong "/"
        {"\xed\xa0\x80", false},      // a surrogate
        {"\xe7\x94", false},          // cut short
        {"\xc2\x85", false},          // a C1 control
        {"\xf4\x90\x80\x80", false},  // past U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(ValidQueryKey(c.key), c.ok) << c.key;
}

}  // namespace
