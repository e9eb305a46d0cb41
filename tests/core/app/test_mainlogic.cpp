// The main window's logic without a window: the address check, job set-up, Start and
// Stop, the dispatcher's lifetime (Start while the last run is stopping, close during
// a run).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/MainLogic.h"
#include "app/Startthread.h"
#include "app/StationSetup.h"
#include "base/StationSettings.h"
#include "base/TestInterfaces.h"
#include "core/app/AppTestRig.h"
#include "job/SelectFilesLogic.h"
#include "jobpkg/EngineerPassword.h"
#include "jobpkg/JobKeys.h"
#include "jobpkg/JobPackage.h"
#include "records/SqliteRecordStore.h"

namespace {

const char kIpText[] =
    "System IP should be 192.168.1.1~192.168.1.126\r\n or 192.168.1.128~192.168.1.254";

class FakeJobDialog final : public JobDialog {
 public:
  std::function<bool()> onShow = [] { return true; };
  int shown = 0;
  bool ShowModal() override {
    shown++;
    return onShow();
  }
};

class MainLogicTest : public ::testing::Test {
 protected:
  MainLogicTest() : net(&clock) {
    clock.SetRealYieldUs(50);
    net.SetAddresses({Ip(127, 0, 0, 1), Ip(192, 168, 1, 10)});
    PlatformServices services;
    services.ui = &ui;
    services.clock = &clock;
    services.serial = &bus;
    services.net = &net;
    logic = std::make_unique<MainLogic>(services, board, boxes, dir.path());
    factory = std::make_unique<ScriptedWorkerFactory>(logic->station());
    WorkerScript quick;
    quick.delayMs = 200;
    factory->SetDefault(quick);
    logic->SetWorkerFactory(factory.get());
  }
  ~MainLogicTest() override {
    OnUi([&] { logic->RequestClose(); });
    WaitFor([&] { return OnUiValue([&] { return logic->CanClose(); }); });
    OnUi([&] { logic->FormClose(); });
    logic.reset();
  }

  // Handlers run on the (inline) UI thread, never at the same time as a routine of
  // the dispatcher or a worker.
  void OnUi(const std::function<void()>& fn) { ui.RunSync(fn); }
  bool OnUiValue(const std::function<bool()>& fn) {
    bool v = false;
    ui.RunSync([&] { v = fn(); });
    return v;
  }
  void Press() {
    OnUi([&] { logic->Btn_StartClick(); });
  }
  bool CaptionStop() {
    return OnUiValue([&] { return logic->StartCaptionIsStop(); });
  }
  bool Busy() {
    return OnUiValue([&] { return logic->DispatcherBusy(); });
  }
  void AddPorts(std::initializer_list<int> numbers) {
    for (int n : numbers) bus.Line(FallbackPath(n));
  }
  // A job as the dialog would confirm it.
  void SetJob(int32_t flags, int32_t loopback, bool programMac) {
    logic->job.jobFlags = flags;
    logic->job.loopbackTest = loopback;
    logic->job.programMac = programMac;
    logic->job.filesSelected = true;
  }
  bool WaitRunEnded(int runs = 1) {
    return WaitFor([&] { return board.EndedCount() >= runs; }) &&
           WaitFor([&] { return !Busy() && !CaptionStop(); });
  }

