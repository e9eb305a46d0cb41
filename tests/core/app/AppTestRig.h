#pragma once
// A station for dispatcher and main-logic tests: inline UI thread, recording board,
// virtual clock, in-memory serial bus and network, a fresh data directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "base/JobState.h"
#include "base/Station.h"
#include "fakes/ScriptedWorkers.h"
#include "fakes/TestBoard.h"
#include "job/Logcfg.h"
#include "job/Logmac.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeNetwork.h"
#include "platform/fake/FakeSerial.h"

class AppTempDir {
 public:
  AppTempDir() {
    char tmpl[] = "/tmp/pt_app_XXXXXX";
    const char* p = mkdtemp(tmpl);
    path_ = p ? p : "";
  }
  ~AppTempDir() {
    if (!path_.empty()) Remove(path_);
  }
  AppTempDir(const AppTempDir&) = delete;
  AppTempDir& operator=(const AppTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream f(File(name), std::ios::binary | std::ios::trunc);
    f << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream f(File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

 private:
  static void Remove(const std::string& p) {
    if (DIR* d = opendir(p.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string s = e->d_name;
        if (s == "." || s == "..") continue;
        const std::string child = p + "/" + s;
        struct stat st {};
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          Remove(child);
        } else {
          unlink(child.c_str());
        }
      }
      closedir(d);
    }
    rmdir(p.c_str());
  }
  std::string path_;
};

// Polls cond (real time) until it holds or the time-out passes.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 30000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// A 38-byte pool file with one address (the whole permitted block) left.
inline const char* kOneAddressPool = "02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:D1\r\n";

// The device path the port map gives COMn in a data directory without ports/.
inline std::string FallbackPath(int n) {
  return "/dev/ttyS" + std::to_string(n - 1);
}

inline uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}
