#include "app/Headless.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "app/MainLogic.h"
#include "app/UnitIdentity.h"
#include "app/Startthread.h"

// ---- QueueUiThread ----

void QueueUiThread::RunSync(const std::function<void()>& fn) {
  if (IsUiThread()) {
    fn();
    return;
  }
  Task task{&fn};
  std::unique_lock<std::mutex> lock(m_);
  tasks_.push_back(&task);
  queued_.notify_one();
  finished_.wait(lock, [&] { return task.done; });
  if (task.error) std::rethrow_exception(task.error);
}

bool QueueUiThread::Post(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(m_);
  if (posted_.size() >= kMaxPosted) return false;
  posted_.push_back(std::move(fn));
  queued_.notify_one();
  return true;
}

int QueueUiThread::RunPending(int waitMs, const std::function<void()>& beforeEach) {
  std::unique_lock<std::mutex> lock(m_);
  if (tasks_.empty() && posted_.empty()) {
    queued_.wait_for(lock, std::chrono::milliseconds(waitMs),
                     [&] { return !tasks_.empty() || !posted_.empty(); });
  }
  int ran = 0;
  // Posted routines first, in the order they came; a routine that throws ends only itself.
  while (!posted_.empty()) {
    if (beforeEach) {
      lock.unlock();
      beforeEach();
      lock.lock();
      if (posted_.empty()) break;
    }
    std::function<void()> fn = std::move(posted_.front());
    posted_.pop_front();
    lock.unlock();
    try {
      fn();
    } catch (...) {
      // A posted routine hands nothing back: it answers for its own faults.
    }
    lock.lock();
    ran++;
  }
  while (!tasks_.empty()) {
    if (beforeEach) {
      lock.unlock();
      beforeEach();
      lock.lock();
      if (tasks_.empty()) break;
    }
    Task* task = tasks_.front();
    tasks_.pop_front();
    lock.unlock();
    try {
      (*task->fn)();
    } catch (...) {
      task->error = std::current_exception();
    }
    lock.lock();
    task->done = true;
    finished_.notify_all();
    ran++;
  }
  return ran;
}

// ---- HeadlessBoard ----

