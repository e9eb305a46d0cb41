// job-tool: an engineer's signing keys and job packages: makes a key pair, builds a
// signed package from a job's steps and images, shows a package and verifies one
// against trusted public keys; makes the hash of a station's engineer password.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "jobpkg/EngineerPassword.h"
#include "jobpkg/JobKeys.h"
#include "jobpkg/JobPackage.h"
#include "platform/Terminal.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: job-tool keygen --out KEYBASE\n"
    "       job-tool create --key KEY --name NAME --version VERSION [steps] --out PACKAGE\n"
    "       job-tool inspect PACKAGE\n"
    "       job-tool verify PACKAGE (--trusted DIR | --key PUBKEY)\n"
    "       job-tool password [--iterations N]\n"
    "       job-tool --help\n"
    "\n"
    "keygen   writes a new Ed25519 key pair: KEYBASE.key (the secret, readable by its\n"
    "         owner only) and KEYBASE.pub (the public key a station trusts, in its data\n"
    "         directory's trusted-keys/). Existing files are never overwritten.\n"
    "create   builds a package signed with KEY (a .key file) from these steps:\n"
    "  --eeprom FILE           download this EEPROM image (1 to 1152 bytes)\n"
    "  --firmware FILE         download this firmware image (1 byte to 16 MB)\n"
    "  --loopback              the loopback test\n"
    "  --mac pool|assigned|none  MAC programming and where the address comes from\n"
    "                          (default none)\n"
    "  --reflash               the EEPROM image is downloaded without MAC programming\n"
    "                          on purpose (required for such a job, refused otherwise)\n"
    "  --fast                  downloads paced by the device's replies\n"
    "  --continuous            continuous production\n"
    "  --scan-serial           every unit's serial is scanned before its steps\n"
    "  --serial-pattern RE     the serial must match RE (ECMAScript; with --scan-serial)\n"
    "  --baud 115200|57600|38400  the console rate (default 115200)\n"
    "  --created TIME          the creation time, YYYY-MM-DDTHH:MM:SSZ (default: now)\n"
    "inspect  shows a package's job, images and signing key; its signature is NOT\n"
    "         checked (verify does that).\n"
    "verify   checks a package against the public keys in DIR (*.pub) or one key file.\n"
    "password prints the station.conf line \"engineer-password = HASH\": the salted hash\n"
    "         of the engineer's password (PBKDF2-SHA256). The password is typed twice,\n"
    "         unseen, at a terminal; otherwise it is the first line of standard input.\n"
    "  --iterations N          the hash's iterations (default 600000; 10000 to 10000000)\n"
    "\n"
    "Exit status: 0 done (verify: the package verifies), 1 a package refused, a file\n"
    "that cannot be read or written or a password not taken, 2 a wrong command line or a\n"
    "job no package may hold.\n";

int Usage(const std::string& text) {
  std::fprintf(stderr, "job-tool: %s\n(job-tool --help for the usage)\n", text.c_str());
  return kExitUsage;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "job-tool: %s\n", text.c_str());
  return kExitFailed;
}

const char* YesNo(bool v) {
  return v ? "yes" : "no";
}

void Show(const JobPackage& p) {
  const JobSteps& s = p.steps;
  std::printf("package:       %s\n", p.path.c_str());
  std::printf("name:          %s\n", p.name.c_str());
  std::printf("version:       %s\n", p.version.c_str());
  std::printf("created:       %s\n", p.created.c_str());
  std::printf("signed by key: %s%s\n", p.keyId.c_str(),
              p.signatureChecked ? " (verified)" : " (NOT checked)");
  std::printf("sha256:        %s\n", p.sha256.c_str());
  std::printf("steps:\n");
  std::printf("  EEPROM download:   %s%s\n", YesNo(s.eeprom),
              s.reflash ? " (re-flash: no MAC programming)" : "");
  std::printf("  firmware download: %s\n", YesNo(s.firmware));
  std::printf("  loopback test:     %s\n", YesNo(s.loopback));
  std::printf("  program MAC:       %s\n", MacSourceName(s.programMac));
  std::printf("  fast download:     %s\n", YesNo(s.fastDownload));
  std::printf("  continuous:        %s\n", YesNo(s.continuous));
  std::printf("  scan serial:       %s", YesNo(s.scanSerial));
  if (s.scanSerial)
    std::printf(" (pattern: %s)", s.serialPattern.empty() ? "any" : s.serialPattern.c_str());
  std::printf("\n  console baud:      %u\n", static_cast<unsigned>(s.consoleBaud));
  const JobImage* images[] = {s.eeprom ? &p.eeprom : nullptr, s.firmware ? &p.firmware : nullptr};
  const char* roles[] = {"eeprom", "firmware"};
  std::printf("images:\n");
  for (int i = 0; i < 2; ++i) {
    if (images[i] == nullptr) continue;
    std::printf("  %-9s %s, %zu bytes, sha256 %s\n", roles[i], images[i]->fileName.c_str(),
                images[i]->bytes.size(), images[i]->sha256.c_str());
  }
}

