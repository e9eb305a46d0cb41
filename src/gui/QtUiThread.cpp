#include "gui/QtUiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <exception>

QtUiThread::QtUiThread() = default;

bool QtUiThread::IsUiThread() const {
  return QThread::currentThread() == thread();
}

void QtUiThread::RunSync(const std::function<void()>& fn) {
  if (IsUiThread()) {
    fn();
    return;
  }
  // A fault of the routine must not unwind through the GUI thread's event loop: it is
  // carried back and raised again in the calling thread, whose body catches it.
  std::exception_ptr fault;
  QMetaObject::invokeMethod(
      this,
      [&fn, &fault] {
        try {
          fn();
        } catch (...) {
          fault = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (fault) std::rethrow_exception(fault);
}

bool QtUiThread::Post(std::function<void()> fn) {
  QMetaObject::invokeMethod(
      this,
      [fn = std::move(fn)] {
        try {
          fn();
        } catch (...) {
          // A posted routine hands nothing back; its fault must not reach the event loop.
        }
      },
      Qt::QueuedConnection);
  return true;
}
