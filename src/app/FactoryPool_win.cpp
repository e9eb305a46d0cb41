// The Windows build has no client library for the factory database: a station there
// set to the factory pool says so at job set-up and takes no address.
#include "app/MainLogic.h"
#include "app/StationSetup.h"

std::unique_ptr<MacPool> FactoryPool(const std::string&, const std::string&, MainLogic& logic,
                                     const std::string&) {
  return UnusablePool("pool postgresql is not part of this build (Windows: file pool only)", logic);
}

std::unique_ptr<RecordStore> FactoryRecordStore(const std::string&, std::string* problem) {
  *problem = "station.conf: records postgresql is not part of this build; no records are kept";
  return nullptr;
}

size_t ReplayOutcomes(const StationSettings&, const std::string&, std::vector<std::string>*) {
  return 0;  // no factory pool, so no outcomes wait
}
