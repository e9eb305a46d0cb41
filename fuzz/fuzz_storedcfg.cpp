// storedCfg.txt reader: any bytes load without overflow, every field stays within
// its limit, and what Save writes reads back to the same fields and the same text. A
// file that loaded cleanly loads cleanly again; a bad "Number:" value is kept by the
// save, so such a file may fail the load again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "job/Logcfg.h"

namespace {

// The fuzzer's own directory, removed again at exit (kept in a plain array, which
// outlives every exit handler).
char g_dir[64];

void RemoveDir() {
  unlink((std::string(g_dir) + "/storedCfg.txt").c_str());
  rmdir(g_dir);
}

std::string Dir() {
  if (!g_dir[0]) {
    // tmpfs when there is one: every save and write-back is synced to disk.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(g_dir, sizeof g_dir, "%s/fuzz_storedcfg_XXXXXX", base);
    if (!mkdtemp(g_dir)) std::abort();
    std::atexit(RemoveDir);
  }
  return g_dir;
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void CheckLimits(const StoredConfig& c) {
  Check(c.vendor.size() <= StoredConfig::kShortField);
  Check(c.number.size() <= StoredConfig::kShortField);
  Check(c.serverIp.size() <= StoredConfig::kShortField);
  Check(c.loader.size() <= StoredConfig::kLongField);
  Check(c.eepromPath.size() <= StoredConfig::kLongField);
  Check(c.firmwarePath.size() <= StoredConfig::kLongField);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Dir() + "/storedCfg.txt";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  StoredConfig cfg(Dir(), "storedCfg.txt");
  int r = cfg.Load();
  Check(r == 0 || r == -1);
  CheckLimits(cfg);

  Check(cfg.Save() == 0);
  StoredConfig again(Dir(), "storedCfg.txt");
  const int r2 = again.Load();
  Check(r2 == 0 || r == -1);
  Check(again.Compose() == cfg.Compose());
  Check(again.vendor == cfg.vendor && again.number == cfg.number &&
        again.serverIp == cfg.serverIp && again.loader == cfg.loader &&
        again.eepromPath == cfg.eepromPath && again.firmwarePath == cfg.firmwarePath &&
        again.consoleBaudIndex == cfg.consoleBaudIndex);
  return 0;
}
