#pragma once
// The production board without a window: the UI thread is the program's main thread
// running a task queue, the board prints one line per call, message boxes go to
// the error stream and a Yes/No question is answered Yes.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/Board.h"
#include "base/JobState.h"
#include "base/LineText.h"
#include "base/MessageBoxes.h"
#include "base/UiThread.h"

// RunSync from another thread queues the routine and blocks until the UI thread (the
// thread that created this object) has run it in RunPending. A routine that throws
// hands its exception back to the caller of RunSync.
class QueueUiThread final : public UiThread {
 public:
  QueueUiThread() : uiThread_(std::this_thread::get_id()) {}
  void RunSync(const std::function<void()>& fn) override;
  bool IsUiThread() const override { return std::this_thread::get_id() == uiThread_; }
  bool Post(std::function<void()> fn) override;
  // On the UI thread: runs every queued routine; when none is queued, waits at most
  // waitMs for one. beforeEach, when given, runs on the UI thread before each routine.
  // Returns the number of routines run.
  int RunPending(int waitMs, const std::function<void()>& beforeEach = nullptr);

 private:
  struct Task {
    const std::function<void()>* fn;
    bool done = false;
    std::exception_ptr error;
  };
  const std::thread::id uiThread_;
  std::mutex m_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Task*> tasks_;
  std::deque<std::function<void()>> posted_;
  static constexpr size_t kMaxPosted = 4096;
};

// Board lines on `out`, each flushed at once:
//   status <portIndex> <text> | mac <row> <column> <text> | message <text> |
//   exception <text> | end | unit <portIndex> <cycle> passed|failed <the slot's last status>
class HeadlessBoard final : public Board {
 public:
  explicit HeadlessBoard(std::FILE* out) : out_(out) {}
  void ShowPortStatus(int portIndex, const std::string& text) override;
  void SetMacGridCell(int row, int column, const std::string& text) override;
  void AppendMessage(const std::string& text) override;
  void ClearMessages() override {}
  void ClearStatusGrid() override {}
  void ShowException(const std::string& message) override;
  void SetStartButton(bool) override {}
  void DispatcherEnded() override;
  void UnitEnded(int portIndex, int cycle, bool passed) override;
  // Only on the UI thread.
  bool Ended() const { return ended_; }

 private:
  void Line(const std::string& line);
  std::FILE* out_;
  bool ended_ = false;
  std::array<std::string, kMaxPorts> lastStatus_;
};

class MainLogic;

// Exit status of the headless runner.
constexpr int kExitDone = 0;         // every detected port reached the job's last step
constexpr int kExitPortsFailed = 1;  // a port failed, the run ended before all finished, or
                                     // records or MAC outcomes wait to be written
constexpr int kExitRefused = 2;      // set-up or Start refused, or the run could not begin

// How the headless runner runs, beside the job the dialog sets up.
struct HeadlessRunOptions {
  // --units N: in continuous production, end the run after N units (N >= 1);
  // 0: run until a stop signal.
  uint32_t unitsLimit = 0;
  // --serial [COMn=]SERIAL: the units' serials (port "" for the next port that asks),
  // bound once Start was taken; --rework: they are re-worked units.
  std::vector<std::pair<std::string, std::string>> serials;
  bool rework = false;
};

// Presses Start as the operator would and serves the UI thread (the caller's) until the
// run has ended. stopRequested (set by a signal handler) is a confirmed Stop. It is
// acted on before the next routine a thread hands to the UI thread, so nothing asked
// for after the request (a worker's MAC address, for one) runs before the Stop.
// Returns the exit status; kExitRefused also when the dispatcher could not create its
// log file (nothing was scanned or started).
//
// Continuous production runs until the stop request, or until options.unitsLimit units
// (when above 0) have passed, which is then a confirmed Stop too; kExitDone when every unit
// that finished passed (and at least one did), else kExitPortsFailed.
int RunHeadlessJob(MainLogic& logic, QueueUiThread& ui, const std::atomic<bool>& stopRequested,
                   const HeadlessRunOptions& options = {});

// A station served as a service (production-cli --serve): serves the UI thread, whose
// routines now include the service's commands, until stopRequested. Then beforeStop runs
// (the service stops taking commands), a live run gets the confirmed Stop, and the
// loop goes on until its dispatcher has ended. Returns kExitDone.
int ServeHeadless(MainLogic& logic, QueueUiThread& ui, const std::atomic<bool>& stopRequested,
                  const std::function<void()>& beforeStop);

// "error <caption>: <text>" on `err`; Yes/No boxes are answered Yes.
class HeadlessBoxes final : public MessageBoxes {
 public:
  explicit HeadlessBoxes(std::FILE* err) : err_(err) {}
  BoxResult Show(const std::string& caption, const std::string& text, BoxButtons buttons,
                 BoxIcon icon) override;

 private:
  std::FILE* err_;
};
