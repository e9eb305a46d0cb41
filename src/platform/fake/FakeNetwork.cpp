#include "platform/fake/FakeNetwork.h"

#include <algorithm>
#include <deque>

struct FakeNetwork::State {
  explicit State(Clock* c) : clock(c) {}
  Clock* clock;
  mutable std::mutex m;
  std::vector<uint32_t> addresses;
  int addressError = 0;
  int addressCalls = 0;
  int createError = 0;
  FakePeer defaultPeer;
  std::map<uint16_t, FakePeer> peers;
  std::map<std::string, FakePeer> interfacePeers;
  std::map<std::string, std::vector<uint32_t>> interfaceAddresses;
  int bindError = 0;
  int pinError = 0;
  std::string routeName = "lo";
  bool routeNoLinkLayer = true;
  std::vector<std::string> binds;
  std::vector<std::string> pins;
  std::map<uint16_t, size_t> connectsUsed;  // per peer port; defaultPeer under its own key
  size_t defaultConnectsUsed = 0;
  std::vector<FakeConnectRecord> connects;
  std::string sent;
  std::vector<std::string> sendLog;
  int createCalls = 0;
  int created = 0;
  int closed = 0;
  int closedByDestructor = 0;

  FakePeer& PeerFor(uint16_t port, const std::string& bound = "") {
    if (!bound.empty()) {
      auto own = interfacePeers.find(bound);
      if (own != interfacePeers.end()) return own->second;
    }
    auto it = peers.find(port);
    return it == peers.end() ? defaultPeer : it->second;
  }
  // The scripted result of the next connect attempt to port (from a socket bound to
  // the interface `bound`, when not empty).
  int NextConnect(uint16_t port, const std::string& bound) {
    if (!bound.empty() && interfacePeers.count(bound) != 0) {
      FakePeer& p = interfacePeers[bound];
      size_t& used = interfaceConnectsUsed[bound];
      if (used < p.connects.size()) return p.connects[used++];
      return p.thenConnect;
    }
    const bool own = peers.count(port) != 0;
    FakePeer& p = PeerFor(port);
    size_t& used = own ? connectsUsed[port] : defaultConnectsUsed;
    if (used < p.connects.size()) return p.connects[used++];
    return p.thenConnect;
  }
  std::map<std::string, size_t> interfaceConnectsUsed;
};

namespace {

class FakeTcpSocket final : public TcpSocket {
 public:
  explicit FakeTcpSocket(std::shared_ptr<FakeNetwork::State> state) : s_(std::move(state)) {}
  ~FakeTcpSocket() override {
    std::lock_guard<std::mutex> lock(s_->m);
    if (open_) {
      s_->closed++;
      s_->closedByDestructor++;
    }
  }

  int Create() override {
    std::lock_guard<std::mutex> lock(s_->m);
    s_->createCalls++;
    CloseLocked();
    if (s_->createError) return lastError_ = s_->createError;
    open_ = true;
    s_->created++;
    return lastError_ = 0;
  }

  int Connect(uint32_t ip, uint16_t port, uint32_t timeoutMs) override {
    Clock* wait = nullptr;
    int result = 0;
    {
      std::lock_guard<std::mutex> lock(s_->m);
      if (!open_) return lastError_ = EBADF;
      if (connected_) return lastError_ = EISCONN;
      result = s_->NextConnect(port, bound_);
      s_->connects.push_back({ip, port, timeoutMs, result});
      if (result == 0) {
        connected_ = true;
        port_ = port;
      } else if (result == kConnectTimedOut) {
        wait = s_->clock;
      }
      lastError_ = result;
    }
    // Outside the lock: the clock's listeners may use the network themselves.
    if (wait) wait->SleepMs(timeoutMs);
    return result;
  }

