// Symbol lookup on the crash path.
//
// A crashed thread may hold locks that reading debug information needs: a crash inside the
// C library's allocator leaves its arena locked, and the reader allocates. So a crash report
// never reads debug information in the crashed process. It starts the symbol helper, a
// small program installed beside the library (kSymboliserName), which reads this process's
// modules and debug information from outside and answers each address over a socket with
// the symbol, file and line texts the report would have written itself. The helper gets
// kSymboliserMilliseconds in all; one that is missing, fails or does not answer in time is
// ended, and every address it has not answered gets the name of the file mapped there
// (read from /proc/self/maps), else "(Function name unavailable)".
//
// The environment variable YR_SYMBOLISER, read at load, names another helper program; set
// and empty, it switches the helper off.
//
// Threads: Begin, the lookups and End are made by the one thread writing a crash report
// (the crash latch lets only one through). Everything they use is prepared at load.
#pragma once

#include <cstdint>

#include "system/platform/export.h"
#include "system/platform/symbols_platform.h"

namespace Yr::Detail {

constexpr const char kSymboliserName[] = "yr_symboliser";
constexpr const char* kSymboliserVariable = "YR_SYMBOLISER";
constexpr unsigned int kSymboliserMilliseconds = 10000;

// At load: the helper's path (beside the library) and the search path for debug files.
void PrepareCrashSymbols(const char* searchPath);
// The helper program chosen at load ("" when none).
YR_API const char* SymboliserPath();

// Starts the helper; lookups until EndCrashSymbols go to it. Safe in a signal handler.
YR_API void BeginCrashSymbols();
// Ends the helper.
YR_API void EndCrashSymbols();
// Between Begin and End, on the thread that called Begin: the report this thread writes
// is a crash report.
bool CrashSymbolsActive();
// As Symbols::GetFunction, answered by the helper.
YR_API bool CrashSymbolText(void* address, char* out, unsigned int size, bool withLine);
// As Symbols::FramelessStep, with the call-frame information read by the helper.
YR_API bool CrashFramelessStep(uintptr_t ip, uintptr_t sp, uintptr_t bp, Platform::FrameStep& out);

// The helper program's work: yr_symboliser <process id> [search path]. Reads requests on
// standard input and answers on standard output until the input ends. Returns the exit
// code.
YR_API int ServeSymbols(int argc, char** argv);

}  // namespace Yr::Detail
