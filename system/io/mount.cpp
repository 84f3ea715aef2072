#include "system/io/mount.h"

#include <cstring>
#include <new>
#include <utility>

#include "system/memory/manual_static.h"

namespace Yr {

namespace Detail {

struct MountEntry {
  StringId name;
  MountBase* head;
};

struct MountChain {
  static std::atomic<MountBase*>& Next(MountBase* mount) { return mount->mNext; }
  // Makes a completely built mount point reachable behind the last one of head's chain.
  // Caller holds the table lock, so the chain cannot change meanwhile.
  static void LinkAtTail(MountBase* head, MountBase* mount) {
    MountBase* tail = head;
    while (MountBase* next = tail->mNext.load(std::memory_order_relaxed)) tail = next;
    tail->mNext.store(mount, std::memory_order_release);
  }
};

namespace {

ManualStatic<DArray<MountEntry>> gMountTable;
ManualStatic<CriticalSection> gMountTableLock;

// Holds the table lock for a scope. Before the lock is built and after it is torn down only
// the loading or unloading thread runs, so there is nothing to guard against.
class TableGuard {
 public:
  TableGuard() : mLocked(gMountTableLock.Built()) {
    if (mLocked) gMountTableLock->Lock();
  }
  ~TableGuard() {
    if (mLocked) gMountTableLock->Unlock();
  }
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;

