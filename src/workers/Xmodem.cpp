#include "workers/Xmodem.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/Sha256.h"
#include "base/Station.h"
#include "job/Logcfg.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "workers/ConsolePort.h"

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kStartRequest = 'C';

constexpr size_t kReplyChunk = 128;
constexpr uint32_t kIdleSleepMs = 300;
constexpr uint32_t kEotIdleSleepMs = 100;

// Offsets in the packet.
constexpr size_t kNumberAt = 1;
constexpr size_t kComplementAt = 2;
constexpr size_t kDataAt = 3;
constexpr size_t kCrcAt = kDataAt + kXmodemBlockSize;
// Data bytes of the first EEPROM block that hold the custom record's MAC address.
constexpr size_t kMacAt = 6;

enum class State { WaitStart, ReadBlock, SendBlock, WaitReply, SendEot, WaitEotReply, Done };

// Reads at most kReplyChunk queued bytes from the port and returns the count read;
// when nothing is queued it sleeps idleMs and returns 0. A port whose queue state or
// read fails has lost its device (an adapter pulled out): *error gets the system's
// error number and the caller ends the transfer at once.
size_t PollReplies(SerialPort* port, Clock& clock, uint32_t idleMs, uint8_t* buf, int* error) {
  *error = 0;
  uint32_t queued = 0;
  if (port == nullptr) {
    clock.SleepMs(idleMs);
    return 0;
  }
  if (const int rc = port->QueuedBytes(&queued)) {
    *error = rc;
    return 0;
  }
  if (queued == 0) {
    clock.SleepMs(idleMs);
    return 0;
  }
  size_t got = 0;
  if (const int rc = port->Read(buf, kReplyChunk, &got)) {
    *error = rc;
    return 0;
  }
  return got > kReplyChunk ? kReplyChunk : got;
}

// When the sender looks for replies. With the fixed pause it sleeps 200 ms after
// every packet write and idles 300 ms (100 ms for the EOT) between empty polls.
// ACK-paced it does not pause after a write: an empty poll sleeps while the packet
// can still be on the line, and for a block's reply also while the device took to
// answer at least (the shortest of its last replies, less a millisecond), then polls
// every millisecond (every 10 ms once the reply is 50 ms overdue).
class Pacer {
 public:
  Pacer(const XmodemPacing& pacing, Clock& clock)
      : pacing_(pacing), clock_(clock), ackPaced_(pacing.ackPaced), lineFreeAt_(clock.TickMs()) {}

  // After a write of `written` bytes of a packet; `complete` when the packet is out.
  void PacketWritten(size_t written, bool complete) {
    if (!ackPaced_) {
      clock_.SleepMs(kXmodemPacketPauseMs);
      return;
    }
    LineBusyFor(written);
    // A full driver queue: give the line time to take some of it.
    if (!complete) clock_.SleepMs(std::max<uint32_t>(1, WireMs(written)));
  }
  void EotWritten() {
    if (ackPaced_) LineBusyFor(1);
  }

  // The sleep after a poll that found nothing; spacedMs is the fixed pace's.
  uint32_t IdleMs(uint32_t spacedMs) const {
    return ackPaced_ ? SleepUntil(lineFreeAt_) : spacedMs;
  }
  // The same while waiting for a block's reply.
  uint32_t ReplyIdleMs(uint32_t spacedMs) const {
    if (!ackPaced_) return spacedMs;
    uint32_t lag = kMaxLagMs;
    for (uint32_t l : lags_) lag = std::min(lag, l);
    return SleepUntil(lineFreeAt_ + (lag > 0 ? lag - 1 : 0));
  }
  // A block's reply was found: how long after the line was free.
  void ReplySeen() {
    if (!ackPaced_) return;
    const int32_t lag = static_cast<int32_t>(clock_.TickMs() - lineFreeAt_);
    lags_[nextLag_] = static_cast<uint32_t>(std::clamp<int32_t>(lag, 0, kMaxLagMs));
    nextLag_ = (nextLag_ + 1) % kLags;
  }

  // A NAK: the pause is back for the rest of the transfer.
  void RestorePause(int32_t blockIndex) {
    if (!ackPaced_) return;
    ackPaced_ = false;
    if (pacing_.onPauseRestored) pacing_.onPauseRestored(blockIndex);
  }

