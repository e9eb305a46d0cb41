#pragma once
// A station of test doubles for the loopback and MAC workers: inline UI thread,
// recording board, fake clock, in-memory serial lines (with a spy that records the
// port's stage entry at the moment the port is closed) and a scripted network.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/JobState.h"
#include "app/Station.h"
#include "fakes/TestBoard.h"
#include "platform/Network.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"

// A serial port that forwards to an in-memory port and notes the stage of its port
// entry when it is closed while open.
class SpyPort final : public SerialPort {
 public:
  SpyPort(std::unique_ptr<SerialPort> inner, StageTable* stages, int portIndex,
          std::vector<int32_t>* closeStages, std::mutex* m)
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
  std::vector<int32_t>* closeStages_;
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
  std::vector<int32_t> CloseStages() const {
    std::lock_guard<std::mutex> lock(m_);
    return closeStages_;
  }

 private:
  FakeSerialBus& bus_;
  StageTable& stages_;
  int portIndex_ = 0;
  mutable std::mutex m_;
  std::vector<int32_t> closeStages_;
};

// A network whose sockets follow a script: connect results in turn, what the
// readiness wait says, and the bytes one receive returns.
class ScriptedNetwork final : public Network {
 public:
  struct Script {
    int createResult = 0;
    std::deque<int> connectResults;  // empty: connects succeed
    int waitResult = 1;
    bool echo = true;     // receive returns what was sent ...
    std::string reply;    // ... otherwise these bytes
    long recvResult = 0;  // with reply empty and echo off: this count
  };

  class Socket final : public TcpSocket {
   public:
    explicit Socket(ScriptedNetwork& net) : net_(net) {}
    ~Socket() override { Close(); }
    int Create() override {
      std::lock_guard<std::mutex> lock(net_.m_);
      net_.creates++;
      if (net_.script.createResult != 0) return net_.script.createResult;
      open_ = true;
      net_.openSockets++;
      return 0;
    }
    int Connect(uint32_t ip, uint16_t port, uint32_t timeoutMs) override {
      std::lock_guard<std::mutex> lock(net_.m_);
      net_.connects.push_back({ip, port, timeoutMs});
      if (net_.script.connectResults.empty()) return 0;
      const int r = net_.script.connectResults.front();
      net_.script.connectResults.pop_front();
      return r;
    }
    long Send(const uint8_t* buf, size_t len) override {
      std::lock_guard<std::mutex> lock(net_.m_);
      net_.sent.emplace_back(reinterpret_cast<const char*>(buf), len);
      return static_cast<long>(len);
    }
    int WaitReadable(uint32_t timeoutMs) override {
      std::lock_guard<std::mutex> lock(net_.m_);
      net_.waits.push_back(timeoutMs);
      return net_.script.waitResult;
    }
    long Recv(uint8_t* buf, size_t max) override {
      std::lock_guard<std::mutex> lock(net_.m_);
      net_.recvMax.push_back(max);
      std::string data =
          net_.script.echo && !net_.sent.empty() ? net_.sent.back() : net_.script.reply;
      if (!net_.script.echo && data.empty()) return net_.script.recvResult;
      if (data.size() > max) data.resize(max);
      std::copy(data.begin(), data.end(), buf);
      return static_cast<long>(data.size());
    }
    void Close() override {
      std::lock_guard<std::mutex> lock(net_.m_);
      if (open_) {
        net_.closes++;
        net_.openSockets--;
      }
      open_ = false;
    }
    bool IsOpen() const override { return open_; }

   private:
    ScriptedNetwork& net_;
    bool open_ = false;
  };

  struct ConnectCall {
    uint32_t ip;
    uint16_t port;
    uint32_t timeoutMs;
  };

  std::unique_ptr<TcpSocket> NewSocket() override {
    if (throwOnNewSocket) throw std::runtime_error("socket table broken");
    return std::make_unique<Socket>(*this);
  }
  int AddressTable(std::vector<uint32_t>* out) override {
    out->clear();
    return 0;
  }

  // Set before the worker starts; read back after it has been joined.
  Script script;
  bool throwOnNewSocket = false;
  int creates = 0;
  int closes = 0;
  int openSockets = 0;
  std::vector<ConnectCall> connects;
  std::vector<std::string> sent;
  std::vector<uint32_t> waits;
  std::vector<size_t> recvMax;

 private:
  std::mutex m_;
};

// A data directory of its own (without ports/, so COMn is /dev/ttyS<n-1>).
inline std::string MakeTempDir() {
  char templ[] = "/tmp/pt_workers_XXXXXX";
  const char* dir = ::mkdtemp(templ);
  return dir ? std::string(dir) : std::string("/tmp");
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
  }
  ~WorkerRig() {
    std::string cmd = "rm -rf '" + dataDir + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
  // The in-memory line of COM<n>.
  std::shared_ptr<FakeLine> Line(int portNumber) { return bus.Line(ports.DevicePath(portNumber)); }

  std::string dataDir;
  InlineUiThread ui;
  RecordingBoard board;
  FakeClock clock;
  FakeSerialBus bus;
  PortMap ports;
  StageTable stages;
  SpySerialFactory serial;
  ScriptedNetwork net;
  JobState job;
  Station station;
};
