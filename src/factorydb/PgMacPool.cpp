#include "factorydb/PgMacPool.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include "records/Spool.h"

namespace {

constexpr MacAddress kUnset{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// The block this station takes from: inside its permitted block ($1..$2), with
// addresses left when any has (the database's function, as every call of a station).
const char kReadBlock[] = "SELECT * FROM pt_block_for($1::integer, $2::integer)";

// One transaction: advance the first block with addresses left inside the permitted
// block and record the address as taken by this port; the primary key on mac_address
// refuses an address that was ever taken before. Answers the address and where the
// next one comes from (the next block once this one is used up).
const char kTake[] = "SELECT * FROM pt_take($1::integer, $2::integer, $3, $4, $5)";

// Only the station and run that took the address may settle it.
const char kSettle[] = "SELECT pt_settle($1, $2, $3, $4)";

MacAddress Compose(uint32_t prefix, uint32_t low) {
  return MacAddress{static_cast<uint8_t>(prefix >> 16), static_cast<uint8_t>(prefix >> 8),
                    static_cast<uint8_t>(prefix),       static_cast<uint8_t>(low >> 16),
                    static_cast<uint8_t>(low >> 8),     static_cast<uint8_t>(low)};
}

bool ToU24(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 0xFFFFFF + 1) return false;
  *value = v;
  return true;
}

}  // namespace

PgMacPool::PgMacPool(const std::string& conninfo, const std::string& station)
    : link_(conninfo, "production-tool " + station, kStatementTimeoutMs),
      station_(station),
      conninfoOk_(PgLink::CheckConninfo(conninfo, &conninfoProblem_)),
      next_(kUnset),
      last_(kUnset) {
  link_.SetNoticeSink([this](const std::string& text) { Report(text); });
}

PgMacPool::~PgMacPool() {
  Close();
}

void PgMacPool::Report(const std::string& text) {
  if (sink_) sink_("factory database: " + text);
}

void PgMacPool::SetRange(uint32_t prefix, uint32_t next, uint32_t last) {
  std::lock_guard<std::mutex> lock(rangeMutex_);
  next_ = Compose(prefix, next);
  last_ = Compose(prefix, last);
}

void PgMacPool::ClearRange() {
  std::lock_guard<std::mutex> lock(rangeMutex_);
  next_ = kUnset;
  last_ = kUnset;
}

bool PgMacPool::IsLoaded() const {
  std::lock_guard<std::mutex> lock(rangeMutex_);
  return loaded_;
}

std::string PgMacPool::Describe() const {
  return "PostgreSQL " + link_.Describe() + ", station " + station_;
}

int PgMacPool::Reach(PgLink::Deadline deadline, bool honourRetryPause) {
  if (link_.Connected()) return 0;
  if (honourRetryPause && lastLinkError_ != 0 && std::chrono::steady_clock::now() < retryAfter_) {
    return lastLinkError_;
  }
  const int rc = link_.Connect(deadline);
  if (rc != 0) {
    lastLinkError_ = rc;
    retryAfter_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryAfterMs);
    Report(link_.Error());
    return rc;
  }
  lastLinkError_ = 0;
  return 0;
}

int PgMacPool::Load() {
  {
    std::lock_guard<std::mutex> lock(rangeMutex_);
    loaded_ = false;
  }
  ClearRange();
  if (!conninfoOk_) {
    Report("the connection string cannot be used: " + conninfoProblem_);
    return -1;
  }
  const auto deadline = PgLink::In(kCallBoundMs);
  int rc = Reach(deadline, false);
  if (rc != 0) return rc;
  FlushOutcomes(deadline);
  PgRows rows;
  rc = link_.Exec(kReadBlock, {std::to_string(MacBlockFirst), std::to_string(MacBlockLast)}, &rows,
                  deadline);
  if (rc != 0 && (link_.SqlState() == "42P01" || link_.SqlState() == "42883")) {
    Report("no MAC pool tables or functions (create or upgrade them with factory-db init)");
    return kNoSchema;
  }
  // A connection from before a database restart: one new connection, one more try.
  if (rc == ECONNRESET && !link_.Connected()) {
    rc = Reach(deadline, false);
    if (rc == 0) {
      rc = link_.Exec(kReadBlock, {std::to_string(MacBlockFirst), std::to_string(MacBlockLast)},
                      &rows, deadline);
    }
  }
  if (rc != 0) {
    Report(link_.Error());
    return rc;
  }
  uint32_t prefix = 0, next = 0, last = 0;
  if (rows.rows.size() == 1 && ToU24(rows.rows[0][0], &prefix) && ToU24(rows.rows[0][1], &next) &&
      ToU24(rows.rows[0][2], &last)) {
    SetRange(prefix, next, last);
  } else {
    char text[96];
    std::snprintf(text, sizeof text, "no MAC block inside %02X:%02X:%02X ~ %02X:%02X:%02X",
                  MacBlockFirst >> 16, (MacBlockFirst >> 8) & 0xFF, MacBlockFirst & 0xFF,
                  MacBlockLast >> 16, (MacBlockLast >> 8) & 0xFF, MacBlockLast & 0xFF);
    Report(text);
  }
  std::lock_guard<std::mutex> lock(rangeMutex_);
  loaded_ = true;
  return 0;
}

