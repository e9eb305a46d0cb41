#include "eeprom/EepromImage.h"

#include <algorithm>
#include <cstring>

#include "eeprom/EepromChecks.h"
#include "platform/Files.h"

using namespace eeprom_layout;

namespace {

constexpr char kNotRecognized[] = "File can't be recognized.";

// Fixed bytes of every record (offset, value).
struct TemplateByte {
  size_t offset;
  uint8_t value;
};
constexpr TemplateByte kTemplate[] = {
    {0, 0x21},  {1, 0xBC},  {4, 0x30},  {12, 0xF2}, {13, 0x05}, {14, 0x10}, {15, 0xE0}, {16, 0x1D},
    {17, 0x19}, {18, 0x87}, {20, 0xFF}, {21, 0xFF}, {22, 0xFF}, {23, 0xFF}, {24, 0x10}, {33, 0x04},
};
// 02:A7:61:FF:FF:FF, last byte first.
constexpr uint8_t kMacTemplate[6] = {0xFF, 0xFF, 0xFF, 0x61, 0xA7, 0x02};

void PutText(uint8_t* dst, size_t width, const std::string& text) {
  size_t n = std::min(width, text.size());
  std::memcpy(dst, text.data(), n);
  // the rest of the field is already zero
}

std::string GetText(const uint8_t* src, size_t width) {
  size_t n = 0;
  while (n < width && src[n] != 0) n++;
  return std::string(reinterpret_cast<const char*>(src), n);
}

// Last octet first: a.b.c.d is stored d c b a.
void PutReversed(uint8_t* dst, uint32_t v) {
  dst[0] = static_cast<uint8_t>(v);
  dst[1] = static_cast<uint8_t>(v >> 8);
  dst[2] = static_cast<uint8_t>(v >> 16);
  dst[3] = static_cast<uint8_t>(v >> 24);
}
uint32_t GetReversed(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) | static_cast<uint32_t>(src[1]) << 8 |
         static_cast<uint32_t>(src[2]) << 16 | static_cast<uint32_t>(src[3]) << 24;
}
// First octet first: a.b.c.d is stored a b c d.
void PutForward(uint8_t* dst, uint32_t v) {
  dst[0] = static_cast<uint8_t>(v >> 24);
  dst[1] = static_cast<uint8_t>(v >> 16);
  dst[2] = static_cast<uint8_t>(v >> 8);
  dst[3] = static_cast<uint8_t>(v);
}
uint32_t GetForward(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) << 24 | static_cast<uint32_t>(src[1]) << 16 |
         static_cast<uint32_t>(src[2]) << 8 | static_cast<uint32_t>(src[3]);
}

}  // namespace

EepromImage::EepromImage(MessageBoxes& boxes) : boxes_(boxes) {}

int EepromImage::LoadImageFile(const std::string& path) {
  InputFile file;
  openError_ = file.Open(path);
  if (openError_ != 0) return -1;
  if (file.Size() > kMaxFileSize) {
    ShowError(boxes_, kNotRecognized);
    return -2;
  }
  buf_.fill(0);
  std::string data;
  // The file may have grown since its size was taken: never more than the buffer.
  if (file.ReadAll(kMaxFileSize, &data) != 0 || data.empty()) {
    ShowError(boxes_, kNotRecognized);
    return -4;
  }
  std::memcpy(buf_.data(), data.data(), data.size());
  return 0;
}

int EepromImage::LoadImageBytes(const uint8_t* data, long long size) {
  if (size > static_cast<long long>(kMaxFileSize)) {
    ShowError(boxes_, kNotRecognized);
    return -2;
  }
  buf_.fill(0);
  if (size <= 0 || data == nullptr) {
    ShowError(boxes_, kNotRecognized);
    return -4;
  }
  std::memcpy(buf_.data(), data, static_cast<size_t>(size));
  return 0;
}

void EepromImage::BuildImage(const EepromFields& fields, unsigned groups) {
  buf_.fill(0);
  uint8_t* rec[2] = {buf_.data() + kCustomRecord, buf_.data() + kDefaultRecord};
  const EepromRecord* val[2] = {&fields.custom, &fields.defaults};
  for (uint8_t* r : rec)
    for (const TemplateByte& t : kTemplate) r[t.offset] = t.value;

  if (groups & kGroupSysInfo) {
    for (int i = 0; i < 2; i++) PutText(rec[i] + kDeviceName, kDeviceNameSize, val[i]->deviceName);
    for (int i = 0; i < 2; i++) {
      // The whole text and one zero byte (already there).
      PutText(rec[i] + kModelName, kModelNameWriteSize, val[i]->modelName);
    }
    for (uint8_t* r : rec) std::memcpy(r + kMacAddress, kMacTemplate, sizeof kMacTemplate);
    for (int i = 0; i < 2; i++) PutText(rec[i] + kPassword, kPasswordSize, val[i]->password);
  }
  if (groups & kGroupNetwork) {
    for (int i = 0; i < 2; i++) {
      int cfg = val[i]->ipConfig;
      rec[i][kIpConfig] = (cfg == 0 || cfg == 1) ? static_cast<uint8_t>(cfg) : 0xFF;
      PutReversed(rec[i] + kIpAddress, val[i]->ipAddress);
      PutReversed(rec[i] + kNetMask, val[i]->netMask);
      PutForward(rec[i] + kGateway, val[i]->gateway);
      rec[i][kPingConfig] = val[i]->pingConfig ? 1 : 0;
    }
  }
  if (groups & kGroupOperation) {
    for (int i = 0; i < 2; i++) {
      uint16_t port = TcpPortValue(val[i]->tcpListenPort);
      rec[i][kTcpListenPort] = static_cast<uint8_t>(port >> 8);
      rec[i][kTcpListenPort + 1] = static_cast<uint8_t>(port);
    }
  }
}

