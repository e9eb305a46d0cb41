// The factory pool against a real PostgreSQL server (started by scripts/pgtest.sh,
// which hands over the owner's connection string in PGT_ADMIN). Built with a
// permitted block of 04:22:D1 and the 4095 addresses after it.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "factorydb/FactorySchema.h"
#include "factorydb/PgMacPool.h"
#include "factorydb/PgRecordStore.h"
#include "records/RecordText.h"
#include "records/RecordWriter.h"
#include "records/Spool.h"

namespace {

using Clock = std::chrono::steady_clock;

MacAddress Mac(uint32_t low) {
  return MacAddress{0x02,
                    0x5C,
                    0x3A,
                    static_cast<uint8_t>(low >> 16),
                    static_cast<uint8_t>(low >> 8),
                    static_cast<uint8_t>(low)};
}

// Stops or starts the test's server (scripts/pgtest.sh's functions); true when done.
bool Server(const char* what) {
  const std::string command = std::string("bash -c 'source \"") + PT_SOURCE_DIR +
                              "/scripts/pgtest.sh\" && " + what + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

size_t Spooled(const std::string& path) {
  std::vector<SpoolFields> entries;
  EXPECT_EQ(ReadSpool(path, &entries), 0);
  return entries.size();
}

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

class PgPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* admin = std::getenv("PGT_ADMIN");
    ASSERT_NE(admin, nullptr) << "run through scripts/pgtest.sh, which starts the server";
    // A database of its own for every test.
    static std::atomic<int> counter{0};
    const std::string name = "t" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    PgLink owner(admin, "test", 10000);
    ASSERT_EQ(owner.Connect(PgLink::In(10000)), 0) << owner.Error();
    ASSERT_EQ(owner.ExecScript("CREATE DATABASE " + name, PgLink::In(10000)), 0) << owner.Error();
    db = std::string(admin) + " dbname=" + name;
    link = std::make_unique<PgLink>(db, "test", 10000);
    ASSERT_EQ(link->Connect(PgLink::In(10000)), 0) << link->Error();
    ASSERT_EQ(factorydb::CreateSchema(*link, PgLink::In(10000)), 0) << link->Error();
  }

  void Define(const std::string& name, uint32_t first, uint32_t last) {
    factorydb::Block b;
    b.name = name;
    b.prefix = 0x025C3A;
    b.first = first;
    b.last = last;
    std::string why;
    ASSERT_EQ(factorydb::DefineBlock(*link, b, &why, PgLink::In(10000)), 0) << why;
  }

  std::vector<std::vector<std::string>> Query(const std::string& sql) {
    PgRows rows;
    EXPECT_EQ(link->Exec(sql, {}, &rows, PgLink::In(10000)), 0) << link->Error();
    return rows.rows;
  }

  std::string db;
  std::unique_ptr<PgLink> link;
};

