#include "platform/Network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>

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

// ---- the kernel's routing and neighbour tables (rtnetlink) ----

// A request message with room for a few attributes.
struct NetlinkRequest {
  explicit NetlinkRequest(uint16_t type, uint16_t flags, const void* body, size_t bodyLen) {
    std::memset(buf, 0, sizeof buf);
    hdr()->nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(bodyLen));
    hdr()->nlmsg_type = type;
    hdr()->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
    static std::atomic<uint32_t> seq{1};
    hdr()->nlmsg_seq = seq.fetch_add(1);
    std::memcpy(NLMSG_DATA(hdr()), body, bodyLen);
  }
  nlmsghdr* hdr() { return reinterpret_cast<nlmsghdr*>(buf); }
  void Add(uint16_t type, const void* data, size_t len) {
    const size_t at = NLMSG_ALIGN(hdr()->nlmsg_len);
    auto* rta = reinterpret_cast<rtattr*>(buf + at);
    rta->rta_type = type;
    rta->rta_len = static_cast<uint16_t>(RTA_LENGTH(len));
    std::memcpy(RTA_DATA(rta), data, len);
    hdr()->nlmsg_len = static_cast<uint32_t>(at + RTA_ALIGN(rta->rta_len));
  }
  alignas(nlmsghdr) char buf[256];
};

// NLMSG_OK without its comparison of the header's unsigned length with the signed
// count: the count is known to hold a header before the length is compared.
bool MessageFits(const nlmsghdr* h, int left) {
  return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
         h->nlmsg_len <= static_cast<uint32_t>(left);
}

// Sends req and hands every answer message to onMessage until the answer is complete
// (a dump's end, a single answer, or an acknowledgement). 0 or errno. Bounded: each
// read waits at most 2 s.
int NetlinkExchange(NetlinkRequest& req, const std::function<void(const nlmsghdr*)>& onMessage) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return errno;
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  int err = 0;
  if (sendto(fd, req.buf, req.hdr()->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    err = errno;
    close(fd);
    return err;
  }
  const uint32_t seq = req.hdr()->nlmsg_seq;
  alignas(nlmsghdr) static thread_local char buf[32768];
  bool done = false;
  for (int reads = 0; !done && reads < 10000; ++reads) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    int left = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); MessageFits(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_seq != seq) continue;
      if (h->nlmsg_type == NLMSG_DONE) {
        done = true;
        break;
      }
      if (h->nlmsg_type == NLMSG_ERROR) {
        const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
        err = -e->error;
        done = true;
        break;
      }
      onMessage(h);
      if ((h->nlmsg_flags & NLM_F_MULTI) == 0) {
        done = true;
        break;
      }
    }
  }
  if (!done && err == 0) err = EIO;
  close(fd);
  return err;
}

// The interface (index) the kernel sends ip through, limited to oif when it is not 0;
// *local is set when ip is one of this workstation's own addresses.
int RouteLookup(uint32_t ip, int oif, int* ifindex, bool* local) {
  rtmsg rt{};
  rt.rtm_family = AF_INET;
  rt.rtm_dst_len = 32;
  NetlinkRequest req(RTM_GETROUTE, 0, &rt, sizeof rt);
  const uint32_t dst = htonl(ip);
  req.Add(RTA_DST, &dst, sizeof dst);
  if (oif != 0) req.Add(RTA_OIF, &oif, sizeof oif);
  *ifindex = 0;
  *local = false;
  const int err = NetlinkExchange(req, [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWROUTE) return;
    const auto* r = static_cast<const rtmsg*>(NLMSG_DATA(h));
    *local = r->rtm_type == RTN_LOCAL;
    int len = static_cast<int>(RTM_PAYLOAD(h));
    for (auto* a = RTM_RTA(r); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
      if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
        std::memcpy(ifindex, RTA_DATA(a), sizeof(int));
      }
    }
  });
  if (err != 0) return err;
  return *ifindex != 0 ? 0 : ENETUNREACH;
}

bool IsLoopbackInterface(int ifindex) {
  char name[IF_NAMESIZE] = {};
  if (!if_indextoname(static_cast<unsigned>(ifindex), name)) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, name, sizeof ifr.ifr_name);
  const bool loopback = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_LOOPBACK) != 0;
  close(fd);
  return loopback;
}

