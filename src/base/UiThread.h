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
};
