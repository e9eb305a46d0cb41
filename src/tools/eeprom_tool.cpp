// eeprom-tool: EEPROM configuration images (".vef") from scripts. Shows both records
// as the editor shows them, builds a new image from the built-in values, or edits an
// existing one, with the editor's checks and messages and the editor's bytes.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/MessageBoxes.h"
#include "eeprom/EepromChecks.h"
#include "eeprom/EepromImage.h"

namespace {

constexpr int kExitError = 2;

const char kUsage[] =
    "usage: eeprom-tool show FILE\n"
    "       eeprom-tool new OUT [options]\n"
    "       eeprom-tool edit FILE [options] [-o OUT]\n"
    "       eeprom-tool --help\n"
    "\n"
    "show  prints the custom and the default settings records of an image.\n"
    "new   writes a 1024-byte image built from the built-in values and the options.\n"
    "edit  loads FILE, applies the options and saves it (to OUT when -o is given).\n"
    "\n"
    "Options, one per field of the custom (--c-) and the default (--d-) record:\n"
    "  --c-device-name, --d-device-name TEXT          at most 16 characters, not empty\n"
    "  --c-model-name, --d-model-name TEXT            at most 16 characters (14 read back), not empty\n"
    "  --c-password, --d-password TEXT                at most 8 characters\n"
    "  --c-ip-config, --d-ip-config Static|DHCP\n"
    "  --c-ip-address, --d-ip-address A.B.C.D        first field not 0 (blank counts as 0)\n"
    "  --c-net-mask, --d-net-mask A.B.C.D            first field not 0\n"
    "  --c-gateway, --d-gateway A.B.C.D\n"
    "  --c-ping, --d-ping on|off                      Ping Configurate Enable\n"
    "  --c-tcp-listen-port, --d-tcp-listen-port N    0..65535 (decimal, or hex behind $, x, 0x)\n"
    "An option's value may also follow an equals sign: --c-gateway=10.0.0.1.\n"
    "Texts are UTF-8; the image holds single-byte (Latin-1) characters, and the limits\n"
    "count those.\n"
    "new and edit print \"wrote FILE (1024 bytes)\" on success. Errors are printed as\n"
    "\"error Error: <text>\" and end the tool with status 2.\n";

// Messages go to stderr as "error <caption>: <text>"; questions are never asked.
class StderrBoxes final : public MessageBoxes {
 public:
  BoxResult Show(const std::string& caption, const std::string& text, BoxButtons buttons,
                 BoxIcon) override {
    std::fprintf(stderr, "error %s: %s\n", caption.c_str(), text.c_str());
    failed = true;
    return buttons == BoxButtons::Ok ? BoxResult::Ok : BoxResult::No;
  }
  bool failed = false;
};

int Fail(const std::string& text) {
  std::fprintf(stderr, "error Error: %s\n", text.c_str());
  return kExitError;
}

// Text bytes as printed: printable Latin-1 characters in UTF-8, anything else as \xNN.
std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char ch : bytes) {
    if ((ch >= 0x20 && ch < 0x7F && ch != '\\') || ch >= 0xA0) {
      out += ImageTextToUtf8(std::string(1, static_cast<char>(ch)));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", ch);
      out += buf;
    }
  }
  return out;
}

