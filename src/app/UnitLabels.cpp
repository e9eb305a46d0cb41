// Labels on Linux: the label subsystem renders, the printer's TCP port and the print
// spooler take them.
#include "app/UnitLabels.h"

#include <cstdio>

#include "base/StationSettings.h"
#include "labels/Label.h"
#include "labels/LabelImage.h"
#include "labels/LabelOutput.h"
#include "platform/Host.h"
#include "platform/Paths.h"
#include "records/RecordText.h"

bool LabelSettingsFrom(const StationSettings& settings, const std::string& dataDir,
                       const std::string& templatePath, LabelSettings* out, std::string* error) {
  LabelSettings s;
  s.templatePath = templatePath;
  s.printer = settings.Get("label-printer");
  s.lpQueue = settings.Get("label-queue");
  s.folder = settings.Get("label-folder", dataDir + "/labels");
  if (!s.printer.empty()) {
    uint32_t ip = 0;
    uint16_t port = 0;
    std::string why;
    if (!ParsePrinterAddress(s.printer, &ip, &port, &why)) {
      *error = "station.conf: label-printer: " + why;
      return false;
    }
  }
  if (!s.lpQueue.empty() && s.lpQueue[0] == '-') {
    *error = "station.conf: label-queue: a queue name cannot start with '-'";
    return false;
  }
  *out = s;
  return true;
}

namespace {

// "12-34" from a port and a cycle, for a file name: only letters, digits and '-'.
std::string FilePart(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    out += plain ? c : '-';
  }
  return out;
}

class LinuxLabels final : public UnitLabels {
 public:
  LinuxLabels(const LabelSettings& settings, Network& net) : settings_(settings), net_(net) {}

  bool Load(std::string* error) override {
    if (!LoadLabelTemplate(settings_.templatePath, &tpl_, error)) {
      *error = settings_.templatePath + ": " + *error;
      return false;
    }
    const int e = MakeDirectory(settings_.folder);
    if (e != 0) {
      *error = settings_.folder + ": cannot create the label folder: error " + std::to_string(e);
      return false;
    }
    return true;
  }

  std::vector<UnitEvent> Print(const UnitRecord& record, const char* kind) override {
    const UnitEvent base = EventOfUnit(record, kind);
    std::vector<UnitEvent> events;
    auto add = [&](const std::string& where, bool ok, const std::string& text) {
      UnitEvent e = base;
      e.where = where;
      e.ok = ok;
      e.text = text;
      e.atMs = WallClockMs();
      events.push_back(std::move(e));
    };

    LabelData data;
    data.mac = record.mac;
    data.serial = record.serial;
    data.fields["station"] = record.station;
    const std::string ended = record.endedMs ? FormatUtcMs(*record.endedMs) : "";
    data.fields["date"] = ended.substr(0, 10);
    std::string error, zpl;
    if (!NormalizeLabelData(&data, &error) || !RenderZpl(tpl_, data, &zpl, &error)) {
      add("label", false, error);
      return events;
    }
    // The PNG is kept whatever else the station prints on: it is the label as made.
    const std::string png = settings_.folder + "/" + FilePart(record.runId) + "_" +
                            FilePart(record.port) + "_" + std::to_string(record.cycle) + "_" +
                            kind + ".png";
    const bool pngOk = WriteLabelPng(data, png, &error);
    add(png, pngOk, pngOk ? "written" : error);
    std::string message;
    if (!settings_.printer.empty()) {
      const bool ok =
          SendZpl(net_, settings_.printer, zpl, settings_.timeoutMs, settings_.timeoutMs, &message);
      add(settings_.printer, ok, message);
    }
    if (!settings_.lpQueue.empty() && pngOk) {
      const bool ok = PrintWithLp(settings_.lpQueue, png, settings_.timeoutMs, &message);
      add("lp " + settings_.lpQueue, ok, message);
    }
    return events;
  }

 private:
  LabelSettings settings_;
  Network& net_;
  LabelTemplate tpl_;
};

}  // namespace

std::unique_ptr<UnitLabels> NewUnitLabels(const LabelSettings& settings, Network& net) {
  return std::make_unique<LinuxLabels>(settings, net);
}
