// q318b-decode: turns a stored measurement record, a captured sequence of
// commands and reply frames, or a runner's line trace, into named fields as
// JSON. Replies go
// through the plug-in's own decoders and layout options.
#include <json/reader.h>
#include <json/writer.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/q318b_419.h"
#include "runtime/framework/diag_redirect.h"
#include "runtime/framework/recording_controller.h"
#include "runtime/site/history_db.h"
#include "runtime/site/record_json.h"
#include "runtime/wire/frame_codec.h"
#include "runtime/wire/line_trace.h"

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Render(const Json::Value& v, bool compact) {
    Json::StreamWriterBuilder b;
    b["indentation"] = compact ? "" : "  ";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

Json::Value ReadJsonFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw Failure("cannot read " + path);
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    bool ok = false;
    try {
        ok = Json::parseFromStream(b, in, &v, &errs);
    } catch (const Json::Exception& e) {  // nesting beyond the reader's limit
        errs = e.what();
    }
    if (!ok) {
        for (char& c : errs)
            if (c == '\n') c = ' ';
        throw Failure(path + " is not valid JSON: " + errs);
    }
    return v;
}

Json::Value RecordEntry(const std::vector<uint8_t>& blob, const std::string& source) {
    q318b_419_Data_t rec;
    if (!RecordFromBytes(blob.data(), blob.size(), rec))
        throw Failure(source + " holds " + std::to_string(blob.size()) +
                      " bytes, not a 2704-byte record");
    return RecordToJson(rec);
}

// The poll step whose reply a command asks for.
int StepOf(const std::string& cmd) {
    static const struct {
        const char* cmd;
        int step;
    } steps[] = {{"4041", kStepAcAnalog}, {"4043", kStepAcStatus}, {"4044", kStepAcAlarm},
                 {"4141", kStepRcAnalog}, {"4143", kStepRcStatus}, {"4144", kStepRcAlarm},
                 {"4241", kStepDcAnalog}, {"4244", kStepDcAlarm}};
    for (const auto& s : steps)
        if (cmd == s.cmd) return s.step;
    throw Failure("unknown command \"" + cmd +
                  "\": expected 4041 4043 4044 4141 4143 4144 4241 or 4244");
}

// The characters between SOI and EOI of a frame given as text.
std::string FrameBody(const std::string& text) {
    size_t b = text.find(wire::kSoi);
    if (b == std::string::npos) throw Failure("frame \"" + text + "\" has no '~'");
    std::string body = text.substr(b + 1);
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
    return body;
}

// A device to decode with: the layout options of `settings_path` (empty:
// the defaults), never its rule files.
std::unique_ptr<q318b_419> MakeDecoder(const std::string& settings_path, const std::string& model,
                                       const std::shared_ptr<RecordingController>& host) {
    auto dev = std::make_unique<q318b_419>();
    dev->Init(host, 0, Json::Value());
    if (!model.empty()) dev->device_type_ = model;
    if (!settings_path.empty()) {
        Json::Value settings = ReadJsonFile(settings_path);
        // Only the layout options matter here; rule files are not loaded.
        Json::Value only_options(Json::objectValue);
        if (settings.isObject() && settings.isMember("appSetting")) {
            only_options["appSetting"] = settings["appSetting"];
            if (only_options["appSetting"].isObject())
                only_options["appSetting"].removeMember("b_mode");
        }
        try {
            dev->InitSetting(only_options);
        } catch (const std::exception& e) {
            throw Failure("settings " + settings_path + ": " + e.what());
        }
    }
    return dev;
}

