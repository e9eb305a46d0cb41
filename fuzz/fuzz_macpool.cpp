// storedMAC.txt parser: any bytes load or fail cleanly; a loaded pool answers
// consistently, and a taken address rewrites exactly the first 18 bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "job/Logmac.h"

namespace {

// The fuzzer's own directory, removed again at exit (kept in a plain array, which
// outlives every exit handler).
char g_dir[64];

void RemoveDir() {
  unlink((std::string(g_dir) + "/storedMAC.txt").c_str());
  rmdir(g_dir);
}

std::string Dir() {
  if (!g_dir[0]) {
    // tmpfs when there is one: every save and write-back is synced to disk.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(g_dir, sizeof g_dir, "%s/fuzz_macpool_XXXXXX", base);
    if (!mkdtemp(g_dir)) std::abort();
    std::atexit(RemoveDir);
  }
  return g_dir;
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string ReadAll(const std::string& path) {
  std::string out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MacAddress parsed{};
  MacPool::ParseMac(reinterpret_cast<const char*>(data), size, &parsed);

  const std::string path = Dir() + "/storedMAC.txt";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  FileMacPool pool(Dir(), "storedMAC.txt");
  int r = pool.Load();
  Check(r == 0 || r == -1);
  Check(pool.IsLoaded() == (r == 0));
  if (r != 0) {
    Check(!pool.IsAvailable());
    return 0;
  }
  Check(size >= 36 && size <= 38);
  std::string next, last, text;
  bool avail = pool.IsAvailable();
  Check(pool.GetRange(&next, &last) == avail);
  int state = pool.GetAssignState(&text);
  if (avail) Check(state == 0 && next.size() == 17 && last.size() == 17);

  const std::string before(reinterpret_cast<const char*>(data), size);
  MacAddress a{};
  int t = pool.TakeNext(&a);
  if (!avail) {
    Check(t == -1 && a[0] == 0xFF);
    Check(ReadAll(path) == before);
    return 0;
  }
  Check(t == 0);
  Check(FormatMac(a) == next);
  const std::string after = ReadAll(path);
  Check(after.size() == before.size());
  Check(after.compare(0, 17, FormatMac(pool.nextAddress)) == 0 && after[17] == '\0');
  Check(after.compare(18, std::string::npos, before, 18, std::string::npos) == 0);
  pool.Close();
  pool.Close();
  return 0;
}
