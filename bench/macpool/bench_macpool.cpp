// Allocation latency of the MAC pools with four stations contending: the file pool
// (each station its own storedMAC.txt, synced per address, all on one disk) and the
// factory pool (one block in one PostgreSQL database, one connection per station, a
// committed transaction per address). Prints the median and the 99th percentile of
// TakeNext, and the addresses handed out per second by all stations together.
//
//   scripts/pgtest.sh -- build/normal/bench/bench_macpool [TAKES_PER_STATION]
//
// Built with a permitted block of 04:22:D1 and the 4095 addresses after it.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "factorydb/FactorySchema.h"
#include "factorydb/PgMacPool.h"
#include "job/Logmac.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStations = 4;

struct Figures {
  double medianMs = 0, p99Ms = 0, perSecond = 0;
  size_t taken = 0, distinct = 0;
};

// Runs kStations threads, each taking `takes` addresses from its own pool object.
Figures Contend(const std::vector<std::unique_ptr<MacPool>>& pools, int takes) {
  std::vector<std::vector<double>> ms(pools.size());
  std::vector<std::vector<uint32_t>> got(pools.size());
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (size_t s = 0; s < pools.size(); ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < takes; ++i) {
        MacAddress a{};
        const auto t = Clock::now();
        const int rc = pools[s]->TakeNextFor("COM" + std::to_string(i % 16 + 1), "bench", &a);
        ms[s].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        if (rc == 0) got[s].push_back(Low24(a));
      }
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  std::set<uint32_t> distinct;
  Figures f;
  for (size_t s = 0; s < pools.size(); ++s) {
    all.insert(all.end(), ms[s].begin(), ms[s].end());
    f.taken += got[s].size();
    distinct.insert(got[s].begin(), got[s].end());
  }
  std::sort(all.begin(), all.end());
  f.medianMs = all[all.size() / 2];
  f.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  f.perSecond = static_cast<double>(f.taken) / seconds;
  f.distinct = distinct.size();
  return f;
}

void Print(const char* name, const Figures& f) {
  std::printf("%-34s %8.2f ms %8.2f ms %10.0f/s   %zu taken, %zu distinct\n", name, f.medianMs,
              f.p99Ms, f.perSecond, f.taken, f.distinct);
}

}  // namespace

int main(int argc, char** argv) {
  const int takes = argc > 1 ? std::atoi(argv[1]) : 250;
  if (takes < 1 || takes * (kStations + 1) > 4000) {
    std::fprintf(stderr, "bench_macpool: 1 to %d takes per station\n", 4000 / (kStations + 1));
    return 2;
  }
  std::printf("%d stations, %d addresses each\n", kStations, takes);
  std::printf("%-34s %11s %11s %12s\n", "pool", "median", "p99", "throughput");

  // The file pool: each station its own file and its own part of the block.
  char tmpl[] = "/tmp/pt_bench_macpool_XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) return 1;
  std::vector<std::unique_ptr<MacPool>> files;
  for (int s = 0; s < kStations; ++s) {
    const std::string sub = std::string(dir) + "/st" + std::to_string(s);
    const uint32_t first = MacBlockFirst + static_cast<uint32_t>(s * takes);
    const uint32_t last = first + static_cast<uint32_t>(takes) - 1;
    char text[64];
    std::snprintf(text, sizeof text, "02:5C:3A:%02X:%02X:%02X\r\n02:5C:3A:%02X:%02X:%02X\r\n",
                  first >> 16, (first >> 8) & 0xFF, first & 0xFF, last >> 16, (last >> 8) & 0xFF,
                  last & 0xFF);
    const std::string cmd = "mkdir -p " + sub;
    if (std::system(cmd.c_str()) != 0) return 1;
    if (FILE* f = std::fopen((sub + "/storedMAC.txt").c_str(), "wb")) {
      std::fputs(text, f);
      std::fclose(f);
    }
    auto pool = std::make_unique<FileMacPool>(sub, "storedMAC.txt");
    if (pool->Load() != 0) {
      std::fprintf(stderr, "bench_macpool: file pool %s not loaded\n", sub.c_str());
      return 1;
    }
    files.push_back(std::move(pool));
  }
  Print("file (storedMAC.txt, fsync)", Contend(files, takes));
  files.clear();
  const std::string rm = std::string("rm -rf ") + dir;
  if (std::system(rm.c_str()) != 0) return 1;

  // The factory pool: one block, one database.
  const char* admin = std::getenv("PGT_ADMIN");
  if (!admin) {
    std::fprintf(stderr, "bench_macpool: run through scripts/pgtest.sh for the database\n");
    return 1;
  }
  const std::string name = "bench" + std::to_string(::getpid());
  PgLink owner(admin, "bench", 10000);
  if (owner.Connect(PgLink::In(10000)) != 0 ||
      owner.ExecScript("CREATE DATABASE " + name, PgLink::In(10000)) != 0) {
    std::fprintf(stderr, "bench_macpool: %s\n", owner.Error().c_str());
    return 1;
  }
  const std::string db = std::string(admin) + " dbname=" + name;
  PgLink link(db, "bench", 10000);
  factorydb::Block block{"bench", 0x025C3A, MacBlockFirst, MacBlockLast, 0};
  std::string why;
  if (link.Connect(PgLink::In(10000)) != 0 || factorydb::CreateSchema(link, PgLink::In(10000)) ||
      factorydb::DefineBlock(link, block, &why, PgLink::In(10000)) != 0) {
    std::fprintf(stderr, "bench_macpool: %s %s\n", link.Error().c_str(), why.c_str());
    return 1;
  }
  PgRows rows;
  link.Exec("SHOW fsync", {}, &rows, PgLink::In(10000));
  const std::string fsync = rows.rows.empty() ? "?" : rows.rows[0][0];
  {
    // For comparison: one station alone on the database.
    std::vector<std::unique_ptr<MacPool>> alone;
    alone.push_back(std::make_unique<PgMacPool>(db, "alone"));
    if (alone[0]->Load() != 0) return 1;
    Print("PostgreSQL, one station alone", Contend(alone, takes));
  }
  std::vector<std::unique_ptr<MacPool>> shared;
  for (int s = 0; s < kStations; ++s) {
    auto pool = std::make_unique<PgMacPool>(db, "st" + std::to_string(s));
    if (pool->Load() != 0) {
      std::fprintf(stderr, "bench_macpool: factory pool not loaded\n");
      return 1;
    }
    shared.push_back(std::move(pool));
  }
  const Figures pg = Contend(shared, takes);
  Print(("PostgreSQL (one block, fsync " + fsync + ")").c_str(), pg);
  link.Exec("SELECT next_low - first_low FROM mac_block", {}, &rows, PgLink::In(10000));
  std::printf("block advanced by %s for %zu taken\n",
              rows.rows.empty() ? "?" : rows.rows[0][0].c_str(),
              pg.taken + static_cast<size_t>(takes));
  return pg.distinct == pg.taken ? 0 : 1;
}
