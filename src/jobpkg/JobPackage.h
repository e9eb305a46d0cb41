#pragma once
// A job package: one file that holds an engineer's job (the steps, the console rate,
// the images themselves), signed with the engineer's Ed25519 key. A station verifies
// it against the keys it trusts and then runs the package's own bytes: the package is
// read once, so a file changed on disk later changes nothing.
//
// The file (docs/job-packages.md):
//   "PT-JOB-PACKAGE 1\n"
//   "manifest <n>\n" <n bytes: the manifest, JSON> "\n"
//   "signature <n>\n" <n bytes: JSON {"algorithm","key","value"}> "\n"
//   "eeprom <n>\n" <the EEPROM image> "\n"        when the job downloads it
//   "firmware <n>\n" <the firmware image> "\n"    when the job downloads it
// and nothing after it. The signature is over the manifest's exact bytes; the manifest
// holds each image's size and SHA-256, which bind the images.
#include <cstddef>
#include <cstdint>
#include <string>

#include "jobpkg/JobKeys.h"

constexpr uint64_t kMaxJobPackageSize = uint64_t{32} << 20;
constexpr size_t kMaxJobManifestSize = 64 * 1024;
constexpr size_t kMaxJobNameChars = 64;     // bytes of UTF-8
constexpr size_t kMaxJobVersionChars = 32;  // bytes of UTF-8
constexpr size_t kMaxImageFileNameChars = 255;
constexpr size_t kMaxSerialPatternChars = 255;

// Where the MAC address a unit is programmed with comes from.
enum class MacSource { None, Pool, Assigned };
const char* MacSourceName(MacSource s);  // "none", "pool", "assigned"

struct JobSteps {
  bool eeprom = false;    // download the EEPROM image
  bool firmware = false;  // download the firmware image
  bool loopback = false;  // the loopback test
  MacSource programMac = MacSource::None;
  // The EEPROM image is downloaded without MAC programming on purpose (a re-flash of
  // units that keep their address). Without it such a job is refused.
  bool reflash = false;
  bool fastDownload = false;
  bool continuous = false;
  bool scanSerial = false;
  std::string serialPattern;      // only with scanSerial; empty: any serial
  uint32_t consoleBaud = 115200;  // 115200, 57600 or 38400
};

struct JobImage {
  std::string fileName;  // the image file's own name (no directory), for the job's view
  std::string bytes;     // the image itself
  std::string sha256;    // lower-case hex of bytes
};

// A job's content: what a package holds.
struct JobContent {
  std::string name;
  std::string version;
  std::string created;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  JobSteps steps;
  JobImage eeprom, firmware;  // empty unless the steps download them
};

// A package read from a file.
struct JobPackage : JobContent {
  std::string path;               // the file it was read from
  std::string keyId;              // the key that signed it
  bool signatureChecked = false;  // false only from InspectJobPackage
  std::string sha256;             // of the whole file as read (for the unit records)
  std::string manifest;           // the manifest's exact bytes
};

// What BuildJobPackage puts in a package: the images are read from these files.
struct JobPackageSpec {
  std::string name, version;
  std::string created;  // empty: now
  JobSteps steps;
  std::string eepromPath, firmwarePath;  // read when the steps download them
};

// Whether content is a job a package may hold; *reason says why not. The rules: a name
// and a version, at least one step, the images exactly for the steps that download
// them and within their sizes (EEPROM 1..1152 bytes, firmware 1 byte..16 MB) with plain
// file names, an EEPROM download without MAC programming only when marked reflash (and
// the mark on no other job), a serial pattern only with serial scanning and one that
// compiles, a console rate of 115200, 57600 or 38400. The digests are not looked at
// here: ComposeJobPackage computes them, the readers check them.
bool CheckJobContent(const JobContent& content, std::string* reason);

// The package file's bytes for content (digests filled in here), signed with key.
bool ComposeJobPackage(const JobContent& content, const SigningKey& key, std::string* bytes,
                       std::string* error);
// Reads the image files the request names, composes and writes the package to outPath (replaced
// atomically).
bool BuildJobPackage(const JobPackageSpec& spec, const SigningKey& key, const std::string& outPath,
                     std::string* error);

// Checks bytes read from the file `path` as a package signed by a trusted key: the
// layout, the signature, the manifest (strict: every field known and present once,
// of its type), the rules of CheckJobContent, every image's size and digest. On
// success *out holds the package with its images; otherwise *error is "job package
// PATH: REASON" and *out is left as it was.
bool ParseJobPackage(const std::string& bytes, const std::string& path, const TrustedKeys& trusted,
                     JobPackage* out, std::string* error);
// Reads the file once (at most kMaxJobPackageSize bytes) and parses it as above.
bool VerifyJobPackage(const std::string& path, const TrustedKeys& trusted, JobPackage* out,
                      std::string* error);
// The same checks without the signature's (for showing a package whose key is not at
// hand): out->signatureChecked is false. Never a way to run a package.
bool InspectJobPackage(const std::string& path, JobPackage* out, std::string* error);
