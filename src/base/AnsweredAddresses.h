#pragma once
// The link-layer addresses that answered the loopback tests of one run, so that no two
// ports of a run pass on the same device, and the run's COM numbers by place, so that
// a port's temporary MAC address can be named by its port. Filled by the dispatcher
// (RunStarted) and the loopback workers (Claim) on their own threads.
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class AnsweredAddresses {
 public:
  // A new run with these ports (COM numbers in place order): the last run's
  // addresses are forgotten.
  void RunStarted(const std::vector<int>& portNumbers) {
    std::lock_guard<std::mutex> lock(m_);
    ports_ = portNumbers;
    owners_.clear();
  }
  // Continuous production: the unit of the slot at portIndex left (or a new one came):
  // the addresses that answered for it are its no more.
  void ReleasePort(int portIndex) {
    std::lock_guard<std::mutex> lock(m_);
    for (auto it = owners_.begin(); it != owners_.end();) {
      it = it->second == portIndex ? owners_.erase(it) : std::next(it);
    }
  }
  // "COM<n>" of the port at portIndex, or "" when the run has no such place.
  std::string PortName(int portIndex) const {
    std::lock_guard<std::mutex> lock(m_);
    return NameLocked(portIndex);
  }
  // Notes that mac answered for the port at portIndex. Returns the name of the other
  // port of this run it already answered for, or "" (the address is then the port's).
  std::string Claim(int portIndex, const std::string& mac) {
    std::lock_guard<std::mutex> lock(m_);
    auto [it, fresh] = owners_.emplace(mac, portIndex);
    if (fresh || it->second == portIndex) return "";
    const std::string name = NameLocked(it->second);
    return name.empty() ? "place " + std::to_string(it->second) : name;
  }

 private:
  std::string NameLocked(int portIndex) const {
    if (portIndex < 0 || static_cast<size_t>(portIndex) >= ports_.size()) return "";
    return "COM" + std::to_string(ports_[static_cast<size_t>(portIndex)]);
  }
  mutable std::mutex m_;
  std::vector<int> ports_;
  std::map<std::string, int> owners_;
};
