// Job package verification time: a package with a 1 MB firmware image and a 1024-byte
// EEPROM image, verified from its file (read once, signature, manifest, digests) and
// from bytes already in memory, and the Ed25519 check alone. Prints the fastest, the
// median and the slowest of the runs, in milliseconds (on a busy machine the fastest
// is the one to compare).
//
//   bench_jobpkg [--firmware BYTES] [--runs N]      (defaults: 1048576, 50)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "jobpkg/JobKeys.h"
#include "jobpkg/JobPackage.h"
#include "platform/fake/TempDir.h"

namespace {

void Report(const char* what, int runs, const std::function<bool()>& run) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!run()) {
      std::fprintf(stderr, "bench_jobpkg: %s failed\n", what);
      std::exit(1);
    }
    ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-34s fastest %7.3f ms   median %7.3f ms   slowest %7.3f ms\n", what, ms.front(),
              ms[ms.size() / 2], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  size_t firmwareBytes = 1 << 20;
  int runs = 50;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--firmware") == 0)
      firmwareBytes = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  if (runs < 1) runs = 1;
  TempDir dir("bench_jobpkg");
  std::string firmware(firmwareBytes, '\0');
  for (size_t i = 0; i < firmware.size(); ++i)
    firmware[i] = static_cast<char>((i * 2654435761u) >> 13);
  dir.Write("fw.bin", firmware);
  dir.Write("ee.bin", std::string(1024, 'e'));
  SigningKey key;
  std::string error;
  if (!GenerateSigningKey(&key, &error)) {
    std::fprintf(stderr, "bench_jobpkg: %s\n", error.c_str());
    return 1;
  }
  JobPackageSpec spec;
  spec.name = "bench";
  spec.version = "1";
  spec.steps.eeprom = spec.steps.firmware = spec.steps.loopback = true;
  spec.steps.programMac = MacSource::Pool;
  spec.eepromPath = dir.File("ee.bin");
  spec.firmwarePath = dir.File("fw.bin");
  const std::string path = dir.File("bench.pkg");
  if (!BuildJobPackage(spec, key, path, &error)) {
    std::fprintf(stderr, "bench_jobpkg: %s\n", error.c_str());
    return 1;
  }
  TrustedKeys trusted;
  trusted.keys.push_back(key.pub);
  const std::string bytes = dir.Read("bench.pkg");
  std::printf("package: %zu bytes (firmware %zu bytes), %d runs\n", bytes.size(), firmwareBytes,
              runs);
  Report("verify from the file", runs, [&] {
    JobPackage p;
    return VerifyJobPackage(path, trusted, &p, &error);
  });
  Report("verify bytes in memory", runs, [&] {
    JobPackage p;
    return ParseJobPackage(bytes, path, trusted, &p, &error);
  });
  std::string sig;
  const std::string message(700, 'm');
  SignMessage(key, message, &sig, &error);
  Report("Ed25519 check of 700 bytes alone", runs,
         [&] { return VerifyMessage(key.pub, message, sig); });
  return 0;
}
