#include "base/Thread.h"

#include <cstdio>
#include <exception>

Thread::~Thread() {
  Terminate();
  Join();
}

void Thread::Start() {
  thread_ = std::thread([this] { Body(); });
}

void Thread::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Thread::Body() {
  try {
    Execute();
  } catch (const std::exception& e) {
    // Each thread class catches its own faults and shows them; this is the last net.
    std::fprintf(stderr, "unhandled exception in thread: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "unhandled exception in thread: unknown exception\n");
  }
  finished_.store(true);
}
