// Reply reassembly and the frame codec on arbitrary bytes, cut into reads
// at arbitrary places; the simulator's command side on the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/wire/frame_codec.h"
#include "sim/controller.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

sim::SimController& Controller() {
    static sim::SimController* c = [] {
        sim::Scenario s;
        s.ac.emplace();
        s.ac->inputs.resize(1);
        s.rectifiers.emplace();
        s.rectifiers->modules.resize(2);
        s.dc.resize(1);
        return new sim::SimController(s);
    }();
    return *c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first byte picks the read size, the second the expected address.
    const size_t step = 1 + data[0] % 64;
    const wire::Address adr(data[1]);
    data += 2;
    size -= 2;

    wire::ReplyAssembler a(512);
    std::vector<wire::Reply> out;
    for (size_t at = 0; at < size; at += step) {
        const size_t n = size - at < step ? size - at : step;
        a.Feed(data + at, n, adr, &out);
    }
    for (const auto& r : out) {
        if (r.error != wire::FrameError::kNone) {
            Check(r.reply_frame.empty());
            continue;
        }
        // A frame that passed: header, LENGTH equal to the INFO it carries.
        Check(r.reply_frame.size() >= 6);
        Check(r.reply_frame[1] == adr.value && r.reply_frame[3] == 0);
        const size_t len = static_cast<size_t>(r.reply_frame[4] << 8 | r.reply_frame[5]);
        Check(len == 2 * (r.reply_frame.size() - 6));
        // Encoded again (spaces become "20"), it reads back the same.
        wire::Frame f;
        f.ver = r.reply_frame[0];
        f.adr = r.reply_frame[1];
        f.cid1 = r.reply_frame[2];
        f.info.assign(r.reply_frame.begin() + 6, r.reply_frame.end());
        std::string text;
        Check(wire::EncodeFrameText(wire::Version(f.ver), wire::Address(f.adr), f.cid1, 0,
                                    wire::HexText(f.info.data(), f.info.size()), &text));
        wire::Frame back;
        Check(wire::ParseFrameBody(std::string_view(text).substr(1, text.size() - 2), &back) ==
              wire::FrameError::kNone);
        Check(back.info == f.info);
    }

    // The whole input as one frame body, and as a command to the simulator.
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    wire::Frame f;
    if (wire::ParseFrameBody(body, &f) == wire::FrameError::kNone)
        Check(f.info.size() * 2 + wire::kHeaderChars + wire::kChksumChars == body.size());
    if (size <= 4096) Controller().Answer(body, 0);
    return 0;
}
