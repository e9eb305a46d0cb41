#include "app/MainLogic.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Startthread.h"
#include "app/StationSetup.h"
#include "app/UnitIdentity.h"
#include "base/UiThread.h"
#include "job/RunJobSetup.h"
#include "job/SelectFilesLogic.h"
#include "platform/Host.h"
#include "platform/Network.h"
#include "platform/SerialPort.h"
#include "platform/Paths.h"
#include "records/RecordsSetup.h"
#include "records/Spool.h"
#include "workers/Workers.h"

namespace {
constexpr const char* kPoolFile = "storedMAC.txt";
constexpr const char* kConfigFile = "storedCfg.txt";

}  // namespace

MainLogic::MainLogic(const PlatformServices& services, Board& view, MessageBoxes& boxes,
                     const std::string& dataDir, const StationSettings* settings)
    : storedConfig(dataDir, kConfigFile),
      portMap(dataDir),
      dataDir_(dataDir),
      pool_(std::make_unique<FileMacPool>(dataDir, kPoolFile)),
      view_(view),
      boxes_(boxes),
      packageConfig_(dataDir, "") {
  // Neither file is read here: the pool is loaded by the job set-up, the stored job
  // configuration by the job dialog when it opens.
  job.assignedMacText.clear();
  eepromImportPath.clear();
  job.filesSelected = false;
  job.logEnabled = false;
  storedConfig.SetMessageSink([this](const std::string& text) { AppendMessage(text); });
  static_cast<FileMacPool*>(pool_.get())->SetMessageSink([this](const std::string& text) {
    AppendMessage(text);
  });

  station_.ui = services.ui;
  station_.board = this;
  station_.clock = services.clock;
  station_.serial = services.serial;
  station_.ports = &portMap;
  station_.net = services.net;
  station_.job = &job;
  station_.stages = &stages;
  station_.answered = &answered;
  station_.pool = pool_.get();

  ownWorkers_ = std::make_unique<StationWorkerFactory>(station_);
  workers_ = ownWorkers_.get();

  if (settings) {
    settings_ = *settings;
  } else {
    settings_.Load(dataDir);
  }
  settingsNotes_ = settings_.Problems();
  {
    std::string problem;
    testInterfacesOk_ = testInterfaces_.Parse(settings_.Get("test-interface"),
                                              settings_.Get("test-interface-base"), &problem);
    if (!testInterfacesOk_) settingsNotes_.push_back(problem);
  }
  std::string problem;
  // Settings not understood whole set up no job, so no run needs a store.
  std::unique_ptr<RecordStore> store =
      settings_.FailureCode() != 0 ? nullptr
                                   : MakeStationRecordStore(settings_, dataDir, &problem);
  if (!problem.empty()) settingsNotes_.push_back(problem);
  for (const std::string& note : settingsNotes_) view_.AppendMessage(note);
  // The recorder's writer thread writes; its messages are deferred to the UI thread.
  if (store) store->SetNoticeSink([this](const std::string& text) { AppendMessage(text); });
  SetRecords(std::move(store), StationNameOf(settings_));
  // The MAC pool the settings choose (storedMAC.txt unless told otherwise).
  ApplyStationSettings(*this, settings_, dataDir);
  // Production mode and the station's job package, once the pool and records are there.
  SetUpApprovedJob();
}

void MainLogic::SetRecords(std::unique_ptr<RecordStore> store, const std::string& stationName) {
  if (DispatcherBusy()) return;
  station_.records = nullptr;
  recorder_.reset();
  if (!store) return;
  recorder_ = std::make_unique<ProductionRecorder>(station_, std::move(store), stationName,
                                                   JoinPath(dataDir_, kRecordsSpoolName));
  station_.records = recorder_.get();
}

MainLogic::~MainLogic() {
  // The owner waits for CanClose() before it destroys the logic; should a dispatcher
  // still exist, stop it and its workers before the state they use goes away.
  if (dispatcher_) {
    dispatcher_->StopWorkers();
    dispatcher_->Terminate();
    dispatcher_.reset();
  }
  DropUnitGate();
  // The recorder's last writes and the pool's closing may still put a line into the
  // message log (a server's notice, what is left waiting): both end while the log's
  // members are still there.
  station_.records = nullptr;
  recorder_.reset();
  if (pool_) {
    std::lock_guard<std::mutex> lock(pool_->Mutex());
    pool_->Close();
  }
}

