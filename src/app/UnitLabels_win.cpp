// The Windows build has no label subsystem: a job that names a label template is
// refused at Start.
#include "app/UnitLabels.h"

#include "base/StationSettings.h"

bool LabelSettingsFrom(const StationSettings&, const std::string&, const std::string&,
                       LabelSettings* out, std::string*) {
  *out = LabelSettings{};
  return true;
}

namespace {
class NoLabels final : public UnitLabels {
 public:
  bool Load(std::string* error) override {
    *error = "labels are not part of this build";
    return false;
  }
  std::vector<UnitEvent> Print(const UnitRecord&, const char*) override { return {}; }
};
}  // namespace

std::unique_ptr<UnitLabels> NewUnitLabels(const LabelSettings&, Network&) {
  return std::make_unique<NoLabels>();
}
