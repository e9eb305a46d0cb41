#pragma once
// Helpers shared by the platform tests: a pseudo-terminal pair and a scratch directory.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

// A pseudo-terminal: the master stands in for the device, the slave path for the port.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name) slave_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  int master() const { return master_; }
  const std::string& slavePath() const { return slave_; }

  void Send(const std::string& bytes) const {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + off, bytes.size() - off);
      if (n > 0) off += static_cast<size_t>(n);
    }
  }
  // Reads what the port wrote, waiting up to timeoutMs for `want` bytes.
  std::string Receive(size_t want, int timeoutMs = 2000) const {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < want && std::chrono::steady_clock::now() < end) {
      char buf[256];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// A fresh directory under /tmp, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/pt_platform_XXXXXX";
    const char* p = mkdtemp(tmpl);
    if (p) path_ = p;
  }
  ~ScratchDir() {
    if (!path_.empty()) {
      const std::string cmd = "rm -rf '" + path_ + "'";
      if (std::system(cmd.c_str()) != 0) {
      }
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
