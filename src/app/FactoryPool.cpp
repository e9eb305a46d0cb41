// The factory pool and records store on Linux: PostgreSQL through libpq.
#include "app/MainLogic.h"
#include "app/StationSetup.h"
#include "factorydb/PgMacPool.h"
#include "factorydb/PgRecordStore.h"
#include "platform/Paths.h"
#include "records/Spool.h"

std::unique_ptr<MacPool> FactoryPool(const std::string& conninfo, const std::string& station,
                                     MainLogic& logic, const std::string& dataDir) {
  auto pool = std::make_unique<PgMacPool>(conninfo, station);
  pool->SetMessageSink([&logic](const std::string& text) { logic.AppendMessage(text); });
  pool->SetSpoolFile(JoinPath(dataDir, kOutcomesSpoolName));
  return pool;
}

std::unique_ptr<RecordStore> FactoryRecordStore(const std::string& conninfo, std::string*) {
  return std::make_unique<PgRecordStore>(conninfo);
}
