// factory-db: the administrator's command for the factory database that the stations
// share: creates (or upgrades) the tables and the stations' functions, defines blocks
// of MAC addresses, grants a station's role the functions (and nothing else), repairs
// a stuck block and shows what was handed out.
//
// Exit status: 0 done, 1 the database refused or could not be reached, 2 bad usage.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/MacPool.h"
#include "base/StationSettings.h"
#include "factorydb/FactorySchema.h"
#include "factorydb/PgLink.h"

namespace {

constexpr int kBoundMs = 10000;

const char* const kStates[] = {"taken", "programmed", "failed", "unverified"};

const char kUsage[] =
    "usage: factory-db [--database CONNINFO | --database-file FILE] COMMAND [ARGS]\n"
    "       (without either: PT_DATABASE in the environment)\n"
    "  init                      create the MAC pool tables and functions, or upgrade\n"
    "                            them (the data is kept)\n"
    "  define-block NAME FIRST LAST\n"
    "                            a new block of addresses, FIRST and LAST as\n"
    "                            HH:HH:HH:HH:HH:HH with the same first three bytes\n"
    "  grant ROLE [STATION]      let a station's database role take and settle addresses\n"
    "                            and write records (through the functions only); with\n"
    "                            STATION the role acts only as that station\n"
    "  repair BLOCK              move a stuck block's next address past the address\n"
    "                            rows already recorded there\n"
    "  status                    every block: first, next, last, handed out, left;\n"
    "                            handed-out addresses per state\n"
    "  addresses [--station NAME] [--state taken|programmed|failed|unverified]\n"
    "                            the handed-out addresses as CSV\n"
    "CONNINFO is a libpq connection string, e.g. \"host=/run/postgresql dbname=factory\".\n";

std::string Hex24(uint32_t v) {
  char t[9];
  std::snprintf(t, sizeof t, "%02X:%02X:%02X", (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  return t;
}

std::string Csv(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string out = "\"";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

int Failed(const PgLink& link, const char* what) {
  std::fprintf(stderr, "factory-db: %s: %s\n", what, link.Error().c_str());
  return 1;
}

int Status(PgLink& link) {
  std::vector<factorydb::Block> blocks;
  if (factorydb::ListBlocks(link, &blocks, PgLink::In(kBoundMs)) != 0) {
    return Failed(link, "reading the blocks");
  }
  std::printf("permitted block of this build: %s ~ %s\n", Hex24(MacBlockFirst).c_str(),
              Hex24(MacBlockLast).c_str());
  for (const auto& b : blocks) {
    const std::string p = Hex24(b.prefix) + ":";
    std::printf("block %s first %s next %s last %s handed-out %u left %u\n", b.name.c_str(),
                (p + Hex24(b.first)).c_str(), (p + Hex24(b.next)).c_str(),
                (p + Hex24(b.last)).c_str(), b.next - b.first, b.last + 1 - b.next);
  }
  PgRows rows;
  if (link.Exec("SELECT s.state, (SELECT count(*) FROM mac_address a WHERE a.state = s.state) "
                "FROM unnest(ARRAY['taken', 'programmed', 'failed', 'unverified']) "
                "WITH ORDINALITY AS s (state, n) ORDER BY n",
                {}, &rows, PgLink::In(kBoundMs)) != 0) {
    return Failed(link, "counting the addresses");
  }
  for (const auto& r : rows.rows) std::printf("state %s %s\n", r[0].c_str(), r[1].c_str());
  return 0;
}

int Addresses(PgLink& link, const std::string& station, const std::string& state) {
  PgRows rows;
  const int rc = link.Exec(
      "SELECT mac, block, station, port, run_id, "
      "to_char(taken_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), state, "
      "coalesce(to_char(settled_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), '') "
      "FROM mac_address WHERE ($1 = '' OR station = $1) AND ($2 = '' OR state = $2) "
      "ORDER BY taken_at, mac",
      {station, state}, &rows, PgLink::In(kBoundMs));
  if (rc != 0) return Failed(link, "reading the addresses");
  std::printf("mac,block,station,port,run_id,taken_at,state,settled_at\n");
  for (const auto& r : rows.rows) {
    std::string line;
    for (size_t i = 0; i < r.size(); ++i) line += (i ? "," : "") + Csv(r[i]);
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

int Run(const std::vector<std::string>& args) {
  std::string database;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (args[i] == "--database-file" && i + 1 < args.size()) {
      std::string why;
      if (!StationSettings::ReadDatabaseFile(args[++i], &database, &why)) {
        std::fprintf(stderr, "factory-db: --database-file: %s\n", why.c_str());
        return 2;
      }
      continue;
    }
    if (args[i] == "--database" && i + 1 < args.size()) {
      database = args[++i];
    } else {
      rest.push_back(args[i]);
    }
  }
  std::string why;
  // The environment's connection string keeps it off the command line.
  if (database.empty() && std::getenv("PT_DATABASE")) database = std::getenv("PT_DATABASE");
  if (database.empty() || rest.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!PgLink::CheckConninfo(database, &why)) {
    std::fprintf(stderr, "factory-db: --database: %s\n", why.c_str());
    return 2;
  }
  const std::string command = rest[0];
  PgLink link(database, "factory-db", kBoundMs);
  link.SetNoticeSink([](const std::string& text) {
    std::fprintf(stderr, "factory database: %s\n", text.c_str());
  });
  auto connect = [&] { return link.Connect(PgLink::In(kBoundMs)) == 0; };

  if (command == "init" && rest.size() == 1) {
    if (!connect()) return Failed(link, "connecting");
    if (factorydb::CreateSchema(link, PgLink::In(kBoundMs)) != 0) {
      return Failed(link, "creating or upgrading the tables");
    }
    std::printf("MAC pool tables and functions ready (schema version %d)\n",
                factorydb::kSchemaVersion);
    return 0;
  }
  if (command == "define-block" && rest.size() == 4) {
    MacAddress first{}, last{};
    if (MacPool::ParseMac(rest[2].c_str(), rest[2].size(), &first) != 0 || rest[2].size() != 17 ||
        MacPool::ParseMac(rest[3].c_str(), rest[3].size(), &last) != 0 || rest[3].size() != 17) {
      std::fprintf(stderr, "factory-db: FIRST and LAST are HH:HH:HH:HH:HH:HH\n");
      return 2;
    }
    factorydb::Block b;
    b.name = rest[1];
    b.prefix = (uint32_t{first[0]} << 16) | (uint32_t{first[1]} << 8) | first[2];
    const uint32_t lastPrefix = (uint32_t{last[0]} << 16) | (uint32_t{last[1]} << 8) | last[2];
    b.first = Low24(first);
    b.last = Low24(last);
    if (lastPrefix != b.prefix || b.first > b.last) {
      std::fprintf(stderr,
                   "factory-db: FIRST and LAST need the same first three bytes and FIRST <= "
                   "LAST\n");
      return 2;
    }
    why = factorydb::BlockProblem(b);
    if (!why.empty()) {
      std::fprintf(stderr, "factory-db: block not defined: %s\n", why.c_str());
      return 2;
    }
    if (!connect()) return Failed(link, "connecting");
    if (factorydb::DefineBlock(link, b, &why, PgLink::In(kBoundMs)) != 0) {
      std::fprintf(stderr, "factory-db: block %s not defined: %s\n", b.name.c_str(), why.c_str());
      return 1;
    }
    std::printf("block %s: %s ~ %s, %u addresses\n", b.name.c_str(), FormatMac(first).c_str(),
                FormatMac(last).c_str(), b.last - b.first + 1);
    if (b.first < MacBlockFirst || b.last > MacBlockLast) {
      std::printf("note: stations of this build take only from blocks inside %s ~ %s\n",
                  Hex24(MacBlockFirst).c_str(), Hex24(MacBlockLast).c_str());
    }
    return 0;
  }
  if (command == "grant" && (rest.size() == 2 || rest.size() == 3)) {
    const std::string station = rest.size() == 3 ? rest[2] : "";
    if (!factorydb::ValidRoleName(rest[1], &why) ||
        (rest.size() == 3 && !factorydb::ValidStationName(station))) {
      if (why.empty()) why = "a station name is 1 to 64 characters without control characters";
      std::fprintf(stderr, "factory-db: grant to %s refused: %s\n", rest[1].c_str(), why.c_str());
      return 2;
    }
    if (!connect()) return Failed(link, "connecting");
    if (factorydb::GrantStation(link, rest[1], station, &why, PgLink::In(kBoundMs)) != 0) {
      std::fprintf(stderr, "factory-db: grant to %s failed: %s\n", rest[1].c_str(), why.c_str());
      return 1;
    }
    if (station.empty()) {
      std::printf("role %s: a station role, shared (any station without a role of its own)\n",
                  rest[1].c_str());
    } else {
      std::printf("role %s: the role of station %s\n", rest[1].c_str(), station.c_str());
    }
    return 0;
  }
  if (command == "repair" && rest.size() == 2) {
    if (!connect()) return Failed(link, "connecting");
    factorydb::Repair r;
    if (factorydb::RepairBlock(link, rest[1], &r, PgLink::In(kBoundMs)) != 0) {
      return Failed(link, "repairing the block");
    }
    if (r.newNext == r.oldNext) {
      std::printf("block %s: next address not stuck, nothing changed\n", rest[1].c_str());
    } else {
      std::printf(
          "block %s: next address moved from %s past %u address rows already recorded "
          "to %s (recorded in mac_block_repair)\n",
          rest[1].c_str(), Hex24(r.oldNext).c_str(), r.newNext - r.oldNext,
          Hex24(r.newNext).c_str());
    }
    if (r.ahead > 0) {
      std::printf(
          "note: %lld address rows are recorded further on in the block; the stations "
          "stop at the first of them (repair again then)\n",
          r.ahead);
    }
    return 0;
  }
  if (command == "status" && rest.size() == 1) {
    if (!connect()) return Failed(link, "connecting");
    return Status(link);
  }
  if (command == "addresses") {
    std::string station, state;
    for (size_t i = 1; i < rest.size(); i += 2) {
      if (i + 1 >= rest.size()) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      if (rest[i] == "--station") {
        station = rest[i + 1];
      } else if (rest[i] == "--state") {
        state = rest[i + 1];
        bool known = false;
        for (const char* k : kStates) known = known || state == k;
        if (!known) {
          std::fprintf(stderr,
                       "factory-db: --state %s: a state is taken, programmed, failed or "
                       "unverified\n",
                       state.c_str());
          return 2;
        }
      } else {
        std::fputs(kUsage, stderr);
        return 2;
      }
    }
    if (!connect()) return Failed(link, "connecting");
    return Addresses(link, station, state);
  }
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  return Run(std::vector<std::string>(argv + 1, argv + argc));
}
