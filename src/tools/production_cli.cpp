// production-cli: the production station without a window. It sets up the job from
// its options as the job dialog would (opened and confirmed with OK), presses Start
// and runs until the dispatcher ends, printing every board call as one line.
//
// Exit status: 0 every detected port reached the job's final stage; 1 a port failed
// or did not finish; 2 set-up or Start was refused.
#include <signal.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/Headless.h"
#include "app/MainLogic.h"
#include "app/Startthread.h"
#include "job/Logcfg.h"
#include "job/Logmac.h"
#include "platform/Clock.h"
#include "platform/Network.h"
#include "platform/Paths.h"
#include "platform/SerialPort.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitPortsFailed = 1;
constexpr int kExitRefused = 2;
constexpr size_t kMaxPathField = 255;

const char kUsage[] =
    "usage: production-cli [--dir DIR] [--eeprom FILE | --no-eeprom]\n"
    "                      [--firmware FILE | --no-firmware] [--no-loopback]\n"
    "                      [--program-mac] [--assign-mac HH:HH:HH]\n"
    "                      [--baud 115200|57600|38400] [--log DIR | --no-log]\n"
    "\n"
    "Sets up the job as the job dialog does when confirmed with OK (each option\n"
    "changes the matching control first), presses Start and runs until the run ends.\n"
    "  --dir DIR        data directory with storedCfg.txt, storedMAC.txt and ports/\n"
    "                   (default: the directory of this program)\n"
    "  --eeprom FILE    download this EEPROM image (.vef); --no-eeprom: none\n"
    "  --firmware FILE  download this firmware image (.vff); --no-firmware: none\n"
    "  --no-loopback    skip the loopback test\n"
    "  --program-mac    program a MAC address from the pool into each device\n"
    "  --assign-mac HH:HH:HH  program 02:5C:3A:HH:HH:HH instead (needs --program-mac)\n"
    "  --baud RATE      console baud rate of the devices\n"
    "  --log DIR        write the log files into DIR; --no-log: no log files\n"
    "Output: one line per board call on stdout (status, mac, message, exception, end),\n"
    "message boxes as 'error <caption>: <text>' on stderr.\n"
    "Exit status: 0 every port reached the job's last step, 1 a port failed or did\n"
    "not finish, 2 set-up or Start refused.\n";

struct Options {
  std::optional<std::string> dir;
  std::optional<std::string> eeprom;
  bool noEeprom = false;
  std::optional<std::string> firmware;
  bool noFirmware = false;
  bool noLoopback = false;
  bool programMac = false;
  std::optional<std::string> assignMac;  // "HH:HH:HH"
  std::optional<int> baudIndex;
  std::optional<std::string> logDir;
  bool noLog = false;
  bool help = false;
};

// Parses argv; false with *error set on a bad command line.
bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = a + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--dir") {
      if (!value(&v)) return false;
      o->dir = v;
    } else if (a == "--eeprom") {
      if (!value(&v)) return false;
      o->eeprom = v;
    } else if (a == "--no-eeprom") {
      o->noEeprom = true;
    } else if (a == "--firmware") {
      if (!value(&v)) return false;
      o->firmware = v;
    } else if (a == "--no-firmware") {
      o->noFirmware = true;
    } else if (a == "--no-loopback") {
      o->noLoopback = true;
    } else if (a == "--program-mac") {
      o->programMac = true;
    } else if (a == "--assign-mac") {
      if (!value(&v)) return false;
      MacAddress parsed{};
      const std::string full = "02:5C:3A:" + v;
      if (v.size() != 8 || v[2] != ':' || v[5] != ':' ||
          MacPool::ParseMac(full.c_str(), full.size(), &parsed) != 0) {
        *error = "--assign-mac wants HH:HH:HH (hex), not '" + v + "'";
        return false;
      }
      o->assignMac = v;
    } else if (a == "--baud") {
      if (!value(&v)) return false;
      if (v == "115200") {
        o->baudIndex = 0;
      } else if (v == "57600") {
        o->baudIndex = 1;
      } else if (v == "38400") {
        o->baudIndex = 2;
      } else {
        *error = "--baud must be 115200, 57600 or 38400, not '" + v + "'";
        return false;
      }
    } else if (a == "--log") {
      if (!value(&v)) return false;
      o->logDir = v;
    } else if (a == "--no-log") {
      o->noLog = true;
    } else {
      *error = "unknown option '" + a + "'";
      return false;
    }
  }
  if (o->eeprom && o->noEeprom) *error = "--eeprom and --no-eeprom exclude each other";
  if (o->firmware && o->noFirmware) *error = "--firmware and --no-firmware exclude each other";
  if (o->logDir && o->noLog) *error = "--log and --no-log exclude each other";
  if (o->assignMac && !o->programMac) *error = "--assign-mac needs --program-mac";
  return error->empty();
}

