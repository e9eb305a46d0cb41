#pragma once
// A fresh directory under /tmp for one test, removed with its files afterwards.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/pt_job_XXXXXX";
    const char* p = mkdtemp(tmpl);
    path_ = p ? p : "/tmp";
  }
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

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
  bool Exists(const std::string& name) const {
    struct stat st {};
    return stat(File(name).c_str(), &st) == 0;
  }
  // Names of the entries in the directory (without "." and "..").
  int CountEntries() const {
    int n = 0;
    if (DIR* d = opendir(path_.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string s = e->d_name;
        if (s != "." && s != "..") ++n;
      }
      closedir(d);
    }
    return n;
  }

 private:
  static void RemoveTree(const std::string& p) {
    if (p == "/tmp") return;
    if (DIR* d = opendir(p.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string s = e->d_name;
        if (s == "." || s == "..") continue;
        std::string child = p + "/" + s;
        struct stat st {};
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          chmod(child.c_str(), 0755);
          RemoveTree(child);
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
