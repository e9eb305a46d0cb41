#include "platform/PortMap.h"

#include <string>

#include "platform/Paths.h"

std::string PortMap::PortName(int n) {
  return "COM" + std::to_string(n);
}

std::string PortMap::DevicePath(int n) const {
  const std::string portsDir = JoinPath(dataDir_, "ports");
  if (DirectoryExists(portsDir)) return JoinPath(portsDir, PortName(n));
  return "/dev/ttyS" + std::to_string(n - 1);
}