void PgMacPool::SetSpoolFile(const std::string& path) {
  spoolPath_ = path;
  std::vector<SpoolFields> entries;
  const int e = ReadSpool(path, &entries);
  if (e != 0) {
    spoolDamaged_ = true;
    Report(path + " cannot be read (error " + std::to_string(e) + "); it is left as it is");
    return;
  }
  for (const SpoolFields& f : entries) {
    // mac, outcome, station, run
    if (f.size() != 4 || !f[0] || !f[1] || !f[2] || !f[3]) continue;
    MacOutcome outcome = MacOutcome::Failed;
    if (!MacOutcomeFromName(*f[1], &outcome)) continue;
    if (pending_.size() < kMaxPendingOutcomes)
      pending_.push_back(Outcome{*f[0], outcome, *f[3], *f[2]});
  }
  spooled_ = pending_.size();
  spooledChange_ = changes_;
  if (!pending_.empty()) {
    Report(std::to_string(pending_.size()) + " outcome(s) of earlier runs waiting in " + path +
           ", recorded with the next database call");
  }
}

void PgMacPool::UpdateSpool() {
  if (spoolPath_.empty() || spoolDamaged_ || spooledChange_ == changes_) return;
  if (pending_.empty() && spooled_ == 0) {
    spooledChange_ = changes_;
    return;
  }
  std::vector<SpoolFields> entries;
  for (const Outcome& o : pending_) {
    entries.push_back({o.mac, MacOutcomeName(o.outcome), o.station, o.run});
  }
  const int e = WriteSpool(spoolPath_, entries);
  if (e != 0) {
    Report("cannot keep " + std::to_string(entries.size()) + " waiting outcome(s) in " +
           spoolPath_ + " (error " + std::to_string(e) + ")");
    return;
  }
  spooled_ = entries.size();
  spooledChange_ = changes_;
}

