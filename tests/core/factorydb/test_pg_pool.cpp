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
#include "records/UnitsTable.h"

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
    dbName = name;
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

  // A login role of its own (the cluster's roles outlive the test's database), granted
  // the station functions for `station` ("" a role shared by stations); its
  // connection string.
  std::string StationRole(const std::string& base, const std::string& station,
                          bool grant = true) {
    static std::atomic<int> counter{0};
    const std::string role =
        base + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    EXPECT_EQ(link->ExecScript("CREATE ROLE " + role + " LOGIN PASSWORD 'pw-" + role + "'",
                               PgLink::In(10000)),
              0)
        << link->Error();
    std::string why;
    if (grant) {
      EXPECT_EQ(factorydb::GrantStation(*link, role, station, &why, PgLink::In(10000)), 0) << why;
    }
    return std::string("host=") + std::getenv("PGT_BASE") + "/sock dbname=" + dbName +
           " user=" + role + " password=pw-" + role;
  }
  // The shared role "station" of scripts/pgtest.sh, granted.
  std::string SharedStation() {
    std::string why;
    EXPECT_EQ(factorydb::GrantStation(*link, "station", "", &why, PgLink::In(10000)), 0) << why;
    return std::string(std::getenv("PGT_STATION")) + " dbname=" + dbName;
  }
  // The SQLSTATE a statement fails with ("" when it succeeds).
  static std::string Refusal(PgLink& as, const std::string& sql) {
    if (as.ExecScript(sql, PgLink::In(10000)) == 0) return "";
    return as.SqlState().empty() ? as.Error() : as.SqlState();
  }

  std::string dbName;
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
  // No block of group, all-zero or temporary addresses, none without a name.
  for (const factorydb::Block& bad :
       {factorydb::Block{"m", 0x035C3A, 0x000000, 0x0000FF, 0},
        factorydb::Block{"b", 0xFFFFFF, 0xFFFF00, 0xFFFFFF, 0},
        factorydb::Block{"z", 0x000000, 0x000000, 0x0000FF, 0},
        factorydb::Block{"t", 0x025C3A, 0xFFFE00, 0xFFFF00, 0},
        factorydb::Block{"", 0x025C3A, 0x050000, 0x0500FF, 0}}) {
    why.clear();
    EXPECT_EQ(factorydb::DefineBlock(*link, bad, &why, PgLink::In(10000)), EINVAL) << bad.name;
    EXPECT_FALSE(why.empty() || why.find("first address") != std::string::npos) << why;
  }
  EXPECT_NE(Refusal(*link, "INSERT INTO mac_block (name, prefix, first_low, last_low, next_low) "
                           "VALUES ('t', 154682, 16776960, 16777215, 16776960)"),
            "")
      << "the database itself refuses the temporary addresses";
}

