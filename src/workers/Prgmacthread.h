#pragma once
// The MAC programming worker of one port: takes the next pool address (or the
// operator's assigned address), writes it into the device with the "$SYCXXMAC"
// console command, reboots the device with "$SER\r\n", answers its "verison" line
// with "$GLM\r\n" and waits for the "%GLM" answer, which must name the address
// written. Ends by writing StageProgrammed or StageFailed into its port's stage entry.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/RunJob.h"
#include "base/Station.h"
#include "job/Logmac.h"
#include "workers/LineClass.h"
#include "workers/PortWorker.h"

class prgMACThread final : public PortWorker {
 public:
  // Classes of a classified console line (the same values the download worker uses).
  using enum RecvStatus;

  static constexpr uint32_t kSilenceLimitMs = 5000;
  // The pauses after the reboot command and before "$GLM\r\n" (the latter ends once
  // the device's start-up lines are out, when waits end on answers).
  static constexpr uint32_t kRebootPauseMs = 1000;
  static constexpr uint32_t kVersionPauseMs = 1000;
  static constexpr size_t kCommandSize = 64;

  prgMACThread(Station& station, const RunJob& job, bool logFlag, int portNumber, int portIndex);
  ~prgMACThread() override;

  // The device answered "%GLM" with another address than the one written.
  static constexpr int kOtherAddress = -6;

  // On the worker's thread: decides the address (the pool is called under its lock,
  // never once the run was stopped), shows the MAC line through the UI thread and sets
  // macTaken. False when the run was stopped first (nothing taken).
  bool TakeMac();
  // 1 when the device restarted and reported the MAC address written; otherwise -1 (no
  // address, bad query arguments, termination), -2 (read failed, or more than 5 s of
  // silence after the reboot command), -3 (no %SYCXXMAC in the answer), -4 ("FAIL" in
  // the answer), -5 (no "OK" in the answer value), kOtherAddress (the "%GLM" answer
  // names another address).
  int ProgramMac();
  // Classifies every complete line of the receive buffer (an unfinished line stays at
  // its front): 0 when a line was classified, -2 when none was, -1 when termination
  // was requested.
  int ParseMacReplies();

  // The command text for the address decided by TakeMac.
  std::string BuildCommand() const;

  bool macTaken() const { return macTaken_ != 0; }
  const MacAddress& mac() const { return mac_; }
  RecvStatus recvStatus() const { return recvStatus_; }
  bool glmSent() const { return glmSent_ != 0; }
  // The device answered "$SYCXXMAC" with OK: from then on it may hold the address.
  bool accepted() const { return accepted_; }
  bool logFlag() const { return logFlag_; }

 protected:
  Stage Run() override;
  void ShowExceptionText() override;
  void OnRunBroken() override { Settle(false); }

 private:
  // A pool address is settled once however the worker ends: programmed when the
  // device confirmed it, unverified when the device accepted it without confirming it
  // (it may hold it), failed when the device never accepted it.
  void Settle(bool confirmed);
  // One classified line of ParseMacReplies: its class kept, its text shown, the first
  // "%GLM" answer checked against the address written.
  void OnMacLine(std::string_view line, const LineKeyword& k);
  // The address written, as the device reports it ("%GLM" line): true when equal.
  bool ReportsAddressWritten(std::string_view glmLine, std::string* reported) const;

  bool logFlag_;
  int32_t macTaken_ = 0;
  MacAddress mac_{};
  int32_t glmSent_ = 0;
  RecvStatus recvStatus_ = RecvNone;
  bool settled_ = false;
  bool accepted_ = false;
  // Seen by the last parse: a "verison" line; the first "%GLM" line and whether it
  // named the address written.
  bool versionSeen_ = false;
  bool glmSeen_ = false;
  bool glmMatches_ = false;
  std::string glmReported_;
};
