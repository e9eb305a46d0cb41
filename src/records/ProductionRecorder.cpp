#include "records/ProductionRecorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <random>
#include <utility>

#include "base/Board.h"
#include "base/UiThread.h"
#include "platform/Clock.h"
#include "platform/Host.h"
#include "platform/PortMap.h"
#include "records/RecordText.h"

namespace {

const char* StepName(WorkerKind kind) {
  switch (kind) {
    case WorkerKind::Download:
      return "download";
    case WorkerKind::LoopbackTest:
      return "loopback";
    case WorkerKind::ProgramMac:
      return "mac";
  }
  return "";
}

Stage RunningStage(WorkerKind kind) {
  switch (kind) {
    case WorkerKind::Download:
      return StageDownloading;
    case WorkerKind::LoopbackTest:
      return StageTesting;
    case WorkerKind::ProgramMac:
      return StageProgramming;
  }
  return StageIdle;
}

// The port went through every step of the job.
bool Passed(Stage finalStage, Stage stage) {
  return stage != StageFailed && (finalStage == StageIdle || stage == finalStage);
}

// At most `max` bytes of text, cut before a UTF-8 sequence that would not fit whole;
// with oneLine, control characters become blanks.
std::string Fitted(const std::string& text, size_t max, bool oneLine) {
  std::string out = text;
  if (out.size() > max) {
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) cut--;
    out.resize(cut);
  }
  if (oneLine) {
    for (char& c : out) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
  }
  return out;
}

}  // namespace

ProductionRecorder::ProductionRecorder(Station& station, std::unique_ptr<RecordStore> store,
                                       std::string stationName, std::string spoolPath)
    : station_(station),
      stationName_(std::move(stationName)),
      writer_(std::move(store), stationName_, std::move(spoolPath)) {}

ProductionRecorder::~ProductionRecorder() = default;

std::string ProductionRecorder::StepsOf(const JobState& job) {
  std::string steps;
  auto add = [&](const char* s) {
    if (!steps.empty()) steps += ',';
    steps += s;
  };
  if (job.jobFlags & kJobFirmware) add("firmware");
  if (job.jobFlags & kJobEeprom) add("eeprom");
  if (job.loopbackTest == 1) add("loopback");
  if (job.programMac) add("mac");
  return steps;
}

std::string ProductionRecorder::NewRunId(int64_t nowMs) {
  std::string id;
  for (char c : FormatUtcMs(nowMs).substr(0, 19)) {
    if (c != '-' && c != ':') id += c;
  }
  uint32_t random = 0;
  try {
    std::random_device device;
    random = device();
  } catch (const std::exception&) {
    random = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  char tail[16];
  std::snprintf(tail, sizeof tail, "Z-%06x", random & 0xFFFFFF);
  return id + tail;
}

void ProductionRecorder::RunStarting(const RecordedJob& job) {
  std::lock_guard<std::mutex> lock(m_);
  job_ = job;
  runId_.clear();
  runPassed_ = 0;
  runFailed_ = 0;
  runTemporary_ = 0;
  for (auto& p : ports_) p = Port{};
}

void ProductionRecorder::StopRequested() {
  std::lock_guard<std::mutex> lock(m_);
  const Stage finalStage = station_.job ? JobFinalStage(*station_.job) : StageIdle;
  for (size_t k = 0; k < ports_.size(); k++) {
    Port& p = ports_[k];
    const Stage stage = station_.stages->Get(static_cast<int>(k));
    if (p.open && stage != StageFailed && !Passed(finalStage, stage)) p.stopped = true;
  }
}

ProductionRecorder::Port* ProductionRecorder::OpenPortLocked(int portIndex) {
  if (portIndex < 0 || portIndex >= kMaxPorts) return nullptr;
  Port& p = ports_[static_cast<size_t>(portIndex)];
  return p.open ? &p : nullptr;
}

uint64_t ProductionRecorder::PutLocked(Port& port) {
  const uint64_t ticket = writer_.Put(port.record);
  if (ticket == 0) {
    refused_++;
  } else if (ticket > lastTicket_) {
    lastTicket_ = ticket;
  }
  return ticket;
}

void ProductionRecorder::RunStarted(const std::vector<int>& portNumbers) {
  const int64_t now = WallClockMs();
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(m_);
    // The name Start gave the run (the pool records its addresses with it).
    runId_ = station_.runId.empty() ? NewRunId(now) : station_.runId;
    runPassed_ = 0;
    runFailed_ = 0;
    runTemporary_ = 0;
    refused_ = 0;
    eventsRefused_ = 0;
    for (auto& p : ports_) p = Port{};
    for (size_t k = 0; k < portNumbers.size() && k < ports_.size(); k++) {
      Port& p = ports_[k];
      UnitRecord& r = p.record;
      r.station = stationName_;
      r.runId = runId_;
      r.port = PortMap::PortName(portNumbers[k]);
      r.portIndex = static_cast<int>(k);
      const std::string path = station_.ports ? station_.ports->DevicePath(portNumbers[k]) : "";
      const std::string target = LinkTarget(path);
      r.portDevice = target.empty() ? path : target;
      r.startedMs = now;
      r.steps = job_.steps;
      r.consoleBaud = job_.consoleBaud;
      r.firmware.path = job_.firmwarePath;
      r.eeprom.path = job_.eepromPath;
      r.jobName = job_.jobName;
      r.jobVersion = job_.jobVersion;
      r.jobDigest = job_.jobDigest;
      if (job_.continuous) {
        // Each unit that comes into the slot gets a record of its own.
        p.slot = r;
        continue;
      }
      p.open = true;
      ticket = PutLocked(p);
    }
  }
  std::vector<std::string> extra;
  if (!writer_.Flush(ticket, std::chrono::milliseconds(kOpenWaitMs))) {
    // Said at every run while the store fails, so the operator sees it in each run's log.
    const std::string problem = writer_.Problem();
    extra.push_back("production records: the records of this run are not written yet: " +
                    (problem.empty() ? "still writing after " + std::to_string(kOpenWaitMs / 1000) +
                                           " s to " + writer_.Describe()
                                     : problem));
  }
  {
    std::lock_guard<std::mutex> lock(m_);
    todayAtStart_ = writer_.Today();
  }
  ShowOnBoard(extra);
}

