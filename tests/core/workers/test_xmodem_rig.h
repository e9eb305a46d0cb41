#pragma once
// A station on the fake serial bus and the fake clock, and a scripted XMODEM-1K
// receiver on the device side of a fake line, for the sender and download worker
// tests.
#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/JobState.h"
#include "base/Station.h"
#include "base/fake/TestBoard.h"
#include "job/Logcfg.h"
#include "job/RunJobSetup.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "platform/fake/ScratchDir.h"
#include "workers/Xmodem.h"

namespace dltest {

inline std::string MakeTempDir(const char* tag) {
  return MakeScratchDir(tag);
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// Bytes 0..n-1 with a pattern that has no long runs and no zero at 1024-byte block
// boundaries, so padding and block order are visible.
inline std::string Pattern(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>((x >> 16) | 1);
  }
  return s;
}

// Open file descriptors of this process (to see that every path closes the image).
inline size_t OpenFdCount() {
#ifdef _WIN32
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  return handles;
#endif
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it) {
    ++n;
  }
  return n;
}

// CRC-16/XMODEM computed independently of the sender (table-driven).
inline uint16_t ReferenceCrc(const std::string& data) {
  static const auto table = [] {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i << 8);
      for (int b = 0; b < 8; ++b)
        c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
      t[i] = c;
    }
    return t;
  }();
  uint16_t crc = 0;
  for (unsigned char ch : data)
    crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ ch) & 0xFF]);
  return crc;
}

// A data directory with ports/, a station on a fake bus and clock. COM<n> is the
// fake line at ports/COM<n>.
struct Rig {
  Rig() : dir(MakeTempDir("dl")), cfg(dir, "storedCfg.txt"), ports(dir) {
    std::filesystem::create_directories(dir + "/ports");
    station.ui = &ui;
    station.board = &board;
    station.clock = &clock;
    station.serial = &bus;
    station.ports = &ports;
    station.job = &job;
    station.stages = &stages;
  }
  ~Rig() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::shared_ptr<FakeLine> Line(int portNumber) { return bus.Line(ports.DevicePath(portNumber)); }
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  // The run job of job and cfg as a Start takes it now (the images read); kept for the
  // rig's life, as workers hold it by reference.
  const RunJob& Run() {
    runs.push_back(MakeRunJob(job, cfg, TestInterfaces{}, ""));
    return runs.back();
  }

  std::string dir;
  FakeClock clock{100000};
  FakeSerialBus bus;
  InlineUiThread ui;
  RecordingBoard board;
  JobState job;
  StageTable stages;
  StoredConfig cfg;
  PortMap ports;
  Station station;
  std::deque<RunJob> runs;
};

// The device side of an XMODEM-1K receive on a fake line. It collects the host's
// bytes, takes STX packets and EOTs out of them and answers each through the reply
// policies (a reply of 0 sends nothing). Like a device on a real line, it answers
// only after some time has passed: a reply goes out at the next clock advance.
class Receiver {
 public:
  struct Packet {
    uint8_t number = 0, complement = 0;
    std::string data;
    bool crcOk = false;
    uint32_t at = 0;  // clock tick when its last byte arrived
  };

  Receiver(std::shared_ptr<FakeLine> line, FakeClock& clock)
      : line_(std::move(line)), clock_(clock), pending_(std::make_shared<Pending>()) {
    pending_->line = line_;
    line_->SetOnHostWrite([this](const std::string& bytes) { OnBytes(bytes); });
    clock_.AddListener([p = pending_](uint32_t) { p->Flush(); });
  }
  ~Receiver() {
    line_->SetOnHostWrite(nullptr);
    std::lock_guard<std::mutex> lock(pending_->m);
    pending_->bytes.clear();
    pending_->line.reset();
  }

  // Reply to the k-th packet (0-based, retransmissions counted).
  std::function<uint8_t(size_t k, const Packet& p)> packetReply = [](size_t, const Packet&) {
    return uint8_t{0x06};
  };
  // Reply to the k-th EOT.
  std::function<uint8_t(size_t k)> eotReply = [](size_t) { return uint8_t{0x06}; };

  void SendStart() { line_->DeviceSend("C"); }

  std::vector<Packet> packets;
  std::vector<uint32_t> eotTimes;
  std::string stray;  // bytes that were neither a packet nor an EOT

  // The file as received: the data of the accepted packets in order, a retransmitted
  // packet counted once.
  std::string Received() const {
    std::string out;
    int last = -1;
    for (const auto& p : packets) {
      if (p.number == last) continue;
      out += p.data;
      last = p.number;
    }
    return out;
  }

 private:
  void OnBytes(const std::string& bytes) {
    buf_ += bytes;
    for (;;) {
      if (buf_.empty()) return;
      const uint8_t head = static_cast<uint8_t>(buf_[0]);
      if (head == 0x04) {
        buf_.erase(0, 1);
        eotTimes.push_back(clock_.TickMs());
        Answer(eotReply(eotTimes.size() - 1));
        continue;
      }
      if (head != 0x02) {
        stray += buf_[0];
        buf_.erase(0, 1);
        continue;
      }
      if (buf_.size() < kXmodemPacketSize) return;
      Packet p;
      p.number = static_cast<uint8_t>(buf_[1]);
      p.complement = static_cast<uint8_t>(buf_[2]);
      p.data = buf_.substr(3, kXmodemBlockSize);
      const uint16_t crc = static_cast<uint16_t>((static_cast<uint8_t>(buf_[1027]) << 8) |
                                                 static_cast<uint8_t>(buf_[1028]));
      p.crcOk = crc == ReferenceCrc(p.data);
      p.at = clock_.TickMs();
      buf_.erase(0, kXmodemPacketSize);
      packets.push_back(p);
      Answer(packetReply(packets.size() - 1, packets.back()));
    }
  }
  // Replies waiting for the next clock advance. Shared with the clock's listener,
  // which outlives the receiver.
  struct Pending {
    std::mutex m;
    std::shared_ptr<FakeLine> line;
    std::string bytes;
    void Flush() {
      std::lock_guard<std::mutex> lock(m);
      if (line && !bytes.empty()) line->DeviceSend(bytes);
      bytes.clear();
    }
  };
  void Answer(uint8_t b) {
    if (b == 0) return;
    std::lock_guard<std::mutex> lock(pending_->m);
    pending_->bytes += static_cast<char>(b);
  }

  std::shared_ptr<FakeLine> line_;
  FakeClock& clock_;
  std::shared_ptr<Pending> pending_;
  std::string buf_;
};

}  // namespace dltest
