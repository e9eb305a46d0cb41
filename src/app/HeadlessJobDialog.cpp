#include "app/HeadlessJobDialog.h"

int HeadlessJobOptions::BaudIndexFromText(const std::string& text) {
  for (int i = 0; i < 3; ++i) {
    if (text == SelectFilesLogic::kBaudItems[i]) return i;
  }
  return -1;
}

bool HeadlessJobOptions::TakeOption(const std::vector<std::string>& args, size_t* i,
                                    std::string* error) {
  const std::string& a = args[*i];
  auto value = [&](std::optional<std::string>* target) {
    if (*i + 1 >= args.size()) {
      *error = a + " needs a value";
    } else {
      *target = args[*i + 1];
      ++*i;
    }
    ++*i;
    return true;
  };
  auto flag = [&](std::optional<bool>* target, bool v) {
    *target = v;
    ++*i;
    return true;
  };
  if (a == "--program-mac") return flag(&programMac, true);
  if (a == "--no-eeprom") return flag(&eeprom, false);
  if (a == "--no-firmware") return flag(&firmware, false);
  if (a == "--no-loopback") return flag(&loopback, false);
  if (a == "--no-log") return flag(&log, false);
  if (a == "--fast-download") return flag(&fastDownload, true);
  if (a == "--no-fast-download") return flag(&fastDownload, false);
  if (a == "--continuous") return flag(&continuous, true);
  if (a == "--no-continuous") return flag(&continuous, false);
  if (a == "--scan-serial") return flag(&scanSerial, true);
  if (a == "--no-scan-serial") return flag(&scanSerial, false);
  if (a == "--serial-pattern") return value(&serialPattern);
  if (a == "--label-template") return value(&labelTemplate);
  if (a == "--eeprom") {
    eeprom = true;
    return value(&eepromFile);
  }
  if (a == "--firmware") {
    firmware = true;
    return value(&firmwareFile);
  }
  if (a == "--log") {
    log = true;
    return value(&logDir);
  }
  if (a == "--assign-mac") {
    programMac = true;
    return value(&assignMac);
  }
  if (a == "--baud") {
    std::optional<std::string> text;
    value(&text);
    if (text) {
      int idx = BaudIndexFromText(*text);
      if (idx < 0) {
        *error = "--baud must be 115200, 57600 or 38400";
      } else {
        baudIndex = idx;
      }
    }
    return true;
  }
  return false;
}

bool HeadlessJobDialog::ShowModal() {
  SelectFilesLogic& l = logic_;
  const HeadlessJobOptions& o = options_;
  l.FormShow();

  if (o.programMac) {
    l.ChkBox_pMAC.checked = *o.programMac;
    l.ChkBox_pMACClick();
  }
  if (o.assignMac) {
    // A disabled box cannot be ticked ("MAC not available" was shown); a refused
    // tick unticks itself with its own message. Either way the operator's address
    // would not be used, so the job is not accepted.
    if (!l.ChkBox_assign_mac.enabled) return false;
    l.ChkBox_assign_mac.checked = true;
    l.ChkBox_assign_macClick();
    if (!l.ChkBox_assign_mac.checked) return false;
    l.SetMacEditText(*o.assignMac);
  }
  if (o.eeprom) {
    l.ChkBox_EE.checked = *o.eeprom;
    l.ChkBox_EEClick();
    if (o.eepromFile) l.eeprom_path.text = *o.eepromFile;
  }
  if (o.firmware) {
    l.ChkBox_FW.checked = *o.firmware;
    l.ChkBox_FWClick();
    if (o.firmwareFile) l.firmware_path.text = *o.firmwareFile;
  }
  if (o.fastDownload) l.ChkBox_fastDL.checked = *o.fastDownload;
  if (o.continuous) l.ChkBox_continuous.checked = *o.continuous;
  if (o.loopback) l.ChkBox_Ltest.checked = *o.loopback;
  if (o.scanSerial) {
    l.ChkBox_scanSerial.checked = *o.scanSerial;
    l.ChkBox_scanSerialClick();
  }
  if (o.serialPattern) l.serial_pattern.text = *o.serialPattern;
  if (o.labelTemplate) l.label_template.text = *o.labelTemplate;
  if (o.baudIndex) l.console_CmbBox_index = *o.baudIndex;
  if (o.log) {
    l.CkBox_logfile.checked = *o.log;
    l.CkBox_logfileClick();
    if (o.logDir) l.log_path.text = *o.logDir;
  }

  l.OKBtnClick();
  bool passed = l.dialogOutcome == 1;
  l.FormClose();  // refused after a failed check; there is no operator to correct it
  return passed;
}
