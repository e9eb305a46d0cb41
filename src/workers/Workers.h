#pragma once
// Creation of the three step workers of a port, and the factory the dispatcher uses.
#include <memory>

#include "base/RunJob.h"
#include "base/SlotTable.h"
#include "base/Station.h"
#include "base/Thread.h"
#include "base/WorkerFactory.h"

// Each creates the worker (not yet started) of the run `job`, which outlives it.
std::unique_ptr<Thread> NewDownloadWorker(Station& station, const RunJob& job, int portNumber,
                                          int portIndex, bool logFlag);
std::unique_ptr<Thread> NewLoopbackTestWorker(Station& station, const RunJob& job, int portNumber,
                                              int portIndex, bool logFlag);
std::unique_ptr<Thread> NewProgramMacWorker(Station& station, const RunJob& job, int portNumber,
                                            int portIndex, bool logFlag);

// The watcher of a slot between two cycles (continuous production).
std::unique_ptr<Thread> NewSlotWatcher(Station& station, const RunJob& job, int portNumber,
                                       int portIndex, SlotWatch& watch);

// The factory of the real workers.
class StationWorkerFactory final : public WorkerFactory {
 public:
  explicit StationWorkerFactory(Station& station) : station_(station) {}
  std::unique_ptr<Thread> StartWorker(const RunJob& job, WorkerKind kind, int portNumber,
                                      int portIndex, bool logFlag) override;
  std::unique_ptr<Thread> StartWatcher(const RunJob& job, int portNumber, int portIndex,
                                       SlotWatch& watch) override;

 private:
  Station& station_;
};
