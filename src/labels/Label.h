#pragma once
// A unit's label: what goes on it (LabelData), how it is laid out (LabelTemplate, read
// from a small text file), and the ZPL a label printer takes.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

// One unit's label. mac is six hex groups joined by ':' (either case; printed upper-case),
// serial is empty or printable ASCII without spaces. fields give the values of the
// template's other placeholders ("station", "date").
struct LabelData {
  std::string mac;
  std::string serial;
  std::map<std::string, std::string> fields;
};

// A label template file: "key = value" lines, '#' comments and blank lines.
//   title  = the first, larger text line
//   line   = a further text line (up to kMaxTemplateLines of them, in order)
//   width  = label width in dots, height = label height in dots, dpi = printer resolution
// Text may hold the placeholders {mac}, {serial}, {station} and {date}.
struct LabelTemplate {
  std::string title = "{mac}";
  std::vector<std::string> lines;
  int widthDots = 812;  // 4 in at 203 dpi
  int heightDots = 406;
  int dpi = 203;
};

inline constexpr size_t kMaxTemplateBytes = 16 * 1024;
inline constexpr size_t kMaxTemplateLines = 8;
inline constexpr size_t kMaxTextLength = 120;
inline constexpr size_t kMaxSerialLength = 48;

// Parses a template's text. False with *error ("line N: ...") on anything it does not
// know: an unknown key, a repeated setting, a number out of range, an unknown
// placeholder, a control or non-ASCII character, too many lines, too much text.
bool ParseLabelTemplate(const std::string& text, LabelTemplate* out, std::string* error);
// Reads and parses a template file (at most kMaxTemplateBytes).
bool LoadLabelTemplate(const std::string& path, LabelTemplate* out, std::string* error);

// Checks the data and brings the MAC address to its printed form (upper-case). False
// with *error when the address is not six hex groups, the serial is too long or holds a
// space or a character outside printable ASCII, or a field value is not printable text.
bool NormalizeLabelData(LabelData* data, std::string* error);

// The template's text lines (the title first) with the placeholders filled in; a
// placeholder without a value becomes empty.
std::vector<std::string> LabelTexts(const LabelTemplate& tpl, const LabelData& data);

// What the QR code holds: the MAC address, and the serial after one space when there is one.
std::string QrPayload(const LabelData& data);

// The label in ZPL: the text lines, a Code 128 of the MAC address with its text, a Code
// 128 of the serial when there is one, and a QR code of the QR payload. Every data field
// is hex-escaped (^FH) where it holds the format's command characters. data must have
// passed NormalizeLabelData. False with *error when the content does not fit the label.
bool RenderZpl(const LabelTemplate& tpl, const LabelData& data, std::string* zpl,
               std::string* error);

// A ^FD data field for a field preceded by ^FH_ : '^', '~', '_' and any byte outside
// printable ASCII become "_XX" (two hex digits).
std::string ZplEscape(const std::string& text);
