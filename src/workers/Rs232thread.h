#pragma once
// The loader download worker of one port. It brings the device into its serial boot
// loader, downloads the firmware and/or the EEPROM image the job asks for (XMODEM-1K,
// firmware first), waits for the restart, reads the device's MAC reply back and
// writes the port's stage: StageDownloaded, or StageFailed on any other end.
//
// The device speaks a line console: every complete line is classified by the first
// keyword it contains (kKeywords order) and answered by StepDialogue.
#include <cstdint>
#include <string>

#include "base/RunJob.h"
#include "base/Station.h"
#include "workers/LineClass.h"
#include "workers/PortWorker.h"
#include "workers/Xmodem.h"

class RS232Thread final : public PortWorker {
 public:
  // processFlag: the step of the loader dialogue (its number is shown in texts).
  enum class ProcessFlag : int32_t {
    ProcStart = 0,
    ProcFirmware = 1,
    ProcEeprom = 2,
    ProcDownloaded = 3,
    ProcFinished = 4,
    ProcRebooting = 6,
  };
  using enum ProcessFlag;
  // recvStatus: the class of the last classified line.
  using enum RecvStatus;

  // Parser results.
  static constexpr int kParsedLine = 0;
  static constexpr int kParseTerminated = -1;
  static constexpr int kParsedNothing = -2;

  // Silence before the worker acts (handshake write or time-out count), and the
  // counter limits.
  static constexpr uint32_t kSilenceMs = 5000;
  static constexpr int kMaxHandshakeWrites = 11;
  static constexpr int kDownloadedTimeouts = 10;
  static constexpr int kStepTimeouts = 20;
  // Bytes that keep coming without ever making a line (a device at another baud rate)
  // end the worker with "no response" after as long as a silent device is given: 12
  // silences and the 11 pauses before the handshake writes between them.
  static constexpr uint32_t kNoLineLimitMs =
      (kMaxHandshakeWrites + 1) * kSilenceMs + kMaxHandshakeWrites * 1000;

  // Created, not yet started (the factory starts it). portNumber: n of COMn;
  // portIndex: the place 0..15 in the dispatcher's list.
  RS232Thread(Station& station, const RunJob& job, bool logFlag, int portNumber, int portIndex);
  ~RS232Thread() override;

  // Classifies complete lines at the front of the receive buffer: kParsedLine when a
  // line was classified (recvStatus set, the buffer emptied), kParsedNothing when
  // none was (the unconsumed rest moved to the front), kParseTerminated when a stop
  // was requested (buffer unchanged).
  int ParseReplies();
  // Reacts to the classified line when parserResult is kParsedLine; then recvStatus
  // := RecvNone.
  void StepDialogue(int parserResult);

  // The port's temporary MAC address 02:5C:3A:FF:FF:xx, xx = 255 - portIndex.
  const uint8_t (&TempMac() const)[6] { return tempMac_; }
  PortLog& portLog() { return portLog_; }

  // Last-activity time (the silence is measured from it).
  uint32_t lastActivity() const { return lastActivity_; }

  // Step and line class. Touched only by the worker's own thread (tests read them
  // after the thread has ended, or drive ParseReplies/StepDialogue without starting
  // the thread).
  ProcessFlag processFlag() const { return processFlag_; }
  RecvStatus recvStatus() const { return recvStatus_; }

 protected:
  Stage Run() override;
  // The exception text, in the status cell and the log.
  void ShowExceptionText() override;
  // The end entry (when the log is open), the port and the log closed.
  void Release() override;

 private:
  // The dialogue with the device, from the first poll to its end.
  void RunDialogue();
  // Writes to the PortLog when logging is on; failures are ignored.
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void LogBytes(const char* data, size_t len);
  // One write of a text (without its terminating zero).
  void Write(const char* text);
  // A loader key written and logged as "\r\n<logText>\r\n"; a console command written
  // and logged as "\r\nCOMn: <logText>\r\n".
  void WriteKey(const char* key, const char* logText);
  void WriteCommand(const char* command, const char* logText);
  // A reply to the line just read: the device is given pauseMs to finish printing
  // first (less once it has, when waits end on answers: ConsolePort::PauseForDevice),
  // then the key or command is written and logged, and last activity := now.
  enum class Sent { Key, Command };
  void PauseAndWrite(uint32_t pauseMs, Sent kind, const char* text, const char* logText);
  int32_t JobFlags() const;
  // The dialogue's handlers, one per line class (StepDialogue's table).
  void OnFwLine();
  void OnLoaderBanner();
  void OnDownloading();
  void OnVersionLine();
  void OnGlmReply();
  void OnMacMismatch();
  void OnSycReply();
  // The handshake write on silence in ProcStart.
  void HandshakeWrite();
  // One image transfer; returns the XMODEM result.
  int Transfer(bool firmware);
  // How the next transfer paces its packets (the job's fast download, unless an
  // ACK-paced transfer of this worker has failed).
  XmodemPacing Pacing(bool firmware);
  // After a transfer's end: an ACK-paced one that failed leaves the pause on.
  void PacingAfter(bool firmware, const XmodemPacing& pacing, int result);
  // Tells the station's production records what one transfer sent.
  void ReportImage(bool firmware, const std::string& path, const XmodemSent& sent, int result);
  void Activity();

  const bool logFlag_;
  ProcessFlag processFlag_ = ProcStart;
  RecvStatus recvStatus_ = RecvNone;
  PortLog portLog_;
  uint8_t tempMac_[6];
  uint32_t lastActivity_ = 0;
  // The last time the device's bytes made a line (or a "\r" piece), or the worker
  // acted; bytes held since then without a line count toward kNoLineLimitMs.
  uint32_t lastLine_ = 0;
  // The receiver's "C" came in the read of the "Downloading" line (see ParseReplies).
  bool startHeld_ = false;
  bool nextIsSes_ = true;     // next handshake write: "$SES" (true) or the download key
  bool imageFailed_ = false;  // an image file could not be sent: the worker ends failed
  bool pauseForced_ = false;  // an ACK-paced transfer failed: the pause for the rest
};
