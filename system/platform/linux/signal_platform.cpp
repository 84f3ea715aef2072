#include "system/platform/signal_platform.h"

#include "system/platform/process_platform.h"
#include "system/platform/vm_platform.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace Yr::Platform {
namespace {

// The crash path runs symbol lookup and formatting on the alternate stack, so it is sized
// for that work, not for the minimum the system asks for. Sanitizer builds use far larger
// frames.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kAlternateStackSize = 2 * 1024 * 1024;
#else
constexpr size_t kAlternateStackSize = 512 * 1024;
#endif

// si_code of SIGTRAP raised by a perf event with sigtrap set; older C headers lack it.
constexpr int kTrapPerf = 6;
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
constexpr size_t kFaultSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

// What the process had before the first installation; restored at unload.
struct sigaction gPreviousActions[kFaultSignalCount];
struct sigaction gPreviousSnapshotAction;
bool gPreviousSaved = false;

// The first thread to ask gets static storage (no allocation at load); later threads get
// their own mapping, which is kept for the life of the process.
alignas(16) unsigned char gFirstAlternateStack[kAlternateStackSize];
std::atomic<bool> gFirstAlternateStackTaken{false};
stack_t gStackBeforeFirst;  // what the thread that took the static stack had before

// The crash report's own stack, and the call that runs on it.
alignas(16) unsigned char gCrashStack[kAlternateStackSize];
std::atomic<bool> gCrashStackBusy{false};
struct CrashCall {
  void (*work)(void*);
  void* argument;
};
CrashCall gCrashCall;

__attribute__((noinline)) void CrashStackEntry() { gCrashCall.work(gCrashCall.argument); }

// Snapshot signal for other threads: a real-time signal above the ones the C library and
// the thread layer keep for themselves.
constexpr int kSnapshotSignalOffset = 6;
int SnapshotSignal() { return SIGRTMIN + kSnapshotSignalOffset; }

constexpr size_t kMaxSnapshotThreads = 256;
struct SnapshotSlot {
  std::atomic<uint32_t> threadId;
  std::atomic<bool> answered;
  CpuContext context;
};
SnapshotSlot gSnapshotSlots[kMaxSnapshotThreads];
std::atomic<size_t> gSnapshotSlotCount{0};
std::atomic<bool> gSnapshotHold{false};

void SnapshotHandler(int, siginfo_t*, void* osContext) {
  int savedErrno = errno;
  uint32_t self = OwnThreadId();
  size_t count = gSnapshotSlotCount.load(std::memory_order_acquire);
  for (size_t i = 0; i < count; ++i) {
    SnapshotSlot& slot = gSnapshotSlots[i];
    if (slot.threadId.load(std::memory_order_relaxed) != self) continue;
    ContextFromOs(osContext, slot.context);
    slot.answered.store(true, std::memory_order_release);
    break;
  }
  while (gSnapshotHold.load(std::memory_order_acquire)) NapMilliseconds(1);
  errno = savedErrno;
}

std::atomic<FaultHandler> gFaultHandler{nullptr};

void FaultTrampoline(int signal, siginfo_t* info, void* osContext) {
  if (FaultHandler handler = gFaultHandler.load(std::memory_order_acquire)) handler(signal, info, osContext);
}

void WatchdogHandler(int, siginfo_t*, void*) {
  static const char kLine[] = "Yr: the crash report did not finish in time; the process ends\n";
  ssize_t ignored = ::write(STDERR_FILENO, kLine, sizeof kLine - 1);
  (void)ignored;
  ::_exit(1);
}

bool InstallOne(int signal, void (*handler)(int, siginfo_t*, void*), int extraFlags,
                struct sigaction* previous = nullptr) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | extraFlags;
  sigemptyset(&action.sa_mask);
  return ::sigaction(signal, &action, previous) == 0;
}

// Restores one signal's earlier disposition while the current one is ours.
void RestoreOne(int signal, void (*ours)(int, siginfo_t*, void*), const struct sigaction& previous) {
  struct sigaction current;
  if (::sigaction(signal, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == ours) ::sigaction(signal, &previous, nullptr);
}

#if UINTPTR_MAX > 0xFFFFFFFFu
uint16_t LiveSelector(int which) {
  uint16_t value = 0;
  if (which == 0) {
    asm volatile("mov %%ds, %0" : "=r"(value));
  } else {
    asm volatile("mov %%es, %0" : "=r"(value));
  }
  return value;
}
#endif

}  // namespace

