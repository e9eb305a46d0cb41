#include "app/Service.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>

#include "app/BoardFiles.h"
#include "app/HeadlessJobDialog.h"
#include "app/MainLogic.h"
#include "app/StationSetup.h"
#include "app/Startthread.h"
#include "app/UnitIdentity.h"
#include "base/StationSettings.h"
#include "base/UiThread.h"
#include "job/SelectFilesLogic.h"
#include "platform/Files.h"
#include "platform/Host.h"
#include "platform/Paths.h"
#include "records/ProductionRecorder.h"
#include "records/RecordsSetup.h"
#include "records/SqliteRecordStore.h"

namespace {

using json = nlohmann::json;

constexpr size_t kMinTokenChars = 16;
constexpr size_t kMaxTokenFileBytes = 4096;
constexpr int kMaxJsonDepth = 4;

std::string Dump(const json& j) {
  // Texts come from devices and files: bytes that are not UTF-8 are replaced, never fatal.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

HttpResponse JsonResponse(int status, const json& j) {
  HttpResponse r;
  r.status = status;
  r.body = Dump(j);
  return r;
}

HttpResponse Error(int status, const std::string& text, const char* code,
                   const std::string& caption = "") {
  json j = {{"error", text}, {"code", code}};
  if (!caption.empty()) j["caption"] = caption;
  HttpResponse r = JsonResponse(status, j);
  if (status == 401) r.headers.emplace_back("WWW-Authenticate", "Bearer");
  return r;
}

std::string TrimLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  const size_t b = line.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  const size_t e = line.find_last_not_of(" \t\r");
  return line.substr(b, e - b + 1);
}

bool ReadToken(const std::string& path, std::string* token, std::string* error) {
  bool others = false;
  int e = FileReadableByOthers(path, &others);
  InputFile in;
  std::string text;
  if (e == 0) e = in.Open(path);
  if (e == 0) e = in.ReadAll(kMaxTokenFileBytes, &text);
  if (e != 0) {
    *error = path + ": cannot be read (error " + std::to_string(e) + ")";
    return false;
  }
  if (others) {
    *error = path + ": other users may read it; only the station's user may (chmod 600)";
    return false;
  }
  *token = TrimLine(text);
  if (token->size() < kMinTokenChars) {
    *error = path + ": the token in its first line is shorter than " +
             std::to_string(kMinTokenChars) + " characters";
    return false;
  }
  return true;
}

// Compares in a time that depends on the lengths only, never on where they differ.
bool SameToken(const std::string& given, const std::string& token) {
  if (token.empty()) return false;
  unsigned diff = given.size() == token.size() ? 0u : 1u;
  for (size_t i = 0; i < given.size(); i++) {
    diff |= static_cast<unsigned char>(given[i]) ^
            static_cast<unsigned char>(token[i % token.size()]);
  }
  return diff == 0;
}

const char* StageName(Stage s) {
  switch (s) {
    case StageFailed: return "failed";
    case StageIdle: return "none";
    case StageDownloading: return "download";
    case StageDownloaded: return "downloaded";
    case StageTesting: return "loopback";
    case StageTested: return "tested";
    case StageProgramming: return "mac";
    case StageProgrammed: return "done";
  }
  return "none";
}

// Bodies are small: deeper nesting than any field of the job is refused before parsing.
bool TooDeep(const std::string& body) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < body.size(); i++) {
    const char c = body[i];
    if (inString) {
      if (c == '\\') i++;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    if (c == '{' || c == '[') {
      if (++depth > kMaxJsonDepth) return true;
    }
    if (c == '}' || c == ']') depth--;
  }
  return false;
}

// A request body that must be one JSON object: its refusal, or nothing with *out set.
std::optional<HttpResponse> ObjectBody(const std::string& body, json* out) {
  if (TooDeep(body)) return Error(400, "the request is nested too deeply", "bad_request");
  try {
    *out = json::parse(body);
  } catch (const json::exception&) {
    return Error(400, "the body is not JSON", "bad_request");
  }
  if (!out->is_object()) return Error(400, "the body is not a JSON object", "bad_request");
  return std::nullopt;
}

json ImageJson(const ImageRecord& image) {
  if (image.path.empty()) return nullptr;
  return {{"path", image.path}, {"bytes", image.sentBytes}, {"sha256", image.sha256}};
}

json UnitJson(const UnitRecord& r, const std::vector<StepTime>* steps) {
  json j = {{"port", r.portIndex},
            {"name", r.port},
            {"station", r.station},
            {"run", r.runId},
            {"cycle", r.cycle},
            {"verdict", r.verdict},
            {"mac", r.mac},
            {"macSource", r.macSource},
            {"macReported", r.macReported},
            {"images", {{"firmware", ImageJson(r.firmware)}, {"eeprom", ImageJson(r.eeprom)}}},
            {"startedMs", r.startedMs},
            {"endedMs", r.endedMs ? json(*r.endedMs) : json(nullptr)},
            {"status", r.lastStatus}};
  // A unit left with its temporary address failed no step: it is no pass all the same.
  if (r.verdict == kVerdictPassed || r.verdict == kVerdictUnfinished ||
      r.verdict == kVerdictTemporaryMac) {
    j["failure"] = nullptr;
  } else {
    j["failure"] = {{"step", r.failStep},
                    {"code", r.failCode ? json(*r.failCode) : json(nullptr)},
                    {"text", r.lastStatus}};
  }
  if (steps) {
    json s = json::array();
    for (const StepTime& t : *steps) s.push_back({{"step", t.step}, {"ms", t.ms}});
    j["steps"] = s;
  }
  return j;
}

// A query number; false when present and not a decimal (an optional leading '-').
bool QueryNumber(const HttpRequest& request, const char* name, std::optional<int64_t>* out) {
  std::string text;
  if (!request.QueryValue(name, &text)) return true;
  if (text.empty() || text.size() > 19) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = text[0] == '-' ? -v : v;
  return true;
}

}  // namespace

// ---- settings ----

