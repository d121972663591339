// Control requests: the raw rectifier command (300), DC parameters from a
// JSON request (310), rectifier commands by identifier (320) and the status
// call, on this model and on the sibling models' rows.
#include <gtest/gtest.h>
#include <json/value.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/device_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Control : public ::testing::Test {
  protected:
    int Call(int code, const std::string& text, int out_len = 0) {
        // an exact-size buffer: reading past in_len is a sanitizer error
        std::vector<char> in(text.begin(), text.end());
        written = -7;
        return h.dev->DeviceIoControl(code, in.empty() ? nullptr : in.data(),
                                      static_cast<int>(in.size()), &status, out_len, written);
    }
    int Status(int out_len) {
        status = 12345;
        written = -7;
        return h.dev->DeviceIoControl(0, nullptr, 0, &status, out_len, written);
    }
    std::vector<HostCall> Commands() const { return h.host->Of(HostCall::Kind::kCommand); }
    void Model(const char* type) { h.dev->device_type_ = type; }

    DeviceHarness h;
    int status = 12345;
    int written = -7;
};

std::string ParamRequest(const std::string& signal, const std::string& value_json) {
    return "{\"signal_id\":\"" + signal + "\",\"SetValue\":" + value_json + "}";
}

TEST_F(Control, ParameterCommandsByModel) {
    const struct {
        const char* model;
        std::string request;
        uint8_t cid2;
        Bytes info;
    } rows[] = {
        {"q318b_419",
         ParamRequest("4196A3101001", "\"53.5\""),
         0x48,
         {0xF2, 0x00, 0x00, 0x56, 0x42}},
        {"q318b_419",
         ParamRequest("150600410010", "\"53.5\""),
         0x48,
         {0xF1, 0x00, 0x00, 0x56, 0x42}},
        {"q318b_419", ParamRequest("150600370010", "53.5"), 0x48, {0xF2, 0x00, 0x00, 0x56, 0x42}},
        {"q318b_419", ParamRequest("4196A3201001", "\"abc\""), 0x48, {0xF1, 0, 0, 0, 0}},
        {"q318b_419", ParamRequest("4196A3101001", "\"-2.5V\""), 0x48, {0xF2, 0, 0, 0x20, 0xC0}},
        {"hvp22_419", ParamRequest("4196A3101001", "\"53.5\""), 0x49, {0x85, 0x14, 0xE6}},
        {"hvp22_419", ParamRequest("4196A3201001", "\"53.5\""), 0x49, {0x84, 0x14, 0xE6}},
        {"hvp22_419", ParamRequest("4196A3101001", "\"1000\""), 0x49, {0x85, 0x86, 0xA0}},
        {"hvp22_419", ParamRequest("4196A3101001", "\"-1.509\""), 0x49, {0x85, 0xFF, 0x6A}},
        {"hvp22_419", ParamRequest("4196A3101001", "\"1e300\""), 0x49, {0x85, 0x00, 0x00}},
        {"hvp22_419", ParamRequest("4196A3101001", "\"nan\""), 0x49, {0x85, 0x00, 0x00}},
        {"r604k_419",
         ParamRequest("4196A3101001", "\"53.5\""),
         0x48,
         {0xEC, 0x00, 0x00, 0x56, 0x42}},
        {"r604k_419",
         ParamRequest("4196A3201001", "\"53.5\""),
         0x48,
         {0xEB, 0x00, 0x00, 0x56, 0x42}},
        {"tgx41d_419",
         ParamRequest("4196A3101001", "\"53.5\""),
         0x48,
         {0xDC, 0x00, 0x00, 0x56, 0x42}},
        {"other", ParamRequest("4196A3201001", "\"53.5\""), 0x48, {0xDB, 0x00, 0x00, 0x56, 0x42}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.model) + " " + r.request);
        DeviceHarness fresh;
        std::swap(h, fresh);
        Model(r.model);
        h.dev->poll_step_ = 104;
        EXPECT_EQ(Call(310, r.request, 4), 0);
        ASSERT_EQ(Commands().size(), 1u);
        EXPECT_EQ(Commands()[0].cid1, 0x42);
        EXPECT_EQ(Commands()[0].cid2, r.cid2);
        EXPECT_EQ(Commands()[0].bytes, r.info);
        EXPECT_EQ(h.dev->poll_step_, 310);
        EXPECT_EQ(h.dev->ctrl_result_, -1);
        EXPECT_EQ(status, 12345);  // out is not written
        // the port is opened before the command goes out
        ASSERT_GE(h.host->calls.size(), 2u);
        EXPECT_EQ(h.host->calls[0].kind, HostCall::Kind::kOpenPort);
    }
}

