#include "records/RecordsTool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

#include "base/LineText.h"
#include "base/MacPool.h"
#include "base/StationSettings.h"
#include "platform/Paths.h"
#include "records/RecordText.h"
#include "records/RecordsSetup.h"
#include "records/Spool.h"
#include "records/SqliteRecordStore.h"

namespace {

constexpr int kDone = 0;
constexpr int kCannotRead = 1;
constexpr int kBadUsage = 2;

const char kUsage[] =
    "usage: production-records [--dir DIR | --db FILE | --database CONNINFO] export\n"
    "                          [--csv | --json] [FILTERS]\n"
    "       production-records [--dir DIR | --db FILE | --database CONNINFO] summary\n"
    "                          [FILTERS]\n"
    "       production-records [--dir DIR | --db FILE | --database CONNINFO] events\n"
    "                          [--csv | --json] [FILTERS]\n"
    "       production-records [--dir DIR | --db FILE | --database CONNINFO] audit\n"
    "                          [--csv | --json] [--station S] [--from TIME] [--to TIME]\n"
    "       production-records [--dir DIR] replay\n"
    "\n"
    "  --dir DIR        the station's data directory (its station.conf names the records;\n"
    "                   default: the directory of this program)\n"
    "  --db FILE        the records database itself\n"
    "  --database CONNINFO  the factory database (PostgreSQL) with every station's records\n"
    "  --database-file FILE  the same, the connection string in FILE's first line\n"
    "                   (PT_DATABASE in the environment when no store is named)\n"
    "  export           one record per line: CSV with a header line (--csv, the default)\n"
    "                   or one JSON object per line (--json), oldest first\n"
    "  summary          counts per verdict, the first-pass yield (passed of passed and\n"
    "                   failed) and the failed units per failure text, most frequent first\n"
    "  events           what was done for units after their verdicts (labels printed\n"
    "                   or reprinted, check-outs), one per line as export writes them,\n"
    "                   oldest first; of the filters only --from, --to (when it was\n"
    "                   done), --mac, --station and --serial apply\n"
    "  audit            what the stations did with their jobs (jobs loaded, packages\n"
    "                   verified, modes changed, passwords refused, changes of the job),\n"
    "                   oldest first, one line each: time (UTC), station, user, kind,\n"
    "                   ok or refused, the package (name, version, digest's first 12\n"
    "                   digits) and what happened; --csv or --json as events writes\n"
    "                   them; of the filters only --station, --from and --to (when it\n"
    "                   was done) apply\n"
    "  replay           writes what the station kept in its data directory's spools\n"
    "                   (records and MAC outcomes it could not write) where its\n"
    "                   station.conf says; exit status 1 while any still wait\n"
    "FILTERS\n"
    "  --from TIME      records started at or after TIME\n"
    "  --to TIME        records started before TIME\n"
    "                   TIME: YYYY-MM-DD[THH:MM[:SS]], local time; a final Z means UTC\n"
    "  --mac MAC        the unit that was given this address (HH:HH:HH:HH:HH:HH)\n"
    "  --station NAME   one station's records\n"
    "  --verdict V      passed, failed, stopped, unfinished or temporary-mac (every\n"
    "                   step done, the unit left with its temporary MAC address)\n"
    "  --cycle N        0: the records of batch runs; N: every slot's Nth unit of a\n"
    "                   continuous run\n"
    "  --serial S       the unit of this serial number (exactly)\n"
    "Exit status: 0 done, 1 the records could not be read, 2 bad command line.\n";

struct Options {
  std::string dir;
  std::string db;
  std::string database;
  std::string command;
  bool json = false;
  bool csv = false;  // asked for by name (audit writes readable lines otherwise)
  RecordFilter filter;
};

bool Parse(const std::vector<std::string>& args, Options* o, std::string* error) {
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *v = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o->command = "help";
      return true;
    } else if (a == "--dir") {
      if (!value(&o->dir)) return false;
    } else if (a == "--db") {
      if (!value(&o->db)) return false;
    } else if (a == "--database") {
      if (!value(&o->database)) return false;
    } else if (a == "--database-file") {
      if (!value(&v) || !StationSettings::ReadDatabaseFile(v, &o->database, error)) return false;
    } else if (a == "--csv") {
      o->json = false;
      o->csv = true;
    } else if (a == "--json") {
      o->json = true;
      o->csv = false;
    } else if (a == "--from" || a == "--to") {
      if (!value(&v)) return false;
      int64_t ms = 0;
      if (!ParseTimeArg(v, &ms)) {
        *error = a + " wants YYYY-MM-DD[THH:MM[:SS]][Z] (a date that exists), not '" + v + "'";
        return false;
      }
      (a == "--from" ? o->filter.fromMs : o->filter.toMs) = ms;
    } else if (a == "--mac") {
      if (!value(&v)) return false;
      MacAddress mac{};
      if (v.size() != 17 || MacPool::ParseMac(v.c_str(), v.size(), &mac) != 0) {
        *error = "--mac wants HH:HH:HH:HH:HH:HH, not '" + v + "'";
        return false;
      }
      o->filter.mac = FormatMac(mac);
    } else if (a == "--station") {
      if (!value(&o->filter.station)) return false;
    } else if (a == "--verdict") {
      if (!value(&v)) return false;
      if (v != kVerdictPassed && v != kVerdictFailed && v != kVerdictStopped &&
          v != kVerdictUnfinished && v != kVerdictTemporaryMac) {
        *error =
            "--verdict wants passed, failed, stopped, unfinished or temporary-mac, not '" + v + "'";
        return false;
      }
      o->filter.verdict = v;
    } else if (a == "--cycle") {
      if (!value(&v)) return false;
      const bool digits =
          !v.empty() && v.size() <= 9 &&
          std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
      if (!digits) {
        *error = "--cycle wants a number from 0, not '" + v + "'";
        return false;
      }
      o->filter.cycle = std::stoi(v);
    } else if (a == "--serial") {
      if (!value(&o->filter.serial)) return false;
      if (o->filter.serial.empty()) {
        *error = "--serial wants the unit's serial number";
        return false;
      }
    } else if ((a == "export" || a == "summary" || a == "events" || a == "audit" ||
                a == "replay") &&
               o->command.empty()) {
      o->command = a;
    } else {
      *error = "unknown argument '" + a + "'";
      return false;
    }
  }
  // The environment's connection string keeps it off the command line.
  const char* env = std::getenv("PT_DATABASE");
  if (o->dir.empty() && o->db.empty() && o->database.empty() && env && *env &&
      o->command != "replay") {
    o->database = env;
  }
  if (o->command.empty()) *error = "give a command: export, summary, events, audit or replay";
  if (o->command == "replay" && (!o->db.empty() || !o->database.empty())) {
    *error = "replay reads a station's data directory: give --dir DIR";
  }
  if (!o->dir.empty() + !o->db.empty() + !o->database.empty() > 1) {
    *error = "give one of --dir DIR, --db FILE and --database CONNINFO";
  }
  return error->empty();
}