bool ParseListenAddress(const std::string& text, std::string* address, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.back() != ']' || host.size() < 3) return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;
  }
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5) return false;
  uint32_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 65535) return false;
  *address = host;
  *port = static_cast<uint16_t>(v);
  return true;
}

bool ServiceConfigFrom(const StationSettings& settings, const std::string& dataDir,
                       ServiceConfig* config, std::string* error) {
  const std::string listen = settings.Get("service-listen");
  auto path = [&](const std::string& file) {
    if (file.empty()) return file;
    const bool absolute = file[0] == '/' || file[0] == '\\' || (file.size() > 1 && file[1] == ':');
    return absolute ? file : JoinPath(dataDir, file);
  };
  config->readTokenFile = path(settings.Get("service-read-token-file"));
  config->controlTokenFile = path(settings.Get("service-control-token-file"));
  if (listen.empty() || listen == "off") {
    config->enabled = false;
    return true;
  }
  if (!ParseListenAddress(listen, &config->address, &config->port)) {
    *error = "station.conf: service-listen = " + listen.substr(0, 60) +
             " is not ADDRESS:PORT (127.0.0.1:8080)";
    return false;
  }
  config->enabled = true;
  return true;
}

// ---- the boxes ----

BoxResult StationService::CommandBoxes::Show(const std::string& caption, const std::string& text,
                                             BoxButtons buttons, BoxIcon icon) {
  if (capture == nullptr) return view_.Show(caption, text, buttons, icon);
  const bool question = buttons == BoxButtons::YesNo;
  if (capture->size() < 16) capture->push_back(Box{caption, text, question});
  // The command is the caller's confirmation: a question (Stop's) is answered Yes.
  return question ? BoxResult::Yes : BoxResult::Ok;
}

// ---- one subscriber's stream ----

class StationService::Feed final : public HttpEventFeed {
 public:
  // False when the subscriber is gone or has just been dropped for falling behind.
  bool Push(const std::shared_ptr<const std::string>& chunk) {
    std::lock_guard<std::mutex> lock(m_);
    if (closed_ || dropped_) return false;
    if (queue_.size() >= kSubscriberQueue) {
      // Too far behind: the stream ends; the subscriber starts again from the state.
      dropped_ = true;
      queue_.clear();
      queue_.push_back(std::make_shared<const std::string>("event: dropped\ndata: {}\n\n"));
      if (waker_) waker_();
      return false;
    }
    queue_.push_back(chunk);
    if (waker_) waker_();
    return true;
  }
  bool Gone() const {
    std::lock_guard<std::mutex> lock(m_);
    return closed_ || dropped_;
  }
  bool Take(std::string* out, size_t maxBytes) override {
    std::lock_guard<std::mutex> lock(m_);
    while (!queue_.empty() && out->size() < maxBytes) {
      *out += *queue_.front();
      queue_.pop_front();
    }
    return !(closed_ || (dropped_ && queue_.empty()));
  }
  void SetWaker(std::function<void()> wake) override {
    std::lock_guard<std::mutex> lock(m_);
    if (closed_) return;
    waker_ = std::move(wake);
    if (!queue_.empty()) waker_();
  }
  void Closed() override {
    std::lock_guard<std::mutex> lock(m_);
    closed_ = true;
    waker_ = nullptr;  // the server is gone or going: never called again
    queue_.clear();
  }

 private:
  mutable std::mutex m_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::function<void()> waker_;  // called under m_ (it only posts to the server's thread)
  bool closed_ = false;
  bool dropped_ = false;
};

// ---- the service ----

StationService::StationService(Board& view, MessageBoxes& viewBoxes, UiThread& ui)
    : view_(view), boxes_(viewBoxes), ui_(ui) {}

StationService::~StationService() { Stop(); }

void StationService::Attach(MainLogic& logic, const std::string& dataDir) {
  logic_ = &logic;
  const StationSettings& settings = logic.settings();
  settings_ = settings;
  dataDir_ = dataDir;
  stationName_ = logic.records() ? logic.records()->stationName() : StationNameOf(settings);
  if (ProductionRecorder* recorder = logic.records()) {
    recorder->SetResultSink([this](const UnitResult& r) { OnUnitResult(r); });
  }
}

bool StationService::Start(const ServiceConfig& config, std::string* error) {
  if (server_) {
    *error = "the service is already started";
    return false;
  }
  const bool loopback = config.address == "127.0.0.1" || config.address == "::1";
  const bool anyToken = !config.readTokenFile.empty() || !config.controlTokenFile.empty();
  if (anyToken && (config.readTokenFile.empty() || config.controlTokenFile.empty())) {
    *error = "service: give both token files (read and control), or none";
    return false;
  }
  if (!anyToken && !loopback) {
    *error = "service: listening on " + config.address +
             " needs the read and control token files (service-read-token-file, "
             "service-control-token-file)";
    return false;
  }
  if (anyToken) {
    if (!ReadToken(config.readTokenFile, &readToken_, error)) return false;
    if (!ReadToken(config.controlTokenFile, &controlToken_, error)) return false;
    if (readToken_ == controlToken_) {
      *error = "service: the read and control tokens must differ";
      return false;
    }
    tokens_ = true;
  }
  stopping_ = false;
  server_ = NewHttpServer();
  if (!server_->Start(config.address, config.port, HttpServerLimits{},
                      [this](const HttpRequest& r) { return Handle(r); }, error)) {
    server_.reset();
    *error = "service: " + *error;
    return false;
  }
  const std::string host =
      config.address.find(':') != std::string::npos ? "[" + config.address + "]" : config.address;
  url_ = "http://" + host + ":" + std::to_string(server_->Port()) + "/";
  return true;
}

std::string StationService::Url() const { return url_; }

void StationService::Stop() {
  stopping_ = true;
  if (server_) server_->Stop();
  server_.reset();
  // From here on the board calls only go to the view: the logic may be going (this runs
  // again in the destructor, after the logic has gone).
  if (!detached_ && logic_ && logic_->records()) logic_->records()->SetResultSink(nullptr);
  detached_ = true;
  std::lock_guard<std::mutex> lock(m_);
  feeds_.clear();
}

