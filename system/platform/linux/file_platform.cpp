// 64-bit offsets and sizes on every build, the 32-bit one included.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "system/platform/file_platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace Yr::Platform {
namespace {

// A name in the system's form: backslashes turned into '/'. Names that do not fit are
// refused rather than cut, so a long name never reaches the system as a different one.
class SystemName {
 public:
  explicit SystemName(const char* name) {
    if (name == nullptr) return;
    size_t length = std::strlen(name);
    if (length >= sizeof mText) return;
    for (size_t i = 0; i < length; ++i) mText[i] = name[i] == '\\' ? '/' : name[i];
    mText[length] = '\0';
    mValid = true;
  }
  bool Valid() const { return mValid; }
  const char* Text() const { return mText; }

 private:
  char mText[PATH_MAX];
  bool mValid = false;
};

int Descriptor(FileHandle handle) { return static_cast<int>(handle); }

void CloseDescriptor(int descriptor) {
  // A close interrupted by a signal has still released the descriptor on Linux: never retry.
  ::close(descriptor);
}

// Handle 0 would read as "null" to the file classes: move a descriptor that came back as 0
// (standard input was closed) to a higher number.
int AvoidZero(int descriptor) {
  if (descriptor != 0) return descriptor;
  int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 1);
  CloseDescriptor(descriptor);
  return moved;
}

