// Helpers for tests that run the real programs: a scratch folder per test
// and a child process whose standard output is read line by line and whose
// standard error is kept, every wait bounded by a deadline so that a hung
// program fails the test instead of blocking it.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;

inline Clock::time_point In(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// A folder under TMPDIR, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/q318b-e2e-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~TempDir() { RemoveTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    void Write(const std::string& name, const std::string& text) const {
        std::ofstream out(*this / name, std::ios::binary);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + (*this / name));
    }
    // The names in the folder (not recursive).
    std::set<std::string> Names() const {
        std::set<std::string> out;
        if (DIR* d = ::opendir(path_.c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    out.insert(e->d_name);
            ::closedir(d);
        }
        return out;
    }

  private:
    static void RemoveTree(const std::string& p) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0) return;
        if (S_ISDIR(st.st_mode)) {
            if (DIR* d = ::opendir(p.c_str())) {
                std::vector<std::string> names;
                while (dirent* e = ::readdir(d))
                    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                        names.push_back(e->d_name);
                ::closedir(d);
                for (const auto& n : names) RemoveTree(p + "/" + n);
            }
            ::rmdir(p.c_str());
        } else {
            ::unlink(p.c_str());
        }
    }
    std::string path_;
};

inline bool FileExists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

// A loopback TCP port that was free a moment ago (the kernel's pick).
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) throw std::runtime_error("cannot bind a loopback port");
    return ntohs(a.sin_port);
}

// A program run with its standard output and error on pipes.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::string& cwd) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            const int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) ::dup2(devnull, 0);
            if (::chdir(cwd.c_str()) != 0) ::_exit(126);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_fd_ = out[0];
        err_fd_ = err[0];
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            int st;
            ::waitpid(pid_, &st, 0);
        }
        for (int fd : {out_fd_, err_fd_, pidfd_})
            if (fd >= 0) ::close(fd);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void Signal(int sig) {
        if (!reaped_) ::kill(pid_, sig);
    }
    pid_t pid() const { return pid_; }

    // The next line of standard output, or nothing at end of output or at
    // the deadline.
    std::optional<std::string> ReadLine(Clock::time_point deadline) {
        for (;;) {
            const auto nl = out_buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = out_buf_.substr(0, nl);
                out_buf_.erase(0, nl + 1);
                return line;
            }
            if (out_fd_ < 0 || !Pump(deadline)) return std::nullopt;
        }
    }

    // Waits for the end of the program; its exit status, or -1 at the
    // deadline, or 128+N for a death by signal N.
    int Wait(Clock::time_point deadline) {
        while (out_fd_ >= 0 || err_fd_ >= 0)
            if (!Pump(deadline)) return -1;
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            if (::poll(&p, 1, Remaining(deadline)) <= 0) return -1;
        }
        int st = 0;
        if (::waitpid(pid_, &st, 0) != pid_) return -1;
        reaped_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    // What the program wrote so far that was not read as a line.
    const std::string& rest_of_stdout() const { return out_buf_; }
    const std::string& stderr_text() const { return err_buf_; }

  private:
    static int Remaining(Clock::time_point deadline) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::max<long long>(0, ms));
    }

    // Reads whatever is there on either pipe; false at the deadline.
    bool Pump(Clock::time_point deadline) {
        pollfd fds[2];
        int n = 0;
        if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
        if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
        if (n == 0) return true;
        const int r = ::poll(fds, static_cast<nfds_t>(n), Remaining(deadline));
        if (r < 0 && errno == EINTR) return true;
        if (r <= 0) return false;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            char buf[65536];
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            const bool is_out = fds[i].fd == out_fd_;
            if (got > 0) {
                (is_out ? out_buf_ : err_buf_).append(buf, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fds[i].fd);
                (is_out ? out_fd_ : err_fd_) = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    std::string out_buf_;
    std::string err_buf_;
};

}  // namespace e2e
