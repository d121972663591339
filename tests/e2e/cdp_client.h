// A headless Chromium for end-to-end tests, and just enough of the Chrome
// DevTools Protocol to drive it: a websocket client over loopback (text
// frames, fragments, ping, close) and request/response calls matched by id.
// Every read has a deadline, so a browser that hangs fails the test
// instead of blocking it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/e2e_process.h"

namespace e2e {

// A program in a process group of its own, its output appended to a file
// (a browser or a runner writes more than a pipe holds while the test is
// busy elsewhere). The destructor ends the group: SIGTERM, then SIGKILL
// for whatever is left after a bounded wait.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const std::string& cwd, const std::string& log) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::setpgid(0, 0);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            const int in = ::open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(126);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        // Also here, so that the group exists before either side goes on.
        ::setpgid(pid_, pid_);
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }
    ~Process() {
        Stop(5);
        if (pidfd_ >= 0) ::close(pidfd_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }

    // Ends the group; the main process's exit status (128+N for signal N),
    // or -1 when it had to be killed.
    int Stop(double grace_seconds) {
        if (reaped_) return status_;
        ::kill(-pid_, SIGTERM);
        int st = -1;
        if (!WaitExit(In(grace_seconds))) {
            ::kill(-pid_, SIGKILL);
            WaitExit(In(10));
        } else {
            st = status_;
        }
        // Helpers of a browser that outlived their parent.
        ::kill(-pid_, SIGKILL);
        return st;
    }

  private:
    bool WaitExit(Clock::time_point deadline) {
        if (pidfd_ >= 0) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{pidfd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<long long>(0, ms.count()))) <= 0)
                return false;
        }
        int st = 0;
        if (::waitpid(pid_, &st, 0) != pid_) return false;
        reaped_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// One websocket connection to a loopback address, client side.
class WebSocket {
  public:
    // `url`: ws://127.0.0.1:PORT/PATH.
    WebSocket(const std::string& url, Clock::time_point deadline) {
        const std::string prefix = "ws://127.0.0.1:";
        if (url.rfind(prefix, 0) != 0) throw std::runtime_error("not a loopback ws URL: " + url);
        const auto slash = url.find('/', prefix.size());
        const std::string port = url.substr(prefix.size(), slash - prefix.size());
        const std::string path = slash == std::string::npos ? "/" : url.substr(slash);
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot connect to " + url);
        SendAll(
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
            deadline);
        size_t end;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos) Fill(deadline);
        const std::string head = buf_.substr(0, end);
        buf_.erase(0, end + 4);
        if (head.rfind("HTTP/1.1 101", 0) != 0)
            throw std::runtime_error("websocket upgrade refused: " + head);
    }
    ~WebSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    WebSocket(const WebSocket&) = delete;
    WebSocket& operator=(const WebSocket&) = delete;

    void SendText(const std::string& text, Clock::time_point deadline) {
        SendFrame(0x1, text, deadline);
    }

    // The next whole text message; throws at the deadline or when the peer
    // closes.
    std::string ReceiveText(Clock::time_point deadline) {
        std::string message;
        for (;;) {
            const uint8_t b0 = Byte(deadline), b1 = Byte(deadline);
            const bool fin = b0 & 0x80;
            const int opcode = b0 & 0x0F;
            uint64_t len = b1 & 0x7F;
            if (len >= 126) {
                const int n = len == 126 ? 2 : 8;
                len = 0;
                for (int i = 0; i < n; ++i) len = (len << 8) | Byte(deadline);
            }
            if (b1 & 0x80) throw std::runtime_error("masked frame from the server");
            if (len > (64u << 20)) throw std::runtime_error("websocket frame too large");
            while (buf_.size() < len) Fill(deadline);
            std::string payload = buf_.substr(0, len);
            buf_.erase(0, len);
            if (opcode == 0x8) throw std::runtime_error("the browser closed the websocket");
            if (opcode == 0x9) {
                SendFrame(0xA, payload, deadline);
                continue;
            }
            if (opcode == 0xA) continue;
            message += payload;
            if (fin) return message;
        }
    }

  private:
    void SendFrame(int opcode, const std::string& payload, Clock::time_point deadline) {
        std::string f;
        f += static_cast<char>(0x80 | opcode);
        const uint64_t n = payload.size();
        if (n < 126) {
            f += static_cast<char>(0x80 | n);
        } else if (n <= 0xFFFF) {
            f += static_cast<char>(0x80 | 126);
            f += static_cast<char>(n >> 8);
            f += static_cast<char>(n & 0xFF);
        } else {
            f += static_cast<char>(0x80 | 127);
            for (int i = 7; i >= 0; --i) f += static_cast<char>((n >> (8 * i)) & 0xFF);
        }
        // Clients must mask; the key need not be secret on loopback.
        uint8_t key[4];
        for (auto& k : key) k = static_cast<uint8_t>(rng_());
        f.append(reinterpret_cast<const char*>(key), 4);
        for (size_t i = 0; i < payload.size(); ++i) f += static_cast<char>(payload[i] ^ key[i % 4]);
        SendAll(f, deadline);
    }

    void SendAll(const std::string& data, Clock::time_point deadline) {
        size_t off = 0;
        while (off < data.size()) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, Remaining(deadline)) <= 0)
                throw std::runtime_error("websocket send timed out");
            const ssize_t n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                throw std::runtime_error("websocket send failed");
            if (n > 0) off += static_cast<size_t>(n);
        }
    }

    void Fill(Clock::time_point deadline) {
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, Remaining(deadline));
        if (r == 0) throw std::runtime_error("no answer from the browser in time");
        if (r < 0 && errno == EINTR) return;
        char tmp[65536];
        const ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n == 0) throw std::runtime_error("the browser closed the connection");
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error("websocket read failed");
        if (n > 0) buf_.append(tmp, static_cast<size_t>(n));
    }

    uint8_t Byte(Clock::time_point deadline) {
        if (buf_.empty()) Fill(deadline);
        while (buf_.empty()) Fill(deadline);
        const uint8_t b = static_cast<uint8_t>(buf_[0]);
        buf_.erase(0, 1);
        return b;
    }

    static int Remaining(Clock::time_point deadline) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::max<long long>(0, ms));
    }

    int fd_ = -1;
    std::string buf_;
    std::minstd_rand rng_{std::random_device{}()};
};

