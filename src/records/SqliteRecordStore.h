#pragma once
// The embedded records store: one SQLite database file (records.db in the data
// directory unless the station is told another), in WAL mode with every commit synced
// to disk. Other programs may read it with plain SQL while the station writes; the
// table is described in the README ("Production records"). A file replaced, moved
// away or removed while it is open for writing is noticed at the next write, which
// then fails (the records stay with the writer, which opens the path anew).
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "records/RecordStore.h"
#include "records/UnitsTable.h"

struct sqlite3;

class SqliteRecordStore final : public RecordStore {
 public:
  // 2: link_address added (a file of version 1 gets it when opened for writing).
  // 3: cycle added and in the key (station, run_id, port, cycle): an older file's table
  // is made anew in one transaction when opened for writing, every row and its id kept,
  // cycle 0 in its rows.
  // 4: serial, rework, check_in and check_out added (an older file gets them when opened
  // for writing, NULL or 0 in its rows), and the table unit_events.
  // 5: job_name, job_version and job_digest added (NULL in older rows), and the table
  // audit_trail; an older file gets them when opened for writing.
  static constexpr int kSchemaVersion = 5;
  static constexpr int kBusyTimeoutMs = 5000;

  // This build has the embedded store; otherwise false and *why says so (the Windows
  // build: no SQLite for its target), and the station keeps no records.
  static bool InThisBuild(std::string* why);

  // vfs: the SQLite VFS to use ("" the default); tests give one that fails on purpose.
  explicit SqliteRecordStore(std::string path, std::string vfs = "");
  ~SqliteRecordStore() override;
  SqliteRecordStore(const SqliteRecordStore&) = delete;
  SqliteRecordStore& operator=(const SqliteRecordStore&) = delete;

  std::string Describe() const override { return path_; }
  bool Open(bool forWriting, std::string* error) override;
  bool IsOpen() const override { return db_ != nullptr; }
  void Close() override;
  bool Write(const std::vector<UnitRecord>& records, std::string* error) override;
  bool Read(const RecordFilter& filter, const std::function<bool(const UnitRecord&)>& each,
            std::string* error) override;
  bool CountVerdicts(const RecordFilter& filter, std::map<std::string, int64_t>* counts,
                     std::string* error) override;
  bool WriteEvents(const std::vector<UnitEvent>& events, std::string* error) override;
  bool ReadEvents(const RecordFilter& filter, const std::function<bool(const UnitEvent&)>& each,
                  std::string* error) override;
  bool WriteAudit(const std::vector<AuditEntry>& entries, std::string* error) override;
  bool ReadAudit(const RecordFilter& filter, const std::function<bool(const AuditEntry&)>& each,
                 std::string* error) override;

 private:
  bool Exec(const char* sql, std::string* error);
  bool CreateSchema(std::string* error);
  // Within CreateSchema's transaction: the table of an older file made anew with
  // today's columns and key, its rows copied with their ids.
  bool RebuildTable(std::string* error);
  // The filter as this file can answer it: false when nothing can match (a cycle other
  // than 0 asked of a file from before cycles, whose records are all cycle 0; a serial
  // asked of a file from before serials).
  bool Answerable(RecordFilter* filter) const;
  // The columns units has (columns_), and whether the file has unit_events (events_)
  // and audit_trail (audit_).
  bool ReadColumns(std::string* error);
  // The SELECT list of RecordColumns, NULL for a column the file lacks.
  std::string SelectList() const;
  std::string Failure(const std::string& what) const;
  // The file at path_ is still the one opened (not replaced, moved away or removed).
  bool StillAtPath(std::string* error) const;

  const std::string path_;
  const std::string vfs_;
  sqlite3* db_ = nullptr;
  FileId opened_;  // which file path_ named when it was opened for writing
  bool writing_ = false;
  std::set<std::string> columns_;  // the columns of units in the open file
  bool events_ = false;            // the open file has the table unit_events
  bool audit_ = false;             // the open file has the table audit_trail
  // Adds rows to an only-added table in one transaction: INSERT INTO table (columns).
  bool Append(const std::string& table, const std::vector<UnitsColumn>& columns,
              const std::vector<std::vector<std::optional<std::string>>>& rows, std::string* error);
};