// ---- Board: forward, then publish ----

std::vector<int> StationService::PortNumbersOnUi() const {
  StartThread* d = logic_ ? logic_->dispatcher() : nullptr;
  return d ? d->PortNumbers() : std::vector<int>{};
}

void StationService::RefreshPortNames() { portNumbers_ = PortNumbersOnUi(); }

std::string StationService::PortName(int portIndex) const {
  if (portIndex < 0 || static_cast<size_t>(portIndex) >= portNumbers_.size()) return "";
  return "COM" + std::to_string(portNumbers_[static_cast<size_t>(portIndex)]);
}

void StationService::ShowPortStatus(int portIndex, const std::string& text) {
  view_.ShowPortStatus(portIndex, text);
  if (detached_) return;
  if (portIndex < 0 || portIndex >= kMaxPorts) return;
  PortView& p = ports_[static_cast<size_t>(portIndex)];
  p.status = text;
  if (logic_) {
    const Stage stage = logic_->stages.Get(portIndex);
    if (stage != StageFailed && stage != StageIdle) p.lastStage = stage;
  }
  // A download's block text comes with its progress; any other text ends it.
  if (p.block > 0 && text.find("Download") == std::string::npos) p.block = -1;
  if (static_cast<size_t>(portIndex) >= portNumbers_.size()) RefreshPortNames();
  if (!Listening()) return;  // the texts of a download's every block: built only when read
  json j = PortEvent(portIndex);
  j.erase("passed");
  j.erase("failed");
  Publish("status", Dump(j));
}

void StationService::ShowPortProgress(int portIndex, int block, int blocks) {
  view_.ShowPortProgress(portIndex, block, blocks);
  if (detached_) return;
  if (portIndex < 0 || portIndex >= kMaxPorts) return;
  PortView& p = ports_[static_cast<size_t>(portIndex)];
  p.block = block;
  p.blocks = blocks;
  if (!Listening()) return;
  Publish("progress", Dump({{"port", portIndex}, {"name", PortName(portIndex)},
                            {"block", block}, {"blocks", blocks}}));
}

void StationService::SetMacGridCell(int row, int column, const std::string& text) {
  view_.SetMacGridCell(row, column, text);
  if (detached_) return;
  if (row >= 0 && row < 2 && column >= 0 && column < 2) macGrid_[static_cast<size_t>(row * 2 + column)] = text;
  Publish("mac", Dump({{"row", row}, {"column", column}, {"text", text}}));
}

void StationService::AppendMessage(const std::string& text) {
  view_.AppendMessage(text);
  if (detached_) return;
  Publish("message", Dump({{"text", text}}));
}

void StationService::ClearMessages() {
  view_.ClearMessages();
  if (detached_) return;
  Publish("clear", R"({"what":"messages"})");
}

void StationService::ClearStatusGrid() {
  view_.ClearStatusGrid();
  if (detached_) return;
  for (PortView& p : ports_) p = PortView{};
  Publish("clear", R"({"what":"status"})");
}

void StationService::ShowException(const std::string& message) {
  if (detached_) {
    view_.ShowException(message);
    return;
  }
  if (boxes_.capture != nullptr) {
    // Raised by a command of the service: its answer, not a box at the station.
    if (boxes_.capture->size() < 16) boxes_.capture->push_back(CommandBoxes::Box{"Exception", message});
  } else {
    view_.ShowException(message);
  }
  Publish("exception", Dump({{"text", message}}));
}

void StationService::SetStartButton(bool running) {
  view_.SetStartButton(running);
  if (detached_) return;
  if (running) {
    // A new run: its ports are found again, its slots count from nothing.
    portNumbers_.clear();
    for (PortView& p : ports_) p = PortView{};
    std::lock_guard<std::mutex> lock(m_);
    slotPassed_.fill(0);
    slotFailed_.fill(0);
    unitMac_.fill("");
  }
  Publish("run", Dump({{"running", running}}));
}

void StationService::DispatcherEnded() {
  view_.DispatcherEnded();
  if (detached_) return;
  RefreshPortNames();
  // The verdicts of the run as they stand at its end (Stop leaves ports unfinished).
  const bool batchWithoutRecords = logic_ && !logic_->records() && !logic_->runJob().continuous;
  for (size_t k = 0; k < portNumbers_.size(); k++) {
    const json j = PortEvent(static_cast<int>(k));
    if (batchWithoutRecords) {
      const std::string v = j.at("verdict").get<std::string>();
      BoardResult(static_cast<int>(k), 0, v == "passed"          ? kVerdictPassed
                                          : v == "failed"        ? kVerdictFailed
                                          : v == "temporary-mac" ? kVerdictTemporaryMac
                                                                 : kVerdictStopped);
    }
    Publish("status", Dump(j));
  }
  Publish("end", "{}");
}

void StationService::BoardResult(int k, int cycle, const char* verdict) {
  // A station that keeps no records: the unit's result from what the board was told.
  UnitRecord r;
  r.station = stationName_;
  r.port = PortName(k);
  r.portIndex = k;
  r.cycle = cycle;
  r.verdict = verdict;
  r.lastStatus = ports_[static_cast<size_t>(k)].status;
  r.endedMs = WallClockMs();
  if (r.verdict != kVerdictPassed) {
    // "...failed: -3": the number that ends the failure text.
    const size_t colon = r.lastStatus.rfind(": ");
    if (colon != std::string::npos) {
      const std::string tail = r.lastStatus.substr(colon + 2);
      if (!tail.empty() && tail.size() < 8 &&
          tail.find_first_not_of("-0123456789") == std::string::npos && tail != "-") {
        r.failCode = std::stoi(tail);
      }
    }
    // The step it was in when its texts last came (a failed one shows only "failed").
    const Stage stage = ports_[static_cast<size_t>(k)].lastStage;
    r.failStep = stage == StageDownloaded || stage == StageTesting ? "loopback"
                 : stage == StageTested || stage == StageProgramming ? "mac"
                 : stage == StageDownloading                         ? "download"
                                                                     : "";
  }
  json unit = UnitJson(r, nullptr);
  unit["steps"] = json::array();
  unit["startedMs"] = nullptr;
  std::lock_guard<std::mutex> lock(m_);
  UnitResultLocked(k, r.verdict, UnitFactsLocked(k).mac, unit);
}

