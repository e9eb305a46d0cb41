#pragma once
// The main window TmainFrm: the production board. It shows what the dispatcher and
// the workers report (Board), and forwards the operator's clicks to MainLogic, which
// holds the job, the pool, the stored configuration and the run.
#include <QColor>
#include <QPixmap>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MainLogic.h"
#include "app/Service.h"
#include "base/Board.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;
class QToolButton;
class QtMessageBoxes;
class QtUiThread;
class WorkerFactory;

class TmainFrm final : public QWidget, public Board {
  Q_OBJECT
 public:
  static constexpr int kFormWidth = 777;
  static constexpr int kFormHeight = 568;

  // The real station: the Qt UI thread, the system clock, the serial ports and the
  // network of this machine, message boxes over QMessageBox.
  explicit TmainFrm(const std::string& dataDir, QWidget* parent = nullptr);
  // Injected services (tests): `boxes` and the services must outlive the window;
  // `workers` replaces the real step workers when given.
  TmainFrm(const PlatformServices& services, MessageBoxes& boxes, const std::string& dataDir,
           WorkerFactory* workers = nullptr, QWidget* parent = nullptr);
  ~TmainFrm() override;

  MainLogic& logic() { return *logic_; }
  // The station's service (started from station.conf when it asks for one).
  StationService& service() { return *service_; }
  // The job set-up dialog "Select Files" shows; without one the button does nothing.
  void SetJobDialog(JobDialog* dialog) { jobDialog_ = dialog; }
  // What "EEPROM Editor" does (the editor path); without one the button does nothing.
  void SetEditorHook(std::function<void()> hook) { editorHook_ = std::move(hook); }

  // The pictures the buttons show (24-bit colour, drawn at start-up).
  static QPixmap StartPicture();        // 40 x 40
  static QPixmap StopPicture();         // 32 x 32
  static QPixmap SelectFilesPicture();  // 16 x 16
  static QPixmap EditorPicture();       // 16 x 16

  // The background of a status cell by its port's verdict (invalid: the grid's own).
  // Passed and failed differ in lightness too, not only in hue.
  static QColor VerdictColour(PortVerdict verdict);
  // A status cell with a verdict holds it (as int) under this role, beside its text;
  // the cell draws the verdict's mark in front of the text, which stays as given.
  static constexpr int kVerdictRole = Qt::UserRole + 1;
  // The mark of a verdict, `size` pixels square on a transparent ground: a tick for
  // passed, a cross for failed, two bars (paused) for unfinished; none while running.
  static QPixmap VerdictMark(PortVerdict verdict, int size);
  // How a cell shows `text` in `width` pixels: the text as it is in `font` when it
  // fits, else in a narrower cut of the font, and only when even that is too wide with
  // the middle left out, so the end of every text stays readable. *fitted receives the
  // font to draw with.
  static QString FitCellText(const QFont& font, int width, const QString& text, QFont* fitted);

  // The scan field's port list: "next waiting port" first, then these ("COMn", the
  // run's ports once it has found them). The chosen port stays chosen while listed.
  void SetSerialPorts(const std::vector<std::string>& ports);
  // The scan field takes input only while on: during a run whose job scans serials.
  void SetSerialScanning(bool on);
  static constexpr const char* kNextWaitingPort = "next waiting port";

  // The next close is the operator's confirmed one (a termination signal): no question.
  void SetCloseConfirmed() { closeConfirmed_ = true; }

  // ---- Board (UI thread only) ----
  void ShowPortStatus(int portIndex, const std::string& text) override;
  void SetMacGridCell(int row, int column, const std::string& text) override;
  void AppendMessage(const std::string& text) override;
  void ClearMessages() override;
  void ClearStatusGrid() override;
  void ShowException(const std::string& message) override;
  void SetStartButton(bool running) override;
  void DispatcherEnded() override;

  // ---- controls ----
  QToolButton* Btn_Start = nullptr;
  QToolButton* startImageBtn = nullptr;
  QToolButton* stopImageBtn = nullptr;
  QPushButton* selectFileBtn = nullptr;
  QPushButton* EditorBtn = nullptr;
  QTableWidget* StatusGrid = nullptr;
  QTableWidget* MACGrid = nullptr;
  QPlainTextEdit* msgMemo = nullptr;
  // The scan field: a scanner types the unit's serial into Edit_serial and ends it with
  // Enter; it is bound to the port CmbBox_serialPort names, and Label_serial shows the
  // answer.
  QLabel* Label_unitSerial = nullptr;
  QLineEdit* Edit_serial = nullptr;
  QComboBox* CmbBox_serialPort = nullptr;
  QCheckBox* ChkBox_rework = nullptr;
  QLabel* Label_serial = nullptr;
  // The station's mode (MainLogic::ModeText; hidden in open mode) and the engineer's
  // button: "Engineer mode..." asks for the password, "Leave engineer mode" ends it.
  QLabel* Label_mode = nullptr;
  QPushButton* Btn_engineer = nullptr;
  static constexpr const char* kEnterEngineerText = "Engineer mode...";
  static constexpr const char* kLeaveEngineerText = "Leave engineer mode";

 signals:
  // The window has closed (FormClose ran); the program ends.
  void formClosed();

 public slots:
  void selectFileBtnClick();
  void Btn_StartClick();
  void EditorBtnClick();
  void Edit_serialReturnPressed();
  void Btn_engineerClick();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  TmainFrm(std::unique_ptr<QtUiThread> ownUi, std::unique_ptr<QtMessageBoxes> ownBoxes,
           PlatformServices services, MessageBoxes* boxes, const std::string& dataDir,
           WorkerFactory* workers, QWidget* parent);
  void CreateControls();
  // Places the controls for the window's size: at kFormWidth x kFormHeight (the size
  // at start and the least) as they always were; a larger window scales the grids,
  // their fonts and the log with it, so that a maximised board reads from afar.
  void LayOut();
  // Colours every status cell that shows a text by its port's verdict.
  void RefreshVerdicts();
  void RefreshVerdict(int portIndex);
  // "Select Files" is greyed while a run is live.
  void UpdateControls();
  // The mode label and the engineer's button as the logic's mode is now (engineer mode
  // ends by itself: a timer calls this every second, and every handler after it ran).
  void UpdateMode();
  // Follows a live run until its dispatcher has ended.
  void RunTick();
  // Asks a running dispatcher and its workers to stop and keeps the window responsive
  // until they are gone. Returns false when called again while already waiting.
  bool WaitForRunToEnd();
  // Runs a handler; a std::exception that escapes it is shown in the exception box.
  void Guarded(const std::function<void()>& handler);

  std::unique_ptr<QtUiThread> ownUi_;
  std::unique_ptr<QtMessageBoxes> ownBoxes_;
  MessageBoxes& boxes_;
  // Outlives logic_, which reports to it.
  std::unique_ptr<StationService> service_;
  std::unique_ptr<MainLogic> logic_;
  JobDialog* jobDialog_ = nullptr;
  std::function<void()> editorHook_;
  QTimer* runTimer_ = nullptr;
  QTimer* modeTimer_ = nullptr;
  StationMode shownMode_ = StationMode::Open;
  bool waitingForRun_ = false;
  bool formClosed_ = false;
  bool closeConfirmed_ = false;
  bool askingClose_ = false;
};
