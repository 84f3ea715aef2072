#include "system/platform/signal_platform.h"

#include "system/platform/process_platform.h"
#include "system/platform/win32/crash_thread.h"

#include <windows.h>
#include <tlhelp32.h>

#include <signal.h>

#include <atomic>
#include <cstring>

// Calls work(argument) with the stack pointer at top (16-byte aligned), and returns to the
// caller's stack. The 64-bit version carries unwind data, so the system can unwind through
// it from the new stack.
extern "C" void yr_platform_run_on_stack(void* top, void (*work)(void*), void* argument);
#if UINTPTR_MAX > 0xFFFFFFFFu
asm(".text\n"
    ".def yr_platform_run_on_stack; .scl 2; .type 32; .endef\n"
    ".seh_proc yr_platform_run_on_stack\n"
    "yr_platform_run_on_stack:\n"
    "  pushq %rbp\n"
    "  .seh_pushreg %rbp\n"
    "  movq %rsp, %rbp\n"
    "  .seh_setframe %rbp, 0\n"
    "  .seh_endprologue\n"
    "  movq %rcx, %rsp\n"
    "  andq $-16, %rsp\n"
    "  subq $32, %rsp\n"  // the callee's home area for its register arguments
    "  movq %r8, %rcx\n"
    "  callq *%rdx\n"
    "  movq %rbp, %rsp\n"
    "  popq %rbp\n"
    "  ret\n"
    ".seh_endproc\n");
#else
asm(".text\n"
    "_yr_platform_run_on_stack:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  movl 8(%ebp), %eax\n"
    "  movl 12(%ebp), %ecx\n"
    "  movl 16(%ebp), %edx\n"
    "  movl %eax, %esp\n"
    "  andl $-16, %esp\n"
    "  subl $12, %esp\n"
    "  pushl %edx\n"
    "  calll *%ecx\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");
#endif

