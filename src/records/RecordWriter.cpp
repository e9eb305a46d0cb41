#include "records/RecordWriter.h"

#include <utility>

#include "platform/Host.h"
#include "records/Spool.h"

RecordWriter::RecordWriter(std::unique_ptr<RecordStore> store, std::string countStation,
                           std::string spoolPath)
    : store_(std::move(store)),
      countStation_(std::move(countStation)),
      describe_(store_->Describe()),
      spoolPath_(std::move(spoolPath)) {
  if (!spoolPath_.empty()) {
    // What an earlier station could not write is written first.
    std::vector<SpoolFields> entries;
    const int e = ReadSpool(spoolPath_, &entries);
    if (e != 0) {
      spoolDamaged_ = true;
      Message("production records: " + spoolPath_ + " cannot be read (error " +
              std::to_string(e) + "); it is left as it is");
    }
    size_t bad = 0;
    for (const SpoolFields& f : entries) {
      if (IsAuditFields(f)) {
        AuditEntry a;
        if (!AuditFromFields(f, &a) || audits_.size() >= kMaxQueued) {
          bad++;
        } else {
          audits_.push_back(AuditQueued{std::move(a), nextTicket_++});
        }
        continue;
      }
      if (IsEventFields(f)) {
        UnitEvent ev;
        if (!EventFromFields(f, &ev) || events_.size() >= kMaxQueued) {
          bad++;
        } else {
          events_.push_back(EventEntry{std::move(ev), nextTicket_++});
        }
        continue;
      }
      UnitRecord r;
      if (!RecordFromFields(f, &r) || queue_.size() >= kMaxQueued) {
        bad++;
        continue;
      }
      Key key{r.station, r.runId, r.port, r.cycle};
      queue_[key] = Entry{std::move(r), nextTicket_++};
    }
    spooled_ = queue_.size() + events_.size() + audits_.size();
    spoolTicket_ = nextTicket_ - 1;
    if (!queue_.empty()) {
      Message("production records: " + std::to_string(queue_.size()) +
              " record(s) of earlier runs waiting in " + spoolPath_ + ", written to " + describe_ +
              " now");
    }
    if (!events_.empty()) {
      Message("production records: " + std::to_string(events_.size()) +
              " unit event(s) of earlier runs waiting in " + spoolPath_ + ", written to " +
              describe_ + " now");
    }
    if (!audits_.empty()) {
      Message("production records: " + std::to_string(audits_.size()) +
              " audit entr(ies) waiting in " + spoolPath_ + ", written to " + describe_ + " now");
    }
    work_ = spooled_ > 0;
    if (bad > 0) {
      Message("production records: " + std::to_string(bad) + " entr(ies) of " + spoolPath_ +
              " could not be used");
    }
  }
  thread_ = std::thread([this] { Run(); });
}

size_t RecordWriter::Spooled() const {
  std::lock_guard<std::mutex> lock(m_);
  return spooled_;
}

void RecordWriter::Message(const std::string& text) {
  if (messages_.size() >= kMaxMessages) messages_.pop_front();
  messages_.push_back(text);
}

void RecordWriter::UpdateSpool(std::unique_lock<std::mutex>& lock, bool written) {
  if (spoolPath_.empty() || spoolDamaged_) return;
  // After a write that worked, the spool changes only when it held records.
  if (written && spooled_ == 0) return;
  const uint64_t newest = nextTicket_ - 1;
  const size_t waiting = queue_.size() + events_.size() + audits_.size();
  if (waiting == 0 ? spooled_ == 0 : (newest == spoolTicket_ && spooled_ == waiting)) {
    return;  // the spool already holds what waits
  }
  std::vector<SpoolFields> entries;
  for (const auto& [key, q] : queue_) entries.push_back(RecordFields(q.record));
  // After the records: when not all fit, the newest entries are kept.
  for (const EventEntry& q : events_) entries.push_back(EventFields(q.event));
  for (const AuditQueued& q : audits_) entries.push_back(AuditFields(q.entry));
  const size_t count = entries.size();
  lock.unlock();
  size_t dropped = 0;
  const int e = WriteSpool(spoolPath_, entries, &dropped);
  lock.lock();
  if (e != 0) {
    Message("production records: cannot keep the " + std::to_string(count) +
            " waiting record(s) and event(s) in " + spoolPath_ + " (error " + std::to_string(e) +
            ")");
    return;
  }
  if (dropped > 0) {
    Message("production records: " + std::to_string(dropped) +
            " waiting record(s) or event(s) did not fit in " + spoolPath_ + " and are lost");
  }
  spoolTicket_ = newest;
  spooled_ = count - dropped;
}

