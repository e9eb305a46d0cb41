#pragma once
// In-memory serial ports for tests. A FakeSerialBus holds one FakeLine per device
// path; a FakeSerialPort opened on that path talks to the line's device side
// (a test script or the in-memory device simulator).
#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SerialPort.h"

class FakeLine {
 public:
  // ---- device side ----
  // Queues bytes for the host to read.
  void DeviceSend(const std::string& bytes);
  void DeviceSend(const uint8_t* data, size_t len);
  // Takes everything the host wrote since the last call.
  std::string DeviceTakeReceived();
  // Everything the host ever wrote, in order.
  std::string AllHostWrites() const;
  // Each host write as one entry (to check write boundaries and counts).
  std::vector<std::string> HostWriteLog() const;
  // Called (outside the line's lock) after each host write, with the bytes written.
  void SetOnHostWrite(std::function<void(const std::string&)> cb);

  // ---- fault injection: errno returned by the step, 0 = works ----
  int failOpen = 0;
  int failQueueSizes = 0;
  int failTimeouts = 0;
  int failGetState = 0;
  int failSetState = 0;
  int failPurge = 0;
  int failQueued = 0;
  int failRead = 0;
  int failWrite = 0;
  // Largest number of bytes one host write accepts (partial writes); 0 = no limit.
  size_t writeLimit = 0;
  // When set, host writes accept nothing (a stuck line).
  bool writeBlocked = false;
  // Present on the bus (a missing device fails Open with ENOENT).
  bool present = true;

  // ---- what the host did ----
  bool IsHeld() const;
  uint32_t baud() const;
  int openCount() const;
  int purgeCount() const;

 private:
  friend class FakeSerialPort;
  mutable std::mutex m_;
  std::deque<uint8_t> toHost_;
  std::string received_;
  std::string allWrites_;
  std::vector<std::string> writeLog_;
  std::function<void(const std::string&)> onHostWrite_;
  bool held_ = false;
  uint32_t baud_ = 0;
  int openCount_ = 0;
  int purgeCount_ = 0;
};

class FakeSerialBus final : public SerialPortFactory {
 public:
  // The line for a device path, created on first use.
  std::shared_ptr<FakeLine> Line(const std::string& devicePath);
  bool Has(const std::string& devicePath) const;
  std::unique_ptr<SerialPort> Create() override;

 private:
  mutable std::mutex m_;
  std::map<std::string, std::shared_ptr<FakeLine>> lines_;
};

class FakeSerialPort final : public SerialPort {
 public:
  explicit FakeSerialPort(FakeSerialBus& bus) : bus_(bus) {}
  ~FakeSerialPort() override { Close(); }
  int Open(const std::string& devicePath) override;
  int SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) override;
  int SetImmediateReadTimeouts() override;
  int GetLineSettings() override;
  int SetLineSettings(uint32_t baud) override;
  int Purge() override;
  int QueuedBytes(uint32_t* count) override;
  int Read(uint8_t* buf, size_t max, size_t* got) override;
  int Write(const uint8_t* buf, size_t len, size_t* written) override;
  void Close() override;
  bool IsOpen() const override { return line_ != nullptr; }

 private:
  FakeSerialBus& bus_;
  std::shared_ptr<FakeLine> line_;
};