// The hostile station: the role every station.conf carries holds no table privileges
// at all, so it can neither forge an address row (which would stop the block), nor
// resize or advance a block, nor lock the table; the functions it may call refuse
// every bad argument. A role never granted cannot call them.
TEST_F(PgPoolTest, StationRoleCannotForgeResizeLockOrPassBadArguments) {
  Define("line", 0x0422D1, 0x0422E0);
  const std::string stationDb = SharedStation();
  PgMacPool pool(stationDb, "st1");
  ASSERT_EQ(pool.Load(), 0);
  MacAddress a{};
  ASSERT_EQ(pool.TakeNextFor("COM1", "run1", &a), 0);
  EXPECT_EQ(a, Mac(0x0422D1));
  EXPECT_EQ(pool.Settle(a, MacOutcome::Unverified), 0);
  ASSERT_EQ(pool.TakeNextFor("COM2", "run1", &a), 0);

  PgLink st(stationDb, "hostile", 10000);
  ASSERT_EQ(st.Connect(PgLink::In(10000)), 0) << st.Error();
  const char* const refused[] = {
      "INSERT INTO mac_address (mac, block, station, port, run_id) "
      "VALUES ('02:5C:3A:04:22:D3', 'line', 'x', 'COM1', 'r')",
      "UPDATE mac_block SET last_low = last_low + 4096",
      "UPDATE mac_block SET next_low = last_low + 1",
      "BEGIN; LOCK TABLE mac_block IN ACCESS EXCLUSIVE MODE",
      "SELECT count(*) FROM mac_address",
      "SELECT count(*) FROM mac_block",
      "UPDATE mac_address SET state = 'programmed'",
      "INSERT INTO units (station, run_id, port, port_index, port_device, started_at, steps, "
      "console_baud, stage, verdict, last_status) "
      "VALUES ('st2', 'r', 'COM1', 0, 'd', now(), 'mac', 1, 0, 'passed', '')",
      "UPDATE units SET verdict = 'passed'",
      "SELECT * FROM pt_repair_block('line')",
      "SELECT pt_station_check('st1')",
      "INSERT INTO pt_station_role (role, station) VALUES ('station', 'st9')",
  };
  for (const char* sql : refused) {
    EXPECT_EQ(Refusal(st, sql), "42501") << sql;
    if (!st.Connected()) {
      ASSERT_EQ(st.Connect(PgLink::In(10000)), 0);
    }
    if (std::string(sql).rfind("BEGIN", 0) == 0) st.ExecScript("ROLLBACK", PgLink::In(10000));
  }
  const char* const badArguments[] = {
      "SELECT * FROM pt_take(275152, 271057, 'st1', 'COM3', 'run1')",
      "SELECT * FROM pt_take(-1, 275152, 'st1', 'COM3', 'run1')",
      "SELECT * FROM pt_take(271057, 16777216, 'st1', 'COM3', 'run1')",
      "SELECT * FROM pt_take(271057, 275152, '', 'COM3', 'run1')",
      "SELECT * FROM pt_take(271057, 275152, NULL, 'COM3', 'run1')",
      "SELECT * FROM pt_take(271057, 275152, 'st1', repeat('x', 65), 'run1')",
      "SELECT * FROM pt_take(271057, 275152, 'st1', E'COM\\n3', 'run1')",
      "SELECT pt_settle('02:5C:3A:04:22:D2', 'bogus', 'st1', 'run1')",
      "SELECT pt_settle('02:5C:3A:04:22:D2', 'taken', 'st1', 'run1')",
      "SELECT pt_settle('02:5C:3A:04:22:D9', 'programmed', 'st1', 'run1')",
      "SELECT pt_settle('02:5C:3A:04:22:D1', 'programmed', 'st1', 'run1')",
      // An older station's writer (no cycle) checks as today's does.
      "SELECT pt_write_unit('st1', 'run1', '', 0, 'd', now(), NULL, 'mac', 1, NULL, NULL, NULL, "
      "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, 'unfinished', '', NULL, NULL, "
      "NULL)",
      "SELECT pt_write_unit('st1', 'run1', 'COM1', 0, 'd', now(), NULL, 'mac', 1, NULL, NULL, "
      "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, 'unfinished', '', "
      "NULL, NULL, NULL, -1)",
  };
  for (const char* sql : badArguments) EXPECT_EQ(Refusal(st, sql), "22023") << sql;
  // Settled only by the run that took it.
  EXPECT_EQ(Refusal(st, "SELECT pt_settle('02:5C:3A:04:22:D2', 'failed', 'st1', 'run2')"), "42501");
  EXPECT_EQ(Refusal(st, "SELECT pt_settle('02:5C:3A:04:22:D2', 'failed', 'st2', 'run1')"), "42501");

  const std::string outsiderDb = StationRole("outsider", "", false);
  PgLink outsider(outsiderDb, "outsider", 10000);
  ASSERT_EQ(outsider.Connect(PgLink::In(10000)), 0) << outsider.Error();
  EXPECT_EQ(Refusal(outsider, "SELECT * FROM pt_take(271057, 275152, 'st7', 'COM1', 'r')"),
            "42501");
  EXPECT_EQ(Refusal(outsider, "SELECT pt_settle('02:5C:3A:04:22:D2', 'failed', 'st1', 'run1')"),
            "42501");

  // Nothing of it stuck: the next station takes the next address, the outcomes stand.
  PgMacPool next(stationDb, "st2");
  ASSERT_EQ(next.Load(), 0);
  ASSERT_EQ(next.TakeNextFor("COM1", "run2", &a), 0);
  EXPECT_EQ(a, Mac(0x0422D3));
  EXPECT_EQ(Query("SELECT mac, station, state FROM mac_address ORDER BY mac"),
            (std::vector<std::vector<std::string>>{{"02:5C:3A:04:22:D1", "st1", "unverified"},
                                                   {"02:5C:3A:04:22:D2", "st1", "taken"},
                                                   {"02:5C:3A:04:22:D3", "st2", "taken"}}));
  EXPECT_EQ(Query("SELECT next_low - first_low, last_low FROM mac_block")[0],
            (std::vector<std::string>{"3", std::to_string(0x0422E0)}));
  for (const char* role : {"public", "pg_monitor", "Station", "current_user", "", "pt_admin"}) {
    std::string why;
    EXPECT_EQ(factorydb::GrantStation(*link, role, "", &why, PgLink::In(10000)), EINVAL) << role;
  }
}

