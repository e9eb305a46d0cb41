#pragma once
// Files through the operating system, behind one small interface. Every result is 0
// or a positive error number of the operating system; no descriptor or errno type
// crosses it. Files.cpp is the POSIX implementation; another operating system gets a
// file of its own beside it with this same interface.
#include <cstddef>
#include <cstdint>
#include <string>

// A regular file opened for reading, shared with other readers and writers.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { Close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens path for reading. Only a regular file (or a link to one) is accepted: a
  // directory, pipe or device is refused, and the open never waits on it.
  int Open(const std::string& path);
  // The file's size when it was opened.
  uint64_t Size() const { return size_; }
  // Reads up to len bytes; *got is 0 at the end of the file.
  int Read(void* buf, size_t len, size_t* got);
  // Reads the rest of the file into *data. More than maxBytes fails (with the
  // system's "file too large" error) and leaves *data empty.
  int ReadAll(size_t maxBytes, std::string* data);
  void Close();
  bool IsOpen() const { return handle_ != kNoHandle; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
  uint64_t size_ = 0;
};

// Replaces the file at path by data, atomically and durably: the bytes go to a new file
// with a short temporary name in the target's directory, which is synced and renamed
// over the target; then the directory is synced. A failure at any step leaves the old
// file as it was, and the temporary file is removed.
// - A symbolic link at path is followed: its target is replaced (in the target's
//   directory) and the link stays a link.
// - A replaced file keeps its permissions. A new file takes those of permissionsFrom
//   when that names a regular file, otherwise the default for new files.
// - A target that is not a regular file (a directory, a device) is refused.
// *failedWriting, when given, tells a failure while writing or syncing the bytes from
// one while making the new file or putting it in place.
int ReplaceFile(const std::string& path, const void* data, size_t size,
                const std::string& permissionsFrom = {}, bool* failedWriting = nullptr);

// Writes data to a new file at path and syncs it; a file already there is never
// overwritten (the system's "file exists" error). ownerOnly: only the file's owner may
// read or write it (mode 0600; on Windows the directory's access rights apply, as for
// FileReadableByOthers). A failure after the file was made removes it again.
int CreateNewFile(const std::string& path, const void* data, size_t size, bool ownerOnly);

// The name of a fresh temporary file for ReplaceFile: ".pt" and six letters or digits,
// a new one at every call, with seed (the time and the process) telling processes apart.
std::string TemporaryFileName(uint64_t seed);

// Which file a path names now: the device and the file's number on it (the volume
// serial and file index on Windows). Two paths with equal ids name one file; a path
// whose id changed was replaced. 0, or an error number (ENOENT when nothing is there).
struct FileId {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileId& o) const { return device == o.device && index == o.index; }
  bool operator!=(const FileId& o) const { return !(*this == o); }
};
int FileIdOf(const std::string& path, FileId* id);

// Whether users other than the file's owner may read it: *others is set from the
// group and other permission bits on POSIX systems. On Windows the file's access list
// is not checked (*others is false): keep such files in the station user's profile.
int FileReadableByOthers(const std::string& path, bool* others);

// A file held open for reading and writing and locked exclusively for as long as it
// is open, so that no second holder (another station) can open it the same way.
// WriteAt and Sync are virtual so that tests can make them fail.
class LockedFile {
 public:
  LockedFile() = default;
  virtual ~LockedFile() { Close(); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  // Opens path, creating it empty when it does not exist, and locks it without
  // waiting: a file another holder has locked fails at once. Only a regular file is
  // accepted.
  int Open(const std::string& path);
  // Reads up to len bytes at offset; *got is 0 at the end of the file.
  int ReadAt(uint64_t offset, void* buf, size_t len, size_t* got);
  // Writes all len bytes at offset.
  virtual int WriteAt(uint64_t offset, const void* data, size_t len);
  // Makes what was written durable.
  virtual int Sync();
  // True while path still names the very file held: the same file, still linked.
  // False when it was replaced or removed, or when that cannot be told.
  bool IsStillAt(const std::string& path) const;
  // Closes the file and releases the lock.
  void Close();
  bool IsOpen() const { return handle_ != kNoHandle; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
};

// A log file: created anew (an existing file is emptied) and written at its end. A
// symbolic link (or anything but a regular file) in its place is refused instead of
// written through. Held locked while open, so two stations never write one log.
class LogFile {
 public:
  LogFile() = default;
  ~LogFile() { Close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  int Create(const std::string& path);
  // Appends all len bytes.
  int Write(const void* data, size_t len);
  void Close();
  bool IsOpen() const { return handle_ != kNoHandle; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
};
