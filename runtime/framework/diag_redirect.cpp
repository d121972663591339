#include "runtime/framework/diag_redirect.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

int OpenLog(const std::string& path) {
    const std::string target = path.empty() ? "/dev/null" : path;
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open diagnostics file " + target + ": " +
                                 std::strerror(errno));
    return fd;
}

}  // namespace

DiagRedirect::DiagRedirect(const std::string& path) {
    Redirect(OpenLog(path));
}

DiagRedirect::DiagRedirect(Held) {
    std::FILE* tmp = std::tmpfile();
    if (tmp == nullptr)
        throw std::runtime_error(std::string("cannot hold diagnostics: ") + std::strerror(errno));
    held_fd_ = ::dup(::fileno(tmp));
    std::fclose(tmp);
    if (held_fd_ < 0)
        throw std::runtime_error(std::string("cannot hold diagnostics: ") + std::strerror(errno));
    const int fd = ::dup(held_fd_);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot hold diagnostics: ") + std::strerror(errno));
    Redirect(fd);
}

void DiagRedirect::Keep(const std::string& path) {
    if (held_fd_ < 0) return;
    const int fd = OpenLog(path);
    FlushDiagnostics();
    char buf[65536];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(held_fd_, buf, sizeof buf, at);
        if (n <= 0) break;
        at += n;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(fd, buf + done, static_cast<size_t>(n - done));
            if (w <= 0) {
                const std::string why = std::strerror(errno);
                ::close(fd);
                throw std::runtime_error("cannot write diagnostics file " + path + ": " + why);
            }
            done += w;
        }
    }
    if (::dup2(fd, STDOUT_FILENO) < 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot redirect standard output: " + why);
    }
    ::close(fd);
    ::close(held_fd_);
    held_fd_ = -1;
}

void DiagRedirect::Redirect(int fd) {
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
    if (held_fd_ >= 0) ::close(held_fd_);
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
