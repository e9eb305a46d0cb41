#pragma once
// The MAC pool shared by every station of a factory: a block of addresses in the
// factory's PostgreSQL database (tables in factorydb/FactorySchema.h).
//
// Each address is handed out by one short transaction that advances the block and
// records who took it (station, port, run, time); it is committed, with synchronous
// commit, before TakeNext returns, so the device is programmed only with an address
// the database keeps as taken. Settle later records the device's outcome
// (programmed, failed or unverified) for the run that took it; an address once taken
// is never handed out again. Every statement is a call of the database's own station
// functions (factorydb/FactorySchema.h): the station's role holds no table privileges.
//
// The station takes from the block that lies inside its permitted block
// (MacBlockFirst..MacBlockLast), checked again in the allocation statement itself;
// when that block is used up, from the next one inside the permitted block.
// Every call ends within about kCallBoundMs; while the database cannot be reached,
// calls during a run fail at once for kRetryAfterMs before a new connection is tried.
// The pool's problems go to the message sink (the message log); the cached range
// (IsAvailable, GetRange, GetAssignState) is what the last load or take saw.
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "base/MacPool.h"
#include "factorydb/PgLink.h"

class PgMacPool final : public MacPool {
 public:
  static constexpr int kCallBoundMs = 2000;
  static constexpr int kStatementTimeoutMs = 1500;
  static constexpr int kRetryAfterMs = 3000;
  static constexpr size_t kMaxPendingOutcomes = 1024;
  // Load's own failures: -1 no usable connection string, -2 the database has no pool
  // tables (factory-db init); positive values are PgLink's error numbers.
  static constexpr int kNoSchema = -2;

  PgMacPool(const std::string& conninfo, const std::string& station);
  ~PgMacPool() override;
  PgMacPool(const PgMacPool&) = delete;
  PgMacPool& operator=(const PgMacPool&) = delete;

  void SetMessageSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }
  // Where outcomes that cannot be recorded are kept (records/Spool.h), in the data
  // directory: read here (what an earlier station left is recorded with the next
  // database call) and written whenever what waits changes.
  void SetSpoolFile(const std::string& path);
  // FinishRun's bound: tries, with a new connection each time, for about this long.
  static constexpr int kFinishMs = 5000;

  int Load() override;
  void Close() override;
  bool IsLoaded() const override;
  bool IsAvailable() const override;
  bool GetRange(std::string* nextText, std::string* lastText) const override;
  int TakeNext(MacAddress* address) override { return TakeNextFor("", "", address); }
  int GetAssignState(std::string* text) const override;
  std::string Describe() const override;
  bool IsShared() const override { return true; }
  int TakeNextFor(const std::string& port, const std::string& run, MacAddress* address) override;
  int Settle(const MacAddress& address, MacOutcome outcome) override;

  // Outcomes not yet recorded (the database was out of reach).
  size_t PendingOutcomes() const { return pending_.size(); }
  size_t WaitingOutcomes() const override { return pending_.size(); }
  void FinishRun() override;

 private:
  struct Outcome {
    std::string mac;
    MacOutcome outcome;
    std::string run;      // the run that took it
    std::string station;  // who took it (a spool may hold an earlier name's)
  };
  // Connects unless connected; during a run a recent failure is answered at once.
  int Reach(PgLink::Deadline deadline, bool honourRetryPause);
  int FlushOutcomes(PgLink::Deadline deadline);
  void Report(const std::string& text);
  // Keeps pending_ in the spool when it changed since it was last written.
  void UpdateSpool();
  void SetRange(uint32_t prefix, uint32_t next, uint32_t last);
  void ClearRange();

  PgLink link_;
  const std::string station_;
  std::string conninfoProblem_;  // before conninfoOk_, which is worked out into it
  const bool conninfoOk_;
  std::function<void(const std::string&)> sink_;
  std::deque<Outcome> pending_;
  // The run of every address taken and not yet settled (mac, run), oldest first.
  std::deque<std::pair<std::string, std::string>> takenRuns_;
  std::string spoolPath_;
  size_t spooled_ = 0;          // outcomes in the spool as last written
  uint64_t changes_ = 0;        // changes of pending_
  uint64_t spooledChange_ = 0;  // ... as of the last spool write
  bool spoolDamaged_ = false;
  std::chrono::steady_clock::time_point retryAfter_{};
  int lastLinkError_ = 0;

  mutable std::mutex rangeMutex_;  // the dispatcher reads the range from its thread
  bool loaded_ = false;
  MacAddress next_{};
  MacAddress last_{};
};
