// RunProcess on POSIX systems: posix_spawnp with the output on a pipe, read with poll.
#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

extern char** environ;

namespace {

class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

int WaitChild(pid_t pid, int* status) {
  for (;;) {
    if (waitpid(pid, status, 0) == pid) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace

int RunProcess(const std::vector<std::string>& argv, uint32_t timeoutMs, size_t maxOutput,
               ProcessResult* result, const std::atomic<bool>* cancel) {
  *result = ProcessResult{};
  if (argv.empty() || argv[0].empty()) return EINVAL;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno;
  SpawnActions actions;
  int err = actions.ok() ? 0 : ENOMEM;
  if (err == 0) err = posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  if (err == 0) err = posix_spawn_file_actions_adddup2(actions.get(), fds[1], 1);
  if (err == 0) err = posix_spawn_file_actions_adddup2(actions.get(), fds[1], 2);
  pid_t pid = -1;
  if (err == 0) err = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  close(fds[1]);
  if (err != 0) {
    close(fds[0]);
    return err;
  }

  using Steady = std::chrono::steady_clock;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0) {
      result->timedOut = true;
      break;
    }
    if (cancel && cancel->load()) {
      result->cancelled = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int r =
        poll(&p, 1, static_cast<int>(cancel ? std::min<decltype(left)>(left, 100) : left));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0 && cancel) continue;  // look at the flag again
    if (r <= 0) {
      result->timedOut = r == 0;
      break;
    }
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of output (or a read error): the program is ending
    const size_t room = maxOutput - result->output.size();
    result->output.append(buf, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    if (static_cast<size_t>(n) > room) result->truncated = true;
  }
  close(fds[0]);
  if (result->timedOut || result->cancelled) kill(pid, SIGKILL);
  int status = 0;
  // The output ended, so the program has closed it; it is ending now. A program that
  // closed its output but keeps running is bounded by the same deadline.
  while (!result->timedOut && !result->cancelled) {
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      result->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return 0;
    }
    if (w < 0 && errno != EINTR) return errno;
    if (cancel && cancel->load()) result->cancelled = true;
    if (Steady::now() >= deadline) result->timedOut = true;
    if (result->timedOut || result->cancelled) {
      kill(pid, SIGKILL);
      break;
    }
    usleep(2000);
  }
  const int werr = WaitChild(pid, &status);
  if (werr != 0) return werr;
  result->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return 0;
}
