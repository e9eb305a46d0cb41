// The POSIX implementation of the files interface.
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

int Fd(intptr_t handle) {
  return static_cast<int>(handle);
}

int LastError() {
  return errno != 0 ? errno : EIO;
}

// The error for a file of the wrong kind.
int NotRegularError(const struct stat& st) {
  return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
}

// Opens with O_NONBLOCK (a pipe or device in a file's place never blocks the open) and
// accepts only a regular file: the descriptor, or -1 with *error set.
int OpenRegular(const std::string& path, int flags, mode_t mode, int* error,
                struct stat* st = nullptr) {
  if (path.empty()) {
    *error = ENOENT;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = LastError();
    return -1;
  }
  struct stat own {};
  struct stat& s = st != nullptr ? *st : own;
  if (::fstat(fd, &s) != 0) {
    *error = LastError();
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(s.st_mode)) {
    *error = NotRegularError(s);
    ::close(fd);
    return -1;
  }
  *error = 0;
  return fd;
}

int WriteAllAt(int fd, const void* data, size_t len, off_t offset, bool positioned) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = positioned ? ::pwrite(fd, p, len, offset) : ::write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return EIO;
    p += n;
    len -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Follows symbolic links from path to the file they finally name (which need not
// exist yet).
int ResolveLinks(const std::string& path, std::string* target) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT) return LastError();
      *target = p;
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) {
      *target = p;
      return 0;
    }
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
    if (n < 0) return LastError();
    if (static_cast<size_t>(n) >= sizeof buf) return ENAMETOOLONG;
    std::string link(buf, static_cast<size_t>(n));
    if (link.empty()) return ENOENT;
    p = link[0] == '/' ? link : DirectoryOf(p) + "/" + link;
  }
  return ELOOP;
}

// A new, empty file with a short name of its own in dir (".pt" and six characters),
// whatever the length of the name it will replace. Created with the default
// permissions for new files.
int CreateTemporary(const std::string& dir, int* fd, std::string* tmpPath) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  const uint64_t seed = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(::getpid()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = TemporaryFileName(seed);
    const std::string path = dir + "/" + name;
    int f;
    do {
      f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (f < 0 && errno == EINTR);
    if (f >= 0) {
      *fd = f;
      *tmpPath = path;
      return 0;
    }
    if (errno != EEXIST) return LastError();
  }
  return EEXIST;
}

void SyncDirectory(const std::string& dir) {
  const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) return;
  ::fsync(d);  // some file systems cannot sync a directory; the rename stands anyway
  ::close(d);
}

}  // namespace

// ---------------------------------------------------------------- InputFile

int InputFile::Open(const std::string& path) {
  Close();
  int error = 0;
  struct stat st {};
  const int fd = OpenRegular(path, O_RDONLY, 0, &error, &st);
  if (fd < 0) return error;
  handle_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  return 0;
}

