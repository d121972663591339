// The byte pipes a controller's port can be: a serial port, a TCP
// connection to a serial server, or either end of a pseudo-terminal. All
// of them are non-blocking file descriptors for the event loop.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace rt {

class Transport {
  public:
    virtual ~Transport();

    // Opens the pipe. False, with the reason in `error`, when it cannot.
    virtual bool Open(std::string* error) = 0;
    // True while a connection is still being made; the event loop reports
    // the fd writable when it is done, and FinishOpen() tells how it went.
    virtual bool Connecting() const { return false; }
    virtual bool FinishOpen(std::string* /*error*/) { return true; }
    virtual void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    virtual std::string Name() const = 0;

    // Like read(2)/write(2) on a non-blocking fd: -1 with errno EAGAIN when
    // nothing can move now; Read() returning 0 means the far end is gone.
    ssize_t Read(uint8_t* buf, size_t n);
    ssize_t Write(const uint8_t* buf, size_t n);

  protected:
    int fd_ = -1;
};

// termios speed for a baud rate; false for a rate the port cannot be set to.
bool BaudToSpeed(int baud, unsigned* speed);

// Puts a terminal into raw 8N1 at `baud` (0 leaves the speed alone).
bool MakeRaw(int fd, int baud, std::string* error);

// A serial port (or the slave side of a pseudo-terminal): raw, 8N1, the
// given baud rate, opened exclusively so that a second host cannot talk
// over the first.
class SerialPort : public Transport {
  public:
    SerialPort(std::string path, int baud) : path_(std::move(path)), baud_(baud) {}
    ~SerialPort() override { Close(); }
    bool Open(std::string* error) override;
    void Close() override;
    std::string Name() const override { return path_; }

  private:
    std::string path_;
    int baud_;
};

// A TCP connection to a serial server that passes the line through.
class TcpClient : public Transport {
  public:
    TcpClient(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}
    bool Open(std::string* error) override;
    bool Connecting() const override { return connecting_; }
    bool FinishOpen(std::string* error) override;
    void Close() override;
    std::string Name() const override;

  private:
    std::string host_;
    uint16_t port_;
    bool connecting_ = false;
};

// The master side of a new pseudo-terminal; the slave path is what a host
// opens as its serial port. The slave is set raw and held open here, so
// that the master does not see a hang-up between two host sessions.
class PtyMaster : public Transport {
  public:
    bool Open(std::string* error) override;
    void Close() override;
    std::string Name() const override { return slave_path_; }
    const std::string& slave_path() const { return slave_path_; }

  private:
    std::string slave_path_;
    int slave_fd_ = -1;
};

// A listening TCP socket on loopback; port 0 picks a free one.
class TcpListener {
  public:
    ~TcpListener();
    bool Listen(uint16_t port, std::string* error);
    // Accepts one waiting connection as a non-blocking fd, or -1.
    int Accept();
    void Close();
    int fd() const { return fd_; }
    uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A transport over an fd someone else opened (an accepted socket).
class FdTransport : public Transport {
  public:
    FdTransport(int fd, std::string name) : name_(std::move(name)) { fd_ = fd; }
    ~FdTransport() override { Close(); }
    bool Open(std::string*) override { return fd_ >= 0; }
    std::string Name() const override { return name_; }

  private:
    std::string name_;
};

}  // namespace rt
