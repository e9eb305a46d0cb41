#pragma once
// The loopback test worker of one port: asks the device on its console for the TCP
// port it serves the test on ("$GSVPA\r\n"), connects to the device at the fixed test
// address 192.168.1.127, sends "0123456789" and expects exactly those ten bytes back.
// Ends by writing StageTested or StageFailed into its port's stage entry.
//
// The worker never looks at the terminate request: its waits are bounded (two 500 ms
// sleeps, at most two connect attempts of 21 s each, one 3 s readiness wait).
#include <cstdint>
#include <memory>
#include <string>

#include "base/RunJob.h"
#include "base/Station.h"
#include "platform/Network.h"
#include "workers/PortWorker.h"

class FactoryTestThread final : public PortWorker {
 public:
  // The test address; the same for every port.
  static constexpr const char* kTestIp = "192.168.1.127";
  // One connect attempt waits at most this long; the expiry counts as a connection
  // time-out.
  static constexpr uint32_t kConnectTimeoutMs = 21000;
  static constexpr uint32_t kSettleMs = 500;
  static constexpr uint32_t kReadableWaitMs = 3000;
  // When waits end on answers: the echo is read this long after it became readable.
  static constexpr uint32_t kEchoGraceMs = 20;
  static constexpr size_t kRecvMax = 128;

  // The dispatcher's constructor: log flag (unused by this worker), COM number, place.
  FactoryTestThread(Station& station, const RunJob& job, bool logFlag, int portNumber,
                    int portIndex);
  // For tests only: the same worker aimed at another dotted IPv4 address (for example
  // a loopback echo listener). Production code never uses it.
  FactoryTestThread(Station& station, const RunJob& job, bool logFlag, int portNumber,
                    int portIndex, const char* testIpOverride);
  ~FactoryTestThread() override;

  // 0, or the console query's result (-1..-4). Sets testPort on success.
  int GetTestPort();
  // 0, -6 (no connection), -7 (not exactly ten bytes), -8 (nothing readable in time),
  // -9 (the bytes differ), -10 (another device answered: CheckAnsweringDevice).
  int RunLoopback();
  // After the echo: which device answered. The link-layer address that answered for
  // the test address, from the neighbour table of the interface that carried the
  // connection, must be the port's temporary MAC address when the job downloaded the
  // EEPROM image, and must not have answered for another port of the run otherwise. A
  // connection over the loopback interface (simulated devices on this workstation)
  // has no link-layer address to check and passes. 0 or kWrongDevice (with a message
  // log line naming the port and the address).
  int CheckAnsweringDevice();
  static constexpr int kWrongDevice = -10;
  // The text recorded for a connection without link-layer address.
  static constexpr const char* kNoLinkLayerText = "loopback";
  // 02:5C:3A:FF:FF:xx with xx = 255 - portIndex.
  static std::string TemporaryMacText(int portIndex);
  // Creates the socket and connects it; at most two attempts, the second only after a
  // connection time-out.
  bool ConnectDevice();

  // Leading blanks, an optional sign, then digits up to the first non-digit; no digits
  // gives 0. Values beyond the 32-bit range are clamped.
  static int32_t ParseDecimal(const std::string& text);

  const char* testIp() const { return testIp_; }
  // What answered the echo: a link-layer address, kNoLinkLayerText, or "" (not known).
  const std::string& answeredBy() const { return answeredBy_; }
  int32_t testPort() const { return testPort_; }

 protected:
  Stage Run() override;
  void ShowExceptionText() override;
  void AfterStage(Stage stage) override;
  // The port and the socket.
  void Release() override;

 private:
  void CloseSocket();
  // After the pattern went out: true once the socket is readable, at most 3.5 s on
  // (500 ms, then at most 3 s for readiness; when waits end on answers, readiness at
  // once and kEchoGraceMs).
  bool AwaitEcho();
  // On a shared interface: the test address's neighbour entry points at this port's
  // device (its temporary MAC address) for the test, and is removed afterwards.
  void PinTestAddress();
  void UnpinTestAddress();

  std::unique_ptr<TcpSocket> sock_;
  char testIp_[16] = {};
  int32_t testPort_ = 0;
  std::string answeredBy_;
  bool pinned_ = false;
};
