// The POSIX implementation: the handler writes one byte to a pipe; the watcher's
// thread reads it and makes the call.
#include "platform/TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int wakePipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (::write(wakePipe[1], &byte, 1) < 0) {
    // The pipe is full: a request is already waiting.
  }
  errno = saved;
}

}  // namespace

struct TerminationWatch::Impl {
  std::function<void()> onRequest;
  std::atomic<bool> stopping{false};
  std::thread watcher;
};

TerminationWatch::TerminationWatch(std::function<void()> onRequest) : impl_(new Impl) {
  impl_->onRequest = std::move(onRequest);
  if (wakePipe[0] >= 0 || ::pipe2(wakePipe, O_CLOEXEC) != 0) return;
  // Only the write end may not block: the handler must never wait.
  ::fcntl(wakePipe[1], F_SETFL, O_NONBLOCK);
  Impl* impl = impl_.get();
  impl->watcher = std::thread([impl] {
    for (;;) {
      char byte = 0;
      const ssize_t n = ::read(wakePipe[0], &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || impl->stopping.load()) return;
      if (impl->onRequest) impl->onRequest();
    }
  });
  struct sigaction sa = {};
  sa.sa_handler = OnTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
}

TerminationWatch::~TerminationWatch() {
  if (!impl_->watcher.joinable()) return;
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
  impl_->stopping.store(true);
  const char byte = 0;
  while (::write(wakePipe[1], &byte, 1) < 0 && errno == EINTR) {
  }
  impl_->watcher.join();
  ::close(wakePipe[0]);
  ::close(wakePipe[1]);
  wakePipe[0] = wakePipe[1] = -1;
}

bool TerminationWatch::Active() const {
  return impl_->watcher.joinable();
}

void IgnoreBrokenPipe() {
  struct sigaction sa = {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGPIPE, &sa, nullptr);
}
