// The job dialog "Select files" as the operator sees it, offscreen: controls,
// every check of OK in order, the MAC assign controls, the key filter, Browse and
// Cancel through the main window's "Select Files".
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MainLogic.h"
#include "base/fake/TestBoard.h"
#include "job/gui/TselectFilesDlg.h"
#include "platform/SerialPort.h"

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void SaveScreen(QWidget* w, const char* name) {
  const QByteArray dir = qgetenv("PT_SCREENS_DIR");
  if (dir.isEmpty()) return;
  QDir().mkpath(QString::fromLocal8Bit(dir));
  w->grab().save(QString::fromLocal8Bit(dir) + "/" + name);
}

// The main window's logic with a recording board, and the dialog over it.
struct Rig {
  Rig() {
    QDir(dir.path()).mkdir("logs");
    WriteFile(File("a.vef"), "eeprom");
    WriteFile(File("b.vff"), "firmware");
    main = std::make_unique<MainLogic>(PlatformServices{}, board, boxes, Dir());
    dlg = std::make_unique<TselectFilesDlg>(main->NewJobDialogLogic());
  }
  ~Rig() {
    dlg.reset();
    main.reset();
  }
  std::string Dir() const { return dir.path().toStdString(); }
  std::string File(const std::string& name) const { return Dir() + "/" + name; }
  void Pool(const std::string& next, const std::string& last) {
    WriteFile(File("storedMAC.txt"), "02:5C:3A:" + next + "\r\n02:5C:3A:" + last + "\r\n");
    main->macPool().Close();
    QCOMPARE(main->macPool().Load(), 0);
  }
  void Show() {
    dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg.get()));
  }
  void Type(QLineEdit* e, const QString& text) {
    e->selectAll();
    QTest::keyClick(e, Qt::Key_Delete);
    QTest::keyClicks(e, text);
  }
  void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(6, w->height() / 2)); }
  std::string LastBox() const {
    auto t = boxes.Texts();
    return t.empty() ? std::string() : t.back();
  }

  QTemporaryDir dir;
  RecordingBoard board;
  RecordingBoxes boxes;
  std::unique_ptr<MainLogic> main;
  std::unique_ptr<TselectFilesDlg> dlg;
};

}  // namespace

class TestSelectFiles : public QObject {
  Q_OBJECT
 private slots:
  void controlsAndInitialState();
  void okChecksInOrder();
  void assignWithUsedUpPool();
  void arrowsAtBothEndsAndKeyFilter();
  void halfTypedMacStaysOpen();
  void browseButtons();
  void cancelKeepsTheMainWindow();
  void okThroughSelectFiles();
  void typedBaudRates();
  void readOnlyJob();
  void packageButtons();
};

