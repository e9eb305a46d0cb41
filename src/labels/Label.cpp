#include "labels/Label.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <set>

#include "platform/Files.h"
#include "platform/Network.h"

namespace {

const std::set<std::string>& Placeholders() {
  static const std::set<std::string> names{"mac", "serial", "station", "date"};
  return names;
}

bool Printable(unsigned char c) {
  return c >= 0x20 && c < 0x7f;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// A text value: printable ASCII, bounded, and only known placeholders in well-formed
// braces.
bool CheckText(const std::string& text, std::string* why) {
  if (text.size() > kMaxTextLength) {
    *why = "text longer than " + std::to_string(kMaxTextLength) + " characters";
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '}') {
      *why = "a '}' without its '{'";
      return false;
    }
    if (c != '{') continue;
    const size_t close = text.find('}', i + 1);
    if (close == std::string::npos) {
      *why = "a '{' without its '}'";
      return false;
    }
    const std::string name = text.substr(i + 1, close - i - 1);
    if (!Placeholders().count(name)) {
      *why = "unknown placeholder {" + name + "} (known: {mac} {serial} {station} {date})";
      return false;
    }
    i = close;
  }
  return true;
}

bool ParseNumber(const std::string& v, int lo, int hi, int* out) {
  if (v.empty() || v.size() > 6) return false;
  int n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < lo || n > hi) return false;
  *out = n;
  return true;
}

}  // namespace

bool ParseLabelTemplate(const std::string& text, LabelTemplate* out, std::string* error) {
  if (text.size() > kMaxTemplateBytes) {
    *error = "template larger than " + std::to_string(kMaxTemplateBytes) + " bytes";
    return false;
  }
  LabelTemplate tpl;
  std::set<std::string> seen;
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string where = "line " + std::to_string(lineNo) + ": ";
    for (unsigned char c : line) {
      if (!Printable(c) && c != '\t') {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", c);
        *error = where + "character " + hex + " (only printable ASCII is allowed)";
        return false;
      }
    }
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    const size_t eq = t.find('=');
    if (eq == std::string::npos) {
      *error = where + "expected \"key = value\"";
      return false;
    }
    const std::string key = Trim(t.substr(0, eq));
    const std::string value = Trim(t.substr(eq + 1));
    if (key != "line" && !seen.insert(key).second) {
      *error = where + "\"" + key + "\" given twice";
      return false;
    }
    std::string why;
    if (key == "title" || key == "line") {
      if (!CheckText(value, &why)) {
        *error = where + why;
        return false;
      }
      if (key == "title") {
        tpl.title = value;
      } else if (tpl.lines.size() == kMaxTemplateLines) {
        *error = where + "more than " + std::to_string(kMaxTemplateLines) + " text lines";
        return false;
      } else {
        tpl.lines.push_back(value);
      }
    } else if (key == "width" || key == "height") {
      if (!ParseNumber(value, 100, 4000, key == "width" ? &tpl.widthDots : &tpl.heightDots)) {
        *error = where + key + " must be a number of dots from 100 to 4000";
        return false;
      }
    } else if (key == "dpi") {
      if (!ParseNumber(value, 150, 600, &tpl.dpi)) {
        *error = where + "dpi must be a number from 150 to 600";
        return false;
      }
    } else {
      *error = where + "unknown key \"" + key + "\" (known: title line width height dpi)";
      return false;
    }
  }
  *out = tpl;
  return true;
}

