#pragma once
// A scripted device loader on a fake line, for the download worker tests. It keeps a
// time-ordered queue of what it prints (released by the fake clock, as a device on a
// real line answers only after some time), reacts to each host write like the
// device's console and loader do, and takes XMODEM-1K transfers.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "test_xmodem_rig.h"

namespace dltest {

constexpr char kFwLine[] = "fw = 2.12 build 0412\r\n";
constexpr char kBanner[] = "Varnix Serial Loader 1.3\r\n";
constexpr char kDownloading[] = "Downloading image...\r\n";
constexpr char kWriteFlash[] = "Write to Flash ...\r\n";
constexpr char kSaveEeprom[] = "save to eeprom ...\r\n";
constexpr char kVersion[] = "Serial device server firmware verison 2.12\r\n";
constexpr char kGlm[] = "%GLM 02:5C:3A:FF:FF:FF\r\n";
constexpr char kMismatch[] = "MAC don't match\r\n";

// "%02x," for every byte and "\r\n": the hex trace line of one read.
inline std::string Trace(const std::string& bytes) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (c == 0) continue;
    out += hex[c >> 4];
    out += hex[c & 15];
    out += ',';
  }
  return out + "\r\n";
}

class LoaderScript {
 public:
  // ---- knobs ----
  bool fwLineAtStart = true;       // prints the "fw =" line once after power-on
  bool silent = false;             // prints nothing and ignores everything
  bool ignoreAt = false;           // does not answer "@@" (silence in ProcFirmware/ProcEeprom)
  bool glmOnAt = false;            // answers "@@" with the "%GLM" line
  bool deadAfterTransfer = false;  // says nothing more after the first transfer
  int glmMismatches = 0;           // answers "$GLM" with "MAC don't match" this many times
  int nakTransfers = 0;            // NAKs every packet of this many first transfers
  int eotUnanswered = 0;           // never answers the EOT of this many first transfers
  uint32_t gapMs = 400;            // between printed pieces
  bool startWithLine = false;      // one "C", in the same piece as the "Downloading" line
  // Called with every host write before the device reacts (on the worker's thread).
  std::function<void(const std::string&)> onWrite;

  struct Transfer {
    bool firmware = false;
    std::string data;  // accepted blocks, in order
    bool complete = false;
  };

  LoaderScript(std::shared_ptr<FakeLine> line, FakeClock& clock)
      : line_(std::move(line)), clock_(clock), shared_(std::make_shared<Shared>()) {
    shared_->line = line_;
    line_->SetOnHostWrite([this](const std::string& bytes) { OnWrite(bytes); });
    clock_.AddListener([s = shared_](uint32_t now) { s->Release(now); });
  }
  ~LoaderScript() {
    line_->SetOnHostWrite(nullptr);
    std::lock_guard<std::mutex> lock(shared_->m);
    shared_->out.clear();
    shared_->line.reset();
  }

  // Schedules the power-on output; call before starting the worker.
  void PowerOn() {
    if (!silent && fwLineAtStart) Say(kFwLine);
  }

  // Prints bytes gapMs after the last scheduled piece (or after now).
  void Say(const std::string& bytes, uint32_t gap = 0) {
    std::lock_guard<std::mutex> lock(shared_->m);
    const uint64_t now = clock_.TickMs();
    uint64_t at = std::max<uint64_t>(now, shared_->last) + (gap ? gap : gapMs);
    shared_->last = at;
    shared_->out.emplace(std::make_pair(at, shared_->seq++), bytes);
  }

  // Everything handed to the device, for the report.
  std::vector<Transfer> transfers;
  std::vector<std::string> keys;  // host writes outside transfers, in order
  int packetsSeen = 0;

 private:
  struct Shared {
    std::mutex m;
    std::shared_ptr<FakeLine> line;
    std::map<std::pair<uint64_t, uint64_t>, std::string> out;
    uint64_t last = 0;
    uint64_t seq = 0;
    void Release(uint32_t now) {
      std::lock_guard<std::mutex> lock(m);
      while (!out.empty() && out.begin()->first.first <= now) {
        if (line) line->DeviceSend(out.begin()->second);
        out.erase(out.begin());
      }
    }
  };

  void OnWrite(const std::string& bytes) {
    if (onWrite) onWrite(bytes);
    if (silent) return;
    if (receiving_) {
      Receive(bytes);
      return;
    }
    keys.push_back(bytes);
    if (dead_) return;
    if (bytes == "$SES\r\n") {
      Say(kFwLine);
    } else if (bytes == "@@") {
      if (glmOnAt) {
        Say(kGlm);
      } else if (!ignoreAt) {
        Say(kBanner);
      }
    } else if (bytes == "U" || bytes == "E") {
      transfers.push_back(Transfer{bytes == "U", {}, false});
      receiving_ = true;
      buf_.clear();
      if (startWithLine) {
        Say(std::string(kDownloading) + "C");
      } else {
        Say(kDownloading);
        // "C" every second until the first block starts.
        for (int i = 0; i < 30; ++i) Say("C", 1000);
      }
    } else if (bytes == "R") {
      Say(kFwLine);
      Say(kVersion);
    } else if (bytes == "$GLM\r\n") {
      if (glmMismatches > 0) {
        --glmMismatches;
        Say(kMismatch);
      } else {
        Say(kGlm);
      }
    }
  }

  void Receive(const std::string& bytes) {
    if (buf_.empty() && !bytes.empty() && static_cast<uint8_t>(bytes[0]) == 0x02) DropPendingC();
    buf_ += bytes;
    Transfer& t = transfers.back();
    const bool nak = static_cast<int>(transfers.size()) <= nakTransfers;
    while (!buf_.empty()) {
      const uint8_t head = static_cast<uint8_t>(buf_[0]);
      if (head == 0x04) {
        buf_.clear();
        if (!nak && eotUnanswered > 0) {
          --eotUnanswered;  // the image is taken, but the acknowledgement is lost
        } else {
          Reply(nak ? 0x15 : 0x06);
        }
        if (nak) return;
        t.complete = true;
        receiving_ = false;
        if (deadAfterTransfer) {
          dead_ = true;
          return;
        }
        if (t.firmware) {
          Say(kWriteFlash);
          Say("-\r");
          Say("|\r");
        } else {
          Say(kSaveEeprom);
        }
        Say(kBanner);
        return;
      }
      if (buf_.size() < kXmodemPacketSize) return;
      ++packetsSeen;
      const std::string data = buf_.substr(3, kXmodemBlockSize);
      const uint16_t crc = static_cast<uint16_t>((static_cast<uint8_t>(buf_[1027]) << 8) |
                                                 static_cast<uint8_t>(buf_[1028]));
      const bool good = crc == ReferenceCrc(data);
      buf_.erase(0, kXmodemPacketSize);
      if (nak || !good) {
        Reply(0x15);
        if (nak && packetsSeen % 12 == 0) receiving_ = false;  // the sender has given up
        continue;
      }
      t.data += data;
      Reply(0x06);
    }
  }

  void Reply(uint8_t b) { Say(std::string(1, static_cast<char>(b)), 1); }

  void DropPendingC() {
    std::lock_guard<std::mutex> lock(shared_->m);
    for (auto it = shared_->out.begin(); it != shared_->out.end();) {
      it = it->second == "C" ? shared_->out.erase(it) : std::next(it);
    }
    shared_->last = clock_.TickMs();
  }

  std::shared_ptr<FakeLine> line_;
  FakeClock& clock_;
  std::shared_ptr<Shared> shared_;
  bool receiving_ = false;
  bool dead_ = false;
  std::string buf_;
};

}  // namespace dltest
