// production-records: the station's production records on the command line (export as
// CSV or JSON lines, summary with the first-pass yield), from a station's own records
// or from the factory database. See RecordsTool.h.
#include <iostream>
#include <string>
#include <vector>

#include "app/StationSetup.h"
#include "records/RecordsTool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  // Either store: the station's own database or the factory database.
  const int status = RunRecordsTool(args, std::cout, std::cerr, MakeStationRecordStore, ReplayOutcomes);
  std::cout.flush();
  return status;
}