namespace {

// True when the calling thread already has an enabled alternate stack of the library's size.
bool HasLargeAlternateStack(stack_t& current) {
  return ::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
         current.ss_size >= kAlternateStackSize;
}

void* MapAlternateStack() {
  void* base = ::mmap(nullptr, kAlternateStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                      -1, 0);
  return base == MAP_FAILED ? nullptr : base;
}

bool UseAlternateStack(void* base) {
  stack_t stack;
  stack.ss_sp = base;
  stack.ss_size = kAlternateStackSize;
  stack.ss_flags = 0;
  return ::sigaltstack(&stack, nullptr) == 0;
}

}  // namespace

bool EnsureAlternateSignalStack() {
  stack_t current;
  if (HasLargeAlternateStack(current)) return true;
  void* base = nullptr;
  bool expected = false;
  if (gFirstAlternateStackTaken.compare_exchange_strong(expected, true)) {
    base = gFirstAlternateStack;
    gStackBeforeFirst = current;
  } else {
    base = MapAlternateStack();
    if (base == nullptr) return false;
  }
  return UseAlternateStack(base);
}

void* AcquireThreadSignalStack() {
  stack_t current;
  if (HasLargeAlternateStack(current)) return nullptr;
  void* base = MapAlternateStack();
  if (base == nullptr) return nullptr;
  if (!UseAlternateStack(base)) {
    ::munmap(base, kAlternateStackSize);
    return nullptr;
  }
  return base;
}

void ReleaseThreadSignalStack(void* stack) {
  if (stack == nullptr) return;
  stack_t off;
  off.ss_sp = nullptr;
  off.ss_size = 0;
  off.ss_flags = SS_DISABLE;
  ::sigaltstack(&off, nullptr);
  ::munmap(stack, kAlternateStackSize);
}

bool InstallFaultHandlers(FaultHandler handler) {
  gFaultHandler.store(handler, std::memory_order_release);
  bool ok = EnsureAlternateSignalStack();
  // SA_NODEFER: a fault inside the handler enters it again (and ends the process with exit
  // code 1) instead of being killed by the blocked signal's default action.
  bool first = !gPreviousSaved;
  gPreviousSaved = true;
  for (size_t i = 0; i < kFaultSignalCount; ++i)
    ok = InstallOne(kFaultSignals[i], &FaultTrampoline, SA_ONSTACK | SA_NODEFER,
                    first ? &gPreviousActions[i] : nullptr) &&
         ok;
  ok = InstallOne(SnapshotSignal(), &SnapshotHandler, SA_RESTART, first ? &gPreviousSnapshotAction : nullptr) && ok;
  return ok;
}

void UninstallFaultHandlers() {
  gFaultHandler.store(nullptr, std::memory_order_release);
  if (gPreviousSaved) {
    for (size_t i = 0; i < kFaultSignalCount; ++i) RestoreOne(kFaultSignals[i], &FaultTrampoline, gPreviousActions[i]);
    RestoreOne(SnapshotSignal(), &SnapshotHandler, gPreviousSnapshotAction);
    gPreviousSaved = false;
  }
  stack_t current;
  if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_ONSTACK) &&
      current.ss_sp == static_cast<void*>(gFirstAlternateStack)) {
    stack_t previous = gStackBeforeFirst;
    if (previous.ss_flags & SS_DISABLE) {
      std::memset(&previous, 0, sizeof previous);
      previous.ss_flags = SS_DISABLE;
    }
    ::sigaltstack(&previous, nullptr);
    gFirstAlternateStackTaken.store(false);
  }
}

void RaiseWithDefaultAction(int signal) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  ::raise(signal);
}

