#include "job/gui/TselectFilesDlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// Paths are UTF-8 inside the station on every system (Windows' wide calls included).
QString Q(const std::string& s) {
  return QString::fromUtf8(s.c_str(), static_cast<qsizetype>(s.size()));
}
std::string S(const QString& s) {
  return s.toUtf8().toStdString();
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const char* caption) {
  auto* c = new QCheckBox(QString::fromLatin1(caption), parent);
  c->setObjectName(QString::fromLatin1(name));
  return c;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString::fromLatin1(name));
  e->setMaxLength(1024);
  e->setMinimumWidth(300);
  return e;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QString::fromLatin1(name));
  return b;
}

}  // namespace

TselectFilesDlg::TselectFilesDlg(std::unique_ptr<SelectFilesLogic> logic, QWidget* parent)
    : QDialog(parent), ownLogic_(std::move(logic)), logic_(*ownLogic_) {
  Build();
}

TselectFilesDlg::TselectFilesDlg(SelectFilesLogic& logic, QWidget* parent)
    : QDialog(parent), logic_(logic) {
  Build();
}

TselectFilesDlg::~TselectFilesDlg() = default;

void TselectFilesDlg::Build() {
  setObjectName(QStringLiteral("selectFilesDlg"));
  setWindowTitle(QString::fromLatin1(SelectFilesLogic::kCaption));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);

  auto* top = new QVBoxLayout(this);
  top->setSizeConstraint(QLayout::SetFixedSize);

  // MAC address
  auto* macGroup = new QGroupBox(QStringLiteral("MAC address "), this);
  auto* macGrid = new QGridLayout(macGroup);
  ChkBox_pMAC = MakeCheck(macGroup, "ChkBox_pMAC", "Program MAC address");
  ChkBox_assign_mac = MakeCheck(macGroup, "ChkBox_assign_mac", "Assign MAC address");
  Label2 = new QLabel(QString::fromLatin1(SelectFilesLogic::kVendorPrefix), macGroup);
  Label2->setObjectName(QStringLiteral("Label2"));
  MaskEdit_MAC = new QLineEdit(macGroup);
  MaskEdit_MAC->setObjectName(QStringLiteral("MaskEdit_MAC"));
  MaskEdit_MAC->setInputMask(QString::fromLatin1(kMacMask));
  MaskEdit_MAC->setFixedWidth(
      MaskEdit_MAC->fontMetrics().horizontalAdvance(QStringLiteral("WW:WW:WW")) + 16);
  MaskEdit_MAC->installEventFilter(this);
  UpDown_mac = new QWidget(macGroup);
  UpDown_mac->setObjectName(QStringLiteral("UpDown_mac"));
  auto* arrows = new QVBoxLayout(UpDown_mac);
  arrows->setContentsMargins(0, 0, 0, 0);
  arrows->setSpacing(0);
  UpDown_mac_up = new QToolButton(UpDown_mac);
  UpDown_mac_up->setObjectName(QStringLiteral("UpDown_mac_up"));
  UpDown_mac_up->setArrowType(Qt::UpArrow);
  UpDown_mac_down = new QToolButton(UpDown_mac);
  UpDown_mac_down->setObjectName(QStringLiteral("UpDown_mac_down"));
  UpDown_mac_down->setArrowType(Qt::DownArrow);
  for (QToolButton* b : {UpDown_mac_up, UpDown_mac_down}) {
    b->setFixedSize(18, 11);
    b->setAutoRepeat(true);
    arrows->addWidget(b);
  }
  auto* macRow = new QHBoxLayout();
  macRow->setSpacing(2);
  macRow->addWidget(Label2);
  macRow->addWidget(MaskEdit_MAC);
  macRow->addWidget(UpDown_mac);
  macRow->addStretch(1);
  macGrid->addWidget(ChkBox_pMAC, 0, 0);
  macGrid->addWidget(ChkBox_assign_mac, 1, 0);
  macGrid->addLayout(macRow, 1, 1);
  macGrid->setColumnStretch(1, 1);
  top->addWidget(macGroup);

  // System files
  auto* filesGroup = new QGroupBox(QStringLiteral("System files"), this);
  auto* filesGrid = new QGridLayout(filesGroup);
  ChkBox_EE = MakeCheck(filesGroup, "ChkBox_EE", "EEPROM");
  eeprom_path = MakeEdit(filesGroup, "eeprom_path");
  eeprom_brs = MakeButton(filesGroup, "eeprom_brs", "Browse...");
  ChkBox_FW = MakeCheck(filesGroup, "ChkBox_FW", "Firmware");
  firmware_path = MakeEdit(filesGroup, "firmware_path");
  firmware_brs = MakeButton(filesGroup, "firmware_brs", "Browse...");
  filesGrid->addWidget(ChkBox_EE, 0, 0);
  filesGrid->addWidget(eeprom_path, 0, 1);
  filesGrid->addWidget(eeprom_brs, 0, 2);
  filesGrid->addWidget(ChkBox_FW, 1, 0);
  filesGrid->addWidget(firmware_path, 1, 1);
  filesGrid->addWidget(firmware_brs, 1, 2);
  ChkBox_fastDL = MakeCheck(filesGroup, "ChkBox_fastDL", SelectFilesLogic::kFastDownloadCaption);
  ChkBox_continuous =
      MakeCheck(filesGroup, "ChkBox_continuous", SelectFilesLogic::kContinuousCaption);
  auto* choiceRow = new QHBoxLayout();
  choiceRow->addWidget(ChkBox_fastDL);
  choiceRow->addSpacing(24);
  choiceRow->addWidget(ChkBox_continuous);
  choiceRow->addStretch(1);
  filesGrid->addLayout(choiceRow, 2, 0, 1, 3);
  top->addWidget(filesGroup);

  // Factory test
  auto* testGroup = new QGroupBox(QStringLiteral("Factory test"), this);
  auto* testLayout = new QVBoxLayout(testGroup);
  ChkBox_Ltest = MakeCheck(testGroup, "ChkBox_Ltest", "loopback test");
  testLayout->addWidget(ChkBox_Ltest);
  top->addWidget(testGroup);

  // Console baud rate
  auto* baudGroup = new QGroupBox(QStringLiteral("Console baudrate"), this);
  auto* baudLayout = new QHBoxLayout(baudGroup);
  console_CmbBox = new QComboBox(baudGroup);
  console_CmbBox->setObjectName(QStringLiteral("console_CmbBox"));
  console_CmbBox->setEditable(true);
  console_CmbBox->setInsertPolicy(QComboBox::NoInsert);
  for (const char* item : SelectFilesLogic::kBaudItems)
    console_CmbBox->addItem(QString::fromLatin1(item));
  baudLayout->addWidget(console_CmbBox);
  baudLayout->addStretch(1);
  top->addWidget(baudGroup);

  // Log messages
  auto* logGroup = new QGroupBox(QStringLiteral("Log Messages"), this);
  auto* logGrid = new QGridLayout(logGroup);
  CkBox_logfile = MakeCheck(logGroup, "CkBox_logfile", "log message file");
  Label1 = new QLabel(QStringLiteral("file path: "), logGroup);
  Label1->setObjectName(QStringLiteral("Label1"));
  log_path = MakeEdit(logGroup, "log_path");
  log_brs = MakeButton(logGroup, "log_brs", "Browse...");
  logGrid->addWidget(CkBox_logfile, 0, 0, 1, 3);
  logGrid->addWidget(Label1, 1, 0);
  logGrid->addWidget(log_path, 1, 1);
  logGrid->addWidget(log_brs, 1, 2);
  top->addWidget(logGroup);

  // Unit identity: the serial each unit is scanned with, and the label of a passed unit
  auto* unitGroup = new QGroupBox(QStringLiteral("Unit identity"), this);
  auto* unitGrid = new QGridLayout(unitGroup);
  ChkBox_scanSerial =
      MakeCheck(unitGroup, "ChkBox_scanSerial", SelectFilesLogic::kScanSerialCaption);
  Label_pattern = new QLabel(QStringLiteral("serial pattern: "), unitGroup);
  Label_pattern->setObjectName(QStringLiteral("Label_pattern"));
  serial_pattern = MakeEdit(unitGroup, "serial_pattern");
  serial_pattern->setPlaceholderText(QStringLiteral("any serial"));
  Label_template = new QLabel(QStringLiteral("label template: "), unitGroup);
  Label_template->setObjectName(QStringLiteral("Label_template"));
  label_template = MakeEdit(unitGroup, "label_template");
  label_template->setPlaceholderText(QStringLiteral("no label"));
  label_brs = MakeButton(unitGroup, "label_brs", "Browse...");
  Label_pattern->setBuddy(serial_pattern);
  Label_template->setBuddy(label_template);
  unitGrid->addWidget(ChkBox_scanSerial, 0, 0, 1, 3);
  unitGrid->addWidget(Label_pattern, 1, 0);
  unitGrid->addWidget(serial_pattern, 1, 1);
  unitGrid->addWidget(Label_template, 2, 0);
  unitGrid->addWidget(label_template, 2, 1);
  unitGrid->addWidget(label_brs, 2, 2);
  top->addWidget(unitGroup);
  jobGroups_ = {macGroup, filesGroup, testGroup, baudGroup, logGroup, unitGroup};

  // The job package: its line above the buttons, which go left of OK and Cancel (both
  // hidden for a station that has no package side).
  Label_package = new QLabel(this);
  Label_package->setObjectName(QStringLiteral("Label_package"));
  Label_package->setTextFormat(Qt::PlainText);
  Label_package->setWordWrap(true);
  Label_package->setTextInteractionFlags(Qt::TextSelectableByMouse);
  top->addWidget(Label_package);
  Btn_loadPackage = MakeButton(this, "Btn_loadPackage", kLoadPackageCaption);
  Btn_leavePackage = MakeButton(this, "Btn_leavePackage", kLeavePackageCaption);
  Btn_loadPackage->setAutoDefault(false);
  Btn_leavePackage->setAutoDefault(false);

  // OK and Cancel at the bottom right
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(Btn_loadPackage);
  buttons->addWidget(Btn_leavePackage);
  buttons->addStretch(1);
  OKBtn = MakeButton(this, "OKBtn", "OK");
  OKBtn->setDefault(true);
  OKBtn->setAutoDefault(true);
  CancelBtn = MakeButton(this, "CancelBtn", "Cancel");
  CancelBtn->setAutoDefault(false);
  eeprom_brs->setAutoDefault(false);
  firmware_brs->setAutoDefault(false);
  log_brs->setAutoDefault(false);
  label_brs->setAutoDefault(false);
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  top->addLayout(buttons);

  // Handlers. clicked() comes from the operator only, not from SyncFromLogic.
  connect(ChkBox_pMAC, &QCheckBox::clicked, this,
          [this] { Run([this] { logic_.ChkBox_pMACClick(); }); });
  connect(ChkBox_assign_mac, &QCheckBox::clicked, this,
          [this] { Run([this] { logic_.ChkBox_assign_macClick(); }); });
  connect(ChkBox_EE, &QCheckBox::clicked, this,
          [this] { Run([this] { logic_.ChkBox_EEClick(); }); });
  connect(ChkBox_FW, &QCheckBox::clicked, this,
          [this] { Run([this] { logic_.ChkBox_FWClick(); }); });
  connect(CkBox_logfile, &QCheckBox::clicked, this,
          [this] { Run([this] { logic_.CkBox_logfileClick(); }); });
  connect(UpDown_mac_up, &QToolButton::clicked, this,
          [this] { Run([this] { logic_.UpDown_macClick(UpDownButton::Up); }); });
  connect(UpDown_mac_down, &QToolButton::clicked, this,
          [this] { Run([this] { logic_.UpDown_macClick(UpDownButton::Down); }); });
  connect(eeprom_brs, &QPushButton::clicked, this,
          [this] { Run([this] { logic_.eeprom_brsClick(); }); });
  connect(firmware_brs, &QPushButton::clicked, this,
          [this] { Run([this] { logic_.firmware_brsClick(); }); });
  connect(log_brs, &QPushButton::clicked, this, [this] { Run([this] { logic_.log_brsClick(); }); });
  connect(ChkBox_scanSerial, &QCheckBox::clicked, this,
          [this] { Run([this] { logic_.ChkBox_scanSerialClick(); }); });
  connect(label_brs, &QPushButton::clicked, this,
          [this] { Run([this] { logic_.label_brsClick(); }); });
  connect(Btn_loadPackage, &QPushButton::clicked, this, &TselectFilesDlg::OnLoadPackage);
  connect(Btn_leavePackage, &QPushButton::clicked, this, &TselectFilesDlg::OnLeavePackage);
  connect(OKBtn, &QPushButton::clicked, this, &TselectFilesDlg::OnOk);
  connect(CancelBtn, &QPushButton::clicked, this, &TselectFilesDlg::reject);

  InstallFileChoosers();
  SyncFromLogic();
}

