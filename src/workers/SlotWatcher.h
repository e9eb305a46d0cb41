#pragma once
// Continuous production: the watcher of one slot between two cycles. It holds the
// slot's port and tells, from what the unit says, when a unit has come (its boot ROM's
// "fw =" line, its loader's banner, or its firmware answering the console probe
// steadily for the hold time) or when the unit has gone (its port vanished, or nothing
// came back for the hold time although the probe asked).
//
// The probe is "$GLM\r\n", the query the workers end every download and programming
// with: a running firmware answers it with its address and changes nothing; a loader
// takes only its single-letter keys and ignores it. It is never sent into a boot ROM's
// window for "@@": before any unit has answered, the watcher waits until the line has
// been quiet for longer than that window, and a "fw =" line ends the watch at once.
//
// The watcher shows nothing in the port's cell (the dispatcher shows the slot's state)
// and writes no stage: it ends by writing SlotWatch::end, after its port is closed.
#include <cstdint>

#include "base/RunJob.h"
#include "base/SlotTable.h"
#include "base/Station.h"
#include "base/Thread.h"
#include "workers/ConsolePort.h"

class SlotWatcher final : public Thread {
 public:
  static constexpr uint32_t kPollMs = 20;
  // Removal, and arrival once a unit has answered: the probe goes out when the line has
  // been quiet this long, at most once per kProbeEveryMs.
  static constexpr uint32_t kProbeQuietMs = 200;
  static constexpr uint32_t kProbeEveryMs = 500;
  // Arrival before any answer: quiet longer than a boot ROM's window for "@@".
  static constexpr uint32_t kBootQuietMs = 4000;
  // What a running firmware needs to answer the probe, at most.
  static constexpr uint32_t kAnswerMs = 300;
  // Gone takes this many probes in a row without an answer as well as the hold time;
  // come takes this many answers as well (whatever a slow clock makes of the times).
  static constexpr int kUnansweredProbes = 3;
  static constexpr int kSteadyAnswers = 3;
  // Arrival, once that many probes went unanswered: how often an empty socket is asked
  // (a unit plugged in already running is found within this time).
  static constexpr uint32_t kIdleProbeMs = 30000;

  // watch: set up by the caller, outlives the watcher.
  SlotWatcher(Station& station, const RunJob& job, int portNumber, int portIndex,
              SlotWatch& watch);
  ~SlotWatcher() override;

 protected:
  void Execute() override;

 private:
  WatchEnd Watch();
  bool IsLastUnit(const MacAddress& mac) const;
  void Probe(uint32_t now);

  Station& station_;
  const RunJob& job_;
  SlotWatch& watch_;
  ConsolePort console_;
  uint32_t lastProbe_ = 0;
  bool probed_ = false;
  int unanswered_ = 0;  // probes since the last byte came
};