// One role per station: a station's role acts only as its own station, which no
// other role (per-station or shared) may act as: it cannot take, settle or write
// records in another station's name.
TEST_F(PgPoolTest, OneRolePerStationTouchesOnlyItsOwnRows) {
  Define("line", 0x0422D1, 0x0422E0);
  const std::string aDb = StationRole("sta", "stA");
  const std::string bDb = StationRole("stb", "stB");
  const std::string sharedDb = SharedStation();
  std::string why;
  EXPECT_EQ(factorydb::GrantStation(*link, "station", "stA", &why, PgLink::In(10000)), EEXIST);

  PgMacPool a(aDb, "stA");
  ASSERT_EQ(a.Load(), 0);
  MacAddress macA{}, other{};
  ASSERT_EQ(a.TakeNextFor("COM1", "runA", &macA), 0);
  PgMacPool bAsA(bDb, "stA");
  ASSERT_EQ(bAsA.Load(), 0);
  EXPECT_NE(bAsA.TakeNextFor("COM1", "runA", &other), 0);
  PgMacPool sharedAsA(sharedDb, "stA");
  ASSERT_EQ(sharedAsA.Load(), 0);
  EXPECT_NE(sharedAsA.TakeNextFor("COM1", "runA", &other), 0);
  PgMacPool shared(sharedDb, "line9");
  ASSERT_EQ(shared.Load(), 0);
  EXPECT_EQ(shared.TakeNextFor("COM1", "run9", &other), 0);

  PgLink b(bDb, "b", 10000);
  ASSERT_EQ(b.Connect(PgLink::In(10000)), 0) << b.Error();
  const std::string mac = FormatMac(macA);
  EXPECT_EQ(Refusal(b, "SELECT pt_settle('" + mac + "', 'failed', 'stA', 'runA')"), "42501");
  EXPECT_EQ(Refusal(b, "SELECT pt_settle('" + mac + "', 'failed', 'stB', 'runA')"), "42501");
  EXPECT_EQ(a.Settle(macA, MacOutcome::Programmed), 0);
  EXPECT_EQ(Query("SELECT state FROM mac_address WHERE mac = '" + mac + "'")[0][0], "programmed");

  UnitRecord r;
  r.station = "stA";
  r.runId = "runA";
  r.port = "COM1";
  r.portDevice = "/dev/pts/1";
  r.startedMs = 1796713688123;
  r.steps = "mac";
  r.verdict = kVerdictPassed;
  r.mac = mac;
  std::string error;
  PgRecordStore storeA(aDb), storeB(bDb), storeShared(sharedDb);
  ASSERT_TRUE(storeA.Open(true, &error)) << error;
  ASSERT_TRUE(storeB.Open(true, &error)) << error;
  ASSERT_TRUE(storeShared.Open(true, &error)) << error;
  ASSERT_TRUE(storeA.Write({r}, &error)) << error;
  UnitRecord forged = r;
  forged.verdict = kVerdictFailed;
  forged.lastStatus = "forged";
  EXPECT_FALSE(storeB.Write({forged}, &error));
  EXPECT_FALSE(storeShared.Write({forged}, &error));
  EXPECT_FALSE(storeA.Read({}, [](const UnitRecord&) { return true; }, &error))
      << "a station role reads no records";
  forged.station = "stB";
  EXPECT_TRUE(storeB.Write({forged}, &error)) << error;
  EXPECT_EQ(Query("SELECT station, verdict, last_status FROM units ORDER BY station"),
            (std::vector<std::vector<std::string>>{{"stA", "passed", ""},
                                                   {"stB", "failed", "forged"}}));
}

