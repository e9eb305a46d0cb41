#pragma once
// The stored job configuration, storedCfg.txt in the data directory.
#include <functional>
#include <string>
#include <utility>

class StoredConfig {
 public:
  // Field limits (characters, without terminator). Longer tokens from the file are
  // consumed whole and cut to these limits; Save cuts longer fields the same way.
  static constexpr size_t kShortField = 31;  // vendor, number, serverIp
  static constexpr size_t kLongField = 255;  // loader, eepromPath, firmwarePath
  static constexpr size_t kMaxKeyToken = 63;

  // filePath := dataDir + "/" + fileName. Nothing is read here.
  StoredConfig(const std::string& dataDir, const std::string& fileName);

  // Where Load reports "fopen failed" (the main window's message log).
  void SetMessageSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

  // 0: whole file read; -1: not opened, or a bad "Number:" value.
  int Load();
  // 0, or the system's error number. Writes a temporary file in the file's directory,
  // syncs it and renames it over the file, so the old file survives a failed save; the
  // file keeps its permissions, and a link is followed to the file it names.
  int Save();
  // The exact text Save writes: the non-empty fields in the fixed order, each cut to
  // its limit, then the "Console:" line; CR LF line ends.
  std::string Compose() const;

  std::string filePath;
  std::string vendor;
  std::string number;
  std::string serverIp;
  std::string loader;
  std::string eepromPath;
  std::string firmwarePath;
  int consoleBaudIndex = 0;

 private:
  std::function<void(const std::string&)> sink_;
};
