#pragma once
// Continuous production: what the dispatcher knows of each slot's current unit, for the
// workers of its cycle. One writer at a time per entry: the dispatcher, between the
// slot watcher's end and the next worker's start.
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "base/JobState.h"
#include "base/MacPool.h"

// How the slot watcher found the unit the cycle runs for.
enum class UnitFound : int32_t {
  Unknown = 0,  // no watcher (a batch run): the download worker waits for silence first
  AtBoot = 1,   // its boot ROM's "fw =" line came just now: the window for "@@" is open
  Running = 2,  // its firmware answered the console probe: it is up, and quiet
};

// Where a slot is in its cycle, for the board: no unit (the last one was taken out),
// a unit whose steps run, or a unit the steps are done with (its verdict stays shown
// until the next unit's cycle starts).
enum class SlotPhase : int32_t { Empty = 0, Unit = 1, Done = 2 };

class SlotTable {
 public:
  SlotPhase Phase(int portIndex) const { return phase_.at(Index(portIndex)).load(); }
  void SetPhase(int portIndex, SlotPhase phase) { phase_.at(Index(portIndex)).store(phase); }
  UnitFound Found(int portIndex) const { return found_.at(Index(portIndex)).load(); }
  void SetFound(int portIndex, UnitFound how) { found_.at(Index(portIndex)).store(how); }
  // The number of the slot's current unit in this run: 1 for the first.
  int Cycle(int portIndex) const { return cycle_.at(Index(portIndex)).load(); }
  void SetCycle(int portIndex, int cycle) { cycle_.at(Index(portIndex)).store(cycle); }

 private:
  static size_t Index(int portIndex) { return static_cast<size_t>(portIndex); }
  std::array<std::atomic<SlotPhase>, kMaxPorts> phase_{};
  std::array<std::atomic<UnitFound>, kMaxPorts> found_{};
  std::array<std::atomic<int>, kMaxPorts> cycle_{};
};

// What a slot watcher looks for on its port between two cycles.
enum class WatchFor { Arrival, Removal };

// How a slot watcher ended.
enum class WatchEnd : int32_t {
  Watching = 0,     // not ended yet
  UnitAtBoot = 1,   // a unit's boot ROM spoke ("fw ="): its loader window is open
  UnitRunning = 2,  // a unit's firmware answered the probe (steadily, for the hold time)
  UnitInLoader = 3,  // a unit's loader banner came
  SameUnit = 4,     // the slot's last unit answered: it is still in its socket
  Removed = 5,      // the unit stopped answering for the hold time, or its port went
  PortMissing = 6,  // the port could not be opened (a unit's own adapter, not there)
  Stopped = 7,      // asked to stop
};

// One watch of one slot: set up by the dispatcher before the watcher starts, `end`
// written once by the watcher when it is done (everything else before it).
struct SlotWatch {
  WatchFor what = WatchFor::Arrival;
  // The addresses by which the slot's last unit is known (its temporary address, the
  // address it answered with after its cycle): an answer with one of them is that unit.
  std::vector<MacAddress> lastUnit;
  // Removal: the unit's firmware is up (its cycle ended on its answer), so the probe
  // may go out at once; else the watcher first waits out a boot ROM's window.
  bool unitUp = false;
  // A unit at boot starts the cycle (the job's first step is a download, which takes
  // the boot ROM's window); else the cycle waits for its firmware's version line.
  bool bootStarts = true;
  // Removal: the address the unit in the socket answered with, when it did.
  bool answered = false;
  MacAddress answer{};
  std::atomic<WatchEnd> end{WatchEnd::Watching};
};