std::unique_ptr<RecordStore> StoreOf(const Options& o, const RecordStoreMaker& make,
                                     std::string* error) {
  if (!o.db.empty()) return std::make_unique<SqliteRecordStore>(o.db);
  if (!o.database.empty()) {
    StationSettings factory;
    factory.Set("records", "postgresql");
    factory.Set("database", o.database);
    std::string problem;
    auto store = make ? make(factory, "", &problem) : nullptr;
    if (!store || !problem.empty()) {
      *error = problem.empty() ? "this program cannot read the factory database" : problem;
      return nullptr;
    }
    return store;
  }
  const std::string dir = o.dir.empty() ? ExecutableDir() : o.dir;
  StationSettings settings;
  settings.Load(dir);
  if (settings.FailureCode() != 0) {
    // A file not understood whole may name other records than the station's.
    *error = "station.conf not used: ";
    for (size_t i = 0; i < settings.Problems().size(); i++) {
      *error += (i ? "; " : "") + settings.Problems()[i];
    }
    if (settings.Problems().empty()) *error += "cannot read station.conf";
    return nullptr;
  }
  std::string problem;
  auto store = make ? make(settings, dir, &problem) : MakeRecordStore(settings, dir, &problem);
  if (!store && !problem.empty()) {
    *error = problem;
    return nullptr;
  }
  if (!store) *error = "the station in " + dir + " keeps no records (records = off)";
  return store;
}

int Export(RecordStore& store, const Options& o, std::ostream& out, std::ostream& err) {
  if (!o.json) out << CsvHeader() << "\r\n";
  std::string error;
  const bool ok = store.Read(
      o.filter,
      [&](const UnitRecord& r) {
        if (o.json) {
          out << JsonLine(r) << "\n";
        } else {
          out << CsvLine(r) << "\r\n";
        }
        return static_cast<bool>(out);
      },
      &error);
  if (!ok) {
    err << "production-records: " << error << "\n";
    return kCannotRead;
  }
  return kDone;
}

