#pragma once
// Faults a simulated device can be told to show, one set per device. Parsed from the
// texts of `devicesim --fault COMn:<fault>` (FaultHelp lists them).
#include <cstdint>
#include <string>

struct SimFaults {
  // ---- console ----
  bool silent = false;          // says nothing, ever, and ignores everything
  bool silentAfterSer = false;  // goes dead on "$SER" instead of restarting
  uint32_t lateMs = 0;          // query answers come this late (0 = on time)
  bool fail = false;            // query answers carry "FAIL"
  std::string failKey;          // ... only for this query key (empty = every query)
  int macMismatch = 0;          // prints "MAC don't match" this many times
  bool noGlm = false;           // never answers "$GLM"
  bool nul = false;             // 0x00 bytes inside and before its lines
  uint32_t splitMs = 0;         // each line in two pieces, this far apart
  uint32_t crlfSplitMs = 0;     // the "\r" and the "\n" of each line this far apart
  bool prompt = false;          // a prompt without line end after the menus
  bool noise = false;           // an unrelated line of chatter before each answer
  uint32_t baud = 0;            // the console's own baud rate (0 = whatever the host uses)
  // ---- loader / XMODEM ----
  bool noC = false;          // never asks for the transfer with "C"
  int nakBlock = 0;          // NAKs the block with this 1-based index ...
  int nakTimes = 0;          // ... this many times before accepting it
  int silentAfterBlock = 0;  // goes dead after receiving this block (no ACK)
  int eotNak = 0;            // NAKs the EOT this many times
  bool noEotAck = false;     // never acknowledges the EOT
  uint32_t slowFlashMs = 0;  // writes each block this long before its ACK (0 = normal)
  uint32_t writeLossMs = 0;  // ACKs each block at once, then writes it this long and
                             // loses every byte that arrives meanwhile (0 = off)
  // ---- loopback echo ----
  bool refuse = false;      // refuses the TCP connection
  bool echoCrLf = false;    // echo followed by "\r\n"
  bool echoSplit = false;   // echo in two pieces, 1 s apart
  bool echoWrong = false;   // last echoed byte changed
  bool echoNone = false;    // accepts, never echoes
  uint32_t echoLateMs = 0;  // echo this late
};

// Applies one fault text (without the "COMn:" part) to f; false and a message when it
// is not understood.
bool ApplyFault(const std::string& text, SimFaults* f, std::string* error);
// One line per fault, for --help.
std::string FaultHelp();
