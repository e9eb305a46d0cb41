#include "sim/model/LineQueue.h"

#include <algorithm>

void LineQueue::Put(const char* data, size_t len, uint64_t nowUs) {
  if (len == 0) return;
  const uint64_t start = std::max(nowUs, lineFreeUs_);
  // Bytes at the same rate that follow a short last chunk without a gap join it (a
  // chunk stays short, so what was taken from it is soon freed).
  if (!chunks_.empty() && chunks_.back().baud == baud_ && chunks_.back().EndUs() == start &&
      chunks_.back().bytes.size() < kJoinBelow) {
    chunks_.back().bytes.append(data, len);
  } else {
    chunks_.push_back(Chunk{std::string(data, len), 0, start, baud_});
  }
  lineFreeUs_ = chunks_.back().EndUs();
  size_ += len;
}

size_t LineQueue::Due(uint64_t nowUs) const {
  size_t due = 0;
  for (const Chunk& c : chunks_) {
    const size_t left = c.bytes.size() - c.taken;
    if (c.EndUs() <= nowUs) {
      due += left;
      continue;
    }
    if (c.baud == 0 || nowUs < c.startUs) break;
    // Bytes of this chunk whose last bit is in by nowUs: i + 1 <= elapsed * baud / 1e7.
    const uint64_t arrived = (nowUs - c.startUs) * c.baud / 10'000'000;
    if (arrived > c.taken) due += static_cast<size_t>(arrived) - c.taken;
    break;
  }
  return due;
}

int64_t LineQueue::UsUntilNext(uint64_t nowUs) const {
  if (chunks_.empty()) return -1;
  const Chunk& c = chunks_.front();
  const uint64_t at = c.ArrivalUs(c.taken);
  return at <= nowUs ? 0 : static_cast<int64_t>(at - nowUs);
}

std::string LineQueue::Take(size_t n) {
  std::string out;
  n = std::min(n, size_);
  out.reserve(n);
  while (n > 0) {
    Chunk& c = chunks_.front();
    const size_t k = std::min(n, c.bytes.size() - c.taken);
    out.append(c.bytes, c.taken, k);
    c.taken += k;
    n -= k;
    size_ -= k;
    if (c.taken == c.bytes.size()) chunks_.pop_front();
  }
  return out;
}
