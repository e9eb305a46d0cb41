// The headless runner's pieces: line escaping, the board's line format and the task
// queue that makes the main thread the UI thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/Headless.h"
#include "app/MainLogic.h"
#include "core/app/AppTestRig.h"

namespace {

TEST(EscapeLineText, EscapesLineEndsBackslashAndUnprintableBytes) {
  EXPECT_EQ(EscapeLineText("3 COM Port detected\r\n"), "3 COM Port detected\\r\\n");
  EXPECT_EQ(EscapeLineText("a\\b"), "a\\\\b");
  EXPECT_EQ(EscapeLineText(std::string("\t\x01\x7f\xff~ ", 6)), "\\x09\\x01\\x7F\\xFF~ ");
  EXPECT_EQ(EscapeLineText(std::string("a\0b", 3)), "a\\x00b");
  EXPECT_EQ(EscapeLineText(""), "");
}

// Captures what a FILE* received.
class Captured {
 public:
  Captured() : f_(std::tmpfile()) {}
  ~Captured() {
    if (f_) std::fclose(f_);
  }
  std::FILE* file() { return f_; }
  std::string Text() {
    std::string text;
    std::fflush(f_);
    std::rewind(f_);
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f_)) > 0) text.append(buf, n);
    std::fseek(f_, 0, SEEK_END);
    return text;
  }

 private:
  std::FILE* f_;
};

TEST(HeadlessBoard, OneLinePerCall) {
  Captured out;
  HeadlessBoard board(out.file());
  board.ShowPortStatus(3, "COM4: Download EEPROM...1/1");
  board.SetMacGridCell(1, 0, "COM Port detect...\r\n");
  board.AppendMessage("EEPROM: C:\\x.vef");
  board.ClearMessages();
  board.ClearStatusGrid();
  board.SetStartButton(true);
  board.ShowException("bad\nthing");
  EXPECT_FALSE(board.Ended());
  board.DispatcherEnded();
  EXPECT_TRUE(board.Ended());
  EXPECT_EQ(out.Text(),
            "status 3 COM4: Download EEPROM...1/1\n"
            "mac 1 0 COM Port detect...\\r\\n\n"
            "message EEPROM: C:\\\\x.vef\n"
            "exception bad\\nthing\n"
            "end\n");
}

TEST(QueueUiThread, RoutinesOfOtherThreadsRunOnTheUiThreadInTurn) {
  QueueUiThread ui;
  EXPECT_TRUE(ui.IsUiThread());
  const auto uiId = std::this_thread::get_id();
  int counter = 0;  // touched only on the UI thread
  bool allOnUi = true;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      EXPECT_FALSE(ui.IsUiThread());
      for (int i = 0; i < 50; i++) {
        ui.RunSync([&] {
          if (std::this_thread::get_id() != uiId) allOnUi = false;
          counter++;
        });
      }
      finished++;
    });
  }
  while (finished.load() < 4) ui.RunPending(10);
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 200);
  EXPECT_TRUE(allOnUi);
  // Called on the UI thread itself: runs at once.
  ui.RunSync([&] { counter++; });
  EXPECT_EQ(counter, 201);
  EXPECT_EQ(ui.RunPending(0), 0);
}

TEST(QueueUiThread, AFaultOnTheUiThreadReachesTheCaller) {
  QueueUiThread ui;
  std::string caught;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      ui.RunSync([] { throw std::runtime_error("box failed"); });
    } catch (const std::exception& e) {
      caught = e.what();
    }
    done = true;
  });
  while (!done.load()) ui.RunPending(10);
  worker.join();
  EXPECT_EQ(caught, "box failed");
}

// production-cli's run: a stop signal that comes right after a MAC worker was created
// is a confirmed Stop before the worker's next request reaches the UI thread, so the
// worker takes no address.
TEST(HeadlessRun, StopSignalRightAfterAMacWorkerStartedTakesNoAddress) {
  TempDir dir;
  dir.Write("storedMAC.txt", kOneAddressPool);
  QueueUiThread ui;
  FakeClock clock;
  clock.SetRealYieldUs(50);
  FakeSerialBus bus;
  bus.Line(FallbackPath(1));
  FakeNetwork net(&clock);
  net.SetAddresses({Ip(192, 168, 1, 10)});
  RecordingBoard view;
  std::atomic<bool> signal{false};
  view.onStatus = [&](const std::string& text) {
    if (text == "COM1: program MAC") signal = true;
  };
  Captured err;
  HeadlessBoxes boxes(err.file());
  PlatformServices services;
  services.ui = &ui;
  services.clock = &clock;
  services.serial = &bus;
  services.net = &net;
  MainLogic logic(services, view, boxes, dir.path());
  ASSERT_EQ(logic.macPool().Load(), 0);
  logic.job.programMac = true;
  logic.job.filesSelected = true;

  EXPECT_EQ(RunHeadlessJob(logic, ui, signal), kExitPortsFailed);
  logic.FormClose();
  EXPECT_EQ(err.Text(), "error Confirm: Realy Stop the process ?\n");
  EXPECT_EQ(logic.stages.Get(0), StageFailed);
  EXPECT_EQ(view.PortStatus(0), "COM1: program MAC failed: -1");
  EXPECT_EQ(dir.Read("storedMAC.txt"), kOneAddressPool);
}

}  // namespace