// A DevTools session on one target: commands answered by id, events
// skipped.
class Cdp {
  public:
    Cdp(const std::string& ws_url, Clock::time_point deadline) : ws_(ws_url, deadline) {}

    Json::Value Call(const std::string& method, const Json::Value& params,
                     Clock::time_point deadline) {
        Json::Value msg(Json::objectValue);
        msg["id"] = ++last_id_;
        msg["method"] = method;
        msg["params"] = params.isNull() ? Json::Value(Json::objectValue) : params;
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        ws_.SendText(Json::writeString(w, msg), deadline);
        for (;;) {
            const Json::Value answer = Parse(ws_.ReceiveText(deadline));
            if (!answer.isMember("id") || answer["id"].asInt() != last_id_) continue;
            if (answer.isMember("error"))
                throw std::runtime_error(method + ": " + Json::writeString(w, answer["error"]));
            return answer["result"];
        }
    }

    // The value of a JavaScript expression in the page (promises awaited);
    // throws when it throws.
    Json::Value Evaluate(const std::string& expression, Clock::time_point deadline) {
        Json::Value p(Json::objectValue);
        p["expression"] = expression;
        p["returnByValue"] = true;
        p["awaitPromise"] = true;
        const Json::Value r = Call("Runtime.evaluate", p, deadline);
        if (r.isMember("exceptionDetails")) {
            Json::StreamWriterBuilder w;
            throw std::runtime_error("evaluate: " + Json::writeString(w, r["exceptionDetails"]));
        }
        return r["result"]["value"];
    }

  private:
    static Json::Value Parse(const std::string& text) {
        Json::CharReaderBuilder b;
        Json::Value v;
        std::string errs;
        std::istringstream in(text);
        if (!Json::parseFromStream(b, in, &v, &errs))
            throw std::runtime_error("CDP message is not JSON: " + text.substr(0, 200));
        return v;
    }

    WebSocket ws_;
    int last_id_ = 0;
};

}  // namespace e2e
