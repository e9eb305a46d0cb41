#pragma once
// The job set-up dialog ("Select files") without any window toolkit: the state of
// every control, the event handlers and the checks of OK. The Qt dialog
// (TselectFilesDlg) and the headless runner (HeadlessJobDialog) are two views over
// one SelectFilesLogic, so both run the very same checks in the same order.
//
// A view copies what the operator changed into the control state (ticks, texts,
// the combo box's index) and then calls the matching handler; after every handler
// it shows the control state again.
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/JobState.h"
#include "base/MessageBoxes.h"
#include "job/Logcfg.h"
#include "job/Logmac.h"

// The error of converting a text that is not a "0x"-prefixed hexadecimal number.
class ConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file dialogs of the "Browse..." buttons. Each returns the chosen path, or
// nothing when the operator cancelled.
struct JobFileChoosers {
  // filter: "description(*.ext)|*.ext"
  std::function<std::optional<std::string>(const std::string& filter)> openFile;
  std::function<std::optional<std::string>()> chooseDirectory;
};

struct CheckBoxState {
  bool checked = false;
  bool enabled = true;
};

struct EditState {
  std::string text;
  bool enabled = true;
};

enum class UpDownButton { Up, Down };

// The job package side of the dialog. A job that comes from a package is shown as it
// is: every control is read-only and OK changes nothing (storedCfg.txt included). A
// production station's dialog is read-only also while it has no package, until the
// engineer's password opens it.
struct JobDialogPackage {
  bool shown = false;  // the job shown is the package's
  std::string name, version, sha256, keyId, path;
  // The package's job as the dialog shows it (image names, console rate, choices); its
  // steps are the station's job state. Set when shown.
  const StoredConfig* config = nullptr;
  // The station's job may not be changed now (production mode): read-only.
  bool locked = false;
  // Why not, for the dialog's package line ("" when it may).
  std::string lockedText;
  // "Load package...": verifies the chosen package and makes its job the station's
  // (true; the dialog then shows it) or says why not. Null: the button is disabled.
  std::function<bool(const std::string& path, std::string* text)> load;
  // "Leave package": back to the dialog's own job. Null: the button is disabled.
  std::function<bool(std::string* text)> leave;
};

class SelectFilesLogic {
 public:
  // Texts of the controls.
  static constexpr const char* kCaption = "Select files";
  static constexpr const char* kVendorPrefix = "02:5C:3A:";
  static constexpr const char* kEmptyMacText = "  :  :  ";
  static constexpr const char* kEepromFilter = "eeprom file(*.vef)|*.vef";
  static constexpr const char* kFirmwareFilter = "firmware file(*.vff)|*.vff";
  static constexpr const char* kBaudItems[3] = {"115200", "57600", "38400"};
  static constexpr const char* kFastDownloadCaption = "fast download";
  static constexpr const char* kContinuousCaption = "continuous production";
  static constexpr const char* kScanSerialCaption = "scan unit serial";
  static constexpr const char* kLabelTemplateFilter = "label template(*.lbl)|*.lbl";
  // A serial pattern holds at most this many characters.
  static constexpr size_t kMaxSerialPattern = 64;
  // The largest label template file the labels' reader takes.
  static constexpr uint64_t kMaxLabelTemplateSize = 16 * 1024;
  // Paths and directories are limited like the stored fields they end up in.
  static constexpr size_t kMaxPath = 255;

  // showException: the standard exception box of the program.
  SelectFilesLogic(JobState& job, StoredConfig& cfg, MacPool& pool, MessageBoxes& boxes,
                   std::function<void(const std::string&)> showException);

  void SetFileChoosers(JobFileChoosers choosers) { choosers_ = std::move(choosers); }
  const JobFileChoosers& FileChoosers() const { return choosers_; }
  // The dialog's message boxes (a view shows the package side's refusals in them).
  MessageBoxes& Boxes() { return boxes_; }
  // The package side (see JobDialogPackage), asked again at every FormShow: the
  // station's mode and package change while the dialog object lives.
  void SetPackageSource(std::function<JobDialogPackage()> source) { source_ = std::move(source); }
  // As the last FormShow found it.
  const JobDialogPackage& Package() const { return package_; }
  // Nothing in the dialog may be changed: a package's job, or a locked station.
  bool ReadOnly() const { return package_.shown || package_.locked; }

