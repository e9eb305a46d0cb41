#pragma once
// Continuous production: what the dispatcher knows of each slot's current unit, for the
// workers of its cycle. One writer at a time per entry: the dispatcher, between the
// slot watcher's end and the next worker's start.
#include <array>
#include <atomic>
#include <cstdint>

#include "base/JobState.h"

// How the slot watcher found the unit the cycle runs for.
enum class UnitFound : int32_t {
  Unknown = 0,  // no watcher (a batch run): the download worker waits for silence first
  AtBoot = 1,   // its boot ROM's "fw =" line came just now: the window for "@@" is open
  Running = 2,  // its firmware answered the console probe: it is up, and quiet
};

class SlotTable {
 public:
  UnitFound Found(int portIndex) const { return found_.at(Index(portIndex)).load(); }
  void SetFound(int portIndex, UnitFound how) { found_.at(Index(portIndex)).store(how); }
  // The number of the slot's current unit in this run: 1 for the first.
  int Cycle(int portIndex) const { return cycle_.at(Index(portIndex)).load(); }
  void SetCycle(int portIndex, int cycle) { cycle_.at(Index(portIndex)).store(cycle); }

 private:
  static size_t Index(int portIndex) { return static_cast<size_t>(portIndex); }
  std::array<std::atomic<UnitFound>, kMaxPorts> found_{};
  std::array<std::atomic<int>, kMaxPorts> cycle_{};
};
