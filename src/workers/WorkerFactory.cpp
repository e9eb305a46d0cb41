#include "workers/Workers.h"

std::unique_ptr<Thread> StationWorkerFactory::StartWorker(const RunJob& job, WorkerKind kind,
                                                          int portNumber, int portIndex,
                                                          bool logFlag) {
  std::unique_ptr<Thread> worker;
  switch (kind) {
    case WorkerKind::Download:
      worker = NewDownloadWorker(station_, job, portNumber, portIndex, logFlag);
      break;
    case WorkerKind::LoopbackTest:
      worker = NewLoopbackTestWorker(station_, job, portNumber, portIndex, logFlag);
      break;
    case WorkerKind::ProgramMac:
      worker = NewProgramMacWorker(station_, job, portNumber, portIndex, logFlag);
      break;
  }
  if (worker) worker->Start();
  return worker;
}

std::unique_ptr<Thread> StationWorkerFactory::StartWatcher(const RunJob& job, int portNumber,
                                                           int portIndex, SlotWatch& watch) {
  std::unique_ptr<Thread> watcher = NewSlotWatcher(station_, job, portNumber, portIndex, watch);
  watcher->Start();
  return watcher;
}