  TempDir dir;
  InlineUiThread ui;
  RecordingBoard board;
  RecordingBoxes boxes;
  FakeClock clock;
  FakeSerialBus bus;
  FakeNetwork net;
  std::unique_ptr<MainLogic> logic;
  std::unique_ptr<ScriptedWorkerFactory> factory;
};

TEST_F(MainLogicTest, AddressCheckTheFirst192168EntryDecides) {
  struct Case {
    std::vector<uint32_t> table;
    int expected;
  };
  const Case cases[] = {
      {{Ip(192, 168, 1, 10)}, 0},
      {{Ip(127, 0, 0, 1), Ip(10, 1, 2, 3), Ip(192, 168, 1, 254)}, 0},
      {{Ip(192, 168, 1, 127)}, -2},
      {{Ip(192, 168, 2, 5), Ip(192, 168, 1, 10)}, -2},
      {{Ip(192, 168, 1, 127), Ip(192, 168, 1, 10)}, -2},
      {{Ip(192, 168, 1, 10), Ip(192, 168, 2, 5)}, 0},
      {{Ip(192, 169, 1, 10), Ip(10, 0, 0, 1)}, -1},
      {{}, -1},
  };
  for (const Case& c : cases) {
    net.SetAddresses(c.table);
    EXPECT_EQ(logic->CheckWorkstationAddress(), c.expected) << ::testing::PrintToString(c.table);
  }
  net.SetAddresses({Ip(192, 168, 1, 10)});
  net.SetAddressError(ENOMEM);
  EXPECT_EQ(logic->CheckWorkstationAddress(), -1);
}

TEST_F(MainLogicTest, StartRefusalsAndWhatTheyLeaveInTheStageTable) {
  SetJob(kJobEeprom, 0, false);
  logic->stages.Set(0, StageTested);
  net.SetAddresses({Ip(192, 168, 2, 5), Ip(192, 168, 1, 10)});
  Press();
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].caption, "Error");
  EXPECT_EQ(boxes.Boxes()[0].text, kIpText);
  EXPECT_EQ(logic->stages.Get(0), StageTested) << "address refusal leaves the table";
  EXPECT_EQ(logic->dispatcher(), nullptr);

  net.SetAddresses({Ip(192, 168, 1, 10)});
  logic->job.filesSelected = false;
  Press();
  EXPECT_EQ(boxes.Texts().back(), "Please Select Files first.");
  EXPECT_EQ(logic->stages.Get(0), StageIdle) << "the table is cleared before the job check";
  EXPECT_FALSE(CaptionStop());
  EXPECT_EQ(logic->dispatcher(), nullptr);

  // MAC programming from a pool without an address.
  dir.Write("storedMAC.txt", "02:5C:3A:04:22:D2\r\n02:5C:3A:04:22:D1\r\n");
  ASSERT_EQ(logic->macPool().Load(), 0);
  SetJob(0, 0, true);
  Press();
  EXPECT_EQ(board.MacCell(0, 0), "MAC not available");
  EXPECT_EQ(logic->dispatcher(), nullptr);
  EXPECT_FALSE(CaptionStop());
}

// What a build says at every job set-up about itself: the Windows build keeps no
// records.
std::vector<std::string> WithBuildNotes(std::vector<std::string> lines) {
#ifdef _WIN32
  lines.insert(lines.begin(), "production records are not kept: this build has no SQLite");
#endif
  return lines;
}

