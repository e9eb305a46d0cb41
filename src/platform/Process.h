#pragma once
// Running another program: no shell, a bounded wait and bounded captured output.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;       // the program's exit status; -1 when it ended by a signal
  bool timedOut = false;   // the wait ran out and the program was killed
  bool cancelled = false;  // the cancel flag was set and the program was killed
  bool truncated = false;  // it wrote more than the output bound; the rest was dropped
  std::string output;      // what it wrote on stdout and stderr, interleaved
};

// Runs argv[0] (looked up in PATH when it holds no '/') with the arguments argv[1..],
// stdin from the null device, and waits at most timeoutMs for it to end; a program still
// running then is killed. At most maxOutput bytes of its output are kept. 0 when the
// program ran (its status in *result), else the error that kept it from starting
// (ENOENT: no such program; EINVAL: an empty argv). cancel (may be null) set kills the
// program within 100 ms as well.
int RunProcess(const std::vector<std::string>& argv, uint32_t timeoutMs, size_t maxOutput,
               ProcessResult* result, const std::atomic<bool>* cancel = nullptr);
