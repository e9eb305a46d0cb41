#pragma once
// A fresh directory of its own in the system's temporary directory, for one test; the
// same on POSIX systems and on Windows.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

// Makes the directory "pt_<tag>_<unique>" and returns its UTF-8 path ("" on failure).
inline std::string MakeScratchDir(const char* tag) {
  namespace fs = std::filesystem;
  static std::atomic<unsigned> counter{0};
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) return std::string();
  const auto now =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = std::string("pt_") + tag + "_" + std::to_string(now % 1000003) + "_" +
                             std::to_string(counter.fetch_add(1));
    const fs::path dir = base / name;
    if (fs::create_directory(dir, ec)) {
      const auto u8 = dir.u8string();
      return std::string(u8.begin(), u8.end());
    }
  }
  return std::string();
}

// Removes the directory and everything in it, read-only parts included.
inline void RemoveScratchDir(const std::string& path) {
  namespace fs = std::filesystem;
  if (path.empty()) return;
  std::error_code ec;
  const fs::path root = fs::u8path(path);
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(root, ec);
}

// Renames from over to, replacing a file there (as rename does on POSIX systems; the C
// library's rename on Windows refuses an existing target). 0, or -1.
inline int RenameOver(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::rename(std::filesystem::u8path(from), std::filesystem::u8path(to), ec);
  return ec ? -1 : 0;
}
