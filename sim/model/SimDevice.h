#pragma once
// An in-memory simulated device on a fake serial line, driven by a fake clock: fast
// and deterministic, for unit tests of the workers.
//
//   FakeSerialBus bus;
//   FakeClock clock;
//   SimOptions opt;                 // faults in opt.faults
//   SimDevice dev(bus.Line(ports.DevicePath(3)), clock, opt);
//   dev.StartEcho();                // optional: TCP echo on 127.0.0.1, port for "$GSVPA"
//   dev.PowerOn();                  // start-up lines follow opt.bootDelayMs later
//   ... run a worker on COM3 with station.clock = &clock ...
//   dev.Report().eeprom, .programmedMac, .commands, .violations
//
// The device answers host writes at once (in the writer's thread) and runs its timed
// behaviour whenever the fake clock advances (any thread's SleepMs or Advance): what a
// worker reads after sleeping is what a real device would have sent meanwhile. The
// line and the clock must outlive the device. The TCP echo runs in real time.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "sim/model/DeviceModel.h"
#include "sim/model/EchoServer.h"

class SimDevice {
 public:
  SimDevice(std::shared_ptr<FakeLine> line, FakeClock& clock, SimOptions options = {});
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  void PowerOn();
  // Starts the loopback echo on ip:port (0 = a free port) and makes "$GSVPA" report
  // its port. 0 or errno.
  int StartEcho(uint32_t ip = 0x7f000001u, uint16_t port = 0);
  uint16_t TcpPort() const { return echo_.Port(); }
  const EchoServer& Echo() const { return echo_; }

  SimReport Report() const;

 private:
  struct Shared {
    std::mutex m;
    std::unique_ptr<DeviceModel> model;
  };
  std::shared_ptr<FakeLine> line_;
  FakeClock& clock_;
  SimFaults faults_;
  std::shared_ptr<Shared> shared_;
  EchoServer echo_;
};
