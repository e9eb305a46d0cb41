#include "app/UnitIdentity.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "base/Board.h"
#include "base/UiThread.h"
#include "platform/Host.h"
#include "platform/Network.h"

UnitIdentityGate::UnitIdentityGate(UnitIdentitySettings settings, ProductionRecorder* recorder,
                                   PassedQuery passed, UiThread* ui, Board* board)
    : settings_(std::move(settings)),
      recorder_(recorder),
      passed_(std::move(passed)),
      ui_(ui),
      board_(board) {
  afterThread_ = std::thread([this] { AfterLoop(); });
}

UnitIdentityGate::~UnitIdentityGate() {
  RunEnded();
  {
    // The results queued so far still get their check-out and label: each is bounded
    // by its own time-outs.
    std::lock_guard<std::mutex> lock(afterM_);
    afterStop_ = true;
  }
  afterCv_.notify_all();
  afterThread_.join();
  alive_->store(false);
}

bool UnitIdentityGate::Setup(std::string* error) {
  if (!settings_.serialPattern.empty()) {
    try {
      pattern_.emplace(settings_.serialPattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
      *error = "serial pattern " + settings_.serialPattern + ": " + e.what();
      return false;
    }
  }
  if (!settings_.labels.templatePath.empty()) {
    if (recorder_ == nullptr) {
      *error = "labels are made from the production records, and this station keeps none";
      return false;
    }
    labels_ = NewUnitLabels(settings_.labels, SystemNetwork());
    if (!labels_->Load(error)) return false;
  }
  return true;
}

std::string UnitIdentityGate::PortName(int portIndex) const {
  return "COM" + std::to_string(ports_[static_cast<size_t>(portIndex)].number);
}

bool UnitIdentityGate::SerialAcceptable(const std::string& serial, std::string* why) const {
  if (serial.empty()) {
    *why = "no serial";
    return false;
  }
  if (serial.size() > kMaxSerialChars) {
    *why = "serial longer than " + std::to_string(kMaxSerialChars) + " characters";
    return false;
  }
  for (char c : serial) {
    if (c <= ' ' || c > '~') {
      *why = "a serial holds printable characters only, and no space";
      return false;
    }
  }
  if (pattern_) {
    bool match = false;
    try {
      match = std::regex_match(serial, *pattern_);
    } catch (const std::regex_error&) {
      match = false;  // the expression ran out of its own limits on this text
    }
    if (!match) {
      *why = serial + " does not match the job's serial pattern " + settings_.serialPattern;
      return false;
    }
  }
  return true;
}

bool UnitIdentityGate::CheckLocked(const std::string& serial, int exceptIndex,
                                   std::string* why) const {
  for (int k = 0; k < portCount_; k++) {
    const PortState& p = ports_[static_cast<size_t>(k)];
    if (k != exceptIndex && (p.bound || p.inSteps) && p.serial == serial) {
      *why = serial + " is on " + PortName(k) + " already";
      return false;
    }
  }
  for (const auto& [number, pending] : byNumber_) {
    if (pending.serial == serial) {
      *why = serial + " is on COM" + std::to_string(number) + " already";
      return false;
    }
  }
  for (const Pending& q : queued_) {
    if (q.serial == serial) {
      *why = serial + " was scanned already";
      return false;
    }
  }
  return true;
}

bool UnitIdentityGate::PassedBefore(const std::string& serial, std::string* why) {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (passedHere_.count(serial) != 0) {
      *why = serial + " has passed before: tick rework to program it again";
      return false;
    }
  }
  if (!passed_) return true;
  bool passed = false;
  std::string error;
  if (!passed_(serial, &passed, &error)) {
    *why = serial + ": the records cannot tell whether it passed before: " + error;
    return false;
  }
  if (passed) {
    *why = serial + " has passed before: tick rework to program it again";
    return false;
  }
  return true;
}