bool ReadSignalFacts(const void* signalInfo, SignalFacts& out) {
  std::memset(&out, 0, sizeof out);
  if (!signalInfo) return false;
  const siginfo_t* info = static_cast<const siginfo_t*>(signalInfo);
  out.signal = info->si_signo;
  out.code = info->si_code;
  // si_code <= 0 (SI_USER, SI_TKILL, SI_QUEUE, ...) means another thread or process sent
  // it; SI_KERNEL comes from the processor on x86 (a general protection fault, int3).
  out.sentByProcess = info->si_code <= 0;
  bool hasAddress = !out.sentByProcess && (out.signal == SIGSEGV || out.signal == SIGBUS || out.signal == SIGFPE ||
                                           out.signal == SIGILL || out.signal == SIGTRAP);
  out.faultAddress = hasAddress ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
  return true;
}

// Signal and si_code to exception code:
//   SIGSEGV  fault within kStackOverflowReach below (or a page above) the stack pointer:
//            stack overflow; SEGV_BNDERR: array bounds exceeded; any other: access violation
//   SIGBUS   BUS_ADRALN: datatype misalignment; any other: in-page error
//   SIGFPE   FPE_INTDIV: integer divide by zero; FPE_INTOVF: integer overflow; FPE_FLTDIV,
//            FPE_FLTOVF, FPE_FLTUND, FPE_FLTRES, FPE_FLTINV: the matching float codes;
//            FPE_FLTSUB: array bounds exceeded; any other: float invalid operation
//   SIGILL   ILL_PRVOPC, ILL_PRVREG: privileged instruction; any other: illegal instruction
//   SIGTRAP  TRAP_TRACE, TRAP_HWBKPT: single step; any other (int3, raise): breakpoint
//   SIGABRT  the fatal application exit status
uint32_t ExceptionCodeFor(const SignalFacts& facts, uintptr_t stackPointer) {
  using namespace ExceptionCode;
  switch (facts.signal) {
    case SIGSEGV: {
      if (facts.sentByProcess) return kAccessViolation;
#ifdef SEGV_BNDERR
      if (facts.code == SEGV_BNDERR) return kArrayBoundsExceeded;
#endif
      uintptr_t address = facts.faultAddress;
      uintptr_t low = stackPointer > kStackOverflowReach ? stackPointer - kStackOverflowReach : 0;
      uintptr_t high = stackPointer + VirtualPageSize();
      if (address != 0 && address >= low && address < high) return kStackOverflow;
      return kAccessViolation;
    }
    case SIGBUS:
      return facts.code == BUS_ADRALN ? kDatatypeMisalignment : kInPageError;
    case SIGFPE:
      switch (facts.code) {
        case FPE_INTDIV: return kIntDivideByZero;
        case FPE_INTOVF: return kIntOverflow;
        case FPE_FLTDIV: return kFltDivideByZero;
        case FPE_FLTOVF: return kFltOverflow;
        case FPE_FLTUND: return kFltUnderflow;
        case FPE_FLTRES: return kFltInexactResult;
        case FPE_FLTSUB: return kArrayBoundsExceeded;
        default: return kFltInvalidOperation;
      }
    case SIGILL:
      return (facts.code == ILL_PRVOPC || facts.code == ILL_PRVREG) ? kPrivInstruction : kIllegalInstruction;
    case SIGTRAP:
#ifdef TRAP_HWBKPT
      if (facts.code == TRAP_HWBKPT) return kSingleStep;
#endif
      // A hit of a breakpoint set through Breakpoint (a perf event with sigtrap).
      if (facts.code == kTrapPerf) return kSingleStep;
      return facts.code == TRAP_TRACE ? kSingleStep : kBreakpoint;
    case SIGABRT:
      return kFatalAppExit;
    default:
      return kAccessViolation;
  }
}

