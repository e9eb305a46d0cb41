#include "platform/Network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Polls fd for `events` for at most timeoutMs, resuming after signals with the time
// that is left. poll's result: >0 ready, 0 time-out, -1 error (errno set).
int PollFor(int fd, short events, uint32_t timeoutMs, short* revents) {
  const uint64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    pollfd p{fd, events, 0};
    const uint64_t now = NowMs();
    const uint64_t left = now >= deadline ? 0 : deadline - now;
    const int r = poll(&p, 1, static_cast<int>(left > 0x7FFFFFFFu ? 0x7FFFFFFFu : left));
    if (r < 0 && errno == EINTR) continue;
    *revents = p.revents;
    return r;
  }
}

class PosixTcpSocket final : public TcpSocket {
 public:
  ~PosixTcpSocket() override { Close(); }

  int Create() override {
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return lastError_ = errno;
    return lastError_ = 0;
  }

  int Connect(uint32_t ip, uint16_t port, uint32_t timeoutMs) override {
    if (fd_ < 0) return lastError_ = EBADF;
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) return lastError_ = errno;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(ip);
    int err = 0;
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      err = errno;
      if (err == EINPROGRESS || err == EINTR) {
        short revents = 0;
        const int r = PollFor(fd_, POLLOUT, timeoutMs, &revents);
        if (r < 0) {
          err = errno;
        } else if (r == 0) {
          err = kConnectTimedOut;
          // Abandon the pending attempt so the socket can try again.
          sockaddr unspec{};
          unspec.sa_family = AF_UNSPEC;
          connect(fd_, &unspec, sizeof unspec);
        } else {
          socklen_t len = sizeof err;
          if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        }
      }
    }
    fcntl(fd_, F_SETFL, flags);
    return lastError_ = err;
  }

  long Send(const uint8_t* buf, size_t len) override {
    if (fd_ < 0) return Fail(EBADF);
    for (;;) {
      const ssize_t n = send(fd_, buf, len, MSG_NOSIGNAL);
      if (n >= 0) return static_cast<long>(n);
      if (errno != EINTR) return Fail(errno);
    }
  }

  int WaitReadable(uint32_t timeoutMs) override {
    if (fd_ < 0) return Fail(EBADF);
    short revents = 0;
    const int r = PollFor(fd_, POLLIN, timeoutMs, &revents);
    if (r < 0) return Fail(errno);
    if (r == 0) return 0;
    if (revents & POLLNVAL) return Fail(EBADF);
    // Like select: an end of stream or a pending error reads as readable, and the
    // receive that follows reports it.
    return 1;
  }

  long Recv(uint8_t* buf, size_t max) override {
    if (fd_ < 0) return Fail(EBADF);
    for (;;) {
      const ssize_t n = recv(fd_, buf, max, 0);
      if (n >= 0) return static_cast<long>(n);
      if (errno != EINTR) return Fail(errno);
    }
  }

  void Close() override {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
  }

  bool IsOpen() const override { return fd_ >= 0; }
  int LastError() const override { return lastError_; }

 private:
  int Fail(int e) {
    lastError_ = e;
    return -1;
  }

  int fd_ = -1;
  int lastError_ = 0;
};

class PosixNetworkImpl final : public Network {
 public:
  std::unique_ptr<TcpSocket> NewSocket() override { return std::make_unique<PosixTcpSocket>(); }

  int AddressTable(std::vector<uint32_t>* out) override {
    out->clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return errno;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
      if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
      out->push_back(ntohl(in->sin_addr.s_addr));
    }
    freeifaddrs(list);
    return 0;
  }
};

}  // namespace

Network& PosixNetwork() {
  static PosixNetworkImpl net;
  return net;
}