void MainLogic::SetMacPool(std::unique_ptr<MacPool> pool) {
  if (!pool || DispatcherBusy()) return;
  {
    std::lock_guard<std::mutex> lock(pool_->Mutex());
    pool_->Close();
  }
  pool_ = std::move(pool);
  station_.pool = pool_.get();
}

// ---- the address check ----

namespace {
// The first 192.168 address of the table decides; .127 is the device's test address.
int CheckAddressTable(const std::vector<uint32_t>& table) {
  for (uint32_t ip : table) {
    if ((ip >> 24) != 192 || ((ip >> 16) & 0xFF) != 168) continue;
    const uint32_t third = (ip >> 8) & 0xFF;
    const uint32_t fourth = ip & 0xFF;
    return (third == 1 && fourth != 127) ? 0 : -2;
  }
  return -1;
}
}  // namespace

int MainLogic::CheckWorkstationAddress() {
  std::vector<uint32_t> table;
  if (!station_.net) return -1;
  if (!testInterfaces_.Configured()) {
    if (station_.net->AddressTable(&table) != 0) return -1;
    return CheckAddressTable(table);
  }
  // Every configured test interface that exists holds the workstation's address; a
  // pattern may name more interfaces than the bench has, a list names only real ones.
  int found = 0;
  for (const std::string& name : testInterfaces_.Listed(StartThread::kHighestPort)) {
    const int e = station_.net->InterfaceAddresses(name, &table);
    if (e == ENODEV && testInterfaces_.Patterned()) continue;
    if (e != 0) {
      AppendMessage("test interface " + name + ": not found (error " + std::to_string(e) + ")");
      return -1;
    }
    found++;
    if (CheckAddressTable(table) != 0) {
      AppendMessage("test interface " + name + ": no address in 192.168.1.x");
      return -2;
    }
  }
  if (found == 0) AppendMessage("test interface: none of the configured interfaces exists");
  return found > 0 ? 0 : -1;
}

std::string MainLogic::SharedTestInterface() {
  if (testInterfaces_.Configured()) return testInterfaces_.Shared() ? testInterfaces_.For(1) : "";
  std::string name;
  bool noLinkLayer = true;
  if (!station_.net || station_.net->RouteInterface(0xC0A8017Fu, &name, &noLinkLayer) != 0 ||
      noLinkLayer) {
    return "";
  }
  return name;
}

// ---- job set-up ----

bool MainLogic::BuildMacLine(std::string* line) {
  if (job.assignMac) {
    *line = "assigned MAC: " + job.assignedMacText;
    return true;
  }
  std::string next, last;
  {
    std::lock_guard<std::mutex> lock(pool_->Mutex());
    if (!pool_->GetRange(&next, &last)) return false;
  }
  *line = "available " + next + " ~ " + last;
  return true;
}

void MainLogic::selectFileBtnClick(JobDialog& dialog, const std::string& via) {
  if (captionStop_ || closing_) return;
  if (!ReleaseEndedDispatcher()) {
    // Workers of the stopped run still read the job: it must not change under them.
    ShowError(boxes_, kStillStoppingText);
    return;
  }
  // A pool shared with other stations is read again: they move it on. No worker of a
  // run is left now; the pool's lock is taken all the same.
  {
    std::lock_guard<std::mutex> lock(pool_->Mutex());
    if (!pool_->IsLoaded() || pool_->IsShared()) pool_->Load();
  }
  dialogOpen_ = true;
  bool accepted = false;
  try {
    accepted = dialog.ShowModal();
  } catch (...) {
    dialogOpen_ = false;
    throw;
  }
  dialogOpen_ = false;
  if (!accepted) return;
  if (!package_ && !JobChangeAllowed(nullptr)) return;  // a locked dialog changed nothing
  SetUpJob();
  if (!package_) {
    std::string what = "job set up in the job dialog: " + ProductionRecorder::StepsOf(job);
    if (job.jobFlags & kJobFirmware) what += ", firmware " + storedConfig.firmwarePath;
    if (job.jobFlags & kJobEeprom) what += ", EEPROM " + storedConfig.eepromPath;
    Audit(kAuditJobChange, true, what, via);
  }
}