 private:
  bool mLocked;
};

// Index of name's entry, or the entry count when there is none. Caller holds the lock.
uint32_t FindEntry(const StringId& name) {
  DArray<MountEntry>& table = gMountTable.Get();
  for (uint32_t i = 0; i < table.Count(); ++i) {
    if (table[i].name == name) return i;
  }
  return table.Count();
}

// Index of name's entry, adding an empty one when there is none. Caller holds the lock.
uint32_t FindOrAddEntry(const StringId& name) {
  uint32_t index = FindEntry(name);
  DArray<MountEntry>& table = gMountTable.Get();
  if (index == table.Count()) table.Add(MountEntry{name, nullptr});
  return index;
}

// A mount point in library-heap storage, or null when the heap gives none (the class's
// operator new could not report that without throwing).
template <typename T, typename... Args>
T* NewMount(Args&&... args) {
  void* block = Allocate(sizeof(T), alignof(T) > kDefaultAlignment ? alignof(T) : kDefaultAlignment);
  if (block == nullptr) return nullptr;
  return ::new (block) T(std::forward<Args>(args)...);
}

// A path names a directory when its last backslash is missing, ends the text, or is
// followed by '.'.
bool NamesDirectory(const Path& path) {
  const char* separator = std::strrchr(path.CStr(), BackwardSlash::kSeparator);
  return separator == nullptr || separator[1] == '\0' || separator[1] == '.';
}

}  // namespace

void BuildMountTable() { gMountTable.Build(); }

void DestroyMountTable() {
  if (!gMountTable.Built()) return;
  for (MountEntry& entry : gMountTable.Get()) {
    delete entry.head;
    entry.head = nullptr;
  }
  gMountTable.Destroy();
}

void BuildMountTableLock() { gMountTableLock.Build(); }
void DestroyMountTableLock() { gMountTableLock.Destroy(); }

MountBase* MountChainForOpen(const StringId& name) {
  if (!gMountTable.Built()) return nullptr;
  TableGuard guard;
  return gMountTable.Get()[FindOrAddEntry(name)].head;
}

unsigned int MountTableEntryCount() {
  if (!gMountTable.Built()) return 0;
  TableGuard guard;
  return gMountTable.Get().Count();
}

}  // namespace Detail

// ---- Mount points ---------------------------------------------------------------------------

MountBase::MountBase(const Path& path, MountBase* head, bool append) : mNext(append ? nullptr : head), mPath(path) {}

MountBase::~MountBase() {
  // The rest of the chain goes one mount point at a time: each is cut loose before it is
  // deleted, so no destructor reaches further down. Deleting the chain recursively would
  // take stack in proportion to its length.
  MountBase* rest = mNext.exchange(nullptr, std::memory_order_relaxed);
  while (rest) {
    MountBase* next = rest->mNext.exchange(nullptr, std::memory_order_relaxed);
    delete rest;
    rest = next;
  }
  // The files stay open; they only forget this mount point so that closing them later does
  // not reach into freed memory.
  CriticalSection::Guard guard(mLock);
  for (RawFile* file : mOpenFiles) SetFileMount(file, nullptr);
  mOpenFiles.Release();
}

bool MountBase::OpenThis(RawFile*, const char*, unsigned int) { return false; }

const char* MountBase::GetPath() const { return mPath.CStr(); }

Path MountBase::GetFullName(const char* name) { return Path(name); }

bool MountBase::Open(RawFile* file, const char* name, unsigned int flags) {
  for (MountBase* mount = this; mount; mount = mount->GetNext()) {
    if (!mount->OpenThis(file, name, flags)) continue;
    SetFileMount(file, mount);
    CriticalSection::Guard guard(mount->mLock);
    mount->mOpenFiles.Add(file);
    return true;
  }
  return false;
}

void MountBase::Close(RawFile* file) {
  CriticalSection::Guard guard(mLock);
  for (uint32_t i = 0; i < mOpenFiles.Count(); ++i) {
    if (mOpenFiles[i] == file) {
      mOpenFiles.RemoveAt(i);
      return;
    }
  }
}

unsigned int MountBase::GetOpenFileCount() {
  CriticalSection::Guard guard(mLock);
  return mOpenFiles.Count();
}

namespace {
Path WithBackslashes(const Path& path) {
  Path copy(path);
  copy.ConvertSeparators();
  return copy;
}
}  // namespace

MountPath::MountPath(const Path& path, MountBase* head, bool append) : MountBase(WithBackslashes(path), head, append) {}

bool MountPath::OpenThis(RawFile* file, const char* name, unsigned int flags) {
  Path full = GetFullName(name);
  if (full.Overflowed() || !RawOpen(file, full.CStrOrNull(), flags)) return false;
  SetFileMount(file, this);
  return true;
}

Path MountPath::GetFullName(const char* name) {
  Path component = WithBackslashes(Path(name));
  if (component.Overflowed()) return component;  // the name alone does not fit
  Path full(mPath);
  full.Append(component.CStr());
  return full;
}

MountPack::MountPack(const Path& path, MountBase* head) : MountBase(path, head, false) {}

// ---- The table ------------------------------------------------------------------------------

namespace IO {

bool Mount(const StringId& name, const Path& path, bool, bool append) {
  using namespace Detail;
  // A path that did not fit names no directory: nothing is mounted, and it must not be
  // taken for the empty path, which would clear the name.
  if (path.Overflowed()) return false;
  if (!gMountTable.Built()) return true;
  TableGuard guard;
  DArray<MountEntry>& table = gMountTable.Get();

  if (path.Empty()) {
    uint32_t index = FindEntry(name);
    if (index == table.Count()) return true;
    delete table[index].head;
    table.RemoveAt(index);
    return true;
  }

  uint32_t index = FindOrAddEntry(name);
  MountBase* head = table[index].head;
  if (NamesDirectory(path)) {
    bool atTail = append && head != nullptr;
    MountPath* mount = NewMount<MountPath>(path, head, atTail);
    if (mount == nullptr) return true;
    if (atTail) {
      MountChain::LinkAtTail(head, mount);
    } else {
      table[index].head = mount;
    }
  } else {
    if (MountPack* mount = NewMount<MountPack>(path, head)) table[index].head = mount;
  }
  return true;
}

void Mount(const StringId& name, MountBase* mount) {
  using namespace Detail;
  if (mount == nullptr || !gMountTable.Built()) return;
  TableGuard guard;
  MountEntry& entry = gMountTable.Get()[FindOrAddEntry(name)];
  MountChain::Next(mount).store(entry.head, std::memory_order_relaxed);
  entry.head = mount;  // opens read the head under the table lock
}

bool Dismount(const StringId& name, const Path& path) {
  using namespace Detail;
  if (path.Empty() || !gMountTable.Built()) return false;
  TableGuard guard;
  DArray<MountEntry>& table = gMountTable.Get();
  uint32_t index = FindEntry(name);
  if (index == table.Count()) return false;
  MountBase* previous = nullptr;
  for (MountBase* mount = table[index].head; mount; previous = mount, mount = mount->GetNext()) {
    if (std::strcmp(mount->GetPath(), path.CStr()) != 0) continue;
    MountBase* next = mount->GetNext();
    if (previous) {
      MountChain::Next(previous).store(next, std::memory_order_release);
    } else {
      table[index].head = next;
    }
    MountChain::Next(mount).store(nullptr, std::memory_order_relaxed);  // destroy this one alone
    delete mount;
    return true;
  }
  return false;
}

MountBase* FindMount(const StringId& name) {
  using namespace Detail;
  if (!gMountTable.Built()) return nullptr;
  TableGuard guard;
  uint32_t index = FindEntry(name);
  DArray<MountEntry>& table = gMountTable.Get();
  return index == table.Count() ? nullptr : table[index].head;
}

}  // namespace IO
}  // namespace Yr
