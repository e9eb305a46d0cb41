// The Windows implementation of the files interface: wide-character calls on UTF-8
// paths, GetLastError's numbers as results.
#include <windows.h>
// windows.h names the system's own ReplaceFile call by a macro; ours is a function.
#undef ReplaceFile

#include <climits>

#include "platform/Files.h"
#include "platform/Win32Text.h"

namespace {

HANDLE H(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

intptr_t Handle(HANDLE h) {
  return reinterpret_cast<intptr_t>(h);
}

int LastError() {
  const DWORD e = GetLastError();
  return e != 0 ? static_cast<int>(e) : ERROR_GEN_FAILURE;
}

DWORD Clamp(size_t n) {
  return n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether h is a regular file: 0, or the error for a file of the wrong kind (a
// directory is refused as Windows refuses it, anything else as a bad file type).
int CheckRegular(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
  if (GetFileType(h) != FILE_TYPE_DISK) return ERROR_BAD_FILE_TYPE;
  if (!GetFileInformationByHandle(h, info)) return LastError();
  if (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
  if (info->dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return ERROR_BAD_FILE_TYPE;
  return 0;
}

// Opens path with CreateFileW and accepts only a regular file: the handle, or
// INVALID_HANDLE_VALUE with *error set.
HANDLE OpenRegular(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags, int* error, BY_HANDLE_FILE_INFORMATION* info = nullptr) {
  std::wstring wide;
  if (path.empty()) {
    *error = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  if (!Utf8ToWide(path, &wide)) {
    *error = ERROR_INVALID_NAME;
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE h = CreateFileW(wide.c_str(), access, share, nullptr, disposition,
                               FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return h;
  }
  BY_HANDLE_FILE_INFORMATION own{};
  if (const int e = CheckRegular(h, info != nullptr ? info : &own)) {
    CloseHandle(h);
    *error = e;
    return INVALID_HANDLE_VALUE;
  }
  *error = 0;
  return h;
}

// Writes all len bytes at offset (or at the file pointer when offset is null).
int WriteAll(HANDLE h, const void* data, size_t len, const uint64_t* offset) {
  const char* p = static_cast<const char*>(data);
  uint64_t at = offset != nullptr ? *offset : 0;
  while (len > 0) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(at);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    if (!WriteFile(h, p, Clamp(len), &n, offset != nullptr ? &ov : nullptr)) return LastError();
    if (n == 0) return ERROR_WRITE_FAULT;
    p += n;
    len -= n;
    at += n;
  }
  return 0;
}

// The directory part of a path ("." when there is none).
std::string DirectoryOf(const std::string& path) {
  const size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return ".";
  return path.substr(0, sep);
}

// The file that path finally names: a symbolic link is followed to its target; a path
// that names nothing yet stays as it is.
int ResolveLinks(const std::string& path, std::string* target) {
  std::wstring wide;
  if (!Utf8ToWide(path, &wide)) return ERROR_INVALID_NAME;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *target = path;
    return 0;
  }
  const HANDLE h = CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  std::wstring final(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, final.data(), static_cast<DWORD>(final.size()), 0);
  if (n >= final.size()) {
    final.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, final.data(), static_cast<DWORD>(final.size()), 0);
  }
  const int e = n == 0 || n >= final.size() ? LastError() : 0;
  CloseHandle(h);
  if (e != 0) return e;
  *target = WideToUtf8(final.data(), n);
  return 0;
}

// A new, empty file with a short name of its own in dir (".pt" and six characters),
// opened for writing and not shared.
int CreateTemporary(const std::string& dir, HANDLE* h, std::string* tmpPath) {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const uint64_t seed =
      static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = TemporaryFileName(seed);
    const std::string path = dir + "\\" + name;
    std::wstring wide;
    if (!Utf8ToWide(path, &wide)) return ERROR_INVALID_NAME;
    const HANDLE f = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
      *h = f;
      *tmpPath = path;
      return 0;
    }
    const DWORD e = GetLastError();
    if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) return static_cast<int>(e);
  }
  return ERROR_FILE_EXISTS;
}

void RemoveFile(const std::string& path) {
  std::wstring wide;
  if (Utf8ToWide(path, &wide)) DeleteFileW(wide.c_str());
}

}  // namespace

// ---------------------------------------------------------------- InputFile

int InputFile::Open(const std::string& path) {
  Close();
  int error = 0;
  const HANDLE h =
      OpenRegular(path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, &error);
  if (h == INVALID_HANDLE_VALUE) return error;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) {
    error = LastError();
    CloseHandle(h);
    return error;
  }
  handle_ = Handle(h);
  size_ = static_cast<uint64_t>(size.QuadPart);
  return 0;
}