int Events(RecordStore& store, const Options& o, std::ostream& out, std::ostream& err) {
  if (!o.json) out << EventCsvHeader() << "\r\n";
  std::string error;
  const bool ok = store.ReadEvents(
      o.filter,
      [&](const UnitEvent& e) {
        if (o.json) {
          out << EventJsonLine(e) << "\n";
        } else {
          out << EventCsvLine(e) << "\r\n";
        }
        return static_cast<bool>(out);
      },
      &error);
  if (!ok) {
    err << "production-records: " << error << "\n";
    return kCannotRead;
  }
  return kDone;
}

int Audit(RecordStore& store, const Options& o, std::ostream& out, std::ostream& err) {
  if (o.csv) out << AuditCsvHeader() << "\r\n";
  std::string error;
  const bool ok = store.ReadAudit(
      o.filter,
      [&](const AuditEntry& a) {
        if (o.json) {
          out << AuditJsonLine(a) << "\n";
        } else if (o.csv) {
          out << AuditCsvLine(a) << "\r\n";
        } else {
          out << AuditText(a) << "\n";
        }
        return static_cast<bool>(out);
      },
      &error);
  if (!ok) {
    err << "production-records: " << error << "\n";
    return kCannotRead;
  }
  return kDone;
}

int Summary(RecordStore& store, const Options& o, std::ostream& out, std::ostream& err) {
  std::map<std::string, int64_t> verdicts;
  std::map<std::string, int64_t> failures;
  int64_t total = 0;
  std::string error;
  const bool ok = store.Read(
      o.filter,
      [&](const UnitRecord& r) {
        total++;
        verdicts[r.verdict]++;
        if (r.verdict == kVerdictFailed) {
          const std::string text = WithoutPortName(r.lastStatus);
          failures[text.empty() ? "(no status text)" : EscapeLineText(text)]++;
        }
        return true;
      },
      &error);
  if (!ok) {
    err << "production-records: " << error << "\n";
    return kCannotRead;
  }
  out << "records: " << total << "\n";
  for (const char* v : {kVerdictPassed, kVerdictFailed, kVerdictStopped, kVerdictUnfinished}) {
    out << v << ": " << verdicts[v] << "\n";
  }
  // Shown once there are any: units that left with the temporary address.
  if (verdicts[kVerdictTemporaryMac] > 0) {
    out << kVerdictTemporaryMac << ": " << verdicts[kVerdictTemporaryMac] << "\n";
  }
  const int64_t passed = verdicts[kVerdictPassed];
  const int64_t judged = passed + verdicts[kVerdictFailed];
  if (judged == 0) {
    out << "first-pass yield: - (no unit passed or failed)\n";
  } else {
    char pct[32];
    std::snprintf(pct, sizeof pct, "%.2f%%", 100.0 * static_cast<double>(passed) / judged);
    out << "first-pass yield: " << pct << " (" << passed << " passed of " << judged
        << " passed or failed)\n";
  }
  std::vector<std::pair<std::string, int64_t>> sorted(failures.begin(), failures.end());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  out << "failures:" << (sorted.empty() ? " none" : "") << "\n";
  for (const auto& [text, count] : sorted) out << "  " << count << "  " << text << "\n";
  return kDone;
}

