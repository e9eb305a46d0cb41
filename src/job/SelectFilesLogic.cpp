#include "job/SelectFilesLogic.h"

#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <utility>

#include "base/Hex.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

// "0x" followed by the two characters, converted as a hexadecimal number.
int32_t ConvertHexGroup(const std::string& group) {
  int hi = group.size() == 2 ? HexDigitValue(group[0]) : -1;
  int lo = group.size() == 2 ? HexDigitValue(group[1]) : -1;
  if (hi < 0 || lo < 0) throw ConvertError("'0x" + group + "' is not a valid integer value");
  return hi * 16 + lo;
}

bool EndsWith(const std::string& s, const char* ending) {
  std::string e(ending);
  return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

}  // namespace

SelectFilesLogic::SelectFilesLogic(JobState& job, StoredConfig& cfg, MacPool& pool,
                                   MessageBoxes& boxes,
                                   std::function<void(const std::string&)> showException)
    : job_(job), cfg_(cfg), pool_(pool), boxes_(boxes), showException_(std::move(showException)) {}

void SelectFilesLogic::Error(const std::string& text, BoxIcon icon) {
  ShowError(boxes_, text, icon);
}

int32_t SelectFilesLogic::MacTextValue(const std::string& text) {
  std::string padded = text;
  if (padded.size() < 8) padded.resize(8, ' ');
  return (ConvertHexGroup(padded.substr(0, 2)) << 16) |
         (ConvertHexGroup(padded.substr(3, 2)) << 8) | ConvertHexGroup(padded.substr(6, 2));
}

void SelectFilesLogic::SetMacEditText(const std::string& text) {
  std::string out = kEmptyMacText;
  static constexpr size_t kDigitPos[6] = {0, 1, 3, 4, 6, 7};
  size_t d = 0;
  for (size_t i = 0; i < text.size() && d < 6; ++i) {
    char c = text[i];
    if (c == ':') continue;
    if (HexDigitValue(c) >= 0)
      out[kDigitPos[d]] = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c;
    ++d;
  }
  MaskEdit_MAC.text = out;
}

void SelectFilesLogic::FormShow() {
  package_ = source_ ? source_() : JobDialogPackage{};
  if (package_.shown && package_.config) {
    // A package's job: shown as it is, and the job state is left alone (it is the job).
    const StoredConfig& c = *package_.config;
    eeprom_path.text = c.eepromPath;
    firmware_path.text = c.firmwarePath;
    console_CmbBox_index = (c.consoleBaudIndex >= 0 && c.consoleBaudIndex <= 2) ? c.consoleBaudIndex : -1;
    ChkBox_fastDL.checked = c.fastDownload;
    ChkBox_continuous.checked = c.continuous;
    ChkBox_scanSerial.checked = c.scanSerial;
    serial_pattern.text = c.serialPattern;
    label_template.text = c.labelTemplate;
    ChkBox_EE.checked = (job_.jobFlags & kJobEeprom) != 0;
    ChkBox_FW.checked = (job_.jobFlags & kJobFirmware) != 0;
    ChkBox_Ltest.checked = job_.loopbackTest == 1;
    ChkBox_pMAC.checked = job_.programMac;
    ChkBox_assign_mac.checked = job_.assignMac;
    CkBox_logfile.checked = job_.logEnabled;
    log_path.text = job_.logDirectory;
    for (CheckBoxState* b : {&ChkBox_pMAC, &ChkBox_assign_mac, &ChkBox_EE, &ChkBox_FW, &ChkBox_fastDL,
                             &ChkBox_continuous, &ChkBox_Ltest, &CkBox_logfile, &ChkBox_scanSerial}) {
      b->enabled = false;
    }
    for (EditState* e : {&MaskEdit_MAC, &eeprom_path, &firmware_path, &log_path, &serial_pattern,
                         &label_template}) {
      e->enabled = false;
    }
    UpDown_mac_enabled = false;
    dialogOutcome = 2;
    showedPackage_ = true;
    return;
  }
  if (showedPackage_) {
    // Back to the dialog's own job: the controls as a new dialog has them.
    showedPackage_ = false;
    ChkBox_pMAC = CheckBoxState{};
    ChkBox_assign_mac = CheckBoxState{false, false};
    MaskEdit_MAC = EditState{kEmptyMacText, false};
    for (CheckBoxState* b : {&ChkBox_EE, &ChkBox_FW, &ChkBox_fastDL, &ChkBox_continuous,
                             &CkBox_logfile, &ChkBox_scanSerial}) {
      *b = CheckBoxState{};
    }
    ChkBox_Ltest = CheckBoxState{true, true};
    label_template.enabled = true;
  }
  if (cfg_.Load() == 0) {
    eeprom_path.text = cfg_.eepromPath;
    firmware_path.text = cfg_.firmwarePath;
    int idx = cfg_.consoleBaudIndex;
    console_CmbBox_index = (idx >= 0 && idx <= 2) ? idx : -1;
    ChkBox_fastDL.checked = cfg_.fastDownload;
    ChkBox_continuous.checked = cfg_.continuous;
    ChkBox_scanSerial.checked = cfg_.scanSerial;
    serial_pattern.text = cfg_.serialPattern;
    label_template.text = cfg_.labelTemplate;
  }
  serial_pattern.enabled = ChkBox_scanSerial.checked;
  CkBox_logfile.checked = false;
  log_path.enabled = false;
  ChkBox_EE.checked = !eeprom_path.text.empty();
  eeprom_path.enabled = ChkBox_EE.checked;
  ChkBox_FW.checked = !firmware_path.text.empty();
  firmware_path.enabled = ChkBox_FW.checked;
  dialogOutcome = 2;
  job_.jobFlags = 0;
  RefreshAssignRange();
  ShowAssignMac(assignCurrent);
}

