// Symbols: symbol lookup for reports and traces. One process-wide instance, reached through
// StaticSingleton<Symbols>, is built when the library loads and released at unload; its
// session covers the modules of the process and takes in modules loaded later on the first
// lookup that misses.
//
// Debug information is searched for in: the executable's directory, the current directory,
// the system debug-information directory (/usr/lib/debug on Linux; Windows has none), and
// the directories named by the environment variables YR_SYMBOL_PATH and YR_ALT_SYMBOL_PATH,
// in the system's list form (colon-separated on Linux, semicolon-separated on Windows).
//
// Threads: lookups are serialised by the instance's own lock.
#pragma once

#include <cstdint>

#include "system/platform/export.h"
#include "system/platform/platform.h"
#include "system/platform/symbols_platform.h"

namespace Yr {

class YR_API Symbols {
 public:
  // Longest search path kept, in characters.
  static constexpr unsigned int kSearchPathLength = 259;
  // Capacity of the text found for an address, and the longest symbol name kept.
  static constexpr unsigned int kTextCapacity = 1024;
  static constexpr unsigned int kNameLength = 260;
  static constexpr const char* kNameUnavailable = "(Function name unavailable)";
  static constexpr const char* kSearchPathVariable = "YR_SYMBOL_PATH";
  static constexpr const char* kAltSearchPathVariable = "YR_ALT_SYMBOL_PATH";
  static constexpr const char* kSystemDebugDirectory = Platform::kSystemDebugDirectory;

  Symbols();
  ~Symbols();
  Symbols(const Symbols&) = delete;
  Symbols& operator=(const Symbols&) = delete;

  // Writes the text for address into out (cut to size - 1 characters): the function's
  // undecorated name, else the image file name of the module holding the address, else
  // "(Function name unavailable)". With a source line known, returns true and, when
  // withLine is set, writes "file(line): text" with the file name in lower case; without
  // one, writes the text alone and returns false.
  bool GetFunction(void* address, char* out, unsigned int size, bool withLine) const;

  const char* GetSearchPath() const { return mSearchPath; }

  // For a thread stopped at ip: when the function there keeps no frame record at that
  // instruction, its return address and the caller's stack and frame pointers from the
  // module's call-frame information (see Platform::FramelessStep).
  bool FramelessStep(uintptr_t ip, uintptr_t sp, uintptr_t bp, Platform::FrameStep& out) const;

 private:
  mutable Platform::SymbolSession mSession;
  mutable Platform::MutexStorage mLock;
  bool mOpen;
  char mSearchPath[kSearchPathLength + 1];
};

namespace Detail {
// The text GetFunction gives for what a lookup found (the texts terminated; the file name is
// lowered in place), and its result. Used as well for lookups made by another process.
YR_API bool ComposeSymbolText(const Platform::SymbolFound& found, const char* name, const char* module, char* file,
                              char* out, unsigned int size, bool withLine);
}  // namespace Detail

}  // namespace Yr
