#include "system/platform/breakpoint_platform.h"

#include <errno.h>
#include <linux/hw_breakpoint.h>
#include <linux/perf_event.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace Yr::Platform {
namespace {

int OpenBreakpointEvent(uintptr_t address, uint32_t type, uint64_t length) {
  perf_event_attr attributes;
  std::memset(&attributes, 0, sizeof attributes);
  attributes.type = PERF_TYPE_BREAKPOINT;
  attributes.size = sizeof attributes;
  attributes.bp_type = type;
  attributes.bp_addr = address;
  attributes.bp_len = length;
  attributes.sample_period = 1;  // every hit is an overflow, and so a signal
  attributes.sigtrap = 1;
  attributes.remove_on_exec = 1;  // the kernel asks for it with sigtrap
  attributes.exclude_kernel = 1;
  attributes.exclude_hv = 1;
  // pid 0, cpu -1: the calling thread, wherever it runs; not inherited by new threads.
  return static_cast<int>(::syscall(SYS_perf_event_open, &attributes, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

int OpenFor(uintptr_t address, BreakpointAccess access) {
  switch (access) {
    case BreakpointAccess::kExecute: {
      // The kernel wants its own word size as the length of an instruction breakpoint,
      // which for a 32-bit program on a 64-bit kernel is not the program's.
      int descriptor = OpenBreakpointEvent(address, HW_BREAKPOINT_X, sizeof(long));
      if (descriptor < 0 && errno == EINVAL && sizeof(long) != sizeof(uint64_t)) {
        descriptor = OpenBreakpointEvent(address, HW_BREAKPOINT_X, sizeof(uint64_t));
      }
      return descriptor;
    }
    case BreakpointAccess::kWrite:
      return OpenBreakpointEvent(address, HW_BREAKPOINT_W, HW_BREAKPOINT_LEN_1);
    case BreakpointAccess::kReadWrite:
      return OpenBreakpointEvent(address, HW_BREAKPOINT_RW, HW_BREAKPOINT_LEN_1);
    default:
      return -1;  // no I/O-port breakpoints for user programs
  }
}

// The events of the calling thread's slots, closed when the thread ends.
struct ThreadSlots {
  int descriptors[kBreakpointSlots] = {-1, -1, -1, -1};
  ~ThreadSlots() {
    for (int descriptor : descriptors) {
      if (descriptor >= 0) ::close(descriptor);
    }
  }
};

ThreadSlots& Slots() {
  thread_local ThreadSlots slots;
  return slots;
}

constexpr int kProbeRefused = 3;
constexpr int kProbeSilent = 4;
volatile unsigned char gProbeTarget;

BreakpointProbe RunProbe() {
  pid_t child = ::fork();
  if (child < 0) return BreakpointProbe::kRefused;
  if (child == 0) {
    // Only system calls from here: the parent may have had other threads mid-lock.
    struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGTRAP, &action, nullptr);
    sigset_t trap;
    sigemptyset(&trap);
    sigaddset(&trap, SIGTRAP);
    ::sigprocmask(SIG_UNBLOCK, &trap, nullptr);
    if (OpenFor(reinterpret_cast<uintptr_t>(&gProbeTarget), BreakpointAccess::kWrite) < 0) ::_exit(kProbeRefused);
    gProbeTarget = 1;
    ::_exit(kProbeSilent);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return BreakpointProbe::kRefused;
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGTRAP) return BreakpointProbe::kDelivered;
  if (WIFEXITED(status) && WEXITSTATUS(status) == kProbeRefused) return BreakpointProbe::kRefused;
  return BreakpointProbe::kSilent;
}

}  // namespace

bool ArmThreadBreakpoint(int slot, uintptr_t address, BreakpointAccess access) {
  if (slot < 0 || slot >= kBreakpointSlots) return false;
  int descriptor = OpenFor(address, access);
  if (descriptor < 0) return false;
  int& current = Slots().descriptors[slot];
  if (current >= 0) ::close(current);
  current = descriptor;
  return true;
}

void DisarmThreadBreakpoint(int slot) {
  if (slot < 0 || slot >= kBreakpointSlots) return;
  int& current = Slots().descriptors[slot];
  if (current < 0) return;
  ::close(current);
  current = -1;
}

BreakpointProbe ProbeBreakpoints() {
  static const BreakpointProbe answer = RunProbe();
  return answer;
}

}  // namespace Yr::Platform
