#include "eeprom/gui/EepromSelectDlg.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include "eeprom/gui/EepromDialogs.h"
#include "platform/Paths.h"

TeepromSelectDlg::TeepromSelectDlg(MessageBoxes& boxes, EepromFileDialogs& dialogs, QWidget* parent)
    : QDialog(parent), boxes_(boxes), dialogs_(dialogs) {
  setObjectName("eepromSelectDlg");
  setWindowTitle("Configuration");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);

  auto* top = new QVBoxLayout(this);
  Bevel1 = new QFrame(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameShape(QFrame::Box);
  Bevel1->setFrameShadow(QFrame::Sunken);
  top->addWidget(Bevel1);
  auto* inner = new QVBoxLayout(Bevel1);

  auto* codeRow = new QHBoxLayout();
  Label1 = new QLabel("Project Code", Bevel1);
  Label1->setObjectName("Label1");
  ComboBox_projectCode = new QComboBox(Bevel1);
  ComboBox_projectCode->setObjectName("ComboBox_projectCode");
  ComboBox_projectCode->setEditable(true);
  ComboBox_projectCode->addItem("Standard");
  ComboBox_projectCode->setEditText("K19");
  ComboBox_projectCode->setEnabled(false);
  codeRow->addWidget(Label1);
  codeRow->addWidget(ComboBox_projectCode, 1);
  inner->addLayout(codeRow);

  RadioGroup1 = new QGroupBox("File", Bevel1);
  RadioGroup1->setObjectName("RadioGroup1");
  auto* grid = new QGridLayout(RadioGroup1);
  RBtn_default = new QRadioButton("Default settings", RadioGroup1);
  RBtn_default->setObjectName("RBtn_default");
  RBtn_import = new QRadioButton("Import file", RadioGroup1);
  RBtn_import->setObjectName("RBtn_import");
  Edit_pathImp = new QLineEdit(RadioGroup1);
  Edit_pathImp->setObjectName("Edit_pathImp");
  Edit_pathImp->setMinimumWidth(240);
  Button_impBrs = new QPushButton("Browse...", RadioGroup1);
  Button_impBrs->setObjectName("Button_impBrs");
  Button_impBrs->setAutoDefault(false);
  grid->addWidget(RBtn_default, 0, 0, 1, 2);
  grid->addWidget(RBtn_import, 1, 0, 1, 2);
  grid->addWidget(Edit_pathImp, 2, 0);
  grid->addWidget(Button_impBrs, 2, 1);
  inner->addWidget(RadioGroup1);
  RBtn_default->setChecked(true);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  OKBtn = new QPushButton("OK", this);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton("Cancel", this);
  CancelBtn->setObjectName("CancelBtn");
  CancelBtn->setAutoDefault(false);
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  top->addLayout(buttons);

  connect(RBtn_default, &QRadioButton::clicked, this, &TeepromSelectDlg::RBtn_defaultClick);
  connect(RBtn_import, &QRadioButton::clicked, this, &TeepromSelectDlg::RBtn_importClick);
  connect(Button_impBrs, &QPushButton::clicked, this, &TeepromSelectDlg::Button_impBrsClick);
  connect(OKBtn, &QPushButton::clicked, this, &TeepromSelectDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TeepromSelectDlg::CancelBtnClick);

  EnablePathControls();
  setFixedSize(sizeHint());
}

bool TeepromSelectDlg::ImportSelected() const {
  return RBtn_import->isChecked();
}

std::string TeepromSelectDlg::ImportPath() const {
  return ToFileName(Edit_pathImp->text());
}

void TeepromSelectDlg::EnablePathControls() {
  bool on = RBtn_import->isChecked();
  Edit_pathImp->setEnabled(on);
  Button_impBrs->setEnabled(on);
  // The path edit takes the button-face colour while it cannot be used.
  QPalette pal = Edit_pathImp->palette();
  QColor base = on ? palette().color(QPalette::Active, QPalette::Base)
                   : palette().color(QPalette::Active, QPalette::Button);
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    pal.setColor(group, QPalette::Base, base);
  Edit_pathImp->setPalette(pal);
}

void TeepromSelectDlg::showEvent(QShowEvent* event) {
  EnablePathControls();
  // The file to import is what the engineer looks at (again, when the editor refused
  // it): focused and selected; Enter still presses OK.
  if (RBtn_import->isChecked()) SelectPath();
  // Centred on the screen, whatever window opened it.
  if (!event->spontaneous()) {
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  }
  QDialog::showEvent(event);
}

void TeepromSelectDlg::SelectPath() {
  Edit_pathImp->setFocus(Qt::OtherFocusReason);
  Edit_pathImp->selectAll();
}

void TeepromSelectDlg::Button_impBrsClick() {
  QString name = dialogs_.OpenFileName(this, "Open", VefFilter());
  if (!name.isEmpty()) Edit_pathImp->setText(name);
}

void TeepromSelectDlg::OKBtnClick() {
  dialogOutcome = 5;
  if (RBtn_import->isChecked()) {
    std::string path = ImportPath();
    if (path.empty() || !FileExists(path)) {
      ShowError(boxes_, "Fiile " + path + " not exits");
      Edit_pathImp->setText("");
      SelectPath();
      done(QDialog::Accepted);  // the close that follows OK is refused
      return;
    }
  }
  dialogOutcome = 1;
  done(QDialog::Accepted);
}

void TeepromSelectDlg::CancelBtnClick() {
  dialogOutcome = 2;
  done(QDialog::Rejected);
}

void TeepromSelectDlg::done(int result) {
  if (dialogOutcome == 5) {
    dialogOutcome = 2;
    return;
  }
  QDialog::done(result);
  dialogOutcome = 2;
}
