#include "labels/LabelOutput.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Network.h"
#include "platform/Process.h"

namespace {

std::string ErrorText(int err) {
  if (err == kConnectTimedOut) return "timed out";
  return std::strerror(err) + std::string(" (error ") + std::to_string(err) + ")";
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

bool ParsePrinterAddress(const std::string& text, uint32_t* ip, uint16_t* port,
                         std::string* error) {
  const size_t colon = text.find(':');
  const std::string host = text.substr(0, colon);
  *port = kLabelPrinterPort;
  if (colon != std::string::npos) {
    const std::string p = text.substr(colon + 1);
    unsigned long n = 0;
    bool ok = !p.empty() && p.size() <= 5;
    for (char c : p) {
      ok = ok && c >= '0' && c <= '9';
      if (ok) n = n * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!ok || n == 0 || n > 65535) {
      *error = "printer \"" + text + "\": the port must be a number from 1 to 65535";
      return false;
    }
    *port = static_cast<uint16_t>(n);
  }
  if (!ParseIpv4(host.c_str(), ip)) {
    *error = "printer \"" + text + "\": expected an IPv4 address a.b.c.d, optionally with :port";
    return false;
  }
  return true;
}

bool SendZpl(Network& net, const std::string& printer, const std::string& zpl,
             uint32_t connectTimeoutMs, uint32_t writeTimeoutMs, std::string* message) {
  uint32_t ip = 0;
  uint16_t port = 0;
  if (!ParsePrinterAddress(printer, &ip, &port, message)) return false;
  if (zpl.size() > kMaxZplBytes) {
    *message = "label larger than " + std::to_string(kMaxZplBytes) + " bytes";
    return false;
  }
  std::unique_ptr<TcpSocket> sock = net.NewSocket();
  int err = sock->Create();
  if (err == 0) err = sock->Connect(ip, port, connectTimeoutMs);
  if (err != 0) {
    *message = "printer " + printer + ": connect failed: " + ErrorText(err);
    return false;
  }
  using Steady = std::chrono::steady_clock;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(writeTimeoutMs);
  const auto* bytes = reinterpret_cast<const uint8_t*>(zpl.data());
  size_t sent = 0;
  // Small pieces, each after the socket says it has room, so that no send waits on a
  // printer that stopped taking data beyond the deadline.
  constexpr size_t kPiece = 1024;
  while (sent < zpl.size()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    const int w = left > 0 ? sock->WaitWritable(static_cast<uint32_t>(left)) : 0;
    if (w <= 0) {
      *message =
          "printer " + printer + ": " +
          (w == 0 ? "took only " + std::to_string(sent) + " of " + std::to_string(zpl.size()) +
                        " bytes in " + std::to_string(writeTimeoutMs) + " ms"
                  : "send failed: " + ErrorText(sock->LastError()));
      sock->Close();
      return false;
    }
    const size_t n = std::min(kPiece, zpl.size() - sent);
    const long r = sock->Send(bytes + sent, n);
    if (r <= 0) {
      *message =
          "printer " + printer + ": send failed: " + ErrorText(r < 0 ? sock->LastError() : EPIPE);
      sock->Close();
      return false;
    }
    sent += static_cast<size_t>(r);
  }
  sock->Close();
  *message = "sent " + std::to_string(sent) + " bytes to " + printer;
  return true;
}

bool PrintWithLp(const std::string& dest, const std::string& file, uint32_t timeoutMs,
                 std::string* message, const std::string& lpProgram) {
  if (dest.empty() || dest[0] == '-' || dest.size() > 127 ||
      dest.find_first_of(" \t\r\n#") != std::string::npos) {
    *message = "print destination \"" + dest + "\" is not a printer name";
    return false;
  }
  if (file.empty()) {
    *message = "no file to print";
    return false;
  }
  // A file name that starts with '-' would read as an option.
  const std::string path = file[0] == '-' ? "./" + file : file;
  ProcessResult r;
  const int err = RunProcess({lpProgram, "-d", dest, path}, timeoutMs, 4096, &r);
  if (err != 0) {
    *message = lpProgram + ": cannot be run: " + ErrorText(err);
    return false;
  }
  const std::string out = Trimmed(r.output);
  if (r.timedOut) {
    *message = lpProgram + ": no answer in " + std::to_string(timeoutMs) + " ms (stopped)";
    return false;
  }
  if (r.exitCode != 0) {
    *message = lpProgram + " -d " + dest + " failed (exit " + std::to_string(r.exitCode) + ")" +
               (out.empty() ? "" : ": " + out);
    return false;
  }
  *message = out.empty() ? "sent to " + dest : out;
  return true;
}