void StationService::UnitResultLocked(int k, const std::string& verdict, const std::string& mac,
                                      const json& unit) {
  if (k >= 0 && k < kMaxPorts) {
    const size_t i = static_cast<size_t>(k);
    unitMac_[i] = mac;
    if (verdict == kVerdictPassed) slotPassed_[i]++;
    if (verdict == kVerdictFailed) slotFailed_[i]++;
  }
  if (verdict == kVerdictFailed) {
    failures_.insert(failures_.begin(), unit);
    if (failures_.size() > kMaxFailures) failures_.pop_back();
  }
  PublishLocked("unit", Dump(unit));
}

json StationService::PortEvent(int k) {
  json j = PortJson(k, UnitFactsOf(k));
  j.erase("progress");
  j["text"] = j["status"];
  return j;
}

void StationService::UnitEnded(int portIndex, int cycle, bool passed) {
  view_.UnitEnded(portIndex, cycle, passed);
  if (detached_) return;
  if (portIndex < 0 || portIndex >= kMaxPorts || !logic_) return;
  // With records, every unit's result comes from its record (OnUnitResult).
  if (!logic_->records()) BoardResult(portIndex, cycle, passed ? kVerdictPassed : kVerdictFailed);
  // The slot's verdict as it stands now (its stage may have failed after its last text).
  Publish("status", Dump(PortEvent(portIndex)));
}

void StationService::OnUnitResult(const UnitResult& result) {
  // Under the recorder's lock: build the event and hand it on, nothing more.
  const json unit = UnitJson(result.record, &result.steps);
  std::lock_guard<std::mutex> lock(m_);
  UnitResultLocked(result.record.portIndex, result.record.verdict, result.record.mac, unit);
}

bool StationService::Listening() const {
  std::lock_guard<std::mutex> lock(m_);
  return !feeds_.empty();
}

void StationService::Publish(const char* name, const std::string& fields) {
  std::lock_guard<std::mutex> lock(m_);
  PublishLocked(name, fields);
}

void StationService::PublishLocked(const char* name, const std::string& fields) {
  seq_++;
  if (feeds_.empty()) return;
  // {"seq":N,"time":T, ...fields}
  std::string data = "{\"seq\":" + std::to_string(seq_) + ",\"time\":" + std::to_string(WallClockMs());
  if (fields.size() > 2) data += "," + fields.substr(1);
  else data += "}";
  auto chunk = std::make_shared<const std::string>(std::string("event: ") + name + "\nid: " +
                                                   std::to_string(seq_) + "\ndata: " + data + "\n\n");
  feeds_.erase(std::remove_if(feeds_.begin(), feeds_.end(),
                              [&](const std::shared_ptr<Feed>& f) { return !f->Push(chunk); }),
               feeds_.end());
}

// ---- facts from MainLogic (UI thread) ----

json StationService::JobJson() const {
  const MainLogic& l = *logic_;
  const JobState& job = l.job;
  const StoredConfig& cfg = l.JobConfig();
  const int baudIndex = std::clamp(cfg.consoleBaudIndex, 0, 2);
  json j = {{"set", job.filesSelected},
            {"eeprom", (job.jobFlags & kJobEeprom) != 0},
            {"eepromFile", cfg.eepromPath},
            {"firmware", (job.jobFlags & kJobFirmware) != 0},
            {"firmwareFile", cfg.firmwarePath},
            {"loopback", job.loopbackTest == 1},
            {"programMac", job.programMac},
            {"assignMac", job.assignMac ? json(job.assignedMacText.size() >= 17
                                                   ? job.assignedMacText.substr(9)
                                                   : job.assignedMacText)
                                        : json(nullptr)},
            {"fastDownload", cfg.fastDownload},
            {"continuous", cfg.continuous},
            {"scanSerial", cfg.scanSerial},
            {"serialPattern", cfg.serialPattern},
            {"labelTemplate", cfg.labelTemplate},
            {"baud", std::stoi(SelectFilesLogic::kBaudItems[baudIndex])},
            {"log", job.logEnabled},
            {"logDir", job.logDirectory}};
  const StationMode mode = logic_->Mode();
  j["mode"] = mode == StationMode::Open         ? "open"
              : mode == StationMode::Engineer ? "engineer"
                                              : "production";
  j["modeText"] = logic_->ModeText();
  if (const JobPackage* p = l.Package()) {
    j["package"] = {{"name", p->name},       {"version", p->version}, {"sha256", p->sha256},
                    {"key", p->keyId},       {"path", p->path}};
  } else {
    j["package"] = nullptr;
  }
  return j;
}

StationService::UnitFacts StationService::UnitFactsOf(int k) const {
  std::lock_guard<std::mutex> lock(m_);
  return UnitFactsLocked(k);
}

StationService::UnitFacts StationService::UnitFactsLocked(int k) const {
  const size_t i = static_cast<size_t>(k);
  return UnitFacts{unitMac_[i], slotPassed_[i], slotFailed_[i]};
}

