#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

std::string ExecutableDir() {
  // The link target can be longer than any fixed buffer: grow until it fits.
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return ".";
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      break;
    }
    if (buf.size() >= (1u << 20)) return ".";
    buf.resize(buf.size() * 2);
  }
  const size_t slash = buf.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return buf.substr(0, slash);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  size_t start = 0;
  while (start < name.size() && name[start] == '/') start++;
  if (dir.back() == '/') return dir + name.substr(start);
  return dir + "/" + name.substr(start);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeDirectory(const std::string& path) {
  if (DirectoryExists(path)) return 0;
  if (mkdir(path.c_str(), 0750) == 0) return 0;
  const int e = errno;
  return e == EEXIST && DirectoryExists(path) ? 0 : e;
}

bool NothingAt(const std::string& path) {
  struct stat st {};
  return !path.empty() && lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}
