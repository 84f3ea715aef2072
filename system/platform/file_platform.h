// The file-system part of the operating-system layer: one small function per thing the
// file classes need (open, read, write, move, size, times, directories, free space).
//
// Names reach these functions with the library's backslash separators. Windows takes them
// as they are; on Linux each function turns every backslash into '/' in a private copy just
// before the system call. A null name is refused (the function fails) instead of being
// handed to the system.
//
// Share modes hold between the library's own openers: a writer is exclusive, readers share,
// and neither waits: an open that would have to wait is refused. A writer truncates only
// once it holds the file, so a refused writer never destroys a file another opener is using.
// Linux: advisory locks (flock) taken at open. Windows: the system's share modes; a reader
// still lets other programs write, rename or remove the file, as an advisory lock would.
//
// Every function may be called from any thread; a handle must not be closed by one thread
// while another uses it. A FileHandle is a descriptor on Linux and a HANDLE on Windows.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

// A file handle is pointer-sized; all bits set means "not open".
using FileHandle = intptr_t;
constexpr FileHandle kInvalidFileHandle = -1;

enum class FileOpenMode : uint32_t {
  kRead,   // must exist, shared with other readers, refused while a writer holds it
  kWrite,  // created or truncated, exclusive
};

// Opens name. noBuffering asks for reads that bypass the system cache; where the file
// system refuses that, the file is opened with ordinary caching. Directories are refused.
// Returns kInvalidFileHandle when the system refuses the open or the file is locked against
// this mode. A successful open never returns 0.
YR_API FileHandle FileOpen(const char* name, FileOpenMode mode, bool noBuffering);
YR_API void FileClose(FileHandle handle);

// One synchronous transfer of up to bytes bytes. Returns false on a system error; *done is
// the count moved (reads stop early only at the end of the file).
YR_API bool FileRead(FileHandle handle, void* buffer, uint32_t bytes, uint32_t* done);
YR_API bool FileWrite(FileHandle handle, const void* buffer, uint32_t bytes, uint32_t* done);

// origin: 0 from the start, 1 from the current position, 2 from the end. *position receives
// the new absolute position.
// Fails on what has no position (a pipe, a device).
YR_API bool FileSeek(FileHandle handle, int64_t offset, int origin, int64_t* position);
YR_API bool FileSize(FileHandle handle, uint64_t* size);

// Creation and last-write times as 100-nanosecond intervals since 1601-01-01 UTC (Windows
// keeps them so). On Linux the creation time is the birth time where the file system
// records one, else the time of the last change of the file's status; times before 1601
// read as 0.
YR_API bool FileTimes(FileHandle handle, uint64_t* creation, uint64_t* lastWrite);

// Offset between the 1601 and 1970 epochs, in 100-nanosecond intervals.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000ull;

// ---- Directories and names ---------------------------------------------------------------
// One directory, no parents.
YR_API bool MakeDirectory(const char* name);
YR_API bool RemoveFile(const char* name);
// Replaces an existing target.
YR_API bool RenameFile(const char* from, const char* to);

enum class PathKind : uint32_t { kMissing, kFile, kDirectory };
YR_API PathKind GetPathKind(const char* name);

// Free bytes available to the calling user on the volume of directory (null: the current
// directory); 0 on failure.
YR_API uint64_t FreeBytes(const char* directory);

// Lists the entries of the directory part of pattern whose names match its last component,
// where '*' matches any run of characters and '?' any one character (every other character
// stands for itself, case included, on every system: the system's own matching is not used). Calls found once per match with the bare entry name; "." and ".." are
// included when they match. Returns false when the directory cannot be read.
using FoundName = void (*)(void* context, const char* name);
YR_API bool ListMatches(const char* pattern, FoundName found, void* context);

// True when text matches pattern by the rule of ListMatches. Exposed for tests.
YR_API bool WildcardMatch(const char* pattern, const char* text);

}  // namespace Yr::Platform