json StationService::PortJson(int k, const UnitFacts& unit) const {
  const MainLogic& l = *logic_;
  const Stage stage = l.stages.Get(k);
  const PortView& p = ports_[static_cast<size_t>(k)];
  const bool slots = l.runJob().continuous && l.RunLive();
  std::string verdict;
  if (slots && l.slotTable.Phase(k) == SlotPhase::Empty) {
    verdict = "waiting";
  } else {
    switch (l.Verdict(k)) {
      case PortVerdict::Running: verdict = l.RunLive() ? "running" : "idle"; break;
      case PortVerdict::Passed: verdict = "passed"; break;
      case PortVerdict::TemporaryMac: verdict = "temporary-mac"; break;
      case PortVerdict::Failed: verdict = "failed"; break;
      case PortVerdict::Unfinished: verdict = "unfinished"; break;
    }
  }
  json j = {{"port", k},
            {"name", PortName(k)},
            {"stage", static_cast<int>(stage)},
            {"stageName", StageName(stage)},
            {"status", p.status},
            {"verdict", verdict},
            {"cycle", l.runJob().continuous ? l.slotTable.Cycle(k) : 0},
            {"passed", unit.passed},
            {"failed", unit.failed}};
  j["progress"] = p.block > 0 ? json{{"block", p.block}, {"blocks", p.blocks}} : json(nullptr);
  j["mac"] = unit.mac;
  return j;
}

json StationService::StateFacts() {
  MainLogic& l = *logic_;
  json pool = nullptr;
  {
    std::string next, last;
    std::lock_guard<std::mutex> lock(l.macPool().Mutex());
    if (l.macPool().IsLoaded() && l.macPool().GetRange(&next, &last)) {
      pool = {{"next", next}, {"last", last}, {"describe", l.macPool().Describe()}};
    }
  }
  UnitCounts counts;
  if (ProductionRecorder* r = l.records()) counts = r->Counts();
  json serials = json::array();
  for (int k = 0; k < kMaxPorts; k++) {
    serials.push_back(l.unitGate() ? l.unitGate()->SerialOf(k) : std::string());
  }
  json j = {{"serials", serials},
            {"pool", pool},
            {"counters",
             {{"runPassed", counts.runPassed},
              {"runFailed", counts.runFailed},
              {"dayPassed", counts.todayKnown ? json(counts.todayPassed) : json(nullptr)},
              {"dayFailed", counts.todayKnown ? json(counts.todayFailed) : json(nullptr)}}}};
  return j;
}

std::string StationService::StateJsonLocked(const json& f) {
  MainLogic& l = *logic_;
  RefreshPortNames();
  json ports = json::array();
  for (size_t k = 0; k < portNumbers_.size(); k++) {
    ports.push_back(PortJson(static_cast<int>(k), UnitFactsLocked(static_cast<int>(k))));
    if (k < f["serials"].size()) ports.back()["serial"] = f["serials"][k];
  }
  json j = {{"api", 1},
            {"station", stationName_},
            {"seq", seq_},
            {"time", WallClockMs()},
            {"running", l.StartCaptionIsStop()},
            {"busy", l.RunLive()},
            {"mode", l.RunLive() ? (l.runJob().continuous ? "continuous" : "batch")
                                 : (l.JobConfig().continuous ? "continuous" : "batch")},
            {"job", JobJson()},
            {"pool", f["pool"]},
            {"macLine", macGrid_[0]},
            {"scanLine", macGrid_[2]},
            {"countsLine", macGrid_[1]},
            {"counters", f["counters"]},
            {"ports", ports},
            {"failures", failures_.empty() ? json::array() : json(failures_)}};
  return Dump(j);
}

// ---- requests ----

StationService::Right StationService::RightOf(const HttpRequest& request) const {
  if (!tokens_) return Right::Control;
  const std::string auth = request.Header("authorization");
  if (auth.size() < 7 || (auth.compare(0, 7, "Bearer ") != 0 && auth.compare(0, 7, "bearer ") != 0)) {
    return Right::None;
  }
  const std::string given = TrimLine(auth.substr(7));
  // Both compared, always: the time taken tells nothing of which one matched.
  const bool control = SameToken(given, controlToken_);
  const bool read = SameToken(given, readToken_);
  return control ? Right::Control : read ? Right::Read : Right::None;
}

HttpResponse StationService::Handle(const HttpRequest& request) {
  if (request.path.rfind("/api/", 0) != 0) {
    if (request.method != "GET" && request.method != "HEAD") {
      return Error(405, "only GET here", "method_not_allowed");
    }
    if (request.path == "/" || request.path == "/board") {
      HttpResponse r;
      r.status = 302;
      r.contentType = "text/plain";
      r.headers.emplace_back("Location", "/board/");
      return r;
    }
    return StaticFile(request.path);
  }
  const Right right = RightOf(request);
  if (right == Right::None) return Error(401, "a valid bearer token is needed", "unauthorized");
  try {
    return Api(request, right);
  } catch (const std::exception& e) {
    return Error(500, std::string("the service failed: ") + e.what(), "unavailable");
  }
}

HttpResponse StationService::Api(const HttpRequest& request, Right right) {
  const std::string& path = request.path;
  const std::string& method = request.method;
  const bool control = path == "/api/v1/start" || path == "/api/v1/stop" ||
                       path == "/api/v1/serial" || path == "/api/v1/package" ||
                       path == "/api/v1/engineer" || (path == "/api/v1/job" && method != "GET");
  if (control && right != Right::Control) {
    return Error(403, "this token may read the station, not give it commands", "forbidden");
  }
  if (path == "/api/v1/state" || path == "/api/v1/events" || path == "/api/v1/records") {
    if (method != "GET") return Error(405, "GET only", "method_not_allowed");
    if (path == "/api/v1/events") return Events();
    if (path == "/api/v1/records") return Records(request);
    HttpResponse response;
    if (!OnUi([&] {
          const json facts = StateFacts();
          std::lock_guard<std::mutex> lock(m_);
          response.body = StateJsonLocked(facts);
        }, &response)) {
      return response;
    }
    return response;
  }
  if (path == "/api/v1/job") {
    if (method == "GET") {
      HttpResponse response;
      if (!OnUi([&] { response.body = Dump(JobJson()); }, &response)) return response;
      return response;
    }
    if (method != "PUT" && method != "POST") return Error(405, "GET or PUT", "method_not_allowed");
    return SetUpJob(request.body);
  }
  if (path == "/api/v1/start" || path == "/api/v1/stop" || path == "/api/v1/serial") {
    if (method != "POST") return Error(405, "POST only", "method_not_allowed");
    if (path == "/api/v1/serial") return BindSerial(request.body);
    return path == "/api/v1/start" ? StartCommand() : StopCommand();
  }
  if (path == "/api/v1/package" || path == "/api/v1/engineer") {
    if (method != "POST" && method != "DELETE") return Error(405, "POST or DELETE", "method_not_allowed");
    return ApprovalCommand(path == "/api/v1/package", method == "DELETE", request.body);
  }
  return Error(404, "no such resource: " + path.substr(0, 100), "not_found");
}

