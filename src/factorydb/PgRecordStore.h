#pragma once
// Production records in the factory database, beside the MAC pool: every station's
// records in one table `units` (the same columns as the embedded store's), so the
// factory sees all its stations in one place. The table is made by factory-db init;
// a station's role needs the rights factory-db grant gives. Unit events go to the table
// unit_events, the station's audit trail to audit_trail, both only ever added.
//
// Used by one thread at a time (the recorder's writer or a tool). Every call ends
// within kCallBoundMs; a lost connection is made again at the next call.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "factorydb/PgLink.h"
#include "records/RecordStore.h"

class PgRecordStore final : public RecordStore {
 public:
  static constexpr int kCallBoundMs = 5000;
  static constexpr int kStatementTimeoutMs = 4000;
  static constexpr size_t kFetchRows = 1000;

  explicit PgRecordStore(const std::string& conninfo);

  std::string Describe() const override;
  bool Open(bool forWriting, std::string* error) override;
  bool IsOpen() const override { return open_; }
  void Close() override;
  bool Write(const std::vector<UnitRecord>& records, std::string* error) override;
  bool Read(const RecordFilter& filter, const std::function<bool(const UnitRecord&)>& each,
            std::string* error) override;
  bool CountVerdicts(const RecordFilter& filter, std::map<std::string, int64_t>* counts,
                     std::string* error) override;
  bool WriteEvents(const std::vector<UnitEvent>& events, std::string* error) override;
  bool ReadEvents(const RecordFilter& filter, const std::function<bool(const UnitEvent&)>& each,
                  std::string* error) override;
  // Through the database's function, which adds only the calling role's own station's
  // entries; reading needs SELECT on audit_trail.
  bool WriteAudit(const std::vector<AuditEntry>& entries, std::string* error) override;
  bool ReadAudit(const RecordFilter& filter, const std::function<bool(const AuditEntry&)>& each,
                 std::string* error) override;
  // Through the database's function, which a station role may execute without
  // reading the records (factorydb/FactorySchema.h).
  bool SerialPassed(const std::string& serial, bool* passed, std::string* error) override;
  // The server's notices, each as "factory database: WARNING: ...".
  void SetNoticeSink(std::function<void(const std::string&)> sink) override;

 private:
  bool Reach(PgLink::Deadline deadline, std::string* error);
  bool Failed(const char* what, std::string* error);
  // Calls `function` once per row of values in one transaction.
  bool Append(const std::string& function,
              const std::vector<std::vector<std::optional<std::string>>>& rows, std::string* error);
  // Reads `select` through a cursor, kFetchRows at a time, each row of `columns` values.
  bool Fetch(const std::string& select, const std::vector<std::string>& params, size_t columns,
             const std::function<bool(const std::vector<std::string>&)>& each, std::string* error);

  PgLink link_;
  bool open_ = false;
};
