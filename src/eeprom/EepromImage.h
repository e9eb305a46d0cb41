#pragma once
// The EEPROM configuration image (".vef"): 1024 bytes on disk, a custom settings
// record at offset 0 and a default settings record at offset 256, both with one
// layout. EepromImage holds the 2048-byte working buffer and reads, builds and writes
// image files; EepromFields holds the values the operator edits, as the editor's
// controls show them. No window toolkit here: the editor window and eeprom-tool share
// this code.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/MessageBoxes.h"

// The editable values of one settings record. The initial values are the editor's
// built-in settings.
struct EepromRecord {
  std::string deviceName = "SX-4210QB";  // at most 16 bytes
  std::string modelName = "SX-4210QB";   // at most 16 bytes written, 14 read
  std::string password;                  // at most 8 bytes
  int ipConfig = 0;                      // 0 "Static", 1 "DHCP", -1 nothing selected
  uint32_t ipAddress = 0xC0A8C0A8u;      // a.b.c.d with a in the most significant byte
  uint32_t netMask = 0xFFFFFF00u;
  uint32_t gateway = 0;
  bool pingConfig = false;
  std::string tcpListenPort = "9100";  // the text of the port edit
  bool operator==(const EepromRecord&) const = default;
};

struct EepromFields {
  EepromRecord custom;
  EepromRecord defaults;
  bool operator==(const EepromFields&) const = default;
};

// The field groups, one per editor tab; a group is written only while its tab shows.
enum EepromGroup : unsigned {
  kGroupSysInfo = 1,    // names, passwords, MAC template
  kGroupNetwork = 2,    // ipConfig, addresses, pingConfig
  kGroupOperation = 4,  // tcpListenPort
  kGroupAll = 7,
};

// Field offsets within a record.
namespace eeprom_layout {
constexpr size_t kRecordSize = 256;
constexpr size_t kCustomRecord = 0;
constexpr size_t kDefaultRecord = 256;
constexpr size_t kMacAddress = 6;
constexpr size_t kIpAddress = 25;
constexpr size_t kNetMask = 29;
constexpr size_t kDeviceName = 128;
constexpr size_t kDeviceNameSize = 16;
constexpr size_t kTcpListenPort = 144;
constexpr size_t kGateway = 146;
constexpr size_t kIpConfig = 150;
constexpr size_t kPingConfig = 151;
constexpr size_t kPassword = 154;
constexpr size_t kPasswordSize = 8;
constexpr size_t kModelName = 162;
constexpr size_t kModelNameReadSize = 14;
constexpr size_t kModelNameWriteSize = 16;  // plus one zero byte
}  // namespace eeprom_layout

class EepromImage {
 public:
  static constexpr size_t kBufferSize = 2048;
  static constexpr size_t kFileSize = 1024;     // every written image
  static constexpr size_t kMaxFileSize = 1152;  // largest file accepted on reading

  // boxes: where "File can't be recognized." and the save failures are shown.
  explicit EepromImage(MessageBoxes& boxes);

  // Reads a file into the buffer. 0; -1 not opened, or not a regular file (nothing
  // shown, buffer unchanged; OpenError() tells why); -2 larger than kMaxFileSize
  // (buffer unchanged); -4 empty or unreadable (buffer zero).
  int LoadImageFile(const std::string& path);
  // The system's error number of the last LoadImageFile that could not open its file.
  int OpenError() const { return openError_; }
  // The same size rules for bytes already in memory (size -1 stands for a read error).
  int LoadImageBytes(const uint8_t* data, long long size);

  // Zeroes the buffer and writes the record template and the given groups of fields.
  void BuildImage(const EepromFields& fields, unsigned groups = kGroupAll);

  // Builds the image and replaces the file with its first 1024 bytes. 0 or -1. The new
  // image goes to a temporary file in the target's directory that is then renamed over
  // the target, so a failed save leaves an existing file as it was. A replaced file
  // keeps its permissions; a new one takes those of permissionsFrom when given (the
  // image it was edited from).
  int SaveImageFile(const std::string& path, const EepromFields& fields,
                    unsigned groups = kGroupAll, const std::string& permissionsFrom = {});

  // The fields of the buffer as the editor shows them.
  EepromFields Decode() const;
  static EepromRecord DecodeRecord(const uint8_t* record);
  // True when the record's model name goes on past the 14 bytes that are read (an image
  // written with a 15- or 16-character model name): decoding cuts it.
  bool ModelNameCut(bool custom) const;

  const std::array<uint8_t, kBufferSize>& buffer() const { return buf_; }

 private:
  MessageBoxes& boxes_;
  std::array<uint8_t, kBufferSize> buf_{};
  int openError_ = 0;
};

// What a load that cut model names tells the engineer: "" when neither was cut, else
// "Model Name of Custom settings cut to 14 characters" (or of Default settings, or of
// both).
std::string ModelNameCutNote(bool customCut, bool defaultCut);

// The image's texts are single-byte characters, shown as Latin-1 (as the editor shows
// them). The image bytes of a UTF-8 text: false when the text is not UTF-8, with
// *refused empty, or holds a character Latin-1 has not, with *refused that character
// (in UTF-8).
bool ImageTextFromUtf8(const std::string& utf8, std::string* bytes, std::string* refused);
// The UTF-8 text of image bytes.
std::string ImageTextToUtf8(const std::string& bytes);

// "a.b.c.d" of a 32-bit address value (a most significant).
std::string FormatIpAddress(uint32_t value);
// Parses "a.b.c.d" (four fields 0..255, a blank field counts as 0). False on bad text.
bool ParseIpAddress(const std::string& text, uint32_t* value);
// The port edit's text as BuildImage stores it: empty is 0, otherwise the integer value
// (the editor's own conversion, so a text its check accepted saves as that value); text
// that does not convert saves as 0. Only the low 16 bits are stored.
uint16_t TcpPortValue(const std::string& text);
