#include "runtime/wire/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace rt {

namespace {

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

Transport::~Transport() {
    if (fd_ >= 0) ::close(fd_);
}

void Transport::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

ssize_t Transport::Read(uint8_t* buf, size_t n) {
    ssize_t r;
    do r = ::read(fd_, buf, n);
    while (r < 0 && errno == EINTR);
    return r;
}

ssize_t Transport::Write(const uint8_t* buf, size_t n) {
    ssize_t r;
    do r = ::write(fd_, buf, n);
    while (r < 0 && errno == EINTR);
    return r;
}

bool BaudToSpeed(int baud, unsigned* speed) {
    switch (baud) {
        case 1200:
            *speed = B1200;
            return true;
        case 2400:
            *speed = B2400;
            return true;
        case 4800:
            *speed = B4800;
            return true;
        case 9600:
            *speed = B9600;
            return true;
        case 19200:
            *speed = B19200;
            return true;
        case 38400:
            *speed = B38400;
            return true;
        case 57600:
            *speed = B57600;
            return true;
        case 115200:
            *speed = B115200;
            return true;
        default:
            return false;
    }
}

bool MakeRaw(int fd, int baud, std::string* error) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        *error = Errno("tcgetattr");
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // VMIN 1: a non-blocking read with nothing to give fails with EAGAIN
    // instead of returning 0, which would look like a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (baud != 0) {
        unsigned speed = 0;
        if (!BaudToSpeed(baud, &speed)) {
            *error = "unsupported baud rate " + std::to_string(baud);
            return false;
        }
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = Errno("tcsetattr");
        return false;
    }
    return true;
}

bool SerialPort::Open(std::string* error) {
    Close();
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = Errno("open " + path_);
        return false;
    }
    // Exclusive: a second open of the line fails with EBUSY (root aside).
    if (::ioctl(fd, TIOCEXCL) != 0) {
        *error = Errno("TIOCEXCL " + path_);
        ::close(fd);
        return false;
    }
    if (!MakeRaw(fd, baud_, error)) {
        *error = path_ + ": " + *error;
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    return true;
}

void SerialPort::Close() {
    // The exclusive flag belongs to the terminal, not to this descriptor: a
    // pseudo-terminal whose slave stays open elsewhere would refuse the next
    // open of this host.
    if (fd_ >= 0) ::ioctl(fd_, TIOCNXCL);
    Transport::Close();
}

std::string TcpClient::Name() const {
    return host_ + ":" + std::to_string(port_);
}

bool TcpClient::Open(std::string* error) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const std::string port = std::to_string(port_);
    const int rc = ::getaddrinfo(host_.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        *error = Name() + ": " + ::gai_strerror(rc);
        return false;
    }
    std::string last = Name() + ": no address";
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                ai->ai_protocol);
        if (fd < 0) {
            last = Errno("socket");
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            fd_ = fd;
            connecting_ = false;
            break;
        }
        if (errno == EINPROGRESS) {
            fd_ = fd;
            connecting_ = true;
            break;
        }
        last = Errno("connect " + Name());
        ::close(fd);
    }
    ::freeaddrinfo(res);
    if (fd_ < 0) *error = last;
    return fd_ >= 0;
}

bool TcpClient::FinishOpen(std::string* error) {
    if (!connecting_) return fd_ >= 0;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    connecting_ = false;
    if (err != 0) {
        *error = "connect " + Name() + ": " + std::strerror(err);
        Close();
        return false;
    }
    return true;
}

void TcpClient::Close() {
    connecting_ = false;
    Transport::Close();
}

bool PtyMaster::Open(std::string* error) {
    Close();
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = Errno("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
        *error = Errno("pseudo-terminal setup");
        ::close(fd);
        return false;
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        *error = Errno(std::string("open ") + name);
        ::close(fd);
        return false;
    }
    // Raw on the slave, so that a CR is not turned into a newline on the
    // way to a host that does not set the terminal up itself.
    if (!MakeRaw(slave, 0, error) || !MakeRaw(fd, 0, error) || !SetNonBlocking(fd)) {
        ::close(slave);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    slave_fd_ = slave;
    slave_path_ = name;
    return true;
}

void PtyMaster::Close() {
    if (slave_fd_ >= 0) ::close(slave_fd_);
    slave_fd_ = -1;
    Transport::Close();
}

TcpListener::~TcpListener() {
    Close();
}

bool TcpListener::Listen(uint16_t port, std::string* error) {
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = Errno("socket");
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        *error = Errno("listen on 127.0.0.1:" + std::to_string(port));
        ::close(fd);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    fd_ = fd;
    return true;
}

int TcpListener::Accept() {
    if (fd_ < 0) return -1;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

void TcpListener::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace rt
