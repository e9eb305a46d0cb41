// Takes addresses from a pool until none is left: macpool_taker DIR [FILE].
// Prints each address on its own line only after TakeNext returned 0 (one write()
// per line, so a kill never leaves half a line). Exit 0: used up; 2: take failed;
// 3: load failed.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "job/Logmac.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: macpool_taker DIR [FILE]\n");
    return 64;
  }
  FileMacPool pool(argv[1], argc > 2 ? argv[2] : "storedMAC.txt");
  if (pool.Load() != 0) {
    std::fprintf(stderr, "load failed\n");
    return 3;
  }
  for (;;) {
    MacAddress a{};
    int r = pool.TakeNext(&a);
    if (r == -1) return 0;
    if (r != 0) {
      std::fprintf(stderr, "take failed: %d\n", r);
      return 2;
    }
    std::string line = FormatMac(a) + "\n";
    if (write(1, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 4;
  }
}
