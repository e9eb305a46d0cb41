#include "app/StationSetup.h"

#include "app/MainLogic.h"
#include "job/Logmac.h"
#include "records/RecordsSetup.h"

namespace {

// A pool that can never be loaded: the station was told to use a pool it cannot.
// Every load says why in the message log (the job set-up clears the log first).
class UnusableMacPool final : public MacPool {
 public:
  UnusableMacPool(std::string why, MainLogic& logic) : why_(std::move(why)), logic_(logic) {}
  int Load() override {
    logic_.AppendMessage(std::string(StationSettings::kFileName) + ": " + why_);
    return -1;
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
  MainLogic& logic_;
};

}  // namespace

std::unique_ptr<MacPool> UnusablePool(const std::string& why, MainLogic& logic) {
  return std::make_unique<UnusableMacPool>(why, logic);
}

void ApplyStationSettings(MainLogic& logic, const StationSettings& settings,
                          const std::string& dataDir) {
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
  logic.SetMacPool(FactoryPool(database, StationNameOf(settings), logic));
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
