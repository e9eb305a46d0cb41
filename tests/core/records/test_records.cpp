// Production records with SQLite itself: the store (plain SQL, replace, filters), a
// store that cannot be opened or written (a full disk through a VFS that fails writes),
// the recorder behind a real run (verdicts, stopped runs, the unit counts in MACGrid
// column 1, a MAC worker programming a device while the disk is full) and the records
// tool's exports and summary.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/MainLogic.h"
#include "app/Startthread.h"
#include "core/app/AppTestRig.h"
#include "core/workers/test_prgmac_device.h"
#include "platform/Host.h"
#include "platform/Paths.h"
#include "records/RecordText.h"
#include "records/RecordWriter.h"
#include "records/RecordsTool.h"
#include "records/Spool.h"
#include "records/SqliteRecordStore.h"
#include "records/UnitsTable.h"

namespace {

// ---- a disk that fills up: the default VFS, with writes failing while `full` ----

std::atomic<bool> g_diskFull{false};
sqlite3_vfs* g_realVfs = nullptr;

struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* f) {
  return reinterpret_cast<ShimFile*>(f)->real;
}

int ShimClose(sqlite3_file* f) {
  return Real(f)->pMethods ? Real(f)->pMethods->xClose(Real(f)) : SQLITE_OK;
}
int ShimRead(sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
  return Real(f)->pMethods->xRead(Real(f), b, n, o);
}
int ShimWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
  if (g_diskFull.load()) return SQLITE_FULL;
  return Real(f)->pMethods->xWrite(Real(f), b, n, o);
}
int ShimTruncate(sqlite3_file* f, sqlite3_int64 s) {
  return Real(f)->pMethods->xTruncate(Real(f), s);
}
int ShimSync(sqlite3_file* f, int flags) {
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int ShimFileSize(sqlite3_file* f, sqlite3_int64* s) {
  return Real(f)->pMethods->xFileSize(Real(f), s);
}
int ShimLock(sqlite3_file* f, int l) {
  return Real(f)->pMethods->xLock(Real(f), l);
}
int ShimUnlock(sqlite3_file* f, int l) {
  return Real(f)->pMethods->xUnlock(Real(f), l);
}
int ShimCheckLock(sqlite3_file* f, int* r) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), r);
}
int ShimFileControl(sqlite3_file* f, int op, void* a) {
  return Real(f)->pMethods->xFileControl(Real(f), op, a);
}
int ShimSectorSize(sqlite3_file* f) {
  return Real(f)->pMethods->xSectorSize(Real(f));
}
int ShimDevice(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShimShmMap(sqlite3_file* f, int i, int sz, int ext, void volatile** p) {
  return Real(f)->pMethods->xShmMap(Real(f), i, sz, ext, p);
}
int ShimShmLock(sqlite3_file* f, int o, int n, int fl) {
  return Real(f)->pMethods->xShmLock(Real(f), o, n, fl);
}
void ShimShmBarrier(sqlite3_file* f) {
  Real(f)->pMethods->xShmBarrier(Real(f));
}
int ShimShmUnmap(sqlite3_file* f, int del) {
  return Real(f)->pMethods->xShmUnmap(Real(f), del);
}

const sqlite3_io_methods kShimIo = {2,
                                    ShimClose,
                                    ShimRead,
                                    ShimWrite,
                                    ShimTruncate,
                                    ShimSync,
                                    ShimFileSize,
                                    ShimLock,
                                    ShimUnlock,
                                    ShimCheckLock,
                                    ShimFileControl,
                                    ShimSectorSize,
                                    ShimDevice,
                                    ShimShmMap,
                                    ShimShmLock,
                                    ShimShmBarrier,
                                    ShimShmUnmap,
                                    nullptr,
                                    nullptr};

int ShimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out) {
  auto* shim = reinterpret_cast<ShimFile*>(f);
  shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
  std::memset(shim->real, 0, static_cast<size_t>(g_realVfs->szOsFile));
  const int rc = g_realVfs->xOpen(g_realVfs, name, shim->real, flags, out);
  f->pMethods = shim->real->pMethods ? &kShimIo : nullptr;
  return rc;
}

// Registers "pt-fulldisk" once: the default VFS with ShimOpen.
const char* FullDiskVfs() {
  static sqlite3_vfs vfs = [] {
    g_realVfs = sqlite3_vfs_find(nullptr);
    sqlite3_vfs v = *g_realVfs;
    v.szOsFile = static_cast<int>(sizeof(ShimFile)) + g_realVfs->szOsFile;
    v.zName = "pt-fulldisk";
    v.xOpen = ShimOpen;
    v.pNext = nullptr;
    return v;
  }();
  static const int registered = sqlite3_vfs_register(&vfs, 0);
  EXPECT_EQ(registered, SQLITE_OK);
  return "pt-fulldisk";
}

// ---- helpers ----

UnitRecord Rec(const std::string& station, const std::string& run, int port,
               const std::string& started, const char* verdict) {
  UnitRecord r;
  r.station = station;
  r.runId = run;
  r.port = "COM" + std::to_string(port);
  r.portIndex = port - 1;
  r.portDevice = "/dev/serial/by-path/usb-0:1." + std::to_string(port);
  EXPECT_TRUE(ParseUtcMs(started, &r.startedMs)) << started;
  r.steps = "firmware,eeprom,loopback,mac";
  r.consoleBaud = 115200;
  r.verdict = verdict;
  return r;
}

std::vector<UnitRecord> ReadAll(RecordStore& store, const RecordFilter& f = {}) {
  std::vector<UnitRecord> out;
  std::string error;
  EXPECT_TRUE(store.Read(
      f,
      [&](const UnitRecord& r) {
        out.push_back(r);
        return true;
      },
      &error))
      << error;
  return out;
}

std::vector<std::string> Ports(const std::vector<UnitRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(r.port + " " + r.verdict);
  std::sort(out.begin(), out.end());
  return out;
}

// One value by plain SQL.
std::string Sql(const std::string& path, const std::string& query) {
  sqlite3* db = nullptr;
  std::string out = "(error)";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(s, 0);
      out = t ? reinterpret_cast<const char*>(t) : "NULL";
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return out;
}

// Plain SQL that changes the file; "" or the error.
std::string SqlChange(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* msg = nullptr;
  std::string out;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    out = msg ? msg : sqlite3_errmsg(db);
  }
  sqlite3_free(msg);
  sqlite3_close(db);
  return out;
}

// Makes the file's table as an older records version made it: without the columns
// `without` (the key without cycle when it is one of them), no unit events; every row
// kept, its id `idTimes` what it was (gaps a rebuild that numbered the rows anew would
// close).
std::string AsOlderRecords(const std::vector<std::string>& without, int version, int idTimes,
                           bool noEvents = true) {
  std::string create = UnitsCreateTableSql(UnitsSql::kSqlite);
  std::string indexes = UnitsCreateIndexesSql();
  for (const std::string& c : without) {
    const size_t at = create.find("\n  " + c + " ") + 1;
    create.erase(at, create.find('\n', at) + 1 - at);
    const size_t index = indexes.find("(" + c + ");\n");
    if (index != std::string::npos) {
      const size_t from = indexes.rfind("CREATE", index);
      indexes.erase(from, indexes.find('\n', index) + 1 - from);
    }
  }
  const bool noCycle = std::find(without.begin(), without.end(), "cycle") != without.end();
  if (noCycle) create.replace(create.find(", cycle)"), 8, ")");
  std::string columns;
  for (const std::string& c : RecordColumns()) {
    if (std::find(without.begin(), without.end(), c) == without.end()) columns += ", " + c;
  }
  return std::string("BEGIN; DROP TABLE IF EXISTS audit_trail; ") +
         (noEvents ? "DROP TABLE IF EXISTS unit_events; " : "") +
         "ALTER TABLE units RENAME TO later; " + create + "INSERT INTO units (id" + columns +
         ") SELECT id * " + std::to_string(idTimes) + columns + " FROM later; DROP TABLE later; " +
         indexes + "PRAGMA user_version = " + std::to_string(version) + "; COMMIT;";
}
const std::vector<std::string> kIdentityColumns = {"serial", "rework", "check_in", "check_out"};
const std::vector<std::string> kPackageColumns = {"job_name", "job_version", "job_digest"};

