#pragma once
// The factory database's MAC tables and the administrator's operations on them.
//
//   mac_block    one row per block of addresses: name, prefix (the first three bytes
//                as one 24-bit number), first_low, last_low and next_low (the last
//                three bytes as 24-bit numbers; next_low = last_low + 1 when used up)
//   mac_address  one row per address ever handed out: mac ("02:5C:3A:04:22:D1",
//                the primary key, so no address is taken twice), block, station,
//                port, run_id, taken_at, state (taken, programmed, failed), settled_at
//
//   units        the production records of every station (factorydb/PgRecordStore.h)
//
// Guards in the database itself: a block's next address never moves back and its
// first address and prefix never change; an address row is never deleted, and its
// state moves only from taken to programmed or failed.
#include <cstdint>
#include <string>
#include <vector>

#include "factorydb/PgLink.h"

namespace factorydb {

constexpr int kSchemaVersion = 1;

// Creates the tables, functions and guards (kept as they are when present): 0 or an
// error number.
int CreateSchema(PgLink& link, PgLink::Deadline deadline);
// Gives a station's database role what a station needs: reading the blocks, taking
// addresses and settling them, writing its records. 0 or an error number.
int GrantStation(PgLink& link, const std::string& role, PgLink::Deadline deadline);

struct Block {
  std::string name;
  uint32_t prefix = 0;                     // the first three bytes
  uint32_t first = 0, last = 0, next = 0;  // the last three bytes
};

// Defines a new block; refused (EEXIST, *why set) when the name is taken or the range
// overlaps another block of the same prefix. 0 or an error number.
int DefineBlock(PgLink& link, const Block& block, std::string* why, PgLink::Deadline deadline);
int ListBlocks(PgLink& link, std::vector<Block>* blocks, PgLink::Deadline deadline);

}  // namespace factorydb