RecordWriter::~RecordWriter() {
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
    work_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

uint64_t RecordWriter::Put(const UnitRecord& record) {
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(m_);
    Key key{record.station, record.runId, record.port, record.cycle};
    auto it = queue_.find(key);
    if (it == queue_.end() && queue_.size() >= kMaxQueued) return 0;
    ticket = nextTicket_++;
    if (it == queue_.end()) {
      queue_.emplace(std::move(key), Entry{record, ticket});
    } else {
      it->second = Entry{record, ticket};
    }
    work_ = true;
  }
  wake_.notify_all();
  return ticket;
}

uint64_t RecordWriter::PutEvent(const UnitEvent& event) {
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (events_.size() >= kMaxQueued) return 0;
    ticket = nextTicket_++;
    events_.push_back(EventEntry{event, ticket});
    work_ = true;
  }
  wake_.notify_all();
  return ticket;
}

uint64_t RecordWriter::PutAudit(const AuditEntry& entry) {
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (audits_.size() >= kMaxQueued) return 0;
    ticket = nextTicket_++;
    audits_.push_back(AuditQueued{entry, ticket});
    work_ = true;
  }
  wake_.notify_all();
  return ticket;
}

bool RecordWriter::Flush(uint64_t ticket, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_);
  if (!progress_.wait_for(lock, timeout, [&] { return triedTicket_ >= ticket; })) return false;
  for (const auto& [key, q] : queue_) {
    if (q.ticket <= ticket) return false;
  }
  for (const EventEntry& q : events_) {
    if (q.ticket <= ticket) return false;
  }
  for (const AuditQueued& q : audits_) {
    if (q.ticket <= ticket) return false;
  }
  return true;
}

bool RecordWriter::Retry(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_);
  if (NothingWaits()) return true;
  const uint64_t want = attempts_ + 1;
  work_ = true;
  wake_.notify_all();
  progress_.wait_for(lock, timeout, [&] { return attempts_ >= want; });
  return NothingWaits();
}

size_t RecordWriter::Queued() const {
  std::lock_guard<std::mutex> lock(m_);
  return queue_.size();
}

size_t RecordWriter::QueuedEvents() const {
  std::lock_guard<std::mutex> lock(m_);
  return events_.size();
}

size_t RecordWriter::QueuedAudits() const {
  std::lock_guard<std::mutex> lock(m_);
  return audits_.size();
}

std::string RecordWriter::Problem() const {
  std::lock_guard<std::mutex> lock(m_);
  return problem_;
}

std::vector<std::string> RecordWriter::TakeMessages() {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<std::string> out(messages_.begin(), messages_.end());
  messages_.clear();
  return out;
}

bool RecordWriter::HasMessages() const {
  std::lock_guard<std::mutex> lock(m_);
  return !messages_.empty();
}

RecordWriter::Counts RecordWriter::Today() const {
  std::lock_guard<std::mutex> lock(m_);
  return today_;
}

void RecordWriter::SetProblem(const std::string& problem) {
  if (problem == problem_) return;
  std::string text;
  if (!problem.empty()) {
    text = "production records: " + problem;
  } else {
    text = "production records: writing to " + describe_ + " again";
  }
  problem_ = problem;
  Message(text);
}

