// storedCfg.txt: white-space separated key/value token pairs on reading, a fixed
// line order with CR LF on writing.
#include "job/Logcfg.h"

#include <algorithm>
#include <climits>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

// White space as the C library's isspace() sees it in the "C" locale.
bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Buffered byte reader over an open file; remembers a read error.
class ByteReader {
 public:
  explicit ByteReader(InputFile& file) : file_(file) {}
  // Next byte, or -1 at the end of the file (or after a read error).
  int Get() {
    if (pos_ == len_) {
      if (eof_ || error_) return -1;
      size_t n = 0;
      if (file_.Read(buf_, sizeof buf_, &n) != 0) {
        error_ = true;
        return -1;
      }
      if (n == 0) {
        eof_ = true;
        return -1;
      }
      pos_ = 0;
      len_ = n;
    }
    return static_cast<unsigned char>(buf_[pos_++]);
  }
  void Unget() { --pos_; }  // only directly after a Get() that returned a byte
  bool Error() const { return error_; }

 private:
  InputFile& file_;
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

}  // namespace

StoredConfig::StoredConfig(const std::string& dataDir, const std::string& fileName)
    : filePath(JoinPath(dataDir, fileName)) {}

int StoredConfig::Load() {
  // Only a regular file is read: a pipe or device in its place is refused at once.
  InputFile file;
  if (file.Open(filePath) != 0) {
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
  continuous = false;
  scanSerial = false;
  serialPattern.clear();
  labelTemplate.clear();

  ByteReader r(file);
  int result = 0;
  while (SkipSpace(r)) {
    std::string key = ReadToken(r, kMaxKeyToken);
    std::string value;
    if (SkipSpace(r)) value = ReadToken(r, kLongField);

    if (key == "Vendor:") {
      vendor = Cut(value, kShortField);
    } else if (key == "Number:") {
      // A value that is not a positive number (judged as kept, cut to its field) fails
      // the load, but the rest of the file is still read and the value kept: the next
      // save writes back everything the file held, for the programs that use it.
      number = Cut(value, kShortField);
      if (ReadDecimal(number) <= 0) result = -1;
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
    } else if (key == kContinuousKey) {
      continuous = ReadDecimal(value) != 0;
    } else if (key == kScanSerialKey) {
      scanSerial = ReadDecimal(value) != 0;
    } else if (key == kSerialPatternKey) {
      serialPattern = Cut(value, kLongField);
    } else if (key == kLabelTemplateKey) {
      labelTemplate = Cut(value, kLongField);
    }
  }
  if (r.Error()) result = -1;
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
  if (continuous) text += std::string(kContinuousKey) + " 1\r\n";
  if (scanSerial) text += std::string(kScanSerialKey) + " 1\r\n";
  // One token or nothing: a value with white space would not read back as itself.
  auto tokenLine = [&](const char* key, const std::string& value) {
    const std::string v = Cut(value, kLongField);
    if (v.size() != value.size() || std::any_of(v.begin(), v.end(), [](char c) {
          return IsSpace(static_cast<unsigned char>(c));
        })) {
      return;
    }
    line(key, v, kLongField);
  };
  tokenLine(kSerialPatternKey, serialPattern);
  tokenLine(kLabelTemplateKey, labelTemplate);
  text += "Console: " + std::to_string(consoleBaudIndex) + "\r\n";
  return text;
}

int StoredConfig::Save() {
  const std::string text = Compose();
  // A new file beside the real one, synced and renamed over it: a failure at any
  // point leaves the old file as it was. A link is followed to the file it names.
  return ReplaceFile(filePath, text.data(), text.size());
}