int InputFile::Read(void* buf, size_t len, size_t* got) {
  *got = 0;
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  DWORD n = 0;
  if (!ReadFile(H(handle_), buf, Clamp(len), &n, nullptr)) return LastError();
  *got = n;
  return 0;
}

void InputFile::Close() {
  if (IsOpen()) CloseHandle(H(handle_));
  handle_ = kNoHandle;
  size_ = 0;
}

// ---------------------------------------------------------------- ReplaceFile

// The new file is written, flushed (FlushFileBuffers) and moved over the target with
// MoveFileEx(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH). It takes the
// access rights that the directory hands to new files; a read-only target is not
// replaced (ERROR_ACCESS_DENIED), as Windows keeps such files.
int ReplaceFile(const std::string& path, const void* data, size_t size,
                const std::string& /*permissionsFrom*/, bool* failedWriting) {
  if (failedWriting != nullptr) *failedWriting = false;
  if (path.empty()) return ERROR_FILE_NOT_FOUND;
  std::string target;
  if (const int e = ResolveLinks(path, &target)) return e;

  std::wstring wideTarget;
  if (!Utf8ToWide(target, &wideTarget)) return ERROR_INVALID_NAME;
  // An existing target must be a regular file.
  const HANDLE existing = CreateFileW(wideTarget.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (existing != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info{};
    const int e = CheckRegular(existing, &info);
    CloseHandle(existing);
    if (e != 0) return e;
  } else {
    const DWORD e = GetLastError();
    if (e != ERROR_FILE_NOT_FOUND) return static_cast<int>(e);
  }

  HANDLE h = INVALID_HANDLE_VALUE;
  std::string tmp;
  if (const int e = CreateTemporary(DirectoryOf(target), &h, &tmp)) return e;
  int e = WriteAll(h, data, size, nullptr);
  if (e == 0 && !FlushFileBuffers(h)) e = LastError();
  bool writing = e != 0;
  if (!CloseHandle(h) && e == 0) {
    e = LastError();
    writing = true;
  }
  if (e == 0) {
    std::wstring wideTmp;
    Utf8ToWide(tmp, &wideTmp);
    if (!MoveFileExW(wideTmp.c_str(), wideTarget.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      e = LastError();
    }
  }
  if (e != 0) {
    RemoveFile(tmp);
    if (failedWriting != nullptr) *failedWriting = writing;
  }
  return e;
}

// ---------------------------------------------------------------- CreateNewFile

int CreateNewFile(const std::string& path, const void* data, size_t size, bool /*ownerOnly*/) {
  if (path.empty()) return ERROR_FILE_NOT_FOUND;
  std::wstring wide;
  if (!Utf8ToWide(path, &wide)) return ERROR_INVALID_NAME;
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  int e = WriteAll(h, data, size, nullptr);
  if (e == 0 && !FlushFileBuffers(h)) e = LastError();
  if (!CloseHandle(h) && e == 0) e = LastError();
  if (e != 0) RemoveFile(path);
  return e;
}

// ---------------------------------------------------------------- LockedFile

// Shared for reading, writing and deleting like any file, and locked whole with
// LockFileEx: a second holder's lock fails at once (ERROR_LOCK_VIOLATION), and while
// the lock stands no other handle can read or write the locked bytes.
int LockedFile::Open(const std::string& path) {
  Close();
  int error = 0;
  const HANDLE h =
      OpenRegular(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS, 0, &error);
  if (h == INVALID_HANDLE_VALUE) return error;
  OVERLAPPED ov{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                  &ov)) {
    error = LastError();
    CloseHandle(h);
    return error;
  }
  handle_ = Handle(h);
  return 0;
}

int LockedFile::ReadAt(uint64_t offset, void* buf, size_t len, size_t* got) {
  *got = 0;
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  if (!ReadFile(H(handle_), buf, Clamp(len), &n, &ov)) {
    const DWORD e = GetLastError();
    if (e == ERROR_HANDLE_EOF) return 0;  // at or past the end
    return e != 0 ? static_cast<int>(e) : ERROR_GEN_FAILURE;
  }
  *got = n;
  return 0;
}

int LockedFile::WriteAt(uint64_t offset, const void* data, size_t len) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  return WriteAll(H(handle_), data, len, &offset);
}

