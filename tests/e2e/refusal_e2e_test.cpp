// Every broken input under tests/data/broken: the runner (and the
// simulator, for a broken scenario) refuses it with status 2 and one line
// on standard error, creates no file, changes none, and sends nothing on
// the line; --check names the same problem.
#include <dirent.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "runtime/wire/transport.h"
#include "tests/e2e/e2e_process.h"

using e2e::Child;
using e2e::TempDir;

namespace {

const std::string kBroken = std::string(Q318B_SOURCE_DIR) + "/tests/data/broken";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The files of a case folder, relative paths, subfolders included.
void ListFiles(const std::string& root, const std::string& rel, std::vector<std::string>* out) {
    DIR* d = ::opendir((root + "/" + rel).c_str());
    if (d == nullptr) return;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        if (::stat((root + "/" + path).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            ListFiles(root, path, out);
        else
            out->push_back(path);
    }
    ::closedir(d);
}

// Every file under `root` with its contents.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::vector<std::string> files;
    ListFiles(root, "", &files);
    std::map<std::string, std::string> out;
    for (const auto& f : files) out[f] = ReadFile(root + "/" + f);
    return out;
}

std::vector<std::string> Cases() {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(kBroken.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != ".." && e->d_type == DT_DIR) out.push_back(n);
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct Refusal {
    int status;
    std::string err;
};

Refusal RunToEnd(const std::vector<std::string>& argv, const std::string& cwd) {
    Child c(argv, cwd);
    const int status = c.Wait(e2e::In(20));
    return {status, c.stderr_text()};
}

class BrokenInput : public testing::TestWithParam<std::string> {};

TEST_P(BrokenInput, IsRefusedWithOneLineAndLeavesEverythingAsItWas) {
    const std::string src = kBroken + "/" + GetParam();
    Json::Value meta;
    {
        std::istringstream in(ReadFile(src + "/case.json"));
        std::string errs;
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &meta, &errs)) << errs;
    }
    rt::PtyMaster line;
    std::string err;
    ASSERT_TRUE(line.Open(&err)) << err;

    TempDir dir;
    std::vector<std::string> files;
    ListFiles(src, "", &files);
    for (const auto& f : files) {
        if (f == "case.json") continue;
        const auto slash = f.rfind('/');
        if (slash != std::string::npos) {
            ASSERT_EQ(std::system(("mkdir -p '" + (dir / f.substr(0, slash)) + "'").c_str()), 0);
        }
        std::string text = ReadFile(src + "/" + f);
        for (size_t at; (at = text.find("@PTY@")) != std::string::npos;)
            text.replace(at, 5, line.slave_path());
        dir.Write(f, text);
    }
    if (meta.isMember("db_sql")) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir / "db.sqlite").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, meta["db_sql"].asCString(), nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const auto before = Snapshot(dir.path());

    std::vector<std::string> argv = {
        Q318B_HOST_PATH, "--site", dir / "site.json", "--db", "db.sqlite", "--rounds", "1"};
    bool own_diag = false;
    for (const auto& a : meta["args"]) {
        argv.push_back(a.asString());
        own_diag |= a.asString() == "--diag";
    }
    if (!own_diag) argv.insert(argv.end(), {"--diag", "diag.log"});
    const Refusal host = RunToEnd(argv, dir.path());
    const std::string expect = meta["expect"].asString();
    EXPECT_EQ(host.status, 2) << host.err;
    EXPECT_EQ(std::count(host.err.begin(), host.err.end(), '\n'), 1) << host.err;
    EXPECT_EQ(host.err.rfind("q318b-host: ", 0), 0u) << host.err;
    EXPECT_NE(host.err.find(expect), std::string::npos)
        << "expected \"" << expect << "\" in " << host.err;
    EXPECT_EQ(Snapshot(dir.path()), before) << "a file was created or changed";

    // Nothing went out on the line.
    uint8_t buf[256];
    EXPECT_LE(line.Read(buf, sizeof buf), 0);

    // --check finds the same problem without polling, unless the problem
    // is in what a run writes.
    if (meta.get("check", true).asBool()) {
        std::vector<std::string> check = argv;
        check.push_back("--check");
        const Refusal checked = RunToEnd(check, dir.path());
        EXPECT_EQ(checked.status, 2) << checked.err;
        EXPECT_NE(checked.err.find(expect), std::string::npos)
            << "--check: expected \"" << expect << "\" in " << checked.err;
        EXPECT_EQ(Snapshot(dir.path()), before) << "--check created or changed a file";
        EXPECT_LE(line.Read(buf, sizeof buf), 0) << "--check sent on the line";
    }

    if (meta["sim"].asBool()) {
        const Refusal sim = RunToEnd({Q318B_SIM_PATH, dir / "scenario.json"}, dir.path());
        EXPECT_EQ(sim.status, 2) << sim.err;
        EXPECT_EQ(std::count(sim.err.begin(), sim.err.end(), '\n'), 1) << sim.err;
        EXPECT_EQ(Snapshot(dir.path()), before);
    }
}

INSTANTIATE_TEST_SUITE_P(RefusalE2E, BrokenInput, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
