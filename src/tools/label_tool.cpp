// label-tool: a unit's label from the command line. Renders it as ZPL and PNG, sends the
// ZPL to a label printer's TCP port, or prints the PNG through the print spooler.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "labels/Label.h"
#include "labels/LabelImage.h"
#include "labels/LabelOutput.h"
#include "platform/Files.h"
#include "platform/Host.h"
#include "platform/Network.h"

namespace {

constexpr int kExitOutputFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: label-tool render --mac MAC [options] [--png OUT] [--zpl OUT]\n"
    "       label-tool send --printer HOST[:PORT] --mac MAC [options]\n"
    "       label-tool print --lp DEST --png OUT --mac MAC [options]\n"
    "       label-tool --help\n"
    "\n"
    "render  writes the label as PNG and/or ZPL (the ZPL to stdout when neither is given).\n"
    "send    sends the label's ZPL to a label printer's TCP port (default 9100).\n"
    "print   writes the label's PNG to OUT and prints it with `lp -d DEST OUT`.\n"
    "\n"
    "Options:\n"
    "  --mac HH:HH:HH:HH:HH:HH   the unit's MAC address (required)\n"
    "  --serial TEXT             the unit's serial (printable ASCII, no spaces)\n"
    "  --template FILE           the label template (title, line, width, height, dpi)\n"
    "  --station TEXT            {station} in the template (default: the host name)\n"
    "  --date TEXT               {date} in the template (default: today, UTC, YYYY-MM-DD)\n"
    "  --png OUT, --zpl OUT      also write the PNG / the ZPL (send and print too)\n"
    "  --timeout MS              time-out of the printer's connect and write, or of lp\n"
    "                            (default 5000)\n"
    "Exit status: 0 done, 1 the printer or the spooler failed, 2 a wrong command line,\n"
    "template or label data.\n";

int Usage(const std::string& text) {
  std::fprintf(stderr, "label-tool: %s\n(label-tool --help for the usage)\n", text.c_str());
  return kExitUsage;
}

std::string TodayUtc() {
  const auto days = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
  const std::chrono::year_month_day ymd{days};
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  return buf;
}

bool WriteText(const std::string& path, const std::string& text) {
  const int err = ReplaceFile(path, text.data(), text.size());
  if (err != 0)
    std::fprintf(stderr, "label-tool: %s: cannot be written (error %d)\n", path.c_str(), err);
  return err == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command");
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd != "render" && cmd != "send" && cmd != "print")
    return Usage("unknown command \"" + cmd + "\"");
  LabelData data;
  std::string templatePath, pngOut, zplOut, printer, lpDest;
  std::string station = HostName(), date = TodayUtc();
  unsigned long timeoutMs = 5000;
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return Usage("option " + opt + " needs a value");
    const std::string value = argv[++i];
    if (opt == "--mac") {
      data.mac = value;
    } else if (opt == "--serial") {
      data.serial = value;
    } else if (opt == "--template") {
      templatePath = value;
    } else if (opt == "--station") {
      station = value;
    } else if (opt == "--date") {
      date = value;
    } else if (opt == "--png") {
      pngOut = value;
    } else if (opt == "--zpl") {
      zplOut = value;
    } else if (opt == "--printer" && cmd == "send") {
      printer = value;
    } else if (opt == "--lp" && cmd == "print") {
      lpDest = value;
    } else if (opt == "--timeout") {
      char* end = nullptr;
      timeoutMs = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || timeoutMs == 0 || timeoutMs > 600000) {
        return Usage("--timeout must be a number of milliseconds from 1 to 600000");
      }
    } else {
      return Usage("unknown option " + opt + " for " + cmd);
    }
  }
  if (data.mac.empty()) return Usage("--mac is required");
  if (cmd == "send" && printer.empty()) return Usage("send needs --printer HOST[:PORT]");
  if (cmd == "print" && (lpDest.empty() || pngOut.empty()))
    return Usage("print needs --lp DEST and --png OUT");
  data.fields["station"] = station;
  data.fields["date"] = date;

  std::string error;
  LabelTemplate tpl;
  if (!templatePath.empty() && !LoadLabelTemplate(templatePath, &tpl, &error)) return Usage(error);
  if (!NormalizeLabelData(&data, &error)) return Usage(error);
  std::string zpl;
  if (!RenderZpl(tpl, data, &zpl, &error)) return Usage(error);
  if (!pngOut.empty() && !WriteLabelPng(data, pngOut, &error)) {
    std::fprintf(stderr, "label-tool: %s\n", error.c_str());
    return kExitOutputFailed;
  }
  if (!zplOut.empty() && !WriteText(zplOut, zpl)) return kExitOutputFailed;
  if (cmd == "render" && pngOut.empty() && zplOut.empty()) std::fputs(zpl.c_str(), stdout);

  std::string message;
  const auto t = static_cast<uint32_t>(timeoutMs);
  if (cmd == "send" && !SendZpl(SystemNetwork(), printer, zpl, t, t, &message)) {
    std::fprintf(stderr, "label-tool: %s\n", message.c_str());
    return kExitOutputFailed;
  }
  if (cmd == "print" && !PrintWithLp(lpDest, pngOut, t, &message)) {
    std::fprintf(stderr, "label-tool: %s\n", message.c_str());
    return kExitOutputFailed;
  }
  if (!message.empty()) std::printf("%s\n", message.c_str());
  return 0;
}