void TselectFilesDlg::InstallFileChoosers() {
  JobFileChoosers choosers;
  choosers.openFile = [this](const std::string& filter) -> std::optional<std::string> {
    // "description(*.ext)|*.ext": the toolkit takes the part before the bar.
    std::string shown = filter.substr(0, filter.find('|'));
    QString path = QFileDialog::getOpenFileName(this, QString(), QString(), Q(shown));
    if (path.isEmpty()) return std::nullopt;
    return S(path);
  };
  choosers.chooseDirectory = [this]() -> std::optional<std::string> {
    QString dir = QFileDialog::getExistingDirectory(
        this, QString(), QString(), QFileDialog::ShowDirsOnly | QFileDialog::ReadOnly);
    if (dir.isEmpty()) return std::nullopt;
    return S(dir);
  };
  logic_.SetFileChoosers(std::move(choosers));
}

void TselectFilesDlg::SyncToLogic() {
  logic_.ChkBox_pMAC.checked = ChkBox_pMAC->isChecked();
  logic_.ChkBox_assign_mac.checked = ChkBox_assign_mac->isChecked();
  std::string mac = S(MaskEdit_MAC->displayText());
  for (char& c : mac) {
    if (c == '_') c = ' ';
  }
  logic_.MaskEdit_MAC.text = mac;
  logic_.ChkBox_EE.checked = ChkBox_EE->isChecked();
  logic_.eeprom_path.text = S(eeprom_path->text());
  logic_.ChkBox_FW.checked = ChkBox_FW->isChecked();
  logic_.firmware_path.text = S(firmware_path->text());
  logic_.ChkBox_fastDL.checked = ChkBox_fastDL->isChecked();
  logic_.ChkBox_continuous.checked = ChkBox_continuous->isChecked();
  logic_.ChkBox_Ltest.checked = ChkBox_Ltest->isChecked();
  // An editable combo box: the selected item is the one whose text is shown.
  logic_.console_CmbBox_index =
      console_CmbBox->findText(console_CmbBox->currentText(), Qt::MatchExactly);
  logic_.CkBox_logfile.checked = CkBox_logfile->isChecked();
  logic_.log_path.text = S(log_path->text());
  logic_.ChkBox_scanSerial.checked = ChkBox_scanSerial->isChecked();
  logic_.serial_pattern.text = S(serial_pattern->text());
  logic_.label_template.text = S(label_template->text());
}