// The number formed by the last three groups of "HH:HH:HH".
uint32_t AssignValue(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.substr(0, 2).c_str(), nullptr, 16) << 16 |
                               std::strtoul(text.substr(3, 2).c_str(), nullptr, 16) << 8 |
                               std::strtoul(text.substr(6, 2).c_str(), nullptr, 16));
}

// The range of addresses the operator may assign by hand: those already handed out
// from the start of the permitted block. Both 0: nothing can be assigned.
void AssignRange(const MacPool& pool, uint32_t* low, uint32_t* high) {
  *low = *high = 0;
  std::string text, last;
  const int s = pool.GetAssignState(&text);
  if (s < 0) return;
  if (s == 0) pool.GetRange(&text, &last);
  if (text.size() < 17) return;
  *low = MacBlockFirst;
  *high = AssignValue(text.substr(9, 8));
  if (*high == MacBlockFirst) {
    *low = *high = 0;
  } else if (*high > MacBlockFirst && s == 0) {
    *high -= 1;
  }
}

bool CheckImage(MessageBoxes& boxes, const std::string& path, const char* what,
                const char* ending) {
  char text[320];
  if (path.empty()) {
    std::snprintf(text, sizeof text, "%s file field can't be blank", what);
  } else if (path.size() <= 3 || path.compare(path.size() - 4, 4, ending) != 0) {
    std::snprintf(text, sizeof text, "%s need %s", what, ending);
  } else if (path.size() > kMaxPathField) {
    std::snprintf(text, sizeof text, "%s file path is longer than %zu characters", what,
                  kMaxPathField);
  } else if (!FileExists(path)) {
    std::snprintf(text, sizeof text, "%s not exists", path.c_str());
  } else {
    return true;
  }
  ShowError(boxes, text);
  return false;
}

