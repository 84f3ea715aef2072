// The mount table: names mapped onto chains of mount points.
//
// A mount name (a StringId) maps onto a chain of mount points, tried from the head to the
// tail; the first that opens a file name wins. MountPath is a directory; MountPack stands
// for a pack file and opens nothing on this platform; callers may add mount points of their
// own classes by deriving from MountBase.
//
// Ownership: the chain owns its mount points (allocated from the library heap); destroying
// a mount point destroys the rest of its chain behind it. A mount point owns its path and
// its list of the files open through it, not the files: files still open when their mount
// point goes are detached from it and stay open.
//
// Threads, and what may overlap:
// - Opening and closing files through a mount may happen on any thread at any time, also
//   while IO::Mount adds mount points to the same chain: a new mount point is linked into
//   its chain only once it is completely built (a release store that the walk of an open
//   reads with an acquire load), so an open sees either the chain before or after the
//   addition, never a half-built mount point.
// - IO::Mount, IO::Dismount, IO::FindMount and the lookup of an open are serialised by the
//   table lock; calling them from several threads is safe for the table itself.
// - Removing mount points (IO::Dismount, IO::Mount with an empty path, unload) must not
//   overlap an open through the same chain, nor any use of a mount point pointer a caller
//   holds (from FindMount or GetNext): it destroys the mount points such a walk may be
//   standing on. Mounting and dismounting are meant for set-up and tear-down.
#pragma once

#include <atomic>
#include <cstdint>

#include "system/io/path.h"
#include "system/io/raw_file.h"
#include "system/memory/allocator.h"
#include "system/memory/darray.h"
#include "system/platform/export.h"
#include "system/strings/string_id.h"
#include "system/thread/critical_section.h"

namespace Yr {

namespace Detail {
struct MountChain;
}

class YR_API MountBase : public VirtualBase {
 public:
  // Stores path as given. Without append the new mount point's next is head (it is to
  // become the new head); with append its next is null, and whoever made it links it behind
  // the last mount point of head's chain once it is complete (IO::Mount does so under the
  // table lock). The constructor links nothing: a mount point linked from inside its own
  // constructor could be reached by an open before its derived part exists.
  MountBase(const Path& path, MountBase* head, bool append);
  // Destroys the rest of the chain first (iteratively: a chain of any length needs no more
  // stack than one mount point), then detaches the files still open through it.
  ~MountBase() override;
  MountBase(const MountBase&) = delete;
  MountBase& operator=(const MountBase&) = delete;

  virtual bool OpenThis(RawFile* file, const char* name, unsigned int flags);
  virtual const char* GetPath() const;
  // The name as a path, separators unchanged; null gives the empty path, a name of more than
  // 259 characters an overflowed one (never a shortened name).
  virtual Path GetFullName(const char* name);

  // Tries this mount point, then each one behind it; the one that opens the file becomes
  // the file's mount and lists it.
  bool Open(RawFile* file, const char* name, unsigned int flags);
  // Removes the first occurrence of file from the open-file list; others are ignored.
  void Close(RawFile* file);

  MountBase* GetNext() const { return mNext.load(std::memory_order_acquire); }
  unsigned int GetOpenFileCount();

 protected:
  static void SetFileMount(RawFile* file, MountBase* mount) { file->mMount = mount; }
  static bool RawOpen(RawFile* file, const char* name, unsigned int flags) { return file->RawOpen(name, flags); }

  // Read without a lock by opens walking the chain; written under the table lock.
  std::atomic<MountBase*> mNext;
  Path mPath;
  DArray<RawFile*> mOpenFiles;
  CriticalSection mLock;

 private:
  friend struct Detail::MountChain;
};

// A directory: opens the mount path joined with the file name.
class YR_API MountPath : public MountBase {
 public:
  // Forward slashes of path become backslashes.
  MountPath(const Path& path, MountBase* head, bool append);
  bool OpenThis(RawFile* file, const char* name, unsigned int flags) override;
  // The mount path joined with the name (forward slashes turned into backslashes); an
  // overflowed path when the name or the join does not fit, which opens nothing.
  Path GetFullName(const char* name) override;
};

// A pack file: on this platform it opens nothing.
class YR_API MountPack : public MountBase {
 public:
  MountPack(const Path& path, MountBase* head);
};

namespace IO {

// Mounts path under name; the third argument has no effect. True, except for a path that
// did not fit its buffer (Path::Overflowed): then nothing changes and the result is false.
// An empty path
// destroys the name's chain and removes the name. A path whose last backslash is followed by
// nothing or by '.', or that has no backslash, is a directory: it becomes the new head, or
// with append (and a non-empty chain) the new tail. Any other path is a pack file and
// becomes the new head.
YR_API bool Mount(const StringId& name, const Path& path, bool, bool append);
// Makes mount (allocated with new, which takes the library heap) the head of name's chain;
// the chain owns it from now on.
YR_API void Mount(const StringId& name, MountBase* mount);
// Destroys the first mount point of name's chain whose stored path is exactly path; the
// rest of the chain stays in order. False when none matches or path is empty.
YR_API bool Dismount(const StringId& name, const Path& path);
// The head of name's chain; null for an unknown name or an empty chain.
YR_API MountBase* FindMount(const StringId& name);

}  // namespace IO

namespace Detail {

// Load and unload steps: the table (unload dismounts every chain) and its lock.
void BuildMountTable();
void DestroyMountTable();
void BuildMountTableLock();
void DestroyMountTableLock();

// The head of name's chain for an open, adding an empty entry for an unknown name.
MountBase* MountChainForOpen(const StringId& name);
// Entries in the table; for tests.
YR_API unsigned int MountTableEntryCount();

}  // namespace Detail
}  // namespace Yr
