// The Windows build has no SQLite (no library for the Windows target among the build
// machine's packages), so its embedded store cannot be opened: the station reports
// that once per run and goes on producing, as with any store it cannot write.
#include "records/SqliteRecordStore.h"

namespace {
constexpr const char* kNoStore = "production records are not kept: this build has no SQLite";
}

bool SqliteRecordStore::InThisBuild(std::string* why) {
  if (why) *why = kNoStore;
  return false;
}

SqliteRecordStore::SqliteRecordStore(std::string path, std::string vfs)
    : path_(std::move(path)), vfs_(std::move(vfs)) {}

SqliteRecordStore::~SqliteRecordStore() = default;

bool SqliteRecordStore::Open(bool, std::string* error) {
  if (error) *error = kNoStore;
  return false;
}

void SqliteRecordStore::Close() {}

bool SqliteRecordStore::Write(const std::vector<UnitRecord>&, std::string* error) {
  if (error) *error = kNoStore;
  return false;
}

bool SqliteRecordStore::Read(const RecordFilter&, const std::function<bool(const UnitRecord&)>&,
                             std::string* error) {
  if (error) *error = kNoStore;
  return false;
}

bool SqliteRecordStore::CountVerdicts(const RecordFilter&, std::map<std::string, int64_t>*,
                                      std::string* error) {
  if (error) *error = kNoStore;
  return false;
}

bool SqliteRecordStore::WriteEvents(const std::vector<UnitEvent>&, std::string* error) {
  if (error) *error = kNoStore;
  return false;
}

bool SqliteRecordStore::ReadEvents(const RecordFilter&,
                                   const std::function<bool(const UnitEvent&)>&,
                                   std::string* error) {
  if (error) *error = kNoStore;
  return false;
}

bool SqliteRecordStore::WriteAudit(const std::vector<AuditEntry>&, std::string* error) {
  if (error) *error = kNoStore;
  return false;
}

bool SqliteRecordStore::ReadAudit(const RecordFilter&,
                                  const std::function<bool(const AuditEntry&)>&,
                                  std::string* error) {
  if (error) *error = kNoStore;
  return false;
}
