#pragma once
// The production board's logic, free of any window toolkit: the job state, the MAC
// pool, the stored job configuration, the port stage table and the dispatcher, with
// the main window's event handlers. The Qt main window (TmainFrm) and the headless
// runner (production-cli) are two views over one MainLogic.
//
// MainLogic is itself the Board that the dispatcher and the workers talk to: it
// forwards every routine to the view and keeps track of Btn_Start's caption and of
// the dispatcher's end.
#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/AnsweredAddresses.h"
#include "base/Board.h"
#include "base/JobState.h"
#include "base/MessageBoxes.h"
#include "base/RunJob.h"
#include "base/SlotTable.h"
#include "base/Station.h"
#include "base/StationSettings.h"
#include "base/TestInterfaces.h"
#include "job/Logcfg.h"
#include "job/JobDialog.h"
#include "job/Logmac.h"
#include "jobpkg/JobPackage.h"
#include "platform/PortMap.h"
#include "records/ProductionRecorder.h"

class SelectFilesLogic;
class UnitIdentityGate;

class StartThread;
class WorkerFactory;
class UiThread;
class Clock;
class SerialPortFactory;
class Network;

// How a port's cell reads at a glance: still running (or not started), through the
// job's last step, failed, or left unfinished by a Stop or an early end of the run;
// TemporaryMac: through the job's last step, but left with its temporary MAC address
// (an EEPROM download without MAC programming), which is no pass.
enum class PortVerdict { Running, Passed, Failed, Unfinished, TemporaryMac };

// Open: the job is the dialog's own (or a package anyone may load). Production
// (station.conf `mode = production`): only a job package verified against a trusted key
// runs, and nobody changes the job. Engineer: a production station whose engineer gave
// the password; the job may be changed (another package loaded) until the time runs out.
enum class StationMode { Open, Production, Engineer };

struct PlatformServices {
  UiThread* ui = nullptr;
  Clock* clock = nullptr;
  SerialPortFactory* serial = nullptr;
  Network* net = nullptr;
};

class MainLogic final : public Board {
 public:
  // view: the window (or the headless printer); boxes: the message-box seam;
  // dataDir: holds storedCfg.txt, storedMAC.txt, station.conf and ports/. settings: the
  // station's settings when the caller has read them (with its own overrides);
  // otherwise station.conf of dataDir is read here.
  MainLogic(const PlatformServices& services, Board& view, MessageBoxes& boxes,
            const std::string& dataDir, const StationSettings* settings = nullptr);
  ~MainLogic() override;

  // Where the dispatcher gets its workers (the real factory unless a test gives another).
  void SetWorkerFactory(WorkerFactory* factory) { workers_ = factory; }

  // ---- event handlers of the main window ----
  // via: who set the job up, for the audit trail ("window", "cli", "api").
  void selectFileBtnClick(JobDialog& dialog, const std::string& via = "window");
  void Btn_StartClick();
  // Program close: asks a running dispatcher and its workers to stop. The window
  // stays until CanClose() (keep processing events while waiting); then FormClose().
  void RequestClose();
  bool CanClose() const;
  // Asked before the program closes: during a run (Btn_Start shows "Stop") the same
  // question as Stop; true when the program may close.
  bool ConfirmClose();
  void FormClose();
  // The scan field: binds a scanned serial to a port ("COMn" of the run, or "" for the
  // next port waiting for a unit, in bench order), re-working a unit already recorded
  // as passed when `rework` is set. *ok: bound; the text tells the operator what was
  // done or why not (shown beside the field, never in a box: a scanner keeps typing).
  std::string BindSerial(const std::string& port, const std::string& serial, bool rework, bool* ok);

  // The interface every port's loopback test goes through when none has one of its
  // own ("" when the test address is this workstation's: simulated devices).
  std::string SharedTestInterface();
  int CheckWorkstationAddress();