  long Send(const uint8_t* buf, size_t len) override {
    std::lock_guard<std::mutex> lock(s_->m);
    if (!open_) return Fail(EBADF);
    if (!connected_) return Fail(ENOTCONN);
    const FakePeer& peer = s_->PeerFor(port_, bound_);
    if (peer.sendError) return Fail(peer.sendError);
    const std::string data(reinterpret_cast<const char*>(buf), len);
    s_->sent += data;
    s_->sendLog.push_back(data);
    lastError_ = 0;
    if (peer.responder) {
      Arrive(peer.responder(data));
      return static_cast<long>(len);
    }
    switch (peer.reply) {
      case FakeReply::Echo:
        Arrive(data);
        break;
      case FakeReply::Nothing:
        break;
      case FakeReply::TwoPieces: {
        const size_t half = (data.size() + 1) / 2;
        Arrive(data.substr(0, half));
        later_ += data.substr(half);
        break;
      }
      case FakeReply::ExtraCrLf:
        Arrive(data + "\r\n");
        break;
      case FakeReply::WrongByte: {
        std::string wrong = data;
        if (!wrong.empty()) wrong.back() = static_cast<char>(wrong.back() ^ 0x01);
        Arrive(wrong);
        break;
      }
      case FakeReply::Close:
        peerClosed_ = true;
        break;
    }
    return static_cast<long>(len);
  }

  int WaitReadable(uint32_t timeoutMs) override {
    Clock* wait = nullptr;
    {
      std::lock_guard<std::mutex> lock(s_->m);
      if (!open_) return Fail(EBADF);
      const FakePeer& peer = s_->PeerFor(port_, bound_);
      if (peer.waitError) return Fail(peer.waitError);
      lastError_ = 0;
      if (!inbound_.empty() || peerClosed_) return 1;
      // Not yet connected reads as never readable, as select would say.
      wait = s_->clock;
    }
    if (wait) wait->SleepMs(timeoutMs);
    return 0;
  }

  long Recv(uint8_t* buf, size_t max) override {
    std::lock_guard<std::mutex> lock(s_->m);
    if (!open_) return Fail(EBADF);
    if (!connected_) return Fail(ENOTCONN);
    const FakePeer& peer = s_->PeerFor(port_, bound_);
    if (peer.recvError) return Fail(peer.recvError);
    lastError_ = 0;
    if (inbound_.empty()) {
      if (peerClosed_) return 0;
      // A real receive would block until the rest arrives; the fake must not hang.
      if (!later_.empty()) {
        Arrive(later_);
        later_.clear();
      } else {
        return Fail(EAGAIN);
      }
    }
    const size_t n = std::min(max, inbound_.size());
    std::copy_n(inbound_.begin(), n, buf);
    inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<long>(n));
    // The second piece arrives after the first was read.
    if (!later_.empty()) {
      Arrive(later_);
      later_.clear();
    }
    return static_cast<long>(n);
  }

  void Close() override {
    std::lock_guard<std::mutex> lock(s_->m);
    CloseLocked();
  }

  bool IsOpen() const override {
    std::lock_guard<std::mutex> lock(s_->m);
    return open_;
  }

  int BindToInterface(const std::string& name) override {
    std::lock_guard<std::mutex> lock(s_->m);
    if (!open_) return lastError_ = EBADF;
    if (s_->bindError) return lastError_ = s_->bindError;
    s_->binds.push_back(name);
    bound_ = name;
    return lastError_ = 0;
  }

  int PeerLinkAddress(std::string* mac) override {
    std::lock_guard<std::mutex> lock(s_->m);
    if (!open_ || !connected_) return ENOTCONN;
    const FakePeer& peer = s_->PeerFor(port_, bound_);
    if (peer.linkResult == 0) *mac = peer.linkAddress;
    return peer.linkResult;
  }

  int LastError() const override {
    std::lock_guard<std::mutex> lock(s_->m);
    return lastError_;
  }

 private:
  void CloseLocked() {
    if (!open_) return;
    open_ = false;
    connected_ = false;
    peerClosed_ = false;
    inbound_.clear();
    later_.clear();
    bound_.clear();
    s_->closed++;
  }
  void Arrive(const std::string& bytes) {
    inbound_.insert(inbound_.end(), bytes.begin(), bytes.end());
  }
  long Fail(int e) {
    lastError_ = e;
    return -1;
  }

