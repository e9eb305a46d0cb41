#pragma once
// The records writer: a thread of its own that owns the store and writes the records
// handed to it, so no caller ever waits on the disk unless it asks to (Flush).
//
// Records wait in a queue keyed by station, run, port and cycle: a newer copy of a record
// replaces the queued one. A record that cannot be written stays queued and is tried
// again with the next record handed in, or every kRetryMs, until the writer ends.
// At most kMaxQueued records wait at once; more are refused (Put returns 0).
//
// Unit events (labels printed, check-outs sent) wait beside the records, in the order
// they came, each written once (never replaced); at most kMaxQueued of them wait at
// once, more are refused (PutEvent returns 0). They are written after the records of
// the same attempt and kept in the same spool. Audit entries (what the station did with
// its job) wait the same way, in their own queue, written after the events.
//
// With a spool file (records/Spool.h), nothing waiting is lost when the station ends:
// after every attempt that failed, the waiting records are kept in the spool
// (replaced atomically), and once they are written the spool is emptied. The spool's
// records are queued again when the next writer starts, and written at once.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "records/RecordStore.h"

class RecordWriter {
 public:
  static constexpr size_t kMaxQueued = 1024;
  static constexpr size_t kMaxMessages = 64;
  static constexpr int kRetryMs = 5000;

  // The store is opened on the writer's thread when the first record, event or audit
  // entry comes (a station that never runs nor writes its trail leaves no file behind);
  // countStation: whose records of today Today() counts.
  // spoolPath: where waiting records are kept ("" none).
  RecordWriter(std::unique_ptr<RecordStore> store, std::string countStation,
               std::string spoolPath = "");
  // Tries once more to write what is queued, then ends the thread.
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Queues a copy of the record; its ticket, or 0 when the queue is full.
  uint64_t Put(const UnitRecord& record);
  // Queues a copy of the event; its ticket, or 0 when the events' queue is full.
  uint64_t PutEvent(const UnitEvent& event);
  // Queues a copy of the audit entry; its ticket, or 0 when the audit queue is full.
  uint64_t PutAudit(const AuditEntry& entry);
  // Waits at most `timeout` until every record and event queued up to `ticket` has been
  // tried. True when none of them is left unwritten.
  bool Flush(uint64_t ticket, std::chrono::milliseconds timeout);
  // Asks for one more attempt now and waits at most `timeout` for it. True when nothing
  // is left waiting.
  bool Retry(std::chrono::milliseconds timeout);
  // The records still waiting to be written.
  size_t Queued() const;
  // The unit events still waiting to be written.
  size_t QueuedEvents() const;
  // The audit entries still waiting to be written.
  size_t QueuedAudits() const;
  // What is wrong with the store now ("" when the last attempt worked).
  std::string Problem() const;
  // Texts for the message log since the last call: the store failing, or working again.
  std::vector<std::string> TakeMessages();
  bool HasMessages() const;
  // The station's records started today (local day) per verdict, as of the last write
  // or open; known is false until the store was read once.
  struct Counts {
    bool known = false;
    int64_t passed = 0;
    int64_t failed = 0;
    int64_t temporary = 0;  // left with the temporary MAC address
  };
  Counts Today() const;
  const std::string& Describe() const { return describe_; }
  const std::string& SpoolPath() const { return spoolPath_; }
  // The waiting records and events that are kept in the spool now.
  size_t Spooled() const;

 private:
  using Key = std::tuple<std::string, std::string, std::string, int>;  // the record's key
  struct Entry {
    UnitRecord record;
    uint64_t ticket;
  };
  struct EventEntry {
    UnitEvent event;
    uint64_t ticket;
  };
  struct AuditQueued {
    AuditEntry entry;
    uint64_t ticket;
  };
  // What one attempt writes, and which parts of it were written (an empty part counts
  // as written).
  struct Batch {
    std::vector<UnitRecord> records;
    std::vector<UnitEvent> events;
    std::vector<AuditEntry> audits;
    bool recordsOk = false, eventsOk = false, auditsOk = false;
  };
  void Run();
  // One attempt: open when needed, write the records, then the events, then the audit
  // entries, count today's records. Writer thread only; sets the batch's parts written;
  // false with *problem set when the store failed.
  bool Attempt(Batch* batch, std::string* problem);
  // Under m_: nothing waits to be written.
  bool NothingWaits() const { return queue_.empty() && events_.empty() && audits_.empty(); }
  // Reads today's counts of the station's records from the open store (writer thread).
  void CountToday();
  void SetProblem(const std::string& problem);  // under m_
  void Message(const std::string& text);        // under m_
  // Writer thread, with m_ held (released while the file is written): keeps what
  // waits in the spool when it changed since the last time, or empties the spool once
  // nothing waits. written: the last attempt worked.
  void UpdateSpool(std::unique_lock<std::mutex>& lock, bool written);

  std::unique_ptr<RecordStore> store_;  // the writer thread's alone once it runs
  const std::string countStation_;
  const std::string describe_;
  const std::string spoolPath_;

  mutable std::mutex m_;
  std::condition_variable wake_;
  std::condition_variable progress_;
  std::map<Key, Entry> queue_;
  std::deque<EventEntry> events_;   // in the order they came
  std::deque<AuditQueued> audits_;  // in the order they came
  uint64_t nextTicket_ = 1;
  uint64_t triedTicket_ = 0;  // every ticket up to this one has been tried
  bool work_ = false;         // something to try (set by Put)
  uint64_t attempts_ = 0;     // attempts made
  bool stop_ = false;
  std::string problem_;
  uint64_t spoolTicket_ = 0;   // the newest ticket in the spool as last written
  size_t spooled_ = 0;         // records and events in the spool as last written
  bool spoolDamaged_ = false;  // an unreadable spool is left as it is
  std::deque<std::string> messages_;
  Counts today_;
  std::thread thread_;
};
