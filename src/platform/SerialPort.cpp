#include "platform/SerialPort.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// ---- lock files of the UUCP convention ----
//
// Programs that share serial ports (terminal programs such as minicom or cu, and
// applications built on Qt Serial Port) mark a port they use with a lock file
// LCK..<device name> in /var/lock or /run/lock, holding the holder's pid as ten ASCII
// digits and a line end. Many of them neither set exclusive mode nor flock the
// device, so the lock file is all there is to see.
constexpr const char* kLockDirs[] = {"/var/lock", "/run/lock"};

// The lock name of a device: its path below /dev with '/' written '_' ("ttyUSB0",
// "pts_3"); any other path, its file name.
std::string LockName(const std::string& device) {
  std::string name =
      device.rfind("/dev/", 0) == 0 ? device.substr(5) : device.substr(device.rfind('/') + 1);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

// The pid a lock file names: -1 when there is no such file, 0 when it names none
// (empty or garbage: a holder that died while writing it), else the pid. Old programs
// write the pid as a 4-byte binary number.
pid_t LockOwner(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? -1 : 0;
  char buf[32];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return 0;
  buf[n] = '\0';
  const char* p = buf;
  while (*p == ' ') ++p;
  if (*p >= '0' && *p <= '9') {
    long pid = 0;
    while (*p >= '0' && *p <= '9' && pid <= INT_MAX / 10) pid = pid * 10 + (*p++ - '0');
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
  }
  if (n == static_cast<ssize_t>(sizeof(int32_t))) {
    int32_t pid = 0;
    std::memcpy(&pid, buf, sizeof pid);
    return pid > 0 ? pid : 0;
  }
  return 0;
}

bool ProcessAlive(pid_t pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// EBUSY when a live process holds the lock of the device `name`; a stale file (its
// holder is dead) does not count.
int CheckLockFiles(const std::string& name) {
  for (const char* dir : kLockDirs) {
    if (ProcessAlive(LockOwner(std::string(dir) + "/LCK.." + name))) return EBUSY;
  }
  return 0;
}

// The lock file this process holds for one device, while it holds the device.
class LockFile {
 public:
  LockFile() = default;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile() { Release(); }

  // Creates the lock file of `name` in the first lock directory that takes it: 0, or
  // EBUSY when a live process got there first. A stale file is replaced. Without a
  // lock directory this process may write to, the port is held by its other means
  // alone (0).
  int Acquire(const std::string& name) {
    Release();
    static std::atomic<unsigned> sequence{0};
    char content[16];
    const int len = std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(::getpid()));
    for (const char* dir : kLockDirs) {
      const std::string path = std::string(dir) + "/LCK.." + name;
      // Written whole under a name of its own, then linked into place: nobody ever
      // reads a half-written lock file.
      const std::string tmp = std::string(dir) + "/LTMP." + std::to_string(::getpid()) + "." +
                              std::to_string(sequence.fetch_add(1));
      const int fd =
          ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0) continue;
      const bool written = ::write(fd, content, static_cast<size_t>(len)) == len;
      ::close(fd);
      int result = written ? Link(tmp, path) : ENOSPC;
      ::unlink(tmp.c_str());
      if (result == 0) {
        path_ = path;
        return 0;
      }
      if (result == EBUSY) return EBUSY;
    }
    return 0;
  }

  // Removes the lock file, if it is still this process's.
  void Release() {
    if (path_.empty()) return;
    if (LockOwner(path_) == ::getpid()) ::unlink(path_.c_str());
    path_.clear();
  }

 private:
  // 0 linked; EBUSY held by a live process; another errno when this directory is no use.
  static int Link(const std::string& tmp, const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (::link(tmp.c_str(), path.c_str()) == 0) return 0;
      if (errno != EEXIST) return errno;
      if (ProcessAlive(LockOwner(path))) return EBUSY;
      ::unlink(path.c_str());  // stale: its holder is gone
    }
    return EBUSY;
  }

  std::string path_;
};

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
    // The device's own name (a port map link resolved) names its lock file. A port
    // another program marked as its own is not touched at all: even opening it would
    // change its modem lines.
    char real[PATH_MAX];
    if (realpath(devicePath.c_str(), real) == nullptr) return errno;
    const std::string lockName = LockName(real);
    if (const int e = CheckLockFiles(lockName)) return e;
    const int fd = open(real, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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
    // Marked for the programs that look only at lock files, for as long as it is held.
    if (lock_.Acquire(lockName) != 0) {
      ioctl(fd, TIOCNXCL);
      flock(fd, LOCK_UN);
      close(fd);
      return EBUSY;
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
    // No software flow control (a 0x13 byte from the device would pause our output)
    // and no parity checking.
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
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
    lock_.Release();
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
  LockFile lock_;
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