// One pool's whole life: the permitted block binds it, every address handed out is
// recorded with its taker and settled, nothing comes back, and the database itself
// refuses to forget a taken address.
TEST_F(PgPoolTest, TakesFromItsBlockRecordsTakersAndNeverGivesBack) {
  Define("outside", 0x050000, 0x0500FF);  // beyond this build's permitted block
  PgMacPool none(db, "st1");
  ASSERT_EQ(none.Load(), 0);
  EXPECT_FALSE(none.IsAvailable()) << "a block outside the permitted one is not used";

  Define("line", 0x0422D1, 0x0422D2);
  PgMacPool pool(db, "st1");
  std::vector<std::string> log;
  pool.SetMessageSink([&](const std::string& t) { log.push_back(t); });
  ASSERT_EQ(pool.Load(), 0);
  std::string next, last;
  ASSERT_TRUE(pool.GetRange(&next, &last));
  EXPECT_EQ(next + " ~ " + last, "02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D2");

  MacAddress a{};
  ASSERT_EQ(pool.TakeNextFor("COM1", "run1", &a), 0);
  EXPECT_EQ(a, Mac(0x0422D1));
  EXPECT_EQ(pool.Settle(a, MacOutcome::Programmed), 0);
  // Another station of the factory takes the next one, and sees it from its load on.
  PgMacPool other(db, "st2");
  ASSERT_EQ(other.Load(), 0);
  ASSERT_TRUE(other.GetRange(&next, nullptr));
  EXPECT_EQ(next, "02:5C:3A:04:22:D2");
  ASSERT_EQ(other.TakeNextFor("COM7", "run2", &a), 0);
  EXPECT_EQ(a, Mac(0x0422D2));
  EXPECT_FALSE(other.GetRange(nullptr, nullptr)) << "used up";
  EXPECT_EQ(other.GetAssignState(&last), 1);
  EXPECT_EQ(last, "02:5C:3A:04:22:D2");
  EXPECT_EQ(other.Settle(a, MacOutcome::Failed), 0);
  // The first station's cache still shows D2; the database says no.
  EXPECT_EQ(pool.TakeNextFor("COM2", "run1", &a), -1);
  EXPECT_EQ(a[0], 0xFF);
  EXPECT_FALSE(pool.IsAvailable());

  EXPECT_EQ(Query("SELECT mac, block, station, port, run_id, state, settled_at IS NOT NULL "
                  "FROM mac_address ORDER BY mac"),
            (std::vector<std::vector<std::string>>{
                {"02:5C:3A:04:22:D1", "line", "st1", "COM1", "run1", "programmed", "t"},
                {"02:5C:3A:04:22:D2", "line", "st2", "COM7", "run2", "failed", "t"}}));
  // A settled outcome never changes again; taken addresses and blocks are kept.
  EXPECT_EQ(pool.Settle(Mac(0x0422D2), MacOutcome::Programmed), 0);
  EXPECT_EQ(Query("SELECT state FROM mac_address WHERE mac = '02:5C:3A:04:22:D2'")[0][0], "failed");
  PgRows rows;
  EXPECT_NE(link->Exec("DELETE FROM mac_address", {}, &rows, PgLink::In(10000)), 0);
  EXPECT_NE(link->Exec("UPDATE mac_block SET next_low = first_low", {}, &rows, PgLink::In(10000)),
            0);
  EXPECT_NE(link->Exec("TRUNCATE mac_address", {}, &rows, PgLink::In(10000)), 0);
  std::string why;
  factorydb::Block clash{"again", 0x025C3A, 0x0422D2, 0x0422FF, 0};
  EXPECT_EQ(factorydb::DefineBlock(*link, clash, &why, PgLink::In(10000)), EEXIST);
  EXPECT_NE(why.find("line"), std::string::npos) << why;
}

