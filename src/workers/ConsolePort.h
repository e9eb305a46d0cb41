#pragma once
// The serial console channel of one worker: open and configure the port, poll it into
// the receive buffer, write bytes, ask "$" queries, close. Used only by the worker's
// own thread. Status texts reach the port's status cell through the UI thread.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/Station.h"
#include "platform/Files.h"
#include "platform/SerialPort.h"
#include "workers/LineClass.h"

class PortLog {
 public:
  // Creates <logDirectory>/log<portName>.txt anew (never through a link in its place);
  // 0 or the system's error number.
  int Create(const std::string& logDirectory, const std::string& portName);
  // Appends raw bytes; 0 when all were written, else the system's error number.
  int Write(const void* data, size_t len);
  int Write(const std::string& text) { return Write(text.data(), text.size()); }
  void Close();
  bool IsOpen() const { return file_.IsOpen(); }

 private:
  LogFile file_;
};

class ConsolePort {
 public:
  static constexpr size_t kRecvCapacity = 1024;
  static constexpr size_t kReadChunk = 128;
  // With endWaitsOnAnswer: how long the device's output must have paused before the
  // station writes, and how long the line must stay quiet after a query's answer line.
  static constexpr uint32_t kQuietMs = 50;
  static constexpr uint32_t kAnswerQuietMs = 20;

  ConsolePort(Station& station, int portNumber, int portIndex);
  ~ConsolePort() { ClosePort(); }

  // Opens the port at `baud` (the run job's console rate): 0, or -1 after showing the
  // failed step's text.
  int OpenConsolePort(uint32_t baud);
  // Moves at most 128 queued bytes into the receive buffer (0x00 skipped); with a
  // trace log, writes the "%02x," trace line. Returns 0, or the errno of a port that
  // can no longer be read (its queue state or its read failed: the device is gone,
  // for example an unplugged adapter), after showing "%s: ReadFile failed: %d".
  int ReadAvailable(PortLog* trace = nullptr);
  // The same without the pause when nothing is queued, and without a status text for a
  // failed read (the slot watcher paces itself and takes a lost port as its answer).
  int ReadQueued();
  // One write; returns the bytes written.
  size_t SendBytes(const void* data, size_t len);
  size_t SendText(const char* text);
  // Writes the "$" command and reads its answer, at most 128 bytes, for 500 ms (with
  // endWaitsOnAnswer: only until the answer's line with the key is in and the line has
  // stayed quiet for kAnswerQuietMs after it). 0 and the text between "%<key>" and the
  // next "\r\n"; -1 bad arguments, -2 read failed (shown as "%s: ReadFile failed:
  // %d"), -3 key not found, -4 "FAIL" in the answer.
  int ConsoleQuery(const char* command, int keyLength, std::string* value);
  // A pause before the station writes to the device, so that the device has finished
  // printing and listens: maxMs; with endWaitsOnAnswer, until nothing more has arrived
  // for kQuietMs (never longer than maxMs). What arrives stays queued for the next read.
  void PauseForDevice(uint32_t maxMs);
  void ClosePort();

  // What TakeLines did with the receive buffer.
  struct LinesTaken {
    bool stopped = false;    // a stop was asked for: the buffer is as it was
    int classified = 0;      // lines handed over with one of the table's keywords
    bool tookBytes = false;  // a line or an unended piece was taken
  };
  // One complete line (its "\n" not included) and the first keyword of the table it
  // contains, nullptr for none. Returns false to drop the rest of the buffer.
  using LineHandler = std::function<bool(std::string_view line, const LineKeyword* keyword)>;
  // The bytes after the last line end: how many of them to take (0: they wait for the
  // rest of their line).
  using PieceHandler = std::function<size_t(std::string_view rest)>;
  // Takes the complete lines at the front of the receive buffer in order and hands
  // each to onLine; then offers what follows to onUnended (when given) until it takes
  // nothing. The unconsumed rest moves to the front; a full buffer without any line
  // end can never be completed (nothing more fits into it) and is dropped. stop is
  // asked before each line or piece; when it answers true the buffer stays as it was.
  LinesTaken TakeLines(std::span<const LineKeyword> table, const std::function<bool()>& stop,
                       const LineHandler& onLine, const PieceHandler& onUnended = nullptr);

  bool IsOpen() const { return port_ && port_->IsOpen(); }

  // Formats into statusText and shows it in the port's status cell (blocks until shown).
  void ShowStatus(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // blocks > 0: a download's progress (block of blocks) goes with the text, in one call.
  void ShowStatusV(const char* fmt, va_list ap, int block = 0, int blocks = 0);
  // A download's progress (block of blocks) with its status text, in one call of the board.
  void ShowProgress(int block, int blocks, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
  // A failure text that shows a code: the code goes to the port's production record
  // as it is (the text is the operator's only), then the text is shown.
  void ShowFailure(int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  SerialPort* port() { return port_.get(); }
  Station& station() { return station_; }

  int portNumber;
  int portIndex;
  // No status texts and no failure facts (the slot watcher: its port's cell shows the
  // slot's state, and no unit's record is open while it watches).
  bool quiet = false;
  std::string portName;  // "COM%d"
  char statusText[512] = {};
  // Waits that are there only to let the device's answer arrive end once it has
  // (fast download, continuous production); otherwise they take their full time.
  bool endWaitsOnAnswer = false;
  // Receive buffer: 1024 bytes of data plus a terminating NUL, and the count held.
  char recvBuf[kRecvCapacity + 1] = {};
  int32_t recvCount = 0;

 private:
  // Reads a query's answer (at most kReadChunk bytes, 0x00 dropped) into *answer:
  // 0, or the error of a failed read.
  int ReadAnswer(const std::string& key, std::string* answer);
  // Shows (and traces) a failed read; returns error.
  int ReadFailed(int error, PortLog* trace);
  // One read of what is queued into the receive buffer; 1 when nothing was queued.
  int ReadChunk(PortLog* trace);
  Station& station_;
  std::unique_ptr<SerialPort> port_;
};
