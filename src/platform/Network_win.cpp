// Windows Sockets 2.2 and the IP helper's address table. Errors are the Windows
// Sockets (WSAGetLastError) or system (GetLastError) numbers, for example 10061 for a
// refused connection and 10060 for a connect that ran out of time.
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h and iphlpapi.h
#include <iphlpapi.h>
#include <windows.h>

#include <netioapi.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/Network.h"

namespace {

uint64_t NowMs() {
  return GetTickCount64();
}

// An interface given by its alias ("Ethernet 2", UTF-8) or its index as decimal text.
DWORD InterfaceIndexOf(const std::string& name, NET_IFINDEX* index) {
  if (name.empty()) return ERROR_NOT_FOUND;
  bool digits = true;
  for (char c : name) digits = digits && c >= '0' && c <= '9';
  if (digits && name.size() < 10) {
    *index = static_cast<NET_IFINDEX>(std::stoul(name));
    return NO_ERROR;
  }
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, nullptr, 0);
  if (n <= 0 || n > 512) return ERROR_INVALID_PARAMETER;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, wide.data(), n);
  NET_LUID luid{};
  DWORD r = ConvertInterfaceAliasToLuid(wide.c_str(), &luid);
  if (r != NO_ERROR) return r;
  return ConvertInterfaceLuidToIndex(&luid, index);
}

SOCKADDR_INET Ipv4Sockaddr(uint32_t ip) {
  SOCKADDR_INET a{};
  a.Ipv4.sin_family = AF_INET;
  a.Ipv4.sin_addr.s_addr = htonl(ip);
  return a;
}

// The interface Windows sends ip through (limited to `bound` when not 0), and whether
// it is the loopback interface.
DWORD RouteOf(uint32_t ip, NET_IFINDEX bound, NET_IFINDEX* index, bool* loopback) {
  const SOCKADDR_INET dest = Ipv4Sockaddr(ip);
  MIB_IPFORWARD_ROW2 route{};
  SOCKADDR_INET source{};
  const DWORD r = GetBestRoute2(nullptr, bound, nullptr, &dest, 0, &route, &source);
  if (r != NO_ERROR) return r;
  *index = route.InterfaceIndex;
  MIB_IF_ROW2 row{};
  row.InterfaceIndex = route.InterfaceIndex;
  *loopback = GetIfEntry2(&row) == NO_ERROR && row.Type == IF_TYPE_SOFTWARE_LOOPBACK;
  return NO_ERROR;
}

// The socket library, started once for the program (version 2.2) and cleaned up at
// its end. 0, or the error of the start.
class Winsock {
 public:
  Winsock() { error_ = WSAStartup(MAKEWORD(2, 2), &data_); }
  ~Winsock() {
    if (error_ == 0) WSACleanup();
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
  int Error() const { return error_; }

 private:
  WSADATA data_{};
  int error_ = 0;
};

int StartSockets() {
  static Winsock winsock;
  return winsock.Error();
}

// Waits with select for at most timeoutMs until s is readable (or, with forWrite,
// writable); an exceptional condition counts as ready. >0 ready, 0 time-out,
// SOCKET_ERROR on failure.
int SelectFor(SOCKET s, bool forWrite, uint32_t timeoutMs, bool* exceptional) {
  const uint64_t deadline = NowMs() + timeoutMs;
  *exceptional = false;
  for (;;) {
    fd_set ready;
    fd_set except;
    FD_ZERO(&ready);
    FD_ZERO(&except);
    FD_SET(s, &ready);
    FD_SET(s, &except);
    const uint64_t now = NowMs();
    const uint64_t left = now >= deadline ? 0 : deadline - now;
    // Long waits in slices, so the time-out is measured against the clock.
    const uint64_t slice = left > 60000 ? 60000 : left;
    timeval tv{static_cast<long>(slice / 1000), static_cast<long>((slice % 1000) * 1000)};
    const int r = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &except, &tv);
    if (r == SOCKET_ERROR) return r;
    if (r > 0) {
      *exceptional = FD_ISSET(s, &except) != 0;
      return r;
    }
    if (slice == left) return 0;
  }
}

class Win32TcpSocket final : public TcpSocket {
 public:
  ~Win32TcpSocket() override { Close(); }

  int Create() override {
    Close();
    if (const int e = StartSockets()) return lastError_ = e;
    return lastError_ = NewHandle();
  }

