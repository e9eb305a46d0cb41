#pragma once
// The workstation itself, for the production records: its name, the wall-clock time
// and the local calendar day, and where a port's link points.
#include <cstdint>
#include <string>

// The host name ("" when the system gives none).
std::string HostName();
// The name of the user the program runs as (its effective user; "" when unknown).
std::string UserName();
// Milliseconds since 1970-01-01 00:00 UTC.
int64_t WallClockMs();
// The start of the local calendar day that holds ms (local midnight), in the same unit.
int64_t LocalDayStartMs(int64_t ms);
// The target of a symbolic link as stored in the link, or "" when path is no link.
std::string LinkTarget(const std::string& path);
