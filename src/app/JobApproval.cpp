// Approved jobs: job packages, production mode and engineer mode, and what they leave
// in the audit trail. Part of MainLogic (app/MainLogic.h); UI thread only.
#include <cstdio>

#include "app/MainLogic.h"
#include "job/RunJobSetup.h"
#include "jobpkg/EngineerPassword.h"
#include "jobpkg/JobKeys.h"
#include "platform/Clock.h"
#include "platform/Host.h"

namespace {

std::string UserOf(const std::string& via) {
  std::string user = UserName();
  if (user.empty()) user = "unknown user";
  return user + " (" + via + ")";
}

int BaudIndexOf(uint32_t baud) {
  switch (baud) {
    case 57600: return 1;
    case 38400: return 2;
    default: return 0;
  }
}

// "HH:MM:SS" local time of a wall-clock time.
std::string TimeOfDay(int64_t ms) {
  const int64_t s = (ms - LocalDayStartMs(ms)) / 1000;
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(s / 3600 % 24),
                static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
  return text;
}

std::string PackageLabel(const JobPackage& p) { return p.name + " " + p.version; }

}  // namespace

void MainLogic::Audit(const char* kind, bool ok, const std::string& text, const std::string& via,
                      const JobPackage* package) {
  if (!recorder_) return;
  AuditEntry e;
  e.station = recorder_->stationName();
  e.atMs = WallClockMs();
  e.user = UserOf(via);
  e.kind = kind;
  e.ok = ok;
  e.text = text;
  if (package) {
    e.jobName = package->name;
    e.jobVersion = package->version;
    e.jobDigest = package->sha256;
  }
  if (!recorder_->AddAudit(e)) {
    AppendMessage("audit trail: the records' queue is full, not kept: " + text);
  }
}

void MainLogic::SetUpApprovedJob() {
  production_ = settings_.Get("mode", "open") == "production";
  // Settings not understood whole set up no job at all (and may not even mean this mode).
  if (settings_.FailureCode() != 0) return;
  if (production_) {
    Audit(kAuditModeChange, true, "station started in production mode", "station");
    if (!recorder_) {
      AppendMessage("Production mode: the station keeps no production records, so no audit "
                    "trail; it runs no job");
    }
  }
  const std::string path = settings_.Get("job-package");
  if (path.empty()) {
    if (production_) packageProblem_ = "station.conf names no job-package";
    return;
  }
  std::string text;
  if (!ApplyPackage(path, "station", &text)) packageProblem_ = text;
  AppendMessage(text);
}

bool MainLogic::ApplyPackage(const std::string& path, const std::string& via, std::string* text) {
  TrustedKeys trusted;
  std::string error;
  JobPackage package;
  const std::string keysDir = TrustedKeysDir(dataDir_);
  bool ok = LoadTrustedKeys(keysDir, &trusted, &error);
  if (!ok) {
    error = "job package " + path + ": " + error;
  } else if (trusted.keys.empty()) {
    ok = false;
    error = "job package " + path + ": the station trusts no key (none in " + keysDir + ")";
  } else {
    ok = VerifyJobPackage(path, trusted, &package, &error);
  }
  if (ok && production_ && package.steps.programMac == MacSource::Assigned) {
    // The operator would have to type the address into a dialog nobody may change.
    ok = false;
    error = "job package " + path +
            ": it programs an address the operator assigns; a production station takes its "
            "addresses from the pool";
  }
  if (!ok) {
    // What the file says it is, for the trail (never used for anything else).
    JobPackage seen;
    std::string ignored;
    const bool readable = InspectJobPackage(path, &seen, &ignored);
    Audit(kAuditPackageCheck, false, error, via, readable ? &seen : nullptr);
    *text = error;
    return false;
  }
  Audit(kAuditPackageCheck, true,
        "job package " + path + " verified, signed by key " + package.keyId, via, &package);
  package_ = std::move(package);
  InstallPackageJob();
  Audit(kAuditJobLoad, true,
        "job " + PackageLabel(*package_) + " (" + ProductionRecorder::StepsOf(job) + ") from " +
            path,
        via, &*package_);
  *text = "Job package " + PackageLabel(*package_) + " loaded (" + path + ", signed by key " +
          package_->keyId + ")";
  return true;
}

