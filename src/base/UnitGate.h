#pragma once
// Unit identity: what the dispatcher asks before a unit's steps start, and tells once
// its verdict is known. A job that scans unit serials or checks units in with the
// manufacturing system has one (Station::gate); any other job has none, and every
// unit starts at once.
//
// Threads: every routine is called on the dispatcher's thread and returns quickly; a
// check-in runs on the gate's own threads.
#include <string>
#include <vector>

enum class GateAnswer {
  Wait,    // not yet: no serial bound to the port, or its check-in has not answered
  Go,      // the unit's steps may start
  Refuse,  // the unit takes no step (no address, no image); the text says why
};

class UnitGate {
 public:
  virtual ~UnitGate() = default;
  // The run's ports were found (COM numbers in place order).
  virtual void RunStarted(const std::vector<int>& portNumbers) = 0;
  // The unit in the port's place, its cycle `cycle` (0 in a batch run, 1.. in a slot),
  // asks to start. Called again on every pass while the answer is Wait. *text: what
  // the port's cell shows (the serial, or why the unit waits or was refused).
  virtual GateAnswer Admit(int portIndex, int cycle, std::string* text) = 0;
  // The unit's steps are done with it (passed: it reached the job's last stage), or a
  // unit that was admitted was stopped. Its check-out and label follow its record.
  virtual void UnitEnded(int portIndex, bool passed) = 0;
  // The run ends (every worker joined): a check-in still waiting is abandoned.
  virtual void RunEnded() = 0;
};
