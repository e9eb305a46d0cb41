#pragma once
// The job the operator set up, and the port stage table.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

// A port's progress through its steps. The numbers are the ones the stage table has
// always held (logs and tests print them).
enum class Stage : int32_t {
  StageFailed = -1,
  StageIdle = 0,
  StageDownloading = 1,
  StageDownloaded = 2,
  StageTesting = 3,
  StageTested = 4,
  StageProgramming = 5,
  StageProgrammed = 6,
};
using enum Stage;

constexpr int kMaxPorts = 16;

// One entry per detected port. One writer at a time per entry (rules in StartThread).
class StageTable {
 public:
  StageTable() { ClearAll(); }
  void ClearAll() {
    for (auto& e : entries_) e.store(StageIdle);
  }
  Stage Get(int portIndex) const { return entries_.at(static_cast<size_t>(portIndex)).load(); }
  void Set(int portIndex, Stage stage) {
    entries_.at(static_cast<size_t>(portIndex)).store(stage);
  }

 private:
  std::array<std::atomic<Stage>, kMaxPorts> entries_;
};

// Job fields of the main window. Written only while no run is going on (UI thread),
// read by the dispatcher and the workers during a run.
struct JobState {
  int32_t jobFlags = 0;  // bit 1: EEPROM download, bit 2: firmware download
  int32_t loopbackTest = 0;
  bool programMac = false;
  bool assignMac = false;
  std::string assignedMacText;  // "02:5C:3A:HH:HH:HH" when assignMac
  bool filesSelected = false;
  bool logEnabled = false;
  std::string logDirectory;  // at most 255 characters
};

constexpr int32_t kJobEeprom = 1;
constexpr int32_t kJobFirmware = 2;

// The stage a port is left at when it went through every step of `job`; StageIdle for
// a job without steps.
inline Stage JobFinalStage(const JobState& job) {
  if (job.programMac) return StageProgrammed;
  if (job.loopbackTest == 1) return StageTested;
  if (job.jobFlags != 0) return StageDownloaded;
  return StageIdle;
}

// Whether a unit that went through every step of `job` is left with its temporary MAC
// address (02:5C:3A:FF:FF:xx, written into the EEPROM image by the download) because the
// job downloads the EEPROM image and programs no address: such a unit is never counted
// as passed.
inline bool LeavesTemporaryMac(const JobState& job) {
  return (job.jobFlags & kJobEeprom) != 0 && !job.programMac;
}