int EepromImage::SaveImageFile(const std::string& path, const EepromFields& fields, unsigned groups,
                               const std::string& permissionsFrom) {
  BuildImage(fields, groups);
  bool failedWriting = false;
  if (ReplaceFile(path, buf_.data(), kFileSize, permissionsFrom, &failedWriting) != 0) {
    ShowError(boxes_, failedWriting ? "write eeprom failed" : "create file failed");
    return -1;
  }
  return 0;
}

EepromRecord EepromImage::DecodeRecord(const uint8_t* r) {
  EepromRecord rec;
  rec.deviceName = GetText(r + kDeviceName, kDeviceNameSize);
  rec.modelName = GetText(r + kModelName, kModelNameReadSize);
  rec.password = GetText(r + kPassword, kPasswordSize);
  uint8_t cfg = r[kIpConfig];
  rec.ipConfig = (cfg == 0 || cfg == 1) ? cfg : -1;
  rec.ipAddress = GetReversed(r + kIpAddress);
  rec.netMask = GetReversed(r + kNetMask);
  rec.gateway = GetForward(r + kGateway);
  rec.pingConfig = r[kPingConfig] == 1;
  rec.tcpListenPort = std::to_string(r[kTcpListenPort] * 256 + r[kTcpListenPort + 1]);
  return rec;
}

bool EepromImage::ModelNameCut(bool custom) const {
  const uint8_t* name = buf_.data() + (custom ? kCustomRecord : kDefaultRecord) + kModelName;
  return GetText(name, kModelNameReadSize).size() == kModelNameReadSize &&
         name[kModelNameReadSize] != 0;
}

std::string ModelNameCutNote(bool customCut, bool defaultCut) {
  if (!customCut && !defaultCut) return "";
  const char* records = customCut && defaultCut ? "Custom settings and Default settings"
                        : customCut             ? "Custom settings"
                                                : "Default settings";
  return std::string("Model Name of ") + records + " cut to " +
         std::to_string(kModelNameReadSize) + " characters";
}

EepromFields EepromImage::Decode() const {
  EepromFields f;
  f.custom = DecodeRecord(buf_.data() + kCustomRecord);
  f.defaults = DecodeRecord(buf_.data() + kDefaultRecord);
  return f;
}

bool ImageTextFromUtf8(const std::string& utf8, std::string* bytes, std::string* refused) {
  bytes->clear();
  refused->clear();
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    size_t len = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > utf8.size()) return false;
    uint32_t cp = len == 1 ? lead : lead & (0x7Fu >> len);
    for (size_t k = 1; k < len; k++) {
      const auto cont = static_cast<unsigned char>(utf8[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cont & 0x3Fu);
    }
    // Overlong forms are not UTF-8.
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp > 0xFF) {
      *refused = utf8.substr(i, len);
      return false;
    }
    bytes->push_back(static_cast<char>(cp));
    i += len;
  }
  return true;
}

std::string ImageTextToUtf8(const std::string& bytes) {
  std::string out;
  for (unsigned char ch : bytes) {
    if (ch < 0x80) {
      out += static_cast<char>(ch);
    } else {
      out += static_cast<char>(0xC0 | ch >> 6);
      out += static_cast<char>(0x80 | (ch & 0x3F));
    }
  }
  return out;
}

std::string FormatIpAddress(uint32_t v) {
  return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." +
         std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}

bool ParseIpAddress(const std::string& text, uint32_t* value) {
  uint32_t result = 0;
  size_t pos = 0;
  for (int field = 0; field < 4; field++) {
    unsigned v = 0;
    int digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++digits > 3) return false;
      v = v * 10 + static_cast<unsigned>(text[pos] - '0');
      pos++;
    }
    if (v > 255) return false;
    result = result << 8 | v;
    if (field < 3) {
      if (pos >= text.size() || text[pos] != '.') return false;
      pos++;
    }
  }
  if (pos != text.size()) return false;
  *value = result;
  return true;
}

uint16_t TcpPortValue(const std::string& text) {
  long long v = 0;
  if (text.empty() || !ConvertInteger(text, &v)) return 0;
  return static_cast<uint16_t>(static_cast<unsigned long long>(v) & 0xFFFF);
}