void ProductionRecorder::UnitStarted(int portIndex, int cycle) {
  std::lock_guard<std::mutex> lock(m_);
  if (portIndex < 0 || portIndex >= kMaxPorts) return;
  Port& p = ports_[static_cast<size_t>(portIndex)];
  if (p.slot.port.empty()) return;  // not a slot of this run
  // The slot's last unit was closed when its cycle ended; should it still be open, it
  // is closed now with what is known (never overwritten).
  if (p.open) Close(p, kVerdictUnfinished, station_.stages->Get(portIndex));
  UnitRecord slot = std::move(p.slot);
  p = Port{};
  p.slot = slot;
  p.record = std::move(slot);
  p.record.cycle = cycle;
  p.record.startedMs = WallClockMs();
  p.open = true;
  PutLocked(p);
}

void ProductionRecorder::UnitIdentified(int portIndex, const UnitIdentity& id) {
  std::lock_guard<std::mutex> lock(m_);
  Port* open = OpenPortLocked(portIndex);
  if (!open) return;
  Port& p = *open;
  p.record.serial = id.serial;
  p.record.rework = id.rework;
  p.record.checkIn = id.checkIn;
  if (!id.refused) {
    PutLocked(p);
    return;
  }
  // No step starts: closed now, failed; the failed stage the dispatcher gives the port
  // next finds it closed. Its status, for the failures' summary, is why.
  p.refused = true;
  p.record.lastStatus = p.record.port + ": " + (id.checkIn.empty() ? "refused" : id.checkIn);
  Close(p, kVerdictFailed, StageIdle);
}

void ProductionRecorder::StepStarted(int portIndex, WorkerKind kind) {
  std::lock_guard<std::mutex> lock(m_);
  Port* open = OpenPortLocked(portIndex);
  if (!open) return;
  Port& p = *open;
  p.stepStarted = true;
  p.step = kind;
  if (p.stepSpans.size() < 16) {
    p.stepSpans.push_back(Port::StepSpan{StepName(kind), RunningStage(kind), WallClockMs(), 0});
  }
  p.failCode.reset();
  p.record.stage = static_cast<int32_t>(RunningStage(kind));
  PutLocked(p);
}