int OpenRetrying(const char* name, int flags, mode_t mode) {
  int descriptor;
  do {
    descriptor = ::open(name, flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// Takes the share lock without waiting. A lock that is held by someone else refuses the
// open; a file system without lock support leaves the file unlocked rather than unusable.
bool TakeShareLock(int descriptor, bool exclusive) {
  int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  for (;;) {
    if (::flock(descriptor, operation) == 0) return true;
    if (errno == EINTR) continue;
    return errno != EWOULDBLOCK;
  }
}

uint64_t ToFileTime(int64_t seconds, uint32_t nanoseconds) {
  constexpr int64_t kEpochSeconds = static_cast<int64_t>(kFileTimeUnixEpoch / kFileTimeTicksPerSecond);
  constexpr uint32_t kNanosecondsPerTick = 100;
  if (seconds < -kEpochSeconds) return 0;
  return static_cast<uint64_t>(seconds + kEpochSeconds) * kFileTimeTicksPerSecond + nanoseconds / kNanosecondsPerTick;
}

}  // namespace

FileHandle FileOpen(const char* name, FileOpenMode mode, bool noBuffering) {
  SystemName path(name);
  if (!path.Valid()) return kInvalidFileHandle;
  constexpr mode_t kCreateMode = 0666;  // narrowed by the process's umask

  if (mode == FileOpenMode::kWrite) {
    // Created if missing but not truncated yet: the file may belong to another opener.
    int descriptor = AvoidZero(OpenRetrying(path.Text(), O_WRONLY | O_CREAT | O_CLOEXEC, kCreateMode));
    if (descriptor < 0) return kInvalidFileHandle;
    if (!TakeShareLock(descriptor, true) || ::ftruncate(descriptor, 0) != 0) {
      CloseDescriptor(descriptor);
      return kInvalidFileHandle;
    }
    return descriptor;
  }

  int flags = O_RDONLY | O_CLOEXEC;
  int descriptor = -1;
  if (noBuffering) {
    descriptor = OpenRetrying(path.Text(), flags | O_DIRECT, 0);
    // EINVAL: the file system does not do uncached transfers; fall back to a plain open.
    if (descriptor < 0 && errno != EINVAL) return kInvalidFileHandle;
  }
  if (descriptor < 0) descriptor = OpenRetrying(path.Text(), flags, 0);
  descriptor = AvoidZero(descriptor);
  if (descriptor < 0) return kInvalidFileHandle;
  struct stat info;
  if (::fstat(descriptor, &info) != 0 || S_ISDIR(info.st_mode) || !TakeShareLock(descriptor, false)) {
    CloseDescriptor(descriptor);
    return kInvalidFileHandle;
  }
  return descriptor;
}

void FileClose(FileHandle handle) {
  if (handle < 0) return;
  CloseDescriptor(Descriptor(handle));
}

bool FileRead(FileHandle handle, void* buffer, uint32_t bytes, uint32_t* done) {
  *done = 0;
  char* cursor = static_cast<char*>(buffer);
  while (*done < bytes) {
    ssize_t count = ::read(Descriptor(handle), cursor + *done, bytes - *done);
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (count == 0) break;  // end of file
    *done += static_cast<uint32_t>(count);
  }
  return true;
}

bool FileWrite(FileHandle handle, const void* buffer, uint32_t bytes, uint32_t* done) {
  *done = 0;
  const char* cursor = static_cast<const char*>(buffer);
  while (*done < bytes) {
    ssize_t count = ::write(Descriptor(handle), cursor + *done, bytes - *done);
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (count == 0) return false;  // nothing accepted: no progress is possible
    *done += static_cast<uint32_t>(count);
  }
  return true;
}

bool FileSeek(FileHandle handle, int64_t offset, int origin, int64_t* position) {
  int whence = origin == 0 ? SEEK_SET : origin == 2 ? SEEK_END : SEEK_CUR;
  off_t result = ::lseek(Descriptor(handle), static_cast<off_t>(offset), whence);
  if (result < 0) return false;
  *position = static_cast<int64_t>(result);
  return true;
}

bool FileSize(FileHandle handle, uint64_t* size) {
  struct stat info;
  if (::fstat(Descriptor(handle), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool FileTimes(FileHandle handle, uint64_t* creation, uint64_t* lastWrite) {
  struct statx info;
  if (::statx(Descriptor(handle), "", AT_EMPTY_PATH, STATX_BTIME | STATX_MTIME | STATX_CTIME, &info) == 0) {
    const struct statx_timestamp& born = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime;
    *creation = ToFileTime(born.tv_sec, born.tv_nsec);
    *lastWrite = ToFileTime(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
    return true;
  }
  // Kernels or emulators without statx: the status-change time stands in for creation.
  if (errno != ENOSYS && errno != EINVAL) return false;
  struct stat status;
  if (::fstat(Descriptor(handle), &status) != 0) return false;
  *creation = ToFileTime(status.st_ctim.tv_sec, static_cast<uint32_t>(status.st_ctim.tv_nsec));
  *lastWrite = ToFileTime(status.st_mtim.tv_sec, static_cast<uint32_t>(status.st_mtim.tv_nsec));
  return true;
}

bool MakeDirectory(const char* name) {
  SystemName path(name);
  constexpr mode_t kDirectoryMode = 0777;  // narrowed by the process's umask
  return path.Valid() && ::mkdir(path.Text(), kDirectoryMode) == 0;
}

bool RemoveFile(const char* name) {
  SystemName path(name);
  return path.Valid() && ::unlink(path.Text()) == 0;
}

bool RenameFile(const char* from, const char* to) {
  SystemName source(from);
  SystemName target(to);
  return source.Valid() && target.Valid() && ::rename(source.Text(), target.Text()) == 0;
}

PathKind GetPathKind(const char* name) {
  SystemName path(name);
  struct stat info;
  if (!path.Valid() || ::stat(path.Text(), &info) != 0) return PathKind::kMissing;
  return S_ISDIR(info.st_mode) ? PathKind::kDirectory : PathKind::kFile;
}

uint64_t FreeBytes(const char* directory) {
  SystemName path(directory ? directory : ".");
  struct statvfs info;
  if (!path.Valid() || ::statvfs(path.Text(), &info) != 0) return 0;
  return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}

bool ListMatches(const char* pattern, FoundName found, void* context) {
  SystemName path(pattern);
  if (!path.Valid()) return false;
  const char* text = path.Text();
  const char* slash = std::strrchr(text, '/');
  const char* component = slash ? slash + 1 : text;
  if (*component == '\0') return false;

  char directory[PATH_MAX];
  if (slash == nullptr) {
    std::strcpy(directory, ".");
  } else if (slash == text) {
    std::strcpy(directory, "/");
  } else {
    size_t length = static_cast<size_t>(slash - text);
    std::memcpy(directory, text, length);
    directory[length] = '\0';
  }

  DIR* stream = ::opendir(directory);
  if (stream == nullptr) return false;
  while (const struct dirent* entry = ::readdir(stream)) {
    if (WildcardMatch(component, entry->d_name)) found(context, entry->d_name);
  }
  ::closedir(stream);
  return true;
}

}  // namespace Yr::Platform