// Writes the data directory's spools where station.conf says.
int Replay(const Options& o, const RecordStoreMaker& make, const OutcomeReplayer& outcomes,
           std::ostream& out, std::ostream& err) {
  const std::string dir = o.dir.empty() ? ExecutableDir() : o.dir;
  StationSettings settings;
  settings.Load(dir);
  if (settings.FailureCode() != 0) {
    err << "production-records: station.conf not used: "
        << (settings.Problems().empty() ? "" : settings.Problems()[0]) << "\n";
    return kCannotRead;
  }
  int status = kDone;
  const std::string spool = JoinPath(dir, kRecordsSpoolName);
  std::vector<SpoolFields> entries;
  const int e = ReadSpool(spool, &entries);
  std::vector<UnitRecord> records;
  std::vector<UnitEvent> events;
  std::vector<AuditEntry> audits;
  std::vector<SpoolFields> unused;  // lines this program cannot use stay in the spool
  for (const SpoolFields& f : entries) {
    UnitRecord r;
    UnitEvent ev;
    AuditEntry au;
    if (IsAuditFields(f)) {
      if (AuditFromFields(f, &au)) {
        audits.push_back(std::move(au));
      } else {
        unused.push_back(f);
      }
    } else if (IsEventFields(f)) {
      if (EventFromFields(f, &ev)) {
        events.push_back(std::move(ev));
      } else {
        unused.push_back(f);
      }
    } else if (RecordFromFields(f, &r)) {
      records.push_back(std::move(r));
    } else {
      unused.push_back(f);
    }
  }
  if (e != 0) {
    err << "production-records: " << spool << " cannot be read (error " << e << ")\n";
    status = kCannotRead;
  } else if (!records.empty() || !events.empty() || !audits.empty()) {
    std::string problem;
    auto store = make ? make(settings, dir, &problem) : MakeRecordStore(settings, dir, &problem);
    std::string error = store ? "" : (problem.empty() ? "records are off" : problem);
    if (store) store->SetNoticeSink([&err](const std::string& text) { err << text << "\n"; });
    // The records first, then the events, then the audit entries; what fails after
    // the records stays in the spool alone.
    int written = 0;  // 1 the records, 2 the events too, 3 all
    if (store && store->Open(true, &error) && store->Write(records, &error)) {
      written = 1;
      if (store->WriteEvents(events, &error)) written = 2;
      if (written == 2 && store->WriteAudit(audits, &error)) written = 3;
    }
    if (written < 3) store.reset();
    auto countsOf = [](size_t r, size_t ev, size_t au) {
      std::string text;
      if (r > 0 || (ev == 0 && au == 0)) text = std::to_string(r) + " record(s)";
      if (ev > 0) text += (text.empty() ? "" : " and ") + std::to_string(ev) + " unit event(s)";
      if (au > 0) text += (text.empty() ? "" : " and ") + std::to_string(au) + " audit entr(ies)";
      return text;
    };
    const std::string counts = countsOf(records.size(), events.size(), audits.size());
    if (!store) {
      std::vector<SpoolFields> left = unused;
      if (written >= 1) {
        if (written < 2) {
          for (const UnitEvent& ev : events) left.push_back(EventFields(ev));
        }
        for (const AuditEntry& au : audits) left.push_back(AuditFields(au));
        WriteSpool(spool, left);
      }
      err << "production-records: " << error << "; "
          << (written >= 1 ? countsOf(0, written < 2 ? events.size() : 0, audits.size()) : counts)
          << " still waiting in " << spool << "\n";
      status = kCannotRead;
    } else if (const int w = WriteSpool(spool, unused); w != 0) {
      err << "production-records: " << counts << " written, but " << spool
          << " could not be emptied (error " << w << ")\n";
      status = kCannotRead;
    } else {
      out << counts << " written to " << store->Describe() << "\n";
    }
    if (!unused.empty()) {
      err << "production-records: " << unused.size() << " line(s) of " << spool
          << " cannot be used by this program; they are left there\n";
      status = kCannotRead;
    }
  } else {
    out << "0 record(s) waiting\n";
  }
  if (outcomes) {
    std::vector<std::string> messages;
    const size_t left = outcomes(settings, dir, &messages);
    for (const std::string& m : messages) out << m << "\n";
    if (left > 0) {
      err << "production-records: " << left << " MAC outcome(s) still waiting in "
          << JoinPath(dir, kOutcomesSpoolName) << "\n";
      status = kCannotRead;
    }
  }
  return status;
}

}  // namespace

int RunRecordsTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   const RecordStoreMaker& makeStore, const OutcomeReplayer& replayOutcomes) {
  Options o;
  std::string error;
  if (!Parse(args, &o, &error)) {
    err << "production-records: " << error << "\n(production-records --help shows the options)\n";
    return kBadUsage;
  }
  if (o.command == "help") {
    out << kUsage;
    return kDone;
  }
  if (o.command == "replay") return Replay(o, makeStore, replayOutcomes, out, err);
  auto store = StoreOf(o, makeStore, &error);
  if (!store) {
    err << "production-records: " << error << "\n";
    return kCannotRead;
  }
  store->SetNoticeSink([&err](const std::string& text) { err << text << "\n"; });
  if (!store->Open(false, &error)) {
    err << "production-records: " << error << "\n";
    return kCannotRead;
  }
  if (o.command == "events") return Events(*store, o, out, err);
  if (o.command == "audit") return Audit(*store, o, out, err);
  return o.command == "export" ? Export(*store, o, out, err) : Summary(*store, o, out, err);
}