int DecodeReplies(const std::string& settings_path, const std::string& model,
                  const std::vector<std::string>& args, bool compact, FILE* out) {
    if (args.empty() || args.size() % 2 != 0)
        throw Failure("give pairs of COMMAND FRAME, for example 4041 '~2001...'");

    auto host = std::make_shared<RecordingController>();
    std::unique_ptr<q318b_419> owner = MakeDecoder(settings_path, model, host);
    q318b_419& dev = *owner;

    Json::Value steps(Json::arrayValue);
    bool ac = false, rc = false, dc = false;
    for (size_t i = 0; i < args.size(); i += 2) {
        const std::string& cmd = args[i];
        const int step = StepOf(cmd);
        wire::Frame frame;
        const wire::FrameError err = wire::ParseFrameBody(FrameBody(args[i + 1]), &frame);
        Json::Value s(Json::objectValue);
        s["command"] = cmd;
        if (err != wire::FrameError::kNone) {
            s["error"] = wire::ToString(err);
            steps.append(s);
            continue;
        }
        if (frame.cid2 != 0) {
            s["error"] = "return code " + std::to_string(frame.cid2);
            steps.append(s);
            continue;
        }
        dev.poll_step_ = step;
        dev.reply_frame_ = wire::ToReplyFrame(frame);
        s["info_bytes"] = static_cast<Json::UInt>(frame.info.size());
        s["result"] = dev.process_payload();
        steps.append(s);
        ac |= cmd[1] == '0';
        rc |= cmd[1] == '1';
        dc |= cmd[1] == '2';
    }

    const Json::Value rec = RecordToJson(dev.data_);
    Json::Value result(Json::objectValue);
    result["steps"] = steps;
    if (ac) result["ac"] = rec["ac"];
    if (rc) result["rc"] = rec["rc"];
    if (dc) {
        result["dc_number"] = static_cast<Json::UInt64>(dev.dc_number_);
        result["dc1"] = rec["dc1"];
        if (dev.dc_number_ > 1) result["dc2"] = rec["dc2"];
    }
    std::fprintf(out, "%s\n", Render(result, compact).c_str());
    return 0;
}

