#pragma once
// XMODEM-1K sender with CRC-16, as the devices' serial loader receives it.
//
// Every block is a 1029-byte STX packet with 1024 data bytes (a short last block is
// padded with 0x00), the block number modulo 256 and its complement, and the
// big-endian CRC-16/XMODEM of the data. The transfer starts only on "C"; the sender
// pauses 200 ms after every packet write (or, ACK-paced, looks for the reply as soon
// as the packet can have crossed the line). In EEPROM mode the first block carries the
// port's temporary MAC address in data bytes 6..11 (last byte first); the image
// file itself is never changed.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/RunJob.h"

class ConsolePort;

enum class XmodemMode { Firmware, Eeprom };

// Results of XmodemSend.
constexpr int kXmodemOk = 0;
constexpr int kXmodemOpenFailed = -1;    // the image file cannot be opened
constexpr int kXmodemTerminated = -2;    // the worker was asked to stop
constexpr int kXmodemBadImage = -3;      // empty, or larger than the job allows
constexpr int kXmodemTooManyNaks = -4;   // a block was refused 12 times
constexpr int kXmodemNoReply = -5;       // no "C" / no block reply within 20 s, or the
                                         // port failed while waiting (XmodemSent::portError)
constexpr int kXmodemReadFailed = -6;    // the image file cannot be read whole
constexpr int kXmodemWriteTimeout = -8;  // a packet was not written within 3 s
constexpr int kXmodemEotTimeout = -9;    // the EOT was not acknowledged within 3 s

constexpr size_t kXmodemBlockSize = 1024;
constexpr size_t kXmodemPacketSize = kXmodemBlockSize + 5;

// Time limits (milliseconds) and the retransmission limit.
constexpr uint32_t kXmodemReplyTimeoutMs = 20000;
constexpr uint32_t kXmodemWriteTimeoutMs = 3000;
constexpr uint32_t kXmodemEotTimeoutMs = 3000;
constexpr uint32_t kXmodemPacketPauseMs = 200;
constexpr int kXmodemMaxRetransmissions = 11;

// What one transfer sent: the image file's size, and the data bytes of the blocks the
// receiver acknowledged (padding and the temporary MAC included) with their SHA-256,
// which is set only when the whole image went through.
struct XmodemSent {
  int64_t fileBytes = -1;
  int64_t bytes = 0;
  std::string sha256;
  // The system's error number of a failed read while waiting for the receiver (the
  // device is gone): the transfer ended at once with kXmodemNoReply. 0 otherwise.
  int portError = 0;
};

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
uint16_t XmodemCrc16(const uint8_t* data, size_t len);

// How the sender paces its packets. By default it pauses 200 ms after every packet
// write. ACK-paced, it looks for the reply at once: it sleeps only while the packet
// can still be on the line (at lineBaud, 10 bits a byte), then polls every
// millisecond. Every limit stays as it is (reply and write time-outs, retransmissions,
// EOT handling). A NAK in ACK-paced mode brings the 200 ms pause back for the rest of
// the transfer, and onPauseRestored is told the block index.
struct XmodemPacing {
  bool ackPaced = false;
  uint32_t lineBaud = 0;  // 0: not known; the sender polls from the start
  // The receiver's first "C" came in the same read as the line that announced the
  // transfer (the caller read it): the first block goes out without waiting for the
  // receiver to ask again.
  bool startHeld = false;
  std::function<void(int32_t blockIndex)> onPauseRestored;
};

// Sends the run's image over the console's port: the bytes read when the run was set
// up, checked against the job's size rules (an EEPROM image of 1 to 1152 bytes, a
// firmware image of 1 byte to 16 MB). An image that could not be read gives its result
// at once, after the first status text. No file is read here. tempMac is the port's
// temporary MAC address m0..m5 (used in EEPROM mode only). terminateRequested is asked
// once per pass. Progress texts go to the console's status cell; all waits go through
// the station's clock. Returns one of the kXmodem* results. When sent is given, it
// receives what was sent. pacing chooses the pause after every packet (the default) or
// ACK pacing.
int XmodemSend(ConsolePort& console, XmodemMode mode, const RunImage& image,
               const uint8_t (&tempMac)[6], const std::function<bool()>& terminateRequested,
               XmodemSent* sent = nullptr, const XmodemPacing& pacing = {});