void TestSelectFiles::controlsAndInitialState() {
  Rig rig;
  TselectFilesDlg& d = *rig.dlg;
  QCOMPARE(d.windowTitle(), QString("Select files"));
  QStringList groups;
  for (auto* g : d.findChildren<QGroupBox*>()) groups << g->title();
  QCOMPARE(groups, (QStringList{"MAC address ", "System files", "Factory test", "Console baudrate",
                                "Log Messages", "Unit identity"}));
  struct Caption {
    const char* name;
    const char* text;
  };
  for (auto c :
       {Caption{"ChkBox_pMAC", "Program MAC address"},
        Caption{"ChkBox_assign_mac", "Assign MAC address"}, Caption{"ChkBox_EE", "EEPROM"},
        Caption{"ChkBox_FW", "Firmware"}, Caption{"ChkBox_fastDL", "fast download"},
        Caption{"ChkBox_continuous", "continuous production"},
        Caption{"ChkBox_Ltest", "loopback test"}, Caption{"CkBox_logfile", "log message file"},
        Caption{"ChkBox_scanSerial", "scan unit serial"}}) {
    auto* box = d.findChild<QCheckBox*>(c.name);
    QVERIFY2(box, c.name);
    QCOMPARE(box->text(), QString(c.text));
  }
  for (auto name : {"eeprom_brs", "firmware_brs", "log_brs", "label_brs"}) {
    QCOMPARE(d.findChild<QPushButton*>(name)->text(), QString("Browse..."));
  }
  QCOMPARE(d.findChild<QLabel*>("Label2")->text(), QString("02:5C:3A:"));
  QCOMPARE(d.findChild<QLabel*>("Label1")->text(), QString("file path: "));
  QCOMPARE(d.OKBtn->text(), QString("OK"));
  QVERIFY(d.OKBtn->isDefault());
  QCOMPARE(d.CancelBtn->text(), QString("Cancel"));
  QVERIFY(d.findChild<QWidget*>("UpDown_mac"));

  QVERIFY(!d.ChkBox_pMAC->isChecked());
  QVERIFY(!d.ChkBox_assign_mac->isEnabled());
  QVERIFY(!d.MaskEdit_MAC->isEnabled());
  QVERIFY(!d.UpDown_mac->isEnabled());
  QCOMPARE(d.MaskEdit_MAC->inputMask(), QString(">HH:HH:HH;_"));
  QCOMPARE(d.MaskEdit_MAC->displayText(), QString("__:__:__"));
  QVERIFY(d.ChkBox_Ltest->isChecked());
  QVERIFY(!d.ChkBox_fastDL->isChecked());
  QVERIFY(!d.ChkBox_continuous->isChecked());
  QVERIFY(d.console_CmbBox->isEditable());
  QCOMPARE(d.console_CmbBox->count(), 3);
  QCOMPARE(d.console_CmbBox->itemText(0), QString("115200"));
  QCOMPARE(d.console_CmbBox->itemText(1), QString("57600"));
  QCOMPARE(d.console_CmbBox->itemText(2), QString("38400"));
  QCOMPARE(d.console_CmbBox->currentIndex(), 0);

  // Shown with a stored job: the presets, the log unticked.
  WriteFile(
      rig.File("storedCfg.txt"),
      "EEPROM: " + rig.File("a.vef") + "\r\nFastDownload: 1\r\nContinuous: 1\r\nConsole: 1\r\n");
  rig.main->job.jobFlags = 3;
  rig.Show();
  QCOMPARE(d.eeprom_path->text().toStdString(), rig.File("a.vef"));
  QVERIFY(d.ChkBox_EE->isChecked());
  QVERIFY(d.eeprom_path->isEnabled());
  QVERIFY(!d.ChkBox_FW->isChecked());
  QVERIFY(!d.firmware_path->isEnabled());
  QCOMPARE(d.console_CmbBox->currentText(), QString("57600"));
  QVERIFY(d.ChkBox_fastDL->isChecked());
  QVERIFY(d.ChkBox_continuous->isChecked());
  QVERIFY(!d.CkBox_logfile->isChecked());
  QVERIFY(!d.log_path->isEnabled());
  QCOMPARE(rig.main->job.jobFlags, 0);
  // The pattern edit follows its box; the template is always open (empty: no label).
  QVERIFY(!d.ChkBox_scanSerial->isChecked() && !d.serial_pattern->isEnabled());
  QVERIFY(d.label_template->isEnabled());
  rig.Click(d.ChkBox_scanSerial);
  QVERIFY(d.serial_pattern->isEnabled());
  rig.Type(d.serial_pattern, "SN[0-9]{6}");
  // The groups stand one above the other, in this order.
  int bottom = -1;
  for (auto* g : d.findChildren<QGroupBox*>()) {
    QVERIFY2(g->y() > bottom, qPrintable(g->title()));
    bottom = g->geometry().bottom();
  }
  SaveScreen(&d, "selectfiles_shown.png");
}