int Keygen(int argc, char** argv) {
  std::string out;
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else {
      return Usage("keygen: unknown or incomplete option \"" + opt + "\"");
    }
  }
  if (out.empty()) return Usage("keygen: --out KEYBASE is required");
  SigningKey key;
  std::string error;
  if (!GenerateSigningKey(&key, &error)) return Fail(error);
  if (!WriteKeyFiles(key, out, &error)) return Fail(error);
  std::printf("key %s: %s.key (secret), %s.pub (public)\n", key.pub.id.c_str(), out.c_str(),
              out.c_str());
  return 0;
}

int Create(int argc, char** argv) {
  JobPackageSpec spec;
  std::string keyPath, out;
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    const bool hasValue = i + 1 < argc;
    if (opt == "--key" && hasValue) {
      keyPath = argv[++i];
    } else if (opt == "--name" && hasValue) {
      spec.name = argv[++i];
    } else if (opt == "--version" && hasValue) {
      spec.version = argv[++i];
    } else if (opt == "--created" && hasValue) {
      spec.created = argv[++i];
    } else if (opt == "--eeprom" && hasValue) {
      spec.steps.eeprom = true;
      spec.eepromPath = argv[++i];
    } else if (opt == "--firmware" && hasValue) {
      spec.steps.firmware = true;
      spec.firmwarePath = argv[++i];
    } else if (opt == "--loopback") {
      spec.steps.loopback = true;
    } else if (opt == "--mac" && hasValue) {
      const std::string v = argv[++i];
      if (v == "pool") {
        spec.steps.programMac = MacSource::Pool;
      } else if (v == "assigned") {
        spec.steps.programMac = MacSource::Assigned;
      } else if (v == "none") {
        spec.steps.programMac = MacSource::None;
      } else {
        return Usage("create: --mac takes pool, assigned or none, not \"" + v + "\"");
      }
    } else if (opt == "--reflash") {
      spec.steps.reflash = true;
    } else if (opt == "--fast") {
      spec.steps.fastDownload = true;
    } else if (opt == "--continuous") {
      spec.steps.continuous = true;
    } else if (opt == "--scan-serial") {
      spec.steps.scanSerial = true;
    } else if (opt == "--serial-pattern" && hasValue) {
      spec.steps.serialPattern = argv[++i];
    } else if (opt == "--baud" && hasValue) {
      const std::string v = argv[++i];
      if (v != "115200" && v != "57600" && v != "38400")
        return Usage("create: --baud takes 115200, 57600 or 38400, not \"" + v + "\"");
      spec.steps.consoleBaud = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
    } else if (opt == "--out" && hasValue) {
      out = argv[++i];
    } else {
      return Usage("create: unknown or incomplete option \"" + opt + "\"");
    }
  }
  if (keyPath.empty() || out.empty() || spec.name.empty() || spec.version.empty())
    return Usage("create: --key, --name, --version and --out are required");
  if (!spec.steps.serialPattern.empty() && !spec.steps.scanSerial)
    return Usage("create: --serial-pattern needs --scan-serial");
  JobContent check;
  check.name = spec.name;
  check.version = spec.version;
  check.created = spec.created.empty() ? "2000-01-01T00:00:00Z" : spec.created;
  check.steps = spec.steps;
  // The job's rules first (the images are not read for this), then the key and images.
  check.eeprom.bytes = spec.steps.eeprom ? std::string(1, '\0') : "";
  check.eeprom.fileName = spec.steps.eeprom ? "image" : "";
  check.firmware.bytes = spec.steps.firmware ? std::string(1, '\0') : "";
  check.firmware.fileName = spec.steps.firmware ? "image" : "";
  std::string error;
  if (!CheckJobContent(check, &error)) {
    std::string hint;
    if (spec.steps.eeprom && spec.steps.programMac == MacSource::None && !spec.steps.reflash)
      hint = " (give --mac pool|assigned, or --reflash for a re-flash job)";
    return Usage("create: " + error + hint);
  }
  SigningKey key;
  if (!ReadSigningKey(keyPath, &key, &error)) return Fail(error);
  if (!BuildJobPackage(spec, key, out, &error)) return Fail(error);
  std::printf("%s: %s %s, signed by key %s\n", out.c_str(), spec.name.c_str(), spec.version.c_str(),
              key.pub.id.c_str());
  return 0;
}