  // Btn_Start shows "Stop" (a run is going on, as far as the operator sees).
  bool StartCaptionIsStop() const { return captionStop_; }
  // The job dialog is open (shown modally by selectFileBtnClick).
  bool JobDialogOpen() const { return dialogOpen_; }
  // The dispatcher of the last run still exists and has not finished its thread.
  bool DispatcherBusy() const;
  StartThread* dispatcher() { return dispatcher_.get(); }
  // A run is live from Start until its dispatcher has finished its end steps.
  bool RunLive() const { return captionStop_ || DispatcherBusy(); }
  // The verdict on port place portIndex (0..15) of the current or last run.
  PortVerdict Verdict(int portIndex) const;
  // Joins and deletes the dispatcher of the last run when its thread has finished (or
  // has reported its end); safe on the UI thread, for example in a step deferred from
  // DispatcherEnded. Returns true when no dispatcher is left.
  bool ReleaseEndedDispatcher();
  // The text of the box shown when Start (or "Select Files") is pressed while the
  // stopped run is still ending.
  static constexpr const char* kStillStoppingText =
      "The last run is still stopping. Please wait and press Start again.";

  // ---- Board, called on the UI thread by the dispatcher and workers ----
  void ShowPortStatus(int portIndex, const std::string& text) override;
  void ShowPortProgress(int portIndex, int block, int blocks) override;
  void SetMacGridCell(int row, int column, const std::string& text) override;
  void AppendMessage(const std::string& text) override;
  void ClearMessages() override;
  void ClearStatusGrid() override;
  void ShowException(const std::string& message) override;
  void SetStartButton(bool running) override;
  void DispatcherEnded() override;
  void UnitEnded(int portIndex, int cycle, bool passed) override;

  // Continuous production: the units of the current or last run that went through the
  // job's last step, and those that failed.
  int UnitsPassed() const { return unitsPassed_; }
  int UnitsFailed() const { return unitsFailed_; }

  // ---- state (the main window's fields) ----
  JobState job;
  StageTable stages;
  AnsweredAddresses answered;
  SlotTable slotTable;
  StoredConfig storedConfig;
  PortMap portMap;
  bool eepromImported = false;
  std::string eepromImportPath;

  // The MAC pool of this station (the file pool storedMAC.txt unless another was set).
  MacPool& macPool() { return *pool_; }
  // Replaces the pool; only while no run is going on. The old pool is closed.
  void SetMacPool(std::unique_ptr<MacPool> pool);

  Station& station() { return station_; }
  // The station's settings (station.conf with the caller's overrides).
  const StationSettings& settings() const { return settings_; }
  // The job of the current or last run, as it was taken at its Start.
  const RunJob& runJob() const { return runJob_; }
  // The production records of this station; null when they are off.
  ProductionRecorder* records() { return recorder_.get(); }
  // Replaces the records store (null: no records); only while no run is going on.
  void SetRecords(std::unique_ptr<RecordStore> store, const std::string& stationName);
  MessageBoxes& boxes() { return boxes_; }
  // The job dialog's logic over this station's job, stored configuration, pool and
  // message boxes (its exceptions go to the board's exception box).
  std::unique_ptr<SelectFilesLogic> NewJobDialogLogic();

  // The run's unit identity (serials, check-in, labels); null when its job needs none.
  UnitIdentityGate* unitGate() { return gate_.get(); }

  // ---- approved jobs (job packages, production and engineer mode) ----
  // `via` names the front-end for the audit trail: "window", "cli" or "api".
  // The mode now (engineer mode ends by itself when its time is up).
  StationMode Mode();
  // What the window shows of the mode: "Production mode: NAME VERSION", "Production
  // mode: no approved job", "Engineer mode until HH:MM:SS"; "" in open mode.
  std::string ModeText();
  // The package whose job is set up; null when the job is the dialog's own.
  const JobPackage* Package() const { return package_ ? &*package_ : nullptr; }
  // Whether the job may be changed now; *why when not (the text every front-end shows).
  bool JobChangeAllowed(std::string* why);
  // A front-end's request to change the job (`what` it would do): JobChangeAllowed, and a
  // refusal goes into the audit trail. A station that runs a package (open mode) takes
  // no other job until the package is left.
  bool RequestJobChange(const std::string& what, const std::string& via, std::string* why);
  // The stored job choices in effect: the package's, or storedCfg.txt's.
  const StoredConfig& JobConfig() const { return package_ ? packageConfig_ : storedConfig; }
  // Reads and verifies the package against the trusted keys and makes its job the
  // station's (the images are the package's bytes, read now, once). Refused in
  // production mode outside engineer mode, and when no run may change the job. False
  // with the text naming the package and the reason; the job is unchanged then.
  bool LoadPackage(const std::string& path, const std::string& via, std::string* text);
  // Back to the dialog's own job (nothing set up until Select Files); not in production mode.
  bool LeavePackage(const std::string& via, std::string* text);
  // Production mode: the engineer's password opens engineer mode for the station's
  // engineer-minutes. False with the text (a wrong password is in the audit trail).
  bool EnterEngineerMode(const std::string& password, const std::string& via, std::string* text);
  void LeaveEngineerMode(const std::string& via);
  // The time engineer mode ends (UTC milliseconds), 0 outside it.
  int64_t EngineerUntilMs() const { return engineerUntilMs_; }