void ProductionRecorder::ImageSent(int portIndex, const SentImage& image) {
  std::lock_guard<std::mutex> lock(m_);
  Port* open = OpenPortLocked(portIndex);
  if (!open) return;
  Port& p = *open;
  ImageRecord& ir = image.firmware ? p.record.firmware : p.record.eeprom;
  ir.path = image.path;
  ir.fileBytes = image.fileBytes;
  ir.sentBytes = image.sentBytes;
  ir.sha256 = image.result == 0 ? image.sha256 : "";
  if (!image.firmware) p.record.tempMac = image.result == 0 ? UpperMac(image.tempMac) : "";
  PutLocked(p);
}

void ProductionRecorder::MacTaken(int portIndex, const MacAddress& mac, bool assigned) {
  std::lock_guard<std::mutex> lock(m_);
  Port* open = OpenPortLocked(portIndex);
  if (!open) return;
  Port& p = *open;
  p.record.mac = FormatMac(mac);
  p.record.macSource = assigned ? "assigned" : "pool";
  p.record.macReported.clear();
  p.record.macConfirmed = false;
  PutLocked(p);
}

void ProductionRecorder::MacReported(int portIndex, const MacAddress& reported, bool confirmed) {
  std::lock_guard<std::mutex> lock(m_);
  if (portIndex < 0 || portIndex >= kMaxPorts) return;
  Port& p = ports_[static_cast<size_t>(portIndex)];
  if (!p.open || p.record.mac.empty()) return;
  p.record.macReported = FormatMac(reported);
  p.record.macConfirmed = confirmed && p.record.macReported == p.record.mac;
  PutLocked(p);
}

void ProductionRecorder::StepFailed(int portIndex, int code) {
  std::lock_guard<std::mutex> lock(m_);
  if (portIndex < 0 || portIndex >= kMaxPorts) return;
  ports_[static_cast<size_t>(portIndex)].failCode = code;
}

void ProductionRecorder::LinkAddressSeen(int portIndex, const std::string& text) {
  std::lock_guard<std::mutex> lock(m_);
  Port* open = OpenPortLocked(portIndex);
  if (!open) return;
  Port& p = *open;
  p.record.linkAddress = text;
  PutLocked(p);
}

void ProductionRecorder::PortStatus(int portIndex, const std::string& text) {
  std::lock_guard<std::mutex> lock(m_);
  Port* open = OpenPortLocked(portIndex);
  if (!open) return;
  Port& p = *open;
  p.record.lastStatus = text;
}

uint64_t ProductionRecorder::Close(Port& port, const char* verdict, Stage stage) {
  UnitRecord& r = port.record;
  r.endedMs = WallClockMs();
  r.verdict = verdict;
  if (static_cast<int32_t>(stage) > r.stage) r.stage = static_cast<int32_t>(stage);
  const std::string v = verdict;
  if (port.refused) {
    r.failStep = "check-in";
    r.failCode.reset();
  } else if (v != kVerdictPassed && v != kVerdictTemporaryMac && port.stepStarted) {
    r.failStep = StepName(port.step);
    r.failCode = port.failCode;
  }
  if (v == kVerdictPassed) runPassed_++;
  if (v == kVerdictFailed) runFailed_++;
  if (v == kVerdictTemporaryMac) runTemporary_++;
  port.open = false;
  const uint64_t ticket = PutLocked(port);
  recentClosed_.push_back(r);
  if (recentClosed_.size() > kRecentClosed) recentClosed_.pop_front();
  if (!resultSinks_.empty()) {
    UnitResult result;
    result.record = r;
    for (const Port::StepSpan& span : port.stepSpans) {
      const int64_t end = span.endMs != 0 ? span.endMs : *r.endedMs;
      result.steps.push_back(StepTime{span.name, std::max<int64_t>(0, end - span.startMs)});
    }
    for (const auto& [id, sink] : resultSinks_) sink(result);
  }
  port.stepSpans.clear();
  return ticket;
}

int ProductionRecorder::AddResultSink(std::function<void(const UnitResult&)> sink) {
  std::lock_guard<std::mutex> lock(m_);
  if (!sink) return 0;
  const int id = nextSinkId_++;
  resultSinks_.emplace_back(id, std::move(sink));
  return id;
}

void ProductionRecorder::RemoveResultSink(int id) {
  std::lock_guard<std::mutex> lock(m_);
  std::erase_if(resultSinks_, [id](const auto& entry) { return entry.first == id; });
}

