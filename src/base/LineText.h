#pragma once
// Texts as one printable line, for line-based output (the headless board, the records
// tool's summary).
#include <string>

// CR -> \r, LF -> \n, backslash -> \\, every other byte below 0x20 or above 0x7E -> \xHH.
std::string EscapeLineText(const std::string& text);