namespace Yr::Platform {
namespace {

// The C library's header names SIGTRAP only for POSIX builds; the number is the usual one.
constexpr int kSignalTrap = 5;

// Room the system keeps below a thread's stack for the handler of a stack overflow. The
// filter only claims the crash and hands the report to a thread of its own, so this need
// not hold the report itself.
constexpr ULONG kStackGuarantee = 64 * 1024;
// The report thread's stack: symbol lookup and formatting run there.
constexpr size_t kCrashStackSize = 1024 * 1024;

// The stack a stack overflow is reported from: it holds the crash handler's first steps,
// which hand the report itself to a thread of its own.
constexpr size_t kOverflowStackSize = 128 * 1024;

#if UINTPTR_MAX > 0xFFFFFFFFu
DWORD64& InstructionPointer(CONTEXT& context) { return context.Rip; }
#else
DWORD& InstructionPointer(CONTEXT& context) { return context.Eip; }
#endif

// Debug-status bits B0-B3: which slot of the debug registers was hit.
constexpr DWORD64 kDebugStatusHits = 0xF;

std::atomic<FaultHandler> gFaultHandler{nullptr};
std::atomic<bool> gInstalled{false};
LPTOP_LEVEL_EXCEPTION_FILTER gPreviousFilter = nullptr;
PVOID gVectoredHandler = nullptr;
void(__cdecl* gPreviousAbortHandler)(int) = SIG_DFL;

// The code of the exception being reported, for RaiseWithDefaultAction.
std::atomic<uint32_t> gReportedCode{0};

// abort() reaches the library as a C signal, without an exception record or registers:
// both are made up here, once (a second abort is a crash during the report).
EXCEPTION_RECORD gAbortRecord;
CONTEXT gAbortContext;

int SignalForCode(DWORD code) {
  switch (code) {
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
      return SIGFPE;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
      return SIGILL;
    case EXCEPTION_BREAKPOINT:
    case EXCEPTION_SINGLE_STEP:
      return kSignalTrap;
    case ExceptionCode::kFatalAppExit:
      return SIGABRT;
    default:
      return SIGSEGV;
  }
}

// Hands one exception to the handler; returns only when the handler does (a breakpoint).
void Deliver(int signal, EXCEPTION_RECORD* record, CONTEXT* context) {
  gReportedCode.store(record->ExceptionCode, std::memory_order_relaxed);
  if (FaultHandler handler = gFaultHandler.load(std::memory_order_acquire)) handler(signal, record, context);
}

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* pointers) {
  if (!gFaultHandler.load(std::memory_order_acquire)) return EXCEPTION_CONTINUE_SEARCH;
  EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  Deliver(SignalForCode(record->ExceptionCode), record, pointers->ContextRecord);
  return EXCEPTION_CONTINUE_SEARCH;
}

// A stack overflow is taken here, before any frame-based handler, and handed at once to a
// stack of the library's own: the system raises it with only a few kilobytes left (Wine
// leaves less than SetThreadStackGuarantee asks for), not enough for the search through the
// faulting frames' handlers or for the crash handler's first steps. The thread's stack
// bounds in its information block follow the switch, so the system's checks of them hold.
alignas(16) unsigned char gOverflowStack[kOverflowStackSize];
std::atomic<bool> gOverflowStackBusy{false};

void DeliverOverflow(void* parameter) {
  EXCEPTION_POINTERS* pointers = static_cast<EXCEPTION_POINTERS*>(parameter);
  Deliver(SIGSEGV, pointers->ExceptionRecord, pointers->ContextRecord);
}

void HandleOverflow(EXCEPTION_POINTERS* pointers) {
  bool expected = false;
  if (!gOverflowStackBusy.compare_exchange_strong(expected, true)) {
    // Another thread's overflow is being reported; that report ends the process.
    for (;;) ::Sleep(INFINITE);
  }
  NT_TIB* block = reinterpret_cast<NT_TIB*>(::NtCurrentTeb());
  void* base = block->StackBase;
  void* limit = block->StackLimit;
  block->StackBase = gOverflowStack + sizeof gOverflowStack;
  block->StackLimit = gOverflowStack;
  yr_platform_run_on_stack(gOverflowStack + sizeof gOverflowStack, &DeliverOverflow, pointers);
  block->StackBase = base;
  block->StackLimit = limit;
  gOverflowStackBusy.store(false);
}

// A hit of a hardware breakpoint (a slot named in the debug status) is taken before any
// frame-based handler as well: the code being watched may run under a handler that would
// swallow the exception, and the hit would be lost. Every other exception goes its usual
// way to the filter, so the application's own handlers keep working.
LONG WINAPI VectoredHandler(EXCEPTION_POINTERS* pointers) {
  if (!gFaultHandler.load(std::memory_order_acquire)) return EXCEPTION_CONTINUE_SEARCH;
  DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (code == EXCEPTION_STACK_OVERFLOW) {
    HandleOverflow(pointers);
  } else if (code == EXCEPTION_SINGLE_STEP && (pointers->ContextRecord->Dr6 & kDebugStatusHits) != 0) {
    Deliver(kSignalTrap, pointers->ExceptionRecord, pointers->ContextRecord);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

// The module an address lies in (its allocation base), from the address space alone: no
// loader lock.
void* ModuleBaseOf(uintptr_t address) {
  MEMORY_BASIC_INFORMATION region;
  if (::VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) != sizeof region) return nullptr;
  return region.Type == MEM_IMAGE ? region.AllocationBase : nullptr;
}

// One frame up: the caller's registers as they are after the call returns.
bool UnwindOnce(CONTEXT& context) {
#if UINTPTR_MAX > 0xFFFFFFFFu
  DWORD64 imageBase = 0;
  PRUNTIME_FUNCTION entry = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
  if (!entry) {
    // A leaf function keeps no unwind data: its return address is at the stack pointer.
    if (!ReadableBytes(reinterpret_cast<const void*>(context.Rsp), sizeof(DWORD64))) return false;
    context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
    context.Rsp += sizeof(DWORD64);
    return true;
  }
  void* handlerData = nullptr;
  DWORD64 establisher = 0;
  ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, entry, &context, &handlerData, &establisher, nullptr);
  return context.Rip != 0;
#else
  // 32-bit code keeps frame records: saved frame pointer, then the return address.
  const DWORD* frame = reinterpret_cast<const DWORD*>(context.Ebp);
  if (!frame || !ReadableBytes(frame, 2 * sizeof(DWORD))) return false;
  context.Eip = frame[1];
  context.Esp = context.Ebp + 2 * sizeof(DWORD);
  context.Ebp = frame[0];
  return context.Eip != 0;
#endif
}

// The call instruction that returns to returnAddress: a direct call (E8 rel32) or one
// through the import table (FF 15 / FF 25 disp32); else the byte before, still inside the
// caller. abort() does not return, so its return address may already be the next
// function's first byte.
uintptr_t CallBefore(uintptr_t returnAddress) {
  constexpr unsigned char kCallRelative = 0xE8;
  constexpr unsigned char kIndirect = 0xFF;
  constexpr unsigned char kCallIndirectModrm = 0x15;
  const unsigned char* code = reinterpret_cast<const unsigned char*>(returnAddress);
  if (ReadableBytes(code - 6, 6)) {
    if (code[-5] == kCallRelative) return returnAddress - 5;
    if (code[-6] == kIndirect && code[-5] == kCallIndirectModrm) return returnAddress - 6;
  }
  return returnAddress - 1;
}

// The registers at the call of abort(): the handler's frame and the C library's frames
// above it (raise, abort) are unwound, so reports and dumps start at the code that called
// abort, with the instruction pointer on that call; a debugger reading a dump has no unwind
// data for the C library.
void AbortCallerContext(CONTEXT& context) {
  constexpr int kMaxFrames = 32;
  std::memset(&context, 0, sizeof context);
  ::RtlCaptureContext(&context);
  CONTEXT walk = context;
  // Out of this library's frames first, then out of the C library's.
  void* library = ModuleBaseOf(InstructionPointer(walk));
  void* runtime = nullptr;
  for (int step = 0; step < kMaxFrames; ++step) {
    if (!UnwindOnce(walk)) return;
    void* module = ModuleBaseOf(InstructionPointer(walk));
    if (!runtime) {
      if (module != library) runtime = module;
    } else if (module != runtime) {
      context = walk;
      InstructionPointer(context) = CallBefore(InstructionPointer(walk));
      return;
    }
  }
}

void __cdecl AbortHandler(int) {
  std::memset(&gAbortRecord, 0, sizeof gAbortRecord);
  AbortCallerContext(gAbortContext);
  gAbortRecord.ExceptionCode = ExceptionCode::kFatalAppExit;
  gAbortRecord.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  gAbortRecord.ExceptionAddress = reinterpret_cast<void*>(InstructionPointer(gAbortContext));
  Deliver(SIGABRT, &gAbortRecord, &gAbortContext);
}

bool SetGuarantee() {
  ULONG size = kStackGuarantee;
  // Asking for less than the thread has already keeps the larger amount.
  ULONG current = 0;
  if (::SetThreadStackGuarantee(&current) && current >= kStackGuarantee) return true;
  return ::SetThreadStackGuarantee(&size) != 0;
}

// The crash report's thread.
struct CrashCall {
  void (*work)(void*);
  void* argument;
};
std::atomic<bool> gCrashStackBusy{false};

DWORD WINAPI CrashThreadEntry(void* parameter) {
  CrashCall* call = static_cast<CrashCall*>(parameter);
  Win32::gCrashWorker.worker.store(::GetCurrentThreadId(), std::memory_order_release);
  call->work(call->argument);
  Win32::gCrashWorker.worker.store(0, std::memory_order_release);
  return 0;
}

// ---- Watchdog ------------------------------------------------------------------------------
HANDLE gWatchdogEvent = nullptr;
std::atomic<DWORD> gWatchdogMilliseconds{INFINITE};

DWORD WINAPI WatchdogEntry(void*) {
  for (;;) {
    DWORD wait = gWatchdogMilliseconds.load(std::memory_order_acquire);
    if (::WaitForSingleObject(gWatchdogEvent, wait) == WAIT_TIMEOUT) {
      static const char kLine[] = "Yr: the crash report did not finish in time; the process ends\n";
      DWORD written = 0;
      ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kLine, sizeof kLine - 1, &written, nullptr);
      ::TerminateProcess(::GetCurrentProcess(), 1);
    }
  }
}

