// The Windows build runs no other programs yet.
#include "platform/Process.h"

#include <cerrno>

int RunProcess(const std::vector<std::string>& argv, uint32_t /*timeoutMs*/, size_t /*maxOutput*/,
               ProcessResult* result, const std::atomic<bool>* /*cancel*/) {
  *result = ProcessResult{};
  return argv.empty() ? EINVAL : ENOSYS;
}
