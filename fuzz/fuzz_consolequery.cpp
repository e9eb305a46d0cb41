// ConsoleQuery's answer parsing with whatever a device might send back: the result is
// one of the documented codes, the value never runs past the bytes read, and polling
// reads never hold more than the receive buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/Board.h"
#include "base/Station.h"
#include "base/UiThread.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "workers/ConsolePort.h"

namespace {
class NullBoard final : public Board {
 public:
  void ShowPortStatus(int, const std::string&) override {}
  void SetMacGridCell(int, int, const std::string&) override {}
  void AppendMessage(const std::string&) override {}
  void ClearMessages() override {}
  void ClearStatusGrid() override {}
  void ShowException(const std::string&) override {}
  void SetStartButton(bool) override {}
  void DispatcherEnded() override {}
};
class DirectUi final : public UiThread {
 public:
  void RunSync(const std::function<void()>& fn) override { fn(); }
  bool IsUiThread() const override { return true; }
};

struct World {
  World() {
    st.ui = &ui;
    st.board = &board;
    st.clock = &clock;
    st.serial = &bus;
    st.ports = &ports;
    line = bus.Line(ports.DevicePath(4));
  }
  FakeSerialBus bus;
  FakeClock clock;
  DirectUi ui;
  NullBoard board;
  PortMap ports{"/nonexistent-fuzz-dir"};
  Station st;
  std::shared_ptr<FakeLine> line;
};

struct Query {
  const char* command;
  int keyLength;
};
constexpr Query kQueries[] = {
    {"$GSVPA\r\n", 5}, {"$SYCXXMAC02:5c:3a:0a:0b:ff\r\n", 8}, {"$GLM\r\n", 3}, {"$G", 1}};

void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* w = new World();
  if (size == 0) return 0;
  const Query q = kQueries[data[0] % 4];
  const std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);

  ConsolePort cp(w->st, 4, 0);
  Check(cp.OpenConsolePort(115200) == 0);
  FakeLine* line = w->line.get();
  line->SetOnHostWrite([line, &answer](const std::string&) { line->DeviceSend(answer); });
  std::string value;
  const int rc = cp.ConsoleQuery(q.command, q.keyLength, &value);
  line->SetOnHostWrite(nullptr);
  Check(rc == 0 || rc == -3 || rc == -4);
  // What was read: at most 128 bytes, 0x00 bytes left out.
  std::string read;
  for (size_t i = 0; i < answer.size() && i < 128; ++i) {
    if (answer[i] != '\0') read.push_back(answer[i]);
  }
  if (rc == 0) {
    Check(value.size() < 128);
    Check(value.find("\r\n") == std::string::npos);
    Check(read.find(value) != std::string::npos);
    Check(read.find("FAIL") == std::string::npos);
  } else {
    Check(value.empty());
  }

  // The rest of the answer, polled: never more than the receive buffer holds.
  cp.recvCount = 1000;
  for (int i = 0; i < 4; ++i) {
    line->DeviceSend(answer);
    cp.ReadAvailable();
    Check(cp.recvCount >= 0 && cp.recvCount <= 1024);
    Check(cp.recvBuf[cp.recvCount] == '\0');
  }
  cp.ClosePort();
  // Leave the line empty for the next input.
  auto port = w->bus.Create();
  if (port->Open(w->ports.DevicePath(4)) == 0) port->Purge();
  return 0;
}