void MainLogic::InstallPackageJob() {
  const JobPackage& p = *package_;
  job.jobFlags = (p.steps.eeprom ? kJobEeprom : 0) | (p.steps.firmware ? kJobFirmware : 0);
  job.loopbackTest = p.steps.loopback ? 1 : 0;
  job.programMac = p.steps.programMac != MacSource::None;
  job.assignMac = p.steps.programMac == MacSource::Assigned;
  packageConfig_ = StoredConfig(dataDir_, "");
  packageConfig_.eepromPath = p.steps.eeprom ? p.eeprom.fileName : "";
  packageConfig_.firmwarePath = p.steps.firmware ? p.firmware.fileName : "";
  packageConfig_.consoleBaudIndex = BaudIndexOf(p.steps.consoleBaud);
  packageConfig_.fastDownload = p.steps.fastDownload;
  packageConfig_.continuous = p.steps.continuous;
  packageConfig_.scanSerial = p.steps.scanSerial;
  packageConfig_.serialPattern = p.steps.serialPattern;
  // The label's layout belongs to the station's printer, not to the job.
  packageConfig_.labelTemplate = settings_.Get("label-template");
  job.filesSelected = true;
  SetUpJob();
}

RunJob MainLogic::MakePackageRunJob() {
  const JobPackage& p = *package_;
  // Nothing is read from disk: the steps without images, then the package's images.
  JobState steps = job;
  steps.jobFlags = 0;
  RunJob run = MakeRunJob(steps, packageConfig_, testInterfaces_, SharedTestInterface());
  run.steps = job;
  // The images are the package's own bytes, verified when it was loaded.
  const auto image = [&p](const JobImage& from, bool sent) {
    RunImage r;
    r.path = p.path + "#" + from.fileName;
    if (sent) {
      r.read = ImageRead::Ok;
      r.bytes = from.bytes;
    }
    return r;
  };
  run.eeprom = image(p.eeprom, p.steps.eeprom);
  run.firmware = image(p.firmware, p.steps.firmware);
  run.consoleBaud = p.steps.consoleBaud;
  return run;
}

std::string MainLogic::ModeStartProblem() {
  if (!production_) return "";
  if (!recorder_) {
    return "Production mode: the station keeps no production records, so no audit trail; "
           "no job runs";
  }
  if (!package_) {
    return "Production mode runs only an approved job package: " +
           (packageProblem_.empty() ? std::string("none is loaded") : packageProblem_);
  }
  return "";
}

StationMode MainLogic::Mode() {
  if (!production_) return StationMode::Open;
  if (engineerUntilMs_ != 0) {
    const uint64_t lasts = uint64_t{EngineerMinutes(settings_)} * 60000;
    if (TickDiff(station_.clock->TickMs(), engineerSinceTick_) >= lasts) {
      engineerUntilMs_ = 0;
      Audit(kAuditModeChange, true, "engineer mode ended: its time was up", "station");
      AppendMessage("Engineer mode ended: its time was up");
    }
  }
  return engineerUntilMs_ != 0 ? StationMode::Engineer : StationMode::Production;
}

std::string MainLogic::ModeText() {
  switch (Mode()) {
    case StationMode::Open: return "";
    case StationMode::Engineer: return "Engineer mode until " + TimeOfDay(engineerUntilMs_);
    case StationMode::Production: break;
  }
  return package_ ? "Production mode: " + PackageLabel(*package_)
                  : std::string("Production mode: no approved job");
}

bool MainLogic::JobChangeAllowed(std::string* why) {
  if (Mode() != StationMode::Production) return true;
  if (why) {
    *why = package_ ? "Production mode: the job is the approved package " +
                          PackageLabel(*package_) + "; changing it needs engineer mode"
                    : std::string("Production mode: changing the job needs engineer mode");
  }
  return false;
}