TEST_F(MainLogicTest, SelectFilesSetsUpTheJobAndTheMacLine) {
  FakeJobDialog dialog;
  // Cancel: the log and the MAC line stay as they were.
  board.AppendMessage("earlier");
  dialog.onShow = [] { return false; };
  OnUi([&] { logic->selectFileBtnClick(dialog); });
  EXPECT_EQ(dialog.shown, 1);
  EXPECT_EQ(board.Messages(), WithBuildNotes({"earlier"}));

  // OK without MAC programming: the file lines, the MAC line untouched.
  dialog.onShow = [&] {
    logic->storedConfig.eepromPath = "/images/a.vef";
    logic->storedConfig.firmwarePath = "";
    logic->job.jobFlags = kJobEeprom;
    logic->job.logEnabled = true;
    logic->job.logDirectory = "/logs";
    logic->job.filesSelected = true;
    logic->storedConfig.fastDownload = true;
    return true;
  };
  OnUi([&] { logic->selectFileBtnClick(dialog); });
  EXPECT_EQ(
      board.Messages(),
      WithBuildNotes({"EEPROM: /images/a.vef", "Firmware: ", "Log file: /logs",
                      "Fast download: each block is sent as soon as the last one was answered"}));
  logic->storedConfig.fastDownload = false;
  EXPECT_EQ(board.MacCell(0, 0), "");

  // MAC programming with a pool file that cannot be loaded (missing, then created empty).
  dialog.onShow = [&] {
    logic->job.programMac = true;
    logic->job.logEnabled = false;
    logic->job.filesSelected = true;
    return true;
  };
  OnUi([&] { logic->selectFileBtnClick(dialog); });
  EXPECT_EQ(board.MacCell(0, 0), "MAC initialize failed: -1");
  EXPECT_EQ(boxes.Texts().back(),
            "get MAC from storedMAC.txt failed\r\nPlease put the right file and try again");
  EXPECT_FALSE(logic->job.filesSelected);
  EXPECT_FALSE(logic->macPool().IsLoaded());
  // The log names the pool the station uses.
  const std::string poolLine = "MAC pool: " + logic->macPool().Describe();
  EXPECT_EQ(board.Messages(), WithBuildNotes({poolLine}));

  // The pool file put right: the range is shown and the job is set up.
  dir.Write("storedMAC.txt", kOneAddressPool);
  OnUi([&] { logic->selectFileBtnClick(dialog); });
  EXPECT_EQ(board.MacCell(0, 0), "available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1");
  EXPECT_TRUE(logic->job.filesSelected);
  EXPECT_EQ(board.Messages(), WithBuildNotes({poolLine, "EEPROM: /images/a.vef", "Firmware: "}));

#ifndef _WIN32  // Windows does not let a held file be replaced
  // The file replaced while the window keeps the pool loaded between runs: the next
  // address is refused with the reason in the message log, and the next set-up loads
  // the file now there.
  dir.Write("new.txt", kOneAddressPool);
  ASSERT_EQ(RenameOver(dir.File("new.txt"), dir.File("storedMAC.txt")), 0);
  MacAddress taken{};
  int took = 0;
  OnUi([&] { took = logic->macPool().TakeNext(&taken); });
  EXPECT_EQ(took, FileMacPool::kReplaced);
  EXPECT_EQ(board.Messages().back(),
            "storedMAC.txt was replaced while in use: no address was taken. Set up the job again "
            "with Select Files.");
  OnUi([&] { logic->selectFileBtnClick(dialog); });
  EXPECT_TRUE(logic->macPool().IsLoaded());
  OnUi([&] { took = logic->macPool().TakeNext(&taken); });
  EXPECT_EQ(took, 0);
#endif

  // An assigned address is shown without looking at the pool.
  dialog.onShow = [&] {
    logic->job.programMac = true;
    logic->job.assignMac = true;
    logic->job.assignedMacText = "02:5C:3A:04:21:0F";
    return true;
  };
  OnUi([&] { logic->selectFileBtnClick(dialog); });
  EXPECT_EQ(board.MacCell(0, 0), "assigned MAC: 02:5C:3A:04:21:0F");
  EXPECT_TRUE(logic->job.filesSelected);
}

// A station set to the factory pool never falls back to storedMAC.txt: a setting it
// cannot use, or a database it cannot reach, fails the set-up and says why.
TEST_F(MainLogicTest, FactoryPoolThatCannotBeUsedFailsTheSetUp) {
  dir.Write("storedMAC.txt", kOneAddressPool);
  FakeJobDialog dialog;
  dialog.onShow = [&] {
    logic->job.programMac = true;
    return true;
  };
  struct Case {
    const char* conf;
    const char* macLine;
    const char* logged;
  } cases[] = {
      {"pool = postgresql\n", "MAC initialize failed: -1",
       "station.conf: pool postgresql needs database = <connection string>"},
      {"pool = sqlite\n", "MAC initialize failed: -1",
       "station.conf: pool \"sqlite\" is not known"},
#ifndef _WIN32
      {"pool = postgresql\ndatabase = host=/nonexistent/pt dbname=factory password=secret\n",
       "MAC initialize failed: 2", "factory database: connection to server on socket"},
#else
      {"pool = postgresql\ndatabase = host=/nonexistent/pt dbname=factory password=secret\n",
       "MAC initialize failed: -1", "station.conf: pool postgresql is not part of this build"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.conf);
    board.ClearMessages();
    StationSettings settings;
    settings.Parse(c.conf);
    OnUi([&] { ApplyStationSettings(*logic, settings, dir.path()); });
    OnUi([&] { logic->selectFileBtnClick(dialog); });
    EXPECT_EQ(board.MacCell(0, 0), c.macLine);
    EXPECT_FALSE(logic->job.filesSelected);
    bool logged = false;
    for (const auto& m : board.Messages()) {
      logged = logged || m.find(c.logged) != std::string::npos;
      EXPECT_EQ(m.find("secret"), std::string::npos) << m;
    }
    EXPECT_TRUE(logged) << "message log lacks: " << c.logged;
  }
  EXPECT_EQ(dir.Read("storedMAC.txt"), kOneAddressPool);

  // What the station could not use of station.conf at start is still in the log after
  // a set-up cleared it.
  StationSettings odd;
  odd.Parse("colour = blue\n");
  PlatformServices services;
  services.ui = &ui;
  services.clock = &clock;
  services.serial = &bus;
  services.net = &net;
  RecordingBoard view;
  MainLogic other(services, view, boxes, dir.path(), &odd);
  other.selectFileBtnClick(dialog);
  ASSERT_FALSE(view.Messages().empty());
  EXPECT_EQ(view.Messages().front(), "station.conf line 1: unknown key \"colour\"");
  other.FormClose();
}

