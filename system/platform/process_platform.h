// Process facts and raw file access for the report writers: what a crash report and a
// minidump need from the system, in small functions that are safe inside a signal handler
// unless said otherwise (no allocation, no lock, only system calls).
//
// Files here are plain descriptors: -1 is the invalid handle. The caller owns what it
// opens and closes it. Windows: the int holds a kernel handle (handle values fit in 32 bits
// in 64-bit processes too), and -1 is INVALID_HANDLE_VALUE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

constexpr int kInvalidFile = -1;

// Creates the file for writing, discarding existing content; others may read it while it
// is open. Returns kInvalidFile when it cannot be created.
YR_API int CreateFileForWriting(const char* path);
// Opens an existing file for reading (used for the process's own /proc files).
YR_API int OpenFileForReading(const char* path);
// Writes all bytes at the current position; false when the system refused part of them.
YR_API bool WriteFileBytes(int file, const void* bytes, size_t count);
// Writes all bytes at the given offset without moving the current position.
YR_API bool WriteFileBytesAt(int file, uint64_t offset, const void* bytes, size_t count);
// Reads up to capacity bytes; returns the count (0 at the end), or -1 on an error.
YR_API long ReadFileBytes(int file, void* buffer, size_t capacity);
// Reads a whole (small) file into buffer, at most capacity - 1 bytes, and terminates it.
// Returns the byte count, or -1 when the file cannot be opened.
YR_API long ReadWholeFile(const char* path, char* buffer, size_t capacity);
YR_API void CloseFile(int file);

// True when count bytes starting at address can be read by this process right now.
YR_API bool ReadableBytes(const void* address, size_t count);
// Copies count bytes from the process's own memory at source, page by page; pages that
// cannot be read are filled with zero bytes. Returns the number of bytes actually read.
YR_API size_t CopyOwnMemory(void* destination, const void* source, size_t count);

YR_API uint32_t OwnProcessId();
YR_API uint32_t OwnThreadId();
YR_API unsigned int ProcessorCount();
// Seconds since 1970 (UTC).
YR_API uint32_t UnixTime();

// Absolute path of the running executable, terminated, cut to size - 1; 0 when unknown.
YR_API size_t ExecutablePath(char* out, size_t size);
// Absolute path of the current directory; 0 when unknown.
YR_API size_t CurrentDirectory(char* out, size_t size);
// Kernel release text ("6.1.0-..."), 0 when unknown. Windows: the system's version
// ("10.0.19045"); Wine answers the version its prefix imitates (6.1.7601 by default).
YR_API size_t OsRelease(char* out, size_t size);

struct LocalTime {
  int day;     // 1-31
  int month;   // 1-12
  int year;    // four digits
  int hour;    // 0-23
  int minute;
  int second;
};
// The local date and time now; false when it cannot be had. Safe in a signal handler: it
// takes no lock and reads no file. The time zone's offsets are read once, by
// PrepareLocalTime at load, for the years ahead; a change of the zone's rules or of TZ
// after that is not seen.
YR_API bool CurrentLocalTime(LocalTime& out);
// Records the zone's offset from UTC at from (seconds since 1970) and every change of it
// in the kLocalTimeYears that follow. Runs at load (it reads the zone through the C
// library, under its lock: not for the crash path; Windows: the system's zone rules, TZ
// plays no part); calling it again while another thread reads the local time is not
// allowed.
constexpr unsigned int kLocalTimeYears = 4;
YR_API void PrepareLocalTime(int64_t from);
// The local date and time of a moment (seconds since 1970) from the prepared offsets; false
// when none were prepared. Moments before the first one prepared use its offset, moments
// past the prepared years the last.
YR_API bool LocalTimeAt(int64_t seconds, LocalTime& out);
// Seconds since 1970 (UTC), 64 bits wide on every build.
YR_API int64_t UnixTimeNow();

// ---- Descriptors kept for the crash path --------------------------------------------------
// A process at its descriptor limit could open neither the report nor the dump. The library
// keeps kReservedDescriptors open from load on; the crash path closes them first, so its own
// opens find free slots. Windows has no such small limit on handles: the spares (event
// handles) are kept only so that both systems behave alike.
constexpr unsigned int kReservedDescriptors = 8;
// Opens spares until kReservedDescriptors are held (fewer when the system refuses). Runs
// at load.
YR_API void ReserveDescriptors();
// Closes the spares; safe in a signal handler.
YR_API void ReleaseReservedDescriptors();
// How many spares are held now.
YR_API unsigned int ReservedDescriptorCount();

// The path of the file mapped at address in this process (from /proc/self/maps; Windows:
// the memory manager's name of the mapped section, no loader lock), cut to size - 1; 0 when
// no file is mapped there. Safe in a signal handler.
YR_API size_t MappedFileAt(uintptr_t address, char* out, size_t size);
// The path of the loaded module (executable or shared library) that holds address, as the
// loader knows it; 0 when none does. Takes the loader's lock: not for the crash path.
YR_API size_t ModulePathOf(const void* address, char* out, size_t size);

// True when a debugger traces this process (TracerPid in /proc/self/status is not 0;
// Windows: IsDebuggerPresent).
YR_API bool DebuggerAttached();
// Stops in the debugger when one is attached; does nothing otherwise. Returns whether it
// stopped.
YR_API bool DebugBreakIfAttached();

// Ends the process at once with the exit code: no exit handlers, no flushing.
[[noreturn]] YR_API void ExitProcessNow(int code);

// The bounds of the loaded segment of a module (the executable or a shared library) that
// holds address (Windows: its image section), begin inclusive, end exclusive; false when no
// module holds it. Takes the
// loader's lock: not for the crash path.
YR_API bool CodeMappingOf(const void* address, uintptr_t& begin, uintptr_t& end);

// Ids of the process's threads, at most capacity of them; returns how many were stored.
YR_API size_t ListThreadIds(uint32_t* out, size_t capacity);

}  // namespace Yr::Platform
