#pragma once
// The records command-line tool (production-records): exports a station's production
// records as CSV or JSON lines and sums them up, filtered by time, MAC address,
// station, verdict, cycle and serial, and lists the units' events (labels, check-outs)
// and the stations' audit trail (what each did with its job).
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "base/StationSettings.h"
#include "records/RecordStore.h"

// The store a station's settings name; *problem for a setting it could not follow.
using RecordStoreMaker = std::function<std::unique_ptr<RecordStore>(
    const StationSettings& settings, const std::string& dataDir, std::string* problem)>;

// Records the MAC outcomes waiting in dataDir's spool (the program passes one that
// knows the factory database); the number still waiting afterwards. Its messages go to
// *messages.
using OutcomeReplayer = std::function<size_t(const StationSettings& settings,
                                             const std::string& dataDir,
                                             std::vector<std::string>* messages)>;

// args without the program name. Exit status: 0 done, 1 the records could not be
// read, 2 bad command line.
// makeStore: how settings become a store (the program passes one that also knows the
// factory database; by default MakeRecordStore).
// replayOutcomes: how `replay` records the waiting MAC outcomes (none: not done).
int RunRecordsTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   const RecordStoreMaker& makeStore = {},
                   const OutcomeReplayer& replayOutcomes = {});