// A change of the job by the operator in the window, of the package board-a 1.2.
AuditEntry Audit(const std::string& station, const std::string& at, bool ok) {
  AuditEntry a;
  a.station = station;
  EXPECT_TRUE(ParseUtcMs(at, &a.atMs)) << at;
  a.user = "op (window)";
  a.kind = kAuditJobChange;
  a.ok = ok;
  a.text = "images changed\nrefused";
  a.jobName = "board-a";
  a.jobVersion = "1.2";
  a.jobDigest = std::string(64, 'd');
  return a;
}

std::vector<AuditEntry> ReadAudit(RecordStore& store, const RecordFilter& f = {}) {
  std::vector<AuditEntry> out;
  std::string error;
  EXPECT_TRUE(store.ReadAudit(
      f,
      [&](const AuditEntry& a) {
        out.push_back(a);
        return true;
      },
      &error))
      << error;
  return out;
}

UnitEvent Event(const UnitRecord& r, const char* kind, const std::string& at) {
  UnitEvent e = EventOfUnit(r, kind);
  EXPECT_TRUE(ParseUtcMs(at, &e.atMs)) << at;
  e.where = "tcp://127.0.0.1:9100";
  e.ok = true;
  e.text = "sent, 412 bytes";
  return e;
}

std::vector<UnitEvent> ReadEvents(RecordStore& store, const RecordFilter& f = {}) {
  std::vector<UnitEvent> out;
  std::string error;
  EXPECT_TRUE(store.ReadEvents(
      f,
      [&](const UnitEvent& e) {
        out.push_back(e);
        return true;
      },
      &error))
      << error;
  return out;
}

// ---- the store ----