HttpResponse StationService::ApprovalCommand(bool package, bool leave, const std::string& body) {
  // POST package {"path"}: load and verify a job package; DELETE package: leave it.
  // POST engineer {"password"}: engineer mode; DELETE engineer: back to production mode.
  std::string value;
  if (!leave) {
    json parsed;
    if (const std::optional<HttpResponse> bad = ObjectBody(body, &parsed)) return *bad;
    const char* field = package ? "path" : "password";
    for (const auto& [key, v] : parsed.items()) {
      if (key != field || !v.is_string()) {
        return Error(400, "unknown or mistyped field: " + key.substr(0, 40), "bad_request");
      }
      value = v.get<std::string>();
    }
    if (value.empty()) return Error(400, std::string("no ") + field, "bad_request");
  }
  HttpResponse response;
  if (!OnUi([&] {
        MainLogic& l = *logic_;
        std::string text;
        bool ok = true;
        if (package) {
          if (NotBetweenRuns("A run is going on: the job is changed before Start.", &response)) return;
          ok = leave ? l.LeavePackage("api", &text) : l.LoadPackage(value, "api", &text);
        } else if (leave) {
          l.LeaveEngineerMode("api");
        } else {
          ok = l.EnterEngineerMode(value, "api", &text);
        }
        if (!ok) {
          response = Error(package ? 422 : 403, text, "refused");
          return;
        }
        response = HttpResponse{};
        response.body = Dump(JobJson());
      }, &response)) {
    return response;
  }
  return response;
}

bool StationService::OnUi(const std::function<void()>& fn, HttpResponse* response) {
  // What the routine and its waiter share. The routine touches nothing else until it
  // knows its waiter is still there: it may run after the waiter gave up, even after
  // the service is gone.
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    bool started = false;
    bool done = false;
    bool cancelled = false;
    std::exception_ptr fault;
  };
  if (stopping_.load() || logic_ == nullptr) {
    *response = Error(503, "the station is closing", "unavailable");
    return false;
  }
  auto shared = std::make_shared<Shared>();
  const bool posted = ui_.Post([shared, &fn] {
    {
      std::lock_guard<std::mutex> lock(shared->m);
      if (shared->cancelled) return;
      shared->started = true;
    }
    try {
      fn();
    } catch (...) {
      shared->fault = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(shared->m);
    shared->done = true;
    shared->cv.notify_all();
  });
  if (!posted) {
    *response = Error(503, "this station takes no commands from the service", "unavailable");
    return false;
  }
  std::unique_lock<std::mutex> lock(shared->m);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandWaitMs);
  while (!shared->done) {
    const bool stopping = stopping_.load();
    if (!shared->started && (stopping || std::chrono::steady_clock::now() >= deadline)) {
      shared->cancelled = true;
      *response = stopping ? Error(503, "the station is closing", "unavailable")
                           : Error(503, "the station did not take the request in time", "busy");
      return false;
    }
    // Once started it runs to its end on the UI thread: it never waits for anyone (its
    // boxes are answered at once). Stop is looked at every 50 ms meanwhile.
    shared->cv.wait_for(lock, std::chrono::milliseconds(50));
  }
  if (shared->fault) std::rethrow_exception(shared->fault);
  return true;
}

HttpResponse StationService::Events() {
  auto feed = std::make_shared<Feed>();
  HttpResponse response;
  bool refused = false;
  if (!OnUi([&] {
        const json facts = StateFacts();
        std::lock_guard<std::mutex> lock(m_);
        feeds_.erase(std::remove_if(feeds_.begin(), feeds_.end(),
                                    [](const std::shared_ptr<Feed>& f) { return f->Gone(); }),
                     feeds_.end());
        if (feeds_.size() >= kMaxSubscribers) {
          refused = true;
          return;
        }
        // The state and the registration under one lock, on the UI thread: the first event
        // after the state is the next board call, none lost and none twice.
        const std::string state = StateJsonLocked(facts);
        feed->Push(std::make_shared<const std::string>("event: state\nid: " + std::to_string(seq_) +
                                                       "\ndata: " + state + "\n\n"));
        feeds_.push_back(feed);
      }, &response)) {
    return response;
  }
  if (refused) {
    return Error(503, "too many event subscribers (" + std::to_string(kMaxSubscribers) + ")", "busy");
  }
  response.status = 200;
  response.contentType = "text/event-stream";
  response.body = "retry: 2000\n\n";
  response.feed = feed;
  return response;
}

// ---- commands ----

namespace {

// The job dialog, remembering whether it closed with OK.
class RecordingDialog final : public JobDialog {
 public:
  explicit RecordingDialog(JobDialog& inner) : inner_(inner) {}
  bool ShowModal() override {
    accepted = inner_.ShowModal();
    return accepted;
  }
  bool accepted = false;