// A station.conf that is there but not understood whole never leads to a pool other
// than the one meant (here an old storedMAC.txt): the set-up is refused for any job
// and the message log says why. An editor's byte-order mark and trailing comments are
// understood.
TEST_F(MainLogicTest, StationConfNotUnderstoodWholeSetsUpNoJob) {
  FakeJobDialog dialog;
  bool programMac = true;
  dialog.onShow = [&] {
    logic->job.programMac = programMac;
    logic->job.filesSelected = true;  // as the dialog leaves a job without MAC
    return true;
  };
  struct Case {
    std::string conf;  // "" : station.conf is a directory
    std::string macLine;
    std::string logged;
  } cases[] = {
      {"\xEF\xBB\xBFpool = file\n", "available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1", ""},
      {"pool = file   # the station's own file\r\nstation-name = st#1 # line 1\n",
       "available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1", ""},
#ifndef _WIN32
      // The hostile test's station 2: with its byte-order mark, the factory pool all the same.
      {"\xEF\xBB\xBFpool = postgresql\ndatabase = host=/nonexistent/pt dbname=f # the pool\n",
       "MAC initialize failed: 2", "factory database: connection to server"},
      {"", "MAC initialize failed: " + std::to_string(EISDIR), "could not be read (error"},
#endif
      {"Pool = postgresql\n", "MAC initialize failed: -1", "line 1: unknown key \"Pool\""},
      {"pool: postgresql\n", "MAC initialize failed: -1", "line 1: no '=' in \"pool: postgresql\""},
      {"pool = postgresql\n# later\npool = file\n", "MAC initialize failed: -1",
       "line 3: key \"pool\" given again (first on line 1)"},
      {"pool = file\n" + std::string(70000, '#'), "MAC initialize failed: -1",
       "longer than 65536 bytes"},
      {"unit-hold-ms = 60000 # a minute\n", "available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1", ""},
      {"pool = file\nunit-hold-ms = 199\n", "MAC initialize failed: -1",
       "line 2: unit-hold-ms = 199 is not a number of milliseconds from 200 to 60000"},
      {"unit-hold-ms = 2 s\n", "MAC initialize failed: -1", "unit-hold-ms = 2 s is not"},
      // A misspelt mode must not leave a production station open.
      {"mode = Production\n", "MAC initialize failed: -1", "mode = Production is neither"},
      {"engineer-minutes = 0\n", "MAC initialize failed: -1", "engineer-minutes = 0 is not a"},
  };
  {
    StationSettings hold;
    EXPECT_EQ(UnitHoldMs(hold), 2000u);
    for (const char* bad : {"", "+500", "-1", "60001", "4294967496", "0x400", "1e3"}) {
      hold.Parse(std::string("unit-hold-ms = ") + bad + "\n");
      EXPECT_EQ(UnitHoldMs(hold), 2000u) << bad;
    }
    EXPECT_NE(hold.FailureCode(), 0);
    StationSettings set;
    set.Parse("unit-hold-ms = 200\n");
    EXPECT_EQ(set.FailureCode(), 0);
    EXPECT_EQ(UnitHoldMs(set), 200u);
  }
  PlatformServices services;
  services.ui = &ui;
  services.clock = &clock;
  services.serial = &bus;
  services.net = &net;
  for (bool mac : {true, false}) {
    programMac = mac;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.conf.substr(0, 60) + (mac ? " (MAC job)" : " (no MAC)"));
      TempDir data;
      data.Write("storedMAC.txt", kOneAddressPool);
      if (c.conf.empty()) {
        std::filesystem::create_directory(data.File("station.conf"));
      } else {
        data.Write("station.conf", c.conf);
      }
      RecordingBoard view;
      RecordingBoxes none;
      auto station = std::make_unique<MainLogic>(services, view, none, data.path());
      std::swap(station, logic);
      OnUi([&] { logic->selectFileBtnClick(dialog); });
      // Refused for station.conf itself: any job; the factory pool's failure: MAC jobs.
      const bool refused = c.macLine.find("-1") != std::string::npos || c.conf.empty();
      const bool setUp = mac ? c.macLine.rfind("available", 0) == 0 : !refused;
      EXPECT_EQ(logic->job.filesSelected, setUp);
      if (mac || refused) {
        EXPECT_EQ(view.MacCell(0, 0), c.macLine);
        bool logged = false;
        for (const auto& m : view.Messages())
          logged = logged || m.find(c.logged) != std::string::npos;
        EXPECT_TRUE(logged) << "message log lacks: " << c.logged;
      }
      if (refused) {
        ASSERT_FALSE(view.Messages().empty());
        EXPECT_NE(view.Messages().back().find("no job is set up"), std::string::npos);
      }
      OnUi([&] { logic->FormClose(); });
      std::swap(station, logic);
      EXPECT_EQ(data.Read("storedMAC.txt"), kOneAddressPool);
    }
  }
}

