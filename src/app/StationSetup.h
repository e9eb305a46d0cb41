#pragma once
// What station.conf (with the command line's overrides) sets up in a station: which
// MAC pool it takes addresses from and the name it is known by.
//
//   pool = file        storedMAC.txt in the data directory (the default)
//   pool = postgresql  the factory's pool in the database named by `database`
//
// A station configured for the factory pool never falls back to storedMAC.txt: a
// setting it cannot use leaves it with a pool that fails to load ("MAC initialize
// failed: -1"), and the reason goes to the message log. A station.conf that is there
// but not understood whole (StationSettings::FailureCode) sets up no job at all: its
// pool fails to load with that code, and the job set-up refuses any job.
#include <memory>
#include <string>
#include <vector>

#include "base/StationSettings.h"
#include "records/RecordStore.h"

class MainLogic;
class MacPool;

// Sets the pool of `logic` from the settings (MainLogic does, when it is made); the
// pool's problems go to the message log.
void ApplyStationSettings(MainLogic& logic, const StationSettings& settings,
                          const std::string& dataDir);

// A pool that never loads; each load puts "station.conf: <why>" in the message log
// and answers code (-1 unless given).
std::unique_ptr<MacPool> UnusablePool(const std::string& why, MainLogic& logic, int code = -1);
// The message-log text for settings that were not understood whole.
std::string NotUnderstoodText(const StationSettings& settings);
// The factory pool in the database `conninfo` (FactoryPool.cpp); a build without the
// factory database (FactoryPool_win.cpp) gives an unusable pool instead.
// Outcomes it cannot record are kept in dataDir's spool (records/Spool.h).
std::unique_ptr<MacPool> FactoryPool(const std::string& conninfo, const std::string& station,
                                     MainLogic& logic, const std::string& dataDir);

// The records store the settings choose: `records = postgresql` keeps them in the
// factory database named by `database`, beside the pool; anything else as
// MakeRecordStore (records/RecordsSetup.h). Null when records are off, or when the
// factory store cannot be used (then *problem says why).
std::unique_ptr<RecordStore> MakeStationRecordStore(const StationSettings& settings,
                                                    const std::string& dataDir,
                                                    std::string* problem);
// The factory database's records store (FactoryPool.cpp); null in a build without it.
std::unique_ptr<RecordStore> FactoryRecordStore(const std::string& conninfo, std::string* problem);

// Records the MAC outcomes waiting in dataDir's spool in the factory database that
// the settings name (FactoryPool.cpp); the number still waiting. What it did goes to
// *messages.
size_t ReplayOutcomes(const StationSettings& settings, const std::string& dataDir,
                      std::vector<std::string>* messages);
