#include "runtime/diag_redirect.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

DiagRedirect::DiagRedirect(const std::string& path) {
    const std::string target = path.empty() ? "/dev/null" : path;
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open diagnostics file " + target + ": " +
                                 std::strerror(errno));
    std::cout.flush();
    std::fflush(stdout);
    saved_fd_ = ::dup(STDOUT_FILENO);
    const int own = saved_fd_ < 0 ? -1 : ::dup(saved_fd_);
    if (saved_fd_ < 0 || own < 0 || ::dup2(fd, STDOUT_FILENO) < 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        if (own >= 0) ::close(own);
        if (saved_fd_ >= 0) ::close(saved_fd_);
        throw std::runtime_error("cannot redirect standard output: " + why);
    }
    ::close(fd);
    out_ = ::fdopen(own, "w");
    if (out_ == nullptr) {
        ::close(own);
        throw std::runtime_error("cannot open the program's own output stream");
    }
    // Line-buffered, like a terminal's standard output, so that a consumer
    // of the JSON stream sees each event when it happens.
    std::setvbuf(out_, nullptr, _IOLBF, 0);
}

DiagRedirect::~DiagRedirect() {
    FlushDiagnostics();
    if (out_ != nullptr) std::fclose(out_);
    if (saved_fd_ >= 0) {
        ::dup2(saved_fd_, STDOUT_FILENO);
        ::close(saved_fd_);
    }
}

void DiagRedirect::FlushDiagnostics() {
    std::cout.flush();
    std::fflush(stdout);
}
