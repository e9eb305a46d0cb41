#include "workers/Factorytestthread.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/AnsweredAddresses.h"
#include "base/Board.h"
#include "base/JobState.h"
#include "base/TestInterfaces.h"
#include "base/UnitRecorder.h"
#include "platform/Clock.h"
#include "workers/Workers.h"

namespace {
constexpr uint8_t kPattern[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
}  // namespace

std::unique_ptr<Thread> NewLoopbackTestWorker(Station& station, const RunJob& job, int portNumber,
                                              int portIndex, bool logFlag) {
  return std::make_unique<FactoryTestThread>(station, job, logFlag, portNumber, portIndex);
}

FactoryTestThread::FactoryTestThread(Station& station, const RunJob& job, bool logFlag,
                                     int portNumber, int portIndex)
    : FactoryTestThread(station, job, logFlag, portNumber, portIndex, kTestIp) {}

FactoryTestThread::FactoryTestThread(Station& station, const RunJob& job, bool /*logFlag*/,
                                     int portNumber, int portIndex, const char* testIpOverride)
    : PortWorker(station, job, portNumber, portIndex) {
  const char* ip = testIpOverride ? testIpOverride : kTestIp;
  std::strncpy(testIp_, ip, sizeof(testIp_) - 1);
  testIp_[sizeof(testIp_) - 1] = '\0';
}

FactoryTestThread::~FactoryTestThread() {
  // The body uses members of this class: wait for it before they go.
  Terminate();
  Join();
}

void FactoryTestThread::CloseSocket() {
  if (sock_) sock_->Close();
  sock_.reset();
}

void FactoryTestThread::Release() {
  console_.ClosePort();
  CloseSocket();
}

Stage FactoryTestThread::Run() {
  const char* name = console_.portName.c_str();
  console_.ShowStatus("%s: factory test", name);
  int r = console_.OpenConsolePort(job_.consoleBaud);
  if (r != 0) {
    console_.ShowFailure(r, "%s: com init failed: %d", name, r);
    return StageFailed;
  }
  r = GetTestPort();
  if (r != 0) {
    console_.ShowFailure(r, "%s: get settings failed: %d", name, r);
    return StageFailed;
  }
  r = RunLoopback();
  if (r != 0) {
    console_.ShowFailure(r, "%s: loopback test failed: %d", name, r);
    return StageFailed;
  }
  return StageTested;
}

void FactoryTestThread::AfterStage(Stage stage) {
  if (stage == StageTested) console_.ShowStatus("%s: loopback test ok", console_.portName.c_str());
}

void FactoryTestThread::ShowExceptionText() {
  console_.ShowStatus("%s: Factory Test Exception", console_.portName.c_str());
}

int32_t FactoryTestThread::ParseDecimal(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\v' ||
                   text[i] == '\f' || text[i] == '\r')) {
    i++;
  }
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    i++;
  }
  int64_t value = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; i++) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<int32_t>(value);
}

int FactoryTestThread::GetTestPort() {
  console_.ShowStatus("%s: get test port...", console_.portName.c_str());
  std::string value;
  const int r = console_.ConsoleQuery("$GSVPA\r\n", 5, &value);
  if (r != 0) return r;
  testPort_ = ParseDecimal(value);
  return 0;
}

bool FactoryTestThread::ConnectDevice() {
  sock_ = station_.net->NewSocket();
  if (!sock_ || sock_->Create() != 0) {
    AppendMessage("INVALID_SOCKET");
    return false;
  }
  if (job_.interfaces.Configured()) {
    const std::string iface = job_.interfaces.For(console_.portNumber);
    if (iface.empty()) {
      AppendMessage(console_.portName + ": no test-interface in station.conf for this port");
      return false;
    }
    if (const int e = sock_->BindToInterface(iface)) {
      AppendMessage(console_.portName + ": cannot bind the test connection to " + iface +
                    " (error " + std::to_string(e) + ")" +
                    (e == EPERM ? ": the station needs CAP_NET_RAW on this system" : ""));
      return false;
    }
  }
  uint32_t ip = 0;
  const bool ipOk = ParseIpv4(testIp_, &ip);
  const auto port = static_cast<uint16_t>(static_cast<uint32_t>(testPort_) & 0xFFFFu);
  // Both attempts use the same socket: the platform socket abandons an attempt that
  // ran out of time, so the socket can try again.
  for (int attempt = 0; attempt < 2; attempt++) {
    const int err = ipOk ? sock_->Connect(ip, port, kConnectTimeoutMs) : EINVAL;
    if (err == 0) return true;
    if (err == kConnectTimedOut) continue;
    AppendMessage(std::to_string(err));
    return false;
  }
  return false;
}