void TestSelectFiles::okChecksInOrder() {
  Rig rig;
  TselectFilesDlg& d = *rig.dlg;
  rig.Show();
  rig.Click(d.ChkBox_EE);
  rig.Click(d.ChkBox_FW);
  rig.Click(d.CkBox_logfile);
  QVERIFY(d.eeprom_path->isEnabled() && d.firmware_path->isEnabled() && d.log_path->isEnabled());

  struct Step {
    QLineEdit* edit;
    std::string text;
    std::string message;
  };
  const std::vector<Step> steps = {
      {d.eeprom_path, "", "eeprom file field can't be blank"},
      {d.eeprom_path, rig.File("a.VEF"), "eeprom need .vef"},
      {d.eeprom_path, rig.File("none.vef"), rig.File("none.vef") + " not exists"},
      {d.eeprom_path, rig.File("a.vef"), "firmware file field can't be blank"},
      {d.firmware_path, rig.File("a.vef"), "firmware need .vff"},
      {d.firmware_path, rig.File("x.vff"), rig.File("x.vff") + " not exists"},
      {d.firmware_path, rig.File("b.vff"), "invalid log file directory"},
      {d.log_path, rig.File("missing"), "invalid log file directory"},
  };
  size_t n = 0;
  for (const auto& s : steps) {
    rig.Type(s.edit, QString::fromStdString(s.text));
    rig.Click(d.OKBtn);
    ++n;
    QCOMPARE(rig.boxes.Boxes().size(), n);
    QCOMPARE(rig.LastBox(), s.message);
    QCOMPARE(rig.boxes.Boxes().back().caption, std::string("Error"));
    QVERIFY(d.isVisible());  // the close is refused
    QVERIFY(!rig.main->job.filesSelected);
  }
  QCOMPARE(rig.boxes.Boxes().back().icon, BoxIcon::Warning);

  rig.Type(d.log_path, QString::fromStdString(rig.File("logs")));
  d.console_CmbBox->setCurrentIndex(2);
  rig.Click(d.ChkBox_continuous);
  rig.Click(d.OKBtn);
  QCOMPARE(rig.boxes.Boxes().size(), n);
  QVERIFY(!d.isVisible());
  QCOMPARE(d.result(), int(QDialog::Accepted));
  QCOMPARE(rig.main->job.jobFlags, 3);
  QVERIFY(rig.main->job.logEnabled);
  QVERIFY(rig.main->job.filesSelected);
  QCOMPARE(ReadFile(rig.File("storedCfg.txt")), "EEPROM: " + rig.File("a.vef") +
                                                    "\r\nFirmware: " + rig.File("b.vff") +
                                                    "\r\nContinuous: 1\r\nConsole: 2\r\n");
}

void TestSelectFiles::assignWithUsedUpPool() {
  Rig rig;
  TselectFilesDlg& d = *rig.dlg;
  rig.Pool("04:22:D2", "04:22:D1");  // the one address has been handed out
  rig.Show();
  QVERIFY(d.logic().macAvailable);
  QCOMPARE(d.logic().assignLow, 0);
  QCOMPARE(d.logic().assignHigh, 0);
  rig.Click(d.ChkBox_pMAC);
  QVERIFY(d.ChkBox_assign_mac->isEnabled());
  rig.Click(d.ChkBox_assign_mac);
  QCOMPARE(rig.LastBox(), std::string("Can't use this function now"));
  QVERIFY(!d.ChkBox_assign_mac->isChecked());
  QVERIFY(!d.MaskEdit_MAC->isEnabled());
  QVERIFY(!d.UpDown_mac->isEnabled());

  rig.Click(d.ChkBox_pMAC);  // unticked again
  QVERIFY(!d.ChkBox_assign_mac->isEnabled());

  // Without a usable pool: "MAC not available" and the box stays ticked.
  rig.main->macPool().Close();
  WriteFile(rig.File("storedMAC.txt"), "bad");
  QCOMPARE(rig.main->macPool().Load(), -1);
  d.hide();
  rig.Show();
  rig.Click(d.ChkBox_pMAC);
  QCOMPARE(rig.LastBox(), std::string("MAC not available"));
  QVERIFY(d.ChkBox_pMAC->isChecked());
}

