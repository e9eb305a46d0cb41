// The job dialog's logic with the product's permitted block: presets, enabling
// rules, the checks of OK in order, closing, and the headless dialog.
#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>

#include <cerrno>
#include <string>

#include "JobDialogRig.h"
#include "app/HeadlessJobDialog.h"
#include "job/RunJobSetup.h"
#include "platform/fake/SystemErrors.h"

namespace {

struct SelectFiles : ::testing::Test, JobDialogRig {};

TEST_F(SelectFiles, InitialControlsAndFormShowPresets) {
  EXPECT_TRUE(dlg.ChkBox_Ltest.checked);
  EXPECT_FALSE(dlg.ChkBox_pMAC.checked);
  EXPECT_FALSE(dlg.ChkBox_assign_mac.enabled);
  EXPECT_FALSE(dlg.MaskEdit_MAC.enabled);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "  :  :  ");
  EXPECT_FALSE(dlg.UpDown_mac_enabled);
  EXPECT_EQ(dlg.console_CmbBox_index, 0);

  dir.Write("storedCfg.txt", "EEPROM: " + Vef() + "\r\nConsole: 2\r\n");
  dlg.log_path.text = "/kept";
  dlg.CkBox_logfile.checked = true;
  job.jobFlags = 3;
  dlg.FormShow();
  EXPECT_EQ(dlg.eeprom_path.text, Vef());
  EXPECT_TRUE(dlg.ChkBox_EE.checked);
  EXPECT_TRUE(dlg.eeprom_path.enabled);
  EXPECT_FALSE(dlg.ChkBox_FW.checked);
  EXPECT_FALSE(dlg.firmware_path.enabled);
  EXPECT_EQ(dlg.console_CmbBox_index, 2);
  EXPECT_FALSE(dlg.CkBox_logfile.checked);
  EXPECT_FALSE(dlg.log_path.enabled);
  EXPECT_EQ(dlg.log_path.text, "/kept");
  EXPECT_EQ(dlg.dialogOutcome, 2);
  EXPECT_EQ(job.jobFlags, 0);

  // An index outside the list selects nothing; a missing file keeps the controls.
  dir.Write("storedCfg.txt", "Console: 7\r\n");
  dlg.FormShow();
  EXPECT_EQ(dlg.console_CmbBox_index, -1);
  EXPECT_FALSE(dlg.ChkBox_EE.checked);
  unlink(dir.File("storedCfg.txt").c_str());
  dlg.eeprom_path.text = "typed.vef";
  dlg.FormShow();
  EXPECT_EQ(dlg.eeprom_path.text, "typed.vef");
  EXPECT_TRUE(dlg.ChkBox_EE.checked);
  EXPECT_EQ(log, std::vector<std::string>{"fopen failed"});
}