bool ContextFromOs(const void* osContext, CpuContext& out) {
  std::memset(&out, 0, sizeof out);
  if (!osContext) return false;
  const ucontext_t* context = static_cast<const ucontext_t*>(osContext);
  const greg_t* g = context->uc_mcontext.gregs;
#if UINTPTR_MAX > 0xFFFFFFFFu
  out.ax = static_cast<uintptr_t>(g[REG_RAX]);
  out.bx = static_cast<uintptr_t>(g[REG_RBX]);
  out.cx = static_cast<uintptr_t>(g[REG_RCX]);
  out.dx = static_cast<uintptr_t>(g[REG_RDX]);
  out.si = static_cast<uintptr_t>(g[REG_RSI]);
  out.di = static_cast<uintptr_t>(g[REG_RDI]);
  out.bp = static_cast<uintptr_t>(g[REG_RBP]);
  out.sp = static_cast<uintptr_t>(g[REG_RSP]);
  out.ip = static_cast<uintptr_t>(g[REG_RIP]);
  out.r8 = static_cast<uintptr_t>(g[REG_R8]);
  out.r9 = static_cast<uintptr_t>(g[REG_R9]);
  out.r10 = static_cast<uintptr_t>(g[REG_R10]);
  out.r11 = static_cast<uintptr_t>(g[REG_R11]);
  out.r12 = static_cast<uintptr_t>(g[REG_R12]);
  out.r13 = static_cast<uintptr_t>(g[REG_R13]);
  out.r14 = static_cast<uintptr_t>(g[REG_R14]);
  out.r15 = static_cast<uintptr_t>(g[REG_R15]);
  out.flags = static_cast<uint32_t>(g[REG_EFL]);
  uint64_t selectors = static_cast<uint64_t>(g[REG_CSGSFS]);
  out.cs = static_cast<uint16_t>(selectors);
  out.gs = static_cast<uint16_t>(selectors >> 16);
  out.fs = static_cast<uint16_t>(selectors >> 32);
  out.ss = static_cast<uint16_t>(selectors >> 48);
  if (out.ss == 0) asm volatile("mov %%ss, %0" : "=r"(out.ss));
  // The 64-bit signal frame does not save DS and ES; user code never changes them.
  out.ds = LiveSelector(0);
  out.es = LiveSelector(1);
  if (context->uc_mcontext.fpregs) {
    static_assert(sizeof(*context->uc_mcontext.fpregs) == sizeof(out.floatState), "FXSAVE area size");
    std::memcpy(out.floatState, context->uc_mcontext.fpregs, sizeof out.floatState);
    out.mxcsr = context->uc_mcontext.fpregs->mxcsr;
    out.hasFloatState = true;
  }
#else
  out.ax = static_cast<uintptr_t>(g[REG_EAX]);
  out.bx = static_cast<uintptr_t>(g[REG_EBX]);
  out.cx = static_cast<uintptr_t>(g[REG_ECX]);
  out.dx = static_cast<uintptr_t>(g[REG_EDX]);
  out.si = static_cast<uintptr_t>(g[REG_ESI]);
  out.di = static_cast<uintptr_t>(g[REG_EDI]);
  out.bp = static_cast<uintptr_t>(g[REG_EBP]);
  out.sp = static_cast<uintptr_t>(g[REG_ESP]);
  out.ip = static_cast<uintptr_t>(g[REG_EIP]);
  out.flags = static_cast<uint32_t>(g[REG_EFL]);
  out.cs = static_cast<uint16_t>(g[REG_CS]);
  out.ds = static_cast<uint16_t>(g[REG_DS]);
  out.es = static_cast<uint16_t>(g[REG_ES]);
  out.fs = static_cast<uint16_t>(g[REG_FS]);
  out.gs = static_cast<uint16_t>(g[REG_GS]);
  out.ss = static_cast<uint16_t>(g[REG_SS]);
  if (out.ss == 0) asm volatile("mov %%ss, %0" : "=r"(out.ss));
  if (out.ds == 0) asm volatile("mov %%ds, %0" : "=r"(out.ds));
  if (out.es == 0) asm volatile("mov %%es, %0" : "=r"(out.es));
  if (out.cs == 0) asm volatile("mov %%cs, %0" : "=r"(out.cs));
  if (context->uc_mcontext.fpregs) {
    std::memcpy(out.floatState, context->uc_mcontext.fpregs, sizeof out.floatState);
    out.hasFloatState = true;
  }
#endif
  return true;
}

__attribute__((noinline)) void CaptureCallerContext(CpuContext& out) {
  ucontext_t context;
  std::memset(&context, 0, sizeof context);
  ::getcontext(&context);
  ContextFromOs(&context, out);
  // Describe the caller at the call: this function's frame is gone once it returns.
  void** frame = static_cast<void**>(__builtin_frame_address(0));
  out.ip = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  out.bp = reinterpret_cast<uintptr_t>(frame[0]);
  out.sp = reinterpret_cast<uintptr_t>(frame + 2);
#if UINTPTR_MAX > 0xFFFFFFFFu
  if (out.cs == 0) asm volatile("mov %%cs, %0" : "=r"(out.cs));
  if (out.ss == 0) asm volatile("mov %%ss, %0" : "=r"(out.ss));
#endif
  uintptr_t flags;
#if UINTPTR_MAX > 0xFFFFFFFFu
  asm volatile("pushfq; popq %0" : "=r"(flags));
#else
  asm volatile("pushfl; popl %0" : "=r"(flags));
#endif
  out.flags = static_cast<uint32_t>(flags);
}

