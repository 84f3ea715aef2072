// Faults and thread contexts: the operating-system side of the crash handler.
//
// InstallFaultHandlers makes handler the process's last word on a fault. Each fault is
// mapped to the exception code the reports use (ExceptionCodeFor), and registers are handed
// upwards as CpuContext, a plain copy of the thread's register set, so code above this
// layer never sees the system's own context.
//
// Linux: the handlers are signal handlers (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// SIGABRT) on an alternate signal stack, so that a stack overflow can still be reported;
// the handler's two pointers are the siginfo_t and the ucontext_t, and the code comes from
// the signal and its si_code. The handlers are process-wide, the alternate stack per thread:
// the installing thread gets one, other threads call EnsureAlternateSignalStack.
// Windows: the unhandled-exception filter, plus a vectored handler for a stack overflow
// (reported from a stack of the library's own at once) and for hardware-breakpoint hits
// (taken before frame handlers could swallow them); abort() arrives through the C signal
// SIGABRT. The two pointers are the EXCEPTION_RECORD and the CONTEXT, the signal is the C
// signal matching the record's code, and the code is the record's own. There is no
// alternate stack: the alternate-stack calls set the thread's SetThreadStackGuarantee room.
// RunOnCrashStack runs the work on a fresh thread, which stands in for the caller
// (OwnThreadId answers the caller's id there).
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

// Exception codes of the reports (the low 32 bits of the 64-bit codes the exception handler
// takes).
namespace ExceptionCode {
constexpr uint32_t kGuardPage = 0x80000001u;
constexpr uint32_t kDatatypeMisalignment = 0x80000002u;
constexpr uint32_t kBreakpoint = 0x80000003u;
constexpr uint32_t kSingleStep = 0x80000004u;
constexpr uint32_t kAccessViolation = 0xC0000005u;
constexpr uint32_t kInPageError = 0xC0000006u;
constexpr uint32_t kIllegalInstruction = 0xC000001Du;
constexpr uint32_t kArrayBoundsExceeded = 0xC000008Cu;
constexpr uint32_t kFltDivideByZero = 0xC000008Eu;
constexpr uint32_t kFltInexactResult = 0xC000008Fu;
constexpr uint32_t kFltInvalidOperation = 0xC0000090u;
constexpr uint32_t kFltOverflow = 0xC0000091u;
constexpr uint32_t kFltUnderflow = 0xC0000093u;
constexpr uint32_t kIntDivideByZero = 0xC0000094u;
constexpr uint32_t kIntOverflow = 0xC0000095u;
constexpr uint32_t kPrivInstruction = 0xC0000096u;
constexpr uint32_t kStackOverflow = 0xC00000FDu;
// abort(): the fatal application exit status. The report names no code outside its table,
// so this one is written as the number alone.
constexpr uint32_t kFatalAppExit = 0x40000015u;
}  // namespace ExceptionCode

// How far below the stack pointer a fault still counts as running off the stack: the
// largest frame a function may open in one step.
constexpr uintptr_t kStackOverflowReach = 64 * 1024;

// A thread's registers. Pointer-sized registers are uintptr_t; the FPU state is kept as
// the raw save area of the build's architecture.
struct CpuContext {
  uintptr_t ax, bx, cx, dx, si, di, bp, sp, ip;
#if UINTPTR_MAX > 0xFFFFFFFFu
  uintptr_t r8, r9, r10, r11, r12, r13, r14, r15;
#endif
  uint32_t flags;
  uint16_t cs, ds, es, fs, gs, ss;
  uint32_t mxcsr;
  bool hasFloatState;
#if UINTPTR_MAX > 0xFFFFFFFFu
  alignas(16) unsigned char floatState[512];  // FXSAVE layout
#else
  unsigned char floatState[112];  // FSAVE layout
#endif
};