void TselectFilesDlg::SyncFromLogic() {
  auto check = [](QCheckBox* box, const CheckBoxState& s) {
    box->setChecked(s.checked);
    box->setEnabled(s.enabled);
  };
  auto edit = [](QLineEdit* e, const EditState& s) {
    if (S(e->text()) != s.text) e->setText(Q(s.text));
    e->setEnabled(s.enabled);
  };
  check(ChkBox_pMAC, logic_.ChkBox_pMAC);
  check(ChkBox_assign_mac, logic_.ChkBox_assign_mac);
  std::string mac = S(MaskEdit_MAC->displayText());
  for (char& c : mac) {
    if (c == '_') c = ' ';
  }
  if (mac != logic_.MaskEdit_MAC.text) MaskEdit_MAC->setText(Q(logic_.MaskEdit_MAC.text));
  MaskEdit_MAC->setEnabled(logic_.MaskEdit_MAC.enabled);
  UpDown_mac->setEnabled(logic_.UpDown_mac_enabled);
  check(ChkBox_EE, logic_.ChkBox_EE);
  edit(eeprom_path, logic_.eeprom_path);
  check(ChkBox_FW, logic_.ChkBox_FW);
  edit(firmware_path, logic_.firmware_path);
  check(ChkBox_fastDL, logic_.ChkBox_fastDL);
  check(ChkBox_continuous, logic_.ChkBox_continuous);
  check(ChkBox_Ltest, logic_.ChkBox_Ltest);
  int idx = logic_.console_CmbBox_index;
  if (idx >= 0 && idx < console_CmbBox->count()) {
    console_CmbBox->setCurrentIndex(idx);
    console_CmbBox->setEditText(console_CmbBox->itemText(idx));
  } else {
    console_CmbBox->setCurrentIndex(-1);
    console_CmbBox->setEditText(QString());
  }
  check(CkBox_logfile, logic_.CkBox_logfile);
  edit(log_path, logic_.log_path);
  check(ChkBox_scanSerial, logic_.ChkBox_scanSerial);
  edit(serial_pattern, logic_.serial_pattern);
  Label_pattern->setEnabled(logic_.serial_pattern.enabled);
  edit(label_template, logic_.label_template);

  // A read-only job: every job control is disabled through its group (the controls keep
  // the states above for when the job may be changed again); OK and Cancel only close.
  const bool readOnly = logic_.ReadOnly();
  for (QGroupBox* g : jobGroups_) g->setEnabled(!readOnly);
  const JobDialogPackage& package = logic_.Package();
  const std::string line = PackageLine(package);
  Label_package->setText(Q(line));
  Label_package->setVisible(!line.empty());
  // A package's job reads as such at a glance: its line is bold, beside the greyed job.
  QFont bold = Label_package->font();
  bold.setBold(package.shown);
  Label_package->setFont(bold);
  Btn_loadPackage->setEnabled(static_cast<bool>(package.load));
  Btn_leavePackage->setEnabled(static_cast<bool>(package.leave));
  const bool packageSide = !line.empty() || package.load || package.leave;
  Btn_loadPackage->setVisible(packageSide);
  Btn_leavePackage->setVisible(packageSide);
}

