// Control requests as outside clients send them: what is refused names the
// member at fault, and what is accepted is exactly what makes the device
// send its command (checked against the device itself), so nothing passes
// the check only to be dropped, or misread, by the device.
#include <gtest/gtest.h>
#include <json/value.h>

#include <string>
#include <vector>

#include "service/control_request.h"
#include "tests/support/device_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Accepted {
    const char* body;
    int code;
    uint8_t cid1, cid2;
    Bytes info;  // the command the device then sends
};

TEST(RemoteControlRequest, AcceptedRequestsMakeTheDeviceSendTheirCommand) {
    const Accepted cases[] = {
        {R"({"code":310,"payload":{"signal_id":"4196A3101001","SetValue":"53.5"}})",
         310,
         0x42,
         0x48,
         {0xF2, 0x00, 0x00, 0x56, 0x42}},
        {R"({"code":310,"payload":{"signal_id":"4196A3101001","SetValue":53.5}})",
         310,
         0x42,
         0x48,
         {0xF2, 0x00, 0x00, 0x56, 0x42}},
        {R"({"code":310,"payload":"{\"signal_id\":\"150600410010\",\"SetValue\":\"42\"}"})",
         310,
         0x42,
         0x48,
         {0xF1, 0x00, 0x00, 0x28, 0x42}},
        {R"({"code":320,"payload":"419500201003"})", 320, 0x41, 0x45, {0x20, 0x03}},
        {R"({"code":320,"payload":"419500200"})", 320, 0x41, 0x45, {0x2F, 0x00}},
        {R"({"code":320,"payload":"419500601001"})", 320, 0x41, 0x45, {0x10, 0x02}},
        {R"({"code":300,"payload":"01 02 03 04 05 06 07"})",
         300,
         0x41,
         0x4E,
         {1, 2, 3, 4, 5, 6, 7}},
        {R"({"code":300,"payload":[255,0,1,2,3,4,5]})", 300, 0x41, 0x4E, {255, 0, 1, 2, 3, 4, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        ControlRequest r;
        std::string err;
        ASSERT_TRUE(ParseControlRequestText(c.body, &r, &err)) << err;
        EXPECT_EQ(r.code, c.code);
        DeviceHarness h;
        int status = 0, written = 0;
        EXPECT_GE(
            h.dev->DeviceIoControl(r.code, r.payload.data(), static_cast<int>(r.payload.size()),
                                   &status, sizeof status, written),
            0);
        const auto cmds = h.host->Of(HostCall::Kind::kCommand);
        ASSERT_EQ(cmds.size(), 1u);
        EXPECT_EQ(cmds[0].cid1, c.cid1);
        EXPECT_EQ(cmds[0].cid2, c.cid2);
        EXPECT_EQ(cmds[0].bytes, c.info);
    }
}

TEST(RemoteControlRequest, RefusalsNameWhatIsWrong) {
    const struct {
        std::string body;
        const char* says;
    } cases[] = {
        {"", "not JSON"},
        {"{", "not JSON"},
        {R"({"code":310} x)", "not JSON"},
        {std::string(5000, ' ') + "{}", "longer than 4096"},
        {std::string(200, '[') + std::string(200, ']'), "not JSON"},
        {"[]", "JSON object"},
        {R"({"payload":"x"})", "code must be"},
        {R"({"code":"310","payload":"x"})", "code must be"},
        {R"({"code":311,"payload":"x"})", "not 311"},
        // Whole numbers past int64 used to throw out of the parser.
        {R"({"code":13558555555558485656,"payload":"{\"set"})", "code must be"},
        {R"({"code":-4294967296,"payload":"x"})", "code must be"},
        {R"({"code":320})", "missing member payload"},
        {R"({"code":300,"payload":"010203040506"})", "exactly 7 bytes, not 6"},
        {R"({"code":300,"payload":"0102030405060"})", "odd number"},
        {R"({"code":300,"payload":"01020304050g07"})", "\"0g\""},
        {R"({"code":300,"payload":[1,2,3,4,5,6,256]})", "payload[6]"},
        {R"({"code":300,"payload":[1,2,3,4,5,6,-1]})", "payload[6]"},
        {R"({"code":300,"payload":[1,2,3,4,5,6,1.5]})", "payload[6]"},
        {R"({"code":300,"payload":[1,2,3,4,5,6,18446744073709551615]})", "payload[6]"},
        {R"({"code":300,"payload":7})", "hex text or an array"},
        {R"({"code":310,"payload":"{"})", "not JSON"},
        {R"({"code":310,"payload":[1]})", "an object"},
        {R"({"code":310,"payload":{"SetValue":"1"}})", "signal_id must be text"},
        {R"({"code":310,"payload":{"signal_id":"4196A310100","SetValue":"1"}})",
         "is no DC parameter"},
        {R"({"code":310,"payload":{"signal_id":"4196A3101001"}})", "SetValue must be"},
        {R"({"code":310,"payload":{"signal_id":"4196A3101001","SetValue":"abc"}})",
         "is not a number"},
        {R"({"code":310,"payload":{"signal_id":"4196A3101001","SetValue":"53.5V"}})",
         "is not a number"},
        {R"({"code":310,"payload":{"signal_id":"4196A3101001","SetValue":""}})", "is not a number"},
        {R"({"code":310,"payload":{"signal_id":"4196A3101001","SetValue":"1e999"}})",
         "is not a number"},
        {R"({"code":310,"payload":{"signal_id":"4196A3101001","SetValue":true}})",
         "SetValue must be"},
        {R"({"code":320,"payload":"419500201x"})", "no rectifier command"},
        {R"({"code":320,"payload":"4195002010031"})", "no rectifier command"},
        {R"({"code":320,"payload":"41950020"})", "no rectifier command"},
        {R"({"code":320,"payload":"419500600002"})", "no rectifier command"},
        {R"({"code":320,"payload":3})", "command identifier"},
        // What a refusal quotes stays on one line and is cut when long.
        {R"({"code":320,"payload":"4195\n0020\u001b[2J"})", "payload \"4195?0020?[2J\" is no"},
        {R"({"code":300,"payload":"0\n010203040506"})", "\"0?\" is not a hex byte"},
        {R"({"code":310,"payload":{"signal_id":")" + std::string(100, 'x') + R"(","SetValue":1}})",
         "\"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...\" is no DC parameter"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 80));
        ControlRequest r;
        r.code = 99;
        std::string err;
        EXPECT_FALSE(ParseControlRequestText(c.body, &r, &err));
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), std::string::npos);
        EXPECT_EQ(r.code, 99) << "a refused request leaves the output alone";
    }
}

}  // namespace