  int Connect(uint32_t ip, uint16_t port, uint32_t timeoutMs) override {
    if (s_ == INVALID_SOCKET) return lastError_ = WSAENOTSOCK;
    u_long nonBlocking = 1;
    if (ioctlsocket(s_, FIONBIO, &nonBlocking) != 0) return lastError_ = WSAGetLastError();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(ip);
    peerIp_ = ip;
    int err = 0;
    bool abandon = false;
    if (connect(s_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      err = WSAGetLastError();
      if (err == WSAEWOULDBLOCK) {
        bool failed = false;
        const int r = SelectFor(s_, true, timeoutMs, &failed);
        if (r == SOCKET_ERROR) {
          err = WSAGetLastError();
        } else if (r == 0) {
          err = kConnectTimedOut;
          abandon = true;
        } else {
          // Writable: connected; in the exception set: failed, SO_ERROR tells why.
          int soError = 0;
          int len = sizeof soError;
          if (getsockopt(s_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0) {
            err = WSAGetLastError();
          } else {
            err = soError;
          }
          if (failed && err == 0) err = WSAECONNREFUSED;
        }
      }
    }
    if (abandon) {
      // A socket whose connect is still pending cannot connect again: a fresh socket
      // takes its place, so the next attempt starts clean.
      closesocket(s_);
      s_ = INVALID_SOCKET;
      if (const int e = NewHandle()) return lastError_ = e;
      return lastError_ = err;
    }
    u_long blocking = 0;
    ioctlsocket(s_, FIONBIO, &blocking);
    return lastError_ = err;
  }

  long Send(const uint8_t* buf, size_t len) override {
    if (s_ == INVALID_SOCKET) return Fail(WSAENOTSOCK);
    const int n = send(s_, reinterpret_cast<const char*>(buf), Clamp(len), 0);
    if (n == SOCKET_ERROR) return Fail(WSAGetLastError());
    lastError_ = 0;
    return n;
  }

  int WaitReadable(uint32_t timeoutMs) override {
    if (s_ == INVALID_SOCKET) return Fail(WSAENOTSOCK);
    bool exceptional = false;
    const int r = SelectFor(s_, false, timeoutMs, &exceptional);
    if (r == SOCKET_ERROR) return Fail(WSAGetLastError());
    // An end of stream or a pending error reads as readable; the receive that follows
    // reports it.
    return r > 0 ? 1 : 0;
  }

  long Recv(uint8_t* buf, size_t max) override {
    if (s_ == INVALID_SOCKET) return Fail(WSAENOTSOCK);
    const int n = recv(s_, reinterpret_cast<char*>(buf), Clamp(max), 0);
    if (n == SOCKET_ERROR) return Fail(WSAGetLastError());
    lastError_ = 0;
    return n;
  }

  void Close() override {
    if (s_ == INVALID_SOCKET) return;
    closesocket(s_);
    s_ = INVALID_SOCKET;
  }

  bool IsOpen() const override { return s_ != INVALID_SOCKET; }
  int LastError() const override { return lastError_; }

  // IP_UNICAST_IF (no administrator rights needed): the index in network byte order.
  int BindToInterface(const std::string& name) override {
    if (s_ == INVALID_SOCKET) return lastError_ = WSAENOTSOCK;
    NET_IFINDEX index = 0;
    if (const DWORD r = InterfaceIndexOf(name, &index)) return lastError_ = static_cast<int>(r);
    const DWORD value = htonl(index);
    if (setsockopt(s_, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&value),
                   sizeof value) != 0) {
      return lastError_ = WSAGetLastError();
    }
    boundIndex_ = index;
    return lastError_ = 0;
  }

  // The neighbour entry (GetIpNetEntry2, the single-row form of GetIpNetTable2) of the
  // interface the connection leaves through; the echo has just refreshed it.
  int PeerLinkAddress(std::string* mac) override {
    if (s_ == INVALID_SOCKET) return WSAENOTSOCK;
    // A connection to one of this machine's own addresses never leaves it: there is no
    // link layer to ask (also where the route look-up is not available, as under Wine).
    if ((peerIp_ >> 24) == 127) return kNoLinkLayer;
    sockaddr_in local{};
    int localLen = sizeof local;
    if (getsockname(s_, reinterpret_cast<sockaddr*>(&local), &localLen) == 0 &&
        ntohl(local.sin_addr.s_addr) == peerIp_) {
      return kNoLinkLayer;
    }
    std::vector<uint32_t> own;
    if (Win32Network().AddressTable(&own) == 0) {
      for (uint32_t a : own) {
        if (a == peerIp_) return kNoLinkLayer;
      }
    }
    NET_IFINDEX index = 0;
    bool loopback = false;
    if (const DWORD r = RouteOf(peerIp_, boundIndex_, &index, &loopback)) {
      return static_cast<int>(r);
    }
    if (loopback) return kNoLinkLayer;
    MIB_IPNET_ROW2 row{};
    row.InterfaceIndex = index;
    row.Address = Ipv4Sockaddr(peerIp_);
    const DWORD r = GetIpNetEntry2(&row);
    if (r != NO_ERROR) return static_cast<int>(r);
    if (row.PhysicalAddressLength != 6 || row.State == NlnsUnreachable ||
        row.State == NlnsIncomplete) {
      return static_cast<int>(ERROR_NOT_FOUND);
    }
    *mac = MacText(row.PhysicalAddress);
    return 0;
  }

 private:
  static int Clamp(size_t len) { return len > INT_MAX ? INT_MAX : static_cast<int>(len); }

  // An IPv4 stream socket that child processes do not inherit; 0 or the error.
  int NewHandle() {
    s_ = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s_ == INVALID_SOCKET) {
      // Systems before Windows 7 SP1 do not know the flag.
      s_ = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
      if (s_ == INVALID_SOCKET) return WSAGetLastError();
      SetHandleInformation(reinterpret_cast<HANDLE>(s_), HANDLE_FLAG_INHERIT, 0);
    }
    return 0;
  }

