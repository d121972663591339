// The plug-in writes its diagnostics to standard output. A program that has
// output of its own (a table, a JSON stream) moves those diagnostics to a
// log file (or /dev/null) and keeps the original standard output for
// itself, so the two never mix.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

class DiagRedirect {
  public:
    // Empty path: the diagnostics are dropped. Throws std::runtime_error
    // naming the file when it cannot be opened.
    explicit DiagRedirect(const std::string& path);
    // Holds the diagnostics in an unnamed temporary file until Keep() names
    // their file: a start that is refused leaves nothing behind.
    struct Held {};
    explicit DiagRedirect(Held);
    ~DiagRedirect();
    DiagRedirect(const DiagRedirect&) = delete;
    DiagRedirect& operator=(const DiagRedirect&) = delete;

    // The program's own output: the standard output it started with.
    FILE* out() const { return out_; }
    // Pushes pending diagnostics to the log file.
    void FlushDiagnostics();
    // Moves held diagnostics to `path` (empty: dropped) and sends the rest
    // there. Throws std::runtime_error naming the file.
    void Keep(const std::string& path);

  private:
    void Redirect(int fd);

    int held_fd_ = -1;
    int saved_fd_ = -1;
    FILE* out_ = nullptr;
};
