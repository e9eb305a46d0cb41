// A production shift in virtual time: sixteen slots of in-memory simulated units, the
// real dispatcher and workers, and one operator who swaps one unit at a time. Prints the
// units passed per hour in batch mode (the operator waits for the whole run, swaps all
// sixteen units, presses Start again) and in continuous mode (one run; the operator
// swaps each slot's unit once its verdict shows, in the order the verdicts came), the
// slots' idle time and the ratio of the two, for several handling times and fault mixes.
//
// Virtual time runs as discrete events: every SleepMs of a station thread waits until
// the clock reaches its end, and the clock moves on to the earliest waiting end only
// when every thread it has woken is asleep again (or has ended), so no thread is ever
// starved of its share of time however many run. The simulated units keep the line's
// time and their own timings in the same virtual time (FakeClock listeners).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/Startthread.h"
#include "base/Board.h"
#include "base/JobState.h"
#include "base/MacPool.h"
#include "base/RunJob.h"
#include "base/SlotTable.h"
#include "base/Station.h"
#include "base/WorkerFactory.h"
#include "base/fake/TestBoard.h"
#include "base/fake/CountingPool.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "platform/fake/TempDir.h"
#include "sim/model/SimDevice.h"
#include "sim/model/SimFaults.h"
#include "workers/Workers.h"

namespace {

constexpr uint64_t kNever = ~uint64_t{0};

// ---- the event clock ----

class EventClock;
// Set on a thread while it is awake after one of the clock's sleeps: its next sleep,
// or its end, tells the clock it no longer runs.
struct Awake {
  EventClock* clock = nullptr;
  bool known = false;  // the thread has slept on the clock once
  ~Awake();
};
thread_local Awake tlAwake;

class EventClock final : public Clock {
 public:
  // next(now): the driver hook's next time of its own (kNever: none); act(now): runs
  // in the driver thread at every step, does what is due.
  EventClock(FakeClock& fake, uint32_t slackMs, uint32_t quietUs)
      : fake_(fake), slackMs_(slackMs), quietUs_(quietUs) {}
  ~EventClock() override { Stop(); }

  uint32_t TickMs() override { return fake_.TickMs(); }

  void SleepMs(uint32_t ms) override {
    std::unique_lock<std::mutex> lock(m_);
    if (tlAwake.clock == this) {
      tlAwake.clock = nullptr;
      --awake_;
    }
    if (!tlAwake.known) {
      // A new thread's first sleep.
      tlAwake.known = true;
      if (pending_ > 0) --pending_;
    }
    ++activity_;
    if (quit_) {
      lock.unlock();
      fake_.Advance(ms);
      return;
    }
    Sleeper s;
    s.target = fake_.TickMs() + ms;
    sleepers_.emplace(s.target, &s);
    driverCv_.notify_one();
    s.cv.wait(lock, [&] { return s.go; });
    tlAwake.clock = this;
  }