TEST_F(Control, ParameterRequestsThatSendNothing) {
    const struct {
        const char* name;
        std::string request;
        int result;  // -1: refused; 0: the host's default
    } rows[] = {
        {"no SetValue", "{\"signal_id\":\"4196A3101001\"}", 0},
        {"null SetValue", ParamRequest("4196A3101001", "null"), 0},
        {"unknown signal", ParamRequest("4196A3101002", "\"53.5\""), 0},
        {"empty signal", ParamRequest("", "\"53.5\""), 0},
        {"no signal", "{\"SetValue\":\"53.5\"}", 0},
        {"null document", "null", 0},
        {"lone brace", "{", -1},
        {"empty text", "", -1},
        {"not JSON", "SetValue=53.5", -1},
        {"nested beyond the reader's depth", std::string(5000, '['), -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        h.host->Clear();
        h.dev->poll_step_ = 104;
        h.dev->ctrl_result_ = 1;
        EXPECT_EQ(Call(310, r.request, 4), r.result);
        EXPECT_TRUE(Commands().empty());
        EXPECT_EQ(h.dev->poll_step_, 310);
        EXPECT_EQ(h.dev->ctrl_result_, -1);
        EXPECT_EQ(status, 12345);
    }
}

TEST_F(Control, ParameterRequestIsReadToInLenOnly) {
    const std::string full = ParamRequest("4196A3101001", "\"53.5\"");
    // cut before the closing brace: the bytes after in_len must not count
    std::vector<char> buf(full.begin(), full.end());
    EXPECT_EQ(h.dev->DeviceIoControl(310, buf.data(), static_cast<int>(buf.size()) - 1, nullptr, 0,
                                     written),
              -1);
    EXPECT_TRUE(Commands().empty());
    // no terminating NUL is needed
    EXPECT_EQ(
        h.dev->DeviceIoControl(310, buf.data(), static_cast<int>(buf.size()), nullptr, 0, written),
        0);
    EXPECT_EQ(Commands().size(), 1u);
}

TEST_F(Control, ParameterRequestOfTheWrongShapeRaises) {
    const char* requests[] = {
        "[1,2]",
        "\"text\"",
        "{\"signal_id\":[\"4196A3101001\"],\"SetValue\":\"1\"}",
        "{\"signal_id\":\"4196A3101001\",\"SetValue\":{\"v\":1}}",
    };
    for (const char* req : requests) {
        SCOPED_TRACE(req);
        h.dev->poll_step_ = 104;
        EXPECT_THROW(Call(310, req), Json::LogicError);
        EXPECT_EQ(h.dev->poll_step_, 310);
        EXPECT_EQ(h.dev->ctrl_result_, -1);
        EXPECT_TRUE(Commands().empty());
    }
}

TEST_F(Control, RectifierCommandsByModel) {
    const struct {
        const char* model;
        const char* text;
        Bytes info;  // empty: nothing sent
    } rows[] = {
        {"q318b_419", "419500201003", {0x20, 0x03}},
        {"other_419", "419500201003", {0xE5, 0x03}},
        {"q318b_419", "419500200", {0x2F, 0x00}},
        {"other_419", "419500200", {0xE6, 0x00}},
        {"hvp22_419", "41950020012", {0x2F, 12}},
        {"r604k_419", "419500201300", {0x20, 44}},  // 300 mod 256
        {"tgx41d_419", "419500201", {0x20, 0x00}},
        {"q318b_419", "419500601001", {0x10, 0x02}},
        {"hvp22_419", "419500601001", {0x10, 0x02}},
        {"other_419", "419500601001", {0x10, 0x02}},
        {"q318b_419", "419500600001", {0x1F, 0x02}},
        {"other_419", "419500602001", {0x11, 0x02}},
        {"q318b_419", "4195006010011", {}},
        {"q318b_419", "41950060100", {}},
        {"q318b_419", "41950020", {}},
        {"q318b_419", "", {}},
        {"q318b_419", "419500301001", {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.model) + " '" + r.text + "'");
        h.host->Clear();
        Model(r.model);
        h.dev->poll_step_ = 104;
        h.dev->serial_cmd_ = 0;
        h.dev->ctrl_result_ = 1;
        EXPECT_EQ(Call(320, r.text, 4), 0);  // the host's default result
        EXPECT_EQ(h.dev->serial_cmd_, 320);
        EXPECT_EQ(h.dev->poll_step_, 104);
        EXPECT_EQ(h.dev->ctrl_result_, -1);
        EXPECT_EQ(status, 12345);
        if (r.info.empty()) {
            EXPECT_TRUE(Commands().empty());
        } else {
            ASSERT_EQ(Commands().size(), 1u);
            EXPECT_EQ(Commands()[0].cid1, 0x41);
            EXPECT_EQ(Commands()[0].cid2, 0x45);
            EXPECT_EQ(Commands()[0].bytes, r.info);
        }
    }
}

TEST_F(Control, RawCommandNeedsSevenBytes) {
    const std::string seven("\x01\x02\x03\x04\x05\x06\x07", 7);
    EXPECT_EQ(Call(300, seven, 4), 0);
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0].cid1, 0x41);
    EXPECT_EQ(Commands()[0].cid2, 0x4E);
    EXPECT_EQ(Commands()[0].bytes, Bytes(seven.begin(), seven.end()));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(written, 4);
    EXPECT_EQ(h.dev->poll_step_, 300);

    h.host->Clear();
    h.dev->poll_step_ = 104;
    h.dev->ctrl_result_ = 1;
    status = 12345;
    EXPECT_EQ(Call(300, seven.substr(0, 6), 4), -1);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(h.dev->poll_step_, 300);
    EXPECT_EQ(h.dev->ctrl_result_, -1);
    EXPECT_EQ(status, 12345);

    // a short status buffer is left alone
    EXPECT_EQ(Call(300, seven, 3), 0);
    EXPECT_EQ(status, 12345);
    EXPECT_EQ(written, -7);
}