void ProductionRecorder::SetResultSink(std::function<void(const UnitResult&)> sink) {
  RemoveResultSink(serviceSink_);
  serviceSink_ = sink ? AddResultSink(std::move(sink)) : 0;
}

bool ProductionRecorder::AddEvent(const UnitEvent& event) {
  std::lock_guard<std::mutex> lock(m_);
  const uint64_t ticket = writer_.PutEvent(event);
  if (ticket == 0) {
    eventsRefused_++;
    return false;
  }
  if (ticket > lastTicket_) lastTicket_ = ticket;
  return true;
}

bool ProductionRecorder::AddAudit(const AuditEntry& entry) {
  // Within what every store takes (the factory database refuses longer texts and
  // control characters in the names): an entry a store refuses would wait for good.
  AuditEntry a;
  a.station = entry.station.empty() ? stationName_ : entry.station;
  a.atMs = entry.atMs == 0 ? WallClockMs() : entry.atMs;
  a.user = Fitted(entry.user, kAuditNameBytes, true);
  a.kind = Fitted(entry.kind, kAuditKindBytes, true);
  a.ok = entry.ok;
  a.text = Fitted(entry.text, kAuditTextBytes, false);
  a.jobName = Fitted(entry.jobName, kAuditNameBytes, true);
  a.jobVersion = Fitted(entry.jobVersion, kAuditVersionBytes, true);
  a.jobDigest = Fitted(entry.jobDigest, kAuditDigestBytes, true);
  if (a.kind.empty()) return false;
  std::lock_guard<std::mutex> lock(m_);
  const uint64_t ticket = writer_.PutAudit(a);
  if (ticket == 0) return false;
  if (ticket > lastTicket_) lastTicket_ = ticket;
  return true;
}

bool ProductionRecorder::RecordCheckOut(const UnitRecord& unit, const std::string& text) {
  std::lock_guard<std::mutex> lock(m_);
  for (auto it = recentClosed_.rbegin(); it != recentClosed_.rend(); ++it) {
    if (it->station != unit.station || it->runId != unit.runId || it->port != unit.port ||
        it->cycle != unit.cycle) {
      continue;
    }
    it->checkOut = text;
    const uint64_t ticket = writer_.Put(*it);
    if (ticket == 0) {
      refused_++;
      return false;
    }
    if (ticket > lastTicket_) lastTicket_ = ticket;
    return true;
  }
  return false;
}

UnitCounts ProductionRecorder::Counts() {
  std::lock_guard<std::mutex> lock(m_);
  UnitCounts c;
  c.runPassed = runPassed_;
  c.runFailed = runFailed_;
  c.runTemporary = runTemporary_;
  c.todayKnown = todayAtStart_.known;
  c.todayPassed = todayAtStart_.passed + runPassed_;
  c.todayFailed = todayAtStart_.failed + runFailed_;
  c.todayTemporary = todayAtStart_.temporary + runTemporary_;
  return c;
}

bool ProductionRecorder::ClosePortsLocked(bool runEnded) {
  bool closed = false;
  const Stage finalStage = station_.job ? JobFinalStage(*station_.job) : StageIdle;
  // Every step done, but the EEPROM image went with the port's temporary address and
  // no address was programmed after it.
  const char* done =
      station_.job && (station_.job->jobFlags & kJobEeprom) && !station_.job->programMac
          ? kVerdictTemporaryMac
          : kVerdictPassed;
  for (size_t k = 0; k < ports_.size(); k++) {
    Port& p = ports_[k];
    if (!p.open) continue;
    const Stage stage = station_.stages->Get(static_cast<int>(k));
    // A port that Stop cut short is closed at the run's end, as stopped (also when its
    // worker then ended failed).
    const char* verdict = Passed(finalStage, stage)            ? done
                          : stage == StageFailed && !p.stopped ? kVerdictFailed
                          : runEnded                           ? kVerdictStopped
                                                               : nullptr;
    if (verdict == nullptr) continue;
    Close(p, verdict, stage);
    closed = true;
  }
  return closed;
}

void ProductionRecorder::EndStepsLocked(int64_t nowMs) {
  for (size_t k = 0; k < ports_.size(); k++) {
    Port& p = ports_[k];
    if (!p.open || p.stepSpans.empty() || p.stepSpans.back().endMs != 0) continue;
    // A step's worker sets its running stage; the next stage up (or a failure) ends it.
    const Stage stage = station_.stages->Get(static_cast<int>(k));
    if (stage == StageFailed || stage > p.stepSpans.back().running) p.stepSpans.back().endMs = nowMs;
  }
}

