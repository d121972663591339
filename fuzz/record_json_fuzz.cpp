// Any bytes as a stored record (the first 2704 bytes; a shorter input is
// padded with zeros): the record's JSON text written directly is the text
// of RecordToJson's tree as the runner writes it on one line, and it reads
// back as a JSON object whose channels stop at the counts.
#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

// Compiled in here so the fuzzer's coverage instrumentation sees them.
#include "runtime/site/record_json.cpp"         // NOLINT(bugprone-suspicious-include)
#include "runtime/site/record_json_writer.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

void Require(bool ok) {
    if (!ok) std::abort();
}

// The runner's line writer (tools/runner_view.cpp) has these settings.
std::string TreeText(const Json::Value& v) {
    static const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(b.newStreamWriter());
    }();
    std::ostringstream os;
    writer->write(v, &os);
    return os.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned char bytes[sizeof(q318b_419_Data_t)] = {};
    std::memcpy(bytes, data, std::min(size, sizeof bytes));
    q318b_419_Data_t record;
    Require(RecordFromBytes(bytes, sizeof bytes, record));

    std::string direct;
    AppendRecordJson(record, direct);
    const Json::Value tree = RecordToJson(record);
    Require(direct == TreeText(tree));

    Json::CharReaderBuilder b;
    Json::CharReaderBuilder::strictMode(&b.settings_);
    const std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value parsed;
    std::string errs;
    Require(reader->parse(direct.data(), direct.data() + direct.size(), &parsed, &errs));
    Require(parsed.isObject() && parsed.getMemberNames() == tree.getMemberNames());
    Require(parsed["ac"]["channel"].size() == RecordAcChannels(record));
    Require(parsed["rc"]["channel"].size() == RecordRcChannels(record));
    return 0;
}
