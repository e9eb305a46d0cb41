#pragma once
// The terminal a person types at, for a secret such as a password: whether standard
// input is one, and a line read from it without echo. Terminal.cpp is the POSIX
// implementation, Terminal_win.cpp the Windows console's.
#include <cstddef>
#include <string>

// True when standard input is a terminal (a console window on Windows), not a file or
// a pipe.
bool StandardInputIsTerminal();

struct HiddenLine {
  std::string text;      // the line without its line end; empty when tooLong
  bool tooLong = false;  // the line was longer than maxBytes (the rest was read and dropped)
  bool ended = false;    // the input ended (Ctrl+D, Ctrl+Z) before a line end
};

// Writes prompt to standard error, then reads one line from standard input (a
// terminal) with echo off. Echo comes back when the line is read, and also when the
// program is ended while it waits (Ctrl+C). Nothing is read unless echo is off. 0 or an
// error number of the operating system.
int ReadLineWithoutEcho(const std::string& prompt, size_t maxBytes, HiddenLine* out);
