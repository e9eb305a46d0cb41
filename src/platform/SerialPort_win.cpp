// The serial port through the Windows communications functions. Every failure returns
// GetLastError's number, which the workers show in their status texts.
#include <windows.h>

#include "platform/SerialPort.h"
#include "platform/Win32Text.h"

namespace {

// A port whose writes had no time-out at all could hang its worker for good behind a
// device that stops taking bytes; such a port gets this bound instead.
constexpr DWORD kWriteBoundMs = 5000;

int LastError() {
  const DWORD e = GetLastError();
  return e == 0 ? ERROR_GEN_FAILURE : static_cast<int>(e);
}

// A port opened by CreateFile on \\.\COMn. Owned and used by one thread.
class Win32SerialPort final : public SerialPort {
 public:
  ~Win32SerialPort() override { Close(); }

  // Read and write, no sharing (a second open of a held port fails with
  // ERROR_ACCESS_DENIED), existing devices only, normal attributes, no overlapped I/O.
  int Open(const std::string& devicePath) override {
    if (h_ != INVALID_HANDLE_VALUE) return ERROR_BUSY;
    if (devicePath.empty()) return ERROR_FILE_NOT_FOUND;
    std::wstring wide;
    if (!Utf8ToWide(devicePath, &wide)) return ERROR_INVALID_NAME;
    const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    h_ = h;
    haveSettings_ = false;
    return 0;
  }

  int SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) override {
    if (h_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (!SetupComm(h_, inputBytes, outputBytes)) return LastError();
    return 0;
  }

  // Reads return at once with whatever is queued (interval MAXDWORD, total 0 + 0).
  // The write time-outs stay as the port had them.
  int SetImmediateReadTimeouts() override {
    if (h_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(h_, &t)) return LastError();
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) {
      t.WriteTotalTimeoutConstant = kWriteBoundMs;
    }
    if (!SetCommTimeouts(h_, &t)) return LastError();
    return 0;
  }

  int GetLineSettings() override {
    if (h_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h_, &dcb)) return LastError();
    settings_ = dcb;
    haveSettings_ = true;
    return 0;
  }

  // Changes only the baud rate, 8N1, CTS flow and DSR sensitivity off, RTS on, NUL
  // stripping and abort-on-error off; every other setting is written back as read.
  int SetLineSettings(uint32_t baud) override {
    if (h_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (baud != 115200 && baud != 57600 && baud != 38400) return ERROR_INVALID_PARAMETER;
    if (!haveSettings_) {
      if (const int e = GetLineSettings()) return e;
    }
    DCB dcb = settings_;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h_, &dcb)) {
      const int e = LastError();
      // A port without modem lines (a virtual port) refuses to drive RTS: the line
      // settings go through without it, as they do on a pseudo-terminal elsewhere.
      if (e != ERROR_NOT_SUPPORTED && e != ERROR_INVALID_PARAMETER) return e;
      dcb.fRtsControl = settings_.fRtsControl;
      if (!SetCommState(h_, &dcb)) return e;
      EscapeCommFunction(h_, SETRTS);  // best effort
    }
    settings_ = dcb;
    return 0;
  }

  int Purge() override {
    if (h_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (!PurgeComm(h_, PURGE_TXCLEAR | PURGE_RXCLEAR)) return LastError();
    return 0;
  }

  // ClearCommError: the input queue's count; it also clears a pending line error.
  int QueuedBytes(uint32_t* count) override {
    *count = 0;
    if (h_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(h_, &errors, &stat)) return LastError();
    *count = stat.cbInQue;
    return 0;
  }

  int Read(uint8_t* buf, size_t max, size_t* got) override {
    *got = 0;
    if (h_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (max == 0) return 0;
    DWORD n = 0;
    if (!ReadFile(h_, buf, Clamp(max), &n, nullptr)) return LastError();
    *got = n;
    return 0;
  }

  int Write(const uint8_t* buf, size_t len, size_t* written) override {
    *written = 0;
    if (h_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    if (len == 0) return 0;
    DWORD n = 0;
    const BOOL ok = WriteFile(h_, buf, Clamp(len), &n, nullptr);
    *written = n;  // a write that ran out of time reports what went out
    if (!ok) return LastError();
    return 0;
  }

  void Close() override {
    if (h_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    haveSettings_ = false;
  }

  bool IsOpen() const override { return h_ != INVALID_HANDLE_VALUE; }

 private:
  static DWORD Clamp(size_t n) { return n > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(n); }

  HANDLE h_ = INVALID_HANDLE_VALUE;
  DCB settings_{};
  bool haveSettings_ = false;
};

class Win32SerialPortFactory final : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> Create() override { return std::make_unique<Win32SerialPort>(); }
};

}  // namespace

SerialPortFactory& Win32SerialPorts() {
  static Win32SerialPortFactory factory;
  return factory;
}