  void Start(std::function<uint64_t(uint32_t)> next, std::function<void(uint32_t)> act) {
    next_ = std::move(next);
    act_ = std::move(act);
    driver_ = std::thread([this] { Drive(); });
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_);
      quit_ = true;
      for (auto& [t, s] : sleepers_) {
        s->go = true;
        s->cv.notify_one();
      }
      sleepers_.clear();
      driverCv_.notify_one();
    }
    if (driver_.joinable()) driver_.join();
  }
  // A thread is about to be started (by a thread that is awake, or by one the clock
  // does not know): time stands still until it sleeps for the first time.
  void ExpectThread() {
    std::lock_guard<std::mutex> lock(m_);
    ++pending_;
  }
  // Time stands still from Hold to Release (the caller is about to start threads).
  void Hold() {
    std::lock_guard<std::mutex> lock(m_);
    ++held_;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_);
    --held_;
    driverCv_.notify_one();
  }
  // Whether time may move to the hook's next time while no thread sleeps on the clock
  // (no station thread runs); else it waits for a sleeper.
  void SetSolo(bool solo) { solo_.store(solo); }
  // The hook has something new to do (from a thread that is not the clock's).
  void Poke() {
    std::lock_guard<std::mutex> lock(m_);
    ++pokes_;
    driverCv_.notify_one();
  }
  void Left() {
    std::lock_guard<std::mutex> lock(m_);
    --awake_;
    ++activity_;
    driverCv_.notify_one();
  }
  // Steps taken although a woken thread was still awake (busy or blocked).
  uint64_t QuietSteps() const { return quietSteps_.load(); }

 private:
  struct Sleeper {
    uint32_t target = 0;
    bool go = false;
    std::condition_variable cv;
  };

  void Drive() {
    std::unique_lock<std::mutex> lock(m_);
    while (!quit_) {
      // Every thread woken last is asleep again, or has been quiet for quietUs.
      while (held_ > 0 && !quit_) driverCv_.wait(lock);
      while (awake_ + pending_ > 0 && !quit_) {
        const uint64_t seen = activity_;
        // A thread on its way to its first sleep gets longer (it may be setting up).
        const uint32_t us = pending_ > 0 ? std::max<uint32_t>(quietUs_, 20000) : quietUs_;
        if (driverCv_.wait_for(lock, std::chrono::microseconds(us)) == std::cv_status::timeout &&
            activity_ == seen) {
          // A thread that ended before it ever slept is not waited for again.
          quietSteps_++;
          pending_ = 0;
          break;
        }
      }
      if (quit_) break;
      uint32_t now = fake_.TickMs();
      if (Release(now) > 0) continue;
      // A poke from here on is seen below, although the hook is asked unlocked.
      const uint64_t pokesSeen = pokes_;
      lock.unlock();
      const uint64_t op = next_(now);
      if (op <= now) {
        act_(now);
        lock.lock();
        continue;
      }
      lock.lock();
      const uint64_t sleeper = sleepers_.empty() ? kNever : sleepers_.begin()->first;
      if (sleeper == kNever && (op == kNever || !solo_)) {
        driverCv_.wait(lock, [&] { return quit_ || pokes_ != pokesSeen || !sleepers_.empty(); });
        continue;
      }
      uint64_t target;
      if (op <= sleeper) {
        target = op;
      } else {
        // Sleepers that end close together wake together, as late as the last of them
        // (a timer's slack): never early.
        const uint64_t limit = std::min<uint64_t>(sleeper + slackMs_, op);
        target = sleeper;
        for (auto it = sleepers_.begin(); it != sleepers_.end() && it->first <= limit; ++it) {
          target = it->first;
        }
      }
      lock.unlock();
      if (target > now) fake_.Advance(static_cast<uint32_t>(target - now));
      act_(fake_.TickMs());
      lock.lock();
    }
  }
  int Release(uint32_t now) {
    int n = 0;
    while (!sleepers_.empty() && sleepers_.begin()->first <= now) {
      Sleeper* s = sleepers_.begin()->second;
      sleepers_.erase(sleepers_.begin());
      s->go = true;
      s->cv.notify_one();
      ++awake_;
      ++n;
    }
    return n;
  }

  FakeClock& fake_;
  const uint32_t slackMs_;
  const uint32_t quietUs_;
  std::mutex m_;
  std::condition_variable driverCv_;
  std::multimap<uint32_t, Sleeper*> sleepers_;
  int awake_ = 0;
  int pending_ = 0;
  int held_ = 0;
  std::atomic<bool> solo_{false};
  uint64_t activity_ = 0;
  uint64_t pokes_ = 0;
  bool quit_ = false;
  std::atomic<uint64_t> quietSteps_{0};
  std::function<uint64_t(uint32_t)> next_;
  std::function<void(uint32_t)> act_;
  std::thread driver_;
};

Awake::~Awake() {
  if (clock) clock->Left();
}

// ---- the station's surroundings ----