void RunOnCrashStack(void (*work)(void*), void* argument) {
  bool expected = false;
  if (!gCrashStackBusy.compare_exchange_strong(expected, true)) {
    work(argument);
    return;
  }
  gCrashCall = {work, argument};
  void* top = gCrashStack + sizeof gCrashStack;
  void (*entry)() = &CrashStackEntry;
  // Switch the stack pointer, call the entry, switch back. The old stack pointer waits in a
  // callee-saved register; every register a call may change is declared clobbered.
#if UINTPTR_MAX > 0xFFFFFFFFu
  asm volatile(
      "mov %%rsp, %%rbx\n\t"
      "mov %[top], %%rsp\n\t"
      "and $-16, %%rsp\n\t"
      "call *%[entry]\n\t"
      "mov %%rbx, %%rsp\n\t"
      :
      : [top] "r"(top), [entry] "r"(entry)
      : "rbx", "rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4",
        "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "st", "st(1)",
        "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)", "memory", "cc");
#else
  asm volatile(
      "mov %%esp, %%esi\n\t"
      "mov %[top], %%esp\n\t"
      "and $-16, %%esp\n\t"
      "call *%[entry]\n\t"
      "mov %%esi, %%esp\n\t"
      :
      : [top] "r"(top), [entry] "r"(entry)
      : "esi", "eax", "ecx", "edx", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)", "memory",
        "cc");
#endif
  gCrashStackBusy.store(false);
}

void StartCrashWatchdog(unsigned int seconds) {
  if (seconds > 0) InstallOne(SIGALRM, &WatchdogHandler, 0);
  ::alarm(seconds);
}

size_t CaptureOtherThreads(ThreadSnapshot* out, size_t capacity, unsigned int timeoutMilliseconds) {
  uint32_t ids[kMaxSnapshotThreads];
  size_t listed = ListThreadIds(ids, kMaxSnapshotThreads);
  uint32_t self = OwnThreadId();
  uint32_t process = OwnProcessId();
  gSnapshotSlotCount.store(0, std::memory_order_release);
  size_t count = 0;
  for (size_t i = 0; i < listed; ++i) {
    if (ids[i] == self) continue;
    gSnapshotSlots[count].threadId.store(ids[i], std::memory_order_relaxed);
    gSnapshotSlots[count].answered.store(false, std::memory_order_relaxed);
    ++count;
  }
  gSnapshotHold.store(true, std::memory_order_release);
  gSnapshotSlotCount.store(count, std::memory_order_release);
  size_t sent = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t id = gSnapshotSlots[i].threadId.load(std::memory_order_relaxed);
    if (::syscall(SYS_tgkill, process, id, SnapshotSignal()) == 0) {
      ++sent;
    } else {
      gSnapshotSlots[i].threadId.store(0, std::memory_order_relaxed);
    }
  }
  for (unsigned int waited = 0; waited < timeoutMilliseconds; ++waited) {
    size_t answered = 0;
    for (size_t i = 0; i < count; ++i) answered += gSnapshotSlots[i].answered.load(std::memory_order_acquire);
    if (answered >= sent) break;
    NapMilliseconds(1);
  }
  size_t stored = 0;
  for (size_t i = 0; i < count && stored < capacity; ++i) {
    if (!gSnapshotSlots[i].answered.load(std::memory_order_acquire)) continue;
    out[stored].threadId = gSnapshotSlots[i].threadId.load(std::memory_order_relaxed);
    out[stored].context = gSnapshotSlots[i].context;
    ++stored;
  }
  return stored;
}

void ReleaseThreads() {
  gSnapshotSlotCount.store(0, std::memory_order_release);
  gSnapshotHold.store(false, std::memory_order_release);
}

void NapMilliseconds(unsigned int milliseconds) {
  struct timespec pause = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace Yr::Platform