// ---- Other threads -------------------------------------------------------------------------
constexpr size_t kMaxSnapshotThreads = 256;
HANDLE gStopped[kMaxSnapshotThreads];
std::atomic<size_t> gStoppedCount{0};

}  // namespace

// Windows has no alternate signal stack: a stack overflow is reported on the thread's own
// stack, in the room SetThreadStackGuarantee keeps below the guard page. These functions
// set that room for the calling thread; there is nothing to give back.
bool EnsureAlternateSignalStack() { return SetGuarantee(); }

void* AcquireThreadSignalStack() {
  SetGuarantee();
  return nullptr;
}

void ReleaseThreadSignalStack(void*) {}

bool InstallFaultHandlers(FaultHandler handler) {
  gFaultHandler.store(handler, std::memory_order_release);
  bool ok = SetGuarantee();
  if (!gInstalled.exchange(true)) {
    gPreviousFilter = ::SetUnhandledExceptionFilter(&TopLevelFilter);
    // Last in the chain: vectored handlers of the application come first.
    gVectoredHandler = ::AddVectoredExceptionHandler(0, &VectoredHandler);
    gPreviousAbortHandler = ::signal(SIGABRT, &AbortHandler);
    return ok && gVectoredHandler != nullptr && gPreviousAbortHandler != SIG_ERR;
  }
  // Again: the filter and the abort handler become ours once more (the C library resets a
  // signal's handler when it delivers it); what was there first is still what unload puts
  // back.
  ::SetUnhandledExceptionFilter(&TopLevelFilter);
  return ::signal(SIGABRT, &AbortHandler) != SIG_ERR && ok;
}