TEST_F(MainLogicTest, RunEndsByItselfAndReturnsTheButton) {
  AddPorts({1, 3, 4});
  SetJob(kJobEeprom, 1, false);
  board.ShowPortStatus(7, "from the last run");
  Press();
  EXPECT_TRUE(CaptionStop());
  EXPECT_TRUE(board.StartRunning());
  EXPECT_EQ(board.StatusCell(3, 1), "") << "Start clears the status grid";
  ASSERT_TRUE(WaitRunEnded());
  EXPECT_FALSE(board.StartRunning());
  for (int k = 0; k < 3; k++) EXPECT_EQ(logic->stages.Get(k), StageTested);
  EXPECT_EQ(board.StatusCell(1, 0), "COM4: test ended 4");
  EXPECT_EQ(board.MacCell(0, 0), "") << "a job without MAC programming leaves the MAC line";

  // The same job again: the ended dispatcher is released, the table cleared.
  Press();
  EXPECT_TRUE(CaptionStop());
  ASSERT_TRUE(WaitRunEnded(2));
  EXPECT_EQ(factory->Count(WorkerKind::LoopbackTest), 6);
  EXPECT_TRUE(OnUiValue([&] { return logic->ReleaseEndedDispatcher(); }));
  EXPECT_EQ(logic->dispatcher(), nullptr);
}

TEST_F(MainLogicTest, StopAsksFirstAndNoLeavesTheRunAlone) {
  AddPorts({1, 2});
  SetJob(kJobFirmware, 0, false);
  WorkerScript forever;
  forever.untilStopped = true;
  factory->SetDefault(forever);
  Press();
  ASSERT_TRUE(WaitFor([&] { return factory->Total() == 2; }));

  boxes.QueueAnswer(BoxResult::No);
  Press();
  const auto asked = boxes.Boxes().back();
  EXPECT_EQ(asked.caption, "Confirm");
  EXPECT_EQ(asked.text, "Realy Stop the process ?");
  EXPECT_EQ(asked.buttons, BoxButtons::YesNo);
  EXPECT_TRUE(CaptionStop());
  EXPECT_TRUE(logic->dispatcher()->Running());

  Press();  // Yes
  EXPECT_FALSE(CaptionStop()) << "the caption returns at once";
  ASSERT_TRUE(WaitRunEnded());
  EXPECT_EQ(logic->stages.Get(0), StageFailed);
  EXPECT_EQ(logic->stages.Get(1), StageFailed);
}

