// RawFile: the library's synchronous file.
//
// A thin object around one system file handle, opened by plain name or through a named
// mount (system/io/mount.h). Beside the handle it keeps the mount point it was opened
// through, a cached 64-bit size and a sticky error state: the first failure is recorded and
// from then on every operation but Close does nothing and returns its failure value, until
// Close of an open file resets the state. An open that the system refuses is not an error
// state: it returns false and leaves the state as it was, so a mount chain can hand the same
// object to its next mount point.
//
// A file is either read (must exist; shared with other readers) or written (created or
// truncated; exclusive: no reader or other writer may hold it meanwhile).
//
// The object is a plain value owned by its user, often on the stack. It owns its handle:
// Close gives it back, and so does the destructor. It cannot be copied. One RawFile must not
// be used by two threads at once; different RawFile objects are independent.
//
// The static members carry the directory and file-system operations.
#pragma once

#include <cstdint>

#include "system/io/path.h"
#include "system/memory/darray.h"
#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr {

class MountBase;
class MountPath;

// Open flags (bits of the flags argument of RawFile::Open).
enum OpenFlags : unsigned int {
  OpenWrite = 1u << 0,        // write: create or truncate, exclusive; bits 1 and 2 are ignored
  OpenOverlapped = 1u << 1,   // read for asynchronous transfers
  OpenNoBuffering = 1u << 2,  // read bypassing the system cache where the file system allows it
};

enum FileSeekMethod : int {
  SeekBegin = 0,
  SeekCurrent = 1,  // also every value other than SeekBegin and SeekEnd
  SeekEnd = 2,
};

// Sticky error states of RawFile.
enum RawFileError : uint32_t {
  kFileOk = 0,
  kFileErrorNoMount = 1,  // Open through a mount name without a mount point
  kFileErrorOpen = 2,     // the system handed back a null handle
  kFileErrorRead = 3,     // Read or GetTime failed
  kFileErrorWrite = 4,
  kFileErrorSeek = 5,
  kFileErrorTell = 6,
};

class YR_API RawFile {
 public:
  using NameList = DArray<StringId, DefaultHeap<StringId, 16>>;
  static constexpr intptr_t kInvalidHandle = -1;
  static constexpr uint32_t kSizeUnknown = 0xFFFFFFFFu;

  RawFile() = default;
  ~RawFile() { Close(); }
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  // By plain name. A file that is still open is closed first.
  bool Open(const char* name, unsigned int flags);
  // Through the mount chain of the name; fails with kFileErrorNoMount when it has none.
  bool Open(const StringId& mount, const char* name, unsigned int flags);

  // Bytes read; 0 at the end of the file, on failure (state 3) and while an error is set.
  unsigned int Read(void* buffer, unsigned int bytes);
  // Bytes written; 0 on failure (state 4) and while an error is set.
  unsigned int Write(const void* buffer, unsigned int bytes);
  // New absolute position; -1 on failure (state 5) and while an error is set.
  long long Seek(long long offset, FileSeekMethod method);
  // Current position; -1 on failure (state 6) and while an error is set.
  long long Tell() const;
  // The cached size, asked of the system on first use after an open; 0 while an error is set.
  unsigned long long GetSize() const;
  // The later of creation and last-write time as a FILETIME value: 100-nanosecond
  // intervals since 1601-01-01 UTC. 0 on failure (state 3) and while an error is set.
  unsigned long long GetTime() const;
  // Gives the handle back and resets the error state; nothing when the file is not open.
  void Close();

  bool IsOpen() const { return mHandle != kInvalidHandle; }
  uint32_t GetError() const { return mError; }
  MountBase* GetMount() const { return mMount; }

  // The path statics fail on a path that overflowed (Path::Overflowed: a name that did not
  // fit) and touch nothing. Names given as plain text go to the system whole.
  static bool MkDir(const Path& path);
  static bool Delete(const Path& path);
  // Empties out, then appends the bare name of every entry matching the pattern's last
  // component ('*' any run, '?' any one character); "." and ".." included when they match.
  static void GetFiles(const Path& pattern, NameList& out);
  static bool FileExists(const Path& path);
  static bool DirectoryExists(const Path& path);
  static unsigned long long GetFreeSpace(const char* directory);
  static bool Unlink(const char* name);
  // Replaces an existing target.
  static bool Rename(const char* from, const char* to);

 protected:
  bool RawOpen(const char* name, unsigned int flags);
  // Asks the system for the size and caches it, whatever the error state. 0 when the
  // system cannot tell (the cache then stays unknown).
  unsigned long long CalcSize() const;
  // Hooks for derived files: they do nothing and return 0.
  long long Seek(long long offset, FileSeekMethod method) const;
  long long DoSeek(long long offset, FileSeekMethod method) const;

 private:
  friend class MountBase;
  friend class MountPath;
  friend class File;

  // Records state unless one is already recorded.
  void Fail(RawFileError state) const {
    if (mError == kFileOk) mError = state;
  }
  void MarkSizeUnknown() const { mSizeLow = mSizeHigh = kSizeUnknown; }

  MountBase* mMount = nullptr;
  intptr_t mHandle = kInvalidHandle;
  mutable uint32_t mSizeLow = kSizeUnknown;
  mutable uint32_t mSizeHigh = kSizeUnknown;
  uint32_t mReserved = 0;
  mutable uint32_t mError = kFileOk;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(RawFile) == 24, "mount, handle, two size halves, a spare word and the error state");
#endif

}  // namespace Yr
