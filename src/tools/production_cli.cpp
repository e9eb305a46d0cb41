// production-cli: the production station without a window. It sets up the job from
// its options as the job dialog would (opened and confirmed with OK), presses Start
// and runs until the dispatcher ends, printing every board call as one line.
//
// Exit status: 0 every detected port reached the job's final stage; 1 a port failed
// or did not finish; 2 set-up or Start was refused, or the dispatcher could not create
// its log file.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/Headless.h"
#include "app/HeadlessJobDialog.h"
#include "app/MainLogic.h"
#include "app/Service.h"
#include "base/StationSettings.h"
#include "job/Logcfg.h"
#include "job/Logmac.h"
#include "job/SelectFilesLogic.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Network.h"
#include "platform/Paths.h"
#include "platform/SerialPort.h"
#include "platform/TerminationSignals.h"

namespace {

const char kUsage[] =
    "usage: production-cli [--dir DIR] [--eeprom FILE | --no-eeprom]\n"
    "                      [--firmware FILE | --no-firmware] [--no-loopback]\n"
    "                      [--fast-download | --no-fast-download]\n"
    "                      [--continuous | --no-continuous] [--units N]\n"
    "                      [--scan-serial | --no-scan-serial] [--serial-pattern P]\n"
    "                      [--label-template FILE]\n"
    "                      [--program-mac] [--assign-mac HH:HH:HH]\n"
    "                      [--baud 115200|57600|38400] [--log DIR | --no-log]\n"
    "                      [--station-name NAME] [--records FILE | --no-records]\n"
    "                      [--pool file|postgresql] [--database CONNINFO | --database-file FILE]\n"
    "                      [--serial [COMn=]SERIAL ...] [--rework]\n"
    "                      [--package FILE] [--engineer-password-file FILE]\n"
    "                      [--serve ADDR:PORT [--start]] [--read-token-file FILE\n"
    "                       --control-token-file FILE]\n"
    "\n"
    "Sets up the job as the job dialog does when confirmed with OK (each option\n"
    "changes the matching control first), presses Start and runs until the run ends.\n"
    "  --dir DIR        data directory with storedCfg.txt, storedMAC.txt and ports/\n"
    "                   (default: the directory of this program)\n"
    "  --eeprom FILE    download this EEPROM image (.vef); --no-eeprom: none\n"
    "  --firmware FILE  download this firmware image (.vff); --no-firmware: none\n"
    "  --fast-download  send each image block as soon as the device has answered the\n"
    "                   last one, instead of pausing 200 ms after every block (falls\n"
    "                   back to the pause when the device refuses a block);\n"
    "                   --no-fast-download: the pause (kept in storedCfg.txt)\n"
    "  --continuous     continuous production: every port runs the job once per unit\n"
    "                   inserted, on its own, until stopped; --no-continuous: one run\n"
    "                   of all ports at once (kept in storedCfg.txt)\n"
    "  --units N        with continuous production, end (a confirmed Stop) once N\n"
    "                   units have passed (N >= 1; default: run until stopped)\n"
    "  --scan-serial    every unit's serial is bound to its port before its steps\n"
    "                   start; --no-scan-serial: no serials (kept in storedCfg.txt)\n"
    "  --serial-pattern P  with --scan-serial, every serial must match P, an ECMAScript\n"
    "                   regular expression over the whole serial (at most 64\n"
    "                   characters, no spaces; \"\": any serial)\n"
    "  --label-template FILE  every passed unit gets a label laid out by FILE (no\n"
    "                   spaces in its path); --label-template \"\": no label\n"
    "  --no-loopback    skip the loopback test\n"
    "  --program-mac    program a MAC address from the pool into each device\n"
    "  --assign-mac HH:HH:HH  program 02:5C:3A:HH:HH:HH into every device instead\n"
    "  --baud RATE      console baud rate of the devices\n"
    "  --log DIR        write the log files into DIR; --no-log: no log files\n"
    "  --serial [COMn=]SERIAL  with a job that scans unit serials: the serial of the unit\n"
    "                   on COMn, or without COMn= of the next port that asks for one\n"
    "                   (in bench order); repeat it for every unit. A port without a\n"
    "                   serial waits for one (until stopped)\n"
    "  --rework         the serials given are re-worked units: one that passed before\n"
    "                   is programmed again (else it is refused)\n"
    "  --package FILE   the job is this job package's (verified against the station's\n"
    "                   trusted keys); no job options with it. On a production station\n"
    "                   (station.conf mode = production) the job is station.conf's\n"
    "                   job-package, and another one needs engineer mode\n"
    "  --engineer-password-file FILE  enter engineer mode with the password in FILE's\n"
    "                   first line (the file readable by this user only)\n"
    "  --station-name NAME  the station's name in its production records\n"
    "                   (default: station.conf's station-name, else the host name)\n"
    "  --records FILE   keep the production records in this SQLite database\n"
    "                   (default: station.conf, else records.db in the data directory);\n"
    "                   --no-records: keep none\n"
    "  --pool KIND, --database CONNINFO\n"
    "                   override station.conf's pool and database (the MAC pool);\n"
    "  --database-file FILE  the connection string is FILE's first line (not shown by ps)\n"
    "  --serve ADDR:PORT  serve the station's HTTP/JSON interface and line board there\n"
    "                   (port 0: any free port; default: station.conf's service-listen)\n"
    "                   and take commands from it: the job is set up as above, but Start\n"
    "                   waits for a command (or --start); runs until a stop signal\n"
    "  --read-token-file FILE, --control-token-file FILE  the service's bearer tokens\n"
    "                   (first line of each; the files readable by this user only)\n"
    "Output: one line per board call on stdout (status, mac, message, exception, end),\n"
    "message boxes as 'error <caption>: <text>' on stderr.\n"
    "Exit status: 0 every port reached the job's last step, 1 a port failed or did\n"
    "not finish, 2 set-up or Start refused (or no dispatcher log file).\n"
    "SIGINT, SIGTERM and SIGHUP are a confirmed Stop.\n";

struct Options {
  std::optional<std::string> dir;
  std::optional<std::string> stationName;
  std::optional<std::string> recordsFile;       // "" with --no-records
  std::map<std::string, std::string> settings;  // --pool and --database
  bool help = false;
  HeadlessJobOptions job;  // the job dialog's controls
  HeadlessRunOptions run;
  std::optional<std::string> serve;  // --serve ADDR:PORT
  bool start = false;                // --start (with --serve)
  std::optional<std::string> readTokenFile;
  std::optional<std::string> controlTokenFile;
  std::optional<std::string> package;                // --package FILE
  std::optional<std::string> engineerPasswordFile;   // --engineer-password-file FILE
  bool jobOptions = false;                           // any of the job dialog's options
};

// The first line of a file only its owner may read (the engineer's password).
bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error) {
  bool others = false;
  int e = FileReadableByOthers(path, &others);
  InputFile in;
  std::string text;
  if (e == 0) e = in.Open(path);
  if (e == 0) e = in.ReadAll(4096, &text);
  if (e != 0) {
    *error = path + ": cannot be read (error " + std::to_string(e) + ")";
    return false;
  }
  if (others) {
    *error = path + ": other users may read it; only the station's user may (chmod 600)";
    return false;
  }
  *password = text.substr(0, text.find_first_of("\r\n"));
  return true;
}