void MainLogic::SetUpJob() {
  const StoredConfig& config = package_ ? packageConfig_ : storedConfig;
  ClearMessages();
  // What the station could not use of its settings stays in view after the log clear.
  for (const std::string& note : settingsNotes_) AppendMessage(note);
  if (settings_.FailureCode() != 0) {
    // station.conf is there but not understood whole: it may name another pool or
    // records than the ones meant, so no job is set up, whatever its steps.
    job.filesSelected = false;
    char text[64];
    std::snprintf(text, sizeof text, "MAC initialize failed: %d", settings_.FailureCode());
    SetMacGridCell(0, 0, text);
    AppendMessage(std::string(StationSettings::kFileName) + ": " + NotUnderstoodText(settings_));
    if (job.programMac) {
      ShowError(boxes_,
                "get MAC from storedMAC.txt failed\r\nPlease put the right file and try again");
    }
    return;
  }
  if (job.programMac) {
    job.filesSelected = false;
    std::unique_lock<std::mutex> lock(pool_->Mutex());
    AppendMessage("MAC pool: " + pool_->Describe());
    if (!pool_->IsLoaded()) {
      const int c = pool_->Load();
      if (c != 0) {
        pool_->Close();
        lock.unlock();
        char text[64];
        std::snprintf(text, sizeof text, "MAC initialize failed: %d", c);
        SetMacGridCell(0, 0, text);
        ShowError(boxes_,
                  "get MAC from storedMAC.txt failed\r\nPlease put the right file and try again");
        return;
      }
    }
    lock.unlock();
    std::string line;
    if (!BuildMacLine(&line)) {
      SetMacGridCell(0, 0, "MAC not available");
      return;
    }
    SetMacGridCell(0, 0, line);
    job.filesSelected = true;
  }
  if (package_) {
    AppendMessage("Job package: " + package_->name + " " + package_->version + " (" +
                  package_->path + ", SHA-256 " + package_->sha256.substr(0, 16) +
                  "..., signed by key " + package_->keyId + ")");
  }
  AppendMessage("EEPROM: " + config.eepromPath);
  AppendMessage("Firmware: " + config.firmwarePath);
  if (job.logEnabled) AppendMessage("Log file: " + job.logDirectory);
  if (config.fastDownload) {
    AppendMessage("Fast download: each block is sent as soon as the last one was answered");
  }
  if (config.continuous) {
    AppendMessage("Continuous production: each port runs the job for every unit inserted, hold "
                  "time " +
                  std::to_string(UnitHoldMs(settings_)) + " ms");
  }
}

// ---- Start / Stop ----

void MainLogic::Btn_StartClick() {
  if (closing_) return;
  try {
    if (captionStop_) {
      StopClick();
    } else {
      StartClick();
    }
  } catch (const std::exception&) {
    // A fault inside the handler is dropped; the board stays as far as it got.
  }
}

