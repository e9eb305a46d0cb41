#pragma once
// A step worker that is not built into this program: it shows so and fails its port.
#include <string>

#include "app/Station.h"
#include "app/Thread.h"

class PlaceholderWorker final : public Thread {
 public:
  PlaceholderWorker(Station& station, int portNumber, int portIndex, std::string step);

 protected:
  void Execute() override;

 private:
  Station& station_;
  int portNumber_;
  int portIndex_;
  std::string step_;
};