void TestSelectFiles::arrowsAtBothEndsAndKeyFilter() {
  Rig rig;
  TselectFilesDlg& d = *rig.dlg;
  rig.Pool("04:22:D1", "04:22:D1");
  rig.Show();
  // The product's block never leaves a range to assign; give the dialog one as a
  // wider block would (04:22:D1 to 04:22:D3 handed out).
  d.logic().assignLow = 0x0422D1;
  d.logic().assignHigh = d.logic().assignCurrent = 0x0422D3;
  rig.Click(d.ChkBox_pMAC);
  rig.Click(d.ChkBox_assign_mac);
  QVERIFY(rig.boxes.Boxes().empty());
  QVERIFY(d.MaskEdit_MAC->isEnabled());
  QVERIFY(d.UpDown_mac->isEnabled());

  QTest::mouseClick(d.UpDown_mac_up, Qt::LeftButton);
  QCOMPARE(d.MaskEdit_MAC->text(), QString("04:22:D3"));  // clamped at the top
  for (int i = 0; i < 4; ++i) QTest::mouseClick(d.UpDown_mac_down, Qt::LeftButton);
  QCOMPARE(d.MaskEdit_MAC->text(), QString("04:22:D1"));  // clamped at the bottom
  QTest::mouseClick(d.UpDown_mac_up, Qt::LeftButton);
  QCOMPARE(d.MaskEdit_MAC->text(), QString("04:22:D2"));
  SaveScreen(&d, "selectfiles_assign.png");

  // Key filter: letters beyond F are dropped; hex digits go in upper case and the
  // arrows step on from the typed value.
  d.MaskEdit_MAC->setFocus();
  d.MaskEdit_MAC->setCursorPosition(7);
  QTest::keyClick(d.MaskEdit_MAC, Qt::Key_G);
  QTest::keyClick(d.MaskEdit_MAC, Qt::Key_Z);
  QCOMPARE(d.MaskEdit_MAC->text(), QString("04:22:D2"));
  d.MaskEdit_MAC->setCursorPosition(7);
  QTest::keyClicks(d.MaskEdit_MAC, "1");
  QCOMPARE(d.MaskEdit_MAC->text(), QString("04:22:D1"));
  d.MaskEdit_MAC->setCursorPosition(6);
  QTest::keyClicks(d.MaskEdit_MAC, "c");
  QCOMPARE(d.MaskEdit_MAC->text(), QString("04:22:C1"));
  QTest::mouseClick(d.UpDown_mac_up, Qt::LeftButton);  // from D1, the value before "c"
  QCOMPARE(d.MaskEdit_MAC->text(), QString("04:22:D2"));
  QVERIFY(rig.board.Exceptions().empty());

  // With an empty position the recomputation fails: the exception box, no insert.
  d.MaskEdit_MAC->selectAll();
  QTest::keyClick(d.MaskEdit_MAC, Qt::Key_Delete);
  QCOMPARE(d.MaskEdit_MAC->displayText(), QString("__:__:__"));
  QTest::keyClicks(d.MaskEdit_MAC, "1");
  QCOMPARE(d.MaskEdit_MAC->displayText(), QString("__:__:__"));
  QCOMPARE(rig.board.Exceptions(), std::vector<std::string>{"'0x  ' is not a valid integer value"});
}

void TestSelectFiles::halfTypedMacStaysOpen() {
  Rig rig;
  TselectFilesDlg& d = *rig.dlg;
  rig.Pool("04:22:D1", "04:22:D1");
  rig.Show();
  d.logic().assignLow = 0x0422D1;
  d.logic().assignHigh = 0x0422D3;
  rig.Click(d.ChkBox_pMAC);
  rig.Click(d.ChkBox_assign_mac);
  d.MaskEdit_MAC->setText("04:2");
  rig.Click(d.OKBtn);
  QCOMPARE(rig.board.Exceptions(), std::vector<std::string>{"'0x2 ' is not a valid integer value"});
  QVERIFY(d.isVisible());
  QCOMPARE(d.logic().dialogOutcome, 2);
  QVERIFY(!rig.main->job.filesSelected);

  d.MaskEdit_MAC->setText("04:22:D4");  // beyond the range
  rig.Click(d.OKBtn);
  QCOMPARE(rig.LastBox(), std::string("Invalid assign MAC"));
  QVERIFY(d.isVisible());

  d.MaskEdit_MAC->setText("04:22:D3");
  rig.Click(d.OKBtn);
  QVERIFY(!d.isVisible());
  QCOMPARE(rig.main->job.assignedMacText, std::string("02:5C:3A:04:22:D3"));
  QVERIFY(rig.main->job.assignMac);
}

