#include "app/StationSetup.h"

#include "app/MainLogic.h"
#include "job/Logmac.h"
#include "records/RecordsSetup.h"

namespace {

// A pool that can never be loaded: the station was told to use a pool it cannot.
// Every load says why in the message log (the job set-up clears the log first).
class UnusableMacPool final : public MacPool {
 public:
  UnusableMacPool(std::string why, int code, MainLogic& logic)
      : why_(std::move(why)), code_(code), logic_(logic) {}
  int Load() override {
    logic_.AppendMessage(std::string(StationSettings::kFileName) + ": " + why_);
    return code_;
  }
  void Close() override {}
  bool IsLoaded() const override { return false; }
  bool IsAvailable() const override { return false; }
  bool GetRange(std::string*, std::string*) const override { return false; }
  int TakeNext(MacAddress* address) override {
    (*address)[0] = 0xFF;
    return -1;
  }
  int GetAssignState(std::string*) const override { return -1; }
  std::string Describe() const override { return "none"; }

 private:
  std::string why_;
  int code_;
  MainLogic& logic_;
};

}  // namespace

std::unique_ptr<MacPool> UnusablePool(const std::string& why, MainLogic& logic, int code) {
  return std::make_unique<UnusableMacPool>(why, code == 0 ? -1 : code, logic);
}

std::string NotUnderstoodText(const StationSettings& settings) {
  (void)settings;
  return "not understood whole (see the lines before), so no job is set up and no MAC address "
         "is taken until it is mended";
}

void ApplyStationSettings(MainLogic& logic, const StationSettings& settings,
                          const std::string& dataDir) {
  // A file not understood whole may name another pool than the one meant: none is used.
  if (settings.FailureCode() != 0) {
    logic.SetMacPool(UnusablePool(NotUnderstoodText(settings), logic, settings.FailureCode()));
    return;
  }
  const std::string kind = settings.Get("pool", "file");
  if (kind == "file") {
    auto pool = std::make_unique<FileMacPool>(dataDir, "storedMAC.txt");
    pool->SetMessageSink([&logic](const std::string& text) { logic.AppendMessage(text); });
    logic.SetMacPool(std::move(pool));
    return;
  }
  if (kind != "postgresql") {
    logic.SetMacPool(
        UnusablePool("pool \"" + kind + "\" is not known (file or postgresql)", logic));
    return;
  }
  const std::string database = settings.Get("database");
  if (database.empty()) {
    logic.SetMacPool(UnusablePool("pool postgresql needs database = <connection string>", logic));
    return;
  }
  logic.SetMacPool(FactoryPool(database, StationNameOf(settings), logic, dataDir));
}

std::unique_ptr<RecordStore> MakeStationRecordStore(const StationSettings& settings,
                                                    const std::string& dataDir,
                                                    std::string* problem) {
  if (settings.Get("records") != "postgresql") return MakeRecordStore(settings, dataDir, problem);
  const std::string database = settings.Get("database");
  if (database.empty()) {
    *problem = std::string(StationSettings::kFileName) +
               ": records postgresql needs database = <connection string>; no records are kept";
    return nullptr;
  }
  return FactoryRecordStore(database, problem);
}
