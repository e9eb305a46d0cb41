#pragma once
// The user-interface thread. Worker threads never touch a window: they hand a
// routine to RunSync, which runs it on the UI thread and returns after it has run.
#include <functional>

class UiThread {
 public:
  virtual ~UiThread() = default;
  // Runs fn on the UI thread and blocks until it has run. Called on the UI thread
  // itself it runs fn directly.
  virtual void RunSync(const std::function<void()>& fn) = 0;
  virtual bool IsUiThread() const = 0;
  // Queues fn to run on the UI thread soon, in turn with the routines handed to RunSync
  // and the window's own events, and returns at once. False when this UI thread cannot
  // queue routines; fn is then dropped.
  virtual bool Post(std::function<void()> fn) {
    (void)fn;
    return false;
  }
};
