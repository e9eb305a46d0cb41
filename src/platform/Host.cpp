#include "platform/Host.h"

#include <limits.h>
#include <pwd.h>
#include <unistd.h>

std::string HostName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "";
  return std::string(buf);
}

std::string UserName() {
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr) {
    return "uid " + std::to_string(::geteuid());
  }
  return std::string(found->pw_name);
}

std::string LinkTarget(const std::string& path) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    if (buf.size() >= 65536) return "";
    buf.resize(buf.size() * 2);
  }
}