void SelectFilesLogic::RefreshAssignRange() {
  assignLow = assignHigh = assignCurrent = 0;
  std::string text, second;
  int s = 0;
  {
    std::lock_guard<std::mutex> lock(pool_.Mutex());
    s = pool_.GetAssignState(&text);
    if (s == 0) pool_.GetRange(&text, &second);
  }
  macAvailable = s >= 0;
  if (!macAvailable || text.size() < 17) return;
  assignLow = static_cast<int32_t>(MacBlockFirst);
  assignHigh = MacTextValue(text.substr(9));
  if (assignHigh == static_cast<int32_t>(MacBlockFirst)) {
    assignLow = 0;
    assignHigh = 0;
  } else if (assignHigh > static_cast<int32_t>(MacBlockFirst) && s == 0) {
    --assignHigh;  // the next address itself has not been handed out
  }
  assignCurrent = assignHigh;
}

void SelectFilesLogic::ShowAssignMac(int32_t value) {
  if (value == 0) return;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X", static_cast<unsigned>((value >> 16) & 0xFF),
                static_cast<unsigned>((value >> 8) & 0xFF), static_cast<unsigned>(value & 0xFF));
  MaskEdit_MAC.text = buf;
}

void SelectFilesLogic::UpDown_macClick(UpDownButton button) {
  assignCurrent += button == UpDownButton::Up ? 1 : -1;
  if (assignCurrent < assignLow) {
    assignCurrent = assignLow;
  } else if (assignCurrent > assignHigh) {
    assignCurrent = assignHigh;
  }
  ShowAssignMac(assignCurrent);
}

bool SelectFilesLogic::MaskEdit_MACKeyPress(char key) {
  if ((key >= 'G' && key <= 'Z') || (key >= 'g' && key <= 'z')) return false;
  try {
    assignCurrent = MacTextValue(MaskEdit_MAC.text);
  } catch (const ConvertError& e) {
    if (showException_) showException_(e.what());
    return false;
  }
  return true;
}

void SelectFilesLogic::ChkBox_EEClick() {
  eeprom_path.enabled = ChkBox_EE.checked;
}
void SelectFilesLogic::ChkBox_FWClick() {
  firmware_path.enabled = ChkBox_FW.checked;
}
void SelectFilesLogic::CkBox_logfileClick() {
  log_path.enabled = CkBox_logfile.checked;
}

void SelectFilesLogic::ChkBox_scanSerialClick() {
  serial_pattern.enabled = ChkBox_scanSerial.checked;
}

