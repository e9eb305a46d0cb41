#pragma once
// One simulated serial device server, seen from its serial console: a boot ROM that
// prints the firmware line ("fw = ...") and waits briefly for "@@", the running
// firmware's "$" command console, and the serial loader with its XMODEM-1K receiver.
//
// The model knows no transport and no clock of its own: the owner hands it the host's
// bytes and the time (HostBytes, Tick) and gives it a sink for what the device sends.
// Timed behaviour (start-up lines, late answers, repeated "C") runs from Tick. The model
// is not thread-safe; its transports (SimDevice, PtyDevice) serialise the calls.
//
// What the device prints (texts of its own where the console contract names none):
//   start-up    "Boot ROM 1.04", "fw = <version> build 0412", then after the "@@" window
//               "Loading firmware", "Serial device server firmware verison <version>",
//               "MAC address <mac>"
//   queries     "$GSVPA\r\n" -> "%GSVPA<tcp port>\r\n"
//               "$SYCXXMAC<aa:bb:cc:dd:ee:ff>\r\n" -> "%SYCXXMAC OK\r\n"
//               "$GLM\r\n" -> "%GLM <MAC in use>\r\n"
//               "$SER\r\n" restarts, "$SES\r\n" prints the "fw =" line again and opens
//               the "@@" window
//   loader      "Varnix Serial Loader 1.3" and a menu; "U" firmware, "E" EEPROM,
//               "R" restart; "Downloading ..." then "C" every second until the first
//               block; each block is written to flash (flashWriteMs) before its ACK,
//               bytes arriving meanwhile wait in the receive buffer; after EOT "Write
//               to Flash ..." or "save to eeprom ..." with the "-\r" / "|\r" spinner,
//               then the banner again.
// From power-on until its boot ROM prints the "Boot ROM" line the unit's UART is not
// listening yet: bytes arriving then (a probe that crossed the power-on) are lost
// without a word, as they are while it is off.
// What it refuses (recorded as violations): a command not ended by "\r\n", a command
// before the "verison" line, "@@" without a "fw =" line, a malformed MAC address, an
// XMODEM block with a wrong number, complement or CRC, stray bytes inside a transfer.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/model/SimFaults.h"
#include "sim/model/XmodemReceiver.h"

struct SimOptions {
  std::string name = "COM1";              // used in reports only
  std::string mac = "02:5C:3A:00:00:01";  // the MAC in use before anything is programmed
  std::string firmwareVersion = "2.12.0";
  uint16_t tcpPort = 0;          // what "$GSVPA" reports (the echo listener's port)
  uint32_t bootDelayMs = 100;    // power-on / restart to the first start-up line
  uint32_t answerDelayMs = 30;   // query answers
  uint32_t bootWindowMs = 3000;  // how long "@@" is taken after a "fw =" line
  uint32_t lineGapMs = 5;        // between printed lines
  uint32_t flashWriteMs = 3;     // writing one received block, before its ACK
  SimFaults faults;
};

// What the device received, for tests and the simulator's report.
struct SimReport {
  std::string name;
  std::string state;
  std::string factoryMac;  // the unit's own address, before anything was programmed
  int unit = 1;            // which unit of its slot this is, from 1
  std::string removed;     // how it left its slot ("silent", "vanish"); empty while in it
  std::vector<uint8_t> firmware;  // the last complete firmware transfer (whole blocks)
  int firmwareWrites = 0;
  std::vector<uint8_t> eeprom;  // the last complete EEPROM transfer
  int eepromWrites = 0;
  std::string eepromMac;      // MAC in the EEPROM image's first block (bytes 6..11)
  std::string programmedMac;  // the last address taken by "$SYCXXMAC"
  int macWrites = 0;
  std::string currentMac;  // what "$GLM" reports
  int restarts = 0;
  int naksSent = 0;
  std::vector<std::string> commands;    // "$" commands without "\r\n", loader keys, "@@"
  std::vector<std::string> violations;  // what a real device would not accept
  // "LEN SHA256" of firmware and eeprom, or "none" (kept when the images are not).
  std::string firmwareDigest, eepromDigest;
  // A slot's report (SimSlot): every unit the slot held, oldest first, the one in it
  // last. A unit taken out keeps the digests of its images but not the images or its
  // commands.
  std::vector<SimReport> units;
};

class DeviceModel {
 public:
  using Sink = std::function<void(const std::string&)>;
  static constexpr size_t kMaxRecords = 4000;
  // Spinner step while the loader writes an image (6 steps).
  static constexpr uint32_t kSpinMs = 200;

  DeviceModel(SimOptions options, Sink sink);

