#include "sim/model/XmodemReceiver.h"

#include <cstdio>

uint16_t Crc16Xmodem(const uint8_t* data, size_t len) {
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc = static_cast<uint16_t>(crc ^ (uint16_t{data[i]} << 8));
    for (int b = 0; b < 8; ++b) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

void XmodemReceiver::Violation(std::string text) {
  if (violations_.size() < 64) violations_.push_back(std::move(text));
}

size_t XmodemReceiver::Feed(const uint8_t* data, size_t len, std::string* reply, bool stopAtReply) {
  const size_t replied = reply->size();
  size_t i = 0;
  for (; i < len && !done_; ++i) {
    if (stopAtReply && reply->size() != replied) break;
    const uint8_t b = data[i];
    if (!packet_.empty()) {
      packet_.push_back(b);
      if (packet_.size() == kPacket) Packet(reply);
      continue;
    }
    if (b == kStx) {
      started_ = true;
      packet_.push_back(b);
      continue;
    }
    if (b == kEot && !garbage_) {
      started_ = true;
      if (eotNaks_ < opt_.eotNak) {
        ++eotNaks_;
        ++naks_;
        reply->push_back(static_cast<char>(kNak));
      } else if (!opt_.noEotAck) {
        reply->push_back(static_cast<char>(kAck));
        done_ = true;
      }
      continue;
    }
    // Before the first block the line still carries console text (a host that has
    // not started sending yet): not part of the transfer, and no reason to refuse.
    if (!started_) continue;
    // Anything else between blocks (a 128-byte SOH block, CAN, stray text) is not
    // part of the transfer: ignored until the line is quiet, then the block is asked
    // for again.
    if (!garbage_) {
      char t[96];
      std::snprintf(t, sizeof t, "xmodem: byte 0x%02x where a block or EOT was expected (block %d)",
                    b, accepted_ + 1);
      Violation(t);
    }
    garbage_ = true;
  }
  return i;
}

void XmodemReceiver::Packet(std::string* reply) {
  const int index = accepted_ + 1;
  const uint8_t expected = static_cast<uint8_t>(index & 0xff);
  const uint8_t num = packet_[1], cmpl = packet_[2];
  const uint16_t crc = static_cast<uint16_t>((packet_[1027] << 8) | packet_[1028]);
  char t[128];
  bool ok = true;
  if (static_cast<uint8_t>(num ^ cmpl) != 0xff) {
    std::snprintf(t, sizeof t, "xmodem: block %d: number 0x%02x with complement 0x%02x", index, num,
                  cmpl);
    Violation(t);
    ok = false;
  } else if (Crc16Xmodem(packet_.data() + 3, 1024) != crc) {
    std::snprintf(t, sizeof t, "xmodem: block %d: CRC 0x%04x, computed 0x%04x", index, crc,
                  Crc16Xmodem(packet_.data() + 3, 1024));
    Violation(t);
    ok = false;
  } else if (num != expected) {
    if (accepted_ > 0 && num == static_cast<uint8_t>(expected - 1)) {
      // The sender did not see our ACK and sent the last block again: take it once.
      packet_.clear();
      reply->push_back(static_cast<char>(kAck));
      return;
    }
    std::snprintf(t, sizeof t, "xmodem: block number %u out of sequence (expected %u)", num,
                  expected);
    Violation(t);
    ok = false;
  } else if (data_.size() + 1024 > kMaxImage) {
    Violation("xmodem: image larger than the loader's buffer");
    ok = false;
  } else if (index == opt_.nakBlock && nakDone_ < opt_.nakTimes) {
    ++nakDone_;
    ok = false;
  }
  if (ok) {
    data_.insert(data_.end(), packet_.begin() + 3, packet_.begin() + 1027);
    ++accepted_;
    reply->push_back(static_cast<char>(kAck));
  } else {
    ++naks_;
    reply->push_back(static_cast<char>(kNak));
  }
  packet_.clear();
}

bool XmodemReceiver::Resync(std::string* reply) {
  if (done_ || (packet_.empty() && !garbage_)) return false;
  if (!packet_.empty()) {
    char t[96];
    std::snprintf(t, sizeof t, "xmodem: block %d incomplete (%zu of 1029 bytes)", accepted_ + 1,
                  packet_.size());
    Violation(t);
  }
  packet_.clear();
  garbage_ = false;
  ++naks_;
  reply->push_back(static_cast<char>(kNak));
  return true;
}