TEST_F(SelectFiles, OkChecksInOrderWithTheirMessages) {
  dir.Write("empty.vef", "");
  dir.Write("big.vef", std::string(1153, 'e'));
  dir.Write("empty.vff", "");
  dir.Write("big.vff", "");
  ASSERT_EQ(truncate(dir.File("big.vff").c_str(), (16 << 20) + 1), 0);
  dlg.FormShow();
  job.filesSelected = false;
  Tick(dlg.ChkBox_EE, true, &SelectFilesLogic::ChkBox_EEClick);
  Tick(dlg.ChkBox_FW, true, &SelectFilesLogic::ChkBox_FWClick);
  Tick(dlg.CkBox_logfile, true, &SelectFilesLogic::CkBox_logfileClick);

  struct Step {
    std::function<void()> change;
    std::string message;
  } steps[] = {
      {[] {}, "eeprom file field can't be blank"},
      {[&] { dlg.eeprom_path.text = dir.File("a.VEF"); }, "eeprom need .vef"},
      {[&] { dlg.eeprom_path.text = "vef"; }, "eeprom need .vef"},
      {[&] { dlg.eeprom_path.text = dir.File("none.vef"); }, dir.File("none.vef") + " not exists"},
      {[&] { dlg.eeprom_path.text = dir.File("empty.vef"); },
       dir.File("empty.vef") + ": an empty file is not an EEPROM image"},
      {[&] { dlg.eeprom_path.text = dir.File("big.vef"); },
       dir.File("big.vef") + ": larger than 1152 bytes, the most an EEPROM image may hold"},
      {[&] { dlg.eeprom_path.text = Vef(); }, "firmware file field can't be blank"},
      {[&] { dlg.firmware_path.text = Vef(); }, "firmware need .vff"},
      {[&] { dlg.firmware_path.text = dir.File("x.vff"); }, dir.File("x.vff") + " not exists"},
      {[&] { dlg.firmware_path.text = dir.File("empty.vff"); },
       dir.File("empty.vff") + ": an empty file is not a firmware image"},
      {[&] { dlg.firmware_path.text = dir.File("big.vff"); },
       dir.File("big.vff") + ": larger than 16777216 bytes, the most a firmware image may hold"},
      {[&] { dlg.firmware_path.text = Vff(); }, "invalid log file directory"},
      {[&] { dlg.log_path.text = Vef(); }, "invalid log file directory"},  // a file, not a dir
  };
  size_t n = 0;
  for (auto& s : steps) {
    s.change();
    dlg.OKBtnClick();
    ++n;
    ASSERT_EQ(boxes.Boxes().size(), n) << s.message;
    auto box = boxes.Boxes().back();
    EXPECT_EQ(box.text, s.message);
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.buttons, BoxButtons::Ok);
    EXPECT_EQ(box.icon,
              s.message == "invalid log file directory" ? BoxIcon::Warning : BoxIcon::None);
    EXPECT_EQ(dlg.dialogOutcome, 5);
    EXPECT_FALSE(dlg.FormClose());  // the dialog stays open
    EXPECT_EQ(dlg.dialogOutcome, 2);
    EXPECT_FALSE(job.filesSelected);
    EXPECT_FALSE(dir.Exists("storedCfg.txt"));
  }

  dlg.log_path.text = Logs();
  dlg.OKBtnClick();
  EXPECT_EQ(boxes.Boxes().size(), n);
  EXPECT_EQ(dlg.dialogOutcome, 1);
  EXPECT_TRUE(dlg.FormClose());
  EXPECT_EQ(job.jobFlags, 3);
  EXPECT_EQ(job.loopbackTest, 1);
  EXPECT_TRUE(job.logEnabled);
  EXPECT_EQ(job.logDirectory, Logs());
  EXPECT_FALSE(job.programMac);
  EXPECT_TRUE(job.filesSelected);
  EXPECT_EQ(dir.Read("storedCfg.txt"),
            "EEPROM: " + Vef() + "\r\nFirmware: " + Vff() + "\r\nConsole: 0\r\n");

  // The editor's size rule: 1152 bytes still pass. A save that fails is reported with
  // the file and the error number, and the job still applies.
  dir.Write("full.vef", std::string(1152, 'e'));
  dlg.eeprom_path.text = dir.File("full.vef");
  unlink(dir.File("storedCfg.txt").c_str());
  std::filesystem::create_directory(std::filesystem::u8path(dir.File("storedCfg.txt")));
  job.filesSelected = false;
  dlg.OKBtnClick();
  ASSERT_EQ(boxes.Boxes().size(), n + 1);
  EXPECT_EQ(boxes.Boxes().back().caption, "Error");
  EXPECT_EQ(boxes.Boxes().back().text, "save " + cfg.filePath +
                                           " failed: " + std::to_string(kErrIsDirectory) +
                                           "\r\nThe job is used, but it is not stored");
  EXPECT_EQ(dlg.dialogOutcome, 1);
  EXPECT_TRUE(job.filesSelected);
  EXPECT_EQ(cfg.eepromPath, dir.File("full.vef"));
}

TEST_F(SelectFiles, FailedFirmwareCheckKeepsWhatEepromWrote) {
  dlg.FormShow();
  job.filesSelected = true;
  dlg.eeprom_path.text = Vef();
  dlg.firmware_path.text = dir.File("missing.vff");
  Tick(dlg.ChkBox_EE, true, &SelectFilesLogic::ChkBox_EEClick);
  Tick(dlg.ChkBox_FW, true, &SelectFilesLogic::ChkBox_FWClick);
  dlg.OKBtnClick();
  EXPECT_EQ(Texts().back(), dir.File("missing.vff") + " not exists");
  EXPECT_EQ(cfg.eepromPath, Vef());
  EXPECT_EQ(job.jobFlags, 1);
  EXPECT_TRUE(job.filesSelected);  // its previous value
  EXPECT_FALSE(dir.Exists("storedCfg.txt"));
}

