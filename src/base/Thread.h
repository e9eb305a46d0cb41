#pragma once
// Base of the dispatcher and the workers: a thread body `Execute`, a terminate
// request, the `running` flag and Synchronize.
//
// Ownership: whoever creates a thread owns it and joins it (the dispatcher its
// workers, the main window its dispatcher). Never Join() on the UI thread a thread
// that may be waiting in Synchronize.
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "base/UiThread.h"

class Thread {
 public:
  explicit Thread(UiThread& ui) : ui_(ui) {}
  virtual ~Thread();  // requests termination and joins
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts Execute() on a new thread. Call once, after construction is complete.
  void Start();
  // The terminate request.
  void Terminate() { terminate_.store(true); }
  bool Terminated() const { return terminate_.load(); }
  // The `running` flag: set at creation; each thread class clears it where its body
  // says so.
  bool Running() const { return running_.load() != 0; }
  // The thread body has returned.
  bool Finished() const { return finished_.load(); }
  // Waits for the thread body to return (no-op when not started or already joined).
  void Join();

 protected:
  virtual void Execute() = 0;
  // Runs fn on the UI thread and waits until it has run.
  void Synchronize(const std::function<void()>& fn) { ui_.RunSync(fn); }
  void SetRunning(bool on) { running_.store(on ? 1 : 0); }
  UiThread& ui_;

 private:
  void Body();
  std::thread thread_;
  std::atomic<int32_t> running_{1};
  std::atomic<bool> terminate_{false};
  std::atomic<bool> finished_{false};
};
