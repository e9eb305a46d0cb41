#pragma once
// The records command-line tool (production-records): exports a station's production
// records as CSV or JSON lines and sums them up, filtered by time, MAC address,
// station and verdict.
#include <ostream>
#include <string>
#include <vector>

// args without the program name. Exit status: 0 done, 1 the records could not be
// read, 2 bad command line.
int RunRecordsTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