// The board: only the units' verdicts and the run's end are kept.
class ShiftBoard final : public Board {
 public:
  std::function<void(int, int, bool)> onUnit;
  std::function<void(int, const std::string&)> onStatus;  // tracing only
  void ShowPortStatus(int portIndex, const std::string& text) override {
    if (onStatus) onStatus(portIndex, text);
  }
  void SetMacGridCell(int, int, const std::string&) override {}
  void AppendMessage(const std::string&) override {}
  void ClearMessages() override {}
  void ClearStatusGrid() override {}
  void ShowException(const std::string& message) override {
    std::fprintf(stderr, "station exception: %s\n", message.c_str());
  }
  void SetStartButton(bool) override {}
  void DispatcherEnded() override {}
  void UnitEnded(int portIndex, int cycle, bool passed) override {
    if (onUnit) onUnit(portIndex, cycle, passed);
  }
};

// The station's workers, each announced to the clock before it starts.
class AnnouncingFactory final : public WorkerFactory {
 public:
  AnnouncingFactory(WorkerFactory& inner, EventClock& clock) : inner_(inner), clock_(clock) {}
  std::unique_ptr<Thread> StartWorker(const RunJob& job, WorkerKind kind, int portNumber,
                                      int portIndex, bool logFlag) override {
    clock_.ExpectThread();
    return inner_.StartWorker(job, kind, portNumber, portIndex, logFlag);
  }
  std::unique_ptr<Thread> StartWatcher(const RunJob& job, int portNumber, int portIndex,
                                       SlotWatch& watch) override {
    clock_.ExpectThread();
    return inner_.StartWatcher(job, portNumber, portIndex, watch);
  }

 private:
  WorkerFactory& inner_;
  EventClock& clock_;
};

std::string FallbackPath(int n) {
#ifdef _WIN32
  return "\\\\.\\COM" + std::to_string(n);
#else
  return "/dev/ttyS" + std::to_string(n - 1);
#endif
}

enum class Fault { None, Silent, MacFails };

struct Config {
  int slots = 16;
  uint32_t shiftMs = 3600000;
  uint32_t handlingMs = 8000;
  double silentRate = 0, macFailRate = 0;
  uint32_t seed = 1;
  bool continuous = false;
  uint32_t slackMs = 2;
  uint32_t quietUs = 3000;
  size_t firmwareBytes = 100 * 1024;
  int maxBatches = 0;  // batch mode: the shift ends after this many runs (0: at its time)
};

struct Result {
  int passed = 0, failed = 0, inserted = 0;
  int faultySilent = 0, faultyMac = 0;  // faulty units that ended within the shift
  int faultyIn = 0;                     // faulty units put in
  double idleShare = 0;                 // of the slots' shift time
  double idlePerUnitS = 0, busyPerUnitS = 0;
  int batches = 0;
  uint64_t quietSteps = 0;
  std::vector<std::string> anomalies;
  double realS = 0;
  double steadyPerHour = 0;
  double firstUnitS = 0;  // batch: a whole run's mean length; continuous: the first verdict
};

// The operator's side of a shift and the slots' time, kept by the clock's driver.
class Shift {
 public:
  static constexpr uint32_t kNoticeMs = 30000;  // a slot that never started its unit