TEST_F(Control, StatusBeforeAndAfterTheReply) {
    Call(310, ParamRequest("4196A3101001", "\"53.5\""));
    EXPECT_EQ(Status(4), 0);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(written, 4);

    h.dev->ctrl_result_ = 1;  // what the reply outside the poll chain sets
    EXPECT_EQ(Status(4), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(written, 4);

    EXPECT_EQ(Status(2), 0);
    EXPECT_EQ(status, 12345);
    EXPECT_EQ(written, 0);

    // any code outside the three commands is a status call
    for (int code : {-1, 1, 299, 301, 321}) {
        status = 0;
        EXPECT_EQ(h.dev->DeviceIoControl(code, "x", 1, &status, 8, written), 0);
        EXPECT_EQ(status, 1) << code;
        EXPECT_TRUE(Commands().size() == 1u);  // only the 310 command above
    }
}

TEST_F(Control, UnreadableRequestIsRefusedWithoutSideEffects) {
    const struct {
        int code;
        bool null_in;
        int in_len;
    } rows[] = {
        {300, true, 7},   {310, true, 5},   {320, true, 12},
        {300, false, -1}, {310, false, -5}, {320, false, -12},
    };
    const char bytes[16] = "419500601001";
    for (const auto& r : rows) {
        SCOPED_TRACE(r.code);
        h.host->Clear();
        h.dev->poll_step_ = 104;
        h.dev->serial_cmd_ = 0;
        h.dev->ctrl_result_ = 1;
        status = 12345;
        EXPECT_EQ(h.dev->DeviceIoControl(r.code, r.null_in ? nullptr : bytes, r.in_len, &status, 4,
                                         written),
                  -1);
        EXPECT_TRUE(h.host->calls.empty());  // not even the port
        EXPECT_EQ(h.dev->poll_step_, 104);
        EXPECT_EQ(h.dev->serial_cmd_, 0);
        EXPECT_EQ(h.dev->ctrl_result_, 1);
        EXPECT_EQ(status, 12345);
    }
}

TEST_F(Control, MissingOutputBufferIsNeverWritten) {
    int w = -7;
    EXPECT_EQ(h.dev->DeviceIoControl(0, nullptr, 0, nullptr, 4, w), 0);
    EXPECT_EQ(w, 0);
    const char seven[7] = {1, 2, 3, 4, 5, 6, 7};
    w = -7;
    EXPECT_EQ(h.dev->DeviceIoControl(300, seven, 7, nullptr, 4, w), 0);
    EXPECT_EQ(w, -7);
    EXPECT_EQ(Commands().size(), 1u);
}

}  // namespace
