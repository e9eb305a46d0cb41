#pragma once
// IPv4 TCP sockets and the workstation's address table. Results are 0 or the system's
// error number: errno, or the Windows Sockets error (WSAGetLastError) on Windows.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
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
  // One receive of at most max bytes: count, 0 on orderly close, -1 on error.
  virtual long Recv(uint8_t* buf, size_t max) = 0;
  virtual void Close() = 0;  // idempotent
  virtual bool IsOpen() const = 0;
  // The errno of the last failed call (0 when it succeeded).
  virtual int LastError() const { return 0; }
};

class Network {
 public:
  virtual ~Network() = default;
  virtual std::unique_ptr<TcpSocket> NewSocket() = 0;
  // The workstation's IPv4 addresses in the order the system gives them (host byte
  // order). 0 or errno.
  virtual int AddressTable(std::vector<uint32_t>* out) = 0;
};

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