void HeadlessBoard::Line(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void HeadlessBoard::ShowPortStatus(int portIndex, const std::string& text) {
  if (portIndex >= 0 && portIndex < kMaxPorts) lastStatus_[static_cast<size_t>(portIndex)] = text;
  Line("status " + std::to_string(portIndex) + " " + EscapeLineText(text));
}

void HeadlessBoard::SetMacGridCell(int row, int column, const std::string& text) {
  Line("mac " + std::to_string(row) + " " + std::to_string(column) + " " + EscapeLineText(text));
}

void HeadlessBoard::AppendMessage(const std::string& text) {
  Line("message " + EscapeLineText(text));
}

void HeadlessBoard::ShowException(const std::string& message) {
  Line("exception " + EscapeLineText(message));
}

void HeadlessBoard::UnitEnded(int portIndex, int cycle, bool passed) {
  const std::string last =
      portIndex >= 0 && portIndex < kMaxPorts ? lastStatus_[static_cast<size_t>(portIndex)] : "";
  Line("unit " + std::to_string(portIndex) + " " + std::to_string(cycle) +
       (passed ? " passed " : " failed ") + EscapeLineText(last));
}

void HeadlessBoard::DispatcherEnded() {
  ended_ = true;
  Line("end");
}

// ---- the service's loop ----

int ServeHeadless(MainLogic& logic, QueueUiThread& ui, const std::atomic<bool>& stopRequested,
                  const std::function<void()>& beforeStop) {
  bool stopAsked = false;
  const std::function<void()> stopFirst = [&] {
    if (!stopRequested.load() || stopAsked) return;
    stopAsked = true;
    if (beforeStop) beforeStop();
    if (logic.StartCaptionIsStop()) logic.Btn_StartClick();
  };
  for (;;) {
    stopFirst();
    if (stopAsked && !logic.DispatcherBusy()) break;
    ui.RunPending(100, stopFirst);
  }
  return kExitDone;
}

// ---- HeadlessBoxes ----

BoxResult HeadlessBoxes::Show(const std::string& caption, const std::string& text,
                              BoxButtons buttons, BoxIcon) {
  const std::string line = "error " + EscapeLineText(caption) + ": " + EscapeLineText(text) + "\n";
  std::fputs(line.c_str(), err_);
  std::fflush(err_);
  return buttons == BoxButtons::YesNo ? BoxResult::Yes : BoxResult::Ok;
}

// ---- the run ----

namespace {
constexpr uint32_t kAfterRunWaitMs = 30000;
}  // namespace

int RunHeadlessJob(MainLogic& logic, QueueUiThread& ui, const std::atomic<bool>& stopRequested,
                   const HeadlessRunOptions& options) {
  logic.Btn_StartClick();
  if (!logic.StartCaptionIsStop()) return kExitRefused;
  bool serialRefused = false;
  for (const auto& [port, serial] : options.serials) {
    UnitIdentityGate* gate = logic.unitGate();
    std::string text = "the job does not scan unit serials";
    const bool ok = gate && logic.runJob().scanSerial &&
                    (port.empty() ? gate->Queue(serial, options.rework, &text)
                                  : gate->Bind(port, serial, options.rework, &text));
    logic.AppendMessage((ok ? "serial " : "serial refused: ") + text);
    serialRefused |= !ok;
  }
  if (serialRefused && logic.StartCaptionIsStop()) logic.Btn_StartClick();  // a confirmed Stop
  const bool continuous = logic.runJob().continuous;
  bool stopAsked = false;
  const std::function<void()> stopFirst = [&] {
    const bool enough = continuous && options.unitsLimit > 0 &&
                        static_cast<uint32_t>(logic.UnitsPassed()) >= options.unitsLimit;
    if ((!stopRequested.load() && !enough) || stopAsked) return;
    stopAsked = true;
    // A confirmed Stop; the run ends through the dispatcher's end steps.
    if (logic.StartCaptionIsStop()) logic.Btn_StartClick();
  };
  // Until the dispatcher has reported its end (or its thread has ended).
  while (logic.DispatcherBusy()) {
    stopFirst();
    ui.RunPending(100, stopFirst);
  }
  StartThread* dispatcher = logic.dispatcher();
  if (dispatcher == nullptr || dispatcher->LogFailed() || serialRefused) return kExitRefused;
  const std::vector<int> ports = dispatcher->PortNumbers();
  int status = ports.empty() ? kExitPortsFailed : kExitDone;
  if (continuous) {
    // The units in progress at the Stop are no verdict of the station's.
    if (logic.UnitsFailed() > 0 || logic.UnitsPassed() == 0) status = kExitPortsFailed;
  }
  for (size_t k = 0; !continuous && k < ports.size(); k++) {
    const Stage stage = logic.stages.Get(static_cast<int>(k));
    if (stage == StageFailed || !StartThread::PortFinished(logic.runJob().steps, stage)) {
      status = kExitPortsFailed;
    }
  }
  // Outcomes or records that wait to be written (the message log says how many and
  // where they are kept): an unattended station is noticed.
  size_t outcomes = 0;
  {
    std::lock_guard<std::mutex> lock(logic.macPool().Mutex());
    outcomes = logic.macPool().WaitingOutcomes();
  }
  // The last units' labels and check-outs, and what they add to the records, are done
  // before the runner says how the run went (bounded: each has its own time-outs).
  if (UnitIdentityGate* gate = logic.unitGate()) gate->WaitIdle(kAfterRunWaitMs);
  if (ProductionRecorder* r = logic.records()) {
    for (uint32_t waited = 0; waited < kAfterRunWaitMs; waited += 20) {
      if (r->writer().Queued() == 0 && r->writer().QueuedEvents() == 0 &&
          r->writer().QueuedAudits() == 0) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  const bool waiting =
      outcomes > 0 || (logic.records() && (logic.records()->writer().Queued() > 0 ||
                                            logic.records()->writer().QueuedEvents() > 0 ||
                                            logic.records()->writer().QueuedAudits() > 0));
  if (waiting && status == kExitDone) status = kExitPortsFailed;
  return status;
}
