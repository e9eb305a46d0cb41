// Label templates and serials from arbitrary bytes: the parser refuses or accepts without
// fault, and an accepted label's ZPL keeps every data byte inside its field (no command
// character of the printer's language in any ^FD data).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "labels/Label.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // Up to the first NUL: the template; after it: the serial.
  const size_t nul = input.find('\0');
  LabelTemplate tpl;
  std::string error, zpl;
  if (!ParseLabelTemplate(input.substr(0, nul), &tpl, &error)) return 0;
  LabelData label{"02:5C:3A:04:22:D1",
                  nul == std::string::npos ? "" : input.substr(nul + 1),
                  {{"station", "st^a~t_ion"}, {"date", "2026-12-09"}}};
  if (!NormalizeLabelData(&label, &error)) return 0;
  if (!RenderZpl(tpl, label, &zpl, &error)) return 0;
  for (size_t i = zpl.find("^FD"); i != std::string::npos; i = zpl.find("^FD", i + 3)) {
    if (zpl.compare(zpl.find_first_of("^~", i + 3), 3, "^FS") != 0) std::abort();
  }
  return 0;
}
