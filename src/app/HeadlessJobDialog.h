#pragma once
// The job dialog without a window, for the headless runner: ShowModal() shows the
// dialog (FormShow), changes the controls as the command line asks, in the order
// of the dialog from top to bottom, and presses OK. The checks and their messages
// are those of the window, since both use one SelectFilesLogic.
#include <optional>
#include <string>
#include <vector>

#include "app/MainLogic.h"
#include "job/SelectFilesLogic.h"

// Control settings; an option not given leaves its control as FormShow left it.
struct HeadlessJobOptions {
  std::optional<bool> programMac;        // --program-mac
  std::optional<std::string> assignMac;  // --assign-mac HH:HH:HH (ticks both MAC boxes)
  std::optional<bool> eeprom;            // --eeprom FILE | --no-eeprom
  std::optional<std::string> eepromFile;
  std::optional<bool> firmware;  // --firmware FILE | --no-firmware
  std::optional<std::string> firmwareFile;
  std::optional<bool> fastDownload;          // --fast-download | --no-fast-download
  std::optional<bool> continuous;            // --continuous | --no-continuous
  std::optional<bool> scanSerial;            // --scan-serial | --no-scan-serial
  std::optional<std::string> serialPattern;  // --serial-pattern P
  std::optional<std::string> labelTemplate;  // --label-template FILE ("": no label)
  std::optional<bool> loopback;              // --no-loopback
  std::optional<int> baudIndex;              // --baud 115200|57600|38400
  std::optional<bool> log;                   // --log DIR | --no-log
  std::optional<std::string> logDir;

  // If args[*i] is one of the options above, takes it (and its value), advances *i
  // past it and returns true; a missing or bad value sets *error. Returns false for
  // any other argument.
  bool TakeOption(const std::vector<std::string>& args, size_t* i, std::string* error);
  // Index of a console baud rate text in the dialog's list, or -1.
  static int BaudIndexFromText(const std::string& text);
};

class HeadlessJobDialog final : public JobDialog {
 public:
  HeadlessJobDialog(SelectFilesLogic& logic, HeadlessJobOptions options)
      : logic_(logic), options_(std::move(options)) {}
  // True when OK passed its checks (the dialog closed with OK). False when a check
  // failed (its message box has been shown) or a control refused a setting.
  bool ShowModal() override;

 private:
  SelectFilesLogic& logic_;
  HeadlessJobOptions options_;
};