void UninstallFaultHandlers() {
  gFaultHandler.store(nullptr, std::memory_order_release);
  if (!gInstalled.exchange(false)) return;
  // Put back only what is still ours: someone who replaced the filter meanwhile keeps it.
  LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(gPreviousFilter);
  if (current != &TopLevelFilter) ::SetUnhandledExceptionFilter(current);
  if (gVectoredHandler) ::RemoveVectoredExceptionHandler(gVectoredHandler);
  gVectoredHandler = nullptr;
  void(__cdecl * abortNow)(int) = ::signal(SIGABRT, gPreviousAbortHandler == SIG_ERR ? SIG_DFL : gPreviousAbortHandler);
  if (abortNow != &AbortHandler) ::signal(SIGABRT, abortNow);
}

// The process ends as an unhandled exception ends it: with the exception's code as its
// exit code (abort's 3 for SIGABRT, as the C library ends it).
void RaiseWithDefaultAction(int signal) {
  constexpr UINT kAbortExitCode = 3;
  uint32_t code = gReportedCode.load(std::memory_order_relaxed);
  if (signal == SIGABRT) {
    ::TerminateProcess(::GetCurrentProcess(), kAbortExitCode);
  }
  if (code == 0) {
    switch (signal) {
      case SIGFPE: code = EXCEPTION_FLT_INVALID_OPERATION; break;
      case SIGILL: code = EXCEPTION_ILLEGAL_INSTRUCTION; break;
      case kSignalTrap: code = EXCEPTION_BREAKPOINT; break;
      default: code = EXCEPTION_ACCESS_VIOLATION; break;
    }
  }
  ::TerminateProcess(::GetCurrentProcess(), code);
}