void SelectFilesLogic::ChkBox_pMACClick() {
  if (ChkBox_pMAC.checked) {
    if (macAvailable) {
      ChkBox_assign_mac.enabled = true;
    } else {
      Error("MAC not available");
    }
  } else {
    ChkBox_assign_mac.checked = false;
    ChkBox_assign_mac.enabled = false;
    MaskEdit_MAC.enabled = false;
    UpDown_mac_enabled = false;
  }
}

void SelectFilesLogic::ChkBox_assign_macClick() {
  if (ChkBox_assign_mac.checked) {
    if (assignHigh != 0 || assignLow != 0) {
      MaskEdit_MAC.enabled = true;
      UpDown_mac_enabled = true;
      return;
    }
    Error("Can't use this function now");
    ChkBox_assign_mac.checked = false;
  }
  MaskEdit_MAC.enabled = false;
  UpDown_mac_enabled = false;
}

void SelectFilesLogic::eeprom_brsClick() {
  if (!choosers_.openFile) return;
  if (auto chosen = choosers_.openFile(kEepromFilter)) eeprom_path.text = *chosen;
}

void SelectFilesLogic::firmware_brsClick() {
  if (!choosers_.openFile) return;
  if (auto chosen = choosers_.openFile(kFirmwareFilter)) firmware_path.text = *chosen;
}

void SelectFilesLogic::label_brsClick() {
  if (!choosers_.openFile) return;
  if (auto chosen = choosers_.openFile(kLabelTemplateFilter)) label_template.text = *chosen;
}

void SelectFilesLogic::log_brsClick() {
  if (!choosers_.chooseDirectory) return;
  if (auto chosen = choosers_.chooseDirectory()) log_path.text = *chosen;
}

bool SelectFilesLogic::CheckImage(const CheckBoxState& box, const EditState& edit,
                                  const char* blankText, const char* endingText, const char* ending,
                                  const char* tooLongText, const char* kind, uint64_t maxSize,
                                  std::string* target, int32_t flag) {
  if (!box.checked) {
    target->clear();
    return true;
  }
  const std::string& p = edit.text;
  if (p.empty()) {
    Error(blankText);
    return false;
  }
  if (p.size() <= 3 || !EndsWith(p, ending)) {
    Error(endingText);
    return false;
  }
  if (p.size() > kMaxPath) {
    Error(tooLongText);
    return false;
  }
  if (!FileExists(p)) {
    messageText = p + " not exists";
    Error(messageText);
    return false;
  }
  // An image that cannot be right is refused here, not sent to every device (the
  // transfer checks the bytes it reads again).
  InputFile file;
  if (const int e = file.Open(p); e != 0) {
    Error(p + " cannot be read: " + std::to_string(e));
    return false;
  }
  if (file.Size() == 0) {
    Error(p + ": an empty file is not " + kind);
    return false;
  }
  if (file.Size() > maxSize) {
    Error(p + ": larger than " + std::to_string(maxSize) + " bytes, the most " + kind +
          " may hold");
    return false;
  }
  *target = p;
  job_.jobFlags |= flag;
  return true;
}

std::string SelectFilesLogic::SerialPatternProblem(const std::string& pattern) {
  if (pattern.size() > kMaxSerialPattern) {
    return "serial pattern is longer than " + std::to_string(kMaxSerialPattern) + " characters";
  }
  for (char c : pattern) {
    if (c == ' ') return "serial pattern can't hold spaces";
    if (c < 0x21 || c > 0x7E) return "serial pattern may hold printable ASCII characters only";
  }
  try {
    std::regex compiled(pattern, std::regex::ECMAScript);
  } catch (const std::regex_error& e) {
    return "serial pattern " + pattern + " is not a valid regular expression: " + e.what();
  }
  return std::string();
}