// The facts of one delivered fault.
struct SignalFacts {
  int signal;
  int code;                // si_code (Windows: the exception code)
  uintptr_t faultAddress;  // si_addr (0 when the signal carries none)
  bool sentByProcess;      // raised by kill/raise/abort rather than by the processor
};

// Handler for every fault: signalInfo is the siginfo_t (Windows: the EXCEPTION_RECORD),
// osContext the ucontext_t (Windows: the CONTEXT).
using FaultHandler = void (*)(int signal, void* signalInfo, void* osContext);

// Installs handler for every fault (see above) and gives the calling thread an alternate
// stack (Windows: its stack guarantee). Returns false when the system refused one of them.
YR_API bool InstallFaultHandlers(FaultHandler handler);
// Puts back the dispositions the fault signals had before InstallFaultHandlers and gives the
// calling thread back the alternate stack it had before the one in the library's own
// storage. Run at unload: handlers and a stack inside an unloaded library would turn the next signal into a
// jump into unmapped memory.
YR_API void UninstallFaultHandlers();
// Gives the calling thread an alternate signal stack when it has none (or a small one).
YR_API bool EnsureAlternateSignalStack();
// For threads the library starts: gives the calling thread an alternate signal stack of
// its own when it has none (or a small one), so a stack overflow there is still reported.
// Returns the stack to hand to ReleaseThreadSignalStack when the thread ends, or null when
// the thread already had one or the system refused.
YR_API void* AcquireThreadSignalStack();
YR_API void ReleaseThreadSignalStack(void* stack);
// Restores the default action of one signal and raises it again on the calling thread.
// Windows: ends the process as an unhandled exception would, with the reported exception's
// code as the exit code (3 for SIGABRT, as the C library's abort).
YR_API void RaiseWithDefaultAction(int signal);

YR_API bool ReadSignalFacts(const void* signalInfo, SignalFacts& out);
// Maps a fault to its exception code; stackPointer is the faulting thread's, used to tell
// a stack overflow from other access violations.
YR_API uint32_t ExceptionCodeFor(const SignalFacts& facts, uintptr_t stackPointer);

// Copies the registers out of a ucontext_t (Windows: a CONTEXT); false for null.
YR_API bool ContextFromOs(const void* osContext, CpuContext& out);
// The caller's registers as they are at the call: instruction pointer just after the call,
// stack and frame pointer of the caller's frame. Needs frame pointers (the library keeps
// them).
YR_API void CaptureCallerContext(CpuContext& out);

// Runs work(argument) on a stack of the library's own (as large as the alternate stack) and
// returns when it is done. The crash report runs there: a fault may arrive on a nearly
// exhausted thread stack or on a small alternate stack that another component (a sanitizer,
// the application) gave the thread. One caller at a time; a second caller meanwhile runs
// work on its own stack.
YR_API void RunOnCrashStack(void (*work)(void*), void* argument);

// Ends the process with exit code 1 when it is still running after the given seconds; a
// report that hangs (a lock held by the crashed code) then still ends. 0 cancels.
YR_API void StartCrashWatchdog(unsigned int seconds);

// ---- Other threads ------------------------------------------------------------------------
// Snapshot of one other thread for a dump: each is stopped in a signal handler that stores
// its registers and then waits until ReleaseThreads (Windows: stopped with SuspendThread and
// read with GetThreadContext).
struct ThreadSnapshot {
  uint32_t threadId;
  CpuContext context;
};
// Stops every other thread of the process and records its registers, waiting at most
// timeoutMilliseconds in all. Threads that do not answer in time are left out. Returns the
// number of slots filled. Only one caller at a time.
YR_API size_t CaptureOtherThreads(ThreadSnapshot* out, size_t capacity, unsigned int timeoutMilliseconds);
// Lets the threads stopped by CaptureOtherThreads run on.
YR_API void ReleaseThreads();

// Sleeps the calling thread; used by a crash that must wait for another thread's report.
YR_API void NapMilliseconds(unsigned int milliseconds);

}  // namespace Yr::Platform