// On Windows signalInfo is the EXCEPTION_RECORD: the signal is the C signal that matches its
// code, code is the exception code itself, and the fault address is the data address of an
// access violation or in-page error, else the address of the instruction.
bool ReadSignalFacts(const void* signalInfo, SignalFacts& out) {
  std::memset(&out, 0, sizeof out);
  if (!signalInfo) return false;
  const EXCEPTION_RECORD* record = static_cast<const EXCEPTION_RECORD*>(signalInfo);
  out.signal = SignalForCode(record->ExceptionCode);
  out.code = static_cast<int>(record->ExceptionCode);
  out.sentByProcess = record->ExceptionCode == ExceptionCode::kFatalAppExit;
  bool dataAddress = (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
                      record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
                     record->NumberParameters >= 2;
  if (out.sentByProcess) {
    out.faultAddress = 0;
  } else if (dataAddress) {
    out.faultAddress = static_cast<uintptr_t>(record->ExceptionInformation[1]);
  } else {
    out.faultAddress = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
  }
  return true;
}

// The system names the exception itself: its code is the report's.
uint32_t ExceptionCodeFor(const SignalFacts& facts, uintptr_t) { return static_cast<uint32_t>(facts.code); }

bool ContextFromOs(const void* osContext, CpuContext& out) {
  std::memset(&out, 0, sizeof out);
  if (!osContext) return false;
  const CONTEXT* c = static_cast<const CONTEXT*>(osContext);
#if UINTPTR_MAX > 0xFFFFFFFFu
  out.ax = c->Rax;
  out.bx = c->Rbx;
  out.cx = c->Rcx;
  out.dx = c->Rdx;
  out.si = c->Rsi;
  out.di = c->Rdi;
  out.bp = c->Rbp;
  out.sp = c->Rsp;
  out.ip = c->Rip;
  out.r8 = c->R8;
  out.r9 = c->R9;
  out.r10 = c->R10;
  out.r11 = c->R11;
  out.r12 = c->R12;
  out.r13 = c->R13;
  out.r14 = c->R14;
  out.r15 = c->R15;
  out.flags = c->EFlags;
  out.cs = c->SegCs;
  out.ds = c->SegDs;
  out.es = c->SegEs;
  out.fs = c->SegFs;
  out.gs = c->SegGs;
  out.ss = c->SegSs;
  if ((c->ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
    static_assert(sizeof c->FltSave == sizeof out.floatState, "FXSAVE area size");
    std::memcpy(out.floatState, &c->FltSave, sizeof out.floatState);
    out.mxcsr = c->MxCsr;
    out.hasFloatState = true;
  }
#else
  out.ax = c->Eax;
  out.bx = c->Ebx;
  out.cx = c->Ecx;
  out.dx = c->Edx;
  out.si = c->Esi;
  out.di = c->Edi;
  out.bp = c->Ebp;
  out.sp = c->Esp;
  out.ip = c->Eip;
  out.flags = c->EFlags;
  out.cs = static_cast<uint16_t>(c->SegCs);
  out.ds = static_cast<uint16_t>(c->SegDs);
  out.es = static_cast<uint16_t>(c->SegEs);
  out.fs = static_cast<uint16_t>(c->SegFs);
  out.gs = static_cast<uint16_t>(c->SegGs);
  out.ss = static_cast<uint16_t>(c->SegSs);
  if ((c->ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
    static_assert(sizeof c->FloatSave == sizeof out.floatState, "FSAVE area size");
    std::memcpy(out.floatState, &c->FloatSave, sizeof out.floatState);
    out.hasFloatState = true;
  }
  if ((c->ContextFlags & CONTEXT_EXTENDED_REGISTERS) == CONTEXT_EXTENDED_REGISTERS) {
    constexpr size_t kMxcsrOffset = 24;  // in the FXSAVE image
    std::memcpy(&out.mxcsr, c->ExtendedRegisters + kMxcsrOffset, sizeof out.mxcsr);
  }
#endif
  return true;
}

__attribute__((noinline)) void CaptureCallerContext(CpuContext& out) {
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  ::RtlCaptureContext(&context);
#if UINTPTR_MAX > 0xFFFFFFFFu
  // The frame pointer of a 64-bit function need not point at its saved copy here, so the
  // caller's registers come from this function's unwind data, as the system unwinds.
  DWORD64 imageBase = 0;
  if (PRUNTIME_FUNCTION entry = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr)) {
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, entry, &context, &handlerData, &establisher,
                       nullptr);
    ContextFromOs(&context, out);
    return;
  }
  ContextFromOs(&context, out);
#else
  ContextFromOs(&context, out);
#endif
  // Describe the caller at the call: this function's frame is gone once it returns.
  void** frame = static_cast<void**>(__builtin_frame_address(0));
  out.ip = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  out.bp = reinterpret_cast<uintptr_t>(frame[0]);
  out.sp = reinterpret_cast<uintptr_t>(frame + 2);
}

// The report runs on a fresh thread with a stack of its own, which stands in for the
// calling thread (see crash_thread.h) while the caller waits: a stack overflow leaves no
// room on the faulting thread, and the system's dump writer cannot run there either.
void RunOnCrashStack(void (*work)(void*), void* argument) {
  bool expected = false;
  if (!gCrashStackBusy.compare_exchange_strong(expected, true)) {
    work(argument);
    return;
  }
  CrashCall call = {work, argument};
  Win32::gCrashWorker.standsFor.store(OwnThreadId(), std::memory_order_release);
  HANDLE thread = ::CreateThread(nullptr, kCrashStackSize, &CrashThreadEntry, &call,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread) {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
  } else {
    work(argument);
  }
  Win32::gCrashWorker.standsFor.store(0, std::memory_order_release);
  gCrashStackBusy.store(false);
}

// The watchdog is a thread of its own, started by the first call (a crash): a thread
// waiting on an event with the time limit.
void StartCrashWatchdog(unsigned int seconds) {
  constexpr DWORD kMillisecondsPerSecond = 1000;
  gWatchdogMilliseconds.store(seconds == 0 ? INFINITE : seconds * kMillisecondsPerSecond, std::memory_order_release);
  if (!gWatchdogEvent) {
    if (seconds == 0) return;
    gWatchdogEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!gWatchdogEvent) return;
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, 64 * 1024, &WatchdogEntry, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (!thread) return;
    Win32::gWatchdogThread.store(id, std::memory_order_release);
    ::CloseHandle(thread);
    return;
  }
  // Wakes the watchdog so that it waits again with the new limit.
  ::SetEvent(gWatchdogEvent);
}

