#include "sim/model/EchoServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace {
using SteadyClock = std::chrono::steady_clock;

struct Client {
  int fd;
  bool blocked = false;  // the last send found the socket full
  std::vector<std::pair<SteadyClock::time_point, std::string>> out;  // due, bytes
};

constexpr size_t kMaxClients = 64;
constexpr size_t kMaxQueued = 64 * 1024;

void CloseFd(int* fd) {
  if (*fd >= 0) {
    ::close(*fd);
    *fd = -1;
  }
}
}  // namespace

std::string Ipv4Text(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xff) + "." +
         std::to_string((ip >> 8) & 0xff) + "." + std::to_string(ip & 0xff);
}

bool ParseIpv4Text(const std::string& text, uint32_t* out) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

int EchoServer::Start(uint32_t ip, uint16_t port, const SimFaults& faults, std::string* error) {
  Stop();
  faults_ = faults;
  auto fail = [&](const char* step) {
    const int err = errno;
    if (error)
      *error = std::string(step) + " " + Ipv4Text(ip) + ":" + std::to_string(port) + ": " +
               std::strerror(err);
    CloseFd(&listenFd_);
    CloseFd(&wakeFds_[0]);
    CloseFd(&wakeFds_[1]);
    return err;
  };
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) return fail("socket");
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(ip);
  sa.sin_port = htons(port);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return fail("bind");
  socklen_t len = sizeof sa;
  if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return fail("getsockname");
  port_ = ntohs(sa.sin_port);
  // Bound but not listening: the port stays ours and every connection is refused.
  if (faults_.refuse) return 0;
  if (::listen(listenFd_, 16) != 0) return fail("listen");
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe");
  thread_ = std::thread([this] { Loop(); });
  return 0;
}

void EchoServer::Stop() {
  if (thread_.joinable()) {
    const char b = 1;
    ssize_t n;
    do {
      n = ::write(wakeFds_[1], &b, 1);
    } while (n < 0 && errno == EINTR);
    thread_.join();
  }
  CloseFd(&listenFd_);
  CloseFd(&wakeFds_[0]);
  CloseFd(&wakeFds_[1]);
}

void EchoServer::Loop() {
  std::vector<Client> clients;
  for (;;) {
    const auto now = SteadyClock::now();
    int timeoutMs = -1;
    for (auto& c : clients) {
      for (auto& o : c.out) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(o.first - now).count();
        int t = ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, 60000) + 1);
        if (c.blocked && t < 10) t = 10;
        if (timeoutMs < 0 || t < timeoutMs) timeoutMs = t;
      }
    }
    std::vector<pollfd> fds;
    fds.push_back({wakeFds_[0], POLLIN, 0});
    fds.push_back({listenFd_, static_cast<short>(clients.size() < kMaxClients ? POLLIN : 0), 0});
    for (auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    const int rc = ::poll(fds.data(), fds.size(), timeoutMs);
    if (rc < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        clients.push_back(Client{fd, false, {}});
        connections_.fetch_add(1);
      }
    }
    const auto t = SteadyClock::now();
    // fds[2 + i] belongs to clients[i] as they were before this pass's accept.
    for (size_t i = 0; i + 2 < fds.size(); ++i) {
      Client& c = clients[i];
      if (c.fd < 0 || !(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[512];
      const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        CloseFd(&c.fd);
        continue;
      }
      if (n < 0 || faults_.echoNone || deaf_.load()) continue;
      std::string data(buf, static_cast<size_t>(n));
      if (faults_.echoWrong) data.back() = static_cast<char>(data.back() ^ 0x01);
      if (faults_.echoCrLf) data += "\r\n";
      const auto due = t + std::chrono::milliseconds(faults_.echoLateMs);
      size_t queued = 0;
      for (auto& o : c.out) queued += o.second.size();
      if (queued + data.size() > kMaxQueued) continue;
      if (faults_.echoSplit && data.size() > 1) {
        const size_t half = data.size() / 2;
        c.out.emplace_back(due, data.substr(0, half));
        c.out.emplace_back(due + std::chrono::milliseconds(1000), data.substr(half));
      } else {
        c.out.emplace_back(due, data);
      }
    }
    const auto sendTime = SteadyClock::now();
    const bool deaf = deaf_.load();
    for (auto& c : clients) {
      if (c.fd < 0) continue;
      if (deaf) c.out.clear();
      while (!c.out.empty() && c.out.front().first <= sendTime) {
        const std::string& s = c.out.front().second;
        const ssize_t n = ::send(c.fd, s.data(), s.size(), MSG_NOSIGNAL);
        c.blocked = n < 0 && errno == EAGAIN;
        if (c.blocked) break;
        if (n < 0) {
          CloseFd(&c.fd);
          break;
        }
        echoed_.fetch_add(n);
        if (static_cast<size_t>(n) < s.size()) {
          c.out.front().second.erase(0, static_cast<size_t>(n));
          break;
        }
        c.out.erase(c.out.begin());
      }
    }
    std::vector<Client> alive;
    for (auto& c : clients) {
      if (c.fd >= 0) alive.push_back(std::move(c));
    }
    clients.swap(alive);
  }
  for (auto& c : clients) CloseFd(&c.fd);
}