// A count of 1 or more in decimal digits only, within 32 bits.
bool ParseCount(const std::string& text, uint32_t* count) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v < 1 || v > UINT32_MAX) return false;
  *count = static_cast<uint32_t>(v);
  return true;
}

// Parses argv; false with *error set on a bad command line.
bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  // Options that exclude each other: at most one of each pair.
  int eepromGiven = 0, firmwareGiven = 0, logGiven = 0, recordsGiven = 0, fastGiven = 0,
      continuousGiven = 0, scanGiven = 0;
  for (size_t i = 0; i < args.size();) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o->help = true;
      i++;
      continue;
    }
    if (a == "--dir") {
      if (i + 1 >= args.size()) {
        *error = "--dir needs a value";
        return false;
      }
      o->dir = args[i + 1];
      i += 2;
      continue;
    }
    if (a == "--pool" || a == "--database") {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      o->settings[a.substr(2)] = args[i + 1];
      i += 2;
      continue;
    }
    if (a == "--database-file") {
      std::string conninfo;
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      if (!StationSettings::ReadDatabaseFile(args[i + 1], &conninfo, error)) return false;
      o->settings["database"] = conninfo;
      i += 2;
      continue;
    }
    if (a == "--station-name" || a == "--records") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = a + " needs a value";
        return false;
      }
      (a == "--records" ? o->recordsFile : o->stationName) = args[i + 1];
      recordsGiven += a == "--records";
      i += 2;
      continue;
    }
    if (a == "--serve" || a == "--read-token-file" || a == "--control-token-file") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = a + " needs a value";
        return false;
      }
      std::string address;
      uint16_t port = 0;
      if (a == "--serve" && !ParseListenAddress(args[i + 1], &address, &port)) {
        *error = "--serve wants ADDRESS:PORT (127.0.0.1:8080), not '" + args[i + 1] + "'";
        return false;
      }
      (a == "--serve" ? o->serve : a == "--read-token-file" ? o->readTokenFile
                                                            : o->controlTokenFile) = args[i + 1];
      i += 2;
      continue;
    }
    if (a == "--package" || a == "--engineer-password-file") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = a + " needs a value";
        return false;
      }
      (a == "--package" ? o->package : o->engineerPasswordFile) = args[i + 1];
      i += 2;
      continue;
    }
    if (a == "--start") {
      o->start = true;
      i++;
      continue;
    }
    if (a == "--units") {
      if (i + 1 >= args.size()) {
        *error = "--units needs a value";
        return false;
      }
      if (!ParseCount(args[i + 1], &o->run.unitsLimit)) {
        *error = "--units wants a number of units from 1, not '" + args[i + 1] + "'";
        return false;
      }
      i += 2;
      continue;
    }
    if (a == "--serial") {
      if (i + 1 >= args.size()) {
        *error = "--serial needs a value ([COMn=]SERIAL)";
        return false;
      }
      const std::string& v = args[i + 1];
      const size_t eq = v.find('=');
      const bool named = eq != std::string::npos && v.compare(0, 3, "COM") == 0;
      o->run.serials.push_back({named ? v.substr(0, eq) : "", named ? v.substr(eq + 1) : v});
      i += 2;
      continue;
    }
    if (a == "--rework") {
      o->run.rework = true;
      i++;
      continue;
    }
    if (a == "--no-records") {
      o->recordsFile = "";
      recordsGiven++;
      i++;
      continue;
    }
    if (a == "--assign-mac" && i + 1 < args.size()) {
      const std::string& v = args[i + 1];
      const std::string full = "02:5C:3A:" + v;
      MacAddress parsed{};
      if (v.size() != 8 || v[2] != ':' || v[5] != ':' ||
          MacPool::ParseMac(full.c_str(), full.size(), &parsed) != 0) {
        *error = "--assign-mac wants HH:HH:HH (hex digits), not '" + v + "'";
        return false;
      }
    }
    eepromGiven += a == "--eeprom" || a == "--no-eeprom";
    firmwareGiven += a == "--firmware" || a == "--no-firmware";
    logGiven += a == "--log" || a == "--no-log";
    fastGiven += a == "--fast-download" || a == "--no-fast-download";
    continuousGiven += a == "--continuous" || a == "--no-continuous";
    scanGiven += a == "--scan-serial" || a == "--no-scan-serial";
    if (!o->job.TakeOption(args, &i, error)) {
      *error = "unknown option '" + a + "'";
      return false;
    }
    if (!error->empty()) return false;
    o->jobOptions = true;
  }
  if (o->package && o->jobOptions) *error = "--package sets the whole job: no job options with it";
  if (eepromGiven > 1) *error = "give one of --eeprom FILE and --no-eeprom";
  if (firmwareGiven > 1) *error = "give one of --firmware FILE and --no-firmware";
  if (logGiven > 1) *error = "give one of --log DIR and --no-log";
  if (recordsGiven > 1) *error = "give one of --records FILE and --no-records";
  if (fastGiven > 1) *error = "give one of --fast-download and --no-fast-download";
  if (continuousGiven > 1) *error = "give one of --continuous and --no-continuous";
  if (scanGiven > 1) *error = "give one of --scan-serial and --no-scan-serial";
  if (o->start && !o->serve) *error = "--start goes with --serve";
  return error->empty();
}