TEST_F(MainLogicTest, StartWhileTheStoppedRunIsStillEndingIsRefused) {
  AddPorts({1, 2});
  SetJob(kJobEeprom, 0, false);
  std::atomic<bool> letGo{false};
  WorkerScript slowToStop;
  slowToStop.untilStopped = true;
  slowToStop.holdStop = &letGo;
  factory->SetDefault(slowToStop);
  Press();
  ASSERT_TRUE(WaitFor([&] { return factory->Total() == 2; }));
  Press();  // Stop, Yes
  EXPECT_FALSE(CaptionStop());
  EXPECT_TRUE(Busy());

  boxes.Clear();
  Press();  // Start while the workers still wind down
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].caption, "Error");
  EXPECT_EQ(boxes.Boxes()[0].text, MainLogic::kStillStoppingText);
  EXPECT_EQ(logic->stages.Get(0), StageDownloading) << "the table is not cleared under workers";
  EXPECT_FALSE(CaptionStop());

  // Select Files cannot change the job under them either.
  FakeJobDialog dialog;
  OnUi([&] { logic->selectFileBtnClick(dialog); });
  EXPECT_EQ(dialog.shown, 0);

  letGo.store(true);
  ASSERT_TRUE(WaitRunEnded());
  EXPECT_EQ(logic->stages.Get(0), StageFailed);
  factory->SetDefault(WorkerScript{StageIdle, 100});
  Press();
  EXPECT_TRUE(CaptionStop());
  ASSERT_TRUE(WaitRunEnded(2));
  EXPECT_EQ(logic->stages.Get(0), StageDownloaded);
}

TEST_F(MainLogicTest, SelectFilesDuringARunDoesNothing) {
  AddPorts({1});
  SetJob(kJobEeprom, 0, false);
  WorkerScript forever;
  forever.untilStopped = true;
  factory->SetDefault(forever);
  Press();
  FakeJobDialog dialog;
  OnUi([&] { logic->selectFileBtnClick(dialog); });
  EXPECT_EQ(dialog.shown, 0);
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(MainLogicTest, CloseDuringARunStopsItBeforeTheWindowGoes) {
  AddPorts({1, 2, 3});
  SetJob(kJobEeprom, 1, false);
  WorkerScript forever;
  forever.untilStopped = true;
  factory->SetDefault(forever);
  Press();
  ASSERT_TRUE(WaitFor([&] { return factory->Total() == 3; }));
  EXPECT_FALSE(OnUiValue([&] { return logic->CanClose(); }));
  OnUi([&] { logic->RequestClose(); });
  ASSERT_TRUE(WaitFor([&] { return OnUiValue([&] { return logic->CanClose(); }); }));
  for (int k = 0; k < 3; k++) EXPECT_EQ(logic->stages.Get(k), StageFailed);
  EXPECT_EQ(factory->Count(WorkerKind::LoopbackTest), 0);
  // Once closing, Start does nothing.
  Press();
  EXPECT_EQ(factory->Total(), 3);
  OnUi([&] { logic->FormClose(); });
  EXPECT_EQ(logic->dispatcher(), nullptr);
}

TEST_F(MainLogicTest, LogFileFailureKeepsStopUntilTheOperatorPressesIt) {
  AddPorts({1});
  SetJob(kJobEeprom, 0, false);
  logic->job.logEnabled = true;
  logic->job.logDirectory = dir.File("no-such-dir");
  Press();
  ASSERT_TRUE(WaitFor([&] { return board.EndedCount() == 1; }));
  EXPECT_EQ(board.MacCell(1, 0),
            "startThread: create log file failed: " + std::to_string(kErrNoPath));
  EXPECT_TRUE(CaptionStop());
  EXPECT_TRUE(board.StartRunning());
  Press();  // Stop, Yes: only the caption returns
  EXPECT_FALSE(CaptionStop());
  logic->job.logEnabled = false;
  Press();
  ASSERT_TRUE(WaitRunEnded(2));
  EXPECT_EQ(logic->stages.Get(0), StageDownloaded);
}

}  // namespace