TEST_F(SelectFiles, UntickedFilesEmptyThePathsAndNoConsoleItemSavesMinusOne) {
  dir.Write("storedCfg.txt", "EEPROM: " + Vef() + "\r\nFirmware: " + Vff() + "\r\nConsole: 1\r\n");
  dlg.FormShow();
  Tick(dlg.ChkBox_EE, false, &SelectFilesLogic::ChkBox_EEClick);
  Tick(dlg.ChkBox_FW, false, &SelectFilesLogic::ChkBox_FWClick);
  EXPECT_FALSE(dlg.eeprom_path.enabled);
  EXPECT_EQ(dlg.eeprom_path.text, Vef());  // texts are not changed by the boxes
  dlg.ChkBox_Ltest.checked = false;
  dlg.console_CmbBox_index = -1;
  dlg.OKBtnClick();
  EXPECT_TRUE(boxes.Boxes().empty());
  EXPECT_EQ(job.jobFlags, 0);
  EXPECT_EQ(job.loopbackTest, 0);
  EXPECT_EQ(cfg.eepromPath, "");
  EXPECT_EQ(cfg.firmwarePath, "");
  EXPECT_EQ(dir.Read("storedCfg.txt"), "Console: -1\r\n");
}

TEST_F(SelectFiles, DotVefAloneNeedsAFileOfThatName) {
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  dlg.FormShow();
  Tick(dlg.ChkBox_EE, true, &SelectFilesLogic::ChkBox_EEClick);
  dlg.eeprom_path.text = ".vef";
  dlg.OKBtnClick();
  std::string first = Texts().empty() ? "" : Texts().back();
  dir.Write(".vef", "x");
  dlg.OKBtnClick();
  EXPECT_EQ(chdir(old), 0);
  EXPECT_EQ(first, ".vef not exists");
  EXPECT_EQ(Texts().size(), 1u);
  EXPECT_EQ(dlg.dialogOutcome, 1);
}

TEST_F(SelectFiles, OverlongPathsAreRefused) {
  dlg.FormShow();
  Tick(dlg.ChkBox_EE, true, &SelectFilesLogic::ChkBox_EEClick);
  dlg.eeprom_path.text = "/" + std::string(300, 'e') + ".vef";
  dlg.OKBtnClick();
  EXPECT_EQ(Texts().back(), "eeprom file path is longer than 255 characters");
  EXPECT_EQ(cfg.eepromPath, "");

  Tick(dlg.ChkBox_EE, false, &SelectFilesLogic::ChkBox_EEClick);
  Tick(dlg.ChkBox_FW, true, &SelectFilesLogic::ChkBox_FWClick);
  dlg.firmware_path.text = "/" + std::string(255, 'f') + ".vff";
  dlg.OKBtnClick();
  EXPECT_EQ(Texts().back(), "firmware file path is longer than 255 characters");

  Tick(dlg.ChkBox_FW, false, &SelectFilesLogic::ChkBox_FWClick);
  Tick(dlg.CkBox_logfile, true, &SelectFilesLogic::CkBox_logfileClick);
  dlg.log_path.text = "/" + std::string(256, 'l');
  dlg.OKBtnClick();
  EXPECT_EQ(Texts().back(), "log file directory is longer than 255 characters");
  EXPECT_EQ(boxes.Boxes().back().icon, BoxIcon::Warning);
  EXPECT_FALSE(job.logEnabled);
  EXPECT_EQ(dlg.dialogOutcome, 5);
}