  Shift(const Config& cfg) : cfg_(cfg), ports_(dir_.path()), factory_(station_) {
    station_.ui = &ui_;
    station_.board = &board_;
    station_.clock = &clock_;
    station_.serial = &bus_;
    station_.ports = &ports_;
    station_.job = &run_.steps;
    station_.stages = &stages_;
    station_.pool = &pool_;
    station_.slotTable = &table_;
    pool_.SetGateOpen(true);
    std::string eeprom(1024, '\x11');
    std::string firmware(cfg.firmwareBytes, '\0');
    for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<char>(i * 31 + 7);
    dir_.Write("ee.vef", eeprom);
    dir_.Write("fw.vff", firmware);
    run_.steps.jobFlags = kJobEeprom | kJobFirmware;
    run_.steps.programMac = true;
    run_.eeprom = RunImage{dir_.path() + "/ee.vef", ImageRead::Ok, eeprom};
    run_.firmware = RunImage{dir_.path() + "/fw.vff", ImageRead::Ok, firmware};
    run_.fastDownload = true;
    run_.continuous = cfg.continuous;

    // The units in insertion order, the same for both modes: in every hundred exactly
    // the rates' share is faulty, at places a seeded shuffle picks (so both modes see the
    // same fault rate over any stretch of the shift, not a chance cluster).
    std::mt19937 rng(cfg.seed);
    const int silent = static_cast<int>(cfg.silentRate * 100 + 0.5);
    const int macFails = static_cast<int>(cfg.macFailRate * 100 + 0.5);
    for (int block = 0; block < 200; block++) {
      std::vector<Fault> hundred(100, Fault::None);
      for (int i = 0; i < silent + macFails && i < 100; i++)
        hundred[static_cast<size_t>(i)] = i < silent ? Fault::Silent : Fault::MacFails;
      std::shuffle(hundred.begin(), hundred.end(), rng);
      sequence_.insert(sequence_.end(), hundred.begin(), hundred.end());
    }
    slot_.resize(static_cast<size_t>(cfg.slots));
    for (int k = 0; k < cfg.slots; k++) {
      SimOptions opt;
      opt.name = "COM" + std::to_string(k + 1);
      char mac[32];
      std::snprintf(mac, sizeof mac, "02:11:%02X:00:00:00", k * 4);
      opt.mac = mac;
      opt.faults = FaultsOf(NextUnit(k));
      devices_.push_back(std::make_unique<SimDevice>(bus_.Line(FallbackPath(k + 1)), fake_, opt));
    }
    board_.onUnit = [this](int port, int cycle, bool passed) { UnitEnded(port, cycle, passed); };
    if (trace_) {
      board_.onStatus = [this](int port, const std::string& text) {
        if (port == 0 && text.find("Xmodem") == std::string::npos)
          std::fprintf(stderr, "%8.3f slot 1: %s\n", (fake_.TickMs() - start_) / 1000.0,
                       text.c_str());
      };
    }
  }
  ~Shift() {
    dispatcher_.reset();
    clock_.Stop();
  }

  Result Run() {
    const auto realStart = std::chrono::steady_clock::now();
    start_ = fake_.TickMs();
    end_ = start_ + cfg_.shiftMs;
    for (auto& d : devices_) d->PowerOn();
    for (auto& s : slot_) s.insertedAt = start_;
    clock_.Hold();
    clock_.Start([this](uint32_t now) { return Next(now); }, [this](uint32_t now) { Act(now); });
    if (cfg_.continuous) {
      StartRun();
      clock_.Release();
      WaitUntil([&] { return shiftOver_.load(); });
      StopRun();
    } else {
      clock_.Release();
      for (;;) {
        stages_.ClearAll();
        {
          std::lock_guard<std::mutex> lock(m_);
          batchRunning_ = true;
          batchStart_ = fake_.TickMs();
          batchStarts_.push_back(batchStart_);
          for (auto& s : slot_) s.finished = false;
        }
        StartRun();
        WaitUntil([&] { return shiftOver_ || dispatcher_->Finished(); });
        if (!dispatcher_->Finished()) StopRun();
        {
          std::lock_guard<std::mutex> lock(m_);
          batchRunning_ = false;
          result_.batches++;
          if (!shiftOver_) {
            runsMs_ += fake_.TickMs() - batchStart_;
            wholeRuns_++;
            result_.firstUnitS = runsMs_ / 1000.0 / wholeRuns_;
          }
        }
        dispatcher_.reset();
        if (cfg_.maxBatches > 0 && result_.batches >= cfg_.maxBatches) break;
        if (shiftOver_) break;
        {
          std::lock_guard<std::mutex> lock(m_);
          swapNext_ = 0;
          swapping_ = true;
        }
        clock_.SetSolo(true);
        clock_.Poke();
        WaitUntil([&] { return shiftOver_ || !swapping_; });
        clock_.SetSolo(false);
        if (shiftOver_) break;
      }
    }
    Finish();
    result_.quietSteps = clock_.QuietSteps();
    result_.realS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    return result_;
  }

