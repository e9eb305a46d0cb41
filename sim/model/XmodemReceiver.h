#pragma once
// The receiving end of an XMODEM-1K transfer with CRC-16, as the device's loader
// runs it: 1029-byte STX blocks (block number, its complement, 1024 data bytes,
// CRC-16/XMODEM high byte first), answered with ACK or NAK; EOT is acknowledged.
// Timing (the "C" requests, quiet-line resynchronisation) belongs to the caller.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

uint16_t Crc16Xmodem(const uint8_t* data, size_t len);

class XmodemReceiver {
 public:
  static constexpr uint8_t kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kC = 0x43;
  static constexpr size_t kPacket = 1029;
  static constexpr size_t kMaxImage = 16u << 20;

  struct Options {
    int nakBlock = 0;  // 1-based index of a block to refuse ...
    int nakTimes = 0;  // ... this many times although it is correct
    int eotNak = 0;    // refuse the EOT this many times
    bool noEotAck = false;
  };
  XmodemReceiver() = default;
  explicit XmodemReceiver(Options o) : opt_(o) {}

  // Takes bytes from the sender; appends the replies (ACK / NAK bytes) to *reply.
  // With stopAtReply it stops right after the first byte that brought a reply (the
  // caller may want to answer later). Returns the number of bytes taken.
  size_t Feed(const uint8_t* data, size_t len, std::string* reply, bool stopAtReply = false);
  // The line was quiet while a block was incomplete or after stray bytes: drop them
  // and ask for the block again (NAK). Returns true when it did.
  bool Resync(std::string* reply);

  // A block or EOT has begun (console text before that is ignored).
  bool Started() const { return started_; }
  bool Done() const { return done_; }
  bool Partial() const { return !packet_.empty() || garbage_; }
  // Blocks taken so far.
  int BlocksAccepted() const { return accepted_; }
  int NaksSent() const { return naks_; }
  const std::vector<uint8_t>& Data() const { return data_; }
  // What the sender did that the loader does not accept.
  const std::vector<std::string>& Violations() const { return violations_; }

 private:
  void Violation(std::string text);
  void Packet(std::string* reply);
  Options opt_;
  std::vector<uint8_t> packet_;
  std::vector<uint8_t> data_;
  std::vector<std::string> violations_;
  int accepted_ = 0;
  int naks_ = 0;
  int nakDone_ = 0;
  int eotNaks_ = 0;
  bool started_ = false;
  bool done_ = false;
  bool garbage_ = false;
};