 private:
  JobDialog& inner_;
};

bool GoodText(const std::string& text, size_t maxBytes) {
  if (text.size() > maxBytes) return false;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

// The job fields of a PUT body as the dialog's control settings; false with *error set.
bool JobOptionsFrom(const json& body, HeadlessJobOptions* o, std::string* error) {
  if (!body.is_object()) {
    *error = "the job must be a JSON object";
    return false;
  }
  static const char* const kBools[] = {"eeprom",     "firmware", "loopback", "programMac",
                                       "fastDownload", "continuous", "log",   "set",
                                       "scanSerial"};
  static const char* const kTexts[] = {"eepromFile", "firmwareFile", "logDir", "serialPattern",
                                       "labelTemplate"};
  for (auto it = body.begin(); it != body.end(); ++it) {
    const std::string& key = it.key();
    const json& v = it.value();
    // What GET shows of the station's mode and package is no job setting: a body taken
    // from GET may carry it back.
    if (key == "mode" || key == "modeText" || key == "package") continue;
    const bool isBool = std::find_if(std::begin(kBools), std::end(kBools), [&](const char* k) {
                          return key == k;
                        }) != std::end(kBools);
    const bool isText = std::find_if(std::begin(kTexts), std::end(kTexts), [&](const char* k) {
                          return key == k;
                        }) != std::end(kTexts);
    if (isBool) {
      if (!v.is_boolean()) {
        *error = "'" + key + "' must be true or false";
        return false;
      }
    } else if (isText) {
      if (!v.is_string() || !GoodText(v.get<std::string>(), StoredConfig::kLongField)) {
        *error = "'" + key + "' must be a text of at most " +
                 std::to_string(StoredConfig::kLongField) + " bytes without control characters";
        return false;
      }
    } else if (key == "assignMac") {
      if (!v.is_null() && !v.is_string()) {
        *error = "'assignMac' must be HH:HH:HH or null";
        return false;
      }
    } else if (key == "baud") {
      if (!v.is_number_integer()) {
        *error = "'baud' must be 115200, 57600 or 38400";
        return false;
      }
    } else {
      *error = "unknown field '" + key.substr(0, 40) + "'";
      return false;
    }
  }
  auto flag = [&](const char* key, std::optional<bool>* target) {
    if (body.contains(key)) *target = body[key].get<bool>();
  };
  flag("eeprom", &o->eeprom);
  flag("firmware", &o->firmware);
  flag("loopback", &o->loopback);
  flag("programMac", &o->programMac);
  flag("fastDownload", &o->fastDownload);
  flag("continuous", &o->continuous);
  flag("log", &o->log);
  flag("scanSerial", &o->scanSerial);
  if (body.contains("serialPattern")) o->serialPattern = body["serialPattern"].get<std::string>();
  if (body.contains("labelTemplate")) o->labelTemplate = body["labelTemplate"].get<std::string>();
  auto text = [&](const char* key, std::optional<bool>* on, std::optional<std::string>* target) {
    if (!body.contains(key)) return true;
    if (on->has_value() && !**on) {
      *error = std::string("'") + key + "' given with its step off";
      return false;
    }
    *on = true;
    *target = body[key].get<std::string>();
    return true;
  };
  if (!text("eepromFile", &o->eeprom, &o->eepromFile)) return false;
  if (!text("firmwareFile", &o->firmware, &o->firmwareFile)) return false;
  if (!text("logDir", &o->log, &o->logDir)) return false;
  if (body.contains("baud")) {
    const int idx = HeadlessJobOptions::BaudIndexFromText(std::to_string(body["baud"].get<int64_t>()));
    if (idx < 0) {
      *error = "'baud' must be 115200, 57600 or 38400";
      return false;
    }
    o->baudIndex = idx;
  }
  if (body.contains("assignMac") && body["assignMac"].is_string()) {
    const std::string v = body["assignMac"].get<std::string>();
    const std::string full = "02:5C:3A:" + v;
    MacAddress parsed{};
    if (v.size() != 8 || v[2] != ':' || v[5] != ':' ||
        MacPool::ParseMac(full.c_str(), full.size(), &parsed) != 0) {
      *error = "'assignMac' wants HH:HH:HH (hex digits), not '" + v.substr(0, 20) + "'";
      return false;
    }
    if (o->programMac.has_value() && !*o->programMac) {
      *error = "'assignMac' given with programMac false";
      return false;
    }
    o->programMac = true;
    o->assignMac = v;
  }
  return true;
}

}  // namespace

bool StationService::NotBetweenRuns(const char* duringRun, HttpResponse* response) {
  // The window takes these commands only with no dialog open and no run going on.
  if (logic_->JobDialogOpen()) {
    *response = Error(409, "The job dialog is open on the station.", "refused");
  } else if (logic_->StartCaptionIsStop()) {
    *response = Error(409, duringRun, "refused");
  } else {
    return false;
  }
  return true;
}

StationService::CommandBoxes::Box StationService::Captured(const std::function<void()>& fn) {
  std::vector<CommandBoxes::Box> boxes;
  boxes_.capture = &boxes;
  try {
    fn();
  } catch (...) {
    boxes_.capture = nullptr;
    throw;
  }
  boxes_.capture = nullptr;
  for (const CommandBoxes::Box& b : boxes) {
    if (!b.question) return b;
  }
  return CommandBoxes::Box{};
}

HttpResponse StationService::SetUpJob(const std::string& body) {
  if (TooDeep(body)) return Error(400, "the job is nested too deeply", "bad_request");
  json parsed;
  try {
    parsed = json::parse(body);
  } catch (const json::exception&) {
    return Error(400, "the body is not JSON", "bad_request");
  }
  HeadlessJobOptions options;
  std::string error;
  if (!JobOptionsFrom(parsed, &options, &error)) return Error(400, error, "bad_request");
  HttpResponse response;
  if (!OnUi([&] {
        MainLogic& l = *logic_;
        if (NotBetweenRuns("A run is going on: the job is set up before Start.", &response)) return;
        std::string why;
        if (!l.RequestJobChange("the job set up through the service", "api", &why)) {
          response = Error(409, why, "refused");
          return;
        }
        bool accepted = false;
        const CommandBoxes::Box refusal = Captured([&] {
          const std::unique_ptr<SelectFilesLogic> dialogLogic = l.NewJobDialogLogic();
          HeadlessJobDialog dialog(*dialogLogic, options);
          RecordingDialog recording(dialog);
          l.selectFileBtnClick(recording, "api");
          accepted = recording.accepted;
        });
        if (!refusal.text.empty()) {
          response = Error(422, refusal.text, "refused", refusal.caption);
        } else if (!accepted) {
          response = Error(422, "the job dialog did not accept these settings", "refused");
        } else if (!l.job.filesSelected) {
          response = Error(422, "no job was set up: " + macGrid_[0], "refused");
        } else {
          response = HttpResponse{};
          response.body = Dump(JobJson());
        }
      }, &response)) {
    return response;
  }
  return response;
}

HttpResponse StationService::StartCommand() {
  HttpResponse response;
  if (!OnUi([&] {
        MainLogic& l = *logic_;
        if (NotBetweenRuns("A run is going on (Stop ends it).", &response)) return;
        const CommandBoxes::Box refusal = Captured([&] { l.Btn_StartClick(); });
        if (!refusal.text.empty()) {
          response = Error(409, refusal.text, "refused", refusal.caption);
          return;
        }
        if (!l.StartCaptionIsStop()) {
          response = Error(409, "Start was refused (the message log says why)", "refused");
          return;
        }
        response = JsonResponse(202, {{"running", true}});
      }, &response)) {
    return response;
  }
  return response;
}

HttpResponse StationService::BindSerial(const std::string& body) {
  json parsed;
  if (const std::optional<HttpResponse> bad = ObjectBody(body, &parsed)) return *bad;
  std::string port, serial;
  bool rework = false;
  for (const auto& [key, value] : parsed.items()) {
    if (key == "port" && value.is_string()) {
      port = value.get<std::string>();
    } else if (key == "serial" && value.is_string()) {
      serial = value.get<std::string>();
    } else if (key == "rework" && value.is_boolean()) {
      rework = value.get<bool>();
    } else {
      return Error(400, "unknown or mistyped field: " + key.substr(0, 40), "bad_request");
    }
  }
  if (serial.empty()) return Error(400, "no serial", "bad_request");
  HttpResponse response;
  if (!OnUi([&] {
        bool ok = false;
        const std::string text = logic_->BindSerial(port, serial, rework, &ok);
        response = ok ? JsonResponse(200, {{"bound", true}, {"text", text}})
                      : Error(logic_->unitGate() && logic_->RunLive() ? 422 : 409, text, "refused");
      }, &response)) {
    return response;
  }
  return response;
}

HttpResponse StationService::StopCommand() {
  HttpResponse response;
  if (!OnUi([&] {
        MainLogic& l = *logic_;
        if (!l.StartCaptionIsStop()) {
          response = Error(409, "No run is going on.", "refused");
          return;
        }
        // The window's Stop: its question is answered Yes, the caller asked for it.
        Captured([&] { l.Btn_StartClick(); });
        response = JsonResponse(202, {{"running", l.StartCaptionIsStop()}, {"stopping", true}});
      }, &response)) {
    return response;
  }
  return response;
}

// ---- records ----

HttpResponse StationService::Records(const HttpRequest& request) {
  RecordFilter filter;
  std::optional<int64_t> from, to, cycle, limit;
  if (!QueryNumber(request, "from", &from) || !QueryNumber(request, "to", &to) ||
      !QueryNumber(request, "cycle", &cycle) || !QueryNumber(request, "limit", &limit)) {
    return Error(400, "from, to, cycle and limit are numbers", "bad_request");
  }
  filter.fromMs = from;
  filter.toMs = to;
  if (cycle) filter.cycle = static_cast<int>(std::clamp<int64_t>(*cycle, 0, 1 << 30));
  request.QueryValue("station", &filter.station);
  request.QueryValue("mac", &filter.mac);
  request.QueryValue("verdict", &filter.verdict);
  if (!GoodText(filter.station, 200) || !GoodText(filter.mac, 40) || !GoodText(filter.verdict, 20)) {
    return Error(400, "a filter is too long", "bad_request");
  }
  const size_t max = limit ? static_cast<size_t>(std::clamp<int64_t>(*limit, 1, kMaxRecords)) : 1000;
  std::string notInBuild;
  if (settings_.Get("records") != "postgresql" && settings_.Get("records") != "off" &&
      SqliteRecordStore::InThisBuild(&notInBuild) &&
      !FileExists(RecordsFilePath(settings_, dataDir_))) {
    // The embedded database is made with the first record: none yet.
    return JsonResponse(200, {{"records", json::array()}, {"truncated", false}});
  }
  std::string problem;
  std::unique_ptr<RecordStore> store = MakeStationRecordStore(settings_, dataDir_, &problem);
  if (!store) {
    return Error(503, problem.empty() ? "this station keeps no production records" : problem,
                 "unavailable");
  }
  std::string error;
  if (!store->Open(false, &error)) return Error(503, error, "unavailable");
  json records = json::array();
  bool truncated = false;
  const bool ok = store->Read(filter, [&](const UnitRecord& r) {
    if (records.size() >= max) {
      truncated = true;
      return false;
    }
    records.push_back(UnitJson(r, nullptr));
    return true;
  }, &error);
  store->Close();
  if (!ok) return Error(503, error, "unavailable");
  return JsonResponse(200, {{"records", records}, {"truncated", truncated}});
}

// ---- the line board page ----

HttpResponse StationService::StaticFile(const std::string& path) const {
  std::string name = path;
  if (name.rfind("/board/", 0) != 0) return Error(404, "not found", "not_found");
  name = name.substr(7);
  if (name.empty()) name = "index.html";
  const EmbeddedFile* file = FindBoardFile(name);
  if (file == nullptr) return Error(404, "not found", "not_found");
  HttpResponse r;
  r.contentType = file->contentType;
  r.body.assign(reinterpret_cast<const char*>(file->data), file->size);
  r.headers.emplace_back("X-Content-Type-Options", "nosniff");
  r.headers.emplace_back("Content-Security-Policy",
                         "default-src 'self'; style-src 'self'; script-src 'self'; img-src 'self' data:");
  return r;
}