// "scan unit serial", its pattern and the label template: presets, the checks after
// all others (each refusal leaves the job unset and the file unwritten), what is stored
// and what the run gets.
TEST_F(SelectFiles, UnitIdentityChecksAndWhatTheRunGets) {
  dir.Write("storedCfg.txt", "ScanSerial: 1\r\nSerialPattern: SN[0-9]+(\r\nConsole: 0\r\n");
  dlg.FormShow();
  EXPECT_TRUE(dlg.ChkBox_scanSerial.checked);
  EXPECT_TRUE(dlg.serial_pattern.enabled);
  EXPECT_EQ(dlg.serial_pattern.text, "SN[0-9]+(");
  auto refused = [&](const std::string& text) {
    dlg.OKBtnClick();
    EXPECT_EQ(dlg.dialogOutcome, 5) << text;
    EXPECT_FALSE(job.filesSelected) << text;
    ASSERT_FALSE(Texts().empty()) << text;
    EXPECT_EQ(Texts().back().rfind(text, 0), 0u) << Texts().back();
  };
  refused("serial pattern SN[0-9]+( is not a valid regular expression: ");
  dlg.serial_pattern.text = "SN [0-9]+";
  refused("serial pattern can't hold spaces");
  dlg.serial_pattern.text = std::string(SelectFilesLogic::kMaxSerialPattern + 1, 'A');
  refused("serial pattern is longer than 64 characters");
  dlg.serial_pattern.text = "SN[0-9]{6}";
  dlg.label_template.text = dir.File("unit.lbl");
  refused(dir.File("unit.lbl") + " not exists");
  dlg.label_template.text = dir.File("my unit.lbl");
  refused("label template path can't hold spaces");
  EXPECT_EQ(dir.Read("storedCfg.txt").find("{6}"), std::string::npos);  // not written

  dir.Write("unit.lbl", "title = {mac}\n");
  dlg.label_template.text = dir.File("unit.lbl");
  dlg.OKBtnClick();
  EXPECT_EQ(dlg.dialogOutcome, 1);
  EXPECT_EQ(dir.Read("storedCfg.txt"),
            "ScanSerial: 1\r\nSerialPattern: SN[0-9]{6}\r\nLabelTemplate: " + dir.File("unit.lbl") +
                "\r\nConsole: 0\r\n");
  const RunJob run = MakeRunJob(job, cfg, TestInterfaces{}, "");
  EXPECT_TRUE(run.scanSerial);
  EXPECT_EQ(run.serialPattern, "SN[0-9]{6}");
  EXPECT_EQ(run.labelTemplate, dir.File("unit.lbl"));

  // Unticked: the disabled pattern is no entry and the stored one stays; an empty
  // template is no label.
  Tick(dlg.ChkBox_scanSerial, false, &SelectFilesLogic::ChkBox_scanSerialClick);
  EXPECT_FALSE(dlg.serial_pattern.enabled);
  dlg.serial_pattern.text = "(";
  dlg.label_template.text.clear();
  dlg.OKBtnClick();
  EXPECT_EQ(dlg.dialogOutcome, 1);
  EXPECT_EQ(dir.Read("storedCfg.txt"), "SerialPattern: SN[0-9]{6}\r\nConsole: 0\r\n");
  EXPECT_FALSE(MakeRunJob(job, cfg, TestInterfaces{}, "").scanSerial);
}

TEST_F(SelectFiles, MacBoxesWithoutAUsablePool) {
  dlg.FormShow();  // pool not loaded: nothing usable
  EXPECT_FALSE(dlg.macAvailable);
  Tick(dlg.ChkBox_pMAC, true, &SelectFilesLogic::ChkBox_pMACClick);
  EXPECT_EQ(Texts(), std::vector<std::string>{"MAC not available"});
  EXPECT_TRUE(dlg.ChkBox_pMAC.checked);  // the box stays ticked
  EXPECT_FALSE(dlg.ChkBox_assign_mac.enabled);
  dlg.OKBtnClick();
  EXPECT_EQ(dlg.dialogOutcome, 1);
  EXPECT_TRUE(job.programMac);
  EXPECT_FALSE(job.assignMac);
}

