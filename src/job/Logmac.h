#pragma once
// The MAC address pool, storedMAC.txt in the data directory: the next address to
// hand out and the last address of the pool. Every address handed out is written
// back (and synced) before it is used.
#include <memory>
#include <string>

#include "base/MacPool.h"
#include "platform/Files.h"

class FileMacPool : public MacPool {
 public:
  // file: the file object the pool holds storedMAC.txt with (tests give one whose
  // writes fail); a plain LockedFile when none is given.
  FileMacPool(const std::string& dataDir, const std::string& fileName,
              std::unique_ptr<LockedFile> file = nullptr);
  ~FileMacPool() override;
  FileMacPool(const FileMacPool&) = delete;
  FileMacPool& operator=(const FileMacPool&) = delete;

  int Load() override;  // 0 or -1; on success the file stays open and locked until Close
  void Close() override;
  bool IsLoaded() const override { return loaded_; }
  bool IsAvailable() const override;
  bool GetRange(std::string* nextText, std::string* lastText) const override;
  // 0, -1 (none left) or the system's error number of the write-back.
  // address[0] == 0xFF: none.
  int TakeNext(MacAddress* address) override;
  int GetAssignState(std::string* text) const override;
  std::string Describe() const override { return filePath_; }

  const std::string& FilePath() const { return filePath_; }
  MacAddress nextAddress{};
  MacAddress lastAddress{};

 private:
  // Writes nextAddress's 18 bytes at offset 0 and syncs: 0 or the error number.
  int WriteBack();

  std::string filePath_;
  std::unique_ptr<LockedFile> file_;
  bool loaded_ = false;
};