void PrintRecord(const char* caption, const EepromRecord& r) {
  static const char* const kIpConfig[] = {"Static", "DHCP"};
  std::printf("%s\n", caption);
  std::printf("  Device Name: %s\n", Printable(r.deviceName).c_str());
  std::printf("  Model Name: %s\n", Printable(r.modelName).c_str());
  std::printf("  Password: %s\n", Printable(r.password).c_str());
  std::printf("  IP Configuration: %s\n",
              (r.ipConfig == 0 || r.ipConfig == 1) ? kIpConfig[r.ipConfig] : "(none)");
  std::printf("  IP Address: %s\n", FormatIpAddress(r.ipAddress).c_str());
  std::printf("  NetMask: %s\n", FormatIpAddress(r.netMask).c_str());
  std::printf("  Gateway: %s\n", FormatIpAddress(r.gateway).c_str());
  std::printf("  Ping Configurate Enable: %s\n", r.pingConfig ? "on" : "off");
  std::printf("  TCP Listen Port: %s\n", r.tcpListenPort.c_str());
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Applies one field option ("device-name", ...) to a record. "" or an error text.
std::string ApplyField(StderrBoxes& boxes, EepromRecord& r, const std::string& field,
                       const std::string& value, bool* printed) {
  *printed = false;
  // Counted and stored in the image's single-byte characters.
  auto text = [&](std::string& dst, const char* label, size_t max) -> std::string {
    std::string bytes, refused;
    if (!ImageTextFromUtf8(value, &bytes, &refused)) {
      if (refused.empty()) return std::string(label) + " is not UTF-8 text";
      return std::string(label) + " can't hold '" + refused +
             "': the image takes single-byte (Latin-1) characters only";
    }
    if (bytes.size() > max)
      return std::string(label) + " can't be longer than " + std::to_string(max) + " characters";
    dst = bytes;
    return "";
  };
  auto address = [&](uint32_t& dst) -> std::string {
    if (!ParseIpAddress(value, &dst)) return "'" + value + "' is not a valid IP address";
    return "";
  };
  if (field == "device-name") return text(r.deviceName, "Device Name", 16);
  if (field == "model-name") return text(r.modelName, "Model Name", 16);
  if (field == "password") return text(r.password, "Password", 8);
  if (field == "ip-address") return address(r.ipAddress);
  if (field == "net-mask") return address(r.netMask);
  if (field == "gateway") return address(r.gateway);
  if (field == "ip-config") {
    std::string v = Lower(value);
    if (v == "static" || v == "0") {
      r.ipConfig = 0;
    } else if (v == "dhcp" || v == "1") {
      r.ipConfig = 1;
    } else {
      return "'" + value + "' is not an IP configuration (Static or DHCP)";
    }
    return "";
  }
  if (field == "ping") {
    std::string v = Lower(value);
    if (v == "on" || v == "1" || v == "yes") {
      r.pingConfig = true;
    } else if (v == "off" || v == "0" || v == "no") {
      r.pingConfig = false;
    } else {
      return "'" + value + "' is not on or off";
    }
    return "";
  }
  if (field == "tcp-listen-port") {
    // The editor's own check of the port edit, with its messages.
    if (CheckRange(boxes, "Error", value, 65535) != 0) {
      *printed = true;
      return "refused";
    }
    r.tcpListenPort = value;
    return "";
  }
  return "unknown option";
}

// Parses the options after the file name; -o only for edit.
int ApplyOptions(StderrBoxes& boxes, EepromFields& fields, const std::vector<std::string>& args,
                 size_t from, bool allowOut, std::string* out) {
  for (size_t i = from; i < args.size(); i++) {
    std::string a = args[i];
    if (a == "-o" || a == "--output") {
      if (!allowOut) return Fail("-o is only for edit");
      if (i + 1 >= args.size()) return Fail("-o needs a file name");
      *out = args[++i];
      continue;
    }
    if (a.rfind("--c-", 0) != 0 && a.rfind("--d-", 0) != 0) return Fail("unknown option " + a);
    EepromRecord& r = a[2] == 'c' ? fields.custom : fields.defaults;
    std::string field = a.substr(4);
    std::string value;
    size_t eq = field.find('=');
    if (eq != std::string::npos) {
      value = field.substr(eq + 1);
      field = field.substr(0, eq);
    } else {
      if (i + 1 >= args.size()) return Fail(a + " needs a value");
      value = args[++i];
    }
    bool printed = false;
    std::string err = ApplyField(boxes, r, field, value, &printed);
    if (err == "unknown option") return Fail("unknown option " + a);
    if (!err.empty()) return printed ? kExitError : Fail(err);
  }
  return 0;
}

// permissionsFrom: the image an edit started from; a new output file takes its
// permissions (an image holds passwords). cutNote: what the load cut and the options
// left so, said with the success line.
int Save(StderrBoxes& boxes, EepromImage& image, const EepromFields& fields,
         const std::string& path, const std::string& permissionsFrom = {},
         const std::string& cutNote = {}) {
  std::string msg = ValidateFieldsMessage(fields);
  if (!msg.empty()) return Fail(msg);
  if (image.SaveImageFile(path, fields, kGroupAll, permissionsFrom) != 0 || boxes.failed)
    return kExitError;
  std::string said = "wrote " + path + " (" + std::to_string(EepromImage::kFileSize) + " bytes)";
  if (!cutNote.empty()) said += "; " + cutNote;
  std::printf("%s\n", said.c_str());
  return std::fflush(stdout) == 0 ? 0 : kExitError;
}

int Load(EepromImage& image, const std::string& path) {
  int rc = image.LoadImageFile(path);
  if (rc == -1) return Fail("cannot open " + path + ": " + std::strerror(image.OpenError()));
  return rc == 0 ? 0 : kExitError;  // the load has printed its message
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitError;
  }
  const std::string cmd = args[0];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  StderrBoxes boxes;
  EepromImage image(boxes);
  if (cmd == "show") {
    if (args.size() != 2) return Fail("show takes one file name");
    if (int rc = Load(image, args[1])) return rc;
    EepromFields f = image.Decode();
    PrintRecord("Custom settings", f.custom);
    PrintRecord("Default settings", f.defaults);
    std::string cut = ModelNameCutNote(image.ModelNameCut(true), image.ModelNameCut(false));
    if (!cut.empty()) std::fprintf(stderr, "warning Warning: %s\n", cut.c_str());
    return std::fflush(stdout) == 0 ? 0 : kExitError;
  }
  if (cmd == "new") {
    if (args.size() < 2 || args[1].empty() || args[1][0] == '-')
      return Fail("new needs an output file name");
    EepromFields f;
    std::string unused;
    if (int rc = ApplyOptions(boxes, f, args, 2, false, &unused)) return rc;
    return Save(boxes, image, f, args[1]);
  }
  if (cmd == "edit") {
    if (args.size() < 2 || args[1].empty() || args[1][0] == '-')
      return Fail("edit needs a file name");
    std::string out = args[1];
    if (int rc = Load(image, args[1])) return rc;
    const EepromFields loaded = image.Decode();
    EepromFields f = loaded;
    if (int rc = ApplyOptions(boxes, f, args, 2, true, &out)) return rc;
    // A cut model name an option replaced is not lost.
    std::string cut = ModelNameCutNote(
        image.ModelNameCut(true) && f.custom.modelName == loaded.custom.modelName,
        image.ModelNameCut(false) && f.defaults.modelName == loaded.defaults.modelName);
    return Save(boxes, image, f, out, args[1], cut);
  }
  std::fputs(kUsage, stderr);
  return Fail("unknown command " + cmd);
}