std::string TselectFilesDlg::PackageLine(const JobDialogPackage& package) {
  if (package.shown) {
    return "Package " + package.name + " " + package.version + ", SHA-256 " +
           package.sha256.substr(0, 16) + "..., key " + package.keyId;
  }
  return package.locked ? package.lockedText : std::string();
}

void TselectFilesDlg::OnLoadPackage() {
  // Copies: the station sets the dialog's package side anew while these run.
  const auto load = logic_.Package().load;
  const auto openFile = logic_.FileChoosers().openFile;
  if (!load || !openFile) return;
  SyncToLogic();  // what the operator changed stays when the package is refused
  const std::optional<std::string> path = openFile(kPackageFilter);
  if (!path) return;
  std::string text;
  if (load(*path, &text)) {
    ShowStationJob();
  } else {
    ShowError(logic_.Boxes(), text);
    SyncFromLogic();
  }
}

void TselectFilesDlg::OnLeavePackage() {
  const auto leave = logic_.Package().leave;
  if (!leave) return;
  SyncToLogic();
  std::string text;
  if (leave(&text)) {
    ShowStationJob();
  } else {
    ShowError(logic_.Boxes(), text);
    SyncFromLogic();
  }
}

void TselectFilesDlg::ShowStationJob() {
  // As when the dialog opens: the controls from the job the station has now.
  Run([this] { logic_.FormShow(); });
  adjustSize();
}

