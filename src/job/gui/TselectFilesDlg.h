#pragma once
// The job set-up dialog "Select files": a Qt view over SelectFilesLogic. Each
// operator action copies the controls into the logic, runs the handler and shows
// the logic's control state again.
#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "job/JobDialog.h"
#include "job/SelectFilesLogic.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

class TselectFilesDlg final : public QDialog, public JobDialog {
  Q_OBJECT
 public:
  // Over a logic the dialog owns (the main window's: MainLogic::NewJobDialogLogic).
  explicit TselectFilesDlg(std::unique_ptr<SelectFilesLogic> logic, QWidget* parent = nullptr);
  // Over a logic the caller owns (it must outlive the dialog).
  explicit TselectFilesDlg(SelectFilesLogic& logic, QWidget* parent = nullptr);
  ~TselectFilesDlg() override;

  // Runs the dialog modally; true when it closed with OK.
  bool ShowModal() override { return exec() == QDialog::Accepted; }

  SelectFilesLogic& logic() { return logic_; }

  // The input mask of MaskEdit_MAC: three groups of two hex digits, upper case,
  // "_" for an empty position.
  static constexpr const char* kMacMask = ">HH:HH:HH;_";
  // The package side: the file chooser's filter and the buttons' captions.
  static constexpr const char* kPackageFilter = "job package(*.ptjob)|*.ptjob";
  static constexpr const char* kLoadPackageCaption = "Load package...";
  static constexpr const char* kLeavePackageCaption = "Leave package";
  // The package line: "Package NAME VERSION, SHA-256 <16 hex>..., key KEYID" while the
  // job shown is a package's, else why the job is locked ("" when neither).
  static std::string PackageLine(const JobDialogPackage& package);

  // ---- controls (object names as below) ----
  QCheckBox* ChkBox_pMAC = nullptr;
  QCheckBox* ChkBox_assign_mac = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* MaskEdit_MAC = nullptr;
  QWidget* UpDown_mac = nullptr;  // holds the two arrows "UpDown_mac_up", "UpDown_mac_down"
  QToolButton* UpDown_mac_up = nullptr;
  QToolButton* UpDown_mac_down = nullptr;
  QCheckBox* ChkBox_EE = nullptr;
  QLineEdit* eeprom_path = nullptr;
  QPushButton* eeprom_brs = nullptr;
  QCheckBox* ChkBox_FW = nullptr;
  QLineEdit* firmware_path = nullptr;
  QPushButton* firmware_brs = nullptr;
  QCheckBox* ChkBox_fastDL = nullptr;
  QCheckBox* ChkBox_continuous = nullptr;
  QCheckBox* ChkBox_Ltest = nullptr;
  QCheckBox* ChkBox_scanSerial = nullptr;
  QLabel* Label_pattern = nullptr;
  QLineEdit* serial_pattern = nullptr;
  QLabel* Label_template = nullptr;
  QLineEdit* label_template = nullptr;
  QPushButton* label_brs = nullptr;
  QComboBox* console_CmbBox = nullptr;
  QCheckBox* CkBox_logfile = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* log_path = nullptr;
  QPushButton* log_brs = nullptr;
  // The job package: what the job shown is (or why it is locked), and the buttons that
  // load a package or go back to the dialog's own job.
  QLabel* Label_package = nullptr;
  QPushButton* Btn_loadPackage = nullptr;
  QPushButton* Btn_leavePackage = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

 public slots:
  void reject() override;  // Esc and Cancel

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void Build();
  void InstallFileChoosers();
  // Controls -> logic (ticks, texts, the combo box's selection).
  void SyncToLogic();
  // Logic -> controls.
  void SyncFromLogic();
  // Copies the controls into the logic, runs fn and shows the result.
  template <typename Fn>
  void Run(Fn fn);
  void OnOk();
  void OnLoadPackage();
  void OnLeavePackage();
  // After a package was loaded or left: the station's job as the dialog shows it anew.
  void ShowStationJob();

  std::unique_ptr<SelectFilesLogic> ownLogic_;
  SelectFilesLogic& logic_;
  // The groups that hold the job's controls: disabled while the job is read-only.
  std::vector<QGroupBox*> jobGroups_;
};
