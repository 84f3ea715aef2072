#include "system/platform/file_platform.h"

#include <windows.h>

#include <cstring>

namespace Yr::Platform {
namespace {

HANDLE AsHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

bool IsOpenHandle(FileHandle handle) { return handle != kInvalidFileHandle && handle != 0; }

uint64_t Join(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

// Share modes are the system's own, and an open they forbid fails at once with a sharing
// violation instead of waiting. A writer shares nothing, so it neither opens beside a reader
// nor lets one in. A reader lets others read, and, as a lock only the library's own openers
// respect would, lets other programs write, rename or remove the file.
constexpr DWORD kReaderShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenReader(const char* name, DWORD flags) {
  return ::CreateFileA(name, GENERIC_READ, kReaderShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

}  // namespace

FileHandle FileOpen(const char* name, FileOpenMode mode, bool noBuffering) {
  if (name == nullptr) return kInvalidFileHandle;

  if (mode == FileOpenMode::kWrite) {
    // Opened without truncation first: only once the exclusive open is granted does the file
    // lose its contents, so a refused writer leaves another opener's file whole.
    HANDLE file =
        ::CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return kInvalidFileHandle;
    if (!::SetEndOfFile(file)) {
      ::CloseHandle(file);
      return kInvalidFileHandle;
    }
    return reinterpret_cast<FileHandle>(file);
  }

  HANDLE file = INVALID_HANDLE_VALUE;
  if (noBuffering) {
    file = OpenReader(name, FILE_FLAG_NO_BUFFERING);
    // ERROR_INVALID_PARAMETER: the file system does not do uncached transfers.
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_INVALID_PARAMETER) return kInvalidFileHandle;
  }
  // A directory cannot be opened without FILE_FLAG_BACKUP_SEMANTICS: it is refused here.
  if (file == INVALID_HANDLE_VALUE) file = OpenReader(name, 0);
  if (file == INVALID_HANDLE_VALUE) return kInvalidFileHandle;
  return reinterpret_cast<FileHandle>(file);
}

void FileClose(FileHandle handle) {
  if (IsOpenHandle(handle)) ::CloseHandle(AsHandle(handle));
}

bool FileRead(FileHandle handle, void* buffer, uint32_t bytes, uint32_t* done) {
  *done = 0;
  char* cursor = static_cast<char*>(buffer);
  while (*done < bytes) {
    DWORD count = 0;
    if (!::ReadFile(AsHandle(handle), cursor + *done, bytes - *done, &count, nullptr)) {
      return ::GetLastError() == ERROR_HANDLE_EOF;
    }
    if (count == 0) break;  // end of file
    *done += count;
  }
  return true;
}

bool FileWrite(FileHandle handle, const void* buffer, uint32_t bytes, uint32_t* done) {
  *done = 0;
  const char* cursor = static_cast<const char*>(buffer);
  while (*done < bytes) {
    DWORD count = 0;
    if (!::WriteFile(AsHandle(handle), cursor + *done, bytes - *done, &count, nullptr)) return false;
    if (count == 0) return false;  // nothing accepted: no progress is possible
    *done += count;
  }
  return true;
}

bool FileSeek(FileHandle handle, int64_t offset, int origin, int64_t* position) {
  // The system keeps a position for pipes and devices too, meaning nothing: only files on a
  // disk have one.
  if (::GetFileType(AsHandle(handle)) != FILE_TYPE_DISK) return false;
  DWORD method = origin == 0 ? FILE_BEGIN : origin == 2 ? FILE_END : FILE_CURRENT;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER result;
  if (!::SetFilePointerEx(AsHandle(handle), distance, &result, method)) return false;
  *position = result.QuadPart;
  return true;
}

bool FileSize(FileHandle handle, uint64_t* size) {
  LARGE_INTEGER result;
  if (!::GetFileSizeEx(AsHandle(handle), &result)) return false;
  *size = static_cast<uint64_t>(result.QuadPart);
  return true;
}

bool FileTimes(FileHandle handle, uint64_t* creation, uint64_t* lastWrite) {
  // The system keeps both times in the unit and epoch of the interface already.
  FILETIME born;
  FILETIME written;
  if (!::GetFileTime(AsHandle(handle), &born, nullptr, &written)) return false;
  *creation = Join(born.dwHighDateTime, born.dwLowDateTime);
  *lastWrite = Join(written.dwHighDateTime, written.dwLowDateTime);
  return true;
}

bool MakeDirectory(const char* name) { return name != nullptr && ::CreateDirectoryA(name, nullptr) != 0; }

bool RemoveFile(const char* name) { return name != nullptr && ::DeleteFileA(name) != 0; }

bool RenameFile(const char* from, const char* to) {
  return from != nullptr && to != nullptr && ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

PathKind GetPathKind(const char* name) {
  if (name == nullptr) return PathKind::kMissing;
  DWORD attributes = ::GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kDirectory : PathKind::kFile;
}

uint64_t FreeBytes(const char* directory) {
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExA(directory, &available, nullptr, nullptr)) return 0;
  return available.QuadPart;
}

bool ListMatches(const char* pattern, FoundName found, void* context) {
  if (pattern == nullptr) return false;
  // The system's own matching knows short names and extension quirks: the search lists every
  // entry and the library's rule picks the matches.
  const char* separator = std::strrchr(pattern, '\\');
  if (const char* slash = std::strrchr(pattern, '/'); slash != nullptr && (separator == nullptr || slash > separator)) {
    separator = slash;
  }
  const char* drive = std::strchr(pattern, ':');
  const char* split = separator ? separator : (drive && drive[1] != '\0' ? drive : nullptr);
  const char* component = split ? split + 1 : pattern;
  if (*component == '\0') return false;

  // "<directory>\*"; the directory keeps its separator (a root stays a root, "C:" the
  // drive's current directory).
  size_t directoryLength = split ? static_cast<size_t>(component - pattern) : 0;
  char search[MAX_PATH];
  if (directoryLength + 2 > sizeof search) return false;
  std::memcpy(search, pattern, directoryLength);
  search[directoryLength] = '*';
  search[directoryLength + 1] = '\0';

  WIN32_FIND_DATAA entry;
  HANDLE listing = ::FindFirstFileA(search, &entry);
  if (listing == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // an empty directory
  do {
    if (WildcardMatch(component, entry.cFileName)) found(context, entry.cFileName);
  } while (::FindNextFileA(listing, &entry));
  ::FindClose(listing);
  return true;
}

}  // namespace Yr::Platform
