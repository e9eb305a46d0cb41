// The Windows implementation: a console control handler (Ctrl+C, Ctrl+Break, the
// console window closed, log-off, shut-down) sets an event; the watcher's thread
// waits for it and makes the call.
#include <windows.h>

#include <atomic>
#include <thread>

#include "platform/TerminationSignals.h"

namespace {

HANDLE requestEvent = nullptr;  // auto-reset: one call per request
HANDLE stopEvent = nullptr;     // manual-reset: the watch ends
HANDLE doneEvent = nullptr;     // manual-reset: the program has handled its end

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (requestEvent == nullptr) return FALSE;
  SetEvent(requestEvent);
  // Windows ends the process when the handler of a closed console returns: give the
  // program a few seconds to stop its run first.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    WaitForSingleObject(doneEvent, 4500);
  }
  return TRUE;
}

}  // namespace

struct TerminationWatch::Impl {
  std::function<void()> onRequest;
  std::thread watcher;
};

TerminationWatch::TerminationWatch(std::function<void()> onRequest) : impl_(new Impl) {
  impl_->onRequest = std::move(onRequest);
  if (requestEvent != nullptr) return;  // one watch per program
  requestEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (requestEvent == nullptr || stopEvent == nullptr || doneEvent == nullptr) {
    for (HANDLE* h : {&requestEvent, &stopEvent, &doneEvent}) {
      if (*h != nullptr) CloseHandle(*h);
      *h = nullptr;
    }
    return;
  }
  Impl* impl = impl_.get();
  impl->watcher = std::thread([impl] {
    const HANDLE events[2] = {stopEvent, requestEvent};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      if (impl->onRequest) impl->onRequest();
    }
  });
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TerminationWatch::~TerminationWatch() {
  if (!impl_->watcher.joinable()) return;
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  SetEvent(stopEvent);
  impl_->watcher.join();
  SetEvent(doneEvent);  // a handler still waiting lets the system end the process
  CloseHandle(requestEvent);
  CloseHandle(stopEvent);
  requestEvent = stopEvent = nullptr;
  // doneEvent stays: a handler that already runs may still wait on it.
}

bool TerminationWatch::Active() const {
  return impl_->watcher.joinable();
}

void IgnoreBrokenPipe() {
  // Writing to a closed pipe fails with an error on Windows; no signal ends the program.
}