bool LoadLabelTemplate(const std::string& path, LabelTemplate* out, std::string* error) {
  InputFile f;
  int err = f.Open(path);
  std::string text;
  if (err == 0) err = f.ReadAll(kMaxTemplateBytes, &text);
  if (err != 0) {
    *error = path + ": " +
             (err == EFBIG ? "larger than " + std::to_string(kMaxTemplateBytes) + " bytes"
                           : std::string("cannot be read (error ") + std::to_string(err) + ")");
    return false;
  }
  if (!ParseLabelTemplate(text, out, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool NormalizeLabelData(LabelData* data, std::string* error) {
  uint8_t mac[6];
  if (!ParseMacText(data->mac, mac)) {
    *error = "MAC address \"" + data->mac + "\" is not six hex groups joined by ':'";
    return false;
  }
  data->mac = MacText(mac);
  if (data->serial.size() > kMaxSerialLength) {
    *error = "serial longer than " + std::to_string(kMaxSerialLength) + " characters";
    return false;
  }
  for (unsigned char c : data->serial) {
    if (!Printable(c) || c == ' ') {
      *error = "serial holds a space or a character outside printable ASCII";
      return false;
    }
  }
  for (const auto& [name, value] : data->fields) {
    if (value.size() > kMaxTextLength) {
      *error =
          "field \"" + name + "\" longer than " + std::to_string(kMaxTextLength) + " characters";
      return false;
    }
    for (unsigned char c : value) {
      if (!Printable(c)) {
        *error = "field \"" + name + "\" holds a character outside printable ASCII";
        return false;
      }
    }
  }
  return true;
}

std::vector<std::string> LabelTexts(const LabelTemplate& tpl, const LabelData& data) {
  auto expand = [&](const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      const size_t close = text[i] == '{' ? text.find('}', i + 1) : std::string::npos;
      if (close == std::string::npos) {
        out += text[i];
        continue;
      }
      const std::string name = text.substr(i + 1, close - i - 1);
      if (name == "mac") {
        out += data.mac;
      } else if (name == "serial") {
        out += data.serial;
      } else if (auto it = data.fields.find(name); it != data.fields.end()) {
        out += it->second;
      }
      i = close;
    }
    return out;
  };
  std::vector<std::string> texts;
  if (!tpl.title.empty()) texts.push_back(expand(tpl.title));
  for (const std::string& l : tpl.lines) texts.push_back(expand(l));
  return texts;
}

std::string QrPayload(const LabelData& data) {
  return data.serial.empty() ? data.mac : data.mac + " " + data.serial;
}

std::string ZplEscape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '^' || c == '~' || c == '_' || !Printable(c)) {
      out += '_';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool RenderZpl(const LabelTemplate& tpl, const LabelData& data, std::string* zpl,
               std::string* error) {
  // Sizes follow the resolution: a margin of 1/10 in, text 1/8 in high (the title 1/6),
  // bars 3/8 in high with a narrow bar of 2 dots at 203 dpi, QR modules of 4 dots.
  const int dpi = tpl.dpi;
  const int margin = dpi / 10;
  const int titleH = dpi / 6, textH = dpi / 8, barH = dpi * 3 / 8;
  const int module = dpi >= 300 ? 3 : 2;
  const int qrMag = dpi >= 300 ? 6 : 4;
  const std::string qr = QrPayload(data);
  // Byte capacity at level Q: version 2 (25 modules) 20 bytes, 3 (29) 32, 4 (33) 46,
  // 5 (37) 60, 6 (41) 74: a MAC address, a space and the longest serial fit version 6.
  const size_t n = qr.size();
  const int qrModules = n <= 20 ? 25 : n <= 32 ? 29 : n <= 46 ? 33 : n <= 60 ? 37 : 41;
  const int qrSide = (qrModules + 8) * qrMag;  // with its quiet zone
  std::string z = "^XA^CI0^PW" + std::to_string(tpl.widthDots) + "^LL" +
                  std::to_string(tpl.heightDots) + "^LH0,0\n";
  int y = margin;
  const std::vector<std::string> texts = LabelTexts(tpl, data);
  for (size_t i = 0; i < texts.size(); ++i) {
    const int h = i == 0 && !tpl.title.empty() ? titleH : textH;
    z += "^FO" + std::to_string(margin) + "," + std::to_string(y) + "^A0N," + std::to_string(h) +
         "," + std::to_string(h) + "^FH_^FD" + ZplEscape(texts[i]) + "^FS\n";
    y += h + h / 4;
  }
  // Code 128 in automatic mode: the printer picks the subsets, digits stay digits
  // (leading zeros included); the human-readable line below the bars.
  auto code128 = [&](const std::string& value) {
    z += "^FO" + std::to_string(margin) + "," + std::to_string(y) + "^BY" + std::to_string(module) +
         "^BCN," + std::to_string(barH) + ",Y,N,N,A^FH_^FD" + ZplEscape(value) + "^FS\n";
    y += barH + textH + margin;
  };
  const int barsTop = y;
  code128(data.mac);
  if (!data.serial.empty()) code128(data.serial);
  // The QR data starts with its parameters: error correction Q, automatic input.
  const int qrX = tpl.widthDots - margin - qrSide;
  z += "^FO" + std::to_string(qrX) + "," + std::to_string(barsTop) + "^BQN,2," +
       std::to_string(qrMag) + "^FH_^FDQA," + ZplEscape(qr) + "^FS\n";
  z += "^XZ\n";
  // Width of the longer Code 128: 11 modules a symbol character, a run of four or more
  // digits taking one character a pair (and one to switch), plus start, check, stop
  // (13 modules with its end bar) and the quiet zones of 10 modules each side.
  auto symbols = [](const std::string& v) {
    size_t count = 0;
    for (size_t i = 0; i < v.size();) {
      size_t run = 0;
      while (i + run < v.size() && v[i + run] >= '0' && v[i + run] <= '9') ++run;
      if (run >= 4) {
        count += (run + 1) / 2 + 1;
        i += run;
      } else {
        count += run ? run : 1;
        i += run ? run : 1;
      }
    }
    return count;
  };
  const size_t longest = std::max(symbols(data.mac), symbols(data.serial));
  const int barsW = static_cast<int>((longest + 2) * 11 + 13 + 20) * module;
  const int bottom = std::max(y, barsTop + qrSide);
  if (bottom > tpl.heightDots + margin || margin + barsW > qrX) {
    *error = "the label's content does not fit " + std::to_string(tpl.widthDots) + " x " +
             std::to_string(tpl.heightDots) + " dots";
    return false;
  }
  *zpl = std::move(z);
  return true;
}