  void PowerOn(uint32_t nowMs);
  void HostBytes(const uint8_t* data, size_t len, uint32_t nowMs);
  void Tick(uint32_t nowMs);
  // Milliseconds until the next timed action (0 when one is due), -1 when none waits.
  int64_t MsUntilNext(uint32_t nowMs);
  void SetTcpPort(uint16_t port) { opt_.tcpPort = port; }
  // The baud rate the host's end of the line is set to (0 = not known yet).
  void SetHostBaud(uint32_t baud) { hostBaud_ = baud; }
  SimReport Report() const;
  // What a station gives a unit, for telling when it is done with one.
  enum class Given { Firmware, Eeprom, Mac };
  // True once the unit has taken this (an image or an address) and has started its
  // firmware (printed the "verison" line) since the last thing it took of any kind.
  bool Programmed(Given what) const {
    return startedSinceGiven_ && given_[static_cast<int>(what)];
  }

 private:
  enum class State { Off, Dead, Restarting, Booting, Running, Loader, Receiving, Writing };
  using Action = std::function<void()>;

  void SetTime(uint32_t nowMs);
  void RunDue();
  void At(uint64_t when, Action fn);
  // Runs fn after delayMs unless the state changed in between.
  void AfterInState(uint32_t delayMs, Action fn);
  uint64_t Print(const std::string& bytes, uint32_t delayMs);
  uint64_t PrintLine(const std::string& text, uint32_t delayMs);
  void Send(const std::string& bytes);
  // The host's line runs at another rate than the console: neither side can read
  // the other.
  bool BaudMismatch() const {
    return opt_.faults.baud != 0 && hostBaud_ != 0 && hostBaud_ != opt_.faults.baud;
  }
  void NewState(State s);
  void ClearPending();
  void Record(std::vector<std::string>* list, std::string text);
  void Violation(std::string text) { Record(&violations_, std::move(text)); }
  void Took(Given what) {
    given_[static_cast<int>(what)] = true;
    startedSinceGiven_ = false;
  }

  void Boot(uint32_t delayMs);
  void StartFirmware();
  void EnterLoader();
  void StartReceive(bool firmware);
  void SendC();
  void ReceiveWatch();
  void ReceiveBytes(const uint8_t* data, size_t len);
  // Bytes lost while the flash was written: dropped until the line is quiet.
  void LoseBytes(size_t len);
  // Asks for an incomplete block again once the line has been quiet for 1 s.
  void ArmResync(uint32_t delayMs);
  void FinishReceive();
  void AbortReceive(const std::string& why);
  void GoDead();

  void ConsoleByte(uint8_t b);
  void LoaderByte(uint8_t b);
  void Execute(const std::string& command);
  void Answer(const std::string& key, const std::string& value);
  void TakeXmodemViolations();

  SimOptions opt_;
  Sink sink_;
  State state_ = State::Off;
  uint64_t gen_ = 0;
  uint64_t now_ = 0;
  uint32_t lastTick_ = 0;
  bool timeSet_ = false;
  uint32_t hostBaud_ = 0;
  uint32_t baudViolationAt_ = 0;  // the host rate last recorded as wrong
  uint64_t seq_ = 0;
  uint64_t cursor_ = 0;  // when the last scheduled output goes out
  std::map<std::pair<uint64_t, uint64_t>, Action> pending_;

  // console
  bool versionShown_ = false;
  uint64_t listenAt_ = 0;  // after a power-on: when the UART starts listening
  uint64_t windowUntil_ = 0;
  bool prevAt_ = false;
  bool atViolation_ = false;
  bool inCmd_ = false;
  bool cmdCr_ = false;
  std::string cmd_;
  uint64_t cmdSerial_ = 0;
  bool loaderSkipLine_ = false;
  int macMismatchLeft_ = 0;

  // loader
  bool rxFirmware_ = true;
  XmodemReceiver rx_;
  size_t rxViolationsTaken_ = 0;
  uint64_t rxLastByte_ = 0;
  int cTries_ = 0;
  static constexpr size_t kMaxHeld = 8192;  // the loader's receive buffer
  bool flashing_ = false;                   // writing a block; its ACK follows
  std::string held_;                        // bytes that arrived meanwhile
  uint64_t deafUntil_ = 0;                  // write-loss: writing, not listening
  bool lossResync_ = false;                 // bytes were lost: waiting for quiet
  uint64_t lastLoss_ = 0;
  bool resyncArmed_ = false;
  uint64_t partialAt_ = 0;  // last byte that left a block incomplete

  // what the device keeps
  std::vector<uint8_t> firmware_, eeprom_;
  int firmwareWrites_ = 0, eepromWrites_ = 0, macWrites_ = 0, restarts_ = 0, naks_ = 0;
  std::string factoryMac_, eepromMac_, programmedMac_, currentMac_, nextMac_;
  std::vector<std::string> commands_, violations_;
  bool given_[3] = {false, false, false};
  bool startedSinceGiven_ = false;
};

// "aa:bb:cc:dd:ee:ff" (either case) -> upper-case form; false when malformed.
bool NormaliseMac(const std::string& text, std::string* out);
