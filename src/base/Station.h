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
class TestInterfaces;

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
  // The interface of each port's loopback test (station.conf); null: the system's
  // routing decides.
  const TestInterfaces* interfaces = nullptr;
  // Names the current run (set at Start, before the dispatcher exists): pool
  // addresses are recorded with it.
  std::string runId;
  // Set at Start with runId: the interface that every port's test connection shares
  // (a flat network, where every device answers for the test address), or "" when
  // each port has an interface of its own or the devices are simulated on this
  // workstation. On a shared interface the dispatcher runs one loopback test at a
  // time and the worker pins the neighbour entry of the test address to its port's
  // device.
  std::string sharedTestInterface;
};
