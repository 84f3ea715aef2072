#include "system/debug/crash_handler.h"

#include <cinttypes>
#include <cstring>

#include "system/debug/crash_symbols.h"
#include "system/debug/minidump.h"
#include "system/debug/stack_info.h"
#include "system/debug/symbols.h"
#include "system/memory/static_singleton.h"
#include "system/platform/process_platform.h"
#include "system/platform/signal_platform.h"
#include "system/platform/symbols_platform.h"

namespace Yr {
namespace {

using namespace Platform::ExceptionCode;

struct CodeName {
  uint32_t code;
  const char* name;
};

constexpr CodeName kCodeNames[] = {
    {0x80000001u, "EXCEPTION_GUARD_PAGE"},
    {0x80000002u, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003u, "EXCEPTION_BREAKPOINT"},
    {0x80000004u, "EXCEPTION_SINGLE_STEP"},
    {0xC0000005u, "EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006u, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC0000008u, "EXCEPTION_INVALID_HANDLE"},
    {0xC000001Du, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008Cu, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008Eu, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090u, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091u, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092u, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093u, "EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094u, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000096u, "EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FDu, "EXCEPTION_STACK_OVERFLOW"},
    {0xC00002B4u, "EXCEPTION_FLOAT_MULTIPLE_FAULTS"},
    {0xC00002B5u, "EXCEPTION_FLOAT_MULTIPLE_TRAPS"},
};

constexpr uint32_t kCrashExitCode = 1;
constexpr unsigned int kWaitForOtherReportMilliseconds = 1000;
constexpr unsigned int kOwnerWaitMilliseconds = 20;

// The thread whose crash is being reported (0 when none).
uint32_t gCrashingThread = 0;
char gDumpName[BugReport::kReportFilenameSize + sizeof Detail::kDumpSuffix];

bool IsBreakpoint(unsigned long long code) { return code == kBreakpoint; }

// Claims the one-shot latch for this thread's crash and returns when it is the first. A
// fault on this thread while it writes a report, or a second crash, ends the process at once;
// a crash on another thread while one is reported waits for that report to end the process.
// The latch is taken atomically: two threads faulting together must not both report.
void ClaimCrash() {
  uint32_t self = Platform::OwnThreadId();
  if (Detail::ReportingThread() == self) {
    BugReport::sAbnormalShutdown = true;
    Platform::ExitProcessNow(kCrashExitCode);
  }
  if (!__atomic_exchange_n(&BugReport::sAbnormalShutdown, true, __ATOMIC_ACQ_REL)) {
    __atomic_store_n(&gCrashingThread, self, __ATOMIC_RELEASE);
    return;
  }
  // The first crash publishes its thread right after taking the latch; a latch set by the
  // application itself has no thread.
  uint32_t owner = 0;
  for (unsigned int waited = 0; waited < kOwnerWaitMilliseconds; ++waited) {
    owner = __atomic_load_n(&gCrashingThread, __ATOMIC_ACQUIRE);
    if (owner != 0) break;
    Platform::NapMilliseconds(1);
  }
  if (owner != 0 && owner != self) {
    for (;;) Platform::NapMilliseconds(kWaitForOtherReportMilliseconds);
  }
  Platform::ExitProcessNow(kCrashExitCode);
}

// The dump beside the report file, for the calling thread with the registers in context;
// facts name the fault (all zero for a dump taken without one).
void WriteDumpBesideReport(Detail::DumpKind kind, const Platform::CpuContext& context,
                           const Platform::SignalFacts& facts, uint32_t code, bool releaseThreads) {
  if (!Detail::DumpFileName(BugReport::sReportFilename, gDumpName, sizeof gDumpName)) return;
  Detail::DumpRequest request = {};
  request.path = gDumpName;
  request.kind = kind;
  request.context = &context;
  request.threadId = Platform::OwnThreadId();
  request.signal = facts.signal;
  request.signalCode = facts.code;
  request.faultAddress = facts.faultAddress ? facts.faultAddress : context.ip;
  request.exceptionCode = code;
  request.releaseThreads = releaseThreads;
  Detail::WriteMiniDump(request);
}

void WriteCrashDump(unsigned long long code, const ExceptionPointers* pointers, const Platform::CpuContext& context) {
  Detail::DumpKind kind = Detail::DumpKindFor(BugReport::sCrashDumpFormat);
  if (kind == Detail::kDumpNone) return;
  Platform::SignalFacts facts;
  Platform::ReadSignalFacts(pointers ? pointers->signalInfo : nullptr, facts);
  WriteDumpBesideReport(kind, context, facts, static_cast<uint32_t>(code), false);
}

struct CrashWork {
  unsigned long long code;
  const ExceptionPointers* pointers;
  const char* text;
};

void WriteCrashReportAndDump(void* argument) {
  const CrashWork& work = *static_cast<const CrashWork*>(argument);
  // At the descriptor limit the report and the dump could not be opened: the spares kept
  // since load make room. Symbols come from the helper process from here on.
  Platform::ReleaseReservedDescriptors();
  Detail::BeginCrashSymbols();
  Platform::CpuContext context;
  Platform::ContextFromOs(work.pointers ? work.pointers->context : nullptr, context);
  // A faulting function that keeps no frame record at the faulting instruction (a leaf of
  // optimised code, a prologue) has its return address found from the call-frame
  // information; its caller's frame continues the walk.
  void* framePointer = reinterpret_cast<void*>(context.bp);
  void* firstReturn = nullptr;
  uintptr_t stack = context.sp;
  Platform::FrameStep step;
  if (Detail::CrashFramelessStep(context.ip, context.sp, context.bp, step)) {
    firstReturn = reinterpret_cast<void*>(step.returnAddress);
    framePointer = reinterpret_cast<void*>(step.callerFrame);
    stack = step.callerStack;
  }
  // Code kept without frame pointers (the C library, where abort faults) leaves no usable
  // frame pointer: the walk then starts at the first intact frame record above.
  if (void* found = Detail::FaultFramePointer(reinterpret_cast<void*>(stack), framePointer)) framePointer = found;
  Detail::WriteExceptionReport(reinterpret_cast<void*>(context.ip), framePointer, firstReturn, work.code,
                               work.pointers ? work.pointers->context : nullptr, work.text, &context);
  Detail::EndCrashSymbols();
  WriteCrashDump(work.code, work.pointers, context);
}

void TopLevelFilter(int signal, void* signalInfo, void* osContext) {
  ClaimCrash();
  Platform::StartCrashWatchdog(Detail::kCrashReportSeconds);
  Platform::SignalFacts facts;
  Platform::ReadSignalFacts(signalInfo, facts);
  Platform::CpuContext context;
  Platform::ContextFromOs(osContext, context);
  uint32_t code = Platform::ExceptionCodeFor(facts, context.sp);
  ExceptionPointers pointers = {signalInfo, osContext};
  PCBugReport::ExceptionHandler(code, &pointers, nullptr);
  // Only a breakpoint comes back: the process ends as the system ends it for that signal.
  Platform::StartCrashWatchdog(0);
  Platform::RaiseWithDefaultAction(signal);
  Platform::ExitProcessNow(kCrashExitCode);
}

}  // namespace

namespace Detail {
const char* ExceptionCodeName(uint32_t code) {
  for (const CodeName& entry : kCodeNames)
    if (entry.code == code) return entry.name;
  return nullptr;
}
}  // namespace Detail

void PCBugReport::SetUnhandledExceptionHandler() { Platform::InstallFaultHandlers(&TopLevelFilter); }
void BugReport::SetUnhandledExceptionHandler() { PCBugReport::SetUnhandledExceptionHandler(); }

int BugReport::ExceptionHandler(unsigned long long code, void* exceptionPointers, const char* text) {
  ClaimCrash();
  return PCBugReport::ExceptionHandler(code, static_cast<ExceptionPointers*>(exceptionPointers), text);
}

int PCBugReport::ExceptionHandler(unsigned long long code, ExceptionPointers* pointers, const char* text) {
  int result = (BugReport::sDialogsDisabled || !BugReport::sExceptionHandlerDisabled) ? 1 : 0;
  if (IsBreakpoint(code)) return result;
  Platform::StartCrashWatchdog(Detail::kCrashReportSeconds);
  CrashWork work = {code, pointers, text};
  // The report and the dump run on the library's own stack, whatever stack the fault left.
  Platform::RunOnCrashStack(&WriteCrashReportAndDump, &work);
  Platform::ExitProcessNow(kCrashExitCode);
}

void PCBugReport::MiniDump() {
  Detail::DumpKind kind = Detail::DumpKindFor(BugReport::sCrashDumpFormat);
  if (kind == Detail::kDumpNone) return;
  Detail::LockReports();
  // The registers of this very frame, which stays alive while the dump is written.
  Platform::CpuContext context;
  Platform::CaptureCallerContext(context);
  WriteDumpBesideReport(kind, context, Platform::SignalFacts{}, 0, true);
  Detail::UnlockReports();
}

void PCBugReport::WriteExceptionCode(unsigned long long code) {
  uint32_t low = static_cast<uint32_t>(code);
  WriteFmt("Exception %08X  ", low);
  // An unknown code has no name: the line ends after the number.
  WriteStrLN(Detail::ExceptionCodeName(low));
}

void PCBugReport::WriteRegisters(void* osContext) {
  Platform::CpuContext c;
  if (!Platform::ContextFromOs(osContext, c)) return;
  WriteStrLN("Registers");
#if UINTPTR_MAX > 0xFFFFFFFFu
  WriteFmtLN("RAX=%016" PRIXPTR "  RBX=%016" PRIXPTR "  RCX=%016" PRIXPTR "  RDX=%016" PRIXPTR "  RSI=%016" PRIXPTR
             "  RDI=%016" PRIXPTR,
             c.ax, c.bx, c.cx, c.dx, c.si, c.di);
  WriteFmtLN("R8=%016" PRIXPTR "  R9=%016" PRIXPTR "  R10=%016" PRIXPTR "  R11=%016" PRIXPTR, c.r8, c.r9, c.r10,
             c.r11);
  WriteFmtLN("R12=%016" PRIXPTR "  R13=%016" PRIXPTR "  R14=%016" PRIXPTR "  R15=%016" PRIXPTR, c.r12, c.r13, c.r14,
             c.r15);
  WriteFmtLN("RIP=%016" PRIXPTR, c.ip);
  WriteFmtLN("RSP=%016" PRIXPTR "  RBP=%016" PRIXPTR, c.sp, c.bp);
#else
  WriteFmtLN("EAX=%08" PRIXPTR "  EBX=%08" PRIXPTR "  ECX=%08" PRIXPTR "  EDX=%08" PRIXPTR "  ESI=%08" PRIXPTR
             "  EDI=%08" PRIXPTR,
             c.ax, c.bx, c.cx, c.dx, c.si, c.di);
  WriteFmtLN("EIP=%08" PRIXPTR, c.ip);
  WriteFmtLN("ESP=%08" PRIXPTR "  EBP=%08" PRIXPTR, c.sp, c.bp);
#endif
  WriteFmtLN("DS=%04X  ES=%04X  FS=%04X  GS=%04X", c.ds, c.es, c.fs, c.gs);
  WriteFmtLN("Flags=%08X", c.flags);
  WriteStrLN("");
}

}  // namespace Yr
