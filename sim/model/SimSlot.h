#pragma once
// One socket of the station's fixture, as both transports (SimDevice, PtyFarm) keep it:
// the unit in it (a DeviceModel, or none), every unit it held, and the plan by which
// units are taken out and put in during a shift.
//
// A unit leaves its slot in one of two ways: the cable stays and goes silent (nothing
// answers, host bytes are lost), or the port vanishes with the unit (an adapter built
// into the unit: the transport closes the port). Which one is the transport's part;
// the slot keeps the units. A fresh unit gets its own factory MAC: the first unit's
// with the unit's number in the slot (0 for the first) added to the fourth byte
// (carrying into the third), so no two units of a run share one. Every unit of a slot
// shows the slot's faults. Not thread-safe: the transports serialise the calls.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/model/DeviceModel.h"

enum class Removal { Silent, Vanish };
const char* RemovalName(Removal how);

// Units taken out and put in at fixed times, and a shift: each unit taken out a while
// after the station is done with it, and a fresh one put in after the gap.
struct SwapPlan {
  enum class What { RemoveSilent, RemoveVanish, Insert };
  struct Event {
    uint32_t atMs;  // from the power-on of the first unit
    What what;
  };
  std::vector<Event> events;  // in time order
  uint32_t shiftMs = 0;       // 0: no shift
  uint32_t shiftGapMs = 3000;
  int shiftUnits = 0;  // units the slot holds in all during the shift; 0 = no limit
  bool shiftVanish = false;
  DeviceModel::Given shiftAfter = DeviceModel::Given::Mac;
  bool Empty() const { return events.empty() && shiftMs == 0; }
};

// "remove@30s,insert@38s,vanish@1m..." (times in ms, or with s or m); the events are
// added in time order. false and a message when not understood.
bool ParseSwapEvents(const std::string& text, SwapPlan* plan, std::string* error);
// "MS[,gap=MS][,units=N][,after=firmware|eeprom|mac][,vanish]". false and a message.
bool ParseShift(const std::string& text, SwapPlan* plan, std::string* error);
// The texts of both, for --help.
std::string SwapHelp();

// The factory MAC of a slot's unit n (0 = the first, whose MAC is first); false when n
// runs beyond the address block.
bool UnitMac(const std::string& first, int n, std::string* out);

class SimSlot {
 public:
  static constexpr int kMaxUnits = 10000;  // units one slot keeps a report of

  // The first unit (not powered on yet); every later one gets first's options but its
  // own MAC.
  SimSlot(SimOptions first, DeviceModel::Sink sink);

  DeviceModel* Unit() { return unit_.get(); }
  const DeviceModel* Unit() const { return unit_.get(); }
  // Powers the unit in the slot on; the plan's times count from the first call.
  void PowerOn(uint32_t nowMs);
  // Takes the unit out (false when the slot is empty).
  bool Remove(Removal how, uint32_t nowMs);
  // Puts a fresh unit in and powers it on (false when the slot holds one, or has held
  // kMaxUnits).
  bool Insert(uint32_t nowMs);
  // The faults of the units put in from now on (the first unit's until then).
  void SetFaults(const SimFaults& faults) { opt_.faults = faults; }
  bool Removed() const { return unit_ == nullptr; }
  Removal LastRemoval() const { return lastRemoval_; }
  int UnitsHeld() const { return static_cast<int>(past_.size()) + (unit_ ? 1 : 0); }

  // The echo port "$GSVPA" reports, for this unit and every later one.
  void SetTcpPort(uint16_t port);

  void SetPlan(SwapPlan plan) { plan_ = std::move(plan); }
  // What the plan wants done by nowMs (one step a call; the caller does it with
  // Remove or Insert, together with its side of the port). Sets *what; false: nothing.
  bool Due(uint32_t nowMs, SwapPlan::What* what);
  // Milliseconds until the plan's next step (0 when one is due), -1 when none waits.
  int64_t MsUntilDue(uint32_t nowMs);

  // The unit in the slot, or the last one with state "empty" once it is out; its
  // units list every unit held.
  SimReport Report() const;

 private:
  // Notes when the unit in the slot became programmed (the shift counts from there).
  void Observe(uint32_t nowMs);

  SimOptions opt_;
  DeviceModel::Sink sink_;
  std::string firstMac_;
  std::unique_ptr<DeviceModel> unit_;
  std::vector<SimReport> past_;
  Removal lastRemoval_ = Removal::Silent;
  SwapPlan plan_;
  bool started_ = false;
  uint32_t startMs_ = 0;
  size_t nextEvent_ = 0;
  bool doneSeen_ = false;  // the unit in the slot counts as programmed since doneAt_
  uint32_t doneAt_ = 0;
  uint32_t removedAt_ = 0;
};
