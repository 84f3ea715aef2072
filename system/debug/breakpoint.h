// Breakpoint: data and execution breakpoints in the processor's four debug-address slots
// of the calling thread, so that a write to a watched variable stops the program.
//
//   Yr::Breakpoint::Set(2, &gFrameCounter, Yr::Breakpoint::Write);
//   ...                        // a write to gFrameCounter on this thread is reported
//   Yr::Breakpoint::Clear(2);
//
// A hit reaches the crash handler as a single-step exception, as an unexpected one would.
// Each thread keeps its own view of the debug registers, DR0-DR3 and DR7 (GetRegisters):
// Set puts the address into the slot and sets the slot's access field, a length of one byte
// and its local enable bit; Clear clears only the enable bit. When the system refuses a
// request nothing changes. An index outside 0-3 does nothing.
//
// Hardware breakpoints are not delivered on every machine: some virtual machines accept
// the request and never raise the trap. HitsDelivered tells (it probes once, on first use).
//
// Threads: both operations act on the calling thread only; other threads keep theirs.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

class YR_API Breakpoint {
 public:
  // Written unchanged into the slot's 2-bit access field.
  enum Access : int {
    Execute = 0,    // executing the instruction at the address
    Write = 1,      // writing the byte at the address
    IoAccess = 2,   // I/O port access: refused on this system
    ReadWrite = 3,  // reading or writing the byte at the address
  };

  static constexpr int kSlots = 4;

  // The calling thread's debug registers as the operations left them.
  struct Registers {
    uintptr_t address[kSlots];  // DR0-DR3
    uintptr_t control;          // DR7
  };

  static void Set(int index, void* address, Access access);
  static void Clear(int index);
  static Registers GetRegisters();

  // Whether a hit actually arrives on this machine.
  static bool HitsDelivered();
  // The reason, for a message, when HitsDelivered is false; null when it is true.
  static const char* WhyNotDelivered();

  // DR7 fields of slot i: local enable bit 2i, access at 16 + 4i, length at 18 + 4i.
  static constexpr uintptr_t EnableBit(int index) { return uintptr_t{1} << (2 * index); }
  static constexpr int AccessShift(int index) { return 16 + 4 * index; }
  static constexpr int LengthShift(int index) { return 18 + 4 * index; }
};

// Whether the process runs under a debugger: always false in this library.
YR_API bool InDebugger();

}  // namespace Yr
