#pragma once
// RunSync on the Qt event loop: a blocking queued call into the GUI thread. Create
// it on the GUI thread; it must outlive every thread that may call RunSync.
#include <QObject>

#include "base/UiThread.h"

class QtUiThread final : public QObject, public UiThread {
  Q_OBJECT
 public:
  QtUiThread();  // create on the GUI thread
  void RunSync(const std::function<void()>& fn) override;
  bool IsUiThread() const override;
  bool Post(std::function<void()> fn) override;
};
