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
#include "base/Thread.h"
#include "job/Logmac.h"
#include "workers/ConsolePort.h"
#include "workers/LineClass.h"

class prgMACThread final : public Thread {
 public:
  // Classes of a classified console line (the same values the download worker uses).
  using enum RecvStatus;

  static constexpr uint32_t kSilenceLimitMs = 5000;
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
  int32_t recvStatus() const { return recvStatus_; }
  bool glmSent() const { return glmSent_ != 0; }
  // The device answered "$SYCXXMAC" with OK: from then on it may hold the address.
  bool accepted() const { return accepted_; }
  bool logFlag() const { return logFlag_; }
  ConsolePort& console() { return console_; }

 protected:
  void Execute() override;

 private:
  void AppendMessage(const std::string& text);
  void SetStage(int32_t stage);
  // The exception path: show, exception box, StageFailed, port closed.
  void EndWithException(const std::string& what);
  // The address written, as the device reports it ("%GLM" line): true when equal.
  bool ReportsAddressWritten(std::string_view glmLine, std::string* reported) const;

  Station& station_;
  const RunJob& job_;
  ConsolePort console_;
  bool logFlag_;
  int32_t macTaken_ = 0;
  MacAddress mac_{};
  int32_t glmSent_ = 0;
  int32_t recvStatus_ = RecvNone;
  bool stageWritten_ = false;
  bool accepted_ = false;
  // Seen by the last parse: a "verison" line; the first "%GLM" line and whether it
  // named the address written.
  bool versionSeen_ = false;
  bool glmSeen_ = false;
  bool glmMatches_ = false;
  std::string glmReported_;
};
