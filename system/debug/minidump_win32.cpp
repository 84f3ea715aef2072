// The Windows dump writer: the system's own (dbghelp), through the platform layer.
#include "system/debug/minidump.h"

#include "system/platform/dump_platform.h"
#include "system/platform/signal_platform.h"

namespace Yr::Detail {

bool WriteMiniDump(const DumpRequest& request) {
  if (request.kind == kDumpNone || !request.path || !request.context) return false;
  Platform::SystemDumpRequest system = {};
  system.path = request.path;
  system.kind = request.kind;
  system.context = request.context;
  system.threadId = request.threadId;
  system.exceptionCode = request.exceptionCode;
  bool written = Platform::WriteSystemDump(system);
  // The system's writer stops and resumes the other threads itself; only threads stopped
  // before it was called wait for this.
  if (request.releaseThreads) Platform::ReleaseThreads();
  return written;
}

}  // namespace Yr::Detail
