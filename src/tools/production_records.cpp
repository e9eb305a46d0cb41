// production-records: the station's production records on the command line (export as
// CSV or JSON lines, summary with the first-pass yield). See RecordsTool.h.
#include <iostream>
#include <string>
#include <vector>

#include "records/RecordsTool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = RunRecordsTool(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
