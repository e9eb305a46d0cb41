// On Windows COMn is the system's own device \\.\COMn (the form every number works
// with, COM10 and above included); there is no ports/ map.
#include <string>

#include "platform/PortMap.h"

std::string PortMap::PortName(int n) {
  return "COM" + std::to_string(n);
}

std::string PortMap::DevicePath(int n) const {
  return "\\\\.\\" + PortName(n);
}