TEST(SqliteStore, WritesReplacesFiltersAndAnswersPlainSql) {
  TempDir dir;
  const std::string path = dir.File("records.db");
  {
    SqliteRecordStore store(path);
    std::string error;
    ASSERT_TRUE(store.Open(true, &error)) << error;
    UnitRecord a = Rec("line-1", "R1", 1, "2026-03-01T08:00:00.000Z", kVerdictUnfinished);
    UnitRecord b = Rec("line-1", "R1", 2, "2026-03-01T08:00:00.000Z", kVerdictFailed);
    b.lastStatus = "COM2: loopback test failed: -6";
    b.failStep = "loopback";
    b.failCode = -6;
    UnitRecord c = Rec("line-2", "R9", 1, "2026-03-02T09:30:00.000Z", kVerdictPassed);
    c.mac = "02:5C:3A:04:22:D7";
    c.macSource = "pool";
    c.macConfirmed = true;
    c.firmware = {"/jobs/fw \"v2\".vff", 5000, 5120, std::string(64, 'a')};
    c.linkAddress = "02:5C:3A:FF:FF:FF";
    c.serial = "0042-A";
    c.rework = true;
    c.checkIn = "confirmed";
    c.checkOut = "reported";
    c.jobName = "board-a";
    c.jobVersion = "1.2";
    c.jobDigest = std::string(64, 'd');
    ASSERT_TRUE(store.Write({a, b, c}, &error)) << error;
    UnitEvent label = Event(c, kEventLabel, "2026-03-02T09:31:00.000Z");
    UnitEvent failed = Event(c, kEventReprint, "2026-03-02T09:32:00.000Z");
    failed.ok = false;
    failed.text = "connection refused";
    ASSERT_TRUE(store.WriteEvents({failed, label}, &error)) << error;
    ASSERT_TRUE(store.WriteAudit({Audit("line-2", "2026-03-02T09:00:00.000Z", true),
                                  Audit("line-1", "2026-03-02T08:00:00.000Z", false)},
                                 &error))
        << error;
    // The same station, run and port again: the record is replaced, not doubled.
    a.verdict = kVerdictPassed;
    a.endedMs = a.startedMs + 31000;
    ASSERT_TRUE(store.Write({a}, &error)) << error;
  }
  SqliteRecordStore store(path);
  std::string error;
  ASSERT_TRUE(store.Open(false, &error)) << error;
  const auto all = ReadAll(store);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].verdict, kVerdictPassed);
  EXPECT_EQ(*all[0].endedMs - all[0].startedMs, 31000);
  EXPECT_EQ(all[1].failCode, -6);
  EXPECT_FALSE(all[0].macConfirmed.has_value());
  EXPECT_EQ(all[2].firmware.path, "/jobs/fw \"v2\".vff");
  EXPECT_EQ(all[2].firmware.sentBytes, 5120);
  EXPECT_EQ(all[2].macConfirmed, true);
  EXPECT_EQ(all[2].linkAddress, "02:5C:3A:FF:FF:FF");
  EXPECT_TRUE(
      CsvLine(all[2]).ends_with(",02:5C:3A:FF:FF:FF,0,0042-A,1,confirmed,reported,board-a,"
                                "1.2," +
                                std::string(64, 'd')))
      << CsvLine(all[2]);
  EXPECT_EQ(all[0].jobName + all[0].jobDigest, "") << "no package";
  // The audit trail: oldest first, by station and time; the text's line end kept.
  auto audit = ReadAudit(store);
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(AuditText(audit[0]),
            "2026-03-02T08:00:00.000Z  line-1  op (window)  job-change  refused  board-a 1.2 "
            "dddddddddddd  images changed\\nrefused");
  EXPECT_EQ(audit[1].text, "images changed\nrefused");
  EXPECT_EQ(AuditCsvLine(audit[1]),
            "line-2,2026-03-02T09:00:00.000Z,op (window),job-change,1,"
            "\"images changed\nrefused\",board-a,1.2," +
                std::string(64, 'd'));
  RecordFilter byStation;
  byStation.station = "line-2";
  EXPECT_EQ(ReadAudit(store, byStation).size(), 1u);
  ASSERT_TRUE(ParseTimeArg("2026-03-02T08:30Z", &*(byStation.toMs = 0)));
  EXPECT_TRUE(ReadAudit(store, byStation).empty());
  EXPECT_FALSE(all[0].rework);
  const auto events = ReadEvents(store);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, kEventLabel) << "oldest first";
  EXPECT_EQ(EventCsvLine(events[1]),
            "line-2,R9,COM1,0,0042-A,02:5C:3A:04:22:D7,2026-03-02T09:32:00.000Z,reprint,"
            "tcp://127.0.0.1:9100,0,connection refused");

  RecordFilter f;
  f.mac = "02:5c:3a:04:22:d7";
  EXPECT_EQ(Ports(ReadAll(store, f)), std::vector<std::string>{"COM1 passed"});
  f = {};
  ASSERT_TRUE(ParseTimeArg("2026-03-02Z", &*(f.fromMs = 0)));
  EXPECT_EQ(ReadAll(store, f).size(), 1u);
  f = {};
  f.toMs = all[2].startedMs;  // before, not at
  f.station = "line-1";
  f.verdict = kVerdictFailed;
  EXPECT_EQ(Ports(ReadAll(store, f)), std::vector<std::string>{"COM2 failed"});
  std::map<std::string, int64_t> counts;
  ASSERT_TRUE(store.CountVerdicts({}, &counts, &error)) << error;
  EXPECT_EQ(counts[kVerdictPassed], 2);
  EXPECT_EQ(counts[kVerdictFailed], 1);
  // A serial matches exactly (its leading zeros and letter case too).
  f = {};
  f.serial = "0042-A";
  EXPECT_EQ(Ports(ReadAll(store, f)), std::vector<std::string>{"COM1 passed"});
  EXPECT_EQ(ReadEvents(store, f).size(), 2u);
  for (const char* other : {"042-A", "0042-a"}) {
    f.serial = other;
    EXPECT_TRUE(ReadAll(store, f).empty()) << other;
    EXPECT_TRUE(ReadEvents(store, f).empty()) << other;
  }
  bool passed = false;
  ASSERT_TRUE(SerialPassed(store, "0042-A", &passed, &error)) << error;
  EXPECT_TRUE(passed);
  ASSERT_TRUE(SerialPassed(store, "0042-a", &passed, &error)) << error;
  EXPECT_FALSE(passed);

  // Plain SQL on the documented table, and the journal the station uses.
  EXPECT_EQ(
      Sql(path, "SELECT port || ' ' || started_at FROM units WHERE mac = '02:5C:3A:04:22:D7'"),
      "COM1 2026-03-02T09:30:00.000Z");
  EXPECT_EQ(Sql(path, "SELECT count(*) FROM units WHERE verdict = 'passed'"), "2");
  EXPECT_EQ(Sql(path, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(Sql(path, "SELECT count(*) FROM unit_events WHERE serial = '0042-A'"), "2");
  EXPECT_NE(SqlChange(path, "UPDATE unit_events SET ok = 1"), "") << "events are only added";
  EXPECT_NE(SqlChange(path, "DELETE FROM unit_events"), "");
  EXPECT_NE(SqlChange(path, "UPDATE audit_trail SET ok = 1"), "") << "nor is the trail changed";
  EXPECT_NE(SqlChange(path, "DELETE FROM audit_trail"), "");

  // A file of records version 4 (no package columns, no audit trail): read as it is;
  // opened for writing, it gets them, its rows kept, no package in them.
  store.Close();
  const std::string v4 = dir.File("v4.db");
  std::filesystem::copy_file(path, v4);
  ASSERT_EQ(SqlChange(v4, AsOlderRecords(kPackageColumns, 4, 1, false)), "");
  {
    SqliteRecordStore older(v4);
    ASSERT_TRUE(older.Open(false, &error)) << error;
    EXPECT_TRUE(ReadAudit(older).empty());
    EXPECT_EQ(ReadAll(older)[2].jobName, "");
    EXPECT_EQ(ReadEvents(older).size(), 2u);
    ASSERT_TRUE(older.Open(true, &error)) << error;
    EXPECT_EQ(Sql(v4, "PRAGMA user_version"), "5");
    EXPECT_EQ(Sql(v4, "SELECT count(*) FROM units WHERE job_name IS NULL"), "3");
    ASSERT_TRUE(older.WriteAudit({Audit("line-1", "2026-03-03T00:00:00.000Z", true)}, &error))
        << error;
    EXPECT_EQ(ReadAudit(older).size(), 1u);
  }

  // Files of records version 3 (no serial, rework, check-in, check-out, no unit
  // events), 2 (no cycle either, the key without it) and 1 (no link_address either):
  // read as they are, every record cycle 0, no serial and no events; opened for
  // writing, they get what they lack, every row and its id kept (cycle 0, no serial in
  // them), the table made anew for the key with cycle.
  const std::string v3 = dir.File("v3.db"), v1 = dir.File("v1.db");
  std::vector<std::string> v3Lacks = kIdentityColumns;
  v3Lacks.insert(v3Lacks.end(), kPackageColumns.begin(), kPackageColumns.end());
  ASSERT_EQ(SqlChange(path, AsOlderRecords(v3Lacks, 3, 1)), "");
  std::filesystem::copy_file(path, v3);
  {
    SqliteRecordStore older(v3);
    ASSERT_TRUE(older.Open(false, &error)) << error;
    EXPECT_EQ(ReadAll(older).size(), 3u);
    EXPECT_TRUE(ReadEvents(older).empty());
    f = {};
    f.serial = "0042-A";
    EXPECT_TRUE(ReadAll(older, f).empty());
    ASSERT_TRUE(SerialPassed(older, "0042-A", &passed, &error)) << error;
    EXPECT_FALSE(passed);
  }
  std::vector<std::string> v2Lacks = v3Lacks;
  v2Lacks.push_back("cycle");
  ASSERT_EQ(SqlChange(path, AsOlderRecords(v2Lacks, 2, 10)), "");
  std::filesystem::copy_file(path, v1);
  ASSERT_EQ(SqlChange(v1, "ALTER TABLE units DROP COLUMN link_address; PRAGMA user_version = 1"),
            "");
  ASSERT_TRUE(store.Open(false, &error)) << error;
  f = {};
  f.cycle = 0;
  EXPECT_EQ(ReadAll(store, f).size(), 3u);
  f.cycle = 1;
  EXPECT_EQ(ReadAll(store, f).size(), 0u);
  ASSERT_TRUE(store.CountVerdicts(f, &counts, &error)) << error;
  EXPECT_TRUE(counts.empty());
  store.Close();
  const std::string rows =
      "SELECT group_concat(id || ' ' || port || ' ' || cycle, ', ') FROM units";
  for (const std::string& file : {v3, v1, path}) {
    SqliteRecordStore older(file);
    ASSERT_TRUE(older.Open(true, &error)) << error;
    EXPECT_EQ(Sql(file, "PRAGMA user_version"), "5");
    EXPECT_EQ(Sql(file, rows),
              file == v3 ? "1 COM1 0, 2 COM2 0, 3 COM1 0" : "10 COM1 0, 20 COM2 0, 30 COM1 0")
        << file;
    EXPECT_EQ(Sql(file, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'units_%'"), "4")
        << "the indexes made again, the old table gone: " << file;
    EXPECT_EQ(Sql(file, "SELECT count(*) FROM units WHERE serial IS NULL AND rework = 0"), "3");
    ASSERT_TRUE(older.WriteEvents({Event(all[2], kEventLabel, "2026-03-03T00:00:00.000Z")}, &error))
        << error;
  }
  EXPECT_EQ(Sql(v1, "SELECT count(*) FROM units WHERE link_address IS NULL"), "3");
  EXPECT_EQ(Sql(path, "SELECT link_address FROM units WHERE id = 30"), "02:5C:3A:FF:FF:FF");

  // One port's slot in a continuous run: its units' records (cycles 1 and 2) are kept
  // apart, in the writer's queue (here from its spool) and in the store.
  UnitRecord d1 = Rec("line-2", "R9", 2, "2026-03-02T09:30:00.000Z", kVerdictPassed);
  d1.cycle = 1;
  d1.linkAddress = "loopback";
  d1.serial = "SN\t1";
  d1.checkIn = "rejected: not released";
  UnitRecord d2 = d1;
  d2.cycle = 2;
  d2.verdict = kVerdictFailed;
  const std::string spool = dir.File("spool-records.txt");
  UnitEvent checkOut = Event(d1, kEventCheckOut, "2026-03-02T09:40:00.000Z");
  checkOut.text = "line 1\nline 2";
  ASSERT_EQ(WriteSpool(spool, {RecordFields(d1), EventFields(checkOut), RecordFields(d2),
                               AuditFields(Audit("line-2", "2026-03-02T09:41:00.000Z", false))}),
            0);
  {
    RecordWriter writer(std::make_unique<SqliteRecordStore>(path), "line-2", spool);
    EXPECT_TRUE(writer.Retry(std::chrono::milliseconds(10000))) << writer.Problem();
  }
  ASSERT_TRUE(store.Open(true, &error)) << error;
  d2.verdict = kVerdictPassed;  // replaced, not doubled
  ASSERT_TRUE(store.Write({d2}, &error)) << error;
  const auto upgraded = ReadAll(store);
  ASSERT_EQ(upgraded.size(), 5u);
  EXPECT_EQ(upgraded[3].cycle, 1);
  EXPECT_EQ(upgraded[3].linkAddress, "loopback");
  EXPECT_EQ(upgraded[3].serial, "SN\t1");
  EXPECT_EQ(upgraded[3].checkIn, "rejected: not released");
  f = {};
  f.serial = "SN\t1";
  const auto spooledEvents = ReadEvents(store, f);
  ASSERT_EQ(spooledEvents.size(), 1u) << "the spool's event is written too";
  EXPECT_EQ(EventCsvLine(spooledEvents[0]), EventCsvLine(checkOut));
  f = {};
  f.station = "line-2";
  ASSERT_EQ(ReadAudit(store, f).size(), 1u) << "and the spool's audit entry";
  EXPECT_EQ(AuditCsvLine(ReadAudit(store, f)[0]),
            AuditCsvLine(Audit("line-2", "2026-03-02T09:41:00.000Z", false)));
  EXPECT_EQ(upgraded[4].cycle, 2);
  EXPECT_EQ(upgraded[4].verdict, kVerdictPassed);
  f = {};
  f.cycle = 2;
  EXPECT_EQ(Ports(ReadAll(store, f)), std::vector<std::string>{"COM2 passed"});

  // Spool lines of older stations, without the identity's fields (and one or two more
  // short), read without a serial (and as cycle 0); a cycle field that is no cycle
  // number is no record.
  SpoolFields older = RecordFields(d2);
  older.resize(older.size() - v3Lacks.size());
  UnitRecord fromOlder;
  ASSERT_TRUE(RecordFromFields(older, &fromOlder));
  EXPECT_EQ(fromOlder.cycle, 2);
  EXPECT_EQ(fromOlder.serial, "");
  EXPECT_FALSE(fromOlder.rework);
  older.back() = "x";
  EXPECT_FALSE(RecordFromFields(older, &fromOlder));
  older.pop_back();
  ASSERT_TRUE(RecordFromFields(older, &fromOlder));
  EXPECT_EQ(fromOlder.linkAddress, "loopback");
  EXPECT_EQ(fromOlder.cycle, 0);
  older.pop_back();
  ASSERT_TRUE(RecordFromFields(older, &fromOlder));
  EXPECT_EQ(fromOlder.port, "COM2");
  EXPECT_EQ(fromOlder.linkAddress, "");
  EXPECT_EQ(fromOlder.cycle, 0);
}

TEST(SqliteStore, AStoreThatCannotBeOpenedOrWrittenSaysWhyAndRecovers) {
  TempDir dir;
  dir.Write("not-a-dir", "x");
  std::string error;
  SqliteRecordStore nowhere(dir.File("not-a-dir/records.db"));
  EXPECT_FALSE(nowhere.Open(true, &error));
  EXPECT_NE(error.find("not-a-dir/records.db"), std::string::npos) << error;
  SqliteRecordStore missing(dir.File("none.db"));
  EXPECT_FALSE(missing.Open(false, &error)) << "a reader never creates a database";
  EXPECT_FALSE(FileExists(dir.File("none.db")));

  SqliteRecordStore store(dir.File("records.db"), FullDiskVfs());
  ASSERT_TRUE(store.Open(true, &error)) << error;
  g_diskFull = true;
  EXPECT_FALSE(
      store.Write({Rec("s", "R1", 1, "2026-03-01T08:00:00.000Z", kVerdictPassed)}, &error));
  EXPECT_NE(error.find("full"), std::string::npos) << error;
  g_diskFull = false;
  EXPECT_TRUE(store.Write({Rec("s", "R1", 2, "2026-03-01T08:00:00.000Z", kVerdictPassed)}, &error))
      << error;
  EXPECT_EQ(Ports(ReadAll(store)), std::vector<std::string>{"COM2 passed"})
      << "the failed transaction left nothing behind";
}

// ---- the recorder in a run ----

// The dispatcher's supervising passes wait in real time here, so only the workers move
// the virtual time that their devices and their time-outs run on.
class WorkerTimeClock final : public Clock {
 public:
  explicit WorkerTimeClock(FakeClock& inner) : inner_(inner) {}
  uint32_t TickMs() override { return inner_.TickMs(); }
  void SleepMs(uint32_t ms) override {
    if (ms == StartThread::kSupervisePassMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      inner_.SleepMs(ms);
    }
  }

 private:
  FakeClock& inner_;
};

class RecordsRun : public ::testing::Test {
 protected:
  RecordsRun() : stationClock(clock), net(&clock) {
    clock.SetRealYieldUs(50);
    net.SetAddresses({Ip(192, 168, 1, 10)});
    MakeStation();
  }
  // The station (again, as after a restart: what the last one left is read anew).
  void MakeStation() {
    if (logic) OnUi([&] { logic->FormClose(); });
    factory.reset();
    logic.reset();
    PlatformServices services;
    services.ui = &ui;
    services.clock = &stationClock;
    services.serial = &bus;
    services.net = &net;
    StationSettings settings;
    settings.Set("station-name", "line-7");
    logic = std::make_unique<MainLogic>(services, board, boxes, dir.path(), &settings);
    factory = std::make_unique<ScriptedWorkerFactory>(logic->station());
    WorkerScript quick;
    quick.delayMs = 200;
    factory->SetDefault(quick);
    logic->SetWorkerFactory(factory.get());
  }
  size_t SpooledRecords() {
    std::vector<SpoolFields> entries;
    EXPECT_EQ(ReadSpool(dir.File(kRecordsSpoolName), &entries), 0);
    return entries.size();
  }
  ~RecordsRun() override {
    OnUi([&] { logic->RequestClose(); });
    WaitFor([&] { return OnUiValue([&] { return logic->CanClose(); }); });
    OnUi([&] { logic->FormClose(); });
    logic.reset();
    g_diskFull = false;
  }
  void OnUi(const std::function<void()>& fn) { ui.RunSync(fn); }
  bool OnUiValue(const std::function<bool()>& fn) {
    bool v = false;
    ui.RunSync([&] { v = fn(); });
    return v;
  }
  void Press() {
    OnUi([&] { logic->Btn_StartClick(); });
  }
  bool WaitRunEnded(int runs) {
    return WaitFor([&] { return board.EndedCount() >= runs; }) &&
           WaitFor([&] { return !OnUiValue([&] { return logic->DispatcherBusy(); }); });
  }
  void SetJob(int32_t flags, int32_t loopback, bool programMac) {
    logic->job.jobFlags = flags;
    logic->job.loopbackTest = loopback;
    logic->job.programMac = programMac;
    logic->job.filesSelected = true;
  }
  std::vector<UnitRecord> Stored() {
    SqliteRecordStore store(dir.File("records.db"));
    std::string error;
    EXPECT_TRUE(store.Open(false, &error)) << error;
    return ReadAll(store);
  }
  bool Logged(const std::string& part) {
    for (const auto& m : board.Messages()) {
      if (m.find(part) != std::string::npos) return true;
    }
    return false;
  }

  TempDir dir;
  InlineUiThread ui;
  RecordingBoard board;
  RecordingBoxes boxes;
  FakeClock clock;
  WorkerTimeClock stationClock;
  FakeSerialBus bus;
  FakeNetwork net;
  std::unique_ptr<MainLogic> logic;
  std::unique_ptr<ScriptedWorkerFactory> factory;
};

// Calls a hook on the dispatcher's thread before the inner factory makes each worker.
class HookedWorkers final : public WorkerFactory {
 public:
  HookedWorkers(WorkerFactory& inner, std::function<void()> hook)
      : inner_(inner), hook_(std::move(hook)) {}
  std::unique_ptr<Thread> StartWorker(const RunJob& job, WorkerKind kind, int portNumber,
                                      int portIndex, bool logFlag) override {
    hook_();
    return inner_.StartWorker(job, kind, portNumber, portIndex, logFlag);
  }

 private:
  WorkerFactory& inner_;
  std::function<void()> hook_;
};

TEST_F(RecordsRun, EachPortLeavesOneRecordAndTheBoardCountsTheUnits) {
  for (int n : {1, 2, 3}) bus.Line(FallbackPath(n));
  SetJob(kJobEeprom, 1, false);
  // The loopback tests' answering addresses, also that of the failed one.
  WorkerScript own, fails, overLoopback;
  own.delayMs = overLoopback.delayMs = 200;
  own.linkAddress = "02:5C:3A:FF:FF:FF";
  fails.finalStage = StageFailed;
  fails.linkAddress = "02:5C:3A:FF:FF:FF";
  fails.failCode = -9;  // its text shows -1: the record keeps what the worker reported
  overLoopback.linkAddress = "loopback";
  factory->Script(WorkerKind::LoopbackTest, 0, own);
  factory->Script(WorkerKind::LoopbackTest, 1, fails);
  factory->Script(WorkerKind::LoopbackTest, 2, overLoopback);
  Press();
  ASSERT_TRUE(WaitRunEnded(1));
  // The EEPROM image without a MAC address programmed after it: the units that went
  // through every step keep their ports' temporary addresses, never passed.
  auto records = Stored();
  ASSERT_EQ(Ports(records),
            (std::vector<std::string>{"COM1 temporary-mac", "COM2 failed", "COM3 temporary-mac"}));
  const UnitRecord& failed = records[1];
  EXPECT_EQ(failed.station, "line-7");
  EXPECT_EQ(failed.steps, "eeprom,loopback");
  EXPECT_EQ(failed.portDevice, "/dev/ttyS1");
  EXPECT_EQ(failed.stage, static_cast<int32_t>(StageTesting));
  EXPECT_EQ(failed.lastStatus, "COM2: test ended -1");
  EXPECT_EQ(failed.failStep, "loopback");
  EXPECT_EQ(failed.failCode, -9) << "the reported code, not one read from a text";
  EXPECT_EQ(records[0].stage, static_cast<int32_t>(StageTested));
  EXPECT_FALSE(records[0].failCode.has_value());
  EXPECT_TRUE(records[0].endedMs.has_value());
  EXPECT_EQ(records[0].linkAddress, "02:5C:3A:FF:FF:FF");
  EXPECT_EQ(failed.linkAddress, "02:5C:3A:FF:FF:FF") << "the device that answered for it";
  EXPECT_EQ(records[2].linkAddress, "loopback");
  EXPECT_EQ(records[0].failStep, "");
  EXPECT_EQ(board.MacCell(0, 1), "this run: 0 passed, 1 failed, 2 temporary MAC");
  EXPECT_EQ(board.MacCell(1, 1), "today: 0 passed, 1 failed, 2 temporary MAC");
  EXPECT_EQ(board.MacCell(0, 0), "") << "column 0 stays the MAC line's";

  // Units identified before their steps: COM1's serial is kept, COM2 is refused at its
  // check-in (its record closed failed at once, counted once though its port then
  // fails too). Every sink follows the results; the check-out and a label come after.
  ProductionRecorder& recorder = *logic->records();
  std::vector<UnitRecord> results;
  const int sink =
      recorder.AddResultSink([&](const UnitResult& r) { results.push_back(r.record); });
  const int gone = recorder.AddResultSink([&](const UnitResult&) { ADD_FAILURE(); });
  recorder.RemoveResultSink(gone);
  bool identified = false;
  HookedWorkers hooked(*factory, [&] {
    if (std::exchange(identified, true)) return;
    recorder.UnitIdentified(0, UnitIdentity{"0007", true, "confirmed", false});
    recorder.UnitIdentified(1, UnitIdentity{"0008", false, "rejected: not released", true});
  });
  logic->SetWorkerFactory(&hooked);
  Press();
  ASSERT_TRUE(WaitRunEnded(2));
  logic->SetWorkerFactory(factory.get());
  recorder.RemoveResultSink(sink);
  EXPECT_EQ(board.MacCell(0, 1), "this run: 0 passed, 1 failed, 2 temporary MAC");
  EXPECT_EQ(board.MacCell(1, 1), "today: 0 passed, 2 failed, 4 temporary MAC");
  const UnitCounts counts = recorder.Counts();
  EXPECT_EQ(std::to_string(counts.runPassed) + " " + std::to_string(counts.runTemporary) + " " +
                std::to_string(counts.todayPassed) + " " + std::to_string(counts.todayTemporary),
            "0 2 0 4");
  ASSERT_EQ(results.size(), 3u);
  UnitEvent label;
  label.station = "line-7";
  label.runId = results[0].runId;
  label.port = "COM1";
  label.serial = "0007";
  label.kind = kEventLabel;
  label.where = "file";
  EXPECT_TRUE(recorder.AddEvent(label));
  UnitRecord com1 = *std::find_if(results.begin(), results.end(),
                                  [](const UnitRecord& r) { return r.port == "COM1"; });
  EXPECT_TRUE(recorder.RecordCheckOut(com1, "reported"));
  com1.cycle = 3;
  EXPECT_FALSE(recorder.RecordCheckOut(com1, "reported")) << "no such unit closed";
  // An audit entry longer than the stores take is cut, not left waiting for good.
  AuditEntry tooLong;
  tooLong.user = "op\t(api)";
  tooLong.kind = kAuditJobChange;
  tooLong.ok = false;
  tooLong.text = std::string(4100, 'x');
  EXPECT_TRUE(recorder.AddAudit(tooLong));
  tooLong.kind.clear();
  EXPECT_FALSE(recorder.AddAudit(tooLong)) << "an entry names its kind";
  EXPECT_TRUE(WaitFor([&] { return recorder.writer().Retry(std::chrono::milliseconds(1000)); }));
  records = Stored();
  ASSERT_EQ(records.size(), 6u);
  const UnitRecord& kept = records[3];
  const UnitRecord& refused = records[4];
  EXPECT_EQ(kept.port + " " + kept.serial + " " + kept.checkIn + " " + kept.checkOut,
            "COM1 0007 confirmed reported");
  EXPECT_TRUE(kept.rework);
  EXPECT_EQ(refused.port + " " + refused.verdict + " " + refused.failStep + " " + refused.checkIn,
            "COM2 failed check-in rejected: not released");
  EXPECT_FALSE(refused.failCode.has_value());
  EXPECT_EQ(refused.lastStatus, "COM2: rejected: not released");
  EXPECT_EQ(refused.linkAddress, "") << "no step ran for it";
  SqliteRecordStore store(dir.File("records.db"));
  std::string error;
  ASSERT_TRUE(store.Open(false, &error)) << error;
  std::vector<std::string> events;
  ASSERT_TRUE(store.ReadEvents(
      {}, [&](const UnitEvent& e) { return events.push_back(e.port + " " + e.serial), true; },
      &error));
  EXPECT_EQ(events, std::vector<std::string>{"COM1 0007"});
  const auto audit = ReadAudit(store);
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0].station + " " + audit[0].user, "line-7 op (api)");
  EXPECT_EQ(audit[0].text.size(), ProductionRecorder::kAuditTextBytes);
  bool passed = true;
  ASSERT_TRUE(SerialPassed(store, "0007", &passed, &error)) << error;
  EXPECT_FALSE(passed) << "a unit left with the temporary address never passed";
}

TEST_F(RecordsRun, AStoppedRunLeavesStoppedRecordsAndNoneIsMissing) {
  // Stop cuts COM2, COM5 and COM9 short; COM4 had failed before it and stays failed.
  for (int n : {2, 4, 5, 9}) bus.Line(FallbackPath(n));
  SetJob(kJobFirmware | kJobEeprom, 1, true);
  logic->job.assignMac = true;
  logic->job.assignedMacText = "02:5C:3A:04:21:0F";
  WorkerScript forever;
  forever.untilStopped = true;
  factory->SetDefault(forever);
  WorkerScript quick;
  quick.delayMs = 100;
  factory->Script(WorkerKind::Download, 0, quick);  // COM2 reaches its test
  WorkerScript fails = quick;
  fails.finalStage = StageFailed;
  factory->Script(WorkerKind::Download, 1, fails);  // COM4 fails before the Stop
  Press();
  ASSERT_TRUE(WaitFor([&] { return factory->Count(WorkerKind::LoopbackTest) == 1; }));
  ASSERT_TRUE(WaitFor([&] { return logic->stages.Get(1) == StageFailed; }));
  // Written before any port finished: a station that dies now still leaves them.
  auto open = Stored();
  ASSERT_EQ(open.size(), 4u);
  for (const auto& r : open) {
    if (r.port != "COM4") {
      EXPECT_EQ(r.verdict, kVerdictUnfinished) << r.port;
    }
  }

  Press();  // Stop, confirmed
  ASSERT_TRUE(WaitRunEnded(1));
  auto records = Stored();
  ASSERT_EQ(Ports(records), (std::vector<std::string>{"COM2 stopped", "COM4 failed", "COM5 stopped",
                                                      "COM9 stopped"}));
  for (const auto& r : records) {
    EXPECT_TRUE(r.endedMs.has_value()) << r.port;
    EXPECT_EQ(r.failStep, r.port == "COM2" ? "loopback" : "download") << r.port;
  }
  EXPECT_EQ(board.MacCell(0, 1), "this run: 0 passed, 1 failed");
}

// Stop while the first port's worker is being made: the ports that never started a
// step are closed as stopped, with an end time, not left unfinished.
TEST_F(RecordsRun, PortsStoppedBeforeTheirFirstStepAreRecordedStopped) {
  for (int n : {1, 2, 3}) bus.Line(FallbackPath(n));
  SetJob(kJobEeprom, 0, false);
  WorkerScript forever;
  forever.untilStopped = true;
  factory->SetDefault(forever);
  std::thread operatorThread;
  HookedWorkers hooked(*factory, [&] {
    if (operatorThread.joinable()) return;
    operatorThread = std::thread([&] { Press(); });
    WaitFor([&] { return logic->dispatcher() && logic->dispatcher()->StopRequested(); }, 5000);
  });
  logic->SetWorkerFactory(&hooked);
  Press();
  ASSERT_TRUE(WaitRunEnded(1));
  operatorThread.join();
  logic->SetWorkerFactory(factory.get());
  const auto records = Stored();
  ASSERT_EQ(Ports(records),
            (std::vector<std::string>{"COM1 stopped", "COM2 stopped", "COM3 stopped"}));
  for (const auto& r : records) EXPECT_TRUE(r.endedMs.has_value()) << r.port;
}

TEST_F(RecordsRun, AFullDiskIsReportedAndCostsNoAddressAndNoPort) {
  // The real MAC worker on a device of COM1, the pool's one address, a full disk.
  WritePoolFile(dir.File("storedMAC.txt"), "02:5C:3A:04:22:D1", "02:5C:3A:04:22:D1");
  MacDevice device(clock, bus.Line(FallbackPath(1)));
  logic->SetWorkerFactory(nullptr);
  {
    SqliteRecordStore made(dir.File("records.db"));  // the disk fills up after this
    std::string error;
    ASSERT_TRUE(made.Open(true, &error)) << error;
  }
  g_diskFull = true;
  OnUi([&] {
    logic->SetRecords(std::make_unique<SqliteRecordStore>(dir.File("records.db"), FullDiskVfs()),
                      "line-7");
  });
  ASSERT_EQ(OnUiValue([&] { return logic->macPool().Load() == 0; }), true);
  SetJob(0, 0, true);
  Press();
  ASSERT_TRUE(WaitRunEnded(1));
  EXPECT_EQ(logic->stages.Get(0), StageProgrammed);
  EXPECT_EQ(device.Commands(), std::vector<std::string>{"$SYCXXMAC02:5c:3a:04:22:d1\r\n"});
  EXPECT_EQ(board.MacCell(0, 0), "MAC used up");
  EXPECT_TRUE(Logged("production records: ")) << "the operator is told";
  EXPECT_TRUE(Logged("full")) << "and why";
  EXPECT_EQ(board.MacCell(1, 1), "today: 1 passed, 0 failed") << "counted all the same";
  EXPECT_TRUE(Logged("1 record(s) not written yet, kept in " + dir.File(kRecordsSpoolName)));
  EXPECT_EQ(SpooledRecords(), 1u) << "kept on disk, should the station end now";

  // Room again: the kept record is written with the next run's.
  g_diskFull = false;
  SetJob(0, 0, false);
  Press();
  ASSERT_TRUE(WaitRunEnded(2));
  const auto records = Stored();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].mac, "02:5C:3A:04:22:D1");
  EXPECT_EQ(records[0].macSource, "pool");
  EXPECT_EQ(records[0].macConfirmed, true);
  EXPECT_EQ(records[0].verdict, kVerdictPassed);
  EXPECT_TRUE(Logged("production records: writing to"));
  EXPECT_EQ(SpooledRecords(), 0u);
}

