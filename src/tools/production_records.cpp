// production-records: the station's production records on the command line (export as
// CSV or JSON lines, summary with the first-pass yield, the units' events, the
// stations' audit trail), from a station's own records or from the factory database. See
// RecordsTool.h. `reprint` prints a passed unit's label again from its record, and records that it
// did.
#include <iostream>
#include <string>
#include <vector>

#include "app/StationSetup.h"
#include "app/UnitLabels.h"
#include "base/StationSettings.h"
#include "job/Logcfg.h"
#include "platform/Network.h"
#include "platform/Paths.h"
#include "records/RecordText.h"
#include "records/RecordsTool.h"

namespace {

const char kReprintUsage[] =
    "usage: production-records [--dir DIR] reprint (--serial S | --mac MAC)\n"
    "                          [--template FILE]\n"
    "  The label of the last passed unit of that serial or address, made again from its\n"
    "  record with the job's label template (storedCfg.txt's, or FILE) and sent where\n"
    "  station.conf sends labels; the reprint is kept with the unit's events.\n"
    "  Exit status: 0 printed, 1 not found or not printed, 2 wrong command line.\n";

int Reprint(const std::vector<std::string>& args) {
  std::string dir, serial, mac, tpl;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    if (a == "reprint") continue;
    if ((a == "--dir" || a == "--serial" || a == "--mac" || a == "--template") &&
        i + 1 < args.size()) {
      (a == "--dir" ? dir : a == "--serial" ? serial : a == "--mac" ? mac : tpl) = args[++i];
      continue;
    }
    std::cerr << "production-records: reprint: unknown option '" << a << "'\n" << kReprintUsage;
    return 2;
  }
  if (serial.empty() == mac.empty()) {
    std::cerr << "production-records: reprint wants one of --serial and --mac\n" << kReprintUsage;
    return 2;
  }
  if (dir.empty()) dir = ExecutableDir();
  StationSettings settings;
  settings.Load(dir);
  if (settings.FailureCode() != 0) {
    for (const std::string& p : settings.Problems())
      std::cerr << "production-records: " << p << "\n";
    return 1;
  }
  if (tpl.empty()) {
    StoredConfig cfg(dir, "storedCfg.txt");
    cfg.Load();
    tpl = cfg.labelTemplate;
  }
  if (tpl.empty()) {
    std::cerr << "production-records: the job names no label template: give --template FILE\n";
    return 1;
  }
  std::string problem;
  std::unique_ptr<RecordStore> store = MakeStationRecordStore(settings, dir, &problem);
  if (!store) {
    std::cerr << "production-records: " << problem << "\n";
    return 1;
  }
  std::string error;
  if (!store->Open(true, &error)) {
    std::cerr << "production-records: " << store->Describe() << ": " << error << "\n";
    return 1;
  }
  RecordFilter filter;
  filter.serial = serial;
  filter.mac = mac;
  filter.verdict = kVerdictPassed;
  std::optional<UnitRecord> last;
  if (!store->Read(
          filter,
          [&](const UnitRecord& r) {
            last = r;
            return true;
          },
          &error)) {
    std::cerr << "production-records: " << error << "\n";
    return 1;
  }
  if (!last || last->mac.empty()) {
    std::cerr << "production-records: no passed unit with " << (serial.empty() ? mac : serial)
              << " and an address in " << store->Describe() << "\n";
    return 1;
  }
  LabelSettings labelSettings;
  if (!LabelSettingsFrom(settings, dir, tpl, &labelSettings, &error)) {
    std::cerr << "production-records: " << error << "\n";
    return 1;
  }
  std::unique_ptr<UnitLabels> labels = NewUnitLabels(labelSettings, SystemNetwork());
  if (!labels->Load(&error)) {
    std::cerr << "production-records: " << error << "\n";
    return 1;
  }
  const std::vector<UnitEvent> events = labels->Print(*last, kEventReprint);
  bool ok = !events.empty();
  for (const UnitEvent& e : events) {
    ok = ok && e.ok;
    std::cout << EventCsvLine(e) << "\n";
  }
  if (!store->WriteEvents(events, &error)) {
    std::cerr << "production-records: the reprint was not recorded: " << error << "\n";
    return 1;
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "reprint") return Reprint(args);
  }
  // Either store: the station's own database or the factory database.
  const int status =
      RunRecordsTool(args, std::cout, std::cerr, MakeStationRecordStore, ReplayOutcomes);
  std::cout.flush();
  return status;
}
