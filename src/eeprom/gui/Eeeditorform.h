#pragma once
// TeepromEditorForm, the "EEPROM Editor" window: the custom and the default settings
// records of an EEPROM image side by side on tabs. Only the tabs "System
// Information", "Network Settings" and "Operation Settings" are shown; the others
// exist with all their controls but stay hidden, and their controls are never loaded
// or saved. The window is created once and only hidden when closed, so it keeps its
// contents between openings. Its title names the imported file; closing it with changes
// that were neither loaded nor saved asks first.
#include <QDialog>
#include <QGroupBox>
#include <QPointer>
#include <array>
#include <string>

#include "base/MessageBoxes.h"
#include "eeprom/EepromImage.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QFrame;
class QLineEdit;
class QPushButton;
class QTabWidget;
class IpAddressEdit;
class EepromFileDialogs;

// A titled group of radio buttons with one item selected.
class RadioGroup final : public QGroupBox {
 public:
  RadioGroup(const QString& title, const QStringList& items, int selected, QWidget* parent);
  int itemIndex() const;
  void setItemIndex(int index);
};

class TeepromEditorForm final : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kIpControls = 18;

  // boxes: every message of the window; dialogs: the save dialog SaveAsDlg.
  TeepromEditorForm(MessageBoxes& boxes, EepromFileDialogs& dialogs, QWidget* parent = nullptr);
  ~TeepromEditorForm() override;

  // The main window's eepromImported and eepromImportPath (read when saving).
  void BindImportState(const bool* imported, const std::string* importPath);
  // The main window's EditorBtn, enabled again when the window closes.
  void SetEditorButton(QAbstractButton* button);
  // The title of the integer conversion message (default: the application's name).
  void SetApplicationTitle(const std::string& title) { appTitle_ = title; }

  // Reads an image file and shows its fields in the visible tabs' controls. 0, or -1
  // with the controls unchanged.
  int LoadImage(const std::string& path);

  // The checks before saving; the first failure is shown under "Error". 0 or -1.
  int ValidateFields();
  void SaveBtnClick();
  void SaveAsBtnClick();

  // The values of the shown tabs' controls, and which groups those tabs hold.
  EepromFields ShownFields() const;
  unsigned ShownGroups() const;
  bool TabShown(QWidget* tab) const;

  // IP address control 1..18 in the order of creation; null for other numbers.
  IpAddressEdit* IpControl(int number) const;
  const EepromImage& image() const { return image_; }
  // True when the shown fields differ from what was last loaded or saved (or from the
  // built-in values when nothing was).
  bool Modified() const { return !(ShownFields() == clean_); }
  // The title SaveAsDlg had when it was last run.
  QString SaveAsDlgTitle() const { return saveAsDlgTitle_; }

  QTabWidget* PageControl = nullptr;
  QWidget* TabSheet_SysInfo = nullptr;
  QWidget* TabSheet_NetSet = nullptr;
  QWidget* TabSheet_SerSet = nullptr;
  QWidget* TabSheet_OpSet = nullptr;
  QWidget* TabSheet_DP = nullptr;
  QWidget* TabSheet_IPFilter = nullptr;
  QWidget* TabSheet_DIO = nullptr;
  QWidget* TabSheet_consoleBaud = nullptr;
  QTabWidget* PageControl_opmode = nullptr;
  QWidget* TabSheet_opmode = nullptr;
  QPushButton* SaveAsBtn = nullptr;
  QPushButton* SaveBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

 signals:
  // The window was closed (it is only hidden).
  void formClosed();

 protected:
  void showEvent(QShowEvent* event) override;    // FormShow
  void closeEvent(QCloseEvent* event) override;  // FormClose
  void reject() override;                        // Esc closes like the close button
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The controls of one record.
  struct Record {
    QLineEdit* deviceName = nullptr;
    QLineEdit* modelName = nullptr;
    QLineEdit* passwd = nullptr;
    QCheckBox* showPasswd = nullptr;
    QComboBox* ipConfig = nullptr;
    QFrame* ipPanel = nullptr;
    QCheckBox* pingcfg = nullptr;
    QLineEdit* tsport = nullptr;
    QComboBox* cnn = nullptr;
    QLineEdit* cnntmout = nullptr;
    QFrame* ripPanel = nullptr;
    QFrame* dnsPanel = nullptr;
    QFrame* uripPanel = nullptr;
    QFrame* fltPanel = nullptr;
    QLineEdit* dlm0 = nullptr;
    QLineEdit* dlm1 = nullptr;
  };

  void FormCreate();
  void FormShow();
  void BuildSysInfo(QWidget* tab);
  void BuildNetSet(QWidget* tab);
  void BuildSerSet(QWidget* tab);
  void BuildOpSet(QWidget* tab);
  void BuildDP(QWidget* tab);
  void BuildIPFilter(QWidget* tab);
  void BuildDIO(QWidget* tab);
  void BuildConsoleBaud(QWidget* tab);
  void BuildOpRecord(QWidget* page, bool custom, Record& rec);
  // Runs CheckRange (maximum >= 0) or CheckHexByte (maximum < 0) on every change of
  // edit's text and empties the edit when the text is refused.
  void WatchNumeric(QLineEdit* edit, int maximum);
  std::string AppTitle() const;
  int SaveTo(const QString& fileName);
  int Save(const std::string& path);
  // The shown fields as they now are count as saved.
  void MarkClean();
  void UpdateModified();
  // "EEPROM Editor", followed by the imported file's path when the window was opened on one.
  void UpdateTitle();
  // Brings the tab holding widget forward, focuses it and selects its text, so the
  // engineer sees which field a message was about.
  void ShowField(QWidget* widget);

  MessageBoxes& boxes_;
  EepromFileDialogs& dialogs_;
  EepromImage image_;
  Record c_, d_;
  std::array<IpAddressEdit*, kIpControls> ips_{};
  QPointer<QAbstractButton> editorBtn_;
  const bool* imported_ = nullptr;
  const std::string* importPath_ = nullptr;
  bool noImport_ = false;
  std::string noPath_;
  std::string appTitle_;
  QString saveAsDlgTitle_;
  EepromFields clean_;
};