bool RecordWriter::Attempt(Batch* batch, std::string* problem) {
  batch->recordsOk = batch->records.empty();
  batch->eventsOk = batch->events.empty();
  batch->auditsOk = batch->audits.empty();
  if (!store_->IsOpen()) {
    if (!store_->Open(true, problem)) return false;
    CountToday();
  }
  // A part that fails: the store is opened anew at the next attempt (the file may have
  // been replaced or repaired).
  if (!batch->records.empty()) {
    if (!store_->Write(batch->records, problem)) {
      store_->Close();
      return false;
    }
    batch->recordsOk = true;
    CountToday();
  }
  if (!batch->events.empty()) {
    if (!store_->WriteEvents(batch->events, problem)) {
      store_->Close();
      return false;
    }
    batch->eventsOk = true;
  }
  if (!batch->audits.empty()) {
    if (!store_->WriteAudit(batch->audits, problem)) {
      store_->Close();
      return false;
    }
    batch->auditsOk = true;
  }
  return true;
}

void RecordWriter::CountToday() {
  RecordFilter today;
  today.station = countStation_;
  today.fromMs = LocalDayStartMs(WallClockMs());
  std::map<std::string, int64_t> counts;
  std::string countProblem;
  if (store_->CountVerdicts(today, &counts, &countProblem)) {
    std::lock_guard<std::mutex> lock(m_);
    today_.known = true;
    today_.passed = counts[kVerdictPassed];
    today_.failed = counts[kVerdictFailed];
    today_.temporary = counts[kVerdictTemporaryMac];
  }
}

void RecordWriter::Run() {
  std::unique_lock<std::mutex> lock(m_);
  bool lastFailed = false;
  for (;;) {
    if (!work_ && !stop_) {
      // Nothing new: wait for a record, or try the queued ones again after a while.
      if (lastFailed && !NothingWaits()) {
        wake_.wait_for(lock, std::chrono::milliseconds(kRetryMs), [&] { return work_ || stop_; });
      } else {
        wake_.wait(lock, [&] { return work_ || stop_; });
      }
    }
    const bool stopping = stop_;
    work_ = false;
    Batch batch;
    std::vector<std::pair<Key, uint64_t>> taken;
    uint64_t upTo = nextTicket_ - 1;
    for (const auto& [key, q] : queue_) {
      batch.records.push_back(q.record);
      taken.emplace_back(key, q.ticket);
    }
    for (const EventEntry& q : events_) batch.events.push_back(q.event);
    for (const AuditQueued& q : audits_) batch.audits.push_back(q.entry);
    if (NothingWaits()) {
      // Nothing to write: the store is not even opened.
      if (stopping) break;
      continue;
    }
    lock.unlock();
    std::string problem;
    const bool ok = Attempt(&batch, &problem);
    lock.lock();
    if (batch.recordsOk) {
      // A record handed in again while this batch was written stays queued.
      for (const auto& [key, ticket] : taken) {
        auto it = queue_.find(key);
        if (it != queue_.end() && it->second.ticket == ticket) queue_.erase(it);
      }
    }
    // Events and entries handed in meanwhile came after these, at the back.
    if (batch.eventsOk) {
      events_.erase(events_.begin(),
                    events_.begin() + static_cast<std::ptrdiff_t>(batch.events.size()));
    }
    if (batch.auditsOk) {
      audits_.erase(audits_.begin(),
                    audits_.begin() + static_cast<std::ptrdiff_t>(batch.audits.size()));
    }
    SetProblem(ok ? std::string() : problem);
    lastFailed = !ok;
    // Before the attempt counts as tried: a Flush that fails finds them kept on disk.
    UpdateSpool(lock, ok);
    attempts_++;
    if (upTo > triedTicket_) triedTicket_ = upTo;
    progress_.notify_all();
    if (stopping) break;
  }
}
