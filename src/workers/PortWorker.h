#pragma once
// What the three step workers of a port share: the station, the port's console, the
// message log, and the ending. Execute() runs the worker's Run() and ends it once:
// everything released, `running` cleared, then the stage Run() returned (the stage
// lets the port's next worker open the port), then AfterStage(). An exception is
// shown (the worker's exception text and the board's exception box) and, unless the
// stage is out already (it belongs to the port's next worker by then), ends the worker
// with StageFailed.
//
// Each final worker class stops and joins its thread in its own destructor: the body
// uses the worker's members, which are gone before this base's destructor runs.
#include <cstdint>
#include <string>

#include "base/JobState.h"
#include "base/RunJob.h"
#include "base/Station.h"
#include "base/Thread.h"
#include "workers/ConsolePort.h"

class PortWorker : public Thread {
 public:
  ConsolePort& console() { return console_; }

 protected:
  PortWorker(Station& station, const RunJob& job, int portNumber, int portIndex);

  void Execute() final;
  // The worker's steps; returns the stage to end with.
  virtual Stage Run() = 0;
  // Shows the worker's exception text in the port's status cell.
  virtual void ShowExceptionText() = 0;
  // What the worker shows once its stage is out.
  virtual void AfterStage(Stage /*stage*/) {}
  // Called first when an exception left Run(); must not throw.
  virtual void OnRunBroken() {}
  // Closes what the worker holds (the console port here); called once, at the end.
  virtual void Release();

  // A line of the message log, through the UI thread.
  void AppendMessage(const std::string& text);

  Station& station_;
  // The run this worker belongs to; it outlives the dispatcher and every worker.
  const RunJob& job_;
  ConsolePort console_;

 private:
  void EndWithException(const std::string& what);
  void End(Stage stage);
  bool ended_ = false;
};
