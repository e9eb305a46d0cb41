// storedMAC.txt with the product's permitted block (one address, 04:22:D1).
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "job/Logmac.h"
#include "platform/fake/SystemErrors.h"
#include "platform/fake/TempDir.h"

namespace {

const std::string kD1 = "02:5C:3A:04:22:D1";

struct PoolFixture : ::testing::Test {
  TempDir dir;
  FileMacPool pool{dir.path(), "storedMAC.txt"};
  void Put(const std::string& bytes) { dir.Write("storedMAC.txt", bytes); }
};

TEST_F(PoolFixture, TakeTheOneAddressAndRewriteTheFile) {
  Put(kD1 + "\r\n" + kD1 + "\r\n");
  ASSERT_EQ(pool.Load(), 0);
  EXPECT_TRUE(pool.IsLoaded());
  ASSERT_TRUE(pool.IsAvailable());
  std::string next, last, text;
  ASSERT_TRUE(pool.GetRange(&next, &last));
  EXPECT_EQ(next, kD1);
  EXPECT_EQ(last, kD1);
  EXPECT_EQ(pool.GetAssignState(&text), 0);

  MacAddress a{};
  ASSERT_EQ(pool.TakeNext(&a), 0);
  EXPECT_EQ(FormatMac(a), kD1);
  EXPECT_EQ(dir.Read("storedMAC.txt"),
            std::string("02:5C:3A:04:22:D2\0\n", 19) + kD1 + "\r\n");  // byte 18 untouched
  EXPECT_FALSE(pool.IsAvailable());
  EXPECT_FALSE(pool.GetRange(&next, &last));
  EXPECT_EQ(pool.GetAssignState(&text), 1);
  EXPECT_EQ(text, kD1);
  EXPECT_EQ(pool.TakeNext(&a), -1);
  EXPECT_EQ(a[0], 0xFF);

  // Reading the rewritten file again gives the same state.
  pool.Close();
  FileMacPool again(dir.path(), "storedMAC.txt");
  ASSERT_EQ(again.Load(), 0);
  EXPECT_FALSE(again.IsAvailable());
  EXPECT_EQ(again.GetAssignState(&text), 1);
  EXPECT_EQ(FormatMac(again.nextAddress), "02:5C:3A:04:22:D2");
}

TEST_F(PoolFixture, LowerCaseLoadsAndIsWrittenBackUpperCase) {
  Put("02:5c:3a:04:22:d1\r\n02:5c:3a:04:22:d1");  // 36 bytes
  ASSERT_EQ(pool.Load(), 0);
  MacAddress a{};
  ASSERT_EQ(pool.TakeNext(&a), 0);
  EXPECT_EQ(FormatMac(a), kD1);
  EXPECT_EQ(dir.Read("storedMAC.txt").substr(0, 18), std::string("02:5C:3A:04:22:D2\0", 18));
  EXPECT_EQ(dir.Read("storedMAC.txt").size(), 36u);  // not shortened
}

TEST_F(PoolFixture, FileLengthRule) {
  const std::string body = kD1 + "\r\n" + kD1;  // 36 bytes
  struct Case {
    std::string bytes;
    int result;
  } cases[] = {{body.substr(0, 35), -1}, {body, 0}, {body + "\n", 0}, {body + "\r\n", 0},
               {body + "\r\n\n", -1},    {"", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    Put(c.bytes);
    EXPECT_EQ(pool.Load(), c.result);
    EXPECT_EQ(pool.IsLoaded(), c.result == 0);
    pool.Close();
  }
}

TEST_F(PoolFixture, SeparatorsAreNotRead) {
  Put("02-5C-3A-04-22-D1xx02.5C.3A.04.22.D1");
  // The text holds no "02:" at all: loaded but empty.
  ASSERT_EQ(pool.Load(), 0);
  EXPECT_FALSE(pool.IsAvailable());
  pool.Close();
  Put("02:5C-3A-04-22-D1xx02.5C.3A.04.22.D1");
  ASSERT_EQ(pool.Load(), 0);
  EXPECT_TRUE(pool.IsAvailable());
}

TEST_F(PoolFixture, MissingFileIsCreatedEmptyAndFails) {
  EXPECT_EQ(pool.Load(), -1);
  EXPECT_FALSE(pool.IsLoaded());
  EXPECT_TRUE(dir.Exists("storedMAC.txt"));
  EXPECT_EQ(dir.Read("storedMAC.txt"), "");
  pool.Close();
  pool.Close();  // after a failed load, and twice: nothing happens
}

TEST_F(PoolFixture, OnlyARegularFileIsAPool) {
#ifndef _WIN32
  ASSERT_EQ(mkfifo(dir.File("storedMAC.txt").c_str(), 0644), 0);
  EXPECT_EQ(pool.Load(), -1);  // and does not block
  unlink(dir.File("storedMAC.txt").c_str());
#endif
  ASSERT_TRUE(
      std::filesystem::create_directory(std::filesystem::u8path(dir.File("storedMAC.txt"))));
  EXPECT_EQ(pool.Load(), -1);
  EXPECT_FALSE(pool.IsLoaded());
}

TEST_F(PoolFixture, BadGroupFailsAndReleasesTheFile) {
  Put("02:5C:3A:04:2G:D1\r\n" + kD1 + "\r\n");
  EXPECT_EQ(pool.Load(), -1);
  EXPECT_FALSE(pool.IsLoaded());
  EXPECT_EQ(pool.nextAddress[0], 0xFF);
  EXPECT_EQ(pool.lastAddress[0], 0xFF);
  // The operator corrects the file and tries again.
  Put(kD1 + "\r\n" + kD1 + "\r\n");
  EXPECT_EQ(pool.Load(), 0);
  EXPECT_TRUE(pool.IsAvailable());
}

TEST_F(PoolFixture, WithoutVendorGroupLoadedButEmpty) {
  Put("AA:5C:3A:04:22:D1\r\nAA:5C:3A:04:22:D1\r\n");
  ASSERT_EQ(pool.Load(), 0);
  EXPECT_TRUE(pool.IsLoaded());
  EXPECT_FALSE(pool.IsAvailable());
  std::string text = "untouched";
  EXPECT_EQ(pool.GetAssignState(&text), -1);
  EXPECT_EQ(text, "untouched");
  MacAddress a{};
  EXPECT_EQ(pool.TakeNext(&a), -1);
  EXPECT_EQ(a[0], 0xFF);
}

TEST_F(PoolFixture, OutsideThePermittedBlock) {
  Put("02:5C:3A:04:22:D0\r\n" + kD1 + "\r\n");  // next below the block
  ASSERT_EQ(pool.Load(), 0);
  EXPECT_FALSE(pool.IsAvailable());
  std::string text;
  EXPECT_EQ(pool.GetAssignState(&text), -1);
  pool.Close();
  Put(kD1 + "\r\n02:5C:3A:04:22:D2\r\n");  // last above the block
  ASSERT_EQ(pool.Load(), 0);
  EXPECT_FALSE(pool.IsAvailable());
  EXPECT_EQ(pool.GetAssignState(&text), -1);
  pool.Close();
  Put("02:5C:3A:04:22:D3\r\n" + kD1 + "\r\n");  // next two past last
  ASSERT_EQ(pool.Load(), 0);
  EXPECT_EQ(pool.GetAssignState(&text), -1);
}

TEST_F(PoolFixture, SecondHolderCannotLoad) {
  Put(kD1 + "\r\n" + kD1 + "\r\n");
  ASSERT_EQ(pool.Load(), 0);
  FileMacPool other(dir.path(), "storedMAC.txt");
  EXPECT_EQ(other.Load(), -1);
  pool.Close();
  EXPECT_EQ(other.Load(), 0);
}

#ifndef _WIN32
TEST_F(PoolFixture, PoolHeldByAnotherProcess) {
  Put(kD1 + "\r\n" + kD1 + "\r\n");
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileMacPool held(dir.path(), "storedMAC.txt");
    char c = held.Load() == 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(3);
    if (read(release[0], &c, 1) < 0) _exit(4);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(pool.Load(), -1);
  EXPECT_FALSE(pool.IsLoaded());
  EXPECT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(pool.Load(), 0);  // released when the other process ended
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}
#endif

// Another program renames a new file over the pool (as editors and "sed -i" do),
// removes it, or moves it away, while the station holds it: nothing more is handed out
// from the old file (nor written into it where it went), the operator is told once,
// and the next load takes the new file.
TEST_F(PoolFixture, ReplacedOrRemovedPoolHandsOutNothing) {
  std::vector<std::string> log;
  pool.SetMessageSink([&](const std::string& m) { log.push_back(m); });
  const std::string bytes = kD1 + "\r\n" + kD1 + "\r\n";
  for (int how : {0, 1, 2}) {
    const bool remove = how == 1;
    SCOPED_TRACE(how == 0 ? "replaced" : how == 1 ? "removed" : "moved away");
    log.clear();
    Put(bytes);
    ASSERT_EQ(pool.Load(), 0);
    if (how == 2) {
#ifdef _WIN32
      pool.Close();
      continue;  // Windows does not let a held file be renamed
#endif
      ASSERT_EQ(RenameOver(dir.File("storedMAC.txt"), dir.File("moved.txt")), 0);
    } else if (remove) {
      ASSERT_EQ(unlink(dir.File("storedMAC.txt").c_str()), 0);
      if (RunningUnderWine()) {
        pool.Close();
        continue;
      }
    } else {
      dir.Write("new.txt", bytes);
#ifdef _WIN32
      // Windows does not let a held file be replaced.
      EXPECT_NE(RenameOver(dir.File("new.txt"), dir.File("storedMAC.txt")), 0);
      pool.Close();
      continue;
#endif
      ASSERT_EQ(RenameOver(dir.File("new.txt"), dir.File("storedMAC.txt")), 0);
    }
    MacAddress a{};
    EXPECT_EQ(pool.TakeNext(&a), FileMacPool::kReplaced);
    EXPECT_EQ(a[0], 0xFF);
    EXPECT_EQ(pool.TakeNext(&a), FileMacPool::kReplaced);
    EXPECT_EQ(log,
              (std::vector<std::string>{"storedMAC.txt was replaced while in use: no address "
                                        "was taken. Set up the job again with Select Files."}));
    EXPECT_FALSE(pool.IsLoaded());
    EXPECT_FALSE(pool.IsAvailable());
    if (how == 0) {
      EXPECT_EQ(dir.Read("storedMAC.txt"), bytes);  // the new file untouched
    } else if (how == 2) {
      EXPECT_EQ(dir.Read("moved.txt"), bytes);  // nothing taken from where it went
    }
  }
  Put(bytes);
  ASSERT_EQ(pool.Load(), 0);
  MacAddress a{};
  EXPECT_EQ(pool.TakeNext(&a), 0);
  EXPECT_EQ(FormatMac(a), kD1);
}

// A pool file whose writes or syncs fail, as on a full or failing disk.
class FaultyFile : public LockedFile {
 public:
  int writeError = 0;
  int syncError = 0;
  int WriteAt(uint64_t offset, const void* data, size_t len) override {
    return writeError != 0 ? writeError : LockedFile::WriteAt(offset, data, len);
  }
  int Sync() override { return syncError != 0 ? syncError : LockedFile::Sync(); }
};

TEST_F(PoolFixture, FailedWriteBackHandsOutNothing) {
  const std::string bytes = kD1 + "\r\n" + kD1 + "\r\n";
  for (bool syncFails : {false, true}) {
    SCOPED_TRACE(syncFails ? "sync" : "write");
    Put(bytes);
    auto file = std::make_unique<FaultyFile>();
    (syncFails ? file->syncError : file->writeError) = syncFails ? EIO : ENOSPC;
    FileMacPool failing(dir.path(), "storedMAC.txt", std::move(file));
    ASSERT_EQ(failing.Load(), 0);
    MacAddress a{};
    EXPECT_EQ(failing.TakeNext(&a), syncFails ? EIO : ENOSPC);
    EXPECT_EQ(a[0], 0xFF);
    EXPECT_FALSE(failing.IsAvailable());  // advanced in memory: not handed out again
    EXPECT_EQ(failing.TakeNext(&a), -1);
    if (!syncFails) {
      EXPECT_EQ(dir.Read("storedMAC.txt"), bytes);
    }
  }
}

TEST(ParseMac, GroupsAndLength) {
  MacAddress a{};
  EXPECT_EQ(MacPool::ParseMac("0a:Bc:3A:04:22:d1", 17, &a), 0);
  EXPECT_EQ(FormatMac(a), "0A:BC:3A:04:22:D1");
  EXPECT_EQ(MacPool::ParseMac("0a:Bc:3A:04:22:d", 16, &a), -1);  // too short to hold six groups
  EXPECT_EQ(MacPool::ParseMac("0a:Bc:3A:04:22: 1", 17, &a), -1);
  EXPECT_EQ(MacPool::ParseMac("0a:Bc:3A:04:22:+1", 17, &a), -1);
}

}  // namespace
