#include "app/gui/QtUiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

QtUiThread::QtUiThread() = default;

bool QtUiThread::IsUiThread() const { return QThread::currentThread() == thread(); }

void QtUiThread::RunSync(const std::function<void()>& fn) {
  if (IsUiThread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(this, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}
