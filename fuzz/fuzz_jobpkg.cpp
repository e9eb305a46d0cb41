// Job package reader: any bytes are refused or read without overflow, as a whole file
// and as the manifest of a package signed by a trusted key (so the strict manifest
// checks see every input, not only the few with a valid signature). A package that is
// read passes the job's rules, and packing its content again gives a package that
// reads back to the same job.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Sha256.h"
#include "jobpkg/JobKeys.h"
#include "jobpkg/JobPackage.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

const SigningKey& Key() {
  static const SigningKey key = [] {
    std::array<uint8_t, kEd25519KeyBytes> seed{};
    seed.fill(0x42);
    SigningKey k;
    std::string error;
    if (!SigningKeyFromSeed(seed, &k, &error)) std::abort();
    return k;
  }();
  return key;
}

std::string Section(const std::string& tag, const std::string& body) {
  return tag + " " + std::to_string(body.size()) + "\n" + body + "\n";
}

void ReadBack(const std::string& bytes, const TrustedKeys& trusted) {
  JobPackage p;
  std::string error;
  if (!ParseJobPackage(bytes, "f.pkg", trusted, &p, &error)) {
    Check(error.rfind("job package f.pkg: ", 0) == 0);
    return;
  }
  std::string why;
  Check(CheckJobContent(p, &why));
  Check(p.eeprom.bytes.size() <= 1152 && p.firmware.bytes.size() <= (16u << 20));
  std::string again;
  Check(ComposeJobPackage(p, Key(), &again, &error));
  JobPackage q;
  Check(ParseJobPackage(again, "g.pkg", trusted, &q, &error));
  Check(q.name == p.name && q.version == p.version && q.created == p.created &&
        q.eeprom.bytes == p.eeprom.bytes && q.firmware.bytes == p.firmware.bytes &&
        q.steps.serialPattern == p.steps.serialPattern &&
        q.steps.consoleBaud == p.steps.consoleBaud && q.steps.programMac == p.steps.programMac &&
        q.steps.reflash == p.steps.reflash);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TrustedKeys trusted;
  trusted.keys.push_back(Key().pub);
  const std::string input(reinterpret_cast<const char*>(data), size);
  ReadBack(input, trusted);
  if (size > 4096) return 0;
  // The input as a signed manifest, with the image "image" for each image it names.
  std::string sig, error;
  Check(SignMessage(Key(), input, &sig, &error));
  const std::string signature = "{\"algorithm\":\"ed25519\",\"key\":\"" + Key().pub.id +
                                "\",\"value\":\"" + HexOf(sig.data(), sig.size()) + "\"}";
  std::string images;
  const std::string image = "image";
  if (input.find("\"eeprom\":{") != std::string::npos) images += Section("eeprom", image);
  if (input.find("\"firmware\":{") != std::string::npos) images += Section("firmware", image);
  ReadBack(
      "PT-JOB-PACKAGE 1\n" + Section("manifest", input) + Section("signature", signature) + images,
      trusted);
  return 0;
}
