#pragma once
// The device's TCP loopback service: echoes what a client sends, with the faults of
// SimFaults (refuse, extra CR LF, two pieces, a wrong byte, none, late). One thread
// per server, started by Start and joined by Stop (or the destructor).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "sim/model/SimFaults.h"

class EchoServer {
 public:
  EchoServer() = default;
  ~EchoServer() { Stop(); }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  // Listens on ip (host byte order) and port (0 = any free port). With the refuse
  // fault the port is bound but not listened on, so connections are refused.
  // 0, or the errno of the failed step (with a message in *error).
  int Start(uint32_t ip, uint16_t port, const SimFaults& faults, std::string* error = nullptr);
  void Stop();
  uint16_t Port() const { return port_; }
  // While deaf (its unit taken out of the slot) the listener stays, but nothing sent
  // to it is echoed: a loopback test over a dead link.
  void SetDeaf(bool deaf) { deaf_.store(deaf); }
  // Connections accepted and bytes echoed so far.
  int Connections() const { return connections_.load(); }
  long BytesEchoed() const { return echoed_.load(); }

 private:
  void Loop();
  SimFaults faults_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<int> connections_{0};
  std::atomic<long> echoed_{0};
  std::atomic<bool> deaf_{false};
};

// "127.0.0.1" form of a host-order address.
std::string Ipv4Text(uint32_t ip);
bool ParseIpv4Text(const std::string& text, uint32_t* out);
