// A fixture that runs each test in a fresh temporary working directory, so
// that the device's relative ./ini/ search sees only the files the test
// writes. The previous directory is restored and the temporary one removed
// in TearDown.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class WorkDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_dir_ = cwd;
        char tmpl[] = "/tmp/q318b_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }

    void TearDown() override {
        if (!old_dir_.empty()) {
            EXPECT_EQ(chdir(old_dir_.c_str()), 0);
        }
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    // Writes `content` to `path` (relative to the working directory),
    // creating its folders.
    static void WriteFile(const std::string& path, const std::string& content) {
        const std::filesystem::path p(path);
        if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary);
        out << content;
        ASSERT_TRUE(out.good()) << path;
    }

    std::string old_dir_;
    std::string dir_;
};

// The lines of captured standard output.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}