// The records file removed (or replaced) while the station writes to it: noticed, and
// the run's records end up in the file at the path; a corrupt file keeps them in the
// spool until the station or production-records replay can write them.
TEST_F(RecordsRun, ARecordsFileRemovedOrCorruptLosesNoRecord) {
  bus.Line(FallbackPath(1));
  SetJob(kJobEeprom, 0, false);
  WorkerScript forever;
  forever.untilStopped = true;
  factory->SetDefault(forever);
  Press();
  ASSERT_TRUE(WaitFor([&] { return factory->Total() == 1; }));
  ASSERT_EQ(Stored().size(), 1u);
  ASSERT_EQ(std::rename(dir.File("records.db").c_str(), dir.File("moved.db").c_str()), 0);
  Press();  // Stop
  ASSERT_TRUE(WaitRunEnded(1));
  EXPECT_TRUE(Logged("was replaced, moved away or removed while the station wrote to it"));
  auto records = Stored();
  ASSERT_EQ(records.size(), 1u) << "written to the file now at the path";
  EXPECT_EQ(records[0].verdict, kVerdictStopped);
  EXPECT_TRUE(records[0].endedMs.has_value());
  EXPECT_EQ(SpooledRecords(), 0u);

  // A corrupt file at the station's start: the records wait in the spool, across a
  // restart of the station.
  MakeStation();
  factory->SetDefault(forever);
  SetJob(kJobEeprom, 0, false);
  dir.Write("records.db", std::string(8192, 'x'));
  std::remove(dir.File("records.db-wal").c_str());
  std::remove(dir.File("records.db-shm").c_str());
  Press();
  ASSERT_TRUE(WaitFor([&] { return factory->Total() == 1; }));
  Press();
  ASSERT_TRUE(WaitRunEnded(2));
  EXPECT_TRUE(Logged("not a database"));
  // An audit entry between runs waits with them (its station and time filled in).
  AuditEntry mode;
  mode.user = "op (cli)";
  mode.kind = kAuditModeChange;
  mode.text = "engineer mode entered";
  ASSERT_TRUE(logic->records()->AddAudit(mode));
  EXPECT_FALSE(logic->records()->writer().Retry(std::chrono::milliseconds(10000)));
  MakeStation();
  EXPECT_EQ(SpooledRecords(), 2u);
  std::ostringstream o, e;
  EXPECT_EQ(RunRecordsTool({"--dir", dir.path(), "replay"}, o, e), 1) << e.str();
  EXPECT_NE(e.str().find("1 record(s) and 1 audit entr(ies) still waiting"), std::string::npos)
      << e.str();
  std::remove(dir.File("records.db").c_str());
  o.str("");
  e.str("");
  EXPECT_EQ(RunRecordsTool({"--dir", dir.path(), "replay"}, o, e), 0) << e.str();
  EXPECT_NE(o.str().find("1 record(s) and 1 audit entr(ies) written"), std::string::npos)
      << o.str();
  EXPECT_EQ(SpooledRecords(), 0u);
  records = Stored();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].verdict, kVerdictStopped);
  o.str("");
  ASSERT_EQ(RunRecordsTool({"--dir", dir.path(), "audit"}, o, e), 0) << e.str();
  EXPECT_NE(o.str().find("Z  line-7  op (cli)  mode-change  ok  engineer mode entered\n"),
            std::string::npos)
      << o.str();
  EXPECT_EQ(o.str().rfind(FormatUtcMs(WallClockMs()).substr(0, 10), 0), 0u) << "done now";
}

