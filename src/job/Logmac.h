#pragma once
// The MAC address pool, storedMAC.txt in the data directory: the next address to
// hand out and the last address of the pool. Every address handed out is written
// back (and synced) before it is used.
#include <array>
#include <cstdint>
#include <string>

#ifndef PT_MAC_BLOCK_FIRST
#define PT_MAC_BLOCK_FIRST 271057
#endif
#ifndef PT_MAC_BLOCK_LAST
#define PT_MAC_BLOCK_LAST 271057
#endif

using MacAddress = std::array<uint8_t, 6>;

constexpr uint32_t MacBlockFirst = PT_MAC_BLOCK_FIRST;
constexpr uint32_t MacBlockLast = PT_MAC_BLOCK_LAST;

// Last three bytes as one big-endian 24-bit number.
inline uint32_t Low24(const MacAddress& a) {
  return (uint32_t{a[3]} << 16) | (uint32_t{a[4]} << 8) | uint32_t{a[5]};
}
// "HH:HH:HH:HH:HH:HH", upper-case hex.
std::string FormatMac(const MacAddress& a);

class MacPool {
 public:
  MacPool(const std::string& dataDir, const std::string& fileName);
  virtual ~MacPool();
  MacPool(const MacPool&) = delete;
  MacPool& operator=(const MacPool&) = delete;

  int Load();  // 0 or -1; on success the file stays open and locked until Close
  void Close();
  bool IsLoaded() const { return loaded_; }
  bool IsAvailable() const;
  bool GetRange(std::string* nextText, std::string* lastText) const;
  // 0, -1 (none left) or the errno of the write-back. address[0] == 0xFF: none.
  int TakeNext(MacAddress* address);
  // 0 addresses left, 1 used up (text := last address), -1 not usable.
  int GetAssignState(std::string* text) const;
  // "text" at 3i, 3i+1 hex digits for i = 0..5; 0 or -1.
  static int ParseMac(const char* text, size_t len, MacAddress* address);

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