TEST_F(SelectFiles, ProductBlockNeverHasAnAssignRange) {
  // Nothing handed out yet, and the one address handed out: both give an empty range.
  for (auto next : {"04:22:D1", "04:22:D2"}) {
    SCOPED_TRACE(next);
    boxes.Clear();
    ASSERT_EQ(LoadPool(next, "04:22:D1"), 0);
    dlg.FormShow();
    EXPECT_TRUE(dlg.macAvailable);
    EXPECT_EQ(dlg.assignLow, 0);
    EXPECT_EQ(dlg.assignHigh, 0);
    Tick(dlg.ChkBox_pMAC, true, &SelectFilesLogic::ChkBox_pMACClick);
    EXPECT_TRUE(dlg.ChkBox_assign_mac.enabled);
    Tick(dlg.ChkBox_assign_mac, true, &SelectFilesLogic::ChkBox_assign_macClick);
    EXPECT_EQ(Texts(), std::vector<std::string>{"Can't use this function now"});
    EXPECT_FALSE(dlg.ChkBox_assign_mac.checked);
    EXPECT_FALSE(dlg.MaskEdit_MAC.enabled);
    EXPECT_EQ(dlg.MaskEdit_MAC.text, "  :  :  ");
  }
  // Unticking "Program MAC address" unticks and disables the assign controls.
  dlg.ChkBox_assign_mac.checked = true;
  dlg.MaskEdit_MAC.enabled = dlg.UpDown_mac_enabled = true;
  Tick(dlg.ChkBox_pMAC, false, &SelectFilesLogic::ChkBox_pMACClick);
  EXPECT_FALSE(dlg.ChkBox_assign_mac.checked);
  EXPECT_FALSE(dlg.ChkBox_assign_mac.enabled);
  EXPECT_FALSE(dlg.MaskEdit_MAC.enabled);
  EXPECT_FALSE(dlg.UpDown_mac_enabled);
}

TEST_F(SelectFiles, EmptyRangeAdmitsNoAddressEvenZero) {
  ASSERT_EQ(LoadPool("04:22:D1", "04:22:D1"), 0);
  dlg.FormShow();
  // An assign tick kept from an earlier showing, and a typed 00:00:00.
  dlg.ChkBox_pMAC.checked = true;
  dlg.ChkBox_assign_mac.checked = true;
  dlg.SetMacEditText("00:00:00");
  dlg.OKBtnClick();
  EXPECT_EQ(Texts(), std::vector<std::string>{"Invalid assign MAC"});
  EXPECT_FALSE(job.assignMac);
  EXPECT_EQ(dlg.dialogOutcome, 5);
}

TEST_F(SelectFiles, KeyFilterAndHalfTypedMac) {
  dlg.FormShow();
  EXPECT_FALSE(dlg.MaskEdit_MACKeyPress('G'));
  EXPECT_FALSE(dlg.MaskEdit_MACKeyPress('z'));
  EXPECT_TRUE(exceptions.empty());
  // A blank position makes the recomputation fail: exception box, key not inserted.
  EXPECT_FALSE(dlg.MaskEdit_MACKeyPress('1'));
  ASSERT_EQ(exceptions.size(), 1u);
  EXPECT_EQ(exceptions[0], "'0x  ' is not a valid integer value");

  dlg.MaskEdit_MAC.text = "04:22:D7";
  EXPECT_TRUE(dlg.MaskEdit_MACKeyPress('a'));
  EXPECT_EQ(dlg.assignCurrent, 0x0422D7);

  // OK with a half-typed address: the conversion error is shown and OK stays open.
  dlg.ChkBox_pMAC.checked = true;
  dlg.ChkBox_assign_mac.checked = true;
  dlg.MaskEdit_MAC.text = "04:2 :  ";
  dlg.OKBtnClick();
  ASSERT_EQ(exceptions.size(), 2u);
  EXPECT_EQ(exceptions[1], "'0x2 ' is not a valid integer value");
  EXPECT_TRUE(boxes.Boxes().empty());
  EXPECT_EQ(dlg.dialogOutcome, 5);
  EXPECT_FALSE(dlg.FormClose());
}

TEST_F(SelectFiles, MacEditTextFollowsTheMask) {
  dlg.SetMacEditText("0a:bC:d1");
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "0A:BC:D1");
  dlg.SetMacEditText("0422d1");
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:D1");
  dlg.SetMacEditText("04:2");
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:2 :  ");
  dlg.SetMacEditText("0x:22:D1:99:88");
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "0 :22:D1");
  EXPECT_EQ(SelectFilesLogic::MacTextValue("04:22:D1"), 271057);
  EXPECT_THROW(SelectFilesLogic::MacTextValue("04:22"), ConvertError);
}

