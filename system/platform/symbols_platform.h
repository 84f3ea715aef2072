// Symbol lookup in the running process: function names, source files and lines, and the
// module that holds an address. Backed by the system's debug-information reader; a session
// covers the modules loaded when it was opened and takes in modules loaded later on the
// first lookup that misses. A session over the caller's own process also notices modules
// the loader has loaded or unloaded since the module list was last read, and reads it again
// before answering, so a library unloaded and another loaded at its address never answer
// with the first one's names. A session over another process reads the list when it opens
// and on a miss, as that process is stopped while it is asked.
//
// Linux: the reader is libdw. Lookups go through a per-module index built at the first
// lookup in each module (see linux/symbol_index.h): after the first lookup in a stretch of
// code, the same stretch is answered by two binary searches. The loader's load and unload
// counts tell when to read the module list again.
// Windows: the reader is dbghelp, asked directly for every lookup (no index: the fields of
// SymbolSession are opaque storage either way, and SymbolIndexInfoAt answers false). It
// reads DWARF up to version 4, so code is built with -gdwarf-4; names come back qualified
// but without parameters, files as DOS paths. A loader notification counts loads and
// unloads. dbghelp is single-threaded as a whole: the sessions share one lock. Call-frame
// rules come from the x64 unwind tables, and on 32-bit Windows from the image's .eh_frame
// section (found by the section names in the image's file).
//
// A session is not thread-safe: the caller serialises lookups. Lookups allocate through the
// system allocator (the reader's own caches), never through the library's entry points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

constexpr size_t kSymbolSearchPathCapacity = 1024;

// How search paths are written on this system: the separator between directories, the
// directory of separate debug files that comes with the system (null: none), and the
// characters that end a directory in a file's path.
#if defined(_WIN32)
constexpr char kSymbolSearchPathSeparator = ';';
constexpr const char* kSystemDebugDirectory = nullptr;
constexpr const char kPathSeparators[] = "\\/";
#else
constexpr char kSymbolSearchPathSeparator = ':';
constexpr const char* kSystemDebugDirectory = "/usr/lib/debug";
constexpr const char kPathSeparators[] = "/";
#endif

// The length of the directory part of a file's path, its last separator included; 0 when
// the path names no directory.
inline size_t DirectoryPartLength(const char* path) {
  size_t length = 0;
  for (size_t i = 0; path[i]; ++i)
    for (const char* separator = kPathSeparators; *separator; ++separator)
      if (path[i] == *separator) length = i + 1;
  return length;
}

// Storage for one session; the owner keeps it at a fixed address while the session is open.
struct SymbolSession {
  void* handle;
  void* callbacks[4];
  char* pathPointer;
  void* indexes;              // the per-module indexes
  uint64_t loaderChanges;     // the loader's count of loads and unloads at the last module list
  uint32_t process;           // the process whose modules the session covers; 0: the caller's own
  bool indexed;               // set at open; cleared, every lookup reads the debug information afresh
  char path[kSymbolSearchPathCapacity];
};

// Opens a session over this process. searchPath is a list of directories searched for
// separate debug files, kSymbolSearchPathSeparator between them (null or empty: the
// system's default). On failure returns false and stores the reader's error code.
YR_API bool OpenSymbolSession(SymbolSession& session, const char* searchPath, unsigned long& error);
// The same over another process of the same user (read through its /proc files on Linux,
// through a process handle on Windows); its addresses are looked up as they are in that
// process.
YR_API bool OpenProcessSymbolSession(SymbolSession& session, uint32_t process, const char* searchPath,
                                     unsigned long& error);
// Closes the session; false (with the error code) when the reader reported a failure.
YR_API bool CloseSymbolSession(SymbolSession& session, unsigned long& error);

struct SymbolFound {
  bool name;    // a function name was found (demangled when it was a C++ name)
  bool module;  // the module's image file name was found
  bool line;    // a source file and line were found
  int lineNumber;
};

// Looks one address up. Each text is terminated and cut to its size - 1.
YR_API SymbolFound LookupSymbol(SymbolSession& session, uintptr_t address, char* name, size_t nameSize,
                                char* module, size_t moduleSize, char* file, size_t fileSize);

// The index of the module holding address, as far as lookups have built it so far: segments
// of the address space with one name or one line each, bytes held, and the time the build
// took. False when no lookup has landed in that module yet, or its index could not be built.
struct SymbolIndexInfo {
  size_t nameSegments;
  size_t lineSegments;
  size_t bytes;
  uint64_t buildNanoseconds;
};
YR_API bool SymbolIndexInfoAt(SymbolSession& session, uintptr_t address, SymbolIndexInfo& out);

// One step of call-frame information for a thread stopped at ip: when the function there
// keeps no frame record at that instruction (its frame is addressed from the stack pointer,
// as in leaf functions of optimised code, or before the prologue has run), gives its return
// address and the caller's stack and frame pointers. False when the frame is addressed from
// the frame pointer, or when nothing is known about ip.
struct FrameStep {
  uintptr_t returnAddress;
  uintptr_t callerStack;
  uintptr_t callerFrame;
};
YR_API bool FramelessStep(SymbolSession& session, uintptr_t ip, uintptr_t sp, uintptr_t bp, FrameStep& out);

// FramelessStep in two halves, so that the call-frame information can be read in another
// process (a session over this one) and applied to this process's stack here. The rule: the
// frame's base lies cfaOffset above the stack pointer, the return address just below the
// base, and the caller's frame pointer, when frameSaved, frameOffset above the base.
struct FrameRule {
  uint64_t cfaOffset;
  uint64_t frameOffset;
  bool frameSaved;
};
YR_API bool FrameRuleAt(SymbolSession& session, uintptr_t ip, FrameRule& out);
// Reads the return address and the saved frame pointer from this process's stack; false
// when they cannot be read. Safe in a signal handler.
YR_API bool ApplyFrameRule(const FrameRule& rule, uintptr_t sp, uintptr_t bp, FrameStep& out);

// Stack walks by the system's unwind tables, for code whose frame pointer does not address
// a frame record (64-bit Windows puts it anywhere up to 240 bytes above the stack pointer
// in frames larger than that). UnwindStackFrom walks this process's stack from a stopped
// frame (its instruction, stack and frame pointers) and stores the return address of every
// frame above it; UnwindOwnStack does the same from its caller's frame, the first entry the
// address the call returns to. Both store at most capacity
// addresses, after leaving out the first skip, and return how many, or -1 where the images carry no tables for such a walk
// (Linux, 32-bit Windows): frame records serve there. No allocation and no lock of the
// process's; every stack slot is checked for readability before it is read.
YR_API int UnwindStackFrom(uintptr_t ip, uintptr_t sp, uintptr_t bp, void** out, int capacity, int skip);
YR_API int UnwindOwnStack(void** out, int capacity, int skip);

}  // namespace Yr::Platform
