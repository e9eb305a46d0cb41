#pragma once
// The station's production records: one record per port per run, kept up to date in
// memory as the dispatcher and the workers report, and handed to the writer whenever
// it changes in a way worth keeping (opened, a step started, an image sent, the
// loopback test answered, an address taken, closed). The run's records are opened
// (written "unfinished") before any worker starts, and closed and written before the
// dispatcher ends, so a port that never finishes (Stop, program close, crash) still
// leaves its record.
//
// It also keeps the board's count of units: MACGrid column 1 shows this run's and
// today's passed and failed units of this station (and those left with the temporary
// MAC address, when there are any).
//
// A unit that went through every step of a job that downloads the EEPROM image and
// programs no MAC address keeps its port's temporary address: its record is closed
// "temporary-mac", never "passed".
//
// Threads: the UnitRecorder routines as documented there; RunStarting, StopRequested
// and PortStatus on the UI thread. Board calls go through the UI thread (RunSync) from
// the dispatcher's thread only.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/JobState.h"
#include "base/Station.h"
#include "base/UnitRecorder.h"
#include "records/RecordStore.h"
#include "records/RecordWriter.h"

// What the run's job is, as the records name it.
struct RecordedJob {
  std::string steps;  // "firmware,eeprom,loopback,mac" (the job's steps, in order)
  int consoleBaud = 115200;
  std::string firmwarePath;  // empty when the job sends no firmware
  std::string eepromPath;    // empty when the job sends no EEPROM image
  // The job package: its name, version and the SHA-256 of the package file; empty when
  // the job is no package. Every unit record of the run carries them.
  std::string jobName, jobVersion, jobDigest;
  // Continuous production: a record per unit, opened when it comes (UnitStarted).
  bool continuous = false;
};

// One step of a unit's job and the time it took (from its worker's start to the next
// step's, or to the unit's end).
struct StepTime {
  std::string step;  // "download", "loopback" or "mac"
  int64_t ms = 0;
};

// A unit's record as it was closed with its verdict, for whoever follows the station live.
struct UnitResult {
  UnitRecord record;
  std::vector<StepTime> steps;
};

// Units of the current run and of today (this station's records of today before the
// run, plus the run's), by verdict. Temporary: left with the temporary MAC address
// (kVerdictTemporaryMac), neither passed nor failed.
struct UnitCounts {
  int runPassed = 0;
  int runFailed = 0;
  int runTemporary = 0;
  bool todayKnown = false;
  int64_t todayPassed = 0;
  int64_t todayFailed = 0;
  int64_t todayTemporary = 0;
};

class ProductionRecorder final : public UnitRecorder {
 public:
  // Bounded waits of the dispatcher for the writer: at the run's start (the records
  // opened) and at its end (every record closed).
  static constexpr int kOpenWaitMs = 10000;
  static constexpr int kEndWaitMs = 30000;
  // After a failed write at the run's end: tried again every kEndRetryMs for up to
  // kEndRetries times (a database restarting, a disk made free) before the run ends.
  static constexpr int kEndRetryMs = 1000;
  static constexpr int kEndRetries = 4;
  // Closed records kept for their check-out: a few per port of a full station.
  static constexpr size_t kRecentClosed = 4 * kMaxPorts;

  // spoolPath: where records that cannot be written are kept (records/Spool.h).
  ProductionRecorder(Station& station, std::unique_ptr<RecordStore> store, std::string stationName,
                     std::string spoolPath = "");
  ~ProductionRecorder() override;

  // UI thread, before the dispatcher of a run is created.
  void RunStarting(const RecordedJob& job);
  // UI thread: the operator confirmed Stop, or the program is closing. The ports that
  // have not finished by now are recorded as stopped (also when their worker then ends
  // failed, as a worker asked to stop does); a port that had already failed stays failed.
  void StopRequested();
  // UI thread: every text shown in a port's status cell (kept as the record's last
  // status, a display only).
  void PortStatus(int portIndex, const std::string& text);

  // UnitRecorder
  void RunStarted(const std::vector<int>& portNumbers) override;
  void UnitStarted(int portIndex, int cycle) override;
  // The port's open record gets the unit's serial, rework and check-in, and is written.
  // A refused unit's record is closed at once, failed at the step "check-in" (counted
  // once, as failed).
  void UnitIdentified(int portIndex, const UnitIdentity& id) override;
  void StepStarted(int portIndex, WorkerKind kind) override;
  void PortsChecked() override;
  void RunEnded() override;
  void ImageSent(int portIndex, const SentImage& image) override;
  void MacTaken(int portIndex, const MacAddress& mac, bool assigned) override;
  void MacReported(int portIndex, const MacAddress& reported, bool confirmed) override;
  void StepFailed(int portIndex, int code) override;
  void LinkAddressSeen(int portIndex, const std::string& text) override;