 private:
  // The MAC line for a job that programs MAC addresses; false when the pool has no range.
  bool BuildMacLine(std::string* line);
  void StartClick();
  void StopClick();
  bool AskStop();
  // The operator confirmed Stop (or closing): ports not finished now stay unfinished.
  void MarkUnfinishedPorts();
  // Opens or closes the pool's stop gate, under the pool's lock.
  void SetPoolGate(bool open);
  // Messages given off the UI thread (a pool's, while a worker calls it), shown now.
  void ShowDeferredMessages();
  bool OffUiThread() const;
  // Start: the run's unit identity from its job and station.conf; false after an error box.
  bool SetUpUnitGate();
  void DropUnitGate();
  static constexpr size_t kMaxDeferred = 256;

  const std::string dataDir_;
  std::unique_ptr<MacPool> pool_;
  // Problems with station.conf and the records store found at start, shown again at
  // every job set-up.
  std::vector<std::string> settingsNotes_;
  TestInterfaces testInterfaces_;
  bool testInterfacesOk_ = true;
  StationSettings settings_;
  Board& view_;
  MessageBoxes& boxes_;
  Station station_;
  WorkerFactory* workers_ = nullptr;
  std::unique_ptr<WorkerFactory> ownWorkers_;
  // Declared before the dispatcher: it outlives every run that reports to it.
  std::unique_ptr<ProductionRecorder> recorder_;
  // Taken at Start, unchanged until the next; declared before the dispatcher, which
  // (with its workers) reads it by reference.
  RunJob runJob_;
  // The unit identity of the last run: after the recorder (its results come from it),
  // before the dispatcher (which asks it).
  std::unique_ptr<UnitIdentityGate> gate_;
  int gateSink_ = -1;
  std::unique_ptr<StartThread> dispatcher_;
  bool captionStop_ = false;
  bool dialogOpen_ = false;
  bool closing_ = false;
  bool dispatcherEnded_ = false;  // the current dispatcher reported its end
  std::array<bool, kMaxPorts> stoppedUnfinished_{};
  int unitsPassed_ = 0;
  int unitsFailed_ = 0;
  std::mutex deferredMutex_;
  std::vector<std::string> deferred_;
  // Approved jobs (app/JobApproval.cpp).
  // station.conf's mode and job-package, at construction.
  void SetUpApprovedJob();
  // Verifies the package and installs its job; no check of the mode here.
  bool ApplyPackage(const std::string& path, const std::string& via, std::string* text);
  // The job state and the dialog's view from the package (installed in package_).
  void InstallPackageJob();
  // After the job changed (the dialog's OK, a package installed): the MAC pool and the
  // MAC line, the message log's job lines; job.filesSelected tells whether it is set up.
  void SetUpJob();
  // Adds an entry to the audit trail (when the station keeps records).
  void Audit(const char* kind, bool ok, const std::string& text, const std::string& via,
             const JobPackage* package = nullptr);
  // The run job of the package's job: its images are the package's bytes.
  RunJob MakePackageRunJob();
  // Why Start is refused by the station's mode ("" when it is not).
  std::string ModeStartProblem();
  bool production_ = false;
  std::optional<JobPackage> package_;
  StoredConfig packageConfig_;  // the package's job as the dialog shows it
  std::string packageProblem_;  // why station.conf's job-package is not set up
  int64_t engineerUntilMs_ = 0;
  uint32_t engineerSinceTick_ = 0;
  // Wrong passwords in a row, and when the last one came (tick): after
  // kMaxPasswordTries the next try waits kPasswordPauseMs.
  static constexpr int kMaxPasswordTries = 3;
  static constexpr uint32_t kPasswordPauseMs = 60000;
  int passwordFailures_ = 0;
  uint32_t lastPasswordFailureTick_ = 0;
};
