#pragma once
// Where "COMn" lives on this machine.
//
// COMn resolves to <data dir>/ports/COMn, a symbolic link to the real device (for
// example /dev/serial/by-path/...) or to a simulator's pseudo-terminal. When
// <data dir>/ports does not exist, COMn falls back to /dev/ttyS<n-1>. On Windows COMn
// is the system's device \\.\COMn.
#include <string>

class PortMap {
 public:
  explicit PortMap(std::string dataDir) : dataDir_(std::move(dataDir)) {}
  // "COM%d" of n.
  static std::string PortName(int n);
  // The device path that COMn opens.
  std::string DevicePath(int n) const;
  const std::string& DataDir() const { return dataDir_; }

 private:
  std::string dataDir_;
};