void TestSelectFiles::browseButtons() {
  Rig rig;
  TselectFilesDlg& d = *rig.dlg;
  std::vector<std::string> filters;
  d.logic().SetFileChoosers(
      {[&](const std::string& f) -> std::optional<std::string> {
         filters.push_back(f);
         if (f == SelectFilesLogic::kEepromFilter) return std::string("/img/dev.vef");
         return std::nullopt;  // cancelled
       },
       []() -> std::optional<std::string> { return std::string("/var/log/line1"); }});
  rig.Show();
  d.firmware_path->setText("kept.vff");
  rig.Click(d.eeprom_brs);
  rig.Click(d.firmware_brs);
  rig.Click(d.log_brs);
  rig.Click(d.label_brs);
  QCOMPARE(d.eeprom_path->text(), QString("/img/dev.vef"));
  QCOMPARE(d.firmware_path->text(), QString("kept.vff"));
  QCOMPARE(d.log_path->text(), QString("/var/log/line1"));
  QVERIFY(!d.ChkBox_EE->isChecked());  // the ticks stay as they were
  QCOMPARE(filters,
           (std::vector<std::string>{"eeprom file(*.vef)|*.vef", "firmware file(*.vff)|*.vff",
                                     "label template(*.lbl)|*.lbl"}));
}

void TestSelectFiles::cancelKeepsTheMainWindow() {
  Rig rig;
  MainLogic& m = *rig.main;
  WriteFile(rig.File("storedCfg.txt"), "Console: 0\r\n");
  m.SetMacGridCell(0, 0, "available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1");
  m.AppendMessage("EEPROM: old.vef");
  m.job.filesSelected = true;
  m.job.loopbackTest = 1;
  m.job.jobFlags = 1;
  QTimer::singleShot(0, rig.dlg.get(), [&] {
    rig.dlg->ChkBox_Ltest->setChecked(false);
    rig.Click(rig.dlg->CancelBtn);
  });
  m.selectFileBtnClick(*rig.dlg);
  QCOMPARE(rig.dlg->result(), int(QDialog::Rejected));
  QCOMPARE(rig.board.MacCell(0, 0), std::string("available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1"));
  QCOMPARE(rig.board.Messages(), std::vector<std::string>{"EEPROM: old.vef"});
  QVERIFY(m.job.filesSelected);
  QCOMPARE(m.job.loopbackTest, 1);
  QCOMPARE(m.job.jobFlags, 0);  // showing the dialog clears the download stages

  // Esc cancels too.
  QTimer::singleShot(0, rig.dlg.get(), [&] { QTest::keyClick(rig.dlg.get(), Qt::Key_Escape); });
  rig.dlg->ShowModal();
  QCOMPARE(rig.dlg->result(), int(QDialog::Rejected));
  QCOMPARE(rig.dlg->logic().dialogOutcome, 2);
}

void TestSelectFiles::okThroughSelectFiles() {
  Rig rig;
  MainLogic& m = *rig.main;
  rig.Pool("04:22:D1", "04:22:D1");
  WriteFile(rig.File("storedCfg.txt"), "Firmware: " + rig.File("b.vff") + "\r\nConsole: 0\r\n");
  QTimer::singleShot(0, rig.dlg.get(), [&] {
    rig.Click(rig.dlg->ChkBox_pMAC);
    rig.Click(rig.dlg->OKBtn);
  });
  m.selectFileBtnClick(*rig.dlg);
  QCOMPARE(rig.dlg->result(), int(QDialog::Accepted));
  QVERIFY(m.job.programMac);
  QVERIFY(m.job.filesSelected);
  QCOMPARE(m.job.jobFlags, 2);
  QCOMPARE(rig.board.MacCell(0, 0), std::string("available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1"));
  QCOMPARE(rig.board.Messages(),
           (std::vector<std::string>{"MAC pool: " + m.macPool().Describe(),
                                     "EEPROM: ", "Firmware: " + rig.File("b.vff")}));
}

