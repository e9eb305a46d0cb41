#include "workers/PlaceholderWorker.h"

#include "app/Board.h"
#include "app/JobState.h"

PlaceholderWorker::PlaceholderWorker(Station& station, int portNumber, int portIndex,
                                     std::string step)
    : Thread(*station.ui),
      station_(station),
      portNumber_(portNumber),
      portIndex_(portIndex),
      step_(std::move(step)) {}

void PlaceholderWorker::Execute() {
  const std::string text = "COM" + std::to_string(portNumber_) + ": " + step_ + " not available";
  Synchronize([&] { station_.board->ShowPortStatus(portIndex_, text); });
  SetRunning(false);
  station_.stages->Set(portIndex_, StageFailed);
}