// A device that reports another address than the one written is failed, and its
// record says what it reported, never confirmed.
TEST_F(RecordsRun, AnotherReportedAddressIsRecordedUnconfirmed) {
  MacDevice::Script other, longer;
  other.glmLines = {{50, "%GLM 02:5C:3A:FF:FF:FF\r\n"}};
  longer.glmLines = {{50, "%GLM 02:5C:3A:04:21:0Fx\r\n"}};
  MacDevice first(clock, bus.Line(FallbackPath(1)), other);
  MacDevice second(clock, bus.Line(FallbackPath(2)), longer);
  logic->SetWorkerFactory(nullptr);
  SetJob(0, 0, true);
  logic->job.assignMac = true;
  logic->job.assignedMacText = "02:5C:3A:04:21:0F";
  Press();
  ASSERT_TRUE(WaitRunEnded(1));
  const auto records = Stored();
  ASSERT_EQ(Ports(records), (std::vector<std::string>{"COM1 failed", "COM2 failed"}));
  EXPECT_EQ(records[0].macReported, "02:5C:3A:FF:FF:FF");
  for (const auto& r : records) {
    EXPECT_EQ(r.mac, "02:5C:3A:04:21:0F") << r.port;
    EXPECT_EQ(r.macConfirmed, false) << r.port;
    EXPECT_EQ(r.failStep, "mac") << r.port;
    EXPECT_EQ(r.failCode, -6) << r.port;
  }
}

