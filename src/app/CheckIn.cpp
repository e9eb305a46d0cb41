#include "app/CheckIn.h"

#include <cerrno>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/StationSettings.h"
#include "platform/HttpClient.h"
#include "platform/Process.h"

namespace {

constexpr size_t kMaxCommandOutput = 4096;

CheckAnswer Answer(CheckOutcome outcome, const std::string& reason, const std::string& where) {
  CheckAnswer a;
  a.outcome = outcome;
  a.reason = CheckReasonLine(reason);
  a.where = where;
  return a;
}

// The character at s[i]: its length in bytes and what it is. A byte that starts no
// valid UTF-8 sequence is a character of its own that cannot be shown.
enum class Kind { Printable, Space, Invalid };
struct Char {
  size_t len;
  Kind kind;
};
Char CharAt(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return {1, c >= 0x20 && c < 0x7f ? Kind::Printable : Kind::Space};
  size_t n = 0;
  uint32_t cp = 0;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
    cp = c & 0x1fu;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    cp = c & 0x0fu;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    cp = c & 0x07u;
  } else {
    return {1, Kind::Invalid};
  }
  if (i + n > s.size()) return {1, Kind::Invalid};
  for (size_t k = 1; k < n; k++) {
    if ((b(i + k) & 0xc0) != 0x80) return {1, Kind::Invalid};
    cp = (cp << 6) | (b(i + k) & 0x3fu);
  }
  const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
  if (overlong || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return {1, Kind::Invalid};
  // C1 controls and the line and paragraph separators break a line like '\n'.
  if (cp < 0xa0 || cp == 0x2028 || cp == 0x2029) return {n, Kind::Space};
  return {n, Kind::Printable};
}

bool TwoXX(int status) {
  return status >= 200 && status <= 299;
}

CheckAnswer ByHttp(const CheckInSettings& settings, const CheckRequest& request,
                   const std::atomic<bool>* cancel) {
  nlohmann::json body = {{"event", request.event},
                         {"serial", request.serial},
                         {"station", request.station},
                         {"port", request.port},
                         {"job", request.job}};
  if (!request.verdict.empty()) body["verdict"] = request.verdict;
  if (!request.mac.empty()) body["mac"] = request.mac;
  // A serial from a scanner need not be UTF-8: never let it throw.
  const std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  HttpClientResponse response;
  std::string error;
  const std::string& where = settings.url;
  if (!HttpPost(settings.url, "application/json", text, settings.timeoutMs, cancel, &response,
                &error)) {
    return Answer(CheckOutcome::NoAnswer, error, where);
  }
  if (!TwoXX(response.status)) {
    return Answer(CheckOutcome::NoAnswer, "HTTP " + std::to_string(response.status), where);
  }
  const nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) {
    return Answer(CheckOutcome::NoAnswer,
                  answer.is_discarded() ? "answer is not JSON" : "answer is not a JSON object",
                  where);
  }
  const auto result = answer.find("result");
  if (result == answer.end() || !result->is_string()) {
    return Answer(CheckOutcome::NoAnswer, "answer has no result", where);
  }
  const std::string r = result->get<std::string>();
  if (r == "confirmed") return Answer(CheckOutcome::Confirmed, "", where);
  if (r == "rejected") {
    const auto reason = answer.find("reason");
    std::string why =
        reason != answer.end() && reason->is_string() ? reason->get<std::string>() : std::string();
    if (CheckReasonLine(why).empty()) why = "rejected, no reason given";
    return Answer(CheckOutcome::Rejected, why, where);
  }
  return Answer(CheckOutcome::NoAnswer, "unknown result \"" + CheckReasonLine(r, 40) + "\"", where);
}

std::string FirstLine(const std::string& output) {
  size_t pos = 0;
  while (pos < output.size()) {
    size_t end = output.find('\n', pos);
    if (end == std::string::npos) end = output.size();
    const std::string line = CheckReasonLine(output.substr(pos, end - pos));
    if (!line.empty()) return line;
    pos = end + 1;
  }
  return "";
}