// A trace, one JSON object per line, each good reply to a poll command
// decoded into the unit's fields as the device would: one device per port
// and address, so a round's replies build on each other as on the line.
int DecodeTrace(const std::string& path, const std::string& settings_path, const std::string& model,
                FILE* out) {
    std::vector<rt::TraceEntry> entries;
    std::string err;
    if (!rt::ReadTraceFile(path, &entries, &err)) throw Failure(err);
    auto host = std::make_shared<RecordingController>();
    std::map<std::pair<std::string, int>, std::unique_ptr<q318b_419>> devices;
    std::map<std::pair<std::string, int>, std::string> last_command;
    for (const auto& e : entries) {
        Json::Value j(Json::objectValue);
        j["time"] = static_cast<Json::Int64>(e.unix_ms);
        j["line"] = rt::FormatTraceLine(e);
        j["verdict"] = e.verdict;
        const auto key = std::make_pair(e.port, e.adr);
        if (e.dir == rt::TraceEntry::Dir::kTx) {
            wire::Frame f;
            const std::string body = e.chars.size() >= 2 ? FrameBody(e.chars) : std::string();
            if (wire::ParseFrameBody(body, &f) == wire::FrameError::kNone) {
                char cmd[8];
                std::snprintf(cmd, sizeof cmd, "%02X%02X", f.cid1, f.cid2);
                last_command[key] = cmd;
                j["command"] = cmd;
            }
        } else if (e.dir == rt::TraceEntry::Dir::kRx && e.verdict == "good") {
            const std::string cmd = last_command[key];
            int step = -1;
            try {
                step = StepOf(cmd);
            } catch (const Failure&) {
                // A control command or a fence: nothing to decode.
            }
            wire::Frame f;
            if (step >= 0 &&
                wire::ParseFrameBody(FrameBody(e.chars), &f) == wire::FrameError::kNone) {
                auto& dev = devices[key];
                if (!dev) dev = MakeDecoder(settings_path, model, host);
                dev->poll_step_ = step;
                dev->reply_frame_ = wire::ToReplyFrame(f);
                j["command"] = cmd;
                j["result"] = dev->process_payload();
                const Json::Value rec = RecordToJson(dev->data_);
                if (cmd[1] == '0') j["ac"] = rec["ac"];
                if (cmd[1] == '1') j["rc"] = rec["rc"];
                if (cmd[1] == '2') {
                    j["dc1"] = rec["dc1"];
                    if (dev->dc_number_ > 1) j["dc2"] = rec["dc2"];
                }
            }
        }
        std::fprintf(out, "%s\n", Render(j, true).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"q318b-decode: stored q318b_419 records and captured replies as JSON"};
    app.require_subcommand(1);
    bool compact = false;
    app.add_flag("--compact", compact, "one line of JSON per result");

    auto* record = app.add_subcommand("record", "a stored 2704-byte record");
    std::string db_path, file_path;
    int64_t row_id = 0;
    unsigned data_id = 0;
    bool all = false;
    record->add_option("--db", db_path, "the runner's database");
    record->add_option("--file", file_path, "a file holding one raw record");
    record->add_option("--id", row_id, "history row id (default: the newest)");
    record->add_option("--data-id", data_id, "only records of this device");
    record->add_flag("--all", all, "every stored record, one JSON line each");

    auto* replies = app.add_subcommand("replies", "commands and reply frames given as text");
    std::string settings_path, model;
    std::vector<std::string> pairs;
    replies->add_option("--settings", settings_path, "settings JSON with \"appSetting\"");
    replies->add_option("--model", model, "device type string (default q318b_419)");
    replies->add_option("pairs", pairs, "COMMAND FRAME ... e.g. 4041 '~2001...'")->required();

    auto* trace = app.add_subcommand("trace", "a q318b-host --trace file, replies decoded");
    std::string trace_path;
    trace->add_option("file", trace_path, "the trace file")->required();
    trace->add_option("--settings", settings_path, "settings JSON with \"appSetting\"");
    trace->add_option("--model", model, "device type string (default q318b_419)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : 2;  // --help is not a failure
    }

    try {
        DiagRedirect diag("");  // the decoders' trace lines are not part of the output
        FILE* out = diag.out();
        if (*replies) return DecodeReplies(settings_path, model, pairs, compact, out);
        if (*trace) return DecodeTrace(trace_path, settings_path, model, out);

        if (db_path.empty() == file_path.empty())
            throw Failure("record: give --db FILE or --file FILE");
        if (!file_path.empty()) {
            std::ifstream in(file_path, std::ios::binary);
            if (!in) throw Failure("cannot read " + file_path);
            std::vector<uint8_t> blob((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
            std::fprintf(out, "%s\n", Render(RecordEntry(blob, file_path), compact).c_str());
            return 0;
        }
        // A reader leaves the file as it found it: a mistyped name is not
        // created, and a file that is not the runner's is refused unchanged.
        HistoryDb db(db_path, HistoryDb::Access::kReadOnly);
        std::vector<StoredRecord> rows;
        if (row_id != 0) {
            StoredRecord r;
            if (!db.RecordById(row_id, r))
                throw Failure("no record with id " + std::to_string(row_id) + " in " + db_path);
            rows.push_back(std::move(r));
        } else {
            rows = db.Records(data_id);
            if (rows.empty()) throw Failure("no stored record in " + db_path);
            if (!all) rows.erase(rows.begin(), rows.end() - 1);
        }
        for (const auto& r : rows) {
            Json::Value j(Json::objectValue);
            j["id"] = static_cast<Json::Int64>(r.id);
            j["time"] = r.time;
            j["type"] = r.type;
            j["record"] = RecordEntry(r.blob, db_path + ": record " + std::to_string(r.id));
            std::fprintf(out, "%s\n", Render(j, compact || all).c_str());
        }
    } catch (const std::exception& e) {
        std::string msg = e.what();
        for (char& c : msg)
            if (c == '\n' || c == '\r') c = ' ';
        std::fprintf(stderr, "q318b-decode: %s\n", msg.c_str());
        return 2;
    }
    return 0;
}