void TestSelectFiles::typedBaudRates() {
  // The operator types into the combo box's text and confirms with Enter: a listed rate
  // selects its item, anything else (or nothing) selects none and the workers then use
  // 115200 baud. The next showing presents what was stored.
  struct Case {
    QString typed;
    int index;
    uint32_t baud;
  };
  Rig rig;
  MainLogic& m = *rig.main;
  for (const Case& c : {Case{"57600", 1, 57600}, Case{"9600", -1, 115200}, Case{"", -1, 115200},
                        Case{"38400", 2, 38400}}) {
    QString shownAtOpen;
    QTimer::singleShot(0, rig.dlg.get(), [&] {
      QComboBox* box = rig.dlg->console_CmbBox;
      shownAtOpen = box->currentText();
      box->setFocus();
      box->lineEdit()->selectAll();
      QTest::keyClick(box->lineEdit(), Qt::Key_Delete);
      QTest::keyClicks(box->lineEdit(), c.typed);
      QTest::keyClick(box->lineEdit(), Qt::Key_Return);  // Enter: the default button OK
      if (rig.dlg->isVisible()) rig.dlg->CancelBtn->click();
    });
    m.selectFileBtnClick(*rig.dlg);
    QCOMPARE(rig.dlg->result(), int(QDialog::Accepted));
    QCOMPARE(m.storedConfig.consoleBaudIndex, c.index);
    QCOMPARE(BaudFromIndex(m.storedConfig.consoleBaudIndex), c.baud);
    QVERIFY(
        ReadFile(rig.File("storedCfg.txt")).find("Console: " + std::to_string(c.index) + "\r\n") !=
        std::string::npos);
    if (c.typed == "") QCOMPARE(shownAtOpen, QString(""));  // after "9600": no item
  }
  QVERIFY(rig.boxes.Boxes().empty());
}

namespace {

// The job controls of the dialog: everything but OK, Cancel and the package side.
std::vector<QWidget*> JobControls(TselectFilesDlg& d) {
  std::vector<QWidget*> controls;
  for (QWidget* w : d.findChildren<QWidget*>()) {
    if (w == d.OKBtn || w == d.CancelBtn || w == d.Btn_loadPackage || w == d.Btn_leavePackage)
      continue;
    if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
        qobject_cast<QComboBox*>(w))
      controls.push_back(w);
  }
  return controls;
}

JobDialogPackage ShownPackage() {
  JobDialogPackage p;
  p.shown = true;
  p.name = "DS1000 line 3";
  p.version = "7";
  p.sha256 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  p.keyId = "5b2c9e01";
  p.locked = true;
  return p;
}

}  // namespace

void TestSelectFiles::readOnlyJob() {
  Rig rig;
  TselectFilesDlg& d = *rig.dlg;
  // A station without a package side shows the dialog as it always was.
  d.logic().SetPackageSource({});
  rig.Show();
  QVERIFY(!d.Label_package->isVisible() && !d.Btn_loadPackage->isVisible() &&
          !d.Btn_leavePackage->isVisible());
  d.hide();

  const std::string stored = "EEPROM: " + rig.File("a.vef") + "\r\nConsole: 1\r\n";
  WriteFile(rig.File("storedCfg.txt"), stored);
  d.logic().SetPackageSource(ShownPackage);
  rig.Show();
  const std::vector<QWidget*> controls = JobControls(d);
  QVERIFY(controls.size() >= 20);
  for (QWidget* w : controls) QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
  QCOMPARE(d.eeprom_path->text().toStdString(), rig.File("a.vef"));  // shown, not editable
  QCOMPARE(d.Label_package->text(),
           QString("Package DS1000 line 3 7, SHA-256 0123456789abcdef..., key 5b2c9e01"));
  QVERIFY(d.Label_package->isVisible() && d.Label_package->font().bold());
  QVERIFY(!d.Btn_loadPackage->isEnabled() && !d.Btn_leavePackage->isEnabled());
  SaveScreen(&d, "selectfiles_package.png");
  // OK changes nothing.
  rig.Click(d.OKBtn);
  QVERIFY(!d.isVisible());
  QCOMPARE(d.result(), int(QDialog::Accepted));
  QCOMPARE(ReadFile(rig.File("storedCfg.txt")), stored);
  QVERIFY(rig.boxes.Boxes().empty());

  // Locked without a package: the reason on the package line, Cancel closes.
  JobDialogPackage locked;
  locked.locked = true;
  locked.lockedText = "Production mode: no approved job";
  d.logic().SetPackageSource([locked] { return locked; });
  rig.Show();
  QCOMPARE(d.Label_package->text(), QString("Production mode: no approved job"));
  QVERIFY(!d.Label_package->font().bold());
  for (QWidget* w : controls) QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
  rig.Click(d.CancelBtn);
  QVERIFY(!d.isVisible());
  QCOMPARE(ReadFile(rig.File("storedCfg.txt")), stored);
}

