// Paths on Windows: UTF-8 inside the station, wide characters towards the system.
// Either separator is accepted; new paths are joined with a backslash.
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/Paths.h"
#include "platform/Win32Text.h"

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// The attributes of the file or directory itself, following a symbolic link or
// junction to what it names; false when there is none.
bool TargetAttributes(const std::string& path, DWORD* attributes) {
  std::wstring wide;
  if (path.empty() || !Utf8ToWide(path, &wide)) return false;
  const DWORD a = GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    *attributes = a;
    return true;
  }
  const HANDLE h =
      CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return false;
  *attributes = info.dwFileAttributes;
  return true;
}

}  // namespace

std::string ExecutableDir() {
  // A path can be longer than MAX_PATH: grow until it fits.
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return ".";
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    if (buf.size() >= 32768) return ".";
    buf.resize(buf.size() * 2);
  }
  const std::string path = WideToUtf8(buf.data(), buf.size());
  const size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return ".";
  // C:\prog.exe lives in C:\ (the root keeps its separator).
  if (sep == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, sep);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  size_t start = 0;
  while (start < name.size() && IsSeparator(name[start])) start++;
  if (IsSeparator(dir.back())) return dir + name.substr(start);
  return dir + "\\" + name.substr(start);
}

bool FileExists(const std::string& path) {
  DWORD a = 0;
  return TargetAttributes(path, &a) &&
         (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool DirectoryExists(const std::string& path) {
  DWORD a = 0;
  return TargetAttributes(path, &a) && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int MakeDirectory(const std::string& path) {
  if (DirectoryExists(path)) return 0;
  std::wstring wide;
  if (path.empty() || !Utf8ToWide(path, &wide)) return EINVAL;
  if (CreateDirectoryW(wide.c_str(), nullptr)) return 0;
  const DWORD e = GetLastError();
  return e == ERROR_ALREADY_EXISTS && DirectoryExists(path) ? 0 : static_cast<int>(e);
}

bool NothingAt(const std::string& path) {
  std::wstring wide;
  if (path.empty() || !Utf8ToWide(path, &wide)) return false;
  if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}