// Stations contending for one block: every address handed out once, the block
// advanced by exactly the number taken.
TEST_F(PgPoolTest, ContendingStationsNeverShareAnAddress) {
  Define("line", 0x0422D1, 0x0422D1 + 999);
  constexpr int kStations = 4, kTakes = 40;
  std::vector<std::vector<uint32_t>> taken(kStations);
  std::vector<std::thread> threads;
  for (int s = 0; s < kStations; ++s) {
    threads.emplace_back([&, s] {
      PgMacPool pool(db, "st" + std::to_string(s));
      if (pool.Load() != 0) return;
      for (int i = 0; i < kTakes; ++i) {
        MacAddress a{};
        if (pool.TakeNextFor("COM1", "r", &a) == 0) taken[s].push_back(Low24(a));
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<uint32_t> all;
  size_t count = 0;
  for (const auto& v : taken) {
    EXPECT_EQ(v.size(), static_cast<size_t>(kTakes));
    count += v.size();
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(all.size(), count) << "an address was handed out twice";
  EXPECT_EQ(
      Query("SELECT next_low - first_low, (SELECT count(*) FROM mac_address) FROM mac_block")[0],
      (std::vector<std::string>{std::to_string(count), std::to_string(count)}));
}

// A database out of reach or hanging: every call ends within the bound, hands out
// nothing, and the pool programs again once the database answers.
TEST_F(PgPoolTest, UnreachableOrHungDatabaseFailsInTimeAndRecovers) {
  Define("line", 0x0422D1, 0x0422FF);
  PgMacPool nowhere("host=/nonexistent/pt dbname=factory", "st1");
  auto t = Clock::now();
  EXPECT_EQ(nowhere.Load(), ENOENT);
  EXPECT_LT(SecondsSince(t), 1.0);
  PgMacPool unusable("host=/tmp dbname='unterminated", "st1");
  EXPECT_EQ(unusable.Load(), -1);
  EXPECT_EQ(unusable.Describe().find("password"), std::string::npos);
  // libpq's parse errors never show a password, whichever form the string has.
  for (const char* bad : {"host=/tmp password=sec ret1 dbname=f", "postgresql://st:secret1@/f?x",
                          "postgresql://st@/f?password=secret1&bogus=1 x"}) {
    std::string why;
    PgLink::CheckConninfo(bad, &why);
    PgLink l(bad, "t", 1000);
    l.Connect(PgLink::In(1000));
    for (const std::string& text : {why, l.Error()}) {
      EXPECT_EQ(text.find("secret1"), std::string::npos) << text;
      EXPECT_EQ(text.find("ret1"), std::string::npos) << text;
    }
  }

  PgMacPool pool(db + " application_name=hangtest", "st1");
  std::vector<std::string> log;
  pool.SetMessageSink([&](const std::string& text) { log.push_back(text); });
  ASSERT_EQ(pool.Load(), 0);
  const auto pid = Query("SELECT pid FROM pg_stat_activity WHERE application_name = 'hangtest'");
  ASSERT_EQ(pid.size(), 1u);
  const pid_t backend = static_cast<pid_t>(std::stol(pid[0][0]));
  ASSERT_EQ(kill(backend, SIGSTOP), 0);
  MacAddress a{};
  t = Clock::now();
  const int hung = pool.TakeNextFor("COM1", "r", &a);
  const double took = SecondsSince(t);
  kill(backend, SIGCONT);
  EXPECT_EQ(hung, ETIMEDOUT);
  EXPECT_EQ(a[0], 0xFF);
  EXPECT_GE(took, 1.5);
  EXPECT_LT(took, 2.6);
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("factory database: no address taken"), std::string::npos);
  // Right after a lost link the pool answers at once instead of waiting again.
  t = Clock::now();
  EXPECT_EQ(pool.TakeNextFor("COM2", "r", &a), ETIMEDOUT);
  EXPECT_LT(SecondsSince(t), 0.5);
  // An outcome that cannot be recorded now is kept and recorded later.
  EXPECT_EQ(pool.Settle(Mac(0x0422F0), MacOutcome::Programmed), ETIMEDOUT);
  EXPECT_EQ(pool.PendingOutcomes(), 1u);

  std::this_thread::sleep_for(std::chrono::milliseconds(PgMacPool::kRetryAfterMs + 100));
  ASSERT_EQ(pool.TakeNextFor("COM3", "r", &a), 0) << (log.empty() ? "" : log.back());
  EXPECT_EQ(pool.PendingOutcomes(), 0u);
  // The statement cut off by the time-out may have been committed after all: then its
  // address stays recorded as taken, and is not handed out again.
  const auto rows = Query("SELECT mac, port FROM mac_address ORDER BY mac");
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back()[0], FormatMac(a));
  EXPECT_EQ(rows.back()[1], "COM3");
  EXPECT_LE(rows.size(), 2u);
}

// The records store in the factory database: what is written reads back the same
// (unset values too), a record of the same station, run and port is replaced, and the
// filters select as the embedded store's do.
TEST_F(PgPoolTest, RecordsStoreKeepsEveryStationsRecords) {
  PgRecordStore store(db);
  std::string error;
  ASSERT_TRUE(store.Open(true, &error)) << error;
  UnitRecord a;
  a.station = "st1";
  a.runId = "20261208T050808Z-abcdef";
  a.port = "COM3";
  a.portIndex = 2;
  a.portDevice = "/dev/pts/7";
  a.startedMs = 1796713688123;
  a.steps = "firmware,mac";
  a.consoleBaud = 115200;
  a.firmware = {"/img/fw.vff", 5000, 5120, std::string(64, 'a')};
  UnitRecord b = a;
  b.station = "st2";
  b.port = "COM1";
  b.startedMs += 60000;
  b.endedMs = b.startedMs + 9000;
  b.mac = "02:5C:3A:04:22:D7";
  b.macSource = "pool";
  b.macReported = "02:5C:3A:04:22:D7";
  b.macConfirmed = true;
  b.stage = 6;
  b.verdict = kVerdictPassed;
  b.lastStatus = "COM1: %GLM 02:5C:3A:04:22:D7\r OK";
  ASSERT_TRUE(store.Write({a, b}, &error)) << error;
  a.verdict = kVerdictFailed;
  a.endedMs = a.startedMs + 5000;
  a.failStep = "mac";
  a.failCode = -2;
  a.lastStatus = "COM3: program MAC failed: -2";
  ASSERT_TRUE(store.Write({a}, &error)) << error;

  std::vector<UnitRecord> got;
  auto collect = [&](const RecordFilter& f) {
    got.clear();
    EXPECT_TRUE(store.Read(
        f, [&](const UnitRecord& r) { return got.push_back(r), true; }, &error))
        << error;
    return got.size();
  };
  ASSERT_EQ(collect({}), 2u);
  EXPECT_EQ(CsvLine(got[0]), CsvLine(a));
  EXPECT_EQ(CsvLine(got[1]), CsvLine(b));
  EXPECT_FALSE(got[0].macConfirmed.has_value());
  EXPECT_EQ(got[0].eeprom.fileBytes, -1);
  RecordFilter f;
  f.mac = "02:5c:3a:04:22:d7";
  ASSERT_EQ(collect(f), 1u);
  EXPECT_EQ(got[0].station, "st2");
  f = {};
  f.fromMs = b.startedMs;
  EXPECT_EQ(collect(f), 1u);
  f = {};
  f.station = "st1";
  f.verdict = kVerdictFailed;
  EXPECT_EQ(collect(f), 1u);
  std::map<std::string, int64_t> counts;
  ASSERT_TRUE(store.CountVerdicts({}, &counts, &error)) << error;
  EXPECT_EQ(counts, (std::map<std::string, int64_t>{{"failed", 1}, {"passed", 1}}));

  PgRecordStore nowhere("host=/nonexistent/pt dbname=factory");
  EXPECT_FALSE(nowhere.Open(true, &error));
  EXPECT_NE(error.find("cannot reach"), std::string::npos) << error;
}

// The server stopped in the middle of a run: the outcome settled while it was down and
// the run's record are kept in the spools when the station ends, and the next station
// records and writes them; an outcome waiting at the run's end is recorded once the
// server is back within the run's last few seconds.
TEST_F(PgPoolTest, ServerStoppedMidRunLosesNoOutcomeAndNoRecord) {
  Define("line", 0x0422D1, 0x0422FF);
  char dirTemplate[] = "/tmp/pt_pgspool.XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string outcomes = std::string(dirTemplate) + "/" + kOutcomesSpoolName;
  const std::string recordsSpool = std::string(dirTemplate) + "/" + kRecordsSpoolName;
  UnitRecord r;
  r.station = "st1";
  r.runId = "run1";
  r.port = "COM1";
  r.startedMs = 1796713688123;
  r.steps = "mac";
  r.verdict = kVerdictPassed;
  MacAddress a{}, b{};
  {
    PgMacPool pool(db, "st1");
    pool.SetSpoolFile(outcomes);
    ASSERT_EQ(pool.Load(), 0);
    ASSERT_EQ(pool.TakeNextFor("COM1", "run1", &a), 0);
    ASSERT_EQ(pool.TakeNextFor("COM2", "run1", &b), 0);
    RecordWriter writer(std::make_unique<PgRecordStore>(db), "st1", recordsSpool);
    ASSERT_TRUE(Server("pgt_stop"));
    EXPECT_NE(pool.Settle(a, MacOutcome::Programmed), 0);
    EXPECT_EQ(Spooled(outcomes), 1u) << "kept on disk at once";
    EXPECT_FALSE(writer.Flush(writer.Put(r), std::chrono::milliseconds(10000)));
    EXPECT_EQ(Spooled(recordsSpool), 1u);
    // Back within the run's end: what waits is recorded before the run ends.
    std::thread restart([] { Server("pgt_run_server"); });
    EXPECT_NE(pool.Settle(b, MacOutcome::Failed), 0);
    pool.FinishRun();
    restart.join();
    EXPECT_EQ(pool.WaitingOutcomes(), 0u);
    EXPECT_EQ(Spooled(outcomes), 0u);
    ASSERT_TRUE(Server("pgt_stop"));
  }  // the station ends while the server is down: the record stays in its spool
  EXPECT_EQ(Spooled(recordsSpool), 1u);
  ASSERT_TRUE(Server("pgt_run_server"));
  link->Disconnect();
  ASSERT_EQ(link->Connect(PgLink::In(10000)), 0) << link->Error();
  {
    RecordWriter writer(std::make_unique<PgRecordStore>(db), "st1", recordsSpool);
    EXPECT_TRUE(writer.Retry(std::chrono::milliseconds(10000)));
  }
  EXPECT_EQ(Spooled(recordsSpool), 0u);
  EXPECT_EQ(Query("SELECT state FROM mac_address ORDER BY mac"),
            (std::vector<std::vector<std::string>>{{"programmed"}, {"failed"}}));
  EXPECT_EQ(Query("SELECT port, verdict FROM units"),
            (std::vector<std::vector<std::string>>{{"COM1", "passed"}}));
  std::filesystem::remove_all(dirTemplate);
}

}  // namespace