 private:
  struct Slot {
    Fault fault = Fault::None;  // the unit in it
    uint32_t insertedAt = 0;
    bool started = false;   // the station began a cycle for the unit in it
    bool queued = false;    // waits for the operator (or is served)
    bool finished = false;  // batch: this run's verdict came
    SlotPhase phase = SlotPhase::Empty;
    uint64_t busyMs = 0;
    uint32_t lastSeen = 0;
    int ended = 0;
    std::set<int> cycles;
  };

  Fault NextUnit(int k) {
    const Fault f = sequence_.at(static_cast<size_t>(result_.inserted++));
    if (f != Fault::None) result_.faultyIn++;
    slot_[static_cast<size_t>(k)].fault = f;
    return f;
  }
  static SimFaults FaultsOf(Fault f) {
    SimFaults faults;
    std::string err;
    if (f == Fault::Silent) ApplyFault("silent-after-block=10", &faults, &err);
    if (f == Fault::MacFails) ApplyFault("fail=SYCXXMAC", &faults, &err);
    return faults;
  }

  void WaitUntil(const std::function<bool()>& cond) {
    while (!cond()) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  void StartRun() {
    dispatcher_ = std::make_unique<StartThread>(station_, run_, announcing_, false);
    clock_.ExpectThread();
    dispatcher_->Start();
  }
  void StopRun() {
    ui_.RunSync([&] {
      dispatcher_->StopWorkers();
      dispatcher_->Terminate();
    });
    WaitUntil([&] { return dispatcher_->Finished(); });
  }

  void Verdict(int k, bool passed, uint32_t now, Fault f) {
    if (TickDiff(now, start_) > cfg_.shiftMs) return;
    (passed ? result_.passed : result_.failed)++;
    if (passed) passedAt_.push_back(now);
    if (f == Fault::Silent) result_.faultySilent++;
    if (f == Fault::MacFails) result_.faultyMac++;
    if (passed && f != Fault::None)
      Anomaly("slot " + std::to_string(k + 1) + ": a faulty unit passed");
    if (!passed && f == Fault::None && !stopping_)
      Anomaly("slot " + std::to_string(k + 1) + ": a sound unit failed at " +
              std::to_string((now - start_) / 1000) + " s");
  }
  void Anomaly(const std::string& what) {
    if (result_.anomalies.size() < 20) result_.anomalies.push_back(what);
  }

  // Continuous mode: a slot's verdict (the dispatcher's thread).
  void UnitEnded(int port, int cycle, bool passed) {
    std::lock_guard<std::mutex> lock(m_);
    Slot& s = slot_.at(static_cast<size_t>(port));
    const uint32_t now = fake_.TickMs();
    if (!s.cycles.insert(cycle).second)
      Anomaly("slot " + std::to_string(port + 1) + ": cycle " + std::to_string(cycle) +
              " ended twice");
    s.ended++;
    if (result_.firstUnitS == 0) result_.firstUnitS = (now - start_) / 1000.0;
    Verdict(port, passed, now, s.fault);
    if (s.queued) {
      Anomaly("slot " + std::to_string(port + 1) + ": a verdict for a unit already handed back");
      return;
    }
    s.queued = true;
    fifo_.push_back(port);
  }

  uint64_t Next(uint32_t now) {
    std::lock_guard<std::mutex> lock(m_);
    Track(now);
    if (shiftOver_) return kNever;
    if (TickDiff(now, start_) >= cfg_.shiftMs) return now;
    if (!cfg_.continuous) {
      // Between two runs time stands still but for the operator's swaps; during a run
      // the station's threads move it (the shift's end is seen at the next step).
      if (busy_) return busyUntil_;
      return swapping_ ? now : kNever;
    }
    uint64_t next = end_;
    if (busy_) return std::min<uint64_t>(next, busyUntil_);
    if (!fifo_.empty()) return now;
    for (const Slot& s : slot_) {
      if (!s.started && !s.queued) next = std::min<uint64_t>(next, s.insertedAt + kNoticeMs);
    }
    return next;
  }

  void Act(uint32_t now) {
    std::lock_guard<std::mutex> lock(m_);
    Track(now);
    if (!shiftOver_ && TickDiff(now, start_) >= cfg_.shiftMs) {
      shiftOver_ = true;
      stopping_ = true;
      return;
    }
    if (shiftOver_) return;
    if (busy_ && TickDiff(now, busyUntil_) < 0x80000000u) {
      // The swap is done: the fresh unit goes in (and powers on).
      devices_[static_cast<size_t>(serving_)]->Insert(FaultsOf(NextUnit(serving_)));
      Slot& s = slot_[static_cast<size_t>(serving_)];
      s.insertedAt = now;
      s.started = false;
      s.queued = false;
      busy_ = false;
      if (!cfg_.continuous && ++swapNext_ >= cfg_.slots) swapping_ = false;
    }
    if (busy_) return;
    int next = -1;
    if (cfg_.continuous) {
      for (size_t k = 0; k < slot_.size(); k++) {
        Slot& s = slot_[k];
        if (!s.started && !s.queued && TickDiff(now, s.insertedAt) >= kNoticeMs) {
          Anomaly("slot " + std::to_string(k + 1) + ": the unit put in at " +
                  std::to_string((s.insertedAt - start_) / 1000) + " s never started");
          s.queued = true;
          fifo_.push_back(static_cast<int>(k));
        }
      }
      if (!fifo_.empty()) {
        next = fifo_.front();
        fifo_.pop_front();
      }
    } else if (swapping_) {
      next = swapNext_;
    }
    if (next < 0) return;
    // The operator takes the unit out at once, the fresh one goes in a handling time later.
    devices_[static_cast<size_t>(next)]->Remove(Removal::Silent);
    serving_ = next;
    busy_ = true;
    busyUntil_ = now + cfg_.handlingMs;
  }

  // The slots' working time: a slot works while the station runs a unit's steps in it.
  void Track(uint32_t now) {
    if (trace_) {
      const Stage st = stages_.Get(0);
      if (st != tracedStage_) {
        std::fprintf(stderr, "%8.3f slot 1 stage %d\n", (now - start_) / 1000.0,
                     static_cast<int>(st));
        tracedStage_ = st;
      }
    }
    for (size_t k = 0; k < slot_.size(); k++) {
      Slot& s = slot_[k];
      const uint32_t from = std::max(s.lastSeen, start_);
      const uint32_t to = std::min(now, end_);
      if (s.phase == SlotPhase::Unit && to > from) s.busyMs += to - from;
      s.lastSeen = now;
      if (cfg_.continuous) {
        const SlotPhase was = s.phase;
        s.phase = table_.Phase(static_cast<int>(k));
        if (trace_ && was != s.phase)
          std::fprintf(stderr, "%8.3f slot %zu phase %d\n", (now - start_) / 1000.0, k + 1,
                       static_cast<int>(s.phase));
        if (s.phase == SlotPhase::Unit) s.started = true;
      } else if (batchRunning_ && !s.finished) {
        const Stage st = stages_.Get(static_cast<int>(k));
        if (StartThread::PortFinished(run_.steps, st)) {
          s.finished = true;
          s.phase = SlotPhase::Done;
          Verdict(static_cast<int>(k), st != StageFailed, now, s.fault);
          s.ended++;
        } else {
          s.phase = SlotPhase::Unit;
        }
      } else {
        s.phase = SlotPhase::Empty;
      }
    }
  }

  void Finish() {
    std::lock_guard<std::mutex> lock(m_);
    uint64_t busy = 0;
    for (const Slot& s : slot_) busy += s.busyMs;
    const double total = static_cast<double>(cfg_.shiftMs) * static_cast<double>(slot_.size());
    result_.idleShare = 1.0 - static_cast<double>(busy) / total;
    // The steady rate, without the shift's start and end: batch mode over its whole
    // cycles (a run and the swap after it), continuous mode from the warm-up on.
    uint32_t from = start_ + std::min<uint32_t>(300000, cfg_.shiftMs / 4), to = end_;
    if (!cfg_.continuous) {
      from = to = 0;
      if (batchStarts_.size() >= 2) {
        from = batchStarts_.front();
        to = batchStarts_.back();
      }
    }
    int steady = 0;
    for (uint32_t t : passedAt_) steady += t >= from && t < to;
    if (to > from) result_.steadyPerHour = steady * 3600000.0 / (to - from);
    const int units = std::max(1, result_.passed + result_.failed);
    result_.idlePerUnitS = (total - static_cast<double>(busy)) / 1000.0 / units;
    result_.busyPerUnitS = static_cast<double>(busy) / 1000.0 / units;
    // Every address programmed once, into one unit; the units' own complaints.
    std::set<std::string> given;
    for (const auto& d : devices_) {
      for (const SimReport& r : d->Report().units) {
        for (const std::string& v : r.violations)
          Anomaly(r.name + " unit " + std::to_string(r.unit) + ": " + v);
        if (r.macWrites > 1)
          Anomaly(r.name + " unit " + std::to_string(r.unit) + ": programmed twice");
        if (r.macWrites > 0) {
          if (!given.insert(r.programmedMac).second)
            Anomaly("address given twice: " + r.programmedMac);
        }
      }
    }
  }

  Config cfg_;
  TempDir dir_{"bench-shift"};
  InlineUiThread ui_;
  ShiftBoard board_;
  FakeClock fake_;
  EventClock clock_{fake_, cfg_.slackMs, cfg_.quietUs};
  FakeSerialBus bus_;
  PortMap ports_;
  StageTable stages_;
  SlotTable table_;
  CountingPool pool_;
  Station station_;
  StationWorkerFactory factory_;
  AnnouncingFactory announcing_{factory_, clock_};
  RunJob run_;
  std::vector<std::unique_ptr<SimDevice>> devices_;
  std::unique_ptr<StartThread> dispatcher_;

  std::vector<Fault> sequence_;
  std::mutex m_;
  std::vector<Slot> slot_;
  std::deque<int> fifo_;
  uint32_t start_ = 0, end_ = 0;
  std::atomic<bool> shiftOver_{false};
  bool stopping_ = false;
  bool busy_ = false;
  int serving_ = -1;
  uint32_t busyUntil_ = 0;
  bool batchRunning_ = false;
  uint32_t batchStart_ = 0;
  std::vector<uint32_t> batchStarts_, passedAt_;
  uint64_t runsMs_ = 0;
  int wholeRuns_ = 0;
  const bool trace_ = std::getenv("SHIFT_TRACE") != nullptr;  // slots' phases, slot 1's stages
  Stage tracedStage_ = StageIdle;
  std::atomic<bool> swapping_{false};
  int swapNext_ = 0;
  Result result_;
};

}  // namespace

