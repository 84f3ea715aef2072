// The system's own dump writer, where the system has one (Windows: dbghelp's writer). The
// debug layer's WriteMiniDump calls it there; on Linux the library writes dumps itself
// (system/debug/minidump_linux.cpp) and this facility does not exist.
//
// Usage: WriteSystemDump(request) from the crash path, with the faulting thread's registers;
// the dump is written by a fresh thread while the caller waits, since the system's writer
// cannot run on a thread whose stack has overflowed.
#pragma once

#include <cstdint>

#include "system/platform/export.h"
#include "system/platform/signal_platform.h"

namespace Yr::Platform {

struct SystemDumpRequest {
  const char* path;          // the dump file, created anew
  int kind;                  // 1 threads and stacks, 2 also data segments, 3 all memory
  const CpuContext* context; // registers of the thread the dump is about
  uint32_t threadId;         // that thread
  uint32_t exceptionCode;    // 0 for a dump taken without a fault
};

// The system's dump type flags for a kind (the value a dump's header carries).
YR_API uint32_t SystemDumpFlags(int kind);
// Writes the dump; false when the file cannot be created or the writer fails.
YR_API bool WriteSystemDump(const SystemDumpRequest& request);

}  // namespace Yr::Platform