  // ---- control state ----
  CheckBoxState ChkBox_pMAC;
  CheckBoxState ChkBox_assign_mac{false, false};
  EditState MaskEdit_MAC{kEmptyMacText, false};  // always 8 characters, blank = ' '
  bool UpDown_mac_enabled = false;
  CheckBoxState ChkBox_EE;
  EditState eeprom_path;
  CheckBoxState ChkBox_FW;
  EditState firmware_path;
  CheckBoxState ChkBox_fastDL;      // "fast download": downloads paced by the device's replies
  CheckBoxState ChkBox_continuous;  // "continuous production": each port cycles per unit
  CheckBoxState ChkBox_Ltest{true, true};
  int console_CmbBox_index = 0;  // -1: no item selected
  CheckBoxState CkBox_logfile;
  EditState log_path;
  // Unit identity: "scan unit serial", the serial pattern (enabled while ticked) and the
  // label template file (empty: no label).
  CheckBoxState ChkBox_scanSerial;
  EditState serial_pattern{"", false};
  EditState label_template;

  // ---- fields ----
  std::string messageText;  // the last formatted "%s not exists" message
  bool macAvailable = false;
  int32_t assignLow = 0;
  int32_t assignHigh = 0;
  int32_t assignCurrent = 0;
  int32_t dialogOutcome = 2;  // 2 idle, 5 while OK checks, 1 after a passed OK

  // ---- event handlers ----
  void FormShow();
  // True: the dialog may close. Sets dialogOutcome := 2 either way.
  bool FormClose();
  void OKBtnClick();
  void CancelBtnClick();
  void eeprom_brsClick();
  void firmware_brsClick();
  void log_brsClick();
  void label_brsClick();
  // The check-box handlers read the tick the view has already stored.
  void ChkBox_EEClick();
  void ChkBox_FWClick();
  void CkBox_logfileClick();
  void ChkBox_pMACClick();
  void ChkBox_assign_macClick();
  void ChkBox_scanSerialClick();
  // True: the key goes through to the edit.
  bool MaskEdit_MACKeyPress(char key);
  void UpDown_macClick(UpDownButton button);

  void RefreshAssignRange();
  void ShowAssignMac(int32_t value);

  // Puts text into MaskEdit_MAC as its edit mask would: the six hex digits of
  // "HH:HH:HH" (upper-cased); missing or non-hex positions stay blank.
  void SetMacEditText(const std::string& text);
  // The number of the three groups of a "HH:HH:HH" text; throws ConvertError.
  static int32_t MacTextValue(const std::string& text);

  // Why a serial pattern cannot be used ("" when it can): more than kMaxSerialPattern
  // characters, a space or a character outside printable ASCII (storedCfg.txt keeps it
  // as one token, and serials are printable ASCII without spaces), or not an ECMAScript
  // regular expression. The empty pattern admits any serial.
  static std::string SerialPatternProblem(const std::string& pattern);

 private:
  // Checks one image entry (steps 2 and 3 of OK); false after an error box. kind names
  // the image in the size rule's texts ("an EEPROM image"), maxSize is its largest size.
  bool CheckImage(const CheckBoxState& box, const EditState& edit, const char* blankText,
                  const char* endingText, const char* ending, const char* tooLongText,
                  const char* kind, uint64_t maxSize, std::string* target, int32_t flag);
  void Error(const std::string& text, BoxIcon icon = BoxIcon::None);
  // The unit identity entries of OK; false after an error box.
  bool CheckUnitIdentity();

  JobState& job_;
  StoredConfig& cfg_;
  MacPool& pool_;
  MessageBoxes& boxes_;
  std::function<void(const std::string&)> showException_;
  JobFileChoosers choosers_;
  std::function<JobDialogPackage()> source_;
  JobDialogPackage package_;
  bool showedPackage_ = false;  // the last FormShow showed a package's job
};