void ProductionRecorder::PortsChecked() {
  bool closed = false;
  {
    std::lock_guard<std::mutex> lock(m_);
    EndStepsLocked(WallClockMs());
    closed = ClosePortsLocked(false);
  }
  // A store that fails in the middle of a run is reported at once.
  std::vector<std::string> none;
  if (closed || writer_.HasMessages()) ShowOnBoard(none);
}

void ProductionRecorder::RunEnded() {
  uint64_t ticket = 0;
  size_t refused = 0;
  size_t eventsRefused = 0;
  bool anyRun = false;
  {
    std::lock_guard<std::mutex> lock(m_);
    ClosePortsLocked(true);
    ticket = lastTicket_;
    refused = refused_;
    eventsRefused = eventsRefused_;
    anyRun = !runId_.empty();
  }
  std::vector<std::string> extra;
  if (!anyRun) {
    ShowOnBoard(extra);
    return;
  }
  if (refused > 0) {
    extra.push_back("production records: " + std::to_string(refused) +
                    " change(s) of this run's records not kept: too many records wait to be "
                    "written to " +
                    writer_.Describe());
  }
  if (eventsRefused > 0) {
    extra.push_back("production records: " + std::to_string(eventsRefused) +
                    " unit event(s) of this run not kept: too many wait to be written to " +
                    writer_.Describe());
  }
  bool written = writer_.Flush(ticket, std::chrono::milliseconds(kEndWaitMs));
  for (int i = 0; !written && i < kEndRetries && station_.clock; i++) {
    station_.clock->SleepMs(kEndRetryMs);
    written = writer_.Retry(std::chrono::milliseconds(kOpenWaitMs));
  }
  if (!written) {
    const std::string problem = writer_.Problem();
    const std::string kept = writer_.Spooled() > 0 ? ", kept in " + writer_.SpoolPath() +
                                                         " and written at the next start"
                                                   : "";
    const size_t events = writer_.QueuedEvents();
    const size_t audits = writer_.QueuedAudits();
    const std::string andEvents =
        (events > 0 ? " and " + std::to_string(events) + " unit event(s)" : "") +
        (audits > 0 ? " and " + std::to_string(audits) + " audit entr(ies)" : "");
    extra.push_back("production records: " + std::to_string(writer_.Queued()) + " record(s)" +
                    andEvents + " not written yet" + kept +
                    ", tried again while the station runs: " +
                    (problem.empty() ? "still writing after " + std::to_string(kEndWaitMs / 1000) +
                                           " s to " + writer_.Describe()
                                     : problem));
  }
  ShowOnBoard(extra);
}

void ProductionRecorder::ShowOnBoard(const std::vector<std::string>& extra) {
  std::vector<std::string> lines = writer_.TakeMessages();
  lines.insert(lines.end(), extra.begin(), extra.end());
  std::string runText, todayText;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (!runId_.empty()) {
      // Units left with the temporary address are named only when there are any.
      const auto temporary = [](int64_t n) {
        return n > 0 ? ", " + std::to_string(n) + " temporary MAC" : std::string();
      };
      runText = "this run: " + std::to_string(runPassed_) + " passed, " +
                std::to_string(runFailed_) + " failed" + temporary(runTemporary_);
      if (todayAtStart_.known) {
        todayText = "today: " + std::to_string(todayAtStart_.passed + runPassed_) + " passed, " +
                    std::to_string(todayAtStart_.failed + runFailed_) + " failed" +
                    temporary(todayAtStart_.temporary + runTemporary_);
      } else {
        todayText = "today: not known";
      }
    }
  }
  if ((lines.empty() && runText.empty()) || !station_.ui || !station_.board) return;
  try {
    station_.ui->RunSync([&] {
      for (const std::string& line : lines) station_.board->AppendMessage(line);
      if (!runText.empty()) {
        station_.board->SetMacGridCell(0, 1, runText);
        station_.board->SetMacGridCell(1, 1, todayText);
      }
    });
  } catch (const std::exception&) {
    // A board that failed must not end the run or lose the records; they are written.
  }
}
