#pragma once
// The editor's input checks, shared by the editor window and eeprom-tool: the integer
// conversion of numeric edits, the range and hex-byte checks with their messages, and
// the checks made before an image is saved.
#include <string>

#include "base/MessageBoxes.h"
#include "eeprom/EepromImage.h"

// Converts text as an integer: leading blanks, an optional sign, then decimal digits or
// a hexadecimal number behind "$", "x" or "0x" (either case); nothing may follow.
// False when the text is not an integer or does not fit in 32 bits.
bool ConvertInteger(const std::string& text, long long* value);

// "'%s' is not a valid integer value."
std::string NotIntegerMessage(const std::string& text);
// "0~%d is valid"
std::string RangeMessage(int maximum);

// 0 when text is empty or an integer 0..maximum; otherwise shows the message and
// returns -1. The conversion error is shown under appTitle with a stop icon, the range
// error under "Error".
int CheckRange(MessageBoxes& boxes, const std::string& appTitle, const std::string& text,
               int maximum);
// 0 when text is empty or "0x" + text converts; otherwise shows the conversion error.
int CheckHexByte(MessageBoxes& boxes, const std::string& appTitle, const std::string& text);

// The field a pre-save check refused, so the editor can show the engineer which one.
enum class EepromField { None, DeviceName, ModelName, IpAddress, NetMask };
struct FieldCheck {
  std::string message;  // "" when every check passed
  bool custom = true;   // the record of the refused field
  EepromField field = EepromField::None;
};

// The first failing pre-save check of the shown groups: empty device names, then empty
// model names, then the leftmost field of each IP address, then of each net mask
// (custom before default).
FieldCheck ValidateFieldsCheck(const EepromFields& fields, unsigned groups = kGroupAll);
// Its message alone, or "" when all pass.
std::string ValidateFieldsMessage(const EepromFields& fields, unsigned groups = kGroupAll);
