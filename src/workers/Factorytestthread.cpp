// Placeholder until this step worker is built.
#include "workers/PlaceholderWorker.h"
#include "workers/Workers.h"

std::unique_ptr<Thread> NewLoopbackTestWorker(Station& station, int portNumber, int portIndex, bool) {
  return std::make_unique<PlaceholderWorker>(station, portNumber, portIndex, "loopback test");
}
