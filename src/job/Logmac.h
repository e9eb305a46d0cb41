#pragma once
// The MAC address pool, storedMAC.txt in the data directory: the next address to
// hand out and the last address of the pool. Every address handed out is written
// back (and synced) before it is used.
#include <functional>
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

  // The result of TakeNext when the pool's path no longer names the file held.
  static constexpr int kReplaced = -2;

  // Where TakeNext tells the operator that the file was replaced (the message log).
  void SetMessageSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

  int Load() override;  // 0 or -1; on success the file stays open and locked until Close
  void Close() override;
  bool IsLoaded() const override { return loaded_; }
  bool IsAvailable() const override;
  bool GetRange(std::string* nextText, std::string* lastText) const override;
  // 0, -1 (none left), kReplaced or the system's error number of the write-back.
  // address[0] == 0xFF: none. Before anything is handed out, the path must still name
  // the very file loaded and held: a file replaced (an editor's or "sed -i"'s rename)
  // or removed since fails with kReplaced, tells the operator once, and unloads the
  // pool, so that the next job set-up loads the file now there.
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
  std::function<void(const std::string&)> sink_;
  bool loaded_ = false;
  bool replaced_ = false;  // found replaced since the last Load
};
