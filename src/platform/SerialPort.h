#pragma once
// A serial port opened by device path. The steps mirror how a worker opens and
// configures its console port; each returns 0 or the system's error number of its
// failure (errno; GetLastError on Windows, where the device path is \\.\COMn and the
// steps are CreateFile, SetupComm, SetCommTimeouts, GetCommState, SetCommState and
// PurgeComm).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Opens the device for exclusive use, existing devices only: 0, or errno (EBUSY
  // when another program holds it, by the operating system's own means or by a
  // convention of its programs).
  virtual int Open(const std::string& devicePath) = 0;
  // Driver queue sizes (input, output). On Linux the kernel sizes its own queues;
  // the call checks that the port is open and a terminal.
  virtual int SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) = 0;
  // Reads return at once with whatever is queued (VMIN = 0, VTIME = 0).
  virtual int SetImmediateReadTimeouts() = 0;
  // Reads the current line settings (tcgetattr).
  virtual int GetLineSettings() = 0;
  // Raw mode, 8N1, no hardware flow control, CLOCAL, the given baud (115200, 57600
  // or 38400), RTS raised. A port without modem lines (a pseudo-terminal) does not
  // fail for want of RTS.
  virtual int SetLineSettings(uint32_t baud) = 0;
  // Discards both queues (tcflush TCIOFLUSH).
  virtual int Purge() = 0;
  // Bytes waiting in the input queue (FIONREAD); 0 or errno.
  virtual int QueuedBytes(uint32_t* count) = 0;
  // Non-blocking read of at most `max` bytes; 0 or errno. *got is 0 when nothing was queued.
  virtual int Read(uint8_t* buf, size_t max, size_t* got) = 0;
  // One non-blocking write; 0 or errno. *written may be less than len.
  virtual int Write(const uint8_t* buf, size_t len, size_t* written) = 0;
  // Idempotent; never fails.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

// Creates port objects; the real one makes termios ports, tests make fakes.
class SerialPortFactory {
 public:
  virtual ~SerialPortFactory() = default;
  virtual std::unique_ptr<SerialPort> Create() = 0;
};

// The operating system's serial ports (termios; the communications functions on
// Windows).
#ifdef _WIN32
SerialPortFactory& Win32SerialPorts();
inline SerialPortFactory& SystemSerialPorts() {
  return Win32SerialPorts();
}
#else
SerialPortFactory& PosixSerialPorts();
inline SerialPortFactory& SystemSerialPorts() {
  return PosixSerialPorts();
}
#endif

// Baud rate of a console baud index: 1 -> 57600, 2 -> 38400, anything else -> 115200.
uint32_t BaudFromIndex(int consoleBaudIndex);