// The link-layer address of ip in the neighbour table of interface ifindex: 0, or
// ENOENT when the table holds no entry with a usable address.
int NeighbourAddress(int ifindex, uint32_t ip, std::string* mac) {
  ndmsg nd{};
  nd.ndm_family = AF_INET;
  nd.ndm_ifindex = ifindex;
  NetlinkRequest req(RTM_GETNEIGH, NLM_F_DUMP, &nd, sizeof nd);
  bool found = false;
  const int err = NetlinkExchange(req, [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWNEIGH || found) return;
    const auto* n = static_cast<const ndmsg*>(NLMSG_DATA(h));
    if (n->ndm_ifindex != ifindex || n->ndm_family != AF_INET) return;
    if (n->ndm_state & (NUD_INCOMPLETE | NUD_FAILED | NUD_NOARP) || n->ndm_state == NUD_NONE)
      return;
    int len = static_cast<int>(NLMSG_PAYLOAD(h, sizeof(ndmsg)));
    bool sameIp = false;
    const uint8_t* lladdr = nullptr;
    for (auto* a = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(n) +
                                                   NLMSG_ALIGN(sizeof(ndmsg)));
         RTA_OK(a, len); a = RTA_NEXT(a, len)) {
      if (a->rta_type == NDA_DST && RTA_PAYLOAD(a) == 4) {
        uint32_t v = 0;
        std::memcpy(&v, RTA_DATA(a), 4);
        sameIp = ntohl(v) == ip;
      } else if (a->rta_type == NDA_LLADDR && RTA_PAYLOAD(a) == 6) {
        lladdr = static_cast<const uint8_t*>(RTA_DATA(a));
      }
    }
    if (sameIp && lladdr) {
      *mac = MacText(lladdr);
      found = true;
    }
  });
  if (err != 0) return err;
  return found ? 0 : ENOENT;
}

int InterfaceIndex(const std::string& name, int* ifindex) {
  if (name.empty() || name.size() >= IF_NAMESIZE) return ENODEV;
  const unsigned i = if_nametoindex(name.c_str());
  if (i == 0) return errno == 0 ? ENODEV : errno;
  *ifindex = static_cast<int>(i);
  return 0;
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
    peerIp_ = ip;
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

  int WaitWritable(uint32_t timeoutMs) override {
    if (fd_ < 0) return Fail(EBADF);
    short revents = 0;
    const int r = PollFor(fd_, POLLOUT, timeoutMs, &revents);
    if (r < 0) return Fail(errno);
    if (r == 0) return 0;
    if (revents & POLLNVAL) return Fail(EBADF);
    return 1;  // an error or hang-up is reported by the send that follows
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

  // SO_BINDTODEVICE: needs CAP_NET_RAW (EPERM without it) on kernels before 5.7 and
  // on any kernel for a socket already bound to another interface.
  int BindToInterface(const std::string& name) override {
    if (fd_ < 0) return lastError_ = EBADF;
    int ifindex = 0;
    if (const int e = InterfaceIndex(name, &ifindex)) return lastError_ = e;
    if (setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                   static_cast<socklen_t>(name.size() + 1)) != 0) {
      return lastError_ = errno;
    }
    boundIndex_ = ifindex;
    return lastError_ = 0;
  }

  int PeerLinkAddress(std::string* mac) override {
    if (fd_ < 0) return EBADF;
    int ifindex = 0;
    bool local = false;
    if (const int e = RouteLookup(peerIp_, boundIndex_, &ifindex, &local)) return e;
    if (local || IsLoopbackInterface(ifindex)) return kNoLinkLayer;
    return NeighbourAddress(ifindex, peerIp_, mac);
  }

 private:
  int Fail(int e) {
    lastError_ = e;
    return -1;
  }

  int fd_ = -1;
  int lastError_ = 0;
  uint32_t peerIp_ = 0;
  int boundIndex_ = 0;
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

  int InterfaceAddresses(const std::string& name, std::vector<uint32_t>* out) override {
    out->clear();
    int ifindex = 0;
    if (const int e = InterfaceIndex(name, &ifindex)) return e;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return errno;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
      if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || name != a->ifa_name) continue;
      out->push_back(ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr));
    }
    freeifaddrs(list);
    return 0;
  }

  int PinNeighbour(const std::string& name, uint32_t ip, const std::string& mac) override {
    int ifindex = 0;
    if (const int e = InterfaceIndex(name, &ifindex)) return e;
    uint8_t lladdr[6];
    if (!mac.empty() && !ParseMacText(mac, lladdr)) return EINVAL;
    ndmsg nd{};
    nd.ndm_family = AF_INET;
    nd.ndm_ifindex = ifindex;
    nd.ndm_state = NUD_PERMANENT;
    NetlinkRequest req(mac.empty() ? RTM_DELNEIGH : RTM_NEWNEIGH,
                       mac.empty() ? NLM_F_ACK : NLM_F_ACK | NLM_F_CREATE | NLM_F_REPLACE, &nd,
                       sizeof nd);
    const uint32_t dst = htonl(ip);
    req.Add(NDA_DST, &dst, sizeof dst);
    if (!mac.empty()) req.Add(NDA_LLADDR, lladdr, sizeof lladdr);
    const int e = NetlinkExchange(req, [](const nlmsghdr*) {});
    return mac.empty() && e == ENOENT ? 0 : e;
  }

  int RouteInterface(uint32_t ip, std::string* name, bool* noLinkLayer) override {
    int ifindex = 0;
    bool local = false;
    if (const int e = RouteLookup(ip, 0, &ifindex, &local)) return e;
    *noLinkLayer = local || IsLoopbackInterface(ifindex);
    char text[IF_NAMESIZE] = {};
    if (!if_indextoname(static_cast<unsigned>(ifindex), text)) return errno;
    *name = text;
    return 0;
  }
};

}  // namespace

Network& PosixNetwork() {
  static PosixNetworkImpl net;
  return net;
}