bool SelectFilesLogic::CheckUnitIdentity() {
  // An unticked box leaves the stored pattern as it was: the disabled edit is no entry.
  if (ChkBox_scanSerial.checked) {
    if (const std::string problem = SerialPatternProblem(serial_pattern.text); !problem.empty()) {
      Error(problem);
      return false;
    }
  }
  const std::string& t = label_template.text;
  if (!t.empty()) {
    // The path is kept as one token of storedCfg.txt: a blank would cut it there.
    if (t.size() > kMaxPath) {
      Error("label template path is longer than 255 characters");
      return false;
    }
    for (char c : t) {
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') {
        Error("label template path can't hold spaces");
        return false;
      }
    }
    if (!FileExists(t)) {
      messageText = t + " not exists";
      Error(messageText);
      return false;
    }
    // Its layout is read when a run starts; here only whether it can be read at all.
    InputFile file;
    if (const int e = file.Open(t); e != 0) {
      Error(t + " cannot be read: " + std::to_string(e));
      return false;
    }
    if (file.Size() > kMaxLabelTemplateSize) {
      Error(t + ": larger than " + std::to_string(kMaxLabelTemplateSize) +
            " bytes, the most a label template may hold");
      return false;
    }
  }
  cfg_.scanSerial = ChkBox_scanSerial.checked;
  if (ChkBox_scanSerial.checked) cfg_.serialPattern = serial_pattern.text;
  cfg_.labelTemplate = t;
  return true;
}

void SelectFilesLogic::OKBtnClick() {
  if (ReadOnly()) {
    // Nothing was changed and nothing is written: OK only closes the dialog.
    dialogOutcome = 1;
    return;
  }
  try {
    dialogOutcome = 5;
    job_.jobFlags = 0;
    job_.loopbackTest = 0;

    if (!CheckImage(ChkBox_EE, eeprom_path, "eeprom file field can't be blank", "eeprom need .vef",
                    ".vef", "eeprom file path is longer than 255 characters", "an EEPROM image",
                    kMaxEepromImageSize, &cfg_.eepromPath, kJobEeprom)) {
      return;
    }
    if (!CheckImage(ChkBox_FW, firmware_path, "firmware file field can't be blank",
                    "firmware need .vff", ".vff",
                    "firmware file path is longer than 255 characters", "a firmware image",
                    kMaxFirmwareImageSize, &cfg_.firmwarePath, kJobFirmware)) {
      return;
    }

    if (CkBox_logfile.checked) {
      const std::string& dir = log_path.text;
      if (dir.size() > kMaxPath) {
        Error("log file directory is longer than 255 characters", BoxIcon::Warning);
        return;
      }
      if (dir.empty() || !DirectoryExists(dir)) {
        Error("invalid log file directory", BoxIcon::Warning);
        return;
      }
      job_.logEnabled = true;
      job_.logDirectory = dir;
    } else {
      job_.logEnabled = false;
    }

    if (ChkBox_Ltest.checked) job_.loopbackTest = 1;

    job_.assignMac = false;
    job_.assignedMacText.clear();
    if (ChkBox_pMAC.checked && ChkBox_assign_mac.checked) {
      int32_t v = MacTextValue(MaskEdit_MAC.text);
      // An empty range (both bounds 0) admits nothing, not the address 00:00:00.
      bool emptyRange = assignLow == 0 && assignHigh == 0;
      if (emptyRange || v < assignLow || v > assignHigh) {
        Error("Invalid assign MAC");
        return;
      }
      job_.assignedMacText = std::string(kVendorPrefix) + MaskEdit_MAC.text.substr(0, 8);
      job_.assignMac = true;
    }

    job_.programMac = ChkBox_pMAC.checked;

    if (!CheckUnitIdentity()) return;

    cfg_.consoleBaudIndex = console_CmbBox_index;
    cfg_.fastDownload = ChkBox_fastDL.checked;
    cfg_.continuous = ChkBox_continuous.checked;
    // A failed save is reported, but the job still applies: it is in memory, and the
    // old file stays as it was.
    if (const int e = cfg_.Save(); e != 0) {
      Error("save " + cfg_.filePath + " failed: " + std::to_string(e) +
            "\r\nThe job is used, but it is not stored");
    }

    job_.filesSelected = true;
    dialogOutcome = 1;
  } catch (const ConvertError& e) {
    if (showException_) showException_(e.what());
  }
}

void SelectFilesLogic::CancelBtnClick() {
  dialogOutcome = 2;
}

bool SelectFilesLogic::FormClose() {
  bool mayClose = dialogOutcome != 5;
  dialogOutcome = 2;
  return mayClose;
}
