// The serial port through the Windows communications functions. Without a device the
// tests check the error numbers; with PT_TEST_COM naming a COM port that a simulated
// device answers on (the Wine end-to-end script maps one), they run the whole open
// sequence and a console query over it.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/PortMap.h"
#include "platform/SerialPort.h"

namespace {

// Opens and configures the port the way a worker does; the first failing step's error.
int OpenAndConfigure(SerialPort& port, const std::string& path, uint32_t baud) {
  if (int e = port.Open(path)) return e;
  if (int e = port.SetQueueSizes(4096, 4096)) return e;
  if (int e = port.SetImmediateReadTimeouts()) return e;
  if (int e = port.GetLineSettings()) return e;
  if (int e = port.SetLineSettings(baud)) return e;
  return port.Purge();
}

TEST(SerialPortTest, MissingPortsAndClosedPortsGiveWindowsErrors) {
  auto port = SystemSerialPorts().Create();
  const PortMap map("");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, port->Open(map.DevicePath(249)));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, port->Open(""));
  EXPECT_FALSE(port->IsOpen());

  uint8_t buf[8];
  size_t n = 7;
  uint32_t queued = 7;
  EXPECT_EQ(ERROR_INVALID_HANDLE, port->SetQueueSizes(4096, 4096));
  EXPECT_EQ(ERROR_INVALID_HANDLE, port->SetLineSettings(115200));
  EXPECT_EQ(ERROR_INVALID_HANDLE, port->Read(buf, sizeof buf, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(ERROR_INVALID_HANDLE, port->QueuedBytes(&queued));
  EXPECT_EQ(0u, queued);
  port->Close();
  port->Close();

  EXPECT_EQ(115200u, BaudFromIndex(0));
  EXPECT_EQ(57600u, BaudFromIndex(1));
  EXPECT_EQ(38400u, BaudFromIndex(2));
  EXPECT_EQ(115200u, BaudFromIndex(3));
}

TEST(SerialPortTest, OpensAndQueriesASimulatedDevice) {
  const char* com = std::getenv("PT_TEST_COM");
  if (com == nullptr || *com == '\0') GTEST_SKIP() << "PT_TEST_COM names no port";
  const std::string path = std::string("\\\\.\\") + com;
  auto port = SystemSerialPorts().Create();
  // A virtual port has no modem lines: raising RTS must not fail the open.
  ASSERT_EQ(0, OpenAndConfigure(*port, path, BaudFromIndex(0)));
  EXPECT_EQ(ERROR_BUSY, port->Open(path));  // already open on this object
  EXPECT_EQ(ERROR_INVALID_PARAMETER, port->SetLineSettings(9600));
  EXPECT_EQ(0, port->SetLineSettings(57600));

  // Nothing queued: a read returns at once with nothing.
  uint8_t buf[128];
  size_t got = 99;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, port->Read(buf, sizeof buf, &got));
  EXPECT_EQ(0u, got);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));

  // A console query and its answer: written whole, counted by the queue, read back.
  const std::string query = "$GSVPA\r\n";
  size_t written = 0;
  ASSERT_EQ(0, port->Write(reinterpret_cast<const uint8_t*>(query.data()), query.size(), &written));
  EXPECT_EQ(query.size(), written);
  std::string answer;
  for (int i = 0; i < 300 && answer.find("\r\n") == std::string::npos; ++i) {
    uint32_t queued = 0;
    ASSERT_EQ(0, port->QueuedBytes(&queued));
    if (queued == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    ASSERT_EQ(0, port->Read(buf, 4, &got));  // bounded by max
    EXPECT_LE(got, 4u);
    answer.append(reinterpret_cast<char*>(buf), got);
  }
  EXPECT_EQ(0u, answer.find("%GSVPA")) << answer;

  // Purge discards an answer that is still queued.
  ASSERT_EQ(0, port->Write(reinterpret_cast<const uint8_t*>(query.data()), query.size(), &written));
  uint32_t queued = 0;
  for (int i = 0; i < 300 && queued < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(0, port->QueuedBytes(&queued));
  }
  ASSERT_GE(queued, 8u);
  EXPECT_EQ(0, port->Purge());
  EXPECT_EQ(0, port->QueuedBytes(&queued));
  EXPECT_EQ(0u, queued);

  // Closed, the port opens again at once (the next worker of the port).
  port->Close();
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(0, OpenAndConfigure(*port, path, 115200));
}

}  // namespace