// Other threads are stopped with SuspendThread and their registers read with
// GetThreadContext; the watchdog is left running.
size_t CaptureOtherThreads(ThreadSnapshot* out, size_t capacity, unsigned int timeoutMilliseconds) {
  ReleaseThreads();
  const DWORD started = ::GetTickCount();
  const DWORD self = Win32::RealThreadId();
  const DWORD watchdog = Win32::gWatchdogThread.load(std::memory_order_acquire);
  const DWORD process = ::GetCurrentProcessId();
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  size_t stored = 0;
  size_t stopped = 0;
  for (BOOL more = ::Thread32First(snapshot, &entry); more && stored < capacity && stopped < kMaxSnapshotThreads;
       more = ::Thread32Next(snapshot, &entry)) {
    if (::GetTickCount() - started > timeoutMilliseconds) break;
    if (entry.th32OwnerProcessID != process || entry.th32ThreadID == self || entry.th32ThreadID == watchdog) continue;
    HANDLE thread = ::OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE,
                                 entry.th32ThreadID);
    if (!thread) continue;
    if (::SuspendThread(thread) == static_cast<DWORD>(-1)) {
      ::CloseHandle(thread);
      continue;
    }
    gStopped[stopped++] = thread;
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_FULL | CONTEXT_FLOATING_POINT;
    // GetThreadContext waits until the thread has really stopped.
    if (!::GetThreadContext(thread, &context)) continue;
    out[stored].threadId = entry.th32ThreadID;
    ContextFromOs(&context, out[stored].context);
    ++stored;
  }
  gStoppedCount.store(stopped, std::memory_order_release);
  ::CloseHandle(snapshot);
  return stored;
}

void ReleaseThreads() {
  size_t stopped = gStoppedCount.exchange(0, std::memory_order_acq_rel);
  for (size_t i = 0; i < stopped; ++i) {
    ::ResumeThread(gStopped[i]);
    ::CloseHandle(gStopped[i]);
  }
}

void NapMilliseconds(unsigned int milliseconds) { ::Sleep(milliseconds); }

}  // namespace Yr::Platform