  // Called with every unit's record when it is closed, under the recorder's lock (on the
  // thread that closed it): it must only take a copy and return (never call back into
  // the recorder). Any thread; the sink's id, for RemoveResultSink.
  int AddResultSink(std::function<void(const UnitResult&)> sink);
  void RemoveResultSink(int id);
  // The one sink of the station service: replaces the sink this call set before; an
  // empty function takes it away.
  void SetResultSink(std::function<void(const UnitResult&)> sink);

  // Any thread, without waiting on the store: queues a unit event to the writer (kept
  // in the spool like the records while the store fails). False when the writer's
  // queue of events is full (the event is not kept).
  bool AddEvent(const UnitEvent& event);
  // Any thread, at any time (also before the first run and between runs), without
  // waiting on the store: queues an audit entry to the writer, kept in the spool like
  // the records while the store fails. An empty station is this station's name, a zero
  // time now. Longer texts are cut (the text at kAuditTextBytes, the user and the
  // package's name at kAuditNameBytes, ...; control characters but in the text become
  // blanks), so that every store takes the entry. False for an entry without a kind,
  // or when the writer's queue of audit entries is full (not kept).
  bool AddAudit(const AuditEntry& entry);
  static constexpr size_t kAuditTextBytes = 4000;
  static constexpr size_t kAuditNameBytes = 256;
  static constexpr size_t kAuditKindBytes = 32;
  static constexpr size_t kAuditVersionBytes = 64;
  static constexpr size_t kAuditDigestBytes = 128;
  // Any thread, without waiting on the store: the closed record of this unit (its
  // station, run id, port and cycle) gets its check-out ("reported", "rejected: ...",
  // "no answer: ...") and is written again. False when no such record was closed
  // recently (the last kRecentClosed closed records are kept) or the writer's queue is
  // full.
  bool RecordCheckOut(const UnitRecord& unit, const std::string& text);
  // Any thread.
  UnitCounts Counts();

  const std::string& stationName() const { return stationName_; }
  std::string Describe() const { return writer_.Describe(); }
  RecordWriter& writer() { return writer_; }
  // The job's steps as recorded.
  static std::string StepsOf(const JobState& job);
  // "20261208T050808Z-1a2b3c": the time the run started and six random hex digits.
  static std::string NewRunId(int64_t nowMs);

 private:
  struct Port {
    bool open = false;
    bool stepStarted = false;
    bool stopped = false;  // not finished when Stop came
    bool refused = false;  // refused before its first step (its check-in or its serial)
    WorkerKind step = WorkerKind::Download;
    std::optional<int> failCode;  // the current step's, as its worker reported it
    // The job's steps on this unit: name, started and (once its stage said so) ended, in
    // wall-clock ms (0: not ended yet).
    struct StepSpan {
      std::string name;
      Stage running = StageIdle;
      int64_t startMs = 0;
      int64_t endMs = 0;
    };
    std::vector<StepSpan> stepSpans;
    UnitRecord record;
    UnitRecord slot;  // continuous production: what every unit's record of the slot starts as
  };
  // Under m_: the port's record is closed with the verdict; returns the ticket.
  uint64_t Close(Port& port, const char* verdict, Stage stage);
  uint64_t PutLocked(Port& port);
  // Under m_: closes every open port whose outcome is known (passed, failed); at the
  // run's end (runEnded) also the rest, as stopped. True when any was closed.
  bool ClosePortsLocked(bool runEnded);
  // Under m_: the current step of every open port ends once its stage has moved on.
  void EndStepsLocked(int64_t nowMs);
  // Under m_: the port's record while it is open, else null (also for a bad index).
  Port* OpenPortLocked(int portIndex);
  // Dispatcher thread: shows the writer's messages and the unit counts on the board.
  void ShowOnBoard(const std::vector<std::string>& extra);

  Station& station_;
  const std::string stationName_;
  RecordWriter writer_;

  std::mutex m_;
  std::array<Port, kMaxPorts> ports_;
  RecordedJob job_;
  std::string runId_;
  int runPassed_ = 0;
  int runFailed_ = 0;
  int runTemporary_ = 0;
  RecordWriter::Counts todayAtStart_;
  uint64_t lastTicket_ = 0;
  size_t refused_ = 0;  // records the writer's queue could not take this run
  std::vector<std::pair<int, std::function<void(const UnitResult&)>>> resultSinks_;
  int nextSinkId_ = 1;
  int serviceSink_ = 0;                  // the id of SetResultSink's sink (0 none)
  std::deque<UnitRecord> recentClosed_;  // the newest at the back, at most kRecentClosed
  size_t eventsRefused_ = 0;             // events the writer's queue could not take this run
};