int LockedFile::Sync() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  return FlushFileBuffers(H(handle_)) ? 0 : LastError();
}

int FileReadableByOthers(const std::string& path, bool* others) {
  FileId id;
  const int e = FileIdOf(path, &id);
  if (e == 0) *others = false;
  return e;
}

int FileIdOf(const std::string& path, FileId* id) {
  std::wstring wide;
  if (path.empty() || !Utf8ToWide(path, &wide)) return ENOENT;
  const HANDLE h = CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = GetFileInformationByHandle(h, &info);
  const int error = ok ? 0 : LastError();
  CloseHandle(h);
  if (!ok) return error;
  id->device = info.dwVolumeSerialNumber;
  id->index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return 0;
}

bool LockedFile::IsStillAt(const std::string& path) const {
  if (!IsOpen()) return false;
  BY_HANDLE_FILE_INFORMATION held{};
  if (!GetFileInformationByHandle(H(handle_), &held) || held.nNumberOfLinks == 0) return false;
  FILE_STANDARD_INFO standard{};
  if (GetFileInformationByHandleEx(H(handle_), FileStandardInfo, &standard, sizeof standard) &&
      standard.DeletePending) {
    return false;
  }
  std::wstring wide;
  if (!Utf8ToWide(path, &wide)) return false;
  const HANDLE h = CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION named{};
  const BOOL ok = GetFileInformationByHandle(h, &named);
  CloseHandle(h);
  return ok && held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
         held.nFileIndexHigh == named.nFileIndexHigh && held.nFileIndexLow == named.nFileIndexLow;
}

void LockedFile::Close() {
  if (IsOpen()) {
    OVERLAPPED ov{};
    UnlockFileEx(H(handle_), 0, MAXDWORD, MAXDWORD, &ov);
    CloseHandle(H(handle_));
  }
  handle_ = kNoHandle;
}

// ---------------------------------------------------------------- LogFile

// Others may read a log while it is written, but nobody else may write it: a second
// writer's open fails with ERROR_SHARING_VIOLATION before anything is emptied. A
// symbolic link in the log's place is refused (ERROR_CANT_ACCESS_FILE).
int LogFile::Create(const std::string& path) {
  Close();
  int error = 0;
  BY_HANDLE_FILE_INFORMATION info{};
  const HANDLE h = OpenRegular(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS,
                               FILE_FLAG_OPEN_REPARSE_POINT, &error, &info);
  if (h == INVALID_HANDLE_VALUE) return error;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    CloseHandle(h);
    return ERROR_CANT_ACCESS_FILE;
  }
  if (!SetEndOfFile(h)) {  // the file pointer is at 0: empties the file
    error = LastError();
    CloseHandle(h);
    return error;
  }
  handle_ = Handle(h);
  return 0;
}

int LogFile::Write(const void* data, size_t len) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  return WriteAll(H(handle_), data, len, nullptr);
}

void LogFile::Close() {
  if (IsOpen()) CloseHandle(H(handle_));
  handle_ = kNoHandle;
}