bool MainLogic::RequestJobChange(const std::string& what, const std::string& via,
                                 std::string* why) {
  if (!JobChangeAllowed(why)) {
    Audit(kAuditJobChange, false, what + " refused: " + *why, via, Package());
    return false;
  }
  if (package_) {
    *why = "The job is the job package " + PackageLabel(*package_) + ": leave the package first";
    return false;
  }
  return true;
}

bool MainLogic::LoadPackage(const std::string& path, const std::string& via, std::string* text) {
  if (!JobChangeAllowed(text)) {
    Audit(kAuditJobChange, false, "loading job package " + path + " refused: " + *text, via);
    return false;
  }
  if (RunLive() || (dialogOpen_ && via != "window")) {
    *text = "job package " + path + ": a run is going on (or the job dialog is open); the job "
            "cannot change now";
    return false;
  }
  return ApplyPackage(path, via, text);
}

bool MainLogic::LeavePackage(const std::string& via, std::string* text) {
  if (production_) {
    *text = "Production mode runs only an approved job package";
    Audit(kAuditJobChange, false, "leaving the job package refused: production mode", via);
    return false;
  }
  if (RunLive()) {
    *text = "a run is going on; the job cannot change now";
    return false;
  }
  if (!package_) return true;
  const JobPackage left = std::move(*package_);
  package_.reset();
  job.jobFlags = 0;
  job.loopbackTest = 0;
  job.programMac = false;
  job.assignMac = false;
  job.filesSelected = false;
  Audit(kAuditJobChange, true, "job package " + PackageLabel(left) + " left: the job dialog's job",
        via, &left);
  *text = "Job package " + PackageLabel(left) + " left; set up the job with Select Files";
  return true;
}

bool MainLogic::EnterEngineerMode(const std::string& password, const std::string& via,
                                  std::string* text) {
  if (!production_) {
    *text = "This station is not in production mode";
    return false;
  }
  const std::string stored = settings_.Get("engineer-password");
  if (stored.empty()) {
    *text = "No engineer password is set (station.conf engineer-password)";
    Audit(kAuditPasswordFailed, false, "engineer mode refused: no engineer password is set", via);
    return false;
  }
  const uint32_t now = station_.clock->TickMs();
  if (passwordFailures_ >= kMaxPasswordTries &&
      TickDiff(now, lastPasswordFailureTick_) < kPasswordPauseMs) {
    *text = "Too many wrong passwords: wait a minute and try again";
    Audit(kAuditPasswordFailed, false, "engineer mode refused: too many wrong passwords", via);
    return false;
  }
  bool match = false;
  std::string error;
  if (!CheckEngineerPassword(stored, password, &match, &error)) {
    *text = "station.conf engineer-password: " + error;
    Audit(kAuditPasswordFailed, false, "engineer mode refused: " + *text, via);
    return false;
  }
  if (!match) {
    passwordFailures_++;
    lastPasswordFailureTick_ = now;
    *text = "Wrong password";
    Audit(kAuditPasswordFailed, false, "engineer mode refused: wrong password", via);
    return false;
  }
  passwordFailures_ = 0;
  engineerSinceTick_ = now;
  engineerUntilMs_ = WallClockMs() + int64_t{EngineerMinutes(settings_)} * 60000;
  *text = "Engineer mode until " + TimeOfDay(engineerUntilMs_);
  Audit(kAuditModeChange, true, "engineer mode entered, until " + TimeOfDay(engineerUntilMs_), via);
  AppendMessage(*text);
  return true;
}

void MainLogic::LeaveEngineerMode(const std::string& via) {
  if (engineerUntilMs_ == 0) return;
  engineerUntilMs_ = 0;
  Audit(kAuditModeChange, true, "engineer mode left: production mode", via);
  AppendMessage("Engineer mode left");
}
