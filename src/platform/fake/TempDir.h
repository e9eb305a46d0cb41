#pragma once
// A fresh directory for one test, removed with its files afterwards (every test rig's).
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Paths.h"
#include "platform/fake/ScratchDir.h"

class TempDir {
 public:
  explicit TempDir(const char* tag = "test") : path_(MakeScratchDir(tag)) {}
  ~TempDir() { RemoveScratchDir(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return JoinPath(path_, name); }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream f(std::filesystem::u8path(File(name)), std::ios::binary | std::ios::trunc);
    f << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream f(std::filesystem::u8path(File(name)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  bool Exists(const std::string& name) const {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::u8path(File(name)), ec);
  }
  // Names of the entries in the directory (without "." and "..").
  int CountEntries() const {
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(std::filesystem::u8path(path_), ec);
         !ec && it != std::filesystem::end(it); it.increment(ec)) {
      ++n;
    }
    return n;
  }

 private:
  std::string path_;
};