void MainLogic::StartClick() {
  if (!ReleaseEndedDispatcher()) {
    // The stopped run is still in its end steps and its workers may still write the
    // stage table: clearing it now would lose what they report.
    ShowError(boxes_, kStillStoppingText);
    return;
  }
  if (!testInterfacesOk_) {
    ShowError(boxes_, "station.conf: test-interface cannot be used (see the message log)");
    return;
  }
  if (CheckWorkstationAddress() != 0) {
    ShowError(boxes_,
              "System IP should be 192.168.1.1~192.168.1.126\r\n or 192.168.1.128~192.168.1.254");
    return;
  }
  if (const std::string problem = ModeStartProblem(); !problem.empty()) {
    ShowError(boxes_, problem);
    return;
  }
  stages.ClearAll();
  if (!job.filesSelected) {
    ShowError(boxes_, "Please Select Files first.");
    return;
  }
  ClearStatusGrid();
  if (job.programMac) {
    std::string line;
    if (!BuildMacLine(&line)) {
      SetMacGridCell(0, 0, "MAC not available");
      return;
    }
    SetMacGridCell(0, 0, line);
  }
  // The run's name, given to the pool with every address and to the records.
  station_.runId = ProductionRecorder::NewRunId(WallClockMs());
  // The run's job: the steps, settings and images (read now, once) the dispatcher and
  // the workers use until the run has ended, whatever the job dialog changes meanwhile.
  // No dispatcher is left, so nothing reads the last run's.
  runJob_ = package_ ? MakePackageRunJob()
                     : MakeRunJob(job, storedConfig, testInterfaces_, SharedTestInterface());
  runJob_.unitHoldMs = UnitHoldMs(settings_);
  if (!SetUpUnitGate()) return;
  stoppedUnfinished_.fill(false);
  unitsPassed_ = 0;
  unitsFailed_ = 0;
  // The slots' state is the dispatcher's in continuous production only.
  station_.slotTable = runJob_.continuous ? &slotTable : nullptr;
  if (runJob_.continuous) {
    for (int k = 0; k < kMaxPorts; k++) slotTable.SetPhase(k, SlotPhase::Empty);
  }
  if (recorder_) {
    RecordedJob recorded;
    recorded.steps = ProductionRecorder::StepsOf(runJob_.steps);
    recorded.consoleBaud = static_cast<int>(runJob_.consoleBaud);
    recorded.continuous = runJob_.continuous;
    if (job.jobFlags & kJobFirmware) recorded.firmwarePath = runJob_.firmware.path;
    if (job.jobFlags & kJobEeprom) recorded.eepromPath = runJob_.eeprom.path;
    if (package_) {
      recorded.jobName = package_->name;
      recorded.jobVersion = package_->version;
      recorded.jobDigest = package_->sha256;
    }
    recorder_->RunStarting(recorded);
  }
  SetPoolGate(true);
  WorkerFactory& factory = workers_ ? *workers_ : *ownWorkers_;
  auto dispatcher =
      std::make_unique<StartThread>(station_, runJob_, factory, runJob_.steps.logEnabled);
  // Kept only once its thread runs: a dispatcher that never started would count as
  // busy for good.
  dispatcher->Start();
  dispatcherEnded_ = false;
  dispatcher_ = std::move(dispatcher);
  SetStartButton(true);
}

// ---- unit identity ----

void MainLogic::DropUnitGate() {
  station_.gate = nullptr;
  if (recorder_ && gateSink_ >= 0) recorder_->RemoveResultSink(gateSink_);
  gateSink_ = -1;
  gate_.reset();
}

