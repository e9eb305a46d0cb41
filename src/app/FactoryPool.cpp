// The factory pool on Linux: PostgreSQL through libpq.
#include "app/MainLogic.h"
#include "app/StationSetup.h"
#include "factorydb/PgMacPool.h"

std::unique_ptr<MacPool> FactoryPool(const std::string& conninfo, const std::string& station,
                                     MainLogic& logic) {
  auto pool = std::make_unique<PgMacPool>(conninfo, station);
  pool->SetMessageSink([&logic](const std::string& text) { logic.AppendMessage(text); });
  return pool;
}
