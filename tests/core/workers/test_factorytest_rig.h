#pragma once
// A station of test doubles for the loopback and MAC workers: inline UI thread,
// recording board, fake clock, in-memory serial lines (with a spy that records the
// port's stage entry at the moment the port is closed) and the in-memory network.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/AnsweredAddresses.h"
#include "base/JobState.h"
#include "base/Station.h"
#include "base/fake/TestBoard.h"
#include "job/Logcfg.h"
#include "job/RunJobSetup.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeNetwork.h"
#include "platform/fake/FakeSerial.h"
#include "platform/fake/ScratchDir.h"

// A serial port that forwards to an in-memory port and notes the stage of its port
// entry when it is closed while open.
class SpyPort final : public SerialPort {
 public:
  SpyPort(std::unique_ptr<SerialPort> inner, StageTable* stages, int portIndex,
          std::vector<Stage>* closeStages, std::mutex* m)
      : inner_(std::move(inner)),
        stages_(stages),
        portIndex_(portIndex),
        closeStages_(closeStages),
        m_(m) {}
  ~SpyPort() override { Close(); }
  int Open(const std::string& p) override { return inner_->Open(p); }
  int SetQueueSizes(uint32_t i, uint32_t o) override { return inner_->SetQueueSizes(i, o); }
  int SetImmediateReadTimeouts() override { return inner_->SetImmediateReadTimeouts(); }
  int GetLineSettings() override { return inner_->GetLineSettings(); }
  int SetLineSettings(uint32_t b) override { return inner_->SetLineSettings(b); }
  int Purge() override { return inner_->Purge(); }
  int QueuedBytes(uint32_t* c) override { return inner_->QueuedBytes(c); }
  int Read(uint8_t* b, size_t m, size_t* g) override { return inner_->Read(b, m, g); }
  int Write(const uint8_t* b, size_t l, size_t* w) override { return inner_->Write(b, l, w); }
  void Close() override {
    if (inner_->IsOpen()) {
      std::lock_guard<std::mutex> lock(*m_);
      closeStages_->push_back(stages_->Get(portIndex_));
    }
    inner_->Close();
  }
  bool IsOpen() const override { return inner_->IsOpen(); }

 private:
  std::unique_ptr<SerialPort> inner_;
  StageTable* stages_;
  int portIndex_;
  std::vector<Stage>* closeStages_;
  std::mutex* m_;
};

class SpySerialFactory final : public SerialPortFactory {
 public:
  SpySerialFactory(FakeSerialBus& bus, StageTable& stages) : bus_(bus), stages_(stages) {}
  // The stage entry whose value is noted when a port closes.
  void Watch(int portIndex) { portIndex_ = portIndex; }
  std::unique_ptr<SerialPort> Create() override {
    return std::make_unique<SpyPort>(bus_.Create(), &stages_, portIndex_, &closeStages_, &m_);
  }
  std::vector<Stage> CloseStages() const {
    std::lock_guard<std::mutex> lock(m_);
    return closeStages_;
  }

 private:
  FakeSerialBus& bus_;
  StageTable& stages_;
  int portIndex_ = 0;
  mutable std::mutex m_;
  std::vector<Stage> closeStages_;
};

// A board that forwards to a recording board and throws where told: on one status
// text, or on every MAC line.
class TripBoard final : public Board {
 public:
  explicit TripBoard(RecordingBoard& inner) : inner_(inner) {}
  std::set<std::string> throwOnStatus;
  bool throwOnMacLine = false;
  bool foreign = false;  // throws an int, not a std::exception

  void ShowPortStatus(int i, const std::string& t) override {
    if (throwOnStatus.count(t) != 0) Throw("board broke at: " + t);
    inner_.ShowPortStatus(i, t);
  }
  void SetMacGridCell(int r, int c, const std::string& t) override {
    if (throwOnMacLine) Throw("grid gone");
    inner_.SetMacGridCell(r, c, t);
  }
  void AppendMessage(const std::string& t) override { inner_.AppendMessage(t); }
  void ClearMessages() override {}
  void ClearStatusGrid() override {}
  void ShowException(const std::string& m) override { inner_.ShowException(m); }
  void SetStartButton(bool) override {}
  void DispatcherEnded() override {}

 private:
  void Throw(const std::string& what) const {
    if (foreign) throw 7;
    throw std::runtime_error(what);
  }
  RecordingBoard& inner_;
};

// A data directory of its own (without ports/, so COMn is /dev/ttyS<n-1>).
inline std::string MakeTempDir() {
  return MakeScratchDir("workers");
}

struct WorkerRig {
  WorkerRig() : dataDir(MakeTempDir()), ports(dataDir), serial(bus, stages) {
    station.ui = &ui;
    station.board = &board;
    station.clock = &clock;
    station.serial = &serial;
    station.ports = &ports;
    station.net = &net;
    station.job = &job;
    station.stages = &stages;
    station.answered = &answered;
  }
  ~WorkerRig() { RemoveScratchDir(dataDir); }
  // The in-memory line of COM<n>.
  std::shared_ptr<FakeLine> Line(int portNumber) { return bus.Line(ports.DevicePath(portNumber)); }
  // The run job of job as a Start takes it now; kept for the rig's life, as workers
  // hold it by reference.
  const RunJob& Run() {
    runs.push_back(MakeRunJob(job, cfg, TestInterfaces{}, ""));
    return runs.back();
  }

  std::string dataDir;
  InlineUiThread ui;
  RecordingBoard board;
  FakeClock clock;
  FakeSerialBus bus;
  PortMap ports;
  StageTable stages;
  SpySerialFactory serial;
  FakeNetwork net{&clock};
  JobState job;
  StoredConfig cfg{dataDir, "storedCfg.txt"};
  AnsweredAddresses answered;
  Station station;
  std::deque<RunJob> runs;
};