namespace {
std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

bool MainLogic::SetUpUnitGate() {
  // No run is live: the last run's gate is asked by nothing any more.
  DropUnitGate();
  UnitIdentitySettings s;
  std::string error;
  if (!CheckInSettingsFrom(settings_, &s.checkIn, &error)) {
    ShowError(boxes_, error);
    return false;
  }
  if (!runJob_.scanSerial && !s.checkIn.Enabled() && runJob_.labelTemplate.empty()) return true;
  if (!runJob_.labelTemplate.empty() && !runJob_.steps.programMac) {
    ShowError(boxes_, "A label carries the unit's MAC address: the job must program it.");
    return false;
  }
  if (!LabelSettingsFrom(settings_, dataDir_, runJob_.labelTemplate, &s.labels, &error)) {
    ShowError(boxes_, error);
    return false;
  }
  s.scanSerial = runJob_.scanSerial;
  s.serialPattern = runJob_.serialPattern;
  s.stationName = recorder_ ? recorder_->stationName() : settings_.Get("station");
  s.jobName = ProductionRecorder::StepsOf(runJob_.steps);
  if (runJob_.steps.jobFlags & kJobFirmware) s.jobName += " firmware=" + BaseName(runJob_.firmware.path);
  if (runJob_.steps.jobFlags & kJobEeprom) s.jobName += " eeprom=" + BaseName(runJob_.eeprom.path);
  // The manufacturing system knows an approved job by its package.
  if (package_) s.jobName = package_->name + " " + package_->version;
  UnitIdentityGate::PassedQuery passed;
  if (recorder_) {
    passed = [this](const std::string& serial, bool* was, std::string* why) {
      // The writer may be making the store right now, for its first write (an audit
      // entry): read once that is written (bounded; a store that cannot answer by then
      // refuses the serial below).
      for (int waited = 0; waited < 2000 && recorder_->writer().QueuedAudits() > 0; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      // An embedded store that is not there yet holds no record at all (a station's first
      // run, before its writer made the file).
      if (settings_.Get("records", "sqlite") == "sqlite" &&
          NothingAt(RecordsFilePath(settings_, dataDir_))) {
        *was = false;
        return true;
      }
      std::string problem;
      std::unique_ptr<RecordStore> store = MakeStationRecordStore(settings_, dataDir_, &problem);
      if (!store) {
        *why = problem;
        return false;
      }
      return store->Open(false, why) && SerialPassed(*store, serial, was, why);
    };
  }
  auto gate = std::make_unique<UnitIdentityGate>(s, recorder_.get(), passed, station_.ui, this);
  if (!gate->Setup(&error)) {
    ShowError(boxes_, error);
    return false;
  }
  gate_ = std::move(gate);
  if (recorder_) {
    gateSink_ = recorder_->AddResultSink([g = gate_.get()](const UnitResult& r) { g->OnResult(r); });
  }
  station_.gate = gate_.get();
  if (runJob_.scanSerial) {
    AppendMessage("Unit serials: scanned for every unit" +
                  (s.serialPattern.empty() ? std::string() : ", pattern " + s.serialPattern));
  }
  if (s.checkIn.Enabled()) AppendMessage("Check-in: " + (s.checkIn.url.empty() ? s.checkIn.command : s.checkIn.url));
  if (!s.labels.templatePath.empty()) AppendMessage("Labels: " + s.labels.templatePath);
  return true;
}

std::string MainLogic::BindSerial(const std::string& port, const std::string& serial, bool rework,
                                  bool* ok) {
  std::string text;
  if (!gate_ || !RunLive()) {
    *ok = false;
    return "no run scans unit serials now";
  }
  *ok = gate_->Bind(port, serial, rework, &text);
  return text;
}

bool MainLogic::AskStop() {
  return boxes_.Show("Confirm", "Realy Stop the process ?", BoxButtons::YesNo, BoxIcon::Question) ==
         BoxResult::Yes;
}

void MainLogic::StopClick() {
  if (!AskStop()) return;
  // The run may have ended while the question was open: then nothing is left to stop.
  MarkUnfinishedPorts();
  if (dispatcher_ && dispatcher_->Running()) {
    if (recorder_) recorder_->StopRequested();
    dispatcher_->StopWorkers();
    dispatcher_->Terminate();
  }
  // Every worker was asked to stop; a take already under way ends before the gate
  // closes, none starts after it.
  SetPoolGate(false);
  SetStartButton(false);
}

// ---- the dispatcher's lifetime ----

bool MainLogic::DispatcherBusy() const {
  return dispatcher_ && !dispatcher_->Finished() && !dispatcherEnded_;
}

bool MainLogic::ReleaseEndedDispatcher() {
  if (!dispatcher_) return true;
  if (DispatcherBusy()) return false;
  // Finished, or past its last Synchronize: the join returns at once.
  dispatcher_.reset();
  dispatcherEnded_ = false;
  return true;
}

bool MainLogic::ConfirmClose() {
  if (closing_ || !captionStop_) return true;
  return AskStop();
}

void MainLogic::MarkUnfinishedPorts() {
  if (!DispatcherBusy()) return;
  for (int k = 0; k < kMaxPorts; ++k) {
    // A slot without a unit in its steps has nothing to leave unfinished.
    if (station_.slotTable && slotTable.Phase(k) != SlotPhase::Unit) continue;
    if (!StartThread::PortFinished(job, stages.Get(k)))
      stoppedUnfinished_[static_cast<size_t>(k)] = true;
  }
}

PortVerdict MainLogic::Verdict(int portIndex) const {
  if (portIndex < 0 || portIndex >= kMaxPorts) return PortVerdict::Running;
  // An empty slot shows no verdict: its last unit passed and was taken out.
  if (station_.slotTable && slotTable.Phase(portIndex) == SlotPhase::Empty) return PortVerdict::Running;
  const Stage stage = stages.Get(portIndex);
  const Stage last = StartThread::FinalStage(job);
  if (last != StageIdle && stage == last) {
    return LeavesTemporaryMac(job) ? PortVerdict::TemporaryMac : PortVerdict::Passed;
  }
  // A worker asked to stop ends failed: that port was stopped, not found faulty.
  if (stoppedUnfinished_[static_cast<size_t>(portIndex)]) return PortVerdict::Unfinished;
  if (stage == StageFailed) return PortVerdict::Failed;
  if (RunLive() || last == StageIdle) return PortVerdict::Running;
  return PortVerdict::Unfinished;
}

void MainLogic::RequestClose() {
  closing_ = true;
  MarkUnfinishedPorts();
  if (dispatcher_ && dispatcher_->Running()) {
    if (recorder_) recorder_->StopRequested();
    dispatcher_->StopWorkers();
    dispatcher_->Terminate();
  }
  SetPoolGate(false);
}

void MainLogic::SetPoolGate(bool open) {
  std::lock_guard<std::mutex> lock(pool_->Mutex());
  pool_->SetGateOpen(open);
}

bool MainLogic::CanClose() const {
  return !DispatcherBusy();
}

void MainLogic::FormClose() {
  ReleaseEndedDispatcher();
  {
    std::lock_guard<std::mutex> lock(pool_->Mutex());
    pool_->Close();
  }
  ShowDeferredMessages();
}

void MainLogic::ShowDeferredMessages() {
  std::vector<std::string> texts;
  {
    std::lock_guard<std::mutex> lock(deferredMutex_);
    if (deferred_.empty()) return;
    texts.swap(deferred_);
  }
  for (const std::string& t : texts) view_.AppendMessage(t);
}

bool MainLogic::OffUiThread() const {
  return station_.ui && !station_.ui->IsUiThread();
}

// ---- Board ----

void MainLogic::ShowPortStatus(int portIndex, const std::string& text) {
  ShowDeferredMessages();
  if (portIndex < 0 || portIndex >= kMaxPorts) return;
  if (recorder_) recorder_->PortStatus(portIndex, text);
  view_.ShowPortStatus(portIndex, text);
}

void MainLogic::ShowPortProgress(int portIndex, int block, int blocks) {
  if (portIndex < 0 || portIndex >= kMaxPorts) return;
  view_.ShowPortProgress(portIndex, block, blocks);
}

void MainLogic::SetMacGridCell(int row, int column, const std::string& text) {
  ShowDeferredMessages();
  if (row < 0 || row > 1 || column < 0 || column > 1) return;
  view_.SetMacGridCell(row, column, text);
}

void MainLogic::AppendMessage(const std::string& text) {
  if (OffUiThread()) {
    // A pool's message while a MAC worker takes or settles an address on its own
    // thread: kept, and shown by the UI thread's next call (never waited for under the
    // pool's lock, which the UI thread may be waiting for).
    std::lock_guard<std::mutex> lock(deferredMutex_);
    if (deferred_.size() < kMaxDeferred) deferred_.push_back(text);
    return;
  }
  ShowDeferredMessages();
  view_.AppendMessage(text);
}

void MainLogic::ClearMessages() {
  view_.ClearMessages();
}

void MainLogic::ClearStatusGrid() {
  view_.ClearStatusGrid();
}

void MainLogic::ShowException(const std::string& message) {
  view_.ShowException(message);
}

void MainLogic::SetStartButton(bool running) {
  ShowDeferredMessages();
  captionStop_ = running;
  view_.SetStartButton(running);
}

void MainLogic::UnitEnded(int portIndex, int cycle, bool passed) {
  ShowDeferredMessages();
  (passed ? unitsPassed_ : unitsFailed_)++;
  view_.UnitEnded(portIndex, cycle, passed);
}

void MainLogic::DispatcherEnded() {
  ShowDeferredMessages();
  dispatcherEnded_ = true;
  view_.DispatcherEnded();
}

std::unique_ptr<SelectFilesLogic> MainLogic::NewJobDialogLogic() {
  auto logic = std::make_unique<SelectFilesLogic>(
      job, storedConfig, macPool(), boxes(), [this](const std::string& m) { ShowException(m); });
  logic->SetPackageSource([this] {
    JobDialogPackage p;
    std::string why;
    p.locked = !JobChangeAllowed(&why);
    p.lockedText = why;
    if (package_) {
      p.shown = true;
      p.name = package_->name;
      p.version = package_->version;
      p.sha256 = package_->sha256;
      p.keyId = package_->keyId;
      p.path = package_->path;
      p.config = &packageConfig_;
    }
    if (!p.locked) {
      p.load = [this](const std::string& path, std::string* text) {
        return LoadPackage(path, "window", text);
      };
      if (package_ && !production_) {
        p.leave = [this](std::string* text) { return LeavePackage("window", text); };
      }
    }
    return p;
  });
  return logic;
}


