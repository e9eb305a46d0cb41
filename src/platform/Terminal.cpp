// The POSIX implementation: the terminal's echo is switched off through termios; a
// signal that ends the program meanwhile switches it back on first.
#include "platform/Terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
struct termios savedTerminal;
struct sigaction previousActions[kSignalCount];

extern "C" void RestoreTerminalAndRaise(int sig) {
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  for (size_t i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == sig) ::sigaction(sig, &previousActions[i], nullptr);
  // Delivered once this handler returns, with the program's own action for it.
  ::raise(sig);
}

}  // namespace

bool StandardInputIsTerminal() {
  return ::isatty(STDIN_FILENO) == 1;
}

int ReadLineWithoutEcho(const std::string& prompt, size_t maxBytes, HiddenLine* out) {
  *out = HiddenLine();
  if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return errno;
  struct sigaction restore = {};
  restore.sa_handler = RestoreTerminalAndRaise;
  sigemptyset(&restore.sa_mask);
  // A signal the program ignores stays ignored: it ends nothing.
  bool caught[kSignalCount] = {};
  for (size_t i = 0; i < kSignalCount; ++i) {
    ::sigaction(kSignals[i], nullptr, &previousActions[i]);
    caught[i] = previousActions[i].sa_handler != SIG_IGN;
    if (caught[i]) ::sigaction(kSignals[i], &restore, nullptr);
  }
  auto restoreSignals = [&caught] {
    for (size_t i = 0; i < kSignalCount; ++i)
      if (caught[i]) ::sigaction(kSignals[i], &previousActions[i], nullptr);
  };
  struct termios quiet = savedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
    const int e = errno;
    restoreSignals();
    return e;
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  int result = 0;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = errno;
      break;
    }
    if (n == 0) {
      out->ended = true;
      break;
    }
    if (c == '\n') break;
    if (out->text.size() < maxBytes) {
      out->text.push_back(c);
    } else {
      out->tooLong = true;
    }
  }
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  restoreSignals();
  // The line end typed was not shown.
  std::fputs("\n", stderr);
  std::fflush(stderr);
  if (out->tooLong) out->text.clear();
  return result;
}