bool UnitIdentityGate::Queue(const std::string& serial, bool rework, std::string* text) {
  std::string why;
  if (!SerialAcceptable(serial, &why) || (!rework && !PassedBefore(serial, &why))) {
    *text = why;
    return false;
  }
  std::lock_guard<std::mutex> lock(m_);
  if (!CheckLocked(serial, -1, &why)) {
    *text = why;
    return false;
  }
  if (queued_.size() >= kMaxQueuedSerials) {
    *text = "too many serials wait for a port";
    return false;
  }
  queued_.push_back(Pending{serial, rework});
  *text = serial + ": for the next port that asks";
  return true;
}

bool UnitIdentityGate::Bind(const std::string& port, const std::string& serial, bool rework,
                            std::string* text) {
  if (!settings_.scanSerial) {
    *text = "the job does not scan unit serials";
    return false;
  }
  std::string why;
  if (!SerialAcceptable(serial, &why) || (!rework && !PassedBefore(serial, &why))) {
    *text = why;
    return false;
  }
  int number = 0;
  if (!port.empty()) {
    const bool com = port.size() > 3 && port.size() <= 6 &&
                     (port.compare(0, 3, "COM") == 0 || port.compare(0, 3, "com") == 0);
    for (size_t i = 3; com && i < port.size(); i++) {
      if (port[i] < '0' || port[i] > '9') number = -1;
    }
    if (com && number == 0) number = std::atoi(port.c_str() + 3);
    if (!com || number <= 0 || number > 256) {
      *text = port + " is not a port name (COMn)";
      return false;
    }
  }
  std::lock_guard<std::mutex> lock(m_);
  int index = -1;
  if (portCount_ < 0) {
    if (number == 0) {
      *text = "the run has not found its ports yet: choose the port";
      return false;
    }
    const auto it = byNumber_.find(number);
    const bool again = it != byNumber_.end() && it->second.serial == serial;
    if (!again && !CheckLocked(serial, -1, &why)) {
      *text = why;
      return false;
    }
    byNumber_[number] = Pending{serial, rework};
    *text = "COM" + std::to_string(number) + ": " + serial + (rework ? " (rework)" : "");
    return true;
  }
  for (int k = 0; k < portCount_; k++) {
    const PortState& p = ports_[static_cast<size_t>(k)];
    if (number == 0 ? (!p.bound && !p.inSteps && !p.closed) : p.number == number) {
      index = k;
      break;
    }
  }
  if (index < 0) {
    *text = number == 0 ? "every port has its unit's serial" : port + " is not a port of this run";
    return false;
  }
  PortState& p = ports_[static_cast<size_t>(index)];
  if (p.closed) {
    *text = PortName(index) + ": its unit is done with for this run";
    return false;
  }
  if (p.inSteps) {
    *text = PortName(index) + ": its unit " + p.serial + " is in its steps";
    return false;
  }
  if (p.check == PortState::Check::Running) {
    *text = PortName(index) + ": " + p.serial + " is being checked in";
    return false;
  }
  if (!CheckLocked(serial, index, &why)) {
    *text = why;
    return false;
  }
  JoinCheckLocked(p);
  p.check = PortState::Check::None;
  p.bound = true;
  p.serial = serial;
  p.rework = rework;
  *text = PortName(index) + ": " + serial + (rework ? " (rework)" : "");
  return true;
}

std::string UnitIdentityGate::SerialOf(int portIndex) const {
  std::lock_guard<std::mutex> lock(m_);
  if (portIndex < 0 || portIndex >= portCount_) return "";
  const PortState& p = ports_[static_cast<size_t>(portIndex)];
  return p.bound || p.inSteps ? p.serial : "";
}

