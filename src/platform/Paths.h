#pragma once
// The data directory holds storedCfg.txt, storedMAC.txt and ports/. By default it is
// the directory of the running executable; --dir DIR chooses another.
#include <string>

std::string ExecutableDir();
// Joins a directory and a file name with "/" (a backslash on Windows, where both
// separators are accepted); no doubled separator.
std::string JoinPath(const std::string& dir, const std::string& name);
bool FileExists(const std::string& path);       // a regular file (or a link to one)
bool DirectoryExists(const std::string& path);  // a directory (or a link to one)
// Creates the directory path (its parent must exist), readable by the owner's group
// only; 0 when it is there now, else the system's error number.
int MakeDirectory(const std::string& path);
// Nothing at all is at path: no file, directory or link (not even a dangling one).
// False when something is there, or when that cannot be told (a directory on the
// way that cannot be searched).
bool NothingAt(const std::string& path);
