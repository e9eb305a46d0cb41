#include "factorydb/PgMacPool.h"

#include <cerrno>
#include <cstring>

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
      last_(kUnset) {}

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

void PgMacPool::Close() {
  if (link_.Connected() && !pending_.empty()) FlushOutcomes(PgLink::In(kCallBoundMs));
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
  pending_.push_back(Outcome{mac, outcome, run});
  const auto deadline = PgLink::In(kCallBoundMs);
  const int rc = Reach(deadline, true);
  if (rc != 0) return rc;
  return FlushOutcomes(deadline);
}

int PgMacPool::FlushOutcomes(PgLink::Deadline deadline) {
  while (!pending_.empty()) {
    if (!link_.Connected()) return ECONNRESET;
    const Outcome& o = pending_.front();
    PgRows rows;
    const int rc = link_.Exec(kSettle, {o.mac, MacOutcomeName(o.outcome), station_, o.run},
                              &rows, deadline);
    if (rc != 0) {
      if (!PgLink::IsLinkFailure(rc)) {
        // Refused for good (not a lost link): trying again would not help.
        Report("outcome of " + o.mac + " not recorded: " + link_.Error());
        pending_.pop_front();
        continue;
      }
      if (!link_.Connected()) {
        lastLinkError_ = rc;
        retryAfter_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryAfterMs);
      }
      return rc;
    }
    pending_.pop_front();
  }
  return 0;
}
