#pragma once
// A scripted device for the MAC programming worker on an in-memory serial line: it
// answers "$SYCXXMAC..." at once, and after "$SER\r\n" and "$GLM\r\n" prints its lines
// at given virtual times, at most one line per clock advance (so each line arrives in
// a read of its own, as from a real console).
#include <cctype>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"

// (ms after the command, text)
using MacDeviceTimed = std::vector<std::pair<uint32_t, std::string>>;

struct MacDeviceScript {
  std::string sycAnswer = "%SYCXXMAC OK\r\n";
  MacDeviceTimed bootLines = {{100, "fw = 1.0.3\r\n"}, {300, "verison 2.12\r\n"}};
  // "{mac}" stands for the address last written, as the device reports it.
  MacDeviceTimed glmLines = {{50, "%GLM {mac}\r\n"}};
  // Printed every `chatterEveryMs` after the reboot when set (a device that keeps
  // talking without ever saying "verison").
  uint32_t chatterEveryMs = 0;
  std::string chatter = "booting...\r\n";
};

struct MacDeviceState {
  void OnWrite(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m);
    auto l = line.lock();
    if (!l) return;
    const uint32_t now = clock->TickMs();
    if (bytes.rfind("$SYCXXMAC", 0) == 0) {
      commands.push_back(bytes);
      written = bytes.substr(9, bytes.size() > 11 ? bytes.size() - 11 : 0);
      for (char& c : written) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      l->DeviceSend(script.sycAnswer);
    } else if (bytes == "$SER\r\n") {
      Schedule(now, script.bootLines);
      rebootAt = now;
      rebooted = true;
    } else if (bytes == "$GLM\r\n") {
      Schedule(now, script.glmLines);
    }
  }
  void Schedule(uint32_t now, const MacDeviceTimed& lines) {
    for (const auto& [ms, text] : lines) {
      std::string t = text;
      if (const size_t at = t.find("{mac}"); at != std::string::npos) t.replace(at, 5, written);
      pending.emplace_back(now + ms, t);
    }
  }
  void OnTick(uint32_t now) {
    std::lock_guard<std::mutex> lock(m);
    auto l = line.lock();
    if (!l) return;
    if (!pending.empty() && static_cast<int32_t>(now - pending.front().first) >= 0) {
      l->DeviceSend(pending.front().second);
      pending.erase(pending.begin());
      return;
    }
    if (rebooted && script.chatterEveryMs > 0 && now - rebootAt >= script.chatterEveryMs) {
      rebootAt = now;
      l->DeviceSend(script.chatter);
    }
  }

  mutable std::mutex m;
  FakeClock* clock = nullptr;
  std::weak_ptr<FakeLine> line;
  MacDeviceScript script;
  std::vector<std::pair<uint32_t, std::string>> pending;
  std::vector<std::string> commands;
  std::string written;
  bool rebooted = false;
  uint32_t rebootAt = 0;
};

class MacDevice {
 public:
  using Timed = MacDeviceTimed;

  using Script = MacDeviceScript;

  MacDevice(FakeClock& clock, std::shared_ptr<FakeLine> line, Script script = Script())
      : state_(std::make_shared<State>()) {
    state_->clock = &clock;
    state_->line = line;
    state_->script = std::move(script);
    std::weak_ptr<State> weak = state_;
    line->SetOnHostWrite([weak](const std::string& bytes) {
      if (auto s = weak.lock()) s->OnWrite(bytes);
    });
    clock.AddListener([weak](uint32_t now) {
      if (auto s = weak.lock()) s->OnTick(now);
    });
  }
  ~MacDevice() {
    if (auto l = state_->line.lock()) l->SetOnHostWrite(nullptr);
  }

  // The "$SYCXXMAC" commands received, each whole.
  std::vector<std::string> Commands() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->commands;
  }

 private:
  using State = MacDeviceState;
  std::shared_ptr<State> state_;
};

// Writes a 38-byte storedMAC.txt with the next and the last address.
inline void WritePoolFile(const std::string& path, const std::string& next,
                          const std::string& last) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << next << "\r\n" << last << "\r\n";
}

// Reads the whole file.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