std::atomic<bool> g_stopSignal{false};
static_assert(std::atomic<bool>::is_always_lock_free);

int Run(int argc, char** argv) {
  // A reader that goes away must not end a run half way (a device cut off in the middle
  // of a download): output to a closed pipe is dropped instead.
  IgnoreBrokenPipe();
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "production-cli: %s\n(production-cli --help shows the options)\n",
                 error.c_str());
    return kExitRefused;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitDone;
  }
  const std::string dataDir = options.dir ? *options.dir : ExecutableDir();
  if (dataDir.empty() || !DirectoryExists(dataDir)) {
    std::fprintf(stderr, "production-cli: data directory '%s' does not exist\n", dataDir.c_str());
    return kExitRefused;
  }

  QueueUiThread ui;
  HeadlessBoard printer(stdout);
  HeadlessBoxes printedBoxes(stderr);
  // The board and boxes MainLogic reports to: the printer's, with the service beside it.
  StationService service(printer, printedBoxes, ui);
  PlatformServices services;
  services.ui = &ui;
  services.clock = &SystemClock();
  services.serial = &SystemSerialPorts();
  services.net = &SystemNetwork();
  // The station's settings, with the command line's overrides.
  StationSettings settings;
  settings.Load(dataDir);
  if (options.stationName) settings.Set("station-name", *options.stationName);
  if (options.recordsFile) {
    settings.Set("records", options.recordsFile->empty() ? "off" : "sqlite");
    // A relative FILE is taken from the working directory, as any file on a command line.
    if (!options.recordsFile->empty()) {
      settings.Set("records-file", std::filesystem::absolute(*options.recordsFile).string());
    }
  }
  for (const auto& [key, value] : options.settings) settings.Set(key, value);
  ServiceConfig serviceConfig;
  if (!ServiceConfigFrom(settings, dataDir, &serviceConfig, &error)) {
    std::fprintf(stderr, "production-cli: %s\n", error.c_str());
    return kExitRefused;
  }
  if (options.serve) {
    serviceConfig.enabled = true;
    ParseListenAddress(*options.serve, &serviceConfig.address, &serviceConfig.port);
  }
  if (options.readTokenFile) serviceConfig.readTokenFile = *options.readTokenFile;
  if (options.controlTokenFile) serviceConfig.controlTokenFile = *options.controlTokenFile;
  MainLogic logic(services, service, service.Boxes(), dataDir, &settings);
  service.Attach(logic, dataDir);

  // Set-up refused: the service lets go of the logic before the logic goes.
  const auto refuse = [&](const std::string& text) {
    std::fprintf(stderr, "production-cli: %s\n", text.c_str());
    service.Stop();
    logic.FormClose();
    return kExitRefused;
  };
  // Engineer mode first (it may open the job for a change), then the job: a package,
  // or the job dialog, opened, set from the options and confirmed with OK.
  if (options.engineerPasswordFile) {
    std::string password;
    if (!ReadPasswordFile(*options.engineerPasswordFile, &password, &error) ||
        !logic.EnterEngineerMode(password, "cli", &error)) {
      return refuse(error);
    }
  }
  if (options.package) {
    if (!logic.LoadPackage(*options.package, "cli", &error)) return refuse(error);
  } else if (options.jobOptions &&
             !logic.RequestJobChange("the job given on the command line", "cli", &error)) {
    return refuse(error);
  } else if (!logic.Package()) {
    const std::unique_ptr<SelectFilesLogic> dialogLogic = logic.NewJobDialogLogic();
    HeadlessJobDialog dialog(*dialogLogic, options.job);
    logic.selectFileBtnClick(dialog, "cli");
  }

  // Start is pressed as the window's button would be, also when the dialog left no
  // job: its refusal ("Please Select Files first.") then reaches the error stream.
  // SIGINT, SIGTERM or SIGHUP (Ctrl+C or Ctrl+Break on Windows) is a confirmed Stop.
  TerminationWatch termination([] { g_stopSignal.store(true); });
  if (serviceConfig.enabled) {
    if (!service.Start(serviceConfig, &error)) return refuse(error);
    const std::string line = "service " + service.Url() + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }
  int status = kExitDone;
  if (options.serve) {
    if (options.start) logic.Btn_StartClick();
    status = ServeHeadless(logic, ui, g_stopSignal, [&] { service.Stop(); });
  } else {
    status = RunHeadlessJob(logic, ui, g_stopSignal, options.run);
  }
  service.Stop();
  logic.FormClose();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::printf("exception %s\n", EscapeLineText(e.what()).c_str());
  } catch (...) {
    std::printf("exception unknown exception\n");
  }
  std::fflush(stdout);
  return kExitRefused;
}
