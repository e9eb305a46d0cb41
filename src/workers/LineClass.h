#pragma once
// Classes of the lines a device prints on its console, shared by the workers that read
// them, and the first-match search over a worker's keyword table.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// recvStatus: the class of the last classified line (its number is shown in texts).
enum class RecvStatus : int32_t {
  RecvNone = 0,
  RecvFwLine = 1,
  RecvLoaderBanner = 2,
  RecvDownloading = 3,
  RecvWriteToFlash = 4,
  RecvSaveToEeprom = 5,
  RecvVersionLine = 6,
  RecvGlmReply = 7,
  RecvMacMismatch = 8,
  RecvSycReply = 9,
};

struct LineKeyword {
  const char* text;
  RecvStatus status;
};

// The first keyword of the table (in its order) that the line contains, or nullptr.
inline const LineKeyword* FindLineKeyword(std::string_view line,
                                          std::span<const LineKeyword> table) {
  for (const LineKeyword& k : table)
    if (line.find(k.text) != std::string_view::npos) return &k;
  return nullptr;
}
