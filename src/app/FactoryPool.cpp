// The factory pool and records store on Linux: PostgreSQL through libpq.
#include "app/MainLogic.h"
#include "app/StationSetup.h"
#include "factorydb/PgMacPool.h"
#include "factorydb/PgRecordStore.h"
#include "platform/Paths.h"
#include "records/RecordsSetup.h"
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

size_t ReplayOutcomes(const StationSettings& settings, const std::string& dataDir,
                      std::vector<std::string>* messages) {
  const std::string spool = JoinPath(dataDir, kOutcomesSpoolName);
  if (NothingAt(spool)) return 0;
  PgMacPool pool(settings.Get("database"), StationNameOf(settings));
  pool.SetMessageSink([messages](const std::string& text) { messages->push_back(text); });
  pool.SetSpoolFile(spool);
  if (pool.WaitingOutcomes() == 0) return 0;
  pool.FinishRun();
  pool.Close();  // one more try; what is left stays in the spool
  return pool.WaitingOutcomes();
}
