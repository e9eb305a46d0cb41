#pragma once
// Requests from outside to end the program (SIGTERM, SIGINT and SIGHUP; on Windows
// Ctrl+C, Ctrl+Break and the console closed): each one is handed to the program as a
// call on a watcher thread of its own, never inside a signal handler. One watch per
// program.
#include <functional>
#include <memory>

class TerminationWatch {
 public:
  // Starts watching; onRequest runs on the watcher's thread once per request.
  explicit TerminationWatch(std::function<void()> onRequest);
  // Stops watching (the signals get their default action again) and waits for the
  // watcher's thread.
  ~TerminationWatch();
  TerminationWatch(const TerminationWatch&) = delete;
  TerminationWatch& operator=(const TerminationWatch&) = delete;

  // False when the signals could not be caught (they keep their default action).
  bool Active() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Output to a reader that went away fails with an error instead of ending the program
// (SIGPIPE ignored; Windows raises no signal for it).
void IgnoreBrokenPipe();