TEST_F(SelectFiles, CancelAndSecondShowing) {
  dlg.FormShow();
  dlg.ChkBox_Ltest.checked = false;
  Tick(dlg.CkBox_logfile, true, &SelectFilesLogic::CkBox_logfileClick);
  dlg.log_path.text = Logs();
  dlg.OKBtnClick();
  ASSERT_EQ(dlg.dialogOutcome, 1);
  EXPECT_TRUE(dlg.FormClose());
  EXPECT_TRUE(job.logEnabled);

  dlg.FormShow();
  EXPECT_FALSE(dlg.ChkBox_Ltest.checked);   // kept
  EXPECT_FALSE(dlg.CkBox_logfile.checked);  // unticked by showing
  EXPECT_EQ(dlg.log_path.text, Logs());
  dlg.CancelBtnClick();
  EXPECT_EQ(dlg.dialogOutcome, 2);
  EXPECT_TRUE(dlg.FormClose());
  EXPECT_TRUE(job.logEnabled);  // cancel writes nothing
  EXPECT_EQ(job.jobFlags, 0);
}

// ---- the headless dialog ----

TEST_F(SelectFiles, HeadlessOptionsParse) {
  std::vector<std::string> args = {
      "--eeprom", "a.vef",        "--no-firmware", "--fast-download", "--continuous", "--baud",
      "57600",    "--assign-mac", "04:22:D0",      "--log",           "/l",           "--start"};
  HeadlessJobOptions o;
  std::string error;
  size_t i = 0;
  while (i < args.size() && o.TakeOption(args, &i, &error)) {
  }
  EXPECT_EQ(error, "");
  EXPECT_EQ(i, args.size() - 1);  // "--start" is not a dialog option
  EXPECT_EQ(*o.eepromFile, "a.vef");
  EXPECT_FALSE(*o.firmware);
  EXPECT_EQ(*o.baudIndex, 1);
  EXPECT_TRUE(*o.fastDownload);
  EXPECT_TRUE(*o.continuous);
  EXPECT_TRUE(*o.programMac);
  EXPECT_EQ(*o.assignMac, "04:22:D0");
  EXPECT_EQ(*o.logDir, "/l");

  std::vector<std::string> identity = {
      "--scan-serial", "--serial-pattern", "SN[0-9]+", "--label-template", "", "--no-scan-serial"};
  i = 0;
  while (i < identity.size() && o.TakeOption(identity, &i, &error)) {
  }
  EXPECT_EQ(error, "");
  EXPECT_EQ(i, identity.size());
  EXPECT_FALSE(*o.scanSerial);  // the last one given
  EXPECT_EQ(*o.serialPattern, "SN[0-9]+");
  EXPECT_EQ(*o.labelTemplate, "");

  std::vector<std::string> bad = {"--baud", "9600"};
  i = 0;
  EXPECT_TRUE(o.TakeOption(bad, &i, &error));
  EXPECT_EQ(error, "--baud must be 115200, 57600 or 38400");
  std::vector<std::string> missing = {"--eeprom"};
  i = 0;
  error.clear();
  EXPECT_TRUE(o.TakeOption(missing, &i, &error));
  EXPECT_EQ(error, "--eeprom needs a value");
}