// A database made by the earlier schema: init keeps its rows, takes the stations'
// table privileges away and gives them the functions; a schema newer than this
// program's is refused. A block stuck on a row recorded at its next address is
// repaired by moving past it, and the repair is recorded.
TEST_F(PgPoolTest, InitUpgradesAnOlderSchemaRefusesANewerOneAndRepairsAStuckBlock) {
  Define("line", 0x0422D1, 0x0422E0);
  // Back to the earlier layout: three states, table grants, no functions, no
  // link_address, no cycle.
  ASSERT_EQ(link->ExecScript(
                "DROP FUNCTION pt_take(integer, integer, text, text, text), "
                "pt_settle(text, text, text, text), pt_block_for(integer, integer); "
                "ALTER TABLE units DROP COLUMN link_address, DROP COLUMN cycle, "
                "ADD UNIQUE (station, run_id, port); "
                "DROP TABLE pt_station_role; UPDATE pt_schema SET version = 1; "
                "ALTER TABLE mac_address DROP CONSTRAINT mac_address_state_check, "
                "ADD CONSTRAINT mac_address_state_check "
                "CHECK (state IN ('taken', 'programmed', 'failed')); "
                "GRANT SELECT ON pt_schema TO station; GRANT SELECT, UPDATE ON mac_block TO "
                "station; GRANT SELECT, INSERT ON mac_address TO station; "
                "GRANT UPDATE (state, settled_at) ON mac_address TO station; "
                "GRANT SELECT, INSERT, UPDATE ON units TO station; "
                "GRANT USAGE ON SEQUENCE units_id_seq TO station; "
                "INSERT INTO mac_address (mac, block, station, port, run_id) "
                "VALUES ('02:5C:3A:04:22:D1', 'line', 'old', 'COM1', 'r0')",
                PgLink::In(10000)),
            0)
      << link->Error();
  const std::string stationDb = std::string(std::getenv("PGT_STATION")) + " dbname=" + dbName;
  PgMacPool old(stationDb, "st1");
  EXPECT_EQ(old.Load(), PgMacPool::kNoSchema);

  ASSERT_EQ(factorydb::CreateSchema(*link, PgLink::In(10000)), 0) << link->Error();
  const std::string version = std::to_string(factorydb::kSchemaVersion);
  const std::string newer = std::to_string(factorydb::kSchemaVersion + 1);
  EXPECT_EQ(Query("SELECT version FROM pt_schema"),
            (std::vector<std::vector<std::string>>{{version}}));
  EXPECT_EQ(Query("SELECT data_type FROM information_schema.columns WHERE table_name = 'units' "
                  "AND column_name IN ('link_address', 'cycle') ORDER BY column_name"),
            (std::vector<std::vector<std::string>>{{"integer"}, {"text"}}));
  EXPECT_EQ(Query("SELECT role, station IS NULL FROM pt_station_role"),
            (std::vector<std::vector<std::string>>{{"station", "t"}}));
  PgLink st(stationDb, "st", 10000);
  ASSERT_EQ(st.Connect(PgLink::In(10000)), 0) << st.Error();
  EXPECT_EQ(Refusal(st, "SELECT count(*) FROM mac_address"), "42501");
  EXPECT_EQ(Refusal(st, "UPDATE mac_block SET last_low = last_low + 4096"), "42501");
  PgRecordStore records(stationDb);
  std::string error;
  ASSERT_TRUE(records.Open(true, &error)) << error;
  UnitRecord unit;
  unit.station = "st1";
  unit.runId = "run1";
  unit.port = "COM1";
  unit.steps = "loopback";
  unit.linkAddress = "loopback";
  ASSERT_TRUE(records.Write({unit}, &error)) << error;
  EXPECT_EQ(Query("SELECT port, link_address FROM units"),
            (std::vector<std::vector<std::string>>{{"COM1", "loopback"}}));

  // The row at the block's next address (the earlier role could insert it) stops it.
  PgMacPool pool(stationDb, "st1");
  std::vector<std::string> log;
  pool.SetMessageSink([&](const std::string& t) { log.push_back(t); });
  ASSERT_EQ(pool.Load(), 0);
  MacAddress a{};
  EXPECT_EQ(pool.TakeNextFor("COM1", "run1", &a), EEXIST);
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("factory-db repair line"), std::string::npos) << log.back();
  factorydb::Repair repair;
  ASSERT_EQ(factorydb::RepairBlock(*link, "line", &repair, PgLink::In(10000)), 0) << link->Error();
  EXPECT_EQ(repair.oldNext, 0x0422D1u);
  EXPECT_EQ(repair.newNext, 0x0422D2u);
  EXPECT_EQ(Query("SELECT block, old_next, new_next FROM mac_block_repair"),
            (std::vector<std::vector<std::string>>{
                {"line", std::to_string(0x0422D1), std::to_string(0x0422D2)}}));
  ASSERT_EQ(pool.TakeNextFor("COM1", "run1", &a), 0);
  EXPECT_EQ(a, Mac(0x0422D2));
  EXPECT_EQ(pool.Settle(a, MacOutcome::Unverified), 0);
  EXPECT_EQ(Query("SELECT mac, state FROM mac_address ORDER BY mac"),
            (std::vector<std::vector<std::string>>{{"02:5C:3A:04:22:D1", "taken"},
                                                   {"02:5C:3A:04:22:D2", "unverified"}}));

  ASSERT_EQ(link->ExecScript("UPDATE pt_schema SET version = " + newer, PgLink::In(10000)), 0);
  EXPECT_NE(factorydb::CreateSchema(*link, PgLink::In(10000)), 0);
  EXPECT_NE(link->Error().find("newer"), std::string::npos) << link->Error();
  EXPECT_EQ(Query("SELECT version FROM pt_schema"),
            (std::vector<std::vector<std::string>>{{newer}}));
}

