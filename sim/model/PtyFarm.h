#pragma once
// Simulated devices on pseudo-terminals, in real time. Each device is a DeviceModel
// behind the master side of a pty; the slave side is what the station opens, through
// a link <dir>/ports/COM<k> -> /dev/pts/<n>. One poll loop serves every device (Serve
// on the caller's thread, or Start/Stop with a thread of its own); each device's TCP
// echo has its own thread. Everything is closed, joined and unlinked by Close (and by
// the destructor).
//
// The pty moves bytes at once; the farm keeps a serial line's time instead: in both
// directions a byte reaches the other end only once the line could have carried it at
// the rate the station set on its side (10 bits a byte), one byte after the other.
//
// Each device is a slot whose unit can be taken out and a fresh one put in (Remove,
// Insert, or a SwapPlan the serving loop runs): a unit taken out leaves a silent pty
// (what the station writes is read and lost, nothing answers) or, vanishing, takes its
// port along: the pty closes, which hangs up the station's open port (reads fail with
// EIO), and its link goes. A unit put in after a vanish comes on a new pty, linked
// again under the same name. While a slot is empty its echo answers nothing.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/model/DeviceModel.h"
#include "sim/model/EchoServer.h"
#include "sim/model/LineQueue.h"
#include "sim/model/SimSlot.h"

class PtyFarm {
 public:
  PtyFarm() = default;
  ~PtyFarm() { Close(); }
  PtyFarm(const PtyFarm&) = delete;
  PtyFarm& operator=(const PtyFarm&) = delete;

  // Creates a device named opt.name ("COM<k>") on a new pty and, when echoIp is not
  // 0, its TCP echo on echoIp:echoPort (0 = any free port). 0, or errno with *error.
  int Add(SimOptions opt, uint32_t echoIp, uint16_t echoPort, std::string* error);
  // Links <dir>/ports/<name> to every device's pty (creating <dir>/ports). A link
  // left by an earlier run is replaced; anything else in the way is an error.
  int Link(const std::string& dir, std::string* error);
  // Powers every device on.
  void PowerOn();
  // Serves until *stop becomes true (checked at least every 50 ms).
  void Serve(const std::atomic<bool>* stop);
  void Start();
  void Stop();
  // Stops serving, closes the ptys and echo listeners, removes the links it made.
  void Close();
  // Device i's adapter is pulled out: the device's side of its pty closes, which hangs
  // up the station's open port. The device serves nothing more.
  void Unplug(size_t i);
  // Takes device i's unit out; false when its slot is empty.
  bool Remove(size_t i, Removal how);
  // Puts a fresh unit into slot i and powers it on; false (with *error) when the slot
  // holds one or no port could be made for it.
  bool Insert(size_t i, std::string* error = nullptr);
  // Slot i's schedule, run while serving; its times count from PowerOn.
  void SetPlan(size_t i, SwapPlan plan);
  // Told of every unit taken out ("removed COM2 silent") or put in ("inserted COM2
  // <its MAC>"), under the farm's lock: it must not call the farm.
  void SetOnSwap(std::function<void(const std::string&)> cb) { onSwap_ = std::move(cb); }
  // The index of the device named name, or Count().
  size_t Find(const std::string& name) const;

  size_t Count() const { return devices_.size(); }
  std::string SlavePath(size_t i) const { return devices_.at(i)->slavePath; }
  std::string LinkPath(size_t i) const { return devices_.at(i)->linkPath; }
  uint16_t TcpPort(size_t i) const { return devices_.at(i)->echo.Port(); }
  std::vector<SimReport> Reports();

 private:
  struct Device {
    std::string name;
    std::string slavePath;
    std::string linkPath;
    int master = -1;
    int slaveHold = -1;  // keeps the slave's settings and the master readable between users
    std::unique_ptr<SimSlot> slot;
    EchoServer echo;
    LineQueue toHost;     // bytes the device has sent, on their way to the pty
    LineQueue toDevice;   // bytes read from the pty, on their way to the device
    std::string out;      // bytes that have crossed the line but the pty did not take yet
    uint32_t baudAt = 0;  // when the line rate was last read
    uint64_t dropped = 0;
    int orphanedExclusive = 0;  // probes in a row that found exclusive mode without holder
  };
  // Moves what has crossed the line towards the station into the pty.
  void Flush(Device& d, uint64_t nowUs);
  // Clears the exclusive mode a station left on a pty when it was killed (see Serve).
  void ClearOrphanedExclusive(Device& d);
  // A new pty for d (raw, 115200), its slave held open. 0 or errno with *error.
  static int OpenPty(Device& d, std::string* error);
  static void ClosePty(Device& d);
  int LinkOne(Device& d, std::string* error);
  // Under m_: takes d's unit out or puts one in, with the pty's and the echo's side.
  bool Apply(Device& d, SwapPlan::What what, uint32_t nowMs, std::string* error);
  void ReadBaud(Device& d, uint32_t nowMs);

  std::mutex m_;  // the models and their output buffers
  std::vector<std::unique_ptr<Device>> devices_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::string portsDir_;  // where Link put the links
  std::function<void(const std::string&)> onSwap_;
};

// The report as text, one "key value" line per fact (the format devicesim documents).
std::string FormatReport(const SimReport& r, uint16_t tcpPort);