TEST_F(SelectFiles, HeadlessRunsTheSameChecks) {
  HeadlessJobOptions o;
  o.eeprom = true;
  o.eepromFile = dir.File("a.bin");
  HeadlessJobDialog bad(dlg, o);
  EXPECT_FALSE(bad.ShowModal());
  EXPECT_EQ(Texts(), std::vector<std::string>{"eeprom need .vef"});
  EXPECT_EQ(dlg.dialogOutcome, 2);
  EXPECT_FALSE(job.filesSelected);

  o.eepromFile = Vef();
  o.firmware = true;
  o.firmwareFile = Vff();
  o.loopback = false;
  o.baudIndex = 2;
  o.fastDownload = true;
  o.continuous = true;
  o.log = true;
  o.logDir = Logs();
  HeadlessJobDialog good(dlg, o);
  EXPECT_TRUE(good.ShowModal());
  EXPECT_EQ(job.jobFlags, 3);
  EXPECT_EQ(job.loopbackTest, 0);
  EXPECT_TRUE(job.logEnabled);
  EXPECT_TRUE(job.filesSelected);
  EXPECT_TRUE(cfg.fastDownload);
  EXPECT_TRUE(cfg.continuous);
  EXPECT_TRUE(MakeRunJob(job, cfg, TestInterfaces{}, "").continuous);
  EXPECT_EQ(dir.Read("storedCfg.txt"),
            "EEPROM: " + Vef() + "\r\nFirmware: " + Vff() +
                "\r\nFastDownload: 1\r\nContinuous: 1\r\nConsole: 2\r\n");

  // Shown again with no options: presets from the file (fast download and continuous
  // production too), the log unticked.
  dlg.ChkBox_fastDL.checked = false;
  dlg.ChkBox_continuous.checked = false;
  HeadlessJobDialog again(dlg, HeadlessJobOptions{});
  EXPECT_TRUE(again.ShowModal());
  EXPECT_EQ(job.jobFlags, 3);
  EXPECT_FALSE(job.logEnabled);
  EXPECT_EQ(cfg.consoleBaudIndex, 2);
  EXPECT_TRUE(dlg.ChkBox_fastDL.checked);
  EXPECT_TRUE(dlg.ChkBox_continuous.checked);
  EXPECT_TRUE(cfg.fastDownload);

  HeadlessJobOptions off;
  off.fastDownload = false;
  off.continuous = false;
  HeadlessJobDialog slow(dlg, off);
  EXPECT_TRUE(slow.ShowModal());
  EXPECT_FALSE(cfg.fastDownload);
  EXPECT_FALSE(cfg.continuous);
  EXPECT_FALSE(MakeRunJob(job, cfg, TestInterfaces{}, "").continuous);
  EXPECT_EQ(dir.Read("storedCfg.txt"),
            "EEPROM: " + Vef() + "\r\nFirmware: " + Vff() + "\r\nConsole: 2\r\n");

  // The unit identity options go through the same checks as the window's.
  HeadlessJobOptions scan;
  scan.scanSerial = true;
  scan.serialPattern = "[";
  HeadlessJobDialog badPattern(dlg, scan);
  EXPECT_FALSE(badPattern.ShowModal());
  EXPECT_EQ(Texts().back().rfind("serial pattern [ is not a valid regular expression: ", 0), 0u);
  scan.serialPattern = "SN[0-9]+";
  scan.labelTemplate = dir.File("none.lbl");
  HeadlessJobDialog noTemplate(dlg, scan);
  EXPECT_FALSE(noTemplate.ShowModal());
  EXPECT_EQ(Texts().back(), dir.File("none.lbl") + " not exists");
  scan.labelTemplate = "";
  HeadlessJobDialog scanning(dlg, scan);
  EXPECT_TRUE(scanning.ShowModal());
  EXPECT_TRUE(cfg.scanSerial);
  EXPECT_EQ(cfg.serialPattern, "SN[0-9]+");
}

TEST_F(SelectFiles, HeadlessAssignRefusedWithoutRange) {
  ASSERT_EQ(LoadPool("04:22:D1", "04:22:D1"), 0);
  HeadlessJobOptions o;
  o.assignMac = "04:22:D1";
  o.programMac = true;
  HeadlessJobDialog d(dlg, o);
  EXPECT_FALSE(d.ShowModal());
  EXPECT_EQ(Texts(), std::vector<std::string>{"Can't use this function now"});
  EXPECT_FALSE(job.filesSelected);

  dir.Write("storedMAC.txt", "broken");
  EXPECT_EQ(pool.Load(), -1);
  boxes.Clear();
  HeadlessJobDialog noPool(dlg, o);
  EXPECT_FALSE(noPool.ShowModal());
  // The assign box stays enabled from the earlier showing; its tick is refused.
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{"MAC not available", "Can't use this function now"}));
  EXPECT_FALSE(job.filesSelected);

  // A fresh dialog: the assign box was never enabled.
  SelectFilesLogic fresh(job, cfg, pool, boxes, nullptr);
  boxes.Clear();
  HeadlessJobDialog first(fresh, o);
  EXPECT_FALSE(first.ShowModal());
  EXPECT_EQ(Texts(), std::vector<std::string>{"MAC not available"});
}

}  // namespace
