// storedMAC.txt: "HH:HH:HH:HH:HH:HH" next address at byte 0, the last address at
// byte 19, 36 to 38 bytes in all. The file stays open and exclusively locked while
// the pool is loaded; each address handed out is written back and synced first.
#include "job/Logmac.h"

#include <cstdio>
#include <cstring>

#include "platform/Paths.h"

namespace {

constexpr MacAddress kUnset{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr size_t kMinFileSize = 36;
constexpr size_t kMaxFileSize = 38;
constexpr size_t kLastAddressOffset = 19;
constexpr size_t kWriteBackSize = 18;

}  // namespace

FileMacPool::FileMacPool(const std::string& dataDir, const std::string& fileName,
                         std::unique_ptr<LockedFile> file)
    : nextAddress(kUnset),
      lastAddress(kUnset),
      filePath_(JoinPath(dataDir, fileName)),
      file_(file ? std::move(file) : std::make_unique<LockedFile>()) {}

FileMacPool::~FileMacPool() {
  Close();
}

void FileMacPool::Close() {
  file_->Close();  // also releases the lock
  loaded_ = false;
}

int FileMacPool::Load() {
  Close();  // a pool is loaded once; loading again starts from a closed file
  replaced_ = false;
  nextAddress = kUnset;
  lastAddress = kUnset;

  // Only a regular file is a pool (a pipe or device in its place could block or never
  // end), and it is not shared: a second station or program holding the pool makes
  // this load fail.
  if (file_->Open(filePath_) != 0) return -1;

  char buf[1025];
  size_t got = 0;
  bool failed = false;
  while (got < 1024) {
    size_t n = 0;
    if (file_->ReadAt(got, buf + got, 1024 - got, &n) != 0) {
      failed = true;
      break;
    }
    if (n == 0) break;
    got += n;
  }
  if (failed || got < kMinFileSize || got > kMaxFileSize) {
    file_->Close();
    return -1;
  }
  buf[got] = '\0';

  // Without the vendor prefix's first group the pool is loaded but empty.
  if (std::strstr(buf, "02:") == nullptr) {
    loaded_ = true;
    return 0;
  }
  if (MacPool::ParseMac(buf, got, &nextAddress) != 0 ||
      MacPool::ParseMac(buf + kLastAddressOffset, got - kLastAddressOffset, &lastAddress) != 0) {
    nextAddress = kUnset;
    lastAddress = kUnset;
    Close();
    return -1;
  }
  loaded_ = true;
  return 0;
}

bool FileMacPool::IsAvailable() const {
  if (nextAddress[0] == 0xFF || lastAddress[0] == 0xFF) return false;
  uint32_t a = Low24(nextAddress);
  uint32_t b = Low24(lastAddress);
  if (a < MacBlockFirst || a > MacBlockLast) return false;
  if (b < MacBlockFirst || b > MacBlockLast) return false;
  return b >= a;
}

bool FileMacPool::GetRange(std::string* nextText, std::string* lastText) const {
  if (!IsAvailable()) return false;
  if (nextText) *nextText = FormatMac(nextAddress);
  if (lastText) *lastText = FormatMac(lastAddress);
  return true;
}

int FileMacPool::TakeNext(MacAddress* address) {
  (*address)[0] = 0xFF;
  if (replaced_) return kReplaced;
  // The lock holds only the file that was opened: another program may have renamed a
  // new file into its place (and a second station may now hand out the same addresses
  // from it), or removed it. Writing back into a file no one reads again would hand
  // out its addresses a second time.
  if (file_->IsOpen() && !file_->IsStillAt(filePath_)) {
    Close();
    nextAddress = kUnset;
    lastAddress = kUnset;
    replaced_ = true;
    if (sink_) {
      const size_t slash = filePath_.find_last_of('/');
      const std::string name = slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
      sink_(name +
            " was replaced while in use: no address was taken. Set up the job again "
            "with Select Files.");
    }
    return kReplaced;
  }
  if (!IsAvailable()) return -1;
  *address = nextAddress;
  uint32_t n = (Low24(nextAddress) + 1) & 0xFFFFFFu;
  nextAddress[3] = static_cast<uint8_t>(n >> 16);
  nextAddress[4] = static_cast<uint8_t>(n >> 8);
  nextAddress[5] = static_cast<uint8_t>(n);
  int e = WriteBack();
  if (e != 0) {
    (*address)[0] = 0xFF;  // not durable: hand out nothing (memory stays advanced)
    return e;
  }
  return 0;
}

int FileMacPool::WriteBack() {
  char buf[kWriteBackSize + 1];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X:", nextAddress[0], nextAddress[1],
                nextAddress[2], nextAddress[3], nextAddress[4], nextAddress[5]);
  buf[kWriteBackSize - 1] = '\0';  // the final colon becomes a zero byte
  if (const int e = file_->WriteAt(0, buf, kWriteBackSize)) return e;
  // The address counts as handed out only once the advanced pool is on disk.
  return file_->Sync();
}

int FileMacPool::GetAssignState(std::string* text) const {
  if (nextAddress[0] == 0xFF || lastAddress[0] == 0xFF) return -1;
  uint32_t a = Low24(nextAddress);
  uint32_t b = Low24(lastAddress);
  if (a < MacBlockFirst) return -1;
  if (b < MacBlockFirst || b > MacBlockLast) return -1;
  if (b >= a) return 0;
  if (a == b + 1) {
    if (text) *text = FormatMac(lastAddress);
    return 1;
  }
  return -1;
}