int main(int argc, char** argv) {
  Config base;
  base.shiftMs = 30 * 60000;
  std::vector<uint32_t> handling = {5000, 8000, 12000};
  std::vector<int> faultPercents = {0, 5};
  bool reference = true;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--minutes") {
      base.shiftMs = static_cast<uint32_t>(std::stoul(value())) * 60000u;
    } else if (a == "--handling") {
      handling = {static_cast<uint32_t>(std::stod(value()) * 1000)};
    } else if (a == "--faults") {
      faultPercents = {std::stoi(value())};
    } else if (a == "--seed") {
      base.seed = static_cast<uint32_t>(std::stoul(value()));
    } else if (a == "--slots") {
      base.slots = std::stoi(value());
    } else if (a == "--slack-ms") {
      base.slackMs = static_cast<uint32_t>(std::stoul(value()));
    } else if (a == "--quiet-us") {
      base.quietUs = static_cast<uint32_t>(std::stoul(value()));
    } else if (a == "--no-reference") {
      reference = false;
    } else {
      std::fprintf(
          stderr,
          "usage: bench_shift [--minutes M] [--handling S] [--faults 0|5] [--seed N]\n"
          "                   [--slots N] [--slack-ms MS] [--quiet-us US] [--no-reference]\n");
      return 2;
    }
  }
  std::printf(
      "shift: %d slots, %u virtual minutes; job: firmware %zu KB, EEPROM 1 KB, MAC; "
      "fast download\n",
      base.slots, base.shiftMs / 60000, base.firmwareBytes / 1024);
  std::printf(
      "faults: 5%% = 3%% silent after block 10 of the download, 2%% failing the MAC "
      "command\n\n");
  if (reference) {
    Config one = base;
    one.slots = 1;
    one.shiftMs = 600000;
    one.handlingMs = 0;
    one.maxBatches = 1;
    Shift s(one);
    const Result r = s.Run();
    std::printf(
        "reference: one port alone, batch mode: %.2f s per unit (first run, Start to end)\n\n",
        r.firstUnitS);
  }
  std::printf(
      "units passed per hour (steady rate; in brackets: the shift's count per hour), the\n"
      "slots' idle time (empty or waiting for the operator: share of the shift, seconds\n"
      "per unit), failed units, a batch run's length and a continuous cycle's steps\n\n");
  std::printf(
      "| handling | faults | batch u/h | cont. u/h | cont./batch | batch idle | "
      "cont. idle | failed (batch, cont.) | batch run | cont. cycle |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  std::vector<std::string> notes;
  for (int fp : faultPercents) {
    for (uint32_t h : handling) {
      Result r[2];
      for (int mode = 0; mode < 2; mode++) {
        Config c = base;
        c.handlingMs = h;
        c.continuous = mode == 1;
        c.silentRate = fp * 0.006;
        c.macFailRate = fp * 0.004;
        Shift s(c);
        r[mode] = s.Run();
        for (const std::string& a : r[mode].anomalies) {
          notes.push_back(std::string(mode ? "continuous" : "batch") + ", " +
                          std::to_string(h / 1000) + " s, " + std::to_string(fp) + "%: " + a);
        }
        std::fprintf(stderr,
                     "  (%s, %u s, %d%%: %d passed, %d failed (%d silent, %d MAC), %d units in "
                     "(%d faulty), %d batches, real %.1f s, quiet steps %llu)\n",
                     mode ? "continuous" : "batch", h / 1000, fp, r[mode].passed, r[mode].failed,
                     r[mode].faultySilent, r[mode].faultyMac, r[mode].inserted, r[mode].faultyIn,
                     r[mode].batches, r[mode].realS,
                     static_cast<unsigned long long>(r[mode].quietSteps));
      }
      const double hours = base.shiftMs / 3600000.0;
      const double b = r[0].steadyPerHour, cu = r[1].steadyPerHour;
      std::printf(
          "| %u s | %d%% | %.0f (%.0f) | %.0f (%.0f) | %.2f (%.2f) | %.0f%%, %.1f s | "
          "%.0f%%, %.1f s | %d, %d | %.1f s | %.1f s |\n",
          h / 1000, fp, b, r[0].passed / hours, cu, r[1].passed / hours, b > 0 ? cu / b : 0.0,
          r[0].passed > 0 ? 1.0 * r[1].passed / r[0].passed : 0.0, r[0].idleShare * 100,
          r[0].idlePerUnitS, r[1].idleShare * 100, r[1].idlePerUnitS, r[0].failed, r[1].failed,
          r[0].firstUnitS, r[1].busyPerUnitS);
      std::fflush(stdout);
    }
  }
  if (!notes.empty()) {
    std::printf("\nanomalies:\n");
    for (const std::string& n : notes) std::printf("  %s\n", n.c_str());
  }
  return 0;
}
