// The minidump writer: a dump of the running process in the standard minidump container,
// with what a debugger needs to open a Linux process dump (system information, threads
// with their registers and stacks, modules with their GNU build ids, the exception, the
// memory list and the /proc maps and status of the process).
//
// Kinds: 1 threads and stacks, 2 also the writable data segments of the modules, 3 all
// readable memory. The file is written front to back with the header and the memory list
// last, so a dump cut short (a second fault) has no valid header and is rejected rather
// than misread.
//
// Everything the writer needs is preallocated (static tables and buffers) and it takes no
// lock: it runs inside the crash handler. One dump at a time; callers serialise (the report
// lock).
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"
#include "system/platform/signal_platform.h"

namespace Yr::Detail {

// Longest report file name that still gets a dump.
constexpr size_t kMaxDumpBaseName = 256;
constexpr const char kDumpSuffix[] = ".dmp";

// Minidump kinds as BugReport::sCrashDumpFormat selects them.
enum DumpKind : int {
  kDumpNone = 0,
  kDumpNormal = 1,
  kDumpWithDataSegs = 2,
  kDumpWithFullMemory = 3,
};
// 0 or less: none; 1, 2, 3 as they are; 4 or more: normal.
YR_API DumpKind DumpKindFor(int crashDumpFormat);

// The dump's file name: the report file name followed by ".dmp". False (and nothing
// written) when the report name is longer than kMaxDumpBaseName characters.
YR_API bool DumpFileName(const char* reportName, char* out, size_t size);

struct DumpRequest {
  const char* path;                     // the dump file
  DumpKind kind;
  const Platform::CpuContext* context;  // registers of the thread that asks for the dump
  uint32_t threadId;
  int signal;               // the fault's signal; 0 for a dump taken without a fault
  int signalCode;           // its si_code
  uint64_t faultAddress;    // si_addr, or the instruction pointer when the signal has none
  uint32_t exceptionCode;   // the report's exception code, kept as the first parameter
  bool releaseThreads;      // let the other threads run on afterwards (no crash)
};

// Writes the dump; false when the file cannot be created or written.
YR_API bool WriteMiniDump(const DumpRequest& request);

}  // namespace Yr::Detail
