#include "jobpkg/JobPackage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/Hex.h"
#include "base/Sha256.h"
#include "job/Logcfg.h"
#include "platform/Files.h"

using nlohmann::json;

namespace {

constexpr const char* kMagic = "PT-JOB-PACKAGE ";
constexpr int kFormat = 1;
constexpr size_t kMaxSignatureSection = 1024;
constexpr size_t kMaxSectionHeader = 32;
constexpr size_t kMaxJsonDepth = 4;  // the manifest's objects nest three deep

std::string Mb(uint64_t bytes) {
  return std::to_string(bytes >> 20) + " MB";
}

// ---------------------------------------------------------------- text checks

bool IsUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      n = 1;
      cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      n = 2;
      cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
        cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
      return false;
    i += n + 1;
  }
  return true;
}

// A name, version or file name: 1..max bytes of UTF-8 without control characters.
bool CheckText(const std::string& what, const std::string& s, size_t max, std::string* reason) {
  if (s.empty()) {
    *reason = "the " + what + " is empty";
    return false;
  }
  if (s.size() > max) {
    *reason = "the " + what + " is longer than " + std::to_string(max) + " bytes";
    return false;
  }
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) {
      *reason = "the " + what + " holds a control character";
      return false;
    }
  }
  if (!IsUtf8(s)) {
    *reason = "the " + what + " is not UTF-8 text";
    return false;
  }
  return true;
}

bool IsTimestamp(const std::string& s) {
  // YYYY-MM-DDTHH:MM:SSZ
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (s.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (kShape[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != kShape[i]) return false;
  }
  auto num = [&](size_t at, size_t n) { return std::stoi(s.substr(at, n)); };
  return num(5, 2) >= 1 && num(5, 2) <= 12 && num(8, 2) >= 1 && num(8, 2) <= 31 &&
         num(11, 2) <= 23 && num(14, 2) <= 59 && num(17, 2) <= 60;
}

std::string NowUtc() {
  const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  const auto days = std::chrono::floor<std::chrono::days>(now);
  const std::chrono::year_month_day ymd{days};
  const auto secs = static_cast<unsigned>((now - days).count()) % 86400u;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02u:%02u:%02uZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), secs / 3600u,
                secs / 60u % 60u, secs % 60u);
  return buf;
}