  std::shared_ptr<FakeNetwork::State> s_;
  bool open_ = false;
  bool connected_ = false;
  bool peerClosed_ = false;
  uint16_t port_ = 0;
  std::string bound_;
  std::deque<uint8_t> inbound_;
  std::string later_;
  int lastError_ = 0;
};

}  // namespace

FakeNetwork::FakeNetwork(Clock* clock) : state_(std::make_shared<State>(clock)) {}
FakeNetwork::~FakeNetwork() = default;

void FakeNetwork::SetAddresses(std::vector<uint32_t> table) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->addresses = std::move(table);
}
void FakeNetwork::SetAddressError(int err) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->addressError = err;
}
void FakeNetwork::SetCreateError(int err) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->createError = err;
}
void FakeNetwork::SetPeer(FakePeer peer) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->defaultPeer = std::move(peer);
  state_->defaultConnectsUsed = 0;
}
void FakeNetwork::SetPeer(uint16_t port, FakePeer peer) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->peers[port] = std::move(peer);
  state_->connectsUsed[port] = 0;
}

void FakeNetwork::SetInterfacePeer(const std::string& name, FakePeer peer) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->interfacePeers[name] = std::move(peer);
}
void FakeNetwork::SetBindError(int err) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->bindError = err;
}
void FakeNetwork::SetInterfaceAddresses(const std::string& name, std::vector<uint32_t> table) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->interfaceAddresses[name] = std::move(table);
}
void FakeNetwork::SetPinError(int err) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->pinError = err;
}
void FakeNetwork::SetRoute(const std::string& name, bool noLinkLayer) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->routeName = name;
  state_->routeNoLinkLayer = noLinkLayer;
}
std::vector<std::string> FakeNetwork::Binds() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->binds;
}
std::vector<std::string> FakeNetwork::Pins() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->pins;
}

std::vector<FakeConnectRecord> FakeNetwork::Connects() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->connects;
}
int FakeNetwork::ConnectAttempts() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return static_cast<int>(state_->connects.size());
}
std::string FakeNetwork::SentBytes() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->sent;
}
std::vector<std::string> FakeNetwork::SendLog() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->sendLog;
}
int FakeNetwork::CreateCalls() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->createCalls;
}
int FakeNetwork::SocketsCreated() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->created;
}
int FakeNetwork::SocketsClosed() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->closed;
}
int FakeNetwork::SocketsClosedByDestructor() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->closedByDestructor;
}
int FakeNetwork::OpenSockets() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->created - state_->closed;
}
int FakeNetwork::AddressTableCalls() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->addressCalls;
}

std::unique_ptr<TcpSocket> FakeNetwork::NewSocket() {
  return std::make_unique<FakeTcpSocket>(state_);
}

int FakeNetwork::AddressTable(std::vector<uint32_t>* out) {
  std::lock_guard<std::mutex> lock(state_->m);
  state_->addressCalls++;
  out->clear();
  if (state_->addressError) return state_->addressError;
  *out = state_->addresses;
  return 0;
}

int FakeNetwork::InterfaceAddresses(const std::string& name, std::vector<uint32_t>* out) {
  std::lock_guard<std::mutex> lock(state_->m);
  out->clear();
  auto it = state_->interfaceAddresses.find(name);
  if (it == state_->interfaceAddresses.end()) return ENODEV;
  *out = it->second;
  return 0;
}

int FakeNetwork::PinNeighbour(const std::string& name, uint32_t /*ip*/, const std::string& mac) {
  std::lock_guard<std::mutex> lock(state_->m);
  if (state_->pinError) return state_->pinError;
  state_->pins.push_back(name + " " + (mac.empty() ? "-" : mac));
  return 0;
}

int FakeNetwork::RouteInterface(uint32_t /*ip*/, std::string* name, bool* noLinkLayer) {
  std::lock_guard<std::mutex> lock(state_->m);
  *name = state_->routeName;
  *noLinkLayer = state_->routeNoLinkLayer;
  return 0;
}