// station.conf's test-interface: a pattern with the COM number plus a base, a list
// with one interface per port, or one interface for all; anything else is refused.
#ifndef _WIN32  // the Windows build keeps no records, so no audit trail: it runs no package
// A production station runs only a package verified against a trusted key, and nobody
// changes its job without the engineer's password; every step is in the audit trail.
TEST_F(MainLogicTest, ProductionModeRunsOnlyAVerifiedPackageAndKeepsTheTrail) {
  std::string error;
  SigningKey key, stranger;
  ASSERT_TRUE(GenerateSigningKey(&key, &error) && GenerateSigningKey(&stranger, &error)) << error;
  const std::string firmware = std::string(3000, '\x11') + "end";
  JobContent content;
  content.name = "Board";
  content.version = "7";
  content.created = "2026-12-09T08:00:00Z";
  content.steps.firmware = true;
  content.steps.loopback = true;
  content.steps.consoleBaud = 57600;
  content.firmware = JobImage{"board.vff", firmware, ""};
  std::string good, other;
  ASSERT_TRUE(ComposeJobPackage(content, key, &good, &error)) << error;
  content.version = "8";
  ASSERT_TRUE(ComposeJobPackage(content, key, &other, &error)) << error;
  std::string untrusted;
  ASSERT_TRUE(ComposeJobPackage(content, stranger, &untrusted, &error)) << error;
  std::string flipped = good;
  flipped[flipped.size() - 3] ^= 1;  // a byte of the firmware image
  std::string hash;
  ASSERT_TRUE(MakeEngineerPasswordHash("open sesame", &hash, &error, 10000)) << error;

  TempDir data;
  data.Write("storedMAC.txt", kOneAddressPool);
  std::filesystem::create_directory(TrustedKeysDir(data.path()));
  data.Write("trusted-keys/engineer.pub", PublicKeyText(key.pub));
  for (const auto& [name, bytes] : {std::pair{"good.ptjob", good}, {"other.ptjob", other},
                                    {"untrusted.ptjob", untrusted}, {"flipped.ptjob", flipped}}) {
    data.Write(name, bytes);
  }
  PlatformServices services{&ui, &clock, &bus, &net};
  std::unique_ptr<ScriptedWorkerFactory> workers;
  std::unique_ptr<MainLogic> station;
  RecordingBoard view;
  RecordingBoxes seen;
  const auto open = [&](const std::string& package) {
    if (station) OnUi([&] { station->FormClose(); });
    station.reset();
    data.Write("station.conf", "mode = production\nstation-name = line-1\njob-package = " +
                                   data.File(package) + "\nengineer-password = " + hash + "\n");
    station = std::make_unique<MainLogic>(services, view, seen, data.path());
    workers = std::make_unique<ScriptedWorkerFactory>(station->station());
    station->SetWorkerFactory(workers.get());
  };
  AddPorts({1, 2});
  // Refused before any port starts, with the package and the reason.
  for (const auto& [package, reason] :
       {std::pair{"flipped.ptjob", "does not match the manifest"}, {"untrusted.ptjob", "does not trust"}}) {
    SCOPED_TRACE(package);
    open(package);
    EXPECT_EQ(station->Mode(), StationMode::Production);
    EXPECT_EQ(station->Package(), nullptr);
    EXPECT_EQ(station->ModeText(), "Production mode: no approved job");
    OnUi([&] { station->Btn_StartClick(); });
    ASSERT_FALSE(seen.Texts().empty());
    EXPECT_NE(seen.Texts().back().find(data.File(package)), std::string::npos) << seen.Texts().back();
    EXPECT_NE(seen.Texts().back().find(reason), std::string::npos) << seen.Texts().back();
    EXPECT_EQ(station->dispatcher(), nullptr);
  }
  EXPECT_TRUE(workers->CreatedList().empty());

  open("good.ptjob");
  ASSERT_NE(station->Package(), nullptr);
  EXPECT_EQ(station->ModeText(), "Production mode: Board 7");
  EXPECT_EQ(station->job.jobFlags, kJobFirmware);
  // The operator can change nothing: the dialog is read-only, and no front-end's
  // change or load gets through.
  std::unique_ptr<SelectFilesLogic> dialogLogic = station->NewJobDialogLogic();
  dialogLogic->FormShow();
  EXPECT_TRUE(dialogLogic->ReadOnly());
  EXPECT_FALSE(dialogLogic->Package().load);
  EXPECT_EQ(dialogLogic->firmware_path.text, "board.vff");
  EXPECT_EQ(dialogLogic->console_CmbBox_index, 1);
  std::string text;
  EXPECT_FALSE(station->RequestJobChange("the job set up through the service", "api", &text));
  EXPECT_NE(text.find("changing it needs engineer mode"), std::string::npos) << text;
  EXPECT_FALSE(station->LoadPackage(data.File("other.ptjob"), "cli", &text));
  EXPECT_FALSE(station->LeavePackage("window", &text));
  EXPECT_FALSE(station->EnterEngineerMode("guess", "window", &text));
  EXPECT_EQ(text, "Wrong password");
  ASSERT_TRUE(station->EnterEngineerMode("open sesame", "window", &text)) << text;
  EXPECT_EQ(station->Mode(), StationMode::Engineer);
  ASSERT_TRUE(station->LoadPackage(data.File("other.ptjob"), "window", &text)) << text;
  EXPECT_EQ(station->Package()->version, "8");
  // Engineer mode ends by itself.
  clock.Advance(15 * 60 * 1000);
  EXPECT_EQ(station->Mode(), StationMode::Production);

  // The run sends the package's bytes, whatever is on disk now.
  data.Write("other.ptjob", "replaced");
  OnUi([&] { station->Btn_StartClick(); });
  ASSERT_TRUE(WaitFor([&] { return OnUiValue([&] { return station->RunLive(); }) == false; }));
  EXPECT_EQ(station->runJob().firmware.bytes, firmware);
  EXPECT_EQ(station->runJob().consoleBaud, 57600u);
  EXPECT_FALSE(workers->CreatedList().empty());
  OnUi([&] { station->FormClose(); });
  station.reset();

  SqliteRecordStore store(data.File("records.db"));
  ASSERT_TRUE(store.Open(false, &error)) << error;
  std::vector<std::string> trail;
  ASSERT_TRUE(store.ReadAudit(RecordFilter{}, [&](const AuditEntry& e) {
    EXPECT_EQ(e.station, "line-1");
    trail.push_back(e.kind + (e.ok ? " ok" : " refused") + (e.jobVersion.empty() ? "" : " v" + e.jobVersion));
    return true;
  }, &error)) << error;
  const std::vector<std::string> expected = {
      "mode-change ok", "package-check refused",  // flipped
      "mode-change ok", "package-check refused v8",  // untrusted (what it says it is)
      "mode-change ok", "package-check ok v7", "job-load ok v7",
      "job-change refused v7", "job-change refused", "job-change refused",
      "password-failed refused", "mode-change ok",
      "package-check ok v8", "job-load ok v8", "mode-change ok"};
  EXPECT_EQ(trail, expected);
}
#endif

