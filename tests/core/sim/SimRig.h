#pragma once
// A host end for the in-memory simulated device: a station on a fake serial bus and a
// fake clock, a ConsolePort on COM3, and helpers that read in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "base/Station.h"
#include "base/fake/TestBoard.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "sim/model/SimDevice.h"
#include "sim/model/XmodemReceiver.h"
#include "workers/ConsolePort.h"

struct SimRig {
  explicit SimRig(SimOptions opt = {}) {
    st.ui = &ui;
    st.board = &board;
    st.clock = &clock;
    st.serial = &bus;
    st.ports = &ports;
    dev = std::make_unique<SimDevice>(bus.Line(ports.DevicePath(3)), clock, opt);
    cp = std::make_unique<ConsolePort>(st, 3, 0);
    EXPECT_EQ(0, cp->OpenConsolePort(115200));
  }
  ~SimRig() {
    cp.reset();
    dev.reset();
  }

  // One polling read; returns what it stored (0x00 bytes are skipped by the port).
  std::string ReadOnce() {
    cp->recvCount = 0;
    cp->ReadAvailable();
    return std::string(cp->recvBuf, static_cast<size_t>(cp->recvCount));
  }
  // Polls until `until` was read or maxMs of virtual time passed; everything read.
  std::string ReadUntil(const std::string& until, uint32_t maxMs = 10000) {
    std::string got;
    const uint32_t start = clock.TickMs();
    while (clock.TickMs() - start < maxMs) {
      clock.SleepMs(10);
      got += ReadOnce();
      if (!until.empty() && got.find(until) != std::string::npos) break;
    }
    return got;
  }
  // Polls every millisecond of virtual time until `until` was read or maxMs passed,
  // reading the port directly (the console port pauses 300 ms when nothing is queued);
  // everything read. *most: the most bytes one poll found.
  std::string PollUntil(const std::string& until, uint32_t maxMs = 5000, size_t* most = nullptr) {
    std::string got;
    const uint32_t start = clock.TickMs();
    while (got.find(until) == std::string::npos && clock.TickMs() - start < maxMs) {
      clock.SleepMs(1);
      uint8_t buf[256];
      size_t n = 0;
      EXPECT_EQ(0, cp->port()->Read(buf, sizeof buf, &n));
      if (most) *most = std::max(*most, n);
      got.append(reinterpret_cast<const char*>(buf), n);
    }
    return got;
  }
  void Send(const std::string& s) { cp->SendBytes(s.data(), s.size()); }
  std::string Query(const char* cmd, int keyLen, int* rc) {
    std::string v;
    *rc = cp->ConsoleQuery(cmd, keyLen, &v);
    return v;
  }

  FakeSerialBus bus;
  FakeClock clock;
  InlineUiThread ui;
  RecordingBoard board;
  PortMap ports{"/nonexistent-sim-test-dir"};
  Station st;
  std::unique_ptr<SimDevice> dev;
  std::unique_ptr<ConsolePort> cp;
};

// An XMODEM-1K block as a correct sender frames it.
inline std::string XPacket(int index, const std::string& image) {
  std::string p(1029, '\0');
  p[0] = 0x02;
  p[1] = static_cast<char>(index & 0xff);
  p[2] = static_cast<char>(255 - (index & 0xff));
  const size_t from = static_cast<size_t>(index - 1) * 1024;
  for (size_t i = 0; i < 1024 && from + i < image.size(); ++i) p[3 + i] = image[from + i];
  const uint16_t crc = Crc16Xmodem(reinterpret_cast<const uint8_t*>(p.data()) + 3, 1024);
  p[1027] = static_cast<char>(crc >> 8);
  p[1028] = static_cast<char>(crc & 0xff);
  return p;
}
