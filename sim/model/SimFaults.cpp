#include "sim/model/SimFaults.h"

#include <cerrno>
#include <cstdlib>

namespace {
bool ParseUint(const std::string& s, uint32_t max, uint32_t* out) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  const unsigned long v = std::strtoul(s.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}
}  // namespace

bool ApplyFault(const std::string& text, SimFaults* f, std::string* error) {
  const size_t eq = text.find('=');
  const std::string name = text.substr(0, eq);
  const bool hasArg = eq != std::string::npos;
  const std::string arg = hasArg ? text.substr(eq + 1) : std::string();
  auto bad = [&](const char* why) {
    if (error) *error = "fault \"" + text + "\": " + why;
    return false;
  };
  auto flag = [&](bool* b) {
    if (hasArg) return bad("takes no value");
    *b = true;
    return true;
  };
  auto ms = [&](uint32_t* v, uint32_t def) {
    if (!hasArg) {
      *v = def;
      return true;
    }
    if (!ParseUint(arg, 600000, v) || *v == 0) return bad("needs milliseconds from 1 to 600000");
    return true;
  };
  uint32_t n = 0;
  if (name == "silent") return flag(&f->silent);
  if (name == "silent-after-ser") return flag(&f->silentAfterSer);
  if (name == "late") return ms(&f->lateMs, 700);
  if (name == "fail") {
    f->fail = true;
    f->failKey = arg;
    if (hasArg && arg.empty()) return bad("needs a query key, e.g. fail=GSVPA");
    return true;
  }
  if (name == "mac-mismatch") {
    if (!hasArg) {
      f->macMismatch = 1;
      return true;
    }
    if (!ParseUint(arg, 1000, &n) || n == 0) return bad("needs a count from 1 to 1000");
    f->macMismatch = static_cast<int>(n);
    return true;
  }
  if (name == "no-glm") return flag(&f->noGlm);
  if (name == "nul") return flag(&f->nul);
  if (name == "split") return ms(&f->splitMs, 400);
  if (name == "crlf-split") return ms(&f->crlfSplitMs, 400);
  if (name == "prompt") return flag(&f->prompt);
  if (name == "noise") return flag(&f->noise);
  if (name == "baud") {
    if (!ParseUint(arg, 1000000, &n) || (n != 115200 && n != 57600 && n != 38400))
      return bad("needs 115200, 57600 or 38400");
    f->baud = n;
    return true;
  }
  if (name == "no-c") return flag(&f->noC);
  if (name == "nak-block") {
    // nak-block=K or nak-block=KxN
    const size_t x = arg.find('x');
    uint32_t k = 0, times = 1;
    if (!ParseUint(arg.substr(0, x), 1000000, &k) || k == 0)
      return bad("needs a block index K >= 1 (K or KxN)");
    if (x != std::string::npos && (!ParseUint(arg.substr(x + 1), 1000, &times) || times == 0))
      return bad("needs a count N from 1 to 1000 (KxN)");
    f->nakBlock = static_cast<int>(k);
    f->nakTimes = static_cast<int>(times);
    return true;
  }
  if (name == "silent-after-block") {
    if (!ParseUint(arg, 1000000, &n) || n == 0) return bad("needs a block index K >= 1");
    f->silentAfterBlock = static_cast<int>(n);
    return true;
  }
  if (name == "eot-nak") {
    if (!ParseUint(arg, 1000, &n) || n == 0) return bad("needs a count from 1 to 1000");
    f->eotNak = static_cast<int>(n);
    return true;
  }
  if (name == "no-eot-ack") return flag(&f->noEotAck);
  if (name == "slow-flash") return ms(&f->slowFlashMs, 2000);
  if (name == "write-loss") return ms(&f->writeLossMs, 20);
  if (name == "refuse") return flag(&f->refuse);
  if (name == "echo-crlf") return flag(&f->echoCrLf);
  if (name == "echo-split") return flag(&f->echoSplit);
  if (name == "echo-wrong") return flag(&f->echoWrong);
  if (name == "echo-none") return flag(&f->echoNone);
  if (name == "echo-late") return ms(&f->echoLateMs, 5000);
  return bad("unknown fault");
}

std::string FaultHelp() {
  return "  silent              says nothing at all and ignores everything sent to it\n"
         "  silent-after-ser    goes dead on \"$SER\" instead of restarting\n"
         "  late[=MS]           answers \"$\" queries MS ms late (default 700)\n"
         "  fail[=KEY]          query answers carry \"FAIL\" (only for KEY, e.g. GSVPA)\n"
         "  mac-mismatch[=N]    prints \"MAC don't match\" after saving the EEPROM image\n"
         "                      and in its start-up lines, N times in all (default 1)\n"
         "  no-glm              never answers \"$GLM\"\n"
         "  nul                 puts 0x00 bytes before and inside every line it prints\n"
         "  split[=MS]          prints every line in two pieces MS ms apart (default 400)\n"
         "  crlf-split[=MS]     sends the \"\\n\" of every line MS ms after its \"\\r\"\n"
         "  prompt              prints a prompt without line end after its menus\n"
         "  noise               prints an unrelated status line before every answer\n"
         "  baud=RATE           its console runs at RATE (115200, 57600 or 38400): a\n"
         "                      station at another rate reads garbage and is not understood\n"
         "  no-c                never sends \"C\": the transfer never starts\n"
         "  nak-block=K[xN]     NAKs the K-th block N times (default 1) before taking it\n"
         "  silent-after-block=K  goes dead once block K has arrived (no ACK)\n"
         "  eot-nak=N           NAKs the end of transmission N times\n"
         "  no-eot-ack          never acknowledges the end of transmission\n"
         "  slow-flash[=MS]     takes MS ms to write each block before its ACK (default 2000)\n"
         "  write-loss[=MS]     ACKs each block at once, then writes it for MS ms (default 20)\n"
         "                      and loses every byte that arrives meanwhile; after a loss\n"
         "                      it waits for 1 s of quiet and NAKs the block\n"
         "  refuse              refuses the loopback TCP connection\n"
         "  echo-crlf           echoes the test bytes followed by \"\\r\\n\"\n"
         "  echo-split          echoes in two pieces, the second 1 s after the first\n"
         "  echo-wrong          echoes with the last byte changed\n"
         "  echo-none           accepts the connection but never echoes\n"
         "  echo-late[=MS]      echoes MS ms late (default 5000)\n";
}
