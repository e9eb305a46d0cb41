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
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/model/DeviceModel.h"
#include "sim/model/EchoServer.h"
#include "sim/model/LineQueue.h"

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
    std::unique_ptr<DeviceModel> model;
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

  std::mutex m_;  // the models and their output buffers
  std::vector<std::unique_ptr<Device>> devices_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// The report as text, one "key value" line per fact (the format devicesim documents).
std::string FormatReport(const SimReport& r, uint16_t tcpPort);