// ---- the records tool ----

TEST(RecordsTool, ExportsCsvAndJsonLinesAndSumsUpWithFilters) {
  TempDir dir;
  {
    SqliteRecordStore store(dir.File("records.db"));
    std::string error;
    ASSERT_TRUE(store.Open(true, &error)) << error;
    UnitRecord p1 = Rec("line-1", "R1", 1, "2026-03-01T08:00:00.000Z", kVerdictPassed);
    p1.mac = "02:5C:3A:04:22:D1";
    p1.macConfirmed = true;
    p1.lastStatus = "COM1: %GLM 02:5C:3A:04:22:D1\r OK";
    UnitRecord f1 = Rec("line-1", "R1", 2, "2026-03-01T08:00:00.000Z", kVerdictFailed);
    f1.lastStatus = "COM2: loopback test failed: -6";
    f1.failCode = -6;
    UnitRecord f2 = Rec("line-1", "R2", 3, "2026-03-01T09:00:00.000Z", kVerdictFailed);
    f2.lastStatus = "COM3: loopback test failed: -6";
    UnitRecord f3 = Rec("line-2", "R3", 1, "2026-03-01T10:00:00.000Z", kVerdictFailed);
    f3.lastStatus = "COM1: no response";
    UnitRecord s1 = Rec("line-2", "R3", 2, "2026-03-01T10:00:00.000Z", kVerdictStopped);
    UnitRecord u1 = Rec("line-2", "R4", 1, "2026-03-02T10:00:00.000Z", kVerdictUnfinished);
    u1.lastStatus = "COM1: Download Firmware...2/5, \"quoted\"\n";
    ASSERT_TRUE(store.Write({p1, f1, f2, f3, s1, u1}, &error)) << error;
  }
  auto run = [&](std::vector<std::string> args, std::string* out, int want = 0) {
    std::ostringstream o, e;
    args.insert(args.begin(), {"--dir", dir.path()});
    EXPECT_EQ(RunRecordsTool(args, o, e), want) << e.str();
    *out = o.str();
    return e.str();
  };
  std::string out;
  run({"summary"}, &out);
  EXPECT_EQ(out,
            "records: 6\npassed: 1\nfailed: 3\nstopped: 1\nunfinished: 1\n"
            "first-pass yield: 25.00% (1 passed of 4 passed or failed)\n"
            "failures:\n  2  loopback test failed: -6\n  1  no response\n");
  run({"summary", "--station", "line-1", "--to", "2026-03-01T09:00Z"}, &out);
  EXPECT_NE(out.find("first-pass yield: 50.00% (1 passed of 2"), std::string::npos) << out;

  run({"export", "--csv", "--verdict", "unfinished"}, &out);
  std::istringstream lines(out);
  std::string header, row;
  std::getline(lines, header);
  EXPECT_EQ(header, CsvHeader() + "\r");
  EXPECT_EQ(header.rfind("station,run_id,port,port_index,port_device,started_at,ended_at,", 0), 0u);
  std::getline(lines, row, '\0');
  EXPECT_EQ(row,
            "line-2,R4,COM1,0,/dev/serial/by-path/usb-0:1.1,2026-03-02T10:00:00.000Z,,"
            "\"firmware,eeprom,loopback,mac\",115200,,,,,,,,,,,,,,0,unfinished,"
            "\"COM1: Download Firmware...2/5, \"\"quoted\"\"\n\",,,,0,,0,,,,,\r\n");

  run({"export", "--json", "--mac", "02:5c:3a:04:22:d1"}, &out);
  EXPECT_EQ(out.find('\n'), out.size() - 1) << "one unit: " << out;
  EXPECT_NE(out.find("\"mac\":\"02:5C:3A:04:22:D1\",\"mac_source\":null,\"mac_reported\":null,"
                     "\"mac_confirmed\":true,\"stage\":0,\"verdict\":\"passed\","
                     "\"last_status\":\"COM1: %GLM 02:5C:3A:04:22:D1\\r OK\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"port_index\":0,"), std::string::npos) << out;
  EXPECT_NE(out.find("\"ended_at\":null,"), std::string::npos) << out;

  EXPECT_NE(run({"export", "--verdict", "maybe"}, &out, 2).find("--verdict wants"),
            std::string::npos);
  EXPECT_NE(run({"summary", "--from", "yesterday"}, &out, 2).find("--from wants"),
            std::string::npos);
  EXPECT_NE(run({"summary", "--from", "2026-02-30"}, &out, 2).find("a date that exists"),
            std::string::npos);
  EXPECT_EQ(run({"summary", "--from", "2028-02-29"}, &out), "");
  // A record stored with a lower-case address is found all the same.
  {
    SqliteRecordStore store(dir.File("records.db"));
    std::string error;
    ASSERT_TRUE(store.Open(true, &error)) << error;
    UnitRecord low = Rec("line-3", "R5", 1, "2026-03-03T10:00:00.000Z", kVerdictPassed);
    low.mac = "02:5c:3a:04:22:d1";
    UnitRecord second = Rec("line-3", "R5", 1, "2026-03-03T10:01:00.000Z", kVerdictFailed);
    second.cycle = 2;
    second.serial = "007";
    second.rework = true;
    second.checkIn = "confirmed";
    second.jobName = "board-b";
    second.jobVersion = "7";
    UnitRecord first = Rec("line-3", "R5", 1, "2026-03-03T09:01:00.000Z", kVerdictUnfinished);
    first.cycle = 1;
    first.serial = "007";
    ASSERT_TRUE(store.Write({low, second, first}, &error)) << error;
    ASSERT_TRUE(store.WriteEvents({Event(second, kEventLabel, "2026-03-03T10:02:00.000Z")}, &error))
        << error;
  }
  run({"summary", "--mac", "02:5c:3a:04:22:D1"}, &out);
  EXPECT_EQ(out.rfind("records: 2\n", 0), 0u) << out;
  run({"summary", "--serial", "007"}, &out);
  EXPECT_EQ(out.rfind("records: 2\npassed: 0\nfailed: 1\nstopped: 0\nunfinished: 1\n", 0), 0u)
      << out;
  run({"export", "--json", "--cycle", "2"}, &out);
  EXPECT_EQ(out.find('\n'), out.size() - 1) << "one unit: " << out;
  EXPECT_NE(out.find("\"link_address\":null,\"cycle\":2,\"serial\":\"007\",\"rework\":true,"
                     "\"check_in\":\"confirmed\",\"check_out\":null,\"job_name\":\"board-b\","
                     "\"job_version\":\"7\",\"job_digest\":null}"),
            std::string::npos)
      << out;
  run({"export", "--serial", "007"}, &out);
  EXPECT_NE(out.find(",0,unfinished,"), std::string::npos) << "cycle 1, then 2: " << out;
  EXPECT_NE(out.find(",2,007,1,confirmed,,board-b,7,\r\n"), std::string::npos) << out;
  run({"events", "--json", "--serial", "007"}, &out);
  EXPECT_EQ(out,
            "{\"station\":\"line-3\",\"run_id\":\"R5\",\"port\":\"COM1\",\"cycle\":2,"
            "\"serial\":\"007\",\"mac\":null,\"done_at\":\"2026-03-03T10:02:00.000Z\","
            "\"kind\":\"label\",\"sent_to\":\"tcp://127.0.0.1:9100\",\"ok\":true,"
            "\"answer\":\"sent, 412 bytes\"}\n");
  run({"events", "--station", "line-1"}, &out);
  EXPECT_EQ(out, EventCsvHeader() + "\r\n");
  // Units left with the temporary address: their own verdict, shown, never passed.
  {
    SqliteRecordStore store(dir.File("records.db"));
    std::string error;
    ASSERT_TRUE(store.Open(true, &error)) << error;
    UnitRecord t = Rec("line-4", "R6", 1, "2026-03-04T10:00:00.000Z", kVerdictTemporaryMac);
    t.tempMac = "02:5C:3A:FF:FF:FF";
    ASSERT_TRUE(store.Write({t}, &error)) << error;
    AuditEntry load;
    load.station = "line-4";
    load.atMs = t.startedMs;
    load.user = "eng (api)";
    load.kind = kAuditPackageCheck;
    load.ok = false;
    load.text = "signature does not verify";
    ASSERT_TRUE(store.WriteAudit({load}, &error)) << error;
  }
  run({"summary", "--station", "line-4"}, &out);
  EXPECT_EQ(out,
            "records: 1\npassed: 0\nfailed: 0\nstopped: 0\nunfinished: 0\ntemporary-mac: 1\n"
            "first-pass yield: - (no unit passed or failed)\nfailures: none\n");
  run({"export", "--verdict", "temporary-mac"}, &out);
  EXPECT_NE(out.find(",02:5C:3A:FF:FF:FF,"), std::string::npos) << out;
  run({"audit", "--json", "--station", "line-4"}, &out);
  EXPECT_EQ(out,
            "{\"station\":\"line-4\",\"done_at\":\"2026-03-04T10:00:00.000Z\","
            "\"user_name\":\"eng (api)\",\"kind\":\"package-check\",\"ok\":false,"
            "\"detail\":\"signature does not verify\",\"job_name\":null,\"job_version\":null,"
            "\"job_digest\":null}\n");
  run({"audit", "--from", "2026-03-04T10:00:01Z"}, &out);
  EXPECT_EQ(out, "");
  EXPECT_NE(run({"export", "--cycle", "-1"}, &out, 2).find("--cycle wants"), std::string::npos);
  std::ostringstream o, e;
  EXPECT_EQ(RunRecordsTool({"--db", dir.File("elsewhere.db"), "summary"}, o, e), 1);
  EXPECT_NE(e.str().find("elsewhere.db"), std::string::npos) << e.str();
  // A station.conf not understood whole may name other records: none are read.
  dir.Write("station.conf", "records-flie = other.db\n");
  EXPECT_NE(run({"summary"}, &out, 1).find("unknown key \"records-flie\""), std::string::npos);
}

}  // namespace