void UnitIdentityGate::RunStarted(const std::vector<int>& portNumbers) {
  std::vector<std::string> dropped;
  {
    std::lock_guard<std::mutex> lock(m_);
    portCount_ = static_cast<int>(std::min(portNumbers.size(), ports_.size()));
    for (int k = 0; k < portCount_; k++) {
      PortState& p = ports_[static_cast<size_t>(k)];
      p.number = portNumbers[static_cast<size_t>(k)];
      auto it = byNumber_.find(p.number);
      if (it != byNumber_.end()) {
        p.bound = true;
        p.serial = it->second.serial;
        p.rework = it->second.rework;
        byNumber_.erase(it);
      }
    }
    for (const auto& [number, pending] : byNumber_) {
      dropped.push_back("COM" + std::to_string(number) + " is not a port of this run: serial " +
                        pending.serial + " not used");
    }
    byNumber_.clear();
  }
  for (const std::string& t : dropped) Tell(t);
}

void UnitIdentityGate::StartCheckInLocked(int portIndex) {
  PortState& p = ports_[static_cast<size_t>(portIndex)];
  CheckRequest request;
  request.event = CheckRequest::kCheckIn;
  request.serial = p.serial;
  request.station = settings_.stationName;
  request.port = PortName(portIndex);
  request.job = settings_.jobName;
  p.done = std::make_shared<std::atomic<bool>>(false);
  p.answer = std::make_shared<CheckAnswer>();
  p.check = PortState::Check::Running;
  p.thread = std::thread(
      [check = settings_.checkIn, request, done = p.done, answer = p.answer, cancel = &cancel_] {
        *answer = RunCheck(check, request, cancel);
        done->store(true);
      });
}

void UnitIdentityGate::JoinCheckLocked(PortState& p) {
  if (p.thread.joinable()) p.thread.join();
}

GateAnswer UnitIdentityGate::Admit(int portIndex, int cycle, std::string* text) {
  UnitIdentity id;
  GateAnswer verdict = GateAnswer::Go;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (portIndex < 0 || portIndex >= portCount_) return GateAnswer::Go;
    PortState& p = ports_[static_cast<size_t>(portIndex)];
    const std::string name = PortName(portIndex);
    p.cycle = cycle;
    if (settings_.scanSerial && !p.bound) {
      if (queued_.empty()) {
        *text = name + ": scan unit serial";
        return GateAnswer::Wait;
      }
      p.bound = true;
      p.serial = queued_.front().serial;
      p.rework = queued_.front().rework;
      queued_.pop_front();
    }
    id.serial = p.serial;
    id.rework = p.rework;
    if (settings_.checkIn.Enabled()) {
      if (p.check == PortState::Check::None) StartCheckInLocked(portIndex);
      if (!p.done->load()) {
        *text = name + ": " + (p.serial.empty() ? "unit" : p.serial) + ": checking in";
        return GateAnswer::Wait;
      }
      JoinCheckLocked(p);
      const CheckAnswer answer = *p.answer;
      p.check = PortState::Check::None;
      if (answer.outcome == CheckOutcome::Confirmed) {
        id.checkIn = "confirmed";
      } else {
        id.checkIn = (answer.outcome == CheckOutcome::Rejected ? "rejected: " : "no answer: ") +
                     answer.reason;
        id.refused = true;
        verdict = GateAnswer::Refuse;
      }
    }
    if (id.refused) {
      p.bound = false;
      p.closed = cycle == 0;
      *text = name + ": " + (p.serial.empty() ? "unit" : p.serial) + ": check-in " + id.checkIn;
    } else {
      p.inSteps = true;
      *text = p.serial.empty() ? "" : name + ": " + p.serial + (p.rework ? " (rework)" : "");
    }
  }
  // The records are told outside the gate's lock: the recorder's result sink comes
  // back into the gate (OnResult), and takes only its own lock there.
  if (recorder_) recorder_->UnitIdentified(portIndex, id);
  return verdict;
}

void UnitIdentityGate::UnitEnded(int portIndex, bool passed) {
  std::lock_guard<std::mutex> lock(m_);
  if (portIndex < 0 || portIndex >= portCount_) return;
  PortState& p = ports_[static_cast<size_t>(portIndex)];
  // A passed serial is refused from now on, before its record is even written.
  if (passed && !p.serial.empty()) passedHere_.insert(p.serial);
  p.inSteps = false;
  p.bound = false;
  p.closed = p.cycle == 0;
  p.serial.clear();
  p.rework = false;
}

