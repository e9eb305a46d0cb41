// The pool and the dialog's assign range with a wide permitted block (04:22:D1 to
// 04:32:D0), and a taker process killed with kill -9 at arbitrary moments.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <set>

#include "JobDialogRig.h"
#include "app/HeadlessJobDialog.h"

namespace {

static_assert(MacBlockFirst == 0x0422D1 && MacBlockLast == 0x0432D0, "wide block build");

struct WidePool : ::testing::Test, JobDialogRig {};

TEST_F(WidePool, TakesEveryAddressOnceInOrder) {
  ASSERT_EQ(LoadPool("04:22:D1", "04:22:D5"), 0);
  for (int i = 0; i < 5; ++i) {
    MacAddress a{};
    ASSERT_EQ(pool.TakeNext(&a), 0);
    EXPECT_EQ(Low24(a), 0x0422D1u + static_cast<uint32_t>(i));
    std::string file = dir.Read("storedMAC.txt");
    ASSERT_EQ(file.size(), 38u);
    EXPECT_EQ(file.substr(0, 18), FormatMac(pool.nextAddress) + std::string(1, '\0'));
    EXPECT_EQ(file.substr(18), "\n02:5C:3A:04:22:D5\r\n");
  }
  MacAddress a{};
  EXPECT_EQ(pool.TakeNext(&a), -1);
  std::string text;
  EXPECT_EQ(pool.GetAssignState(&text), 1);
  EXPECT_EQ(text, "02:5C:3A:04:22:D5");

  ASSERT_EQ(LoadPool("04:22:D1", "04:32:D1"), 0);  // last beyond the block
  EXPECT_FALSE(pool.IsAvailable());
  EXPECT_EQ(pool.GetAssignState(&text), -1);
  ASSERT_EQ(LoadPool("04:22:D7", "04:22:D5"), 0);  // next two past last
  EXPECT_EQ(pool.GetAssignState(&text), -1);
}

TEST_F(WidePool, AssignRangeAndArrowsAtBothEnds) {
  ASSERT_EQ(LoadPool("04:22:D4", "04:22:DA"), 0);
  dlg.FormShow();
  EXPECT_TRUE(dlg.macAvailable);
  EXPECT_EQ(dlg.assignLow, 0x0422D1);
  EXPECT_EQ(dlg.assignHigh, 0x0422D3);  // the next address itself is not handed out
  EXPECT_EQ(dlg.assignCurrent, 0x0422D3);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:D3");

  Tick(dlg.ChkBox_pMAC, true, &SelectFilesLogic::ChkBox_pMACClick);
  Tick(dlg.ChkBox_assign_mac, true, &SelectFilesLogic::ChkBox_assign_macClick);
  EXPECT_TRUE(dlg.MaskEdit_MAC.enabled);
  EXPECT_TRUE(dlg.UpDown_mac_enabled);
  EXPECT_TRUE(boxes.Boxes().empty());

  dlg.UpDown_macClick(UpDownButton::Up);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:D3");
  for (int i = 0; i < 5; ++i) dlg.UpDown_macClick(UpDownButton::Down);
  EXPECT_EQ(dlg.assignCurrent, 0x0422D1);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:D1");
  dlg.UpDown_macClick(UpDownButton::Up);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:D2");

  // The arrows step on from a typed value.
  dlg.MaskEdit_MAC.text = "04:22:D1";
  ASSERT_TRUE(dlg.MaskEdit_MACKeyPress('1'));
  dlg.UpDown_macClick(UpDownButton::Up);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:D2");

  dlg.OKBtnClick();
  EXPECT_EQ(dlg.dialogOutcome, 1);
  EXPECT_TRUE(job.assignMac);
  EXPECT_TRUE(job.programMac);
  EXPECT_EQ(job.assignedMacText, "02:5C:3A:04:22:D2");
  EXPECT_EQ(job.assignedMacText.size(), 17u);

  // A value typed beyond the range is refused at OK.
  for (const char* typed : {"04:22:D4", "04:22:D0"}) {
    dlg.MaskEdit_MAC.text = typed;
    dlg.OKBtnClick();
    EXPECT_EQ(Texts().back(), "Invalid assign MAC");
    EXPECT_FALSE(job.assignMac);
    EXPECT_EQ(job.assignedMacText, "");
    EXPECT_EQ(dlg.dialogOutcome, 5);
  }

  // The next showing keeps the MAC choices and shows the refreshed range.
  ASSERT_EQ(LoadPool("04:22:D6", "04:22:DA"), 0);
  dlg.FormShow();
  EXPECT_TRUE(dlg.ChkBox_assign_mac.checked);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:D5");
}

TEST_F(WidePool, UsedUpPoolAssignsUpToTheLastAddress) {
  ASSERT_EQ(LoadPool("04:22:DB", "04:22:DA"), 0);
  dlg.FormShow();
  EXPECT_TRUE(dlg.macAvailable);
  EXPECT_EQ(dlg.assignLow, 0x0422D1);
  EXPECT_EQ(dlg.assignHigh, 0x0422DA);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:DA");

  // Nothing handed out yet: empty range, the edit keeps its text.
  ASSERT_EQ(LoadPool("04:22:D1", "04:22:DA"), 0);
  dlg.FormShow();
  EXPECT_EQ(dlg.assignLow, 0);
  EXPECT_EQ(dlg.assignHigh, 0);
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:DA");
  dlg.UpDown_macClick(UpDownButton::Up);  // clamped to 0: the edit is not touched
  EXPECT_EQ(dlg.MaskEdit_MAC.text, "04:22:DA");
}

TEST_F(WidePool, HeadlessAssignsAnAddress) {
  ASSERT_EQ(LoadPool("04:22:D9", "04:22:DA"), 0);
  HeadlessJobOptions o;
  std::vector<std::string> args = {"--assign-mac", "04:22:d5", "--no-loopback"};
  std::string error;
  for (size_t i = 0; i < args.size();) ASSERT_TRUE(o.TakeOption(args, &i, &error));
  HeadlessJobDialog d(dlg, o);
  EXPECT_TRUE(d.ShowModal());
  EXPECT_TRUE(Texts().empty());
  EXPECT_EQ(job.assignedMacText, "02:5C:3A:04:22:D5");
  EXPECT_EQ(job.loopbackTest, 0);

  o.assignMac = "04:22:D9";  // not handed out yet
  HeadlessJobDialog beyond(dlg, o);
  EXPECT_FALSE(beyond.ShowModal());
  EXPECT_EQ(Texts(), std::vector<std::string>{"Invalid assign MAC"});
}

// ---- kill -9 while taking addresses ----

struct Taker {
  pid_t pid = -1;
  int out = -1;
};

Taker StartTaker(const std::string& dir) {
  int p[2];
  if (pipe(p) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    close(p[0]);
    close(p[1]);
    execl(PT_MACPOOL_TAKER, PT_MACPOOL_TAKER, dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[1]);
  return {pid, p[0]};
}

// Reads complete lines until `want` more lines arrived or the pipe ended.
void ReadLines(int fd, std::string* pending, std::vector<std::string>* lines, size_t want) {
  size_t start = lines->size();
  char buf[512];
  while (lines->size() - start < want) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return;
    pending->append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending->find('\n')) != std::string::npos) {
      lines->push_back(pending->substr(0, nl));
      pending->erase(0, nl + 1);
    }
  }
}