CheckAnswer ByCommand(const CheckInSettings& settings, const CheckRequest& request,
                      const std::atomic<bool>* cancel) {
  std::vector<std::string> argv = {settings.command, request.event, request.serial,
                                   request.station,  request.port,  request.job};
  if (request.event == CheckRequest::kCheckOut) {
    argv.push_back(request.verdict);
    argv.push_back(request.mac);
  }
  const std::string& where = settings.command;
  ProcessResult r;
  const int err = RunProcess(argv, settings.timeoutMs, kMaxCommandOutput, &r, cancel);
  if (err == ENOSYS) {
    return Answer(CheckOutcome::NoAnswer, "commands are not supported on this system", where);
  }
  if (err == ENOENT) return Answer(CheckOutcome::NoAnswer, "no such program", where);
  if (err == EACCES) return Answer(CheckOutcome::NoAnswer, "the program may not be run", where);
  if (err != 0) {
    return Answer(CheckOutcome::NoAnswer, "could not run it (error " + std::to_string(err) + ")",
                  where);
  }
  if (r.cancelled) return Answer(CheckOutcome::NoAnswer, "cancelled", where);
  if (r.timedOut) {
    return Answer(CheckOutcome::NoAnswer,
                  "timed out after " + std::to_string(settings.timeoutMs) + " ms", where);
  }
  const std::string line = FirstLine(r.output);
  if (r.exitCode == 0) return Answer(CheckOutcome::Confirmed, "", where);
  if (r.exitCode == 1) {
    return Answer(CheckOutcome::Rejected, line.empty() ? "rejected, no reason given" : line, where);
  }
  const std::string how =
      r.exitCode < 0 ? "ended by a signal" : "exit status " + std::to_string(r.exitCode);
  return Answer(CheckOutcome::NoAnswer, line.empty() ? how : how + ": " + line, where);
}

}  // namespace

std::string CheckReasonLine(const std::string& text, size_t maxBytes) {
  std::string line;
  bool cut = false;
  for (size_t i = 0; i < text.size();) {
    const Char ch = CharAt(text, i);
    const std::string piece = ch.kind == Kind::Printable ? text.substr(i, ch.len)
                              : ch.kind == Kind::Space   ? std::string(" ")
                                                         : std::string("?");
    i += ch.len;
    if (piece == " " && (line.empty() || line.back() == ' ')) continue;
    if (line.size() + piece.size() > maxBytes) {
      cut = true;
      break;
    }
    line += piece;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (cut) {
    while (line.size() + 3 > maxBytes && !line.empty()) {
      // Back off a whole UTF-8 sequence.
      size_t k = line.size() - 1;
      while (k > 0 && (static_cast<unsigned char>(line[k]) & 0xc0) == 0x80) k--;
      line.erase(k);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    line += "...";
  }
  return line;
}

bool CheckInSettingsFrom(const StationSettings& station, CheckInSettings* out, std::string* error) {
  *out = CheckInSettings{};
  out->url = station.Get("checkin-url");
  out->command = station.Get("checkin-command");
  if (!out->url.empty() && !out->command.empty()) {
    *error = "checkin-url and checkin-command are both set: give one";
    return false;
  }
  if (!out->url.empty()) {
    HttpUrl u;
    std::string why;
    if (!ParseHttpUrl(out->url, &u, &why)) {
      *error = "checkin-url: " + why;
      return false;
    }
  }
  if (station.Has("checkin-timeout-ms")) {
    const std::string text = station.Get("checkin-timeout-ms");
    uint32_t v = 0;
    bool ok = !text.empty() && text.size() <= 5;
    for (char c : text) {
      ok = ok && c >= '0' && c <= '9';
      if (ok) v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!ok || v < CheckInSettings::kMinTimeoutMs || v > CheckInSettings::kMaxTimeoutMs) {
      *error = "checkin-timeout-ms = " + text.substr(0, 40) +
               " is not a number of milliseconds from " +
               std::to_string(CheckInSettings::kMinTimeoutMs) + " to " +
               std::to_string(CheckInSettings::kMaxTimeoutMs);
      return false;
    }
    out->timeoutMs = v;
  }
  return true;
}

CheckAnswer RunCheck(const CheckInSettings& settings, const CheckRequest& request,
                     const std::atomic<bool>* cancel) {
  if (!settings.url.empty()) return ByHttp(settings, request, cancel);
  if (!settings.command.empty()) return ByCommand(settings, request, cancel);
  return Answer(CheckOutcome::NoAnswer, "no check-in is set up", "");
}
