#pragma once
// Check-in and check-out with the factory's manufacturing system: before a unit is
// programmed the station asks whether it may be (check-in), and after the unit's
// verdict it reports the verdict (check-out). The question goes either as an HTTP POST
// to a URL or as a program run with the facts as its arguments; either way the answer
// is confirmed, rejected with a reason, or none (time-out, unreachable, an answer not
// understood), and the caller treats no answer as no permission.
//
// HTTP: POST url, Content-Type application/json, the body a JSON object
//   {"event":"check-in","serial":"...","station":"...","port":"...","job":"..."}
//   with "verdict" and "mac" added when set (check-out). A 2xx answer whose body is
//   {"result":"confirmed"} or {"result":"rejected","reason":"..."} is an answer; any
//   other (another status, another body) is none.
// Command: `command event serial station port job` (check-out adds verdict and mac),
//   run without a shell. Exit status 0: confirmed; 1: rejected, the first non-empty
//   line of its output the reason; anything else: no answer.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class StationSettings;

struct CheckInSettings {
  static constexpr uint32_t kDefaultTimeoutMs = 5000;
  static constexpr uint32_t kMinTimeoutMs = 100;
  static constexpr uint32_t kMaxTimeoutMs = 60000;

  std::string url;      // http://...; or
  std::string command;  // a program (no arguments of its own)
  uint32_t timeoutMs = kDefaultTimeoutMs;
  bool Enabled() const { return !url.empty() || !command.empty(); }
};

// station.conf's checkin-url, checkin-command and checkin-timeout-ms. False with
// *error set when they cannot be used: both url and command, a URL that is not
// http://, a time-out that is not a number of milliseconds in its range. No key set:
// true, and check-in is off.
bool CheckInSettingsFrom(const StationSettings& station, CheckInSettings* out, std::string* error);

struct CheckRequest {
  static constexpr const char* kCheckIn = "check-in";
  static constexpr const char* kCheckOut = "check-out";

  std::string event;  // kCheckIn or kCheckOut
  std::string serial;
  std::string station;
  std::string port;
  std::string job;
  std::string verdict;  // check-out: "passed", "failed" or "stopped"
  std::string mac;      // check-out: the unit's address, where it took one
};

enum class CheckOutcome { Confirmed, Rejected, NoAnswer };

struct CheckAnswer {
  CheckOutcome outcome = CheckOutcome::NoAnswer;
  // Rejected: the system's reason; NoAnswer: why there was none. One printable line
  // of at most kMaxCheckReason bytes (what a server or program says is cleaned up so).
  std::string reason;
  std::string where;  // the URL or the command asked, for records
};

constexpr size_t kMaxCheckReason = 120;

// Asks and waits at most settings.timeoutMs for the answer; cancel (may be null) set
// ends the wait within 100 ms with NoAnswer "cancelled". Settings not Enabled():
// NoAnswer.
CheckAnswer RunCheck(const CheckInSettings& settings, const CheckRequest& request,
                     const std::atomic<bool>* cancel);

// text as one printable line of at most maxBytes bytes: control characters and line
// breaks become spaces, runs of spaces one, bytes that are not UTF-8 '?', and a text
// cut short ends in "...".
std::string CheckReasonLine(const std::string& text, size_t maxBytes = kMaxCheckReason);
