#include "system/memory/startup.h"

#include <cstring>

#include "system/debug/bug_report.h"
#include "system/debug/log.h"
#include "system/debug/messenger.h"
#include "system/io/mount.h"
#include "system/memory/alloc_trace.h"
#include "system/memory/managed_memory.h"
#include "system/memory/pool_of.h"
#include "system/memory/rb_tree.h"
#include "system/memory/simple_heap.h"
#include "system/platform/platform.h"
#include "system/strings/string_id.h"
#include "system/thread/timer.h"

namespace Yr::Detail {
namespace {

struct StartupStep {
  const char* name;
  void (*build)();
  void (*teardown)();  // null when the step has nothing to undo
};

void NoWork() {}

// Load order of the library's process-wide state. Each row is built in turn; the teardowns
// run in reverse at unload, so the last one built is the first one torn down. Singletons
// built on first use are not listed: they register their own teardown when they are built.
constexpr StartupStep kStartupSteps[] = {
    {"allocation-trace state", &BuildAllocTrace, &DestroyAllocTrace},
    {"bug-report lock", &BuildBugReportLock, &DestroyBugReportLock},
    {"BugReport singleton", &BuildBugReport, &DestroyBugReport},
    {"red-black tree sentinel", &RBTreeDetail::BuildSentinel, nullptr},
    {"string table lock", &BuildStringTableLock, &DestroyStringTableLock},
    {"string table", &BuildStringTable, &DestroyStringTable},
    {"managed-memory registry", &BuildManagedMemory, &DestroyManagedMemory},
    {"mount table", &BuildMountTable, &DestroyMountTable},
    {"mount table lock", &BuildMountTableLock, &DestroyMountTableLock},
    {"banner log target", &BuildBannerTarget, &DestroyBannerTarget},
    {"log Spec flag word", &BuildLogSpec, nullptr},
    {"messenger slot", &BuildMessengerSlot, &DestroyMessengerSlot},
    {"SimpleHeap lock", &BuildSimpleHeapLock, &DestroySimpleHeapLock},
    {"StringId::null", &NoWork, &NoWork},
    {"timer frequency", &BuildTimerFrequency, nullptr},
    {"weak-counter pool", &BuildWeakCounterPool, &DestroyWeakCounterPool},
};

constexpr const char* kTraceVariable = "YR_STARTUP_TRACE";

bool TraceEnabled() {
  const char* value = Platform::Environment(kTraceVariable);
  return value && *value && std::strcmp(value, "0") != 0;
}

// The frame object: built before any other dynamic initialiser of the library
// (init_priority), torn down after every singleton that was built later.
struct LibraryFrame {
  LibraryFrame() {
    for (const StartupStep& step : kStartupSteps) {
      StartupTrace("build", step.name);
      step.build();
    }
  }
  ~LibraryFrame() {
    for (auto i = std::size(kStartupSteps); i-- > 0;) {
      const StartupStep& step = kStartupSteps[i];
      if (!step.teardown) continue;
      StartupTrace("teardown", step.name);
      step.teardown();
    }
  }
};

__attribute__((init_priority(101))) LibraryFrame gFrame;

}  // namespace

void StartupTrace(const char* verb, const char* what) {
  if (!TraceEnabled()) return;
  constexpr const char* kPrefix = "yr-startup: ";
  char line[256];
  size_t length = 0;
  for (const char* piece : {kPrefix, verb, " ", what, "\n"}) {
    size_t n = std::strlen(piece);
    if (length + n >= sizeof line) n = sizeof line - 1 - length;
    std::memcpy(line + length, piece, n);
    length += n;
  }
  Platform::StandardError(line, length);
}

}  // namespace Yr::Detail

namespace Yr::RBTreeDetail {

Node nil;

void BuildSentinel() {
  nil.parent = nil.left = nil.right = &nil;
  nil.red = false;
}

}  // namespace Yr::RBTreeDetail
