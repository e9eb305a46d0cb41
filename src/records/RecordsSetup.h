#pragma once
// Which records store a station uses, from its settings (station.conf):
//   records = sqlite | off        (default sqlite)
//   records-file = PATH           (default records.db in the data directory; a relative
//                                  path is taken from the data directory)
//   station-name = NAME           (default the host name)
#include <memory>
#include <string>

#include "base/StationSettings.h"
#include "records/RecordStore.h"

// The store the settings choose; null when records are off. A value the station does
// not know is reported in *problem and the embedded store is used.
std::unique_ptr<RecordStore> MakeRecordStore(const StationSettings& settings,
                                             const std::string& dataDir, std::string* problem);
// The SQLite database file the settings name.
std::string RecordsFilePath(const StationSettings& settings, const std::string& dataDir);
// The station's name in its records.
std::string StationNameOf(const StationSettings& settings);
