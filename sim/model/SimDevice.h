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
// The device keeps a serial line's time in virtual time: in both directions a byte
// reaches the other end only once the line could have carried it at the rate the host
// set on its port (10 bits a byte, one byte after the other); a port without a rate
// carries bytes at once. Host writes go on the line in the writer's thread; whenever
// the fake clock advances (any thread's SleepMs or Advance) the device takes what has
// arrived and runs its timed behaviour, millisecond by millisecond where something
// happens: what a worker reads after sleeping is what a real device would have sent
// meanwhile and the line carried. The line and the clock must outlive the device. The
// TCP echo runs in real time.
//
// Units are swapped in the slot (Remove, Insert, or a SwapPlan run in virtual time):
// a unit taken out leaves a silent line (what the host writes is lost, nothing
// answers) or, with Removal::Vanish, a port that fails like an unplugged adapter
// (opening it fails with ENOENT, reads and writes with EIO). A vanished port is made
// so through the fake line's fault fields, which the line does not guard against a
// reader on another thread: vanish from the thread that uses the port, or while no
// thread does. While the slot is empty its echo answers nothing.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "sim/model/DeviceModel.h"
#include "sim/model/EchoServer.h"
#include "sim/model/LineQueue.h"
#include "sim/model/SimSlot.h"

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

  // Takes the unit out (false when the slot is empty).
  bool Remove(Removal how);
  // Puts a fresh unit in, powered on (false when one is in).
  bool Insert();
  // The same, a unit that shows these faults (and so does every later one).
  bool Insert(const SimFaults& faults);
  // The units' schedule, run whenever the clock advances; its times count from
  // PowerOn.
  void SetPlan(SwapPlan plan);

  // The unit in the slot (or the last one), with every unit the slot held in units.
  SimReport Report() const;

 private:
  struct Shared {
    std::mutex m;
    std::unique_ptr<SimSlot> slot;
    EchoServer* echo = nullptr;  // while the device lives and its echo runs
    LineQueue toDevice;  // what the host wrote, on its way to the device
    LineQueue toHost;    // what the device sent, on its way to the host's queue
    bool timeSet = false;
    uint32_t tickMs = 0;   // the clock's time the device has run to
    uint64_t nowUs = 0;    // the same on the line's clock, which does not wrap
    uint64_t dropped = 0;  // bytes beyond what the line holds (reported as a violation)
  };
  // All under Shared::m. The host's rate, read from the line.
  static void ReadBaud(Shared& s, FakeLine& line);
  // Hands on what has crossed the line by now and runs the device's due actions.
  static void Settle(Shared& s, FakeLine& line);
  // Runs the line and the device up to the clock's tickMs.
  static void RunTo(Shared& s, FakeLine& line, uint32_t tickMs);
  // Takes the unit out or puts one in, with the line's and the echo's side of it.
  static bool Apply(Shared& s, FakeLine& line, SwapPlan::What what);

  std::shared_ptr<FakeLine> line_;
  FakeClock& clock_;
  SimFaults faults_;
  std::shared_ptr<Shared> shared_;
  EchoServer echo_;
};
