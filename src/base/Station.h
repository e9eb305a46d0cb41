#pragma once
// The station's services for a run, gathered: the platform services, the board, the
// stage table, the pool and the records. Owned by the main window (or the headless
// runner); the dispatcher and the workers keep a reference for their lifetime. What
// the run does (its steps, images and settings) is the run job (base/RunJob.h) they
// are given at Start.
#include <string>

class UiThread;
class Board;
class Clock;
class SerialPortFactory;
class PortMap;
class Network;
struct JobState;
class StageTable;
class MacPool;
class UnitRecorder;
class AnsweredAddresses;
class SlotTable;
class UnitGate;

struct Station {
  UiThread* ui = nullptr;
  Board* board = nullptr;
  Clock* clock = nullptr;
  SerialPortFactory* serial = nullptr;
  PortMap* ports = nullptr;
  Network* net = nullptr;
  // The job state of the window, for the production records' verdicts (the job
  // cannot change while a run is live).
  JobState* job = nullptr;
  StageTable* stages = nullptr;
  MacPool* pool = nullptr;
  // The production records of the station's units; null when it keeps none.
  UnitRecorder* records = nullptr;
  // The link-layer addresses that answered the run's loopback tests; null in set-ups
  // without loopback workers.
  AnsweredAddresses* answered = nullptr;
  // Continuous production's slots (how each slot's unit was found); null outside it.
  SlotTable* slotTable = nullptr;
  // Unit identity (serials, check-in): asked before each unit's steps; null when the
  // job needs neither.
  UnitGate* gate = nullptr;
  // Names the current run (set at Start, before the dispatcher exists): pool
  // addresses are recorded with it.
  std::string runId;
};
