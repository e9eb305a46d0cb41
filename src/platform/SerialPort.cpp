#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace {

int SpeedOf(uint32_t baud, speed_t* out) {
  switch (baud) {
    case 115200:
      *out = B115200;
      return 0;
    case 57600:
      *out = B57600;
      return 0;
    case 38400:
      *out = B38400;
      return 0;
    default:
      return EINVAL;
  }
}

// A termios serial port. Owned and used by one thread.
class PosixSerialPort final : public SerialPort {
 public:
  ~PosixSerialPort() override { Close(); }

  int Open(const std::string& devicePath) override {
    if (fd_ >= 0) return EBUSY;
    if (devicePath.empty()) return ENOENT;
    const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    // Only terminals are serial ports: a stray regular file in the port map must not
    // count as a device.
    if (!isatty(fd)) return Fail(fd, ENOTTY);
    // TIOCEXCL refuses further opens of the terminal to everybody but root; the lock
    // refuses a second user of the port to root as well.
    if (ioctl(fd, TIOCEXCL) != 0) return Fail(fd, errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      // The holder's exclusive mode stays: it is the holder's, not ours.
      close(fd);
      return e;
    }
    fd_ = fd;
    haveSettings_ = false;
    return 0;
  }

  int SetQueueSizes(uint32_t, uint32_t) override {
    termios t{};
    return Attr(&t);
  }

  int SetImmediateReadTimeouts() override {
    termios t{};
    if (const int e = Attr(&t)) return e;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return errno;
    return 0;
  }

  int GetLineSettings() override {
    if (const int e = Attr(&settings_)) return e;
    haveSettings_ = true;
    return 0;
  }

  int SetLineSettings(uint32_t baud) override {
    if (fd_ < 0) return EBADF;
    speed_t speed{};
    if (const int e = SpeedOf(baud, &speed)) return e;
    if (!haveSettings_) {
      if (const int e = GetLineSettings()) return e;
    }
    termios t = settings_;
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return errno;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return errno;
    settings_ = t;
    int rts = TIOCM_RTS;
    if (ioctl(fd_, TIOCMBIS, &rts) != 0) {
      const int e = errno;
      // A pseudo-terminal has no modem lines.
      if (e != ENOTTY && e != EINVAL) return e;
    }
    return 0;
  }

  int Purge() override {
    if (fd_ < 0) return EBADF;
    if (tcflush(fd_, TCIOFLUSH) != 0) return errno;
    return 0;
  }

  int QueuedBytes(uint32_t* count) override {
    *count = 0;
    if (fd_ < 0) return EBADF;
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0) return errno;
    *count = n > 0 ? static_cast<uint32_t>(n) : 0u;
    return 0;
  }

  int Read(uint8_t* buf, size_t max, size_t* got) override {
    *got = 0;
    if (fd_ < 0) return EBADF;
    if (max == 0) return 0;
    for (;;) {
      const ssize_t n = read(fd_, buf, max);
      if (n > 0) {
        *got = static_cast<size_t>(n);
        return 0;
      }
      if (n == 0) return HungUp() ? EIO : 0;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return errno;
    }
  }

  int Write(const uint8_t* buf, size_t len, size_t* written) override {
    *written = 0;
    if (fd_ < 0) return EBADF;
    if (len == 0) return 0;
    for (;;) {
      const ssize_t n = write(fd_, buf, len);
      if (n >= 0) {
        *written = static_cast<size_t>(n);
        return 0;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return errno;
    }
  }

  void Close() override {
    if (fd_ < 0) return;
    // The exclusive mode belongs to the terminal, not to the descriptor: a
    // pseudo-terminal keeps it after the close while its master stays open, and the
    // next worker of the port would be refused.
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
    haveSettings_ = false;
  }

  bool IsOpen() const override { return fd_ >= 0; }

 private:
  static int Fail(int fd, int e) {
    close(fd);
    return e;
  }

  // A terminal whose device went away (an unplugged adapter, a closed pty master) is
  // hung up: its reads return nothing forever instead of failing. poll tells.
  bool HungUp() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
  }

  int Attr(termios* t) const {
    if (fd_ < 0) return EBADF;
    if (tcgetattr(fd_, t) != 0) return errno;
    return 0;
  }

  int fd_ = -1;
  termios settings_{};
  bool haveSettings_ = false;
};

class PosixSerialPortFactory final : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> Create() override { return std::make_unique<PosixSerialPort>(); }
};

}  // namespace

SerialPortFactory& PosixSerialPorts() {
  static PosixSerialPortFactory factory;
  return factory;
}