 private:
  static constexpr uint32_t kFastOverdueMs = 50;
  static constexpr int32_t kMaxLagMs = 1000;
  static constexpr size_t kLags = 8;

  uint32_t SleepUntil(uint32_t target) const {
    const uint32_t now = clock_.TickMs();
    const int32_t ahead = static_cast<int32_t>(target - now);
    if (ahead > 0) return static_cast<uint32_t>(ahead);
    return TickDiff(now, target) < kFastOverdueMs ? 1 : 10;
  }
  // Whole milliseconds the line needs for n bytes (rounded down: never late).
  uint32_t WireMs(size_t n) const {
    if (pacing_.lineBaud == 0) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(n) * 10000 / pacing_.lineBaud);
  }
  void LineBusyFor(size_t n) { lineFreeAt_ = clock_.TickMs() + WireMs(n); }

  const XmodemPacing& pacing_;
  Clock& clock_;
  bool ackPaced_;
  uint32_t lineFreeAt_;
  uint32_t lags_[kLags] = {};  // the first replies are looked for from the line's end
  size_t nextLag_ = 0;
};

}  // namespace

uint16_t XmodemCrc16(const uint8_t* data, size_t len) {
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

int XmodemSend(ConsolePort& console, XmodemMode mode, const RunImage& runImage,
               const uint8_t (&tempMac)[6], const std::function<bool()>& terminateRequested,
               XmodemSent* sent, const XmodemPacing& pacing) {
  Clock& clock = *console.station().clock;
  Pacer pacer(pacing, clock);
  const bool eeprom = mode == XmodemMode::Eeprom;
  const char* name = console.portName.c_str();
  const char* what = eeprom ? "EEPROM" : "Firmware";

  console.ShowStatus("%s: Download %s...", name, what);

  // The image was read whole, once, when the run was set up, and those bytes are sent:
  // a file changed since never reaches a device as a mix of two images. Why it could
  // not be read is told here, when its transfer comes.
  switch (runImage.read) {
    case ImageRead::Ok:
      break;
    case ImageRead::OpenFailed:
      return kXmodemOpenFailed;
    case ImageRead::BadSize:
      return kXmodemBadImage;
    case ImageRead::ReadFailed:
      return kXmodemReadFailed;
  }
  const std::string& image = runImage.bytes;
  const uint64_t maxSize = eeprom ? kMaxEepromImageSize : kMaxFirmwareImageSize;
  if (image.empty() || image.size() > maxSize) return kXmodemBadImage;
  const size_t size = image.size();
  const size_t blocks = size / kXmodemBlockSize + (size % kXmodemBlockSize != 0 ? 1 : 0);
  Sha256 digest;
  if (sent) sent->fileBytes = static_cast<int64_t>(size);
  const int32_t totalBlocks = static_cast<int32_t>(blocks);
  size_t readOffset = 0;

  uint8_t packet[kXmodemPacketSize] = {};
  packet[0] = kStx;
  packet[kNumberAt] = 1;
  packet[kComplementAt] = 0xFE;
  int32_t blockIndex = 1;
  int result = kXmodemOk;
  uint32_t timer = clock.TickMs();
  int nakCount = 0;
  size_t sentOffset = 0;
  State state = State::WaitStart;
  uint8_t reply[kReplyChunk];
  int portError = 0;

  while (state != State::Done) {
    if (terminateRequested && terminateRequested()) {
      result = kXmodemTerminated;
      break;
    }
    switch (state) {
      case State::WaitStart: {
        if (pacing.startHeld && blockIndex == 1 && readOffset == 0) {
          state = State::ReadBlock;
          break;
        }
        const size_t got =
            PollReplies(console.port(), clock, pacer.IdleMs(kIdleSleepMs), reply, &portError);
        if (portError != 0) {
          result = kXmodemNoReply;
          state = State::Done;
        } else if (std::memchr(reply, kStartRequest, got) != nullptr) {
          state = State::ReadBlock;
        } else if (TickDiff(clock.TickMs(), timer) > kXmodemReplyTimeoutMs) {
          result = kXmodemNoReply;
          state = State::Done;
        }
        break;
      }

      case State::ReadBlock: {
        uint8_t* data = packet + kDataAt;
        const size_t got = std::min(kXmodemBlockSize, size - readOffset);
        std::memcpy(data, image.data() + readOffset, got);
        readOffset += got;
        if (got == 0) {
          timer = clock.TickMs();
          state = State::SendEot;
          break;
        }
        std::memset(data + got, 0, kXmodemBlockSize - got);
        if (eeprom && blockIndex == 1) {
          for (size_t i = 0; i < 6; ++i) data[kMacAt + i] = tempMac[5 - i];
        }
        const uint16_t crc = XmodemCrc16(data, kXmodemBlockSize);
        packet[kCrcAt] = static_cast<uint8_t>(crc >> 8);
        packet[kCrcAt + 1] = static_cast<uint8_t>(crc & 0xFF);
        timer = clock.TickMs();
        nakCount = 0;
        sentOffset = 0;
        state = State::SendBlock;
        break;
      }

      case State::SendBlock: {
        console.ShowProgress(blockIndex, totalBlocks, "%s: Download %s...%d/%d", name, what,
                             blockIndex, totalBlocks);
        size_t written = console.SendBytes(packet + sentOffset, kXmodemPacketSize - sentOffset);
        if (written > kXmodemPacketSize - sentOffset) written = kXmodemPacketSize - sentOffset;
        pacer.PacketWritten(written, sentOffset + written >= kXmodemPacketSize);
        sentOffset += written;
        if (sentOffset >= kXmodemPacketSize) {
          timer = clock.TickMs();
          state = State::WaitReply;
        } else if (TickDiff(clock.TickMs(), timer) > kXmodemWriteTimeoutMs) {
          result = kXmodemWriteTimeout;
          state = State::Done;
        }
        break;
      }

      case State::WaitReply: {
        const size_t got =
            PollReplies(console.port(), clock, pacer.ReplyIdleMs(kIdleSleepMs), reply, &portError);
        if (portError != 0) {
          result = kXmodemNoReply;
          state = State::Done;
          break;
        }
        bool answered = false;
        for (size_t i = 0; i < got && !answered; ++i) {
          if (reply[i] == kAck || reply[i] == kNak) pacer.ReplySeen();
          if (reply[i] == kAck) {
            answered = true;
            if (sent) {
              digest.Update(packet + kDataAt, kXmodemBlockSize);
              sent->bytes += static_cast<int64_t>(kXmodemBlockSize);
            }
            ++blockIndex;
            packet[kNumberAt] = static_cast<uint8_t>(packet[kNumberAt] + 1);
            packet[kComplementAt] = static_cast<uint8_t>(255 - packet[kNumberAt]);
            state = State::ReadBlock;
          } else if (reply[i] == kNak) {
            answered = true;
            pacer.RestorePause(blockIndex);
            if (nakCount >= kXmodemMaxRetransmissions) {
              result = kXmodemTooManyNaks;
              state = State::Done;
            } else {
              ++nakCount;
              sentOffset = 0;
              timer = clock.TickMs();
              state = State::SendBlock;
            }
          }
        }
        if (!answered && TickDiff(clock.TickMs(), timer) > kXmodemReplyTimeoutMs) {
          result = kXmodemNoReply;
          state = State::Done;
        }
        break;
      }

      case State::SendEot: {
        const uint8_t eot = kEot;
        console.SendBytes(&eot, 1);
        pacer.EotWritten();
        state = State::WaitEotReply;
        break;
      }

      case State::WaitEotReply: {
        const size_t got =
            PollReplies(console.port(), clock, pacer.IdleMs(kEotIdleSleepMs), reply, &portError);
        if (portError != 0) {
          result = kXmodemNoReply;
          state = State::Done;
          break;
        }
        for (size_t i = 0; i < got; ++i) {
          if (reply[i] == kAck) {
            result = kXmodemOk;
            state = State::Done;
            break;
          }
          if (reply[i] == kNak) {
            state = State::SendEot;
            break;
          }
        }
        if (state != State::Done && TickDiff(clock.TickMs(), timer) > kXmodemEotTimeoutMs) {
          result = kXmodemEotTimeout;
          state = State::Done;
        }
        break;
      }

      case State::Done:
        break;
    }
  }

  if (sent && result == kXmodemOk) sent->sha256 = digest.HexDigest();
  if (sent) sent->portError = portError;
  return result;
}
