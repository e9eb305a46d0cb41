#pragma once
// The line board page's files (web/board/), compiled into the program so that a station
// serves the page it was built with, wherever it is installed.
#include <cstddef>
#include <string>

struct EmbeddedFile {
  const char* name;         // "index.html"
  const char* contentType;  // "text/html; charset=utf-8"
  const unsigned char* data;
  size_t size;
};

// The file of that name, or null.
const EmbeddedFile* FindBoardFile(const std::string& name);
