#pragma once
// The stored job configuration, storedCfg.txt in the data directory.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

// What the image files of a job may hold. An EEPROM image is 1024 bytes; like the
// editor, the job accepts files of 1 to 1152 bytes (the bytes a short file lacks are
// sent as zeros). A firmware image holds at least one byte and at most 16 MB.
constexpr uint64_t kMaxEepromImageSize = 1152;
constexpr uint64_t kMaxFirmwareImageSize = uint64_t{16} << 20;

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

  // 0: whole file read; -1: not opened, or a bad "Number:" value (the whole file is
  // read all the same, so a later Save loses nothing of it).
  int Load();
  // 0, or the system's error number. Writes a temporary file in the file's directory,
  // syncs it and renames it over the file, so the old file survives a failed save; the
  // file keeps its permissions, and a link is followed to the file it names.
  int Save();
  // The exact text Save writes: the non-empty fields in the fixed order, each cut to
  // its limit, then the "Console:" line; CR LF line ends. With fastDownload set, the
  // line "FastDownload: 1" comes just before the "Console:" line, and with continuous
  // set "Continuous: 1" after it: each one key and one value token, which a reader
  // that does not know the key skips as a pair. Then, before "Console:", the unit
  // identity choices the same way: "ScanSerial: 1" when set, "SerialPattern: <pattern>"
  // and "LabelTemplate: <path>" when not empty. A pattern or template path that would
  // not read back as itself (it holds white space or a zero byte, or is longer than
  // kLongField) is not written: read back, a cut pattern would be another pattern, a
  // cut path another file, and the rest of a value with a blank the next key. The job dialog
  // refuses such entries, so only a caller that set them itself meets this.
  std::string Compose() const;

  static constexpr const char* kFastDownloadKey = "FastDownload:";
  static constexpr const char* kContinuousKey = "Continuous:";
  static constexpr const char* kScanSerialKey = "ScanSerial:";
  static constexpr const char* kSerialPatternKey = "SerialPattern:";
  static constexpr const char* kLabelTemplateKey = "LabelTemplate:";

  std::string filePath;
  std::string vendor;
  std::string number;
  std::string serverIp;
  std::string loader;
  std::string eepromPath;
  std::string firmwarePath;
  int consoleBaudIndex = 0;
  // Downloads paced by the device's replies instead of a 200 ms pause per block.
  bool fastDownload = false;
  // Continuous production: every port runs the job once per unit inserted, on its own.
  bool continuous = false;
  // Unit identity: every unit's serial is scanned before its steps start, and must match
  // serialPattern (an ECMAScript regular expression; empty: any serial). Kept up to
  // kLongField characters, not cut to the dialog's shorter limit, so that a longer
  // pattern in the file is refused by the dialog's check rather than cut into another.
  bool scanSerial = false;
  std::string serialPattern;
  // The label template file of every passed unit (at most kLongField); empty: no label.
  std::string labelTemplate;

 private:
  std::function<void(const std::string&)> sink_;
};
