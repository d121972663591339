// Replays the fuzzers' committed seed inputs through the same bodies the
// fuzz targets run, so that an ordinary (and a sanitizer) build checks them.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/fuzz_inputs.h"
#include "tests/unit/decoder_test_util.h"

namespace {

std::vector<Bytes> Corpus(const std::string& target) {
    std::vector<Bytes> out;
    const std::filesystem::path dir =
        std::filesystem::path(Q318B_SOURCE_DIR) / "fuzz/corpus" / target;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

TEST(FuzzCorpus, DecoderSeedsReplay) {
    const auto seeds = Corpus("decoders_fuzz");
    EXPECT_GE(seeds.size(), 3u);
    Printed([&] {
        for (const auto& s : seeds) fuzz_inputs::FuzzDecoders(s.data(), s.size());
    });
}

TEST(FuzzCorpus, ReplySeedsReplay) {
    const auto seeds = Corpus("payload_fuzz");
    EXPECT_GE(seeds.size(), 3u);
    Printed([&] {
        for (const auto& s : seeds) fuzz_inputs::FuzzPayload(s.data(), s.size());
    });
}

// The seeds are valid replies: each must decode to what it was written for.
TEST(FuzzCorpus, SeedsAreTheRepliesTheyClaimToBe) {
    const auto read = [](const char* name) {
        std::ifstream in(std::string(Q318B_SOURCE_DIR) + "/fuzz/corpus/" + name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    q318b_419_Data_t d{};
    LayoutOptions opt;
    const Bytes ac = read("decoders_fuzz/ac_analog_one_input");
    ASSERT_EQ(ac.size(), 35u);
    Printed([&] { EXPECT_EQ(Decode40_41(d.ac, opt, ac.data() + 5, 30), 30); });
    EXPECT_FLOAT_EQ(Val(d.ac.channel[0].c), 222.9f);

    const Bytes dc = read("decoders_fuzz/dc_group");
    Printed([&] { EXPECT_EQ(Decode42_41(d.dc1, opt, dc.data() + 5, 23), 23); });
    const Bytes rc = read("payload_fuzz/rc_analog_step104");
    Printed([&] { EXPECT_EQ(Decode41_41(d.rc, opt, rc.data() + 5, 16), 16); });
}

}  // namespace
