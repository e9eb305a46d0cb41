#pragma once
// Unit identity for a run: the serial each unit is scanned with, checked against the
// job's pattern and the records (a serial that passed before is refused unless the
// operator re-works the unit), the check-in that asks the manufacturing system before
// the unit takes an address or an image, and after the unit's verdict its check-out
// and, for a passed unit, its label.
//
// Threads: Bind and Queue on any thread (the window, the service, the headless
// runner); the UnitGate routines on the dispatcher's; OnResult under the recorder's
// lock (it only queues). Check-ins run on one thread per port, check-outs and labels on
// one thread of their own; all are joined by the destructor (a check-in still waiting
// is abandoned at RunEnded).
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/CheckIn.h"
#include "app/UnitLabels.h"
#include "base/JobState.h"
#include "base/RunJob.h"
#include "base/UnitGate.h"
#include "records/ProductionRecorder.h"

class UiThread;
class Board;

struct UnitIdentitySettings {
  bool scanSerial = false;
  std::string serialPattern;  // the job's; empty: printable characters without spaces
  CheckInSettings checkIn;
  std::string stationName;
  std::string jobName;   // what the manufacturing system is told the job is
  LabelSettings labels;  // templatePath empty: no labels
};

class UnitIdentityGate final : public UnitGate {
 public:
  static constexpr size_t kMaxQueuedSerials = 64;
  static constexpr size_t kMaxPendingResults = 256;

  // Asks the records whether a serial has passed before; false with *error when they
  // cannot tell (the serial is then refused: a unit is never programmed twice unseen).
  using PassedQuery =
      std::function<bool(const std::string& serial, bool* passed, std::string* error)>;

  // recorder: the station's records (null: no check-outs or labels, nothing recorded).
  // ui/board: where the outcome of labels and check-outs is told (posted, never waited for).
  UnitIdentityGate(UnitIdentitySettings settings, ProductionRecorder* recorder, PassedQuery passed,
                   UiThread* ui, Board* board);
  ~UnitIdentityGate() override;
  UnitIdentityGate(const UnitIdentityGate&) = delete;
  UnitIdentityGate& operator=(const UnitIdentityGate&) = delete;

  // Compiles the pattern and loads the label template. False with *error.
  bool Setup(std::string* error);

  // Binds a unit's serial to port "COMn", or with an empty port to the first port in
  // bench order whose unit waits for one. True with *text telling where it went; false
  // with *text saying why not (the pattern, a serial that passed before without rework,
  // a serial on another port, a port whose unit is in its steps).
  bool Bind(const std::string& port, const std::string& serial, bool rework, std::string* text);
  // Before the run has found its ports: the serial goes to the next port that asks for
  // one, in bench order. Same checks as Bind.
  bool Queue(const std::string& serial, bool rework, std::string* text);
  // The serial bound to the port's waiting or current unit, "" when none.
  std::string SerialOf(int portIndex) const;
  // The serial's checks without binding it (the pattern, the characters); false with *why.
  bool SerialAcceptable(const std::string& serial, std::string* why) const;

  // The recorder's result sink: takes a copy and returns.
  void OnResult(const UnitResult& result);
  // Waits at most ms until every result queued so far has had its check-out and label.
  // False when some still wait.
  bool WaitIdle(uint32_t ms);

  // UnitGate
  void RunStarted(const std::vector<int>& portNumbers) override;
  GateAnswer Admit(int portIndex, int cycle, std::string* text) override;
  void UnitEnded(int portIndex, bool passed) override;
  void RunEnded() override;

 private:
  struct PortState {
    int number = 0;  // COMn
    bool bound = false;
    std::string serial;
    bool rework = false;
    bool inSteps = false;  // admitted, verdict not known yet
    bool closed = false;   // a batch run's port whose unit is done with: it asks no more
    int cycle = 0;         // of the unit that asked last
    // The check-in of the bound serial: none started, running, answered.
    enum class Check { None, Running, Answered } check = Check::None;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
    std::shared_ptr<CheckAnswer> answer;
  };
  struct Pending {
    std::string serial;
    bool rework = false;
  };
  // Under m_: the checks that need no records (pattern, another port holds it).
  bool CheckLocked(const std::string& serial, int exceptIndex, std::string* why) const;
  bool PassedBefore(const std::string& serial, std::string* why);
  void StartCheckInLocked(int portIndex);
  void JoinCheckLocked(PortState& p);
  std::string PortName(int portIndex) const;
  void AfterLoop();
  void AfterOne(const UnitResult& result);
  void Tell(const std::string& text);

  const UnitIdentitySettings settings_;
  ProductionRecorder* const recorder_;
  PassedQuery passed_;
  UiThread* const ui_;
  Board* const board_;
  std::optional<std::regex> pattern_;
  std::unique_ptr<UnitLabels> labels_;
  std::atomic<bool> cancel_{false};

  mutable std::mutex m_;
  std::array<PortState, kMaxPorts> ports_;
  int portCount_ = -1;                // -1 until the run's ports are found
  std::map<int, Pending> byNumber_;   // bound to COMn before the ports were found
  std::deque<Pending> queued_;        // for the next port that asks, in bench order
  std::set<std::string> passedHere_;  // serials passed since this gate was made

  // Check-outs and labels: results queued by OnResult (under the recorder's lock: never
  // m_ there), handled by afterThread_.
  std::mutex afterM_;
  std::condition_variable afterCv_;
  std::deque<UnitResult> results_;
  bool afterStop_ = false;
  bool afterBusy_ = false;  // a result taken from results_ is being handled
  size_t droppedResults_ = 0;
  std::thread afterThread_;
  // False once the gate is gone: a told text still queued for the UI thread is dropped.
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};