// Applies the options to the job as the job dialog's controls would, then confirms the
// job as its OK button does. True when the job was accepted (the dialog's OK result).
bool ApplyOptionsAndConfirm(MainLogic& logic, const Options& o) {
  StoredConfig& cfg = logic.storedConfig;
  JobState& job = logic.job;
  MessageBoxes& boxes = logic.boxes();

  // What the dialog shows when it opens.
  std::string eepromText, firmwareText;
  int baudIndex = 0;
  if (cfg.Load() == 0) {
    eepromText = cfg.eepromPath;
    firmwareText = cfg.firmwarePath;
    baudIndex = cfg.consoleBaudIndex;
  }
  bool eepromTicked = !eepromText.empty();
  bool firmwareTicked = !firmwareText.empty();
  job.jobFlags = 0;

  // The options change the controls.
  if (o.eeprom) eepromTicked = true, eepromText = *o.eeprom;
  if (o.noEeprom) eepromTicked = false;
  if (o.firmware) firmwareTicked = true, firmwareText = *o.firmware;
  if (o.noFirmware) firmwareTicked = false;
  if (o.baudIndex) baudIndex = *o.baudIndex;

  // OK.
  job.loopbackTest = 0;
  if (eepromTicked) {
    if (!CheckImage(boxes, eepromText, "eeprom", ".vef")) return false;
    cfg.eepromPath = eepromText;
    job.jobFlags = kJobEeprom;
  } else {
    cfg.eepromPath.clear();
  }
  if (firmwareTicked) {
    if (!CheckImage(boxes, firmwareText, "firmware", ".vff")) return false;
    cfg.firmwarePath = firmwareText;
    job.jobFlags |= kJobFirmware;
  } else {
    cfg.firmwarePath.clear();
  }
  if (o.logDir) {
    if (o.logDir->empty() || o.logDir->size() > kMaxPathField || !DirectoryExists(*o.logDir)) {
      ShowError(boxes, "invalid log file directory", BoxIcon::Warning);
      return false;
    }
    job.logEnabled = true;
    job.logDirectory = *o.logDir;
  } else {
    job.logEnabled = false;
  }
  if (!o.noLoopback) job.loopbackTest = 1;
  job.assignMac = false;
  job.assignedMacText.clear();
  if (o.programMac && o.assignMac) {
    uint32_t low = 0, high = 0;
    AssignRange(logic.macPool, &low, &high);
    if (low == 0 && high == 0) {
      ShowError(boxes, "Can't use this function now");
      return false;
    }
    const uint32_t v = AssignValue(*o.assignMac);
    if (v < low || v > high) {
      ShowError(boxes, "Invalid assign MAC");
      return false;
    }
    std::string upper = *o.assignMac;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    job.assignedMacText = "02:5C:3A:" + upper;
    job.assignMac = true;
  }
  job.programMac = o.programMac;
  cfg.consoleBaudIndex = baudIndex;
  cfg.Save();
  job.filesSelected = true;
  return true;
}

class CliJobDialog final : public JobDialog {
 public:
  CliJobDialog(MainLogic& logic, const Options& options) : logic_(logic), options_(options) {}
  bool ShowModal() override { return confirmed_ = ApplyOptionsAndConfirm(logic_, options_); }
  bool confirmed() const { return confirmed_; }

 private:
  MainLogic& logic_;
  const Options& options_;
  bool confirmed_ = false;
};

std::atomic<bool> g_stopSignal{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int) {
  g_stopSignal.store(true);
}

void InstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int Run(int argc, char** argv) {
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
  HeadlessBoard board(stdout);
  HeadlessBoxes boxes(stderr);
  PlatformServices services;
  services.ui = &ui;
  services.clock = &SystemClock();
  services.serial = &PosixSerialPorts();
  services.net = &PosixNetwork();
  MainLogic logic(services, board, boxes, dataDir);

  CliJobDialog dialog(logic, options);
  logic.selectFileBtnClick(dialog);
  if (!dialog.confirmed() || !logic.job.filesSelected) {
    logic.FormClose();
    return kExitRefused;
  }

  InstallStopSignals();
  logic.Btn_StartClick();
  if (!logic.StartCaptionIsStop()) {
    logic.FormClose();
    return kExitRefused;
  }
  bool stopAsked = false;
  while (!board.Ended()) {
    ui.RunPending(100);
    if (g_stopSignal.load() && !stopAsked) {
      stopAsked = true;
      // A confirmed Stop; the run ends through the dispatcher's end steps.
      if (logic.StartCaptionIsStop()) logic.Btn_StartClick();
    }
  }
  // The dispatcher is past its last call to the board; its thread returns at once.
  while (!logic.CanClose()) ui.RunPending(10);

  const JobState& job = logic.job;
  std::vector<int> ports;
  if (logic.dispatcher()) ports = logic.dispatcher()->PortNumbers();
  int status = ports.empty() ? kExitPortsFailed : kExitDone;
  for (size_t k = 0; k < ports.size(); k++) {
    const int32_t stage = logic.stages.Get(static_cast<int>(k));
    if (stage == StageFailed || !StartThread::PortFinished(job, stage)) status = kExitPortsFailed;
  }
  logic.FormClose();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::printf("exception %s\n", EscapeLineText(e.what()).c_str());
    std::fflush(stdout);
    return kExitRefused;
  }
}
