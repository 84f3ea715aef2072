#include "system/platform/breakpoint_platform.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace Yr::Platform {
namespace {

// DR7: slot i is enabled for this thread by bit 2i; its access field is at bit 16 + 4i and
// its length field (0: one byte) right above it.
constexpr unsigned kAccessShift = 16;
constexpr unsigned kFieldsPerSlot = 4;
constexpr uintptr_t kFieldMask = 3;
constexpr DWORD kDebugStatusHits = 0xF;
constexpr DWORD kResumeFlag = 0x10000;

uintptr_t EnableBit(int slot) { return uintptr_t{1} << (2 * slot); }
uintptr_t SlotFields(int slot) { return (kFieldMask | (kFieldMask << 2)) << (kAccessShift + kFieldsPerSlot * slot); }

#if UINTPTR_MAX > 0xFFFFFFFFu
using Register = DWORD64;
#else
using Register = DWORD;
#endif

Register& AddressRegister(CONTEXT& context, int slot) {
  switch (slot) {
    case 0: return context.Dr0;
    case 1: return context.Dr1;
    case 2: return context.Dr2;
    default: return context.Dr3;
  }
}

// The calling thread's debug registers, read and written through its own context: the
// system keeps them per thread, so a new thread starts with all slots clear.
bool ReadRegisters(CONTEXT& context) {
  context = {};
  context.ContextFlags = CONTEXT_DEBUG_REGISTERS;
  return ::GetThreadContext(::GetCurrentThread(), &context) != 0;
}

bool WriteRegisters(CONTEXT& context) {
  context.ContextFlags = CONTEXT_DEBUG_REGISTERS;
  if (!::SetThreadContext(::GetCurrentThread(), &context)) return false;
  // A system that takes the request but keeps nothing reads back the old control word.
  CONTEXT check;
  return ReadRegisters(check) && check.Dr7 == context.Dr7;
}

// ---- The probe ------------------------------------------------------------------------------
volatile unsigned char gProbeTarget;
std::atomic<DWORD> gProbeThread{0};
std::atomic<bool> gProbeHit{false};

// First in the chain while the probe runs: takes the probe thread's hit and disarms it.
LONG WINAPI ProbeHandler(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_SINGLE_STEP) return EXCEPTION_CONTINUE_SEARCH;
  if (::GetCurrentThreadId() != gProbeThread.load(std::memory_order_acquire)) return EXCEPTION_CONTINUE_SEARCH;
  gProbeHit.store(true, std::memory_order_release);
  CONTEXT& context = *pointers->ContextRecord;
  context.Dr7 &= ~static_cast<Register>(EnableBit(0) | SlotFields(0));
  context.Dr6 &= ~static_cast<Register>(kDebugStatusHits);
  context.EFlags |= kResumeFlag;
  return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI ProbeThread(void*) {
  gProbeThread.store(::GetCurrentThreadId(), std::memory_order_release);
  if (!ArmThreadBreakpoint(0, reinterpret_cast<uintptr_t>(&gProbeTarget), BreakpointAccess::kWrite)) {
    return static_cast<DWORD>(BreakpointProbe::kRefused);
  }
  gProbeTarget = 1;
  DisarmThreadBreakpoint(0);
  return static_cast<DWORD>(gProbeHit.load(std::memory_order_acquire) ? BreakpointProbe::kDelivered
                                                                      : BreakpointProbe::kSilent);
}

// A write breakpoint armed on a thread of the probe's own, under a vectored handler that
// catches the hit and lets the thread go on.
BreakpointProbe RunProbe() {
  PVOID handler = ::AddVectoredExceptionHandler(1, &ProbeHandler);
  if (!handler) return BreakpointProbe::kRefused;
  BreakpointProbe answer = BreakpointProbe::kRefused;
  HANDLE thread = ::CreateThread(nullptr, 0, &ProbeThread, nullptr, 0, nullptr);
  if (thread) {
    ::WaitForSingleObject(thread, INFINITE);
    DWORD result = 0;
    if (::GetExitCodeThread(thread, &result)) answer = static_cast<BreakpointProbe>(result);
    ::CloseHandle(thread);
  }
  ::RemoveVectoredExceptionHandler(handler);
  gProbeThread.store(0, std::memory_order_release);
  return answer;
}

}  // namespace

bool ArmThreadBreakpoint(int slot, uintptr_t address, BreakpointAccess access) {
  if (slot < 0 || slot >= kBreakpointSlots) return false;
  if (access == BreakpointAccess::kIoAccess) return false;  // no I/O-port breakpoints for programs
  CONTEXT context;
  if (!ReadRegisters(context)) return false;
  CONTEXT before = context;
  AddressRegister(context, slot) = address;
  uintptr_t control = static_cast<uintptr_t>(context.Dr7);
  control &= ~SlotFields(slot);
  control |= static_cast<uintptr_t>(access) << (kAccessShift + kFieldsPerSlot * slot);  // length 0: one byte
  control |= EnableBit(slot);
  context.Dr7 = control;
  if (WriteRegisters(context)) return true;
  WriteRegisters(before);
  return false;
}

void DisarmThreadBreakpoint(int slot) {
  if (slot < 0 || slot >= kBreakpointSlots) return;
  CONTEXT context;
  if (!ReadRegisters(context) || !(context.Dr7 & EnableBit(slot))) return;
  context.Dr7 &= ~static_cast<Register>(EnableBit(slot) | SlotFields(slot));
  AddressRegister(context, slot) = 0;
  WriteRegisters(context);
}

BreakpointProbe ProbeBreakpoints() {
  static const BreakpointProbe answer = RunProbe();
  return answer;
}

}  // namespace Yr::Platform
