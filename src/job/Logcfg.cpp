// storedCfg.txt: white-space separated key/value token pairs on reading, a fixed
// line order with CR LF on writing.
#include "job/Logcfg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/Paths.h"

namespace {

// White space as the C library's isspace() sees it in the "C" locale.
bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Buffered byte reader over a file descriptor; remembers a read error.
class ByteReader {
 public:
  explicit ByteReader(int fd) : fd_(fd) {}
  // Next byte, or -1 at the end of the file (or after a read error).
  int Get() {
    if (pos_ == len_) {
      if (eof_ || error_) return -1;
      ssize_t n;
      do {
        n = read(fd_, buf_, sizeof buf_);
      } while (n < 0 && errno == EINTR);
      if (n < 0) {
        error_ = true;
        return -1;
      }
      if (n == 0) {
        eof_ = true;
        return -1;
      }
      pos_ = 0;
      len_ = static_cast<size_t>(n);
    }
    return static_cast<unsigned char>(buf_[pos_++]);
  }
  void Unget() { --pos_; }  // only directly after a Get() that returned a byte
  bool Error() const { return error_; }

 private:
  int fd_;
  char buf_[4096];
  size_t pos_ = 0, len_ = 0;
  bool eof_ = false, error_ = false;
};

// Skips white space; false at the end of the file.
bool SkipSpace(ByteReader& r) {
  for (;;) {
    int c = r.Get();
    if (c < 0) return false;
    if (!IsSpace(c)) {
      r.Unget();
      return true;
    }
  }
}

// Reads one token (up to the next white space or the end of the file). The whole
// token is consumed, so an overlong token never spills into the next one; only its
// first `limit` characters are kept, and a zero byte ends the kept text (the
// fields are zero-terminated texts).
std::string ReadToken(ByteReader& r, size_t limit) {
  std::string out;
  bool ended = false;
  for (;;) {
    int c = r.Get();
    if (c < 0) break;
    if (IsSpace(c)) {
      r.Unget();
      break;
    }
    if (c == 0) ended = true;
    if (!ended && out.size() < limit) out.push_back(static_cast<char>(c));
  }
  return out;
}

// Decimal number as the C library reads it: leading white space, optional sign,
// digits up to the first non-digit; no digits gives 0. Saturates instead of
// overflowing.
long long ReadDecimal(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && IsSpace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (v < LLONG_MAX / 10) v = v * 10 + (s[i] - '0');
  }
  return negative ? -v : v;
}

int ClampToInt(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

std::string Cut(const std::string& s, size_t limit) {
  std::string out = s.substr(0, std::min(limit, s.size()));
  size_t z = out.find('\0');
  if (z != std::string::npos) out.resize(z);
  return out;
}

int WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

}  // namespace

StoredConfig::StoredConfig(const std::string& dataDir, const std::string& fileName)
    : filePath(JoinPath(dataDir, fileName)) {}

int StoredConfig::Load() {
  // O_NONBLOCK: a pipe or device in the file's place must not block the open.
  int fd = open(filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    if (sink_) sink_("fopen failed");
    return -1;
  }

  vendor.clear();
  number.clear();
  serverIp.clear();
  loader.clear();
  eepromPath.clear();
  firmwarePath.clear();
  consoleBaudIndex = 0;
  fastDownload = false;

  ByteReader r(fd);
  int result = 0;
  while (SkipSpace(r)) {
    std::string key = ReadToken(r, kMaxKeyToken);
    std::string value;
    if (SkipSpace(r)) value = ReadToken(r, kLongField);

    if (key == "Vendor:") {
      vendor = Cut(value, kShortField);
    } else if (key == "Number:") {
      // The rule holds for the value as kept: a number cut to its field must still
      // be positive, or the next save would write a file that no longer loads.
      const std::string kept = Cut(value, kShortField);
      if (ReadDecimal(kept) <= 0) {
        result = -1;
        break;
      }
      number = kept;
    } else if (key == "ServerIP:") {
      serverIp = Cut(value, kShortField);
    } else if (key == "Loader:") {
      loader = Cut(value, kLongField);
    } else if (key == "EEPROM:") {
      eepromPath = Cut(value, kLongField);
    } else if (key == "Firmware:") {
      firmwarePath = Cut(value, kLongField);
    } else if (key == "Console:") {
      consoleBaudIndex = ClampToInt(ReadDecimal(value));
    } else if (key == kFastDownloadKey) {
      fastDownload = ReadDecimal(value) != 0;
    }
  }
  if (r.Error()) result = -1;
  close(fd);
  return result;
}

std::string StoredConfig::Compose() const {
  std::string text;
  auto line = [&text](const char* key, const std::string& value, size_t limit) {
    std::string v = Cut(value, limit);
    if (v.empty()) return;
    text += key;
    text += ' ';
    text += v;
    text += "\r\n";
  };
  line("Vendor:", vendor, kShortField);
  line("Number:", number, kShortField);
  line("ServerIP:", serverIp, kShortField);
  line("Loader:", loader, kLongField);
  line("EEPROM:", eepromPath, kLongField);
  line("Firmware:", firmwarePath, kLongField);
  if (fastDownload) text += std::string(kFastDownloadKey) + " 1\r\n";
  text += "Console: " + std::to_string(consoleBaudIndex) + "\r\n";
  return text;
}

int StoredConfig::Save() {
  const std::string text = Compose();

  // Write a temporary file next to the real one, sync it, then rename it over the
  // real one: a failure at any point leaves the old file as it was.
  std::vector<char> tmpl(filePath.begin(), filePath.end());
  const char suffix[] = ".XXXXXX";
  tmpl.insert(tmpl.end(), suffix, suffix + sizeof suffix);  // includes the terminator
  int fd = mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return errno ? errno : EIO;
  const std::string tmpPath(tmpl.data());

  // Keep the permissions of the file being replaced; a new file gets rw-r--r--.
  struct stat st {};
  mode_t mode = (stat(filePath.c_str(), &st) == 0) ? (st.st_mode & 07777) : 0644;

  int err = WriteAll(fd, text.data(), text.size());
  if (err == 0 && fchmod(fd, mode) != 0) err = errno;
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(tmpPath.c_str(), filePath.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(tmpPath.c_str());
    return err;
  }

  // Make the rename itself durable.
  std::string dir = filePath.substr(0, filePath.find_last_of('/') + 1);
  if (dir.empty()) dir = ".";
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}
