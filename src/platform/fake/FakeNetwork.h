#pragma once
// An in-memory network for tests: a settable address table and scripted sockets that
// stand for the devices under test. A socket's waits (a connect that runs out of time,
// a readable wait with nothing to read) advance the clock given at construction, so
// with a FakeClock the loopback test runs its time-outs in virtual time.
//
// Every socket of one FakeNetwork shares its script and its record; all of it is
// guarded by one mutex, so workers on several threads may use sockets at once.
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Network.h"

// What the far end sends back after each Send.
enum class FakeReply {
  Echo,       // the same bytes, at once
  Nothing,    // no answer at all
  TwoPieces,  // the first half at once, the rest only after the next Recv
  ExtraCrLf,  // the bytes followed by CR LF
  WrongByte,  // the bytes with the last one changed
  Close,      // the peer closes the connection (Recv gives 0)
};

// The script of a peer (one TCP port of the device, or every port by default).
struct FakePeer {
  // Result of each connect attempt in order (0, kConnectTimedOut, ECONNREFUSED, ...); once
  // the list is used up every further attempt gets `thenConnect`.
  std::vector<int> connects;
  int thenConnect = 0;
  FakeReply reply = FakeReply::Echo;
  // When set, replaces `reply`: the bytes to answer with, given the bytes sent. Runs
  // under the network's lock, so it must not call the network itself.
  std::function<std::string(const std::string& sent)> responder;
  int sendError = 0;  // Send fails with this errno
  int waitError = 0;  // WaitReadable fails (-1) with this errno
  int recvError = 0;  // Recv fails (-1) with this errno
  // What PeerLinkAddress answers after a connection to this peer: linkResult, with
  // linkAddress when it is 0. The default is a device on the loopback interface.
  int linkResult = kNoLinkLayer;
  std::string linkAddress;
};

struct FakeConnectRecord {
  uint32_t ip = 0;
  uint16_t port = 0;
  uint32_t timeoutMs = 0;
  int result = 0;
};

class FakeNetwork final : public Network {
 public:
  // clock may be null: waits then take no time at all.
  explicit FakeNetwork(Clock* clock = nullptr);
  ~FakeNetwork() override;

  // ---- script ----
  void SetAddresses(std::vector<uint32_t> table);
  void SetAddressError(int err);  // AddressTable fails with err (0: works)
  void SetCreateError(int err);   // TcpSocket::Create fails with err (0: works)
  void SetPeer(FakePeer peer);    // the default peer, for every port without its own
  void SetPeer(uint16_t port, FakePeer peer);
  // The peer behind one interface (for sockets bound to it), replacing the peers by
  // port for those sockets.
  void SetInterfacePeer(const std::string& name, FakePeer peer);
  void SetBindError(int err);  // BindToInterface fails with err (0: works)
  // The addresses InterfaceAddresses gives for an interface; an interface never set
  // gives ENODEV.
  void SetInterfaceAddresses(const std::string& name, std::vector<uint32_t> table);
  void SetPinError(int err);  // PinNeighbour fails with err (0: works)
  // What RouteInterface answers (by default: the loopback interface "lo").
  void SetRoute(const std::string& name, bool noLinkLayer);

  // ---- record ----
  std::vector<FakeConnectRecord> Connects() const;
  int ConnectAttempts() const;
  std::string SentBytes() const;             // everything sent on every socket, in order
  std::vector<std::string> SendLog() const;  // one entry per Send call
  int CreateCalls() const;                   // Create calls, failed ones included
  int SocketsCreated() const;                // sockets that Create opened
  int SocketsClosed() const;                 // sockets closed (by Close or by destruction)
  int SocketsClosedByDestructor() const;     // of those, closed only by destruction
  int OpenSockets() const;
  int AddressTableCalls() const;
  std::vector<std::string> Binds() const;  // interface names, one per BindToInterface call
  // One entry per PinNeighbour call that worked: "<interface> <mac>", or "<interface> -"
  // for a removal.
  std::vector<std::string> Pins() const;

  // Network
  std::unique_ptr<TcpSocket> NewSocket() override;
  int AddressTable(std::vector<uint32_t>* out) override;
  int InterfaceAddresses(const std::string& name, std::vector<uint32_t>* out) override;
  int PinNeighbour(const std::string& name, uint32_t ip, const std::string& mac) override;
  int RouteInterface(uint32_t ip, std::string* name, bool* noLinkLayer) override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Host-order value of a.b.c.d, for test tables.
constexpr uint32_t Ipv4(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}