bool IsLowerHex(const std::string& s, size_t chars) {
  if (s.size() != chars) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string FromHex(const std::string& s) {
  std::string out(s.size() / 2, '\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char>(HexDigitValue(s[2 * i]) * 16 + HexDigitValue(s[2 * i + 1]));
  return out;
}

bool CheckImage(const char* role, const JobImage& image, bool wanted, uint64_t maxSize,
                std::string* reason) {
  const std::string r = role;
  if (!wanted) {
    if (!image.bytes.empty() || !image.fileName.empty()) {
      *reason = "it holds a" + std::string(r == "eeprom" ? "n EEPROM" : " firmware") +
                " image the job does not download";
      return false;
    }
    return true;
  }
  const std::string name = r == "eeprom" ? "EEPROM image" : "firmware image";
  if (image.bytes.empty()) {
    *reason = "the " + name + " is empty or missing";
    return false;
  }
  if (image.bytes.size() > maxSize) {
    *reason = "the " + name + " is " + std::to_string(image.bytes.size()) + " bytes, more than " +
              std::to_string(maxSize);
    return false;
  }
  if (!CheckText(name + "'s file name", image.fileName, kMaxImageFileNameChars, reason))
    return false;
  if (image.fileName.find_first_of("/\\") != std::string::npos || image.fileName == "." ||
      image.fileName == "..") {
    *reason = "the " + name + "'s file name \"" + image.fileName + "\" is not a plain file name";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- strict JSON

// Parses text as one JSON object and refuses duplicate keys and deep nesting.
bool ParseStrictJson(const std::string& text, json* out, std::string* reason) {
  std::vector<std::set<std::string>> keys;
  std::string duplicate;
  bool deep = false;
  json::parser_callback_t cb = [&](int depth, json::parse_event_t event, json& parsed) {
    if (depth > static_cast<int>(kMaxJsonDepth)) deep = true;
    if (event == json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      if (!keys.empty()) keys.pop_back();
    } else if (event == json::parse_event_t::key && !keys.empty() && parsed.is_string()) {
      const std::string& k = parsed.get_ref<const std::string&>();
      if (!keys.back().insert(k).second && duplicate.empty()) duplicate = k;
    }
    return true;
  };
  json j = json::parse(text, cb, false);
  if (j.is_discarded()) {
    *reason = "is not valid JSON";
    return false;
  }
  if (deep) {
    *reason = "nests deeper than it may";
    return false;
  }
  if (!duplicate.empty()) {
    *reason = "has the field \"" + duplicate + "\" more than once";
    return false;
  }
  if (!j.is_object()) {
    *reason = "is not a JSON object";
    return false;
  }
  *out = std::move(j);
  return true;
}

// One JSON object's fields, read strictly: every field known, each of its type.
class Fields {
 public:
  Fields(const json& obj, std::string where, std::string* reason)
      : obj_(obj), where_(std::move(where)), reason_(reason) {}

  // Refuses a field not in names.
  bool Only(std::initializer_list<const char*> names) {
    for (auto it = obj_.begin(); it != obj_.end(); ++it) {
      bool known = false;
      for (const char* n : names) known = known || it.key() == n;
      if (!known) return Fail("has an unknown field \"" + Path(it.key()) + "\"");
    }
    return true;
  }
  bool Has(const char* name) const { return obj_.contains(name); }
  bool Bool(const char* name, bool* v) {
    const json* j = Need(name);
    if (j == nullptr) return false;
    if (!j->is_boolean()) return Fail("\"" + Path(name) + "\" is not true or false");
    *v = j->get<bool>();
    return true;
  }
  bool String(const char* name, std::string* v) {
    const json* j = Need(name);
    if (j == nullptr) return false;
    if (!j->is_string()) return Fail("\"" + Path(name) + "\" is not a string");
    *v = j->get<std::string>();
    return true;
  }
  bool Unsigned(const char* name, uint64_t* v) {
    const json* j = Need(name);
    if (j == nullptr) return false;
    if (!j->is_number_unsigned()) return Fail("\"" + Path(name) + "\" is not a whole number");
    *v = j->get<uint64_t>();
    return true;
  }
  bool Object(const char* name, const json** v) {
    const json* j = Need(name);
    if (j == nullptr) return false;
    if (!j->is_object()) return Fail("\"" + Path(name) + "\" is not an object");
    *v = j;
    return true;
  }
  std::string Path(const std::string& name) const {
    return where_.empty() ? name : where_ + "." + name;
  }

 private:
  const json* Need(const char* name) {
    auto it = obj_.find(name);
    if (it == obj_.end()) {
      Fail("lacks the field \"" + Path(name) + "\"");
      return nullptr;
    }
    return &*it;
  }
  bool Fail(const std::string& why) {
    *reason_ = why;
    return false;
  }
  const json& obj_;
  std::string where_;
  std::string* reason_;
};

struct ImageEntry {
  bool present = false;
  std::string file, sha256;
  uint64_t size = 0;
};

bool ParseImageEntry(const json& images, const char* role, ImageEntry* e, std::string* reason) {
  const json* obj = nullptr;
  Fields f(images, "images", reason);
  if (!f.Object(role, &obj)) return false;
  Fields g(*obj, f.Path(role), reason);
  if (!g.Only({"file", "size", "sha256"}) || !g.String("file", &e->file) ||
      !g.Unsigned("size", &e->size) || !g.String("sha256", &e->sha256))
    return false;
  if (!IsLowerHex(e->sha256, 64)) {
    *reason = "\"" + g.Path("sha256") + "\" is not 64 lower-case hex digits";
    return false;
  }
  e->present = true;
  return true;
}

// The manifest's fields into *c (images without their bytes) and the image entries.
bool ParseManifest(const std::string& text, JobContent* c, ImageEntry* eeprom, ImageEntry* firmware,
                   std::string* reason) {
  json m;
  std::string why;
  if (!ParseStrictJson(text, &m, &why)) {
    *reason = "the manifest " + why;
    return false;
  }
  Fields top(m, "", &why);
  uint64_t format = 0;
  const json* steps = nullptr;
  const json* images = nullptr;
  bool ok = top.Only({"format", "name", "version", "created", "steps", "images"}) &&
            top.Unsigned("format", &format);
  if (ok && format != kFormat) {
    *reason = "the manifest is of format " + std::to_string(format) + " (this station reads " +
              std::to_string(kFormat) + ")";
    return false;
  }
  ok = ok && top.String("name", &c->name) && top.String("version", &c->version) &&
       top.String("created", &c->created) && top.Object("steps", &steps) &&
       top.Object("images", &images);
  std::string mac;
  uint64_t baud = 0;
  if (ok) {
    Fields s(*steps, "steps", &why);
    JobSteps& st = c->steps;
    ok = s.Only({"eeprom", "firmware", "loopback", "programMac", "reflash", "fastDownload",
                 "continuous", "scanSerial", "serialPattern", "consoleBaud"}) &&
         s.Bool("eeprom", &st.eeprom) && s.Bool("firmware", &st.firmware) &&
         s.Bool("loopback", &st.loopback) && s.String("programMac", &mac) &&
         s.Bool("reflash", &st.reflash) && s.Bool("fastDownload", &st.fastDownload) &&
         s.Bool("continuous", &st.continuous) && s.Bool("scanSerial", &st.scanSerial) &&
         s.String("serialPattern", &st.serialPattern) && s.Unsigned("consoleBaud", &baud);
    if (ok) {
      if (mac == "none") {
        st.programMac = MacSource::None;
      } else if (mac == "pool") {
        st.programMac = MacSource::Pool;
      } else if (mac == "assigned") {
        st.programMac = MacSource::Assigned;
      } else {
        why = "\"steps.programMac\" is not \"none\", \"pool\" or \"assigned\"";
        ok = false;
      }
      st.consoleBaud = baud > UINT32_MAX ? 0 : static_cast<uint32_t>(baud);
    }
  }
  if (ok) {
    Fields im(*images, "images", &why);
    ok = im.Only({"eeprom", "firmware"});
    if (ok && im.Has("eeprom") != c->steps.eeprom) {
      why = c->steps.eeprom ? "the manifest lists no EEPROM image for its EEPROM download"
                            : "the manifest lists an EEPROM image the job does not download";
      ok = false;
    }
    if (ok && im.Has("firmware") != c->steps.firmware) {
      why = c->steps.firmware ? "the manifest lists no firmware image for its firmware download"
                              : "the manifest lists a firmware image the job does not download";
      ok = false;
    }
    if (ok && c->steps.eeprom) ok = ParseImageEntry(*images, "eeprom", eeprom, &why);
    if (ok && c->steps.firmware) ok = ParseImageEntry(*images, "firmware", firmware, &why);
  }
  if (!ok) {
    *reason = why.rfind("the manifest", 0) == 0 ? why : "the manifest " + why;
    return false;
  }
  c->eeprom.fileName = eeprom->file;
  c->eeprom.sha256 = eeprom->sha256;
  c->firmware.fileName = firmware->file;
  c->firmware.sha256 = firmware->sha256;
  return true;
}

std::string ManifestText(const JobContent& c, const std::string& eepromSha,
                         const std::string& firmwareSha) {
  const JobSteps& s = c.steps;
  json m = json::object();
  m["format"] = kFormat;
  m["name"] = c.name;
  m["version"] = c.version;
  m["created"] = c.created;
  m["steps"] = {{"eeprom", s.eeprom},
                {"firmware", s.firmware},
                {"loopback", s.loopback},
                {"programMac", MacSourceName(s.programMac)},
                {"reflash", s.reflash},
                {"fastDownload", s.fastDownload},
                {"continuous", s.continuous},
                {"scanSerial", s.scanSerial},
                {"serialPattern", s.serialPattern},
                {"consoleBaud", s.consoleBaud}};
  json images = json::object();
  if (s.eeprom)
    images["eeprom"] = {
        {"file", c.eeprom.fileName}, {"size", c.eeprom.bytes.size()}, {"sha256", eepromSha}};
  if (s.firmware)
    images["firmware"] = {
        {"file", c.firmware.fileName}, {"size", c.firmware.bytes.size()}, {"sha256", firmwareSha}};
  m["images"] = images;
  return m.dump(2) + "\n";
}

// ---------------------------------------------------------------- the container

void AppendSection(std::string* out, const char* tag, const std::string& body) {
  *out += tag;
  *out += ' ';
  *out += std::to_string(body.size());
  *out += '\n';
  *out += body;
  *out += '\n';
}

// Reads the section header "<tag> <n>\n" at *pos, then n bytes and a line end.
// *missing tells a file that ends before the header from any other failure.
bool ReadSection(std::string_view b, size_t* pos, const char* tag, uint64_t max,
                 std::string_view* body, std::string* reason) {
  const std::string t = tag;
  const size_t nl = b.find('\n', *pos);
  if (*pos >= b.size()) {
    *reason = "the " + t + " section is missing (the file is truncated)";
    return false;
  }
  if (nl == std::string_view::npos || nl - *pos > kMaxSectionHeader) {
    *reason = "the " + t + " section's header is cut short or malformed";
    return false;
  }
  const std::string_view header = b.substr(*pos, nl - *pos);
  if (header.substr(0, t.size() + 1) != t + " ") {
    const std::string_view found = header.substr(0, std::min<size_t>(header.find(' '), 16));
    bool plain = !found.empty();
    for (char c : found) plain = plain && c > 0x20 && c < 0x7f;
    *reason = "the " + t + " section is missing" +
              (plain ? " (found \"" + std::string(found) + "\" in its place)" : std::string());
    return false;
  }
  const std::string_view digits = header.substr(t.size() + 1);
  uint64_t n = 0;
  bool ok = !digits.empty() && digits.size() <= 9 && (digits[0] != '0' || digits.size() == 1);
  for (char c : digits) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!ok) {
    *reason = "the " + t + " section's length is malformed";
    return false;
  }
  if (n > max) {
    *reason = "the " + t + " section is " + std::to_string(n) + " bytes, more than " +
              std::to_string(max);
    return false;
  }
  const size_t start = nl + 1;
  if (b.size() - start < n + 1) {
    *reason = "the " + t + " section is cut short (the file is truncated)";
    return false;
  }
  if (b[start + n] != '\n') {
    *reason = "the " + t + " section does not end where its length says";
    return false;
  }
  *body = b.substr(start, n);
  *pos = start + n + 1;
  return true;
}

bool ParseSignature(const std::string& text, std::string* keyId, std::string* value,
                    std::string* reason) {
  json j;
  std::string why;
  std::string algorithm, hex;
  bool ok = ParseStrictJson(text, &j, &why);
  if (ok) {
    Fields f(j, "", &why);
    ok = f.Only({"algorithm", "key", "value"}) && f.String("algorithm", &algorithm) &&
         f.String("key", keyId) && f.String("value", &hex);
  }
  if (ok && algorithm != "ed25519") {
    why = "names the algorithm \"" + algorithm + "\" (only \"ed25519\" is accepted)";
    ok = false;
  }
  if (ok && !IsLowerHex(*keyId, kKeyIdChars)) {
    why = "names no key id (16 lower-case hex digits)";
    ok = false;
  }
  if (ok && !IsLowerHex(hex, kEd25519SignatureBytes * 2)) {
    why = "value is not 128 lower-case hex digits";
    ok = false;
  }
  if (!ok) {
    *reason = "the signature " + why;
    return false;
  }
  *value = FromHex(hex);
  return true;
}

enum class Trust { Check, Skip };

bool Parse(const std::string& bytes, const TrustedKeys* trusted, Trust trust, JobPackage* out,
           std::string* reason) {
  std::string_view b = bytes;
  if (bytes.size() > kMaxJobPackageSize) {
    *reason = "the file is larger than " + Mb(kMaxJobPackageSize);
    return false;
  }
  const size_t nl = b.find('\n');
  const std::string magic = kMagic;
  if (b.substr(0, magic.size()) != magic || nl == std::string_view::npos || nl > 32) {
    *reason =
        "not a job package (it does not start with \"" + magic + std::to_string(kFormat) + "\")";
    return false;
  }
  const std::string_view version = b.substr(magic.size(), nl - magic.size());
  if (version != std::to_string(kFormat)) {
    *reason = "the package format \"" + std::string(version) +
              "\" is not supported (this station reads " + std::to_string(kFormat) + ")";
    return false;
  }
  size_t pos = nl + 1;
  std::string_view manifest, signature;
  if (!ReadSection(b, &pos, "manifest", kMaxJobManifestSize, &manifest, reason) ||
      !ReadSection(b, &pos, "signature", kMaxSignatureSection, &signature, reason))
    return false;

  std::string keyId, sig;
  if (!ParseSignature(std::string(signature), &keyId, &sig, reason)) return false;
  // The signature is checked before anything in the manifest is believed.
  if (trust == Trust::Check) {
    const PublicKey* key = trusted->Find(keyId);
    if (key == nullptr) {
      *reason = "signed by key " + keyId + ", which this station does not trust" +
                (trusted->keys.empty() ? " (it trusts no key)" : "");
      return false;
    }
    if (!VerifyMessage(*key, std::string(manifest), sig)) {
      *reason = "the signature does not verify with key " + keyId +
                " (the manifest or the signature was changed)";
      return false;
    }
  }

  JobPackage p;
  ImageEntry eeprom, firmware;
  if (!ParseManifest(std::string(manifest), &p, &eeprom, &firmware, reason)) return false;
  struct Want {
    const char* tag;
    const char* name;
    const ImageEntry& entry;
    uint64_t max;
    JobImage& image;
  };
  const Want wants[] = {
      {"eeprom", "EEPROM image", eeprom, kMaxEepromImageSize, p.eeprom},
      {"firmware", "firmware image", firmware, kMaxFirmwareImageSize, p.firmware}};
  for (const Want& w : wants) {
    if (!w.entry.present) continue;
    std::string_view body;
    if (!ReadSection(b, &pos, w.tag, w.max, &body, reason)) return false;
    if (body.size() != w.entry.size) {
      *reason = "the " + std::string(w.name) + " is " + std::to_string(body.size()) +
                " bytes, the manifest says " + std::to_string(w.entry.size);
      return false;
    }
    if (Sha256::Hex(body.data(), body.size()) != w.entry.sha256) {
      *reason = "the " + std::string(w.name) +
                "'s SHA-256 does not match the manifest (the image was changed)";
      return false;
    }
    w.image.bytes.assign(body.data(), body.size());
  }
  if (pos != b.size()) {
    *reason = std::to_string(b.size() - pos) + " bytes follow the last section";
    return false;
  }
  std::string why;
  if (!CheckJobContent(p, &why)) {
    *reason = "the job is not one a package may hold: " + why;
    return false;
  }
  p.keyId = keyId;
  p.signatureChecked = trust == Trust::Check;
  p.sha256 = Sha256::Hex(bytes);
  p.manifest = std::string(manifest);
  *out = std::move(p);
  return true;
}

bool ReadPackageFile(const std::string& path, std::string* bytes, std::string* reason) {
  InputFile f;
  if (const int e = f.Open(path)) {
    *reason = "cannot be opened (error " + std::to_string(e) + ")";
    return false;
  }
  if (f.Size() > kMaxJobPackageSize) {
    *reason = "the file is larger than " + Mb(kMaxJobPackageSize);
    return false;
  }
  bytes->reserve(static_cast<size_t>(f.Size()));
  if (const int e = f.ReadAll(kMaxJobPackageSize, bytes)) {
    // A file that grew past the limit since it was opened fails here too.
    *reason = "cannot be read whole (error " + std::to_string(e) + ")";
    return false;
  }
  return true;
}

bool ReadImageFile(const std::string& path, const char* name, uint64_t max, JobImage* image,
                   std::string* error) {
  InputFile f;
  if (const int e = f.Open(path)) {
    *error = std::string("the ") + name + " " + path + " cannot be opened (error " +
             std::to_string(e) + ")";
    return false;
  }
  if (f.Size() > max) {
    *error = std::string("the ") + name + " " + path + " is larger than " + std::to_string(max) +
             " bytes";
    return false;
  }
  if (const int e = f.ReadAll(static_cast<size_t>(max), &image->bytes)) {
    *error = std::string("the ") + name + " " + path + " cannot be read whole (error " +
             std::to_string(e) + ")";
    return false;
  }
  const size_t sep = path.find_last_of("/\\");
  image->fileName = sep == std::string::npos ? path : path.substr(sep + 1);
  return true;
}

}  // namespace

const char* MacSourceName(MacSource s) {
  switch (s) {
    case MacSource::Pool:
      return "pool";
    case MacSource::Assigned:
      return "assigned";
    case MacSource::None:
      break;
  }
  return "none";
}

bool CheckJobContent(const JobContent& c, std::string* reason) {
  if (!CheckText("name", c.name, kMaxJobNameChars, reason) ||
      !CheckText("version", c.version, kMaxJobVersionChars, reason))
    return false;
  if (!IsTimestamp(c.created)) {
    *reason = "the creation time \"" + c.created + "\" is not of the form YYYY-MM-DDTHH:MM:SSZ";
    return false;
  }
  const JobSteps& s = c.steps;
  if (!s.eeprom && !s.firmware && !s.loopback && s.programMac == MacSource::None) {
    *reason = "the job has no step";
    return false;
  }
  if (s.eeprom && s.programMac == MacSource::None && !s.reflash) {
    *reason =
        "the job downloads the EEPROM image without programming a MAC address; a "
        "re-flash job that means to must be marked as one";
    return false;
  }
  if (s.reflash && !(s.eeprom && s.programMac == MacSource::None)) {
    *reason =
        "the re-flash mark belongs only to a job that downloads the EEPROM image "
        "without programming a MAC address";
    return false;
  }
  if (!CheckImage("eeprom", c.eeprom, s.eeprom, kMaxEepromImageSize, reason) ||
      !CheckImage("firmware", c.firmware, s.firmware, kMaxFirmwareImageSize, reason))
    return false;
  if (!s.scanSerial && !s.serialPattern.empty()) {
    *reason = "the job has a serial pattern but does not scan serials";
    return false;
  }
  if (s.serialPattern.size() > kMaxSerialPatternChars) {
    *reason =
        "the serial pattern is longer than " + std::to_string(kMaxSerialPatternChars) + " bytes";
    return false;
  }
  if (!s.serialPattern.empty()) {
    try {
      std::regex re(s.serialPattern, std::regex::ECMAScript);
    } catch (const std::regex_error&) {
      *reason = "the serial pattern \"" + s.serialPattern + "\" is not a regular expression";
      return false;
    }
  }
  if (s.consoleBaud != 115200 && s.consoleBaud != 57600 && s.consoleBaud != 38400) {
    *reason =
        "the console rate " + std::to_string(s.consoleBaud) + " is not 115200, 57600 or 38400";
    return false;
  }
  return true;
}

bool ComposeJobPackage(const JobContent& content, const SigningKey& key, std::string* bytes,
                       std::string* error) {
  std::string reason;
  if (!CheckJobContent(content, &reason)) {
    *error = "the job cannot be packed: " + reason;
    return false;
  }
  std::string manifest;
  try {
    manifest = ManifestText(content, content.steps.eeprom ? Sha256::Hex(content.eeprom.bytes) : "",
                            content.steps.firmware ? Sha256::Hex(content.firmware.bytes) : "");
  } catch (const json::exception& e) {
    // CheckJobContent lets only UTF-8 text through; this is the library's last word.
    *error = std::string("the job cannot be packed: ") + e.what();
    return false;
  }
  if (manifest.size() > kMaxJobManifestSize) {
    *error = "the job cannot be packed: its manifest is larger than " +
             std::to_string(kMaxJobManifestSize) + " bytes";
    return false;
  }
  std::string sig;
  if (!SignMessage(key, manifest, &sig, error)) return false;
  const json signature = {
      {"algorithm", "ed25519"}, {"key", key.pub.id}, {"value", HexOf(sig.data(), sig.size())}};
  std::string out = kMagic + std::to_string(kFormat) + "\n";
  out.reserve(out.size() + manifest.size() + 256 + content.eeprom.bytes.size() +
              content.firmware.bytes.size() + 64);
  AppendSection(&out, "manifest", manifest);
  AppendSection(&out, "signature", signature.dump());
  if (content.steps.eeprom) AppendSection(&out, "eeprom", content.eeprom.bytes);
  if (content.steps.firmware) AppendSection(&out, "firmware", content.firmware.bytes);
  if (out.size() > kMaxJobPackageSize) {
    *error = "the job cannot be packed: the package would be larger than " + Mb(kMaxJobPackageSize);
    return false;
  }
  *bytes = std::move(out);
  return true;
}

bool BuildJobPackage(const JobPackageSpec& spec, const SigningKey& key, const std::string& outPath,
                     std::string* error) {
  JobContent c;
  c.name = spec.name;
  c.version = spec.version;
  c.created = spec.created.empty() ? NowUtc() : spec.created;
  c.steps = spec.steps;
  if (spec.steps.eeprom &&
      !ReadImageFile(spec.eepromPath, "EEPROM image", kMaxEepromImageSize, &c.eeprom, error))
    return false;
  if (spec.steps.firmware && !ReadImageFile(spec.firmwarePath, "firmware image",
                                            kMaxFirmwareImageSize, &c.firmware, error))
    return false;
  std::string bytes;
  if (!ComposeJobPackage(c, key, &bytes, error)) return false;
  // What is written must verify: checked before it is.
  TrustedKeys self;
  self.keys.push_back(key.pub);
  JobPackage back;
  std::string reason;
  if (!Parse(bytes, &self, Trust::Check, &back, &reason)) {
    *error = "the package made does not verify: " + reason;
    return false;
  }
  if (const int e = ReplaceFile(outPath, bytes.data(), bytes.size())) {
    *error = outPath + ": cannot be written (error " + std::to_string(e) + ")";
    return false;
  }
  return true;
}

bool ParseJobPackage(const std::string& bytes, const std::string& path, const TrustedKeys& trusted,
                     JobPackage* out, std::string* error) {
  std::string reason;
  if (!Parse(bytes, &trusted, Trust::Check, out, &reason)) {
    *error = "job package " + path + ": " + reason;
    return false;
  }
  out->path = path;
  return true;
}

bool VerifyJobPackage(const std::string& path, const TrustedKeys& trusted, JobPackage* out,
                      std::string* error) {
  std::string bytes, reason;
  if (!ReadPackageFile(path, &bytes, &reason)) {
    *error = "job package " + path + ": " + reason;
    return false;
  }
  return ParseJobPackage(bytes, path, trusted, out, error);
}

bool InspectJobPackage(const std::string& path, JobPackage* out, std::string* error) {
  std::string bytes, reason;
  if (!ReadPackageFile(path, &bytes, &reason) ||
      !Parse(bytes, nullptr, Trust::Skip, out, &reason)) {
    *error = "job package " + path + ": " + reason;
    return false;
  }
  out->path = path;
  return true;
}
