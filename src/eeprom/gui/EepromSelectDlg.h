#pragma once
// TeepromSelectDlg, the "Configuration" dialog shown before the EEPROM editor opens:
// the editor starts from what it holds ("Default settings") or from an image file
// ("Import file"). The dialog is created once and only hidden between uses, so it
// keeps its choice and path.
#include <QDialog>
#include <string>

#include "base/MessageBoxes.h"

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class EepromFileDialogs;

class TeepromSelectDlg final : public QDialog {
  Q_OBJECT
 public:
  TeepromSelectDlg(MessageBoxes& boxes, EepromFileDialogs& dialogs, QWidget* parent = nullptr);

  // Shows the dialog modally: QDialog::Accepted (OK) or QDialog::Rejected (Cancel).
  int ShowModal() { return exec(); }
  bool ImportSelected() const;
  // The text of Edit_pathImp as a file name.
  std::string ImportPath() const;

  // 5 while an OK press is tested, 1 after a passed one, 2 after Cancel and every close.
  int dialogOutcome = 0;

  void RBtn_defaultClick() { EnablePathControls(); }
  void RBtn_importClick() { EnablePathControls(); }
  void Button_impBrsClick();
  void OKBtnClick();
  void CancelBtnClick();

  QLabel* Label1 = nullptr;
  QComboBox* ComboBox_projectCode = nullptr;
  QFrame* Bevel1 = nullptr;
  QGroupBox* RadioGroup1 = nullptr;
  QRadioButton* RBtn_default = nullptr;
  QRadioButton* RBtn_import = nullptr;
  QLineEdit* Edit_pathImp = nullptr;
  QPushButton* Button_impBrs = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

 public slots:
  // FormClose for every way of closing (OK, Cancel, Esc, the close box): a close
  // after a failed OK is refused.
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;  // FormShow

 private:
  void EnablePathControls();
  void SelectPath();

  MessageBoxes& boxes_;
  EepromFileDialogs& dialogs_;
};
