#pragma once
// The dispatcher creates the step workers of each port through this factory, so its
// transitions can be tested with scripted workers.
#include <memory>

#include "base/Thread.h"

class Thread;
struct RunJob;
struct SlotWatch;

enum class WorkerKind { Download, LoopbackTest, ProgramMac };

class WorkerFactory {
 public:
  virtual ~WorkerFactory() = default;
  // Creates and starts the worker of `kind` for COM<portNumber> at place portIndex, for
  // the run `job` (which outlives the worker). The worker writes stage entry portIndex
  // once, at its end.
  virtual std::unique_ptr<Thread> StartWorker(const RunJob& job, WorkerKind kind, int portNumber,
                                              int portIndex, bool logFlag) = 0;
  // Continuous production: creates and starts the watcher of COM<portNumber>'s slot
  // between two cycles; it fills `watch` (which outlives it). Null: this factory has
  // no watchers (the slot then stays as it is).
  virtual std::unique_ptr<Thread> StartWatcher(const RunJob& /*job*/, int /*portNumber*/,
                                               int /*portIndex*/, SlotWatch& /*watch*/) {
    return nullptr;
  }
};
