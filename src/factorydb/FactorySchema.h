#pragma once
// The factory database's MAC tables and the administrator's operations on them.
//
//   mac_block    one row per block of addresses: name, prefix (the first three bytes
//                as one 24-bit number), first_low, last_low and next_low (the last
//                three bytes as 24-bit numbers; next_low = last_low + 1 when used up)
//   mac_address  one row per address ever handed out: mac ("02:5C:3A:04:22:D1",
//                the primary key, so no address is taken twice), block, station,
//                port, run_id, taken_at, state (taken, programmed, failed,
//                unverified), settled_at
//   units        the production records of every station (factorydb/PgRecordStore.h)
//   pt_station_role  the station roles: role, station (NULL for a role shared by
//                stations: it acts as any station not bound to a role of its own)
//   unit_events  what was done for a unit after its verdict (a label printed, a
//                check-out sent), one row each, only ever added (a guard refuses
//                UPDATE, DELETE and TRUNCATE even to the administrator)
//   audit_trail  what each station did with its job (packages loaded and verified,
//                mode changes, failed passwords, changes of the job), one row each,
//                only ever added (guarded like unit_events)
//   mac_block_repair every repair of a stuck block
//   pt_schema    the schema's version
//
// Guards in the database itself: a block's next address never moves back and its
// first address and prefix never change; an address row is never deleted, and its
// state moves only from taken to programmed, failed or unverified.
//
// A station role holds no privilege on any table. It calls functions the
// administrator's schema owns (SECURITY DEFINER, fixed search path): pt_block_for,
// pt_take, pt_settle, pt_write_unit, pt_write_event, pt_write_audit, pt_serial_passed and
// pt_schema_version. They check every argument,
// and that the calling role may act as the station it names. The pt_write_unit of
// older stations (without the columns added since) stay and write through today's,
// the added columns NULL or their default (cycle 0: such a station runs batches only).
#include <cstdint>
#include <string>
#include <vector>

#include "factorydb/PgLink.h"

namespace factorydb {

// 3: the production records' cycle, and their key (station, run_id, port, cycle).
// 4: the records' serial, rework, check_in and check_out; the table unit_events.
// 5: the records' job_name, job_version and job_digest; the table audit_trail. A
// station of version 4 keeps writing (its pt_write_unit stays, the package NULL).
constexpr int kSchemaVersion = 5;

// Creates the tables, functions and guards (the tables and their rows kept when
// present), upgrading an older schema: its station roles lose their table privileges
// and get the functions. Refused for a schema newer than this program's. 0 or an error
// number.
int CreateSchema(PgLink& link, PgLink::Deadline deadline);
// Lets a station's database role take and settle addresses and write records, through
// the functions only (its table privileges are revoked). With a station name the role
// acts only as that station, and that station only through this role. 0, EINVAL (a
// reserved or invalid name, *why set) or an error number.
int GrantStation(PgLink& link, const std::string& role, const std::string& station,
                 std::string* why, PgLink::Deadline deadline);
bool ValidRoleName(const std::string& role, std::string* why);
// A station's or a block's name: 1 to 64 characters, no control characters.
bool ValidStationName(const std::string& name);

// A stuck block (an address row already recorded at its next address): its next
// address moved past the rows already there, recorded in mac_block_repair.
struct Repair {
  uint32_t oldNext = 0, newNext = 0;
  long long ahead = 0;  // address rows recorded further on in the block
};
int RepairBlock(PgLink& link, const std::string& name, Repair* repair, PgLink::Deadline deadline);

struct Block {
  std::string name;
  uint32_t prefix = 0;                     // the first three bytes
  uint32_t first = 0, last = 0, next = 0;  // the last three bytes
};

// Why a block cannot be defined ("" when it can): an empty name, a group (multicast,
// broadcast) or all-zero address, the ports' temporary addresses 02:5C:3A:FF:FF:xx.
std::string BlockProblem(const Block& block);
// Defines a new block; refused (EINVAL for BlockProblem, EEXIST when the name is taken
// or the range overlaps another block of the same prefix; *why set). 0 or an error
// number.
int DefineBlock(PgLink& link, const Block& block, std::string* why, PgLink::Deadline deadline);
int ListBlocks(PgLink& link, std::vector<Block>* blocks, PgLink::Deadline deadline);

}  // namespace factorydb