void UnitIdentityGate::RunEnded() {
  cancel_.store(true);
  std::lock_guard<std::mutex> lock(m_);
  for (PortState& p : ports_) {
    JoinCheckLocked(p);
    p = PortState{};
  }
  portCount_ = -1;
  queued_.clear();
  byNumber_.clear();
}

void UnitIdentityGate::OnResult(const UnitResult& result) {
  {
    std::lock_guard<std::mutex> lock(afterM_);
    if (results_.size() >= kMaxPendingResults) {
      droppedResults_++;
      return;
    }
    results_.push_back(result);
  }
  afterCv_.notify_one();
}

void UnitIdentityGate::AfterLoop() {
  std::unique_lock<std::mutex> lock(afterM_);
  while (true) {
    afterCv_.wait(lock, [&] { return afterStop_ || !results_.empty() || droppedResults_ != 0; });
    if (droppedResults_ != 0) {
      const size_t dropped = droppedResults_;
      droppedResults_ = 0;
      lock.unlock();
      Tell(std::to_string(dropped) + " units got no label or check-out: too many waited");
      lock.lock();
      continue;
    }
    if (results_.empty()) {
      if (afterStop_) return;
      continue;
    }
    UnitResult result = std::move(results_.front());
    results_.pop_front();
    afterBusy_ = true;
    lock.unlock();
    AfterOne(result);
    lock.lock();
    afterBusy_ = false;
    afterCv_.notify_all();
  }
}

bool UnitIdentityGate::WaitIdle(uint32_t ms) {
  std::unique_lock<std::mutex> lock(afterM_);
  return afterCv_.wait_for(lock, std::chrono::milliseconds(ms),
                           [&] { return results_.empty() && !afterBusy_; });
}

void UnitIdentityGate::AfterOne(const UnitResult& result) {
  const UnitRecord& r = result.record;
  const bool passed = r.verdict == kVerdictPassed;
  if (passed && !r.serial.empty()) {
    std::lock_guard<std::mutex> lock(m_);
    passedHere_.insert(r.serial);
  }
  if (recorder_ == nullptr) return;
  if (passed && labels_ && !r.mac.empty()) {
    for (const UnitEvent& e : labels_->Print(r, kEventLabel)) {
      recorder_->AddEvent(e);
      if (!e.ok) Tell(r.port + ": label for " + r.mac + " not made: " + e.where + ": " + e.text);
    }
  }
  if (settings_.checkIn.Enabled() && r.checkIn == "confirmed") {
    CheckRequest request;
    request.event = CheckRequest::kCheckOut;
    request.serial = r.serial;
    request.station = r.station;
    request.port = r.port;
    request.job = settings_.jobName;
    request.verdict = r.verdict;
    request.mac = r.mac;
    // Not cancelled by the run's end: the unit's verdict is reported whatever comes.
    const CheckAnswer answer = RunCheck(settings_.checkIn, request, nullptr);
    UnitEvent e = EventOfUnit(r, kEventCheckOut);
    e.atMs = WallClockMs();
    e.where = answer.where;
    e.ok = answer.outcome == CheckOutcome::Confirmed;
    e.text = e.ok ? "reported"
                  : (answer.outcome == CheckOutcome::Rejected ? "rejected: " : "no answer: ") +
                        answer.reason;
    recorder_->RecordCheckOut(r, e.text);
    recorder_->AddEvent(e);
    if (!e.ok) Tell(r.port + ": check-out of " + r.serial + " " + e.text);
  }
}

void UnitIdentityGate::Tell(const std::string& text) {
  if (ui_ == nullptr || board_ == nullptr) return;
  ui_->Post([alive = alive_, board = board_, text] {
    if (alive->load()) board->AppendMessage(text);
  });
}
