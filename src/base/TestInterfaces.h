#pragma once
// Which network interface carries each port's loopback test (station.conf's
// test-interface). Every device answers at the same address, so on a bench where the
// devices' Ethernet ports share one network the kernel can reach only one of them;
// one interface per device (a VLAN per switch port tagged to the station, or one
// adapter per device) lets every port reach its own device, all at once.
//
//   test-interface = eth0.%d           %d: the COM number plus test-interface-base
//   test-interface-base = 100          (default 0): COM1 -> eth0.101, COM16 -> eth0.116
//   test-interface = COM1:enp1s0, COM2:enx00e04c680002, ...   one entry per port
//   test-interface = eth1              every port on eth1, one test at a time
//
// Without the key the system's routing picks the interface.
#include <map>
#include <string>
#include <vector>

class TestInterfaces {
 public:
  // Reads the two settings' values; false with *problem (a text for the message log)
  // when they cannot be used, and then nothing is configured.
  bool Parse(const std::string& spec, const std::string& base, std::string* problem);
  bool Configured() const { return !pattern_.empty() || !ports_.empty(); }
  // All ports share one interface (the value named a single interface).
  bool Shared() const { return Configured() && !Patterned() && ports_.empty(); }
  // The names come from a pattern (which may name interfaces a bench does not have).
  bool Patterned() const { return pattern_.find("%d") != std::string::npos; }
  // The interface of COM<portNumber>, or "" when none is configured for it.
  std::string For(int portNumber) const;
  // The interfaces named by the settings for COM1 .. COM<highest>.
  std::vector<std::string> Listed(int highest) const;

 private:
  std::string pattern_;  // with "%d", or a single interface name
  int base_ = 0;
  std::map<int, std::string> ports_;
};
