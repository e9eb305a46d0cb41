#include "records/RecordsSetup.h"

#include "platform/Host.h"
#include "platform/Paths.h"
#include "records/SqliteRecordStore.h"

std::string RecordsFilePath(const StationSettings& settings, const std::string& dataDir) {
  const std::string file = settings.Get("records-file");
  if (file.empty()) return JoinPath(dataDir, "records.db");
  if (file.front() == '/') return file;
  return JoinPath(dataDir, file);
}

std::unique_ptr<RecordStore> MakeRecordStore(const StationSettings& settings,
                                             const std::string& dataDir, std::string* problem) {
  const std::string kind = settings.Get("records", "sqlite");
  if (kind == "off") return nullptr;
  if (kind != "sqlite") {
    *problem = "station.conf: records = " + kind +
               " is not known here; the records go to the embedded database";
  }
  // A build without the embedded store keeps no records (and has nothing to keep in
  // the spool for a store it can never open); it says so and produces as usual.
  if (!SqliteRecordStore::InThisBuild(problem)) return nullptr;
  return std::make_unique<SqliteRecordStore>(RecordsFilePath(settings, dataDir));
}

std::string StationNameOf(const StationSettings& settings) {
  std::string name = settings.Get("station-name");
  if (name.empty()) name = HostName();
  if (name.empty()) name = "station";
  return name;
}