  long Fail(int e) {
    lastError_ = e;
    return -1;
  }

  SOCKET s_ = INVALID_SOCKET;
  int lastError_ = 0;
  uint32_t peerIp_ = 0;
  NET_IFINDEX boundIndex_ = 0;
};

class Win32NetworkImpl final : public Network {
 public:
  std::unique_ptr<TcpSocket> NewSocket() override { return std::make_unique<Win32TcpSocket>(); }

  // GetIpAddrTable, unsorted, in the order the system gives it. The first call asks
  // for the size; the table may grow between the calls, so a few rounds are allowed.
  int AddressTable(std::vector<uint32_t>* out) override {
    out->clear();
    ULONG size = 0;
    std::vector<unsigned char> buf;
    DWORD r = GetIpAddrTable(nullptr, &size, FALSE);
    for (int round = 0; round < 4 && r == ERROR_INSUFFICIENT_BUFFER; ++round) {
      if (size == 0 || size > (16u << 20)) return ERROR_NOT_ENOUGH_MEMORY;
      buf.assign(size, 0);
      r = GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(buf.data()), &size, FALSE);
    }
    if (r != NO_ERROR) return static_cast<int>(r);
    if (buf.size() < sizeof(DWORD)) return 0;  // the first call found an empty table
    const auto* table = reinterpret_cast<const MIB_IPADDRTABLE*>(buf.data());
    const size_t room = (buf.size() - offsetof(MIB_IPADDRTABLE, table)) / sizeof(MIB_IPADDRROW);
    const size_t n = table->dwNumEntries < room ? table->dwNumEntries : room;
    for (size_t i = 0; i < n; ++i) out->push_back(ntohl(table->table[i].dwAddr));
    return 0;
  }

  int InterfaceAddresses(const std::string& name, std::vector<uint32_t>* out) override {
    out->clear();
    NET_IFINDEX index = 0;
    if (InterfaceIndexOf(name, &index) != NO_ERROR) return ENODEV;
    MIB_UNICASTIPADDRESS_TABLE* table = nullptr;
    const DWORD r = GetUnicastIpAddressTable(AF_INET, &table);
    if (r != NO_ERROR) return static_cast<int>(r);
    for (ULONG i = 0; i < table->NumEntries; ++i) {
      if (table->Table[i].InterfaceIndex == index) {
        out->push_back(ntohl(table->Table[i].Address.Ipv4.sin_addr.s_addr));
      }
    }
    FreeMibTable(table);
    return 0;
  }

  // A permanent entry needs administrator rights (ERROR_ACCESS_DENIED without them).
  int PinNeighbour(const std::string& name, uint32_t ip, const std::string& mac) override {
    NET_IFINDEX index = 0;
    if (const DWORD r = InterfaceIndexOf(name, &index)) return static_cast<int>(r);
    MIB_IPNET_ROW2 row{};
    row.InterfaceIndex = index;
    row.Address = Ipv4Sockaddr(ip);
    if (mac.empty()) {
      const DWORD r = DeleteIpNetEntry2(&row);
      return r == ERROR_NOT_FOUND ? 0 : static_cast<int>(r);
    }
    if (!ParseMacText(mac, row.PhysicalAddress)) return ERROR_INVALID_PARAMETER;
    row.PhysicalAddressLength = 6;
    row.State = NlnsPermanent;
    DeleteIpNetEntry2(&row);
    return static_cast<int>(CreateIpNetEntry2(&row));
  }

  int RouteInterface(uint32_t ip, std::string* name, bool* noLinkLayer) override {
    NET_IFINDEX index = 0;
    if (const DWORD r = RouteOf(ip, 0, &index, noLinkLayer)) return static_cast<int>(r);
    *name = std::to_string(index);
    return 0;
  }
};

}  // namespace

Network& Win32Network() {
  static Win32NetworkImpl net;
  return net;
}
