#pragma once
// The serial console channel of one worker: open and configure the port, poll it into
// the receive buffer, write bytes, ask "$" queries, close. Used only by the worker's
// own thread. Status texts reach the port's status cell through the UI thread.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/Station.h"
#include "platform/Files.h"
#include "platform/SerialPort.h"

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
  // One write; returns the bytes written.
  size_t SendBytes(const void* data, size_t len);
  size_t SendText(const char* text);
  // 0, -1 bad arguments, -2 read failed (shown as "%s: ReadFile failed: %d"), -3 key
  // not found, -4 "FAIL" in the answer.
  int ConsoleQuery(const char* command, int keyLength, std::string* value);
  void ClosePort();
  bool IsOpen() const { return port_ && port_->IsOpen(); }

  // Formats into statusText and shows it in the port's status cell (blocks until shown).
  void ShowStatus(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void ShowStatusV(const char* fmt, va_list ap);
  // A failure text that shows a code: the code goes to the port's production record
  // as it is (the text is the operator's only), then the text is shown.
  void ShowFailure(int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  SerialPort* port() { return port_.get(); }
  Station& station() { return station_; }

  int portNumber;
  int portIndex;
  std::string portName;  // "COM%d"
  char statusText[512] = {};
  // Receive buffer: 1024 bytes of data plus a terminating NUL, and the count held.
  char recvBuf[kRecvCapacity + 1] = {};
  int32_t recvCount = 0;

 private:
  // Shows (and traces) a failed read; returns error.
  int ReadFailed(int error, PortLog* trace);
  Station& station_;
  std::unique_ptr<SerialPort> port_;
};