template <typename Fn>
void TselectFilesDlg::Run(Fn fn) {
  SyncToLogic();
  fn();
  SyncFromLogic();
}

void TselectFilesDlg::OnOk() {
  Run([this] { logic_.OKBtnClick(); });
  if (logic_.FormClose()) {
    QDialog::accept();
  }
}

void TselectFilesDlg::reject() {
  logic_.CancelBtnClick();
  logic_.FormClose();
  QDialog::reject();
}

void TselectFilesDlg::showEvent(QShowEvent* e) {
  if (!e->spontaneous()) {
    Run([this] { logic_.FormShow(); });
    // Centred on the screen, whatever window opened it.
    if (QScreen* s = screen()) {
      adjustSize();
      move(s->availableGeometry().center() - rect().center());
    }
  }
  QDialog::showEvent(e);
}

void TselectFilesDlg::closeEvent(QCloseEvent* e) {
  if (!logic_.FormClose()) {
    e->ignore();
    return;
  }
  QDialog::closeEvent(e);
}

bool TselectFilesDlg::eventFilter(QObject* watched, QEvent* e) {
  if (watched == MaskEdit_MAC && e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    const QString t = k->text();
    // Typed characters go through the key filter; editing keys do not.
    if (t.size() == 1 && t[0].unicode() >= 0x20 && t[0].unicode() < 0x7F) {
      SyncToLogic();
      bool pass = logic_.MaskEdit_MACKeyPress(static_cast<char>(t[0].unicode()));
      if (!pass) return true;
    }
  }
  return QDialog::eventFilter(watched, e);
}