void TestSelectFiles::packageButtons() {
  Rig rig;
  TselectFilesDlg& d = *rig.dlg;
  std::vector<std::string> filters;
  std::optional<std::string> chosen;  // the file chooser's answer
  d.logic().SetFileChoosers({[&](const std::string& f) {
                               filters.push_back(f);
                               return chosen;
                             },
                             {}});
  // The station's side, as the dialog asks for it at every showing.
  std::vector<std::string> loaded;
  int leaves = 0;
  bool packageJob = false;
  d.logic().SetPackageSource([&] {
    JobDialogPackage p = packageJob ? ShownPackage() : JobDialogPackage{};
    p.load = [&](const std::string& path, std::string* text) {
      loaded.push_back(path);
      if (path.find("bad") != std::string::npos) {
        *text = "job package " + path + ": the signature does not verify";
        return false;
      }
      WriteFile(rig.File("storedCfg.txt"), "Firmware: " + rig.File("b.vff") + "\r\n");
      packageJob = true;
      return true;
    };
    if (packageJob) {
      p.leave = [&](std::string*) {
        ++leaves;
        WriteFile(rig.File("storedCfg.txt"), "EEPROM: " + rig.File("a.vef") + "\r\n");
        packageJob = false;
        return true;
      };
    }
    return p;
  });
  rig.Show();
  QVERIFY(d.Btn_loadPackage->isVisible() && d.Btn_loadPackage->isEnabled());
  QVERIFY(!d.Btn_leavePackage->isEnabled());
  QCOMPARE(d.Btn_loadPackage->text(), QString("Load package..."));
  QVERIFY(!d.Label_package->isVisible());

  rig.Click(d.Btn_loadPackage);  // the chooser cancelled: nothing loaded
  QVERIFY(loaded.empty());
  chosen = "/pkgs/bad.ptjob";
  rig.Click(d.ChkBox_EE);
  rig.Type(d.eeprom_path, "typed.vef");
  rig.Click(d.Btn_loadPackage);
  QCOMPARE(rig.LastBox(),
           std::string("job package /pkgs/bad.ptjob: the signature does not verify"));
  // Refused: the dialog's own job as the operator left it.
  QVERIFY(d.ChkBox_EE->isEnabled() && d.ChkBox_EE->isChecked());
  QCOMPARE(d.eeprom_path->text(), QString("typed.vef"));

  chosen = "/pkgs/line3.ptjob";
  rig.Click(d.Btn_loadPackage);
  QCOMPARE(loaded, (std::vector<std::string>{"/pkgs/bad.ptjob", "/pkgs/line3.ptjob"}));
  QCOMPARE(filters, std::vector<std::string>(3, "job package(*.ptjob)|*.ptjob"));
  // The package's job, read-only, and the line naming it.
  QVERIFY(d.ChkBox_FW->isChecked() && !d.ChkBox_FW->isEnabled());
  QCOMPARE(d.firmware_path->text().toStdString(), rig.File("b.vff"));
  QVERIFY(d.Label_package->text().startsWith("Package DS1000 line 3 7"));
  QVERIFY(d.Btn_leavePackage->isEnabled());

  rig.Click(d.Btn_leavePackage);
  QCOMPARE(leaves, 1);
  QVERIFY(d.ChkBox_EE->isChecked() && d.ChkBox_EE->isEnabled());
  QVERIFY(!d.ChkBox_FW->isChecked());
  QVERIFY(!d.Label_package->isVisible() && !d.Btn_leavePackage->isEnabled());
  QCOMPARE(rig.boxes.Boxes().size(), size_t{1});
}

QTEST_MAIN(TestSelectFiles)
#include "test_selectfiles.moc"