void PgMacPool::FinishRun() {
  if (pending_.empty()) return;
  // A database that just restarted answers again within a few seconds.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFinishMs);
  while (!pending_.empty() && std::chrono::steady_clock::now() < end) {
    const auto deadline = PgLink::In(kCallBoundMs);
    if (Reach(deadline, false) == 0) FlushOutcomes(deadline);
    if (!pending_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  UpdateSpool();
  if (!pending_.empty()) {
    Report(std::to_string(pending_.size()) + " outcome(s) not recorded yet" +
           (spoolPath_.empty() ? std::string() : ", kept in " + spoolPath_) +
           " and recorded with the next database call");
  }
}

void PgMacPool::Close() {
  if (!pending_.empty()) {
    // One more try (a new connection if need be) before what waits goes to the spool.
    const auto deadline = PgLink::In(kCallBoundMs);
    if (Reach(deadline, false) == 0) FlushOutcomes(deadline);
    UpdateSpool();
  }
  link_.Disconnect();
  std::lock_guard<std::mutex> lock(rangeMutex_);
  loaded_ = false;
  next_ = kUnset;
  last_ = kUnset;
}

bool PgMacPool::IsAvailable() const {
  std::lock_guard<std::mutex> lock(rangeMutex_);
  if (next_[0] == 0xFF || last_[0] == 0xFF) return false;
  const uint32_t a = Low24(next_);
  const uint32_t b = Low24(last_);
  if (a < MacBlockFirst || a > MacBlockLast) return false;
  if (b < MacBlockFirst || b > MacBlockLast) return false;
  return b >= a;
}

bool PgMacPool::GetRange(std::string* nextText, std::string* lastText) const {
  if (!IsAvailable()) return false;
  std::lock_guard<std::mutex> lock(rangeMutex_);
  if (nextText) *nextText = FormatMac(next_);
  if (lastText) *lastText = FormatMac(last_);
  return true;
}

int PgMacPool::GetAssignState(std::string* text) const {
  std::lock_guard<std::mutex> lock(rangeMutex_);
  if (next_[0] == 0xFF || last_[0] == 0xFF) return -1;
  const uint32_t a = Low24(next_);
  const uint32_t b = Low24(last_);
  if (a < MacBlockFirst) return -1;
  if (b < MacBlockFirst || b > MacBlockLast) return -1;
  if (b >= a) return 0;
  if (a == b + 1) {
    if (text) *text = FormatMac(last_);
    return 1;
  }
  return -1;
}

int PgMacPool::TakeNextFor(const std::string& port, const std::string& run, MacAddress* address) {
  (*address)[0] = 0xFF;
  if (!IsAvailable()) return -1;
  const auto deadline = PgLink::In(kCallBoundMs);
  const bool wasConnected = link_.Connected();
  int rc = Reach(deadline, true);
  if (rc != 0) return rc;
  FlushOutcomes(deadline);
  const std::vector<std::string> params = {std::to_string(MacBlockFirst),
                                           std::to_string(MacBlockLast), station_, port, run};
  PgRows rows;
  rc = link_.Exec(kTake, params, &rows, deadline);
  if (rc == ECONNRESET && wasConnected && !link_.Connected()) {
    // A connection from before a database restart: one new connection and one more
    // try. Had the lost statement been committed after all, its address stays
    // recorded as taken by this port and is never handed out.
    rc = Reach(deadline, false);
    if (rc != 0) return rc;  // Reach told the message log why
    rc = link_.Exec(kTake, params, &rows, deadline);
  }
  if (rc != 0) {
    if (PgLink::IsLinkFailure(rc) && !link_.Connected()) {
      lastLinkError_ = rc;
      retryAfter_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryAfterMs);
    }
    Report("no address taken: " + link_.Error());
    return rc;
  }
  uint32_t prefix = 0, low = 0, nextPrefix = 0, next = 0, last = 0;
  if (rows.rows.size() != 1 || rows.rows[0].size() != 6 || !ToU24(rows.rows[0][0], &prefix) ||
      !ToU24(rows.rows[0][1], &low) || !ToU24(rows.rows[0][2], &nextPrefix) ||
      !ToU24(rows.rows[0][3], &next) || !ToU24(rows.rows[0][4], &last)) {
    // Nothing left inside the permitted block (another station took the last one).
    std::lock_guard<std::mutex> lock(rangeMutex_);
    if (last_[0] != 0xFF) {
      const uint32_t past = Low24(last_) + 1;
      next_[3] = static_cast<uint8_t>(past >> 16);
      next_[4] = static_cast<uint8_t>(past >> 8);
      next_[5] = static_cast<uint8_t>(past);
    }
    return -1;
  }
  *address = Compose(prefix, low);
  SetRange(nextPrefix, next, last);
  if (takenRuns_.size() >= kMaxPendingOutcomes) takenRuns_.pop_front();
  takenRuns_.push_back({FormatMac(*address), run});
  return 0;
}

int PgMacPool::Settle(const MacAddress& address, MacOutcome outcome) {
  if (pending_.size() >= kMaxPendingOutcomes) {
    // The oldest outcome is given up: its address stays recorded as taken.
    Report("outcome of " + pending_.front().mac + " not recorded (too many waiting)");
    pending_.pop_front();
    changes_++;
  }
  const std::string mac = FormatMac(address);
  std::string run;
  for (auto it = takenRuns_.begin(); it != takenRuns_.end(); ++it) {
    if (it->first == mac) {
      run = it->second;
      takenRuns_.erase(it);
      break;
    }
  }
  pending_.push_back(Outcome{mac, outcome, run, station_});
  changes_++;
  const auto deadline = PgLink::In(kCallBoundMs);
  int rc = Reach(deadline, true);
  if (rc == 0) rc = FlushOutcomes(deadline);
  // Kept on disk at once: a station killed now still has it.
  UpdateSpool();
  return rc;
}

int PgMacPool::FlushOutcomes(PgLink::Deadline deadline) {
  while (!pending_.empty()) {
    if (!link_.Connected()) return ECONNRESET;
    const Outcome& o = pending_.front();
    PgRows rows;
    const int rc =
        link_.Exec(kSettle, {o.mac, MacOutcomeName(o.outcome), o.station, o.run}, &rows, deadline);
    if (rc != 0) {
      if (!PgLink::IsLinkFailure(rc)) {
        // Refused for good (not a lost link): trying again would not help.
        Report("outcome of " + o.mac + " not recorded: " + link_.Error());
        pending_.pop_front();
        changes_++;
        continue;
      }
      if (!link_.Connected()) {
        lastLinkError_ = rc;
        retryAfter_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryAfterMs);
      }
      return rc;
    }
    pending_.pop_front();
    changes_++;
  }
  UpdateSpool();
  return 0;
}
