#include "system/io/raw_file.h"

#include "system/io/mount.h"
#include "system/platform/file_platform.h"

namespace Yr {

bool RawFile::Open(const char* name, unsigned int flags) {
  if (mError != kFileOk) return false;
  // Reopening: the old handle and its place in a mount's open-file list go first, so
  // neither leaks nor stays behind pointing at this object.
  Close();
  mMount = nullptr;
  return RawOpen(name, flags);
}

bool RawFile::Open(const StringId& mount, const char* name, unsigned int flags) {
  if (mError != kFileOk) return false;
  Close();
  mMount = nullptr;
  MountBase* head = Detail::MountChainForOpen(mount);
  if (head == nullptr) {
    Fail(kFileErrorNoMount);
    return false;
  }
  return head->Open(this, name, flags);
}

bool RawFile::RawOpen(const char* name, unsigned int flags) {
  if (mError != kFileOk) return false;
  Close();
  MarkSizeUnknown();
  Platform::FileHandle handle;
  if (flags & OpenWrite) {
    handle = Platform::FileOpen(name, Platform::FileOpenMode::kWrite, false);
  } else {
    // Overlapped only matters to the asynchronous reader, which uses the same handle.
    handle = Platform::FileOpen(name, Platform::FileOpenMode::kRead, (flags & OpenNoBuffering) != 0);
  }
  if (handle == 0) {
    // A null handle is not a refusal but a broken open; the platform layer never returns one
    // for a file it opened.
    Fail(kFileErrorOpen);
    return false;
  }
  mHandle = handle;
  return handle != kInvalidHandle;
}

unsigned int RawFile::Read(void* buffer, unsigned int bytes) {
  if (mError != kFileOk) return 0;
  uint32_t done = 0;
  if (!Platform::FileRead(mHandle, buffer, bytes, &done)) {
    Fail(kFileErrorRead);
    return 0;
  }
  return done;
}

unsigned int RawFile::Write(const void* buffer, unsigned int bytes) {
  if (mError != kFileOk) return 0;
  uint32_t done = 0;
  if (!Platform::FileWrite(mHandle, buffer, bytes, &done)) {
    Fail(kFileErrorWrite);
    return 0;
  }
  return done;
}

long long RawFile::Seek(long long offset, FileSeekMethod method) {
  if (mError != kFileOk) return -1;
  int origin = method == SeekBegin ? 0 : method == SeekEnd ? 2 : 1;
  int64_t position = 0;
  if (!Platform::FileSeek(mHandle, offset, origin, &position)) {
    Fail(kFileErrorSeek);
    return -1;
  }
  return position;
}

long long RawFile::Tell() const {
  if (mError != kFileOk) return -1;
  int64_t position = 0;
  if (!Platform::FileSeek(mHandle, 0, 1, &position)) {
    Fail(kFileErrorTell);
    return -1;
  }
  return position;
}

unsigned long long RawFile::GetSize() const {
  if (mError != kFileOk) return 0;
  if (mSizeLow != kSizeUnknown || mSizeHigh != kSizeUnknown) {
    return (static_cast<unsigned long long>(mSizeHigh) << 32) | mSizeLow;
  }
  return CalcSize();
}

unsigned long long RawFile::CalcSize() const {
  uint64_t size = 0;
  if (!Platform::FileSize(mHandle, &size)) return 0;
  mSizeLow = static_cast<uint32_t>(size);
  mSizeHigh = static_cast<uint32_t>(size >> 32);
  return size;
}

unsigned long long RawFile::GetTime() const {
  if (mError != kFileOk) return 0;
  uint64_t creation = 0;
  uint64_t lastWrite = 0;
  if (!Platform::FileTimes(mHandle, &creation, &lastWrite)) {
    Fail(kFileErrorRead);
    return 0;
  }
  return creation > lastWrite ? creation : lastWrite;
}

void RawFile::Close() {
  if (mHandle == kInvalidHandle) return;
  if (mMount) mMount->Close(this);
  mError = kFileOk;
  Platform::FileClose(mHandle);
  mHandle = kInvalidHandle;
}

long long RawFile::Seek(long long, FileSeekMethod) const { return 0; }
long long RawFile::DoSeek(long long, FileSeekMethod) const { return 0; }

// ---- Static members -------------------------------------------------------------------------

namespace {

void AddFoundName(void* context, const char* name) { static_cast<RawFile::NameList*>(context)->Add(StringId(name)); }

}  // namespace

// Paths go to the platform layer as they stand: it hands backslashes and forward slashes
// alike to the system as '/'. A path that overflowed (a name that did not fit) fails here
// before anything reaches the system.
bool RawFile::MkDir(const Path& path) {
  return !path.Overflowed() && Platform::MakeDirectory(path.CStrOrNull());
}

bool RawFile::Delete(const Path& path) { return !path.Overflowed() && Platform::RemoveFile(path.CStrOrNull()); }

void RawFile::GetFiles(const Path& pattern, NameList& out) {
  out.Clear();
  if (pattern.Empty()) return;  // also an overflowed pattern
  Platform::ListMatches(pattern.CStr(), &AddFoundName, &out);
}

bool RawFile::FileExists(const Path& path) {
  return !path.Overflowed() && Platform::GetPathKind(path.CStr()) == Platform::PathKind::kFile;
}

bool RawFile::DirectoryExists(const Path& path) {
  return !path.Overflowed() && Platform::GetPathKind(path.CStr()) == Platform::PathKind::kDirectory;
}

unsigned long long RawFile::GetFreeSpace(const char* directory) { return Platform::FreeBytes(directory); }

bool RawFile::Unlink(const char* name) { return Platform::RemoveFile(name); }

bool RawFile::Rename(const char* from, const char* to) { return Platform::RenameFile(from, to); }

}  // namespace Yr
