#include "system/debug/breakpoint.h"

#include "system/platform/breakpoint_platform.h"

namespace Yr {
namespace {

constexpr uintptr_t kFieldMask = 3;

// The calling thread's view of its debug registers; starts all clear, as a new thread's do.
thread_local Breakpoint::Registers tRegisters = {};

bool ValidIndex(int index) { return index >= 0 && index < Breakpoint::kSlots; }

}  // namespace

void Breakpoint::Set(int index, void* address, Access access) {
  if (!ValidIndex(index)) return;
  uintptr_t field = static_cast<uintptr_t>(access) & kFieldMask;
  if (!Platform::ArmThreadBreakpoint(index, reinterpret_cast<uintptr_t>(address),
                                     static_cast<Platform::BreakpointAccess>(field))) {
    return;
  }
  Registers& registers = tRegisters;
  registers.address[index] = reinterpret_cast<uintptr_t>(address);
  uintptr_t control = registers.control;
  control &= ~((kFieldMask << AccessShift(index)) | (kFieldMask << LengthShift(index)));
  control |= field << AccessShift(index);  // length 0: one byte
  control |= EnableBit(index);
  registers.control = control;
}

void Breakpoint::Clear(int index) {
  if (!ValidIndex(index)) return;
  Platform::DisarmThreadBreakpoint(index);
  tRegisters.control &= ~EnableBit(index);
}

Breakpoint::Registers Breakpoint::GetRegisters() { return tRegisters; }

bool Breakpoint::HitsDelivered() { return Platform::ProbeBreakpoints() == Platform::BreakpointProbe::kDelivered; }

const char* Breakpoint::WhyNotDelivered() {
  switch (Platform::ProbeBreakpoints()) {
    case Platform::BreakpointProbe::kDelivered:
      return nullptr;
    case Platform::BreakpointProbe::kRefused:
      return "the system refuses hardware breakpoints here";
    case Platform::BreakpointProbe::kSilent:
      break;
  }
  return "hardware breakpoints are accepted but never delivered on this machine";
}

bool InDebugger() { return false; }

}  // namespace Yr