TEST(TestInterfacesSetting, PatternListAndSharedForms) {
  TestInterfaces t;
  std::string problem;
  ASSERT_TRUE(t.Parse("eth0.%d", "100", &problem));
  EXPECT_EQ(t.For(1), "eth0.101");
  EXPECT_EQ(t.For(16), "eth0.116");
  EXPECT_TRUE(t.Patterned());
  EXPECT_FALSE(t.Shared());
  ASSERT_TRUE(t.Parse("COM1:enx1, COM3 : enx3", "", &problem));
  EXPECT_EQ(t.For(3), "enx3");
  EXPECT_EQ(t.For(2), "");
  EXPECT_EQ(t.Listed(16), (std::vector<std::string>{"enx1", "enx3"}));
  ASSERT_TRUE(t.Parse("eth1", "", &problem));
  EXPECT_TRUE(t.Shared());
  EXPECT_EQ(t.For(7), "eth1");
  for (const char* bad : {"eth%d.%d", "eth%s", "COM1:a, COM1:b", "COM0:a", "PORT1:a", "COM1:"}) {
    EXPECT_FALSE(t.Parse(bad, "", &problem)) << bad;
    EXPECT_FALSE(t.Configured()) << bad;
  }
  EXPECT_FALSE(t.Parse("eth0.%d", "ten", &problem));
  ASSERT_TRUE(t.Parse("", "", &problem));
  EXPECT_FALSE(t.Configured());
}
