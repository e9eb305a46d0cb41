#pragma once
// Creation of the three step workers of a port, and the factory the dispatcher uses.
#include <memory>

#include "base/Station.h"
#include "base/Thread.h"
#include "base/WorkerFactory.h"

// Each creates the worker (not yet started).
std::unique_ptr<Thread> NewDownloadWorker(Station& station, int portNumber, int portIndex,
                                          bool logFlag);
std::unique_ptr<Thread> NewLoopbackTestWorker(Station& station, int portNumber, int portIndex,
                                              bool logFlag);
std::unique_ptr<Thread> NewProgramMacWorker(Station& station, int portNumber, int portIndex,
                                            bool logFlag);

// The factory of the real workers.
class StationWorkerFactory final : public WorkerFactory {
 public:
  explicit StationWorkerFactory(Station& station) : station_(station) {}
  std::unique_ptr<Thread> StartWorker(WorkerKind kind, int portNumber, int portIndex,
                                      bool logFlag) override;

 private:
  Station& station_;
};