TEST(KillDuringRun, NoAddressIsHandedOutTwiceAfterRestarts) {
  TempDir dir;
  // 400 addresses: 04:22:D1 .. 04:24:60.
  dir.Write("storedMAC.txt", "02:5C:3A:04:22:D1\r\n02:5C:3A:04:24:60\r\n");
  std::mt19937 rng(20261207);
  std::vector<std::string> handed;
  int kills = 0, exitStatus = -1;
  for (int round = 0; round < 200 && exitStatus < 0; ++round) {
    Taker t = StartTaker(dir.path());
    ASSERT_GT(t.pid, 0);
    std::string pending;
    int mode = static_cast<int>(rng() % 3);
    if (mode == 0) {
      // Kill at an arbitrary real moment, possibly during Load or mid-write.
      struct timespec ts {
        0, static_cast<long>(rng() % 3000) * 1000
      };
      nanosleep(&ts, nullptr);
    } else {
      ReadLines(t.out, &pending, &handed, rng() % 12);
    }
    kill(t.pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(t.pid, &status, 0), t.pid);
    ReadLines(t.out, &pending, &handed, SIZE_MAX);  // what it printed before it died
    close(t.out);
    if (WIFSIGNALED(status)) {
      ++kills;
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      exitStatus = WEXITSTATUS(status);  // finished before the kill reached it
    }
  }
  // Let the last run finish the pool.
  if (exitStatus < 0) {
    Taker t = StartTaker(dir.path());
    std::string pending;
    ReadLines(t.out, &pending, &handed, SIZE_MAX);
    int status = 0;
    ASSERT_EQ(waitpid(t.pid, &status, 0), t.pid);
    close(t.out);
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  EXPECT_EQ(exitStatus, 0);
  EXPECT_GT(kills, 50);

  std::set<std::string> unique(handed.begin(), handed.end());
  EXPECT_EQ(unique.size(), handed.size()) << "an address was handed out twice";
  for (const auto& a : handed) {
    MacAddress m{};
    ASSERT_EQ(MacPool::ParseMac(a.c_str(), a.size(), &m), 0) << a;
    EXPECT_GE(Low24(m), 0x0422D1u);
    EXPECT_LE(Low24(m), 0x042460u);
  }
  // Killed runs may lose the address they were taking, never more than one each.
  EXPECT_GE(handed.size() + static_cast<size_t>(kills), 400u);
  EXPECT_EQ(dir.Read("storedMAC.txt").substr(0, 18), std::string("02:5C:3A:04:24:61\0", 18));
}

}  // namespace
