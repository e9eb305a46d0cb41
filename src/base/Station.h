#pragma once
// Everything a run needs, gathered: the platform services, the board and the job.
// Owned by the main window (or the headless runner); the dispatcher and the workers
// keep a reference for their lifetime.
#include <string>

class UiThread;
class Board;
class Clock;
class SerialPortFactory;
class PortMap;
class Network;
struct JobState;
class StageTable;
class StoredConfig;
class MacPool;
class UnitRecorder;
class AnsweredAddresses;

struct Station {
  UiThread* ui = nullptr;
  Board* board = nullptr;
  Clock* clock = nullptr;
  SerialPortFactory* serial = nullptr;
  PortMap* ports = nullptr;
  Network* net = nullptr;
  JobState* job = nullptr;
  StageTable* stages = nullptr;
  StoredConfig* cfg = nullptr;
  MacPool* pool = nullptr;
  // The production records of the station's units; null when it keeps none.
  UnitRecorder* records = nullptr;
  // The link-layer addresses that answered the run's loopback tests; null in set-ups
  // without loopback workers.
  AnsweredAddresses* answered = nullptr;
  // Names the current run (set at Start, before the dispatcher exists): pool
  // addresses are recorded with it.
  std::string runId;
};
