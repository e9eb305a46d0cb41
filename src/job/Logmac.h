#pragma once
// The MAC address pool, storedMAC.txt in the data directory: the next address to
// hand out and the last address of the pool. Every address handed out is written
// back (and synced) before it is used.
#include <string>

#include "base/MacPool.h"

class FileMacPool : public MacPool {
 public:
  FileMacPool(const std::string& dataDir, const std::string& fileName);
  ~FileMacPool() override;
  FileMacPool(const FileMacPool&) = delete;
  FileMacPool& operator=(const FileMacPool&) = delete;

  int Load() override;  // 0 or -1; on success the file stays open and locked until Close
  void Close() override;
  bool IsLoaded() const override { return loaded_; }
  bool IsAvailable() const override;
  bool GetRange(std::string* nextText, std::string* lastText) const override;
  // 0, -1 (none left) or the errno of the write-back. address[0] == 0xFF: none.
  int TakeNext(MacAddress* address) override;
  int GetAssignState(std::string* text) const override;
  std::string Describe() const override { return filePath_; }

  const std::string& FilePath() const { return filePath_; }
  MacAddress nextAddress{};
  MacAddress lastAddress{};

 protected:
  // Writes nextAddress's 18 bytes at offset 0 and syncs: 0 or the errno.
  virtual int WriteBack();

 private:
  std::string filePath_;
  int fd_ = -1;
  bool loaded_ = false;
};