void FactoryTestThread::PinTestAddress() {
  const std::string& shared = job_.sharedTestInterface;
  uint32_t ip = 0;
  if (shared.empty() || !ParseIpv4(testIp_, &ip)) return;
  // With the EEPROM image downloaded the port's device is known by its temporary
  // address; otherwise the entry is only dropped, so the address is resolved afresh.
  const std::string mac =
      (job_.steps.jobFlags & kJobEeprom) ? TemporaryMacText(console_.portIndex) : "";
  const int err = station_.net->PinNeighbour(shared, ip, mac);
  if (err != 0) {
    AppendMessage(console_.portName + ": cannot point " + testIp_ + " on " + shared +
                  " at the port's device (error " + std::to_string(err) +
                  "): give each port an interface of its own (test-interface in station.conf)");
    return;
  }
  pinned_ = !mac.empty();
}

void FactoryTestThread::UnpinTestAddress() {
  uint32_t ip = 0;
  if (!pinned_ || !ParseIpv4(testIp_, &ip)) return;
  pinned_ = false;
  station_.net->PinNeighbour(job_.sharedTestInterface, ip, "");
}

int FactoryTestThread::RunLoopback() {
  const char* name = console_.portName.c_str();
  // The next port's test starts only once this one has published its stage: the
  // entry is back to normal before then, whichever way this test ends.
  struct Unpin {
    FactoryTestThread* w;
    ~Unpin() { w->UnpinTestAddress(); }
  } unpin{this};
  PinTestAddress();
  console_.ShowStatus("%s: connect to device...", name);
  if (!ConnectDevice()) return -6;
  console_.ShowStatus("%s: loopback test...", name);
  sock_->Send(kPattern, sizeof(kPattern));
  if (!AwaitEcho()) {
    AppendMessage("select fail");
    CloseSocket();
    return -8;
  }
  uint8_t buf[kRecvMax];
  const long got = sock_->Recv(buf, sizeof(buf));
  if (got != static_cast<long>(sizeof(kPattern))) {
    AppendMessage("tcp recv fail");
    CloseSocket();
    return -7;
  }
  if (std::memcmp(buf, kPattern, sizeof(kPattern)) != 0) {
    AppendMessage("not match");
    CloseSocket();
    return -9;
  }
  const int identity = CheckAnsweringDevice();
  CloseSocket();
  return identity;
}

bool FactoryTestThread::AwaitEcho() {
  Clock& clock = *station_.clock;
  if (!console_.endWaitsOnAnswer) {
    clock.SleepMs(kSettleMs);
    return sock_->WaitReadable(kReadableWaitMs) == 1;
  }
  // The same 3.5 s at most, but the echo is read once it is there: kEchoGraceMs after
  // the socket turned readable, within the settle time, lets a piece that follows
  // the first at once join it.
  const uint32_t start = clock.TickMs();
  if (sock_->WaitReadable(kSettleMs + kReadableWaitMs) != 1) return false;
  const uint32_t waited = TickDiff(clock.TickMs(), start);
  if (waited < kSettleMs) clock.SleepMs(std::min(kEchoGraceMs, kSettleMs - waited));
  return true;
}

std::string FactoryTestThread::TemporaryMacText(int portIndex) {
  const uint8_t mac[6] = {0x02, 0x5C, 0x3A, 0xFF, 0xFF, static_cast<uint8_t>(255 - portIndex)};
  return MacText(mac);
}

int FactoryTestThread::CheckAnsweringDevice() {
  const std::string& name = console_.portName;
  const int portIndex = console_.portIndex;
  std::string mac;
  const int err = sock_->PeerLinkAddress(&mac);
  if (err == kNoLinkLayer) {
    answeredBy_ = kNoLinkLayerText;
    if (station_.records) station_.records->LinkAddressSeen(portIndex, answeredBy_);
    return 0;
  }
  if (err != 0) {
    AppendMessage(name + ": loopback answered by an unknown link-layer address (error " +
                  std::to_string(err) + ")");
    return kWrongDevice;
  }
  answeredBy_ = mac;
  if (station_.records) station_.records->LinkAddressSeen(portIndex, mac);
  std::string otherPort;
  if (job_.steps.jobFlags & kJobEeprom) {
    const std::string own = TemporaryMacText(portIndex);
    if (mac == own) return 0;
    // Another port's temporary address: that port's device answered.
    const std::string prefix = "02:5C:3A:FF:FF:";
    uint8_t bytes[6];
    if (mac.compare(0, prefix.size(), prefix) == 0 && station_.answered &&
        ParseMacText(mac, bytes)) {
      otherPort = station_.answered->PortName(255 - bytes[5]);
    }
    AppendMessage(
        name + ": loopback answered by " + mac +
        (otherPort.empty() ? " (expected " + own + ")" : " (" + otherPort + "'s device)"));
    return kWrongDevice;
  }
  // The devices keep their own addresses: the station cannot tell which one is the
  // port's, only that one device does not pass for two ports.
  if (station_.answered) otherPort = station_.answered->Claim(portIndex, mac);
  if (otherPort.empty()) return 0;
  AppendMessage(name + ": loopback answered by " + mac + " (already answered for " + otherPort +
                ")");
  return kWrongDevice;
}