// A database of version 2 (records without cycle, one per station, run and port): init
// keeps every record and its id (cycle 0) and gives the key the cycle. A role granted
// before writes through today's writer (a slot's units of one port and run each their
// own record) and, as an older station, through the writer without the cycle (cycle 0);
// it still neither reads nor changes a table. A station of this version refuses a
// database not upgraded.
TEST_F(PgPoolTest, InitGivesVersionTwoRecordsACycleAndOlderStationsWriteCycleZero) {
  const std::string stationDb = StationRole("cyc", "st1");
  PgRecordStore admin(db);
  std::string error;
  ASSERT_TRUE(admin.Open(true, &error)) << error;
  UnitRecord a;
  a.station = "st1";
  a.runId = "run1";
  a.port = "COM1";
  a.startedMs = 1796713688123;
  a.steps = "mac";
  a.verdict = kVerdictPassed;
  UnitRecord b = a;
  b.port = "COM2";
  b.verdict = kVerdictFailed;
  ASSERT_TRUE(admin.Write({a, b}, &error)) << error;
  std::string args;
  for (const UnitsColumn& c : UnitsColumns())
    args += (args.empty() ? "" : ", ") + std::string(c.pgType);
  // Back to version 2: the table without cycle and its key, no writer with the cycle
  // (the role's grant of it goes with it; the writer without it is made anew by init).
  ASSERT_EQ(link->ExecScript("UPDATE units SET id = id * 10; ALTER TABLE units DROP COLUMN cycle, "
                             "ADD UNIQUE (station, run_id, port); DROP FUNCTION pt_write_unit(" +
                                 args + "); UPDATE pt_schema SET version = 2",
                             PgLink::In(10000)),
            0)
      << link->Error();
  PgRecordStore st(stationDb);
  EXPECT_FALSE(st.Open(true, &error));
  EXPECT_NE(error.find("factory-db init"), std::string::npos) << error;

  ASSERT_EQ(factorydb::CreateSchema(*link, PgLink::In(10000)), 0) << link->Error();
  EXPECT_EQ(Query("SELECT id, port, cycle FROM units ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"10", "COM1", "0"}, {"20", "COM2", "0"}}));
  EXPECT_EQ(Query("SELECT pg_get_constraintdef(oid) FROM pg_constraint "
                  "WHERE conrelid = 'units'::regclass AND contype = 'u'"),
            (std::vector<std::vector<std::string>>{{"UNIQUE (station, run_id, port, cycle)"}}));
  ASSERT_TRUE(st.Open(true, &error)) << error;
  UnitRecord c1 = a;
  c1.cycle = 1;
  UnitRecord c2 = a;
  c2.cycle = 2;
  c2.verdict = kVerdictFailed;
  ASSERT_TRUE(st.Write({c1, c2}, &error)) << error;
  c2.verdict = kVerdictPassed;
  ASSERT_TRUE(st.Write({c2}, &error)) << error;
  std::vector<UnitRecord> got;
  RecordFilter f;
  f.cycle = 2;
  ASSERT_TRUE(admin.Read(
      f, [&](const UnitRecord& r) { return got.push_back(r), true; }, &error))
      << error;
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(CsvLine(got[0]), CsvLine(c2));

  PgLink older(stationDb, "older", 10000);
  ASSERT_EQ(older.Connect(PgLink::In(10000)), 0) << older.Error();
  EXPECT_EQ(Refusal(older,
                    "SELECT pt_write_unit('st1', 'run1', 'COM2', 1, 'd', now(), now(), 'mac', 1, "
                    "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
                    "6, 'passed', '', NULL, NULL, NULL)"),
            "");
  EXPECT_EQ(Query("SELECT port, cycle, verdict FROM units ORDER BY port, cycle"),
            (std::vector<std::vector<std::string>>{{"COM1", "0", "passed"},
                                                   {"COM1", "1", "passed"},
                                                   {"COM1", "2", "passed"},
                                                   {"COM2", "0", "passed"}}));
  EXPECT_EQ(Refusal(older, "SELECT count(*) FROM units"), "42501");
  EXPECT_EQ(Refusal(older, "UPDATE units SET cycle = 5"), "42501");
}

// A database of version 3 (records without the unit's identity or package, no unit
// events, no audit trail) with a role granted then: init keeps every record (no serial,
// rework 0) and gives the role the events' and the trail's writers. The role adds its
// station's events and audit entries and writes identities and packages, but neither
// reads, changes nor removes an event or an entry, nor adds another station's; not even
// the administrator changes one. A station of version 4 still writes its records.
// Serials are found exactly.
TEST_F(PgPoolTest, InitGivesVersionThreeRecordsIdentitiesEventsAndAnAuditTrailOnlyAddedTo) {
  const std::string stationDb = StationRole("idn", "st1");
  PgRecordStore admin(db);
  std::string error;
  ASSERT_TRUE(admin.Open(true, &error)) << error;
  UnitRecord a;
  a.station = "st1";
  a.runId = "run1";
  a.port = "COM1";
  a.startedMs = 1796713688123;
  a.steps = "mac";
  a.verdict = kVerdictPassed;
  ASSERT_TRUE(admin.Write({a}, &error)) << error;
  auto types = [](const std::vector<UnitsColumn>& columns, size_t count) {
    std::string args;
    for (size_t i = 0; i < count; i++)
      args += (args.empty() ? "" : ", ") + std::string(columns[i].pgType);
    return args;
  };
  const size_t all = UnitsColumns().size();
  ASSERT_EQ(
      link->ExecScript("DROP TABLE unit_events, audit_trail; DROP FUNCTION pt_write_event(" +
                           types(EventColumns(), EventColumns().size()) + "), pt_write_audit(" +
                           types(AuditColumns(), AuditColumns().size()) + "), pt_write_unit(" +
                           types(UnitsColumns(), all) + "), pt_write_unit(" +
                           types(UnitsColumns(), all - 3) +
                           "); ALTER TABLE units DROP COLUMN serial, DROP COLUMN rework, "
                           "DROP COLUMN check_in, DROP COLUMN check_out, DROP COLUMN job_name, "
                           "DROP COLUMN job_version, DROP COLUMN job_digest; "
                           "UPDATE pt_schema SET version = 3",
                       PgLink::In(10000)),
      0)
      << link->Error();
  PgRecordStore st(stationDb);
  EXPECT_FALSE(st.Open(true, &error));
  EXPECT_NE(error.find("factory-db init"), std::string::npos) << error;
  EXPECT_FALSE(admin.Open(false, &error)) << "a reader of this version wants the columns";

  ASSERT_EQ(factorydb::CreateSchema(*link, PgLink::In(10000)), 0) << link->Error();
  EXPECT_EQ(Query("SELECT port, serial IS NULL, rework FROM units"),
            (std::vector<std::vector<std::string>>{{"COM1", "t", "0"}}));
  ASSERT_TRUE(admin.Open(false, &error)) << error;
  ASSERT_TRUE(st.Open(true, &error)) << error;
  UnitRecord b = a;
  b.port = "COM2";
  b.serial = "0042";
  b.rework = true;
  b.checkIn = "confirmed";
  b.checkOut = "no answer: timed out after 5 s";
  b.jobName = "board-a";
  b.jobVersion = "1.2";
  b.jobDigest = std::string(64, 'e');
  ASSERT_TRUE(st.Write({b}, &error)) << error;
  UnitEvent e;
  e.station = "st1";
  e.runId = "run1";
  e.port = "COM2";
  e.serial = "0042";
  e.mac = "02:5C:3A:04:22:D1";
  e.atMs = 1796713698123;
  e.kind = kEventLabel;
  e.where = "tcp://127.0.0.1:9100";
  e.ok = true;
  e.text = "sent";
  UnitEvent other = e;
  other.atMs -= 1000;
  other.kind = kEventCheckOut;
  other.ok = false;
  ASSERT_TRUE(st.WriteEvents({e, other}, &error)) << error;
  std::vector<std::string> got;
  RecordFilter f;
  f.serial = "0042";
  ASSERT_TRUE(admin.Read(
      f, [&](const UnitRecord& r) { return got.push_back(CsvLine(r)), true; }, &error))
      << error;
  EXPECT_EQ(got, std::vector<std::string>{CsvLine(b)});
  got.clear();
  ASSERT_TRUE(admin.ReadEvents(
      f, [&](const UnitEvent& r) { return got.push_back(EventCsvLine(r)), true; }, &error))
      << error;
  EXPECT_EQ(got, (std::vector<std::string>{EventCsvLine(other), EventCsvLine(e)}));
  // The station, which may not read the records, learns whether a serial passed.
  bool passed = false;
  ASSERT_TRUE(SerialPassed(st, "0042", &passed, &error)) << error;
  EXPECT_TRUE(passed);
  ASSERT_TRUE(SerialPassed(st, "042", &passed, &error)) << error;
  EXPECT_FALSE(passed);

  other.station = "st2";
  EXPECT_FALSE(st.WriteEvents({other}, &error));
  EXPECT_NE(error.find("acts only as station st1"), std::string::npos) << error;
  PgLink role(stationDb, "role", 10000);
  ASSERT_EQ(role.Connect(PgLink::In(10000)), 0) << role.Error();
  EXPECT_EQ(Refusal(role, "SELECT count(*) FROM unit_events"), "42501");
  EXPECT_EQ(Refusal(role, "UPDATE unit_events SET ok = 1"), "42501");
  EXPECT_EQ(Refusal(role, "DELETE FROM unit_events"), "42501");
  EXPECT_EQ(Refusal(role,
                    "INSERT INTO unit_events (station, run_id, port, cycle, done_at, kind, "
                    "sent_to, ok, answer) VALUES ('st1', 'r', 'COM1', 0, now(), 'label', "
                    "'', 1, '')"),
            "42501");
  EXPECT_NE(Refusal(*link, "UPDATE unit_events SET ok = 1"), "");
  EXPECT_NE(Refusal(*link, "DELETE FROM unit_events"), "");
  EXPECT_NE(Refusal(*link, "TRUNCATE unit_events"), "");
  EXPECT_EQ(Query("SELECT count(*), sum(ok) FROM unit_events"),
            (std::vector<std::vector<std::string>>{{"2", "1"}}));

  // The audit trail: the station's own entries only, never read, changed or removed by it.
  AuditEntry entry;
  entry.station = "st1";
  entry.atMs = 1796713699123;
  entry.user = "op (window)";
  entry.kind = kAuditJobChange;
  entry.ok = false;
  entry.text = "refused: production mode";
  entry.jobName = b.jobName;
  entry.jobVersion = b.jobVersion;
  entry.jobDigest = b.jobDigest;
  ASSERT_TRUE(st.WriteAudit({entry}, &error)) << error;
  AuditEntry foreign = entry;
  foreign.station = "st2";
  EXPECT_FALSE(st.WriteAudit({foreign}, &error));
  EXPECT_NE(error.find("acts only as station st1"), std::string::npos) << error;
  for (const char* sql :
       {"SELECT count(*) FROM audit_trail", "UPDATE audit_trail SET ok = 1",
        "DELETE FROM audit_trail",
        "INSERT INTO audit_trail (station, done_at, user_name, kind, ok, detail) VALUES "
        "('st1', now(), 'x', 'job-load', 1, '')"}) {
    EXPECT_EQ(Refusal(role, sql), "42501") << sql;
  }
  for (const char* sql :
       {"UPDATE audit_trail SET ok = 1", "DELETE FROM audit_trail", "TRUNCATE audit_trail"}) {
    EXPECT_NE(Refusal(*link, sql), "") << sql;
  }
  got.clear();
  ASSERT_TRUE(admin.ReadAudit(
      {}, [&](const AuditEntry& e2) { return got.push_back(AuditCsvLine(e2)), true; }, &error))
      << error;
  EXPECT_EQ(got, std::vector<std::string>{AuditCsvLine(entry)});

  // A station of version 4 writes its records as it did, without a package.
  EXPECT_EQ(Refusal(role,
                    "SELECT pt_write_unit('st1', 'run1', 'COM3', 2, 'd', now(), now(), 'mac', 1, "
                    "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
                    "6, 'passed', '', NULL, NULL, NULL, 0, '0043', 0, NULL, NULL)"),
            "");
  EXPECT_EQ(Query("SELECT serial, job_name IS NULL FROM units WHERE port = 'COM3'"),
            (std::vector<std::vector<std::string>>{{"0043", "t"}}));
}

// Several blocks inside the permitted one: when the station's block is used up, by
// its own last take or by another station's while it waits, it goes on with the next.
TEST_F(PgPoolTest, MovesOnToTheNextBlockWhenOneIsUsedUp) {
  Define("a", 0x0422D1, 0x0422D3);
  Define("b", 0x0422E0, 0x0422E3);
  PgMacPool st1(db, "st1"), st2(db, "st2");
  ASSERT_EQ(st1.Load(), 0);
  ASSERT_EQ(st2.Load(), 0);
  MacAddress a{};
  ASSERT_EQ(st1.TakeNextFor("COM1", "r1", &a), 0);
  ASSERT_EQ(st1.TakeNextFor("COM2", "r1", &a), 0);
  EXPECT_EQ(a, Mac(0x0422D2));
  // Another station takes a's last address; st2 waits for the block's row meanwhile.
  PgLink other(db, "other", 10000);
  ASSERT_EQ(other.Connect(PgLink::In(10000)), 0);
  ASSERT_EQ(other.ExecScript("BEGIN; SELECT * FROM pt_take(271057, 275152, 'st3', 'COM1', 'r3')",
                             PgLink::In(10000)),
            0)
      << other.Error();
  int rc = -99;
  std::thread waiting([&] { rc = st2.TakeNextFor("COM1", "r2", &a); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ASSERT_EQ(other.ExecScript("COMMIT", PgLink::In(10000)), 0);
  waiting.join();
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(a, Mac(0x0422E0));
  // st1 saw a with addresses left and goes on in b as well.
  ASSERT_EQ(st1.TakeNextFor("COM3", "r1", &a), 0);
  EXPECT_EQ(a, Mac(0x0422E1));
  ASSERT_EQ(st2.TakeNextFor("COM2", "r2", &a), 0);
  EXPECT_EQ(a, Mac(0x0422E2));
  std::string next, last;
  ASSERT_TRUE(st2.GetRange(&next, &last));
  EXPECT_EQ(next + " ~ " + last, "02:5C:3A:04:22:E3 ~ 02:5C:3A:04:22:E3");
  ASSERT_EQ(st2.TakeNextFor("COM3", "r2", &a), 0);
  EXPECT_EQ(a, Mac(0x0422E3));
  EXPECT_FALSE(st2.IsAvailable()) << "both blocks used up";
  EXPECT_EQ(st2.GetAssignState(&last), 1);
  EXPECT_EQ(st1.TakeNextFor("COM4", "r1", &a), -1);
  EXPECT_EQ(Query("SELECT count(*) FROM mac_address")[0][0], "7");
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
  std::vector<std::string> notices;
  store.SetNoticeSink([&notices](const std::string& text) { notices.push_back(text); });
  std::string error;
  ASSERT_TRUE(store.Open(true, &error)) << error;
  // A warning the server raises while the records are written reaches the sink.
  ASSERT_EQ(link->ExecScript("CREATE FUNCTION warn_units() RETURNS trigger LANGUAGE plpgsql AS "
                             "$$BEGIN RAISE WARNING 'units row %', NEW.port; RETURN NEW; END$$; "
                             "CREATE TRIGGER warn_units BEFORE INSERT ON units FOR EACH ROW "
                             "EXECUTE FUNCTION warn_units()",
                             PgLink::In(10000)),
            0)
      << link->Error();
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
  b.linkAddress = "02:5C:3A:FF:FF:FF";
  ASSERT_TRUE(store.Write({a, b}, &error)) << error;
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].rfind("factory database: WARNING:", 0), 0u) << notices[0];
  EXPECT_NE(notices[1].find("units row COM1"), std::string::npos) << notices[1];
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
  EXPECT_EQ(got[1].linkAddress, "02:5C:3A:FF:FF:FF");
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