int InputFile::Read(void* buf, size_t len, size_t* got) {
  *got = 0;
  if (!IsOpen()) return EBADF;
  ssize_t n;
  do {
    n = ::read(Fd(handle_), buf, len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return LastError();
  *got = static_cast<size_t>(n);
  return 0;
}

void InputFile::Close() {
  if (IsOpen()) ::close(Fd(handle_));
  handle_ = kNoHandle;
  size_ = 0;
}

// ---------------------------------------------------------------- ReplaceFile

int ReplaceFile(const std::string& path, const void* data, size_t size,
                const std::string& permissionsFrom, bool* failedWriting) {
  if (failedWriting != nullptr) *failedWriting = false;
  if (path.empty()) return ENOENT;
  std::string target;
  if (const int e = ResolveLinks(path, &target)) return e;

  bool keepMode = false;
  mode_t mode = 0;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return NotRegularError(st);
    keepMode = true;
    mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return LastError();
  } else if (!permissionsFrom.empty() && ::stat(permissionsFrom.c_str(), &st) == 0 &&
             S_ISREG(st.st_mode)) {
    keepMode = true;
    mode = st.st_mode & 07777;
  }

  const std::string dir = DirectoryOf(target);
  int fd = -1;
  std::string tmp;
  if (const int e = CreateTemporary(dir, &fd, &tmp)) return e;

  int e = 0;
  bool writing = false;
  if (keepMode && ::fchmod(fd, mode) != 0) e = LastError();
  if (e == 0) {
    e = WriteAllAt(fd, data, size, 0, false);
    if (e == 0 && ::fsync(fd) != 0) e = LastError();
    writing = e != 0;
  }
  if (::close(fd) != 0 && e == 0) {
    e = LastError();
    writing = true;
  }
  if (e == 0 && ::rename(tmp.c_str(), target.c_str()) != 0) e = LastError();
  if (e != 0) {
    ::unlink(tmp.c_str());
    if (failedWriting != nullptr) *failedWriting = writing;
    return e;
  }
  SyncDirectory(dir);
  return 0;
}

// ---------------------------------------------------------------- CreateNewFile

int CreateNewFile(const std::string& path, const void* data, size_t size, bool ownerOnly) {
  if (path.empty()) return ENOENT;
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                ownerOnly ? 0600 : 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return LastError();
  // The creation mask may take bits away, never add them: 0600 stays at most 0600.
  int e = WriteAllAt(fd, data, size, 0, false);
  if (e == 0 && ::fsync(fd) != 0) e = LastError();
  if (::close(fd) != 0 && e == 0) e = LastError();
  if (e != 0) {
    ::unlink(path.c_str());
    return e;
  }
  SyncDirectory(DirectoryOf(path));
  return 0;
}

// ---------------------------------------------------------------- LockedFile

int LockedFile::Open(const std::string& path) {
  Close();
  int error = 0;
  const int fd = OpenRegular(path, O_RDWR | O_CREAT, 0644, &error);
  if (fd < 0) return error;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = LastError();
    ::close(fd);
    return error;
  }
  handle_ = fd;
  return 0;
}

int LockedFile::ReadAt(uint64_t offset, void* buf, size_t len, size_t* got) {
  *got = 0;
  if (!IsOpen()) return EBADF;
  ssize_t n;
  do {
    n = ::pread(Fd(handle_), buf, len, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return LastError();
  *got = static_cast<size_t>(n);
  return 0;
}

int LockedFile::WriteAt(uint64_t offset, const void* data, size_t len) {
  if (!IsOpen()) return EBADF;
  return WriteAllAt(Fd(handle_), data, len, static_cast<off_t>(offset), true);
}

int LockedFile::Sync() {
  if (!IsOpen()) return EBADF;
  return ::fsync(Fd(handle_)) == 0 ? 0 : LastError();
}

int FileIdOf(const std::string& path, FileId* id) {
  struct stat st {};
  if (path.empty()) return ENOENT;
  if (::stat(path.c_str(), &st) != 0) return LastError();
  id->device = static_cast<uint64_t>(st.st_dev);
  id->index = static_cast<uint64_t>(st.st_ino);
  return 0;
}

int FileReadableByOthers(const std::string& path, bool* others) {
  struct stat st {};
  if (path.empty()) return ENOENT;
  if (::stat(path.c_str(), &st) != 0) return LastError();
  *others = (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
  return 0;
}

bool LockedFile::IsStillAt(const std::string& path) const {
  if (!IsOpen()) return false;
  struct stat held {};
  struct stat named {};
  if (::fstat(Fd(handle_), &held) != 0 || held.st_nlink == 0) return false;
  if (::stat(path.c_str(), &named) != 0) return false;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void LockedFile::Close() {
  if (IsOpen()) ::close(Fd(handle_));  // also releases the lock
  handle_ = kNoHandle;
}

// ---------------------------------------------------------------- LogFile

int LogFile::Create(const std::string& path) {
  Close();
  int error = 0;
  // Opened without truncation first: the lock is taken before anything is lost, so a
  // log another process holds is never emptied under it.
  const int fd = OpenRegular(path, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW, 0644, &error);
  if (fd < 0) return error;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
    error = LastError();
    ::close(fd);
    return error;
  }
  handle_ = fd;
  return 0;
}

int LogFile::Write(const void* data, size_t len) {
  if (!IsOpen()) return EBADF;
  return WriteAllAt(Fd(handle_), data, len, 0, false);
}

void LogFile::Close() {
  if (IsOpen()) ::close(Fd(handle_));
  handle_ = kNoHandle;
}