int Inspect(int argc, char** argv) {
  if (argc != 3) return Usage("inspect: one PACKAGE");
  JobPackage p;
  std::string error;
  if (!InspectJobPackage(argv[2], &p, &error)) return Fail(error);
  Show(p);
  return 0;
}

int Verify(int argc, char** argv) {
  std::string path, trustedDir, keyPath;
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--trusted" && i + 1 < argc) {
      trustedDir = argv[++i];
    } else if (opt == "--key" && i + 1 < argc) {
      keyPath = argv[++i];
    } else if (!opt.empty() && opt[0] != '-' && path.empty()) {
      path = opt;
    } else {
      return Usage("verify: unknown or incomplete option \"" + opt + "\"");
    }
  }
  if (path.empty() || trustedDir.empty() == keyPath.empty())
    return Usage("verify: a PACKAGE and either --trusted DIR or --key PUBKEY");
  TrustedKeys trusted;
  std::string error;
  if (!keyPath.empty()) {
    PublicKey k;
    if (!ReadPublicKey(keyPath, &k, &error)) return Fail(error);
    trusted.keys.push_back(k);
  } else if (!LoadTrustedKeys(trustedDir, &trusted, &error)) {
    return Fail(error);
  }
  JobPackage p;
  if (!VerifyJobPackage(path, trusted, &p, &error)) return Fail(error);
  Show(p);
  std::printf("verified: signed by trusted key %s\n", p.keyId.c_str());
  return 0;
}

// The first line of standard input without its line end ("\n" or "\r\n"); a line of
// more than max bytes is refused (*tooLong). False when the input is empty.
bool ReadFirstLine(size_t max, std::string* line, bool* tooLong) {
  line->clear();
  size_t length = 0;  // every byte read, kept or not
  int c = EOF;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
    ++length;
    if (line->size() <= max) line->push_back(static_cast<char>(c));
  }
  if (length > 0 && length == line->size() && line->back() == '\r') {
    line->pop_back();
    --length;
  }
  *tooLong = length > max;
  if (*tooLong) line->clear();
  return length > 0 || c == '\n';
}

int Password(int argc, char** argv) {
  uint32_t iterations = kEngineerPasswordIterations;
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--iterations" && i + 1 < argc) {
      const std::string v = argv[++i];
      if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        return Usage("password: --iterations takes a number, not \"" + v + "\"");
      iterations = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
      if (iterations < kEngineerPasswordMinIterations ||
          iterations > kEngineerPasswordMaxIterations)
        return Usage("password: --iterations takes " +
                     std::to_string(kEngineerPasswordMinIterations) + " to " +
                     std::to_string(kEngineerPasswordMaxIterations) + ", not " + v);
    } else {
      return Usage("password: unknown or incomplete option \"" + opt + "\"");
    }
  }
  const std::string tooLong =
      "the password is longer than " + std::to_string(kMaxEngineerPasswordChars) + " bytes";
  std::string password;
  if (StandardInputIsTerminal()) {
    HiddenLine first, second;
    if (const int e = ReadLineWithoutEcho("engineer password: ", kMaxEngineerPasswordChars, &first))
      return Fail("the password cannot be read from the terminal (error " + std::to_string(e) +
                  ")");
    if (first.ended) return Fail("no password: the input ended");
    if (first.tooLong) return Fail(tooLong);
    if (first.text.empty()) return Fail("the password is empty");
    if (const int e = ReadLineWithoutEcho("again: ", kMaxEngineerPasswordChars, &second))
      return Fail("the password cannot be read from the terminal (error " + std::to_string(e) +
                  ")");
    if (second.ended || second.tooLong || second.text != first.text)
      return Fail("the two passwords differ; nothing made");
    password = first.text;
  } else {
    bool longLine = false;
    if (!ReadFirstLine(kMaxEngineerPasswordChars, &password, &longLine))
      return Fail("no password on standard input");
    if (longLine) return Fail(tooLong);
  }
  std::string hash, error;
  if (!MakeEngineerPasswordHash(password, &hash, &error, iterations)) return Fail(error);
  std::printf("engineer-password = %s\n", hash.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command");
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "keygen") return Keygen(argc, argv);
  if (cmd == "create") return Create(argc, argv);
  if (cmd == "inspect") return Inspect(argc, argv);
  if (cmd == "verify") return Verify(argc, argv);
  if (cmd == "password") return Password(argc, argv);
  return Usage("unknown command \"" + cmd + "\"");
}
