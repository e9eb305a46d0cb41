#pragma once
// IPv4 TCP sockets and the workstation's address table. Results are 0 or the system's
// error number: errno, or the Windows Sockets error (WSAGetLastError) on Windows.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TcpSocket {
 public:
  virtual ~TcpSocket() = default;
  // Creates an IPv4 stream socket; 0 or errno.
  virtual int Create() = 0;
  // Connects to ip (host byte order, a.b.c.d = a<<24|...) and port, waiting at most
  // timeoutMs. 0, kConnectTimedOut when the wait ran out, or the error of the failure.
  virtual int Connect(uint32_t ip, uint16_t port, uint32_t timeoutMs) = 0;
  // One send; returns bytes sent or -1 (errno in LastError()).
  virtual long Send(const uint8_t* buf, size_t len) = 0;
  // Waits until readable: 1 readable, 0 time-out, -1 error.
  virtual int WaitReadable(uint32_t timeoutMs) = 0;
  // Waits until a send can queue bytes without waiting: 1 writable, 0 time-out, -1
  // error. Sockets that cannot tell report writable.
  virtual int WaitWritable(uint32_t /*timeoutMs*/) { return 1; }
  // One receive of at most max bytes: count, 0 on orderly close, -1 on error.
  virtual long Recv(uint8_t* buf, size_t max) = 0;
  virtual void Close() = 0;  // idempotent
  virtual bool IsOpen() const = 0;
  // The errno of the last failed call (0 when it succeeded).
  virtual int LastError() const { return 0; }

  // Ties the socket to one network interface by name, after Create and before
  // Connect: the connection then leaves through that interface only. 0 or the error
  // (EPERM on Linux without CAP_NET_RAW).
  virtual int BindToInterface(const std::string& /*name*/) { return ENOSYS; }
  // The link-layer address that answered for the connected peer: read from the
  // neighbour table of the interface that carries the connection (the bound one, else
  // the one the system routes the peer's address through). 0 with *mac as six
  // upper-case hex groups joined by ':'; kNoLinkLayer when that interface has no
  // link-layer addresses (the loopback interface: the peer is this workstation);
  // otherwise the error (ENOENT: the table holds no usable entry for the peer).
  virtual int PeerLinkAddress(std::string* /*mac*/) { return ENOSYS; }
};

class Network {
 public:
  virtual ~Network() = default;
  virtual std::unique_ptr<TcpSocket> NewSocket() = 0;
  // The workstation's IPv4 addresses in the order the system gives them (host byte
  // order). 0 or errno.
  virtual int AddressTable(std::vector<uint32_t>* out) = 0;
  // The IPv4 addresses of one interface by name; ENODEV when there is no such
  // interface. 0 or errno.
  virtual int InterfaceAddresses(const std::string& /*name*/, std::vector<uint32_t>* /*out*/) {
    return ENOSYS;
  }
  // Replaces the neighbour entry for ip on the interface `name` with a permanent one
  // holding mac ("HH:HH:HH:HH:HH:HH"); with an empty mac, removes that entry. Needs
  // CAP_NET_ADMIN on Linux (EPERM without it), administrator rights on Windows.
  virtual int PinNeighbour(const std::string& /*name*/, uint32_t /*ip*/,
                           const std::string& /*mac*/) {
    return ENOSYS;
  }
  // The interface the system sends ip through (its name), and whether that interface
  // has no link-layer addresses (the loopback interface); 0 or errno.
  virtual int RouteInterface(uint32_t /*ip*/, std::string* /*name*/, bool* /*noLinkLayer*/) {
    return ENOSYS;
  }
};

// PeerLinkAddress: the connection runs over an interface without link-layer addresses.
inline constexpr int kNoLinkLayer = -1;

// The error number of a connect whose wait ran out.
#ifdef _WIN32
inline constexpr int kConnectTimedOut = 10060;  // WSAETIMEDOUT
#else
inline constexpr int kConnectTimedOut = ETIMEDOUT;
#endif

// The operating system's sockets (BSD sockets; Windows Sockets 2.2 on Windows).
#ifdef _WIN32
Network& Win32Network();
inline Network& SystemNetwork() {
  return Win32Network();
}
#else
Network& PosixNetwork();
inline Network& SystemNetwork() {
  return PosixNetwork();
}
#endif

// "a.b.c.d" -> host-order value; false when the text is not a dotted quad.
bool ParseIpv4(const char* text, uint32_t* out);
// Six bytes as "HH:HH:HH:HH:HH:HH" (upper-case hex), and back (either case; false
// when the text is not six two-digit groups joined by ':').
std::string MacText(const uint8_t mac[6]);
bool ParseMacText(const std::string& text, uint8_t mac[6]);
