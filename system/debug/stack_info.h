// StackInfo: the stack walk behind assertion reports, crash reports and allocation traces.
// It follows the chain of saved frame pointers (each frame: the caller's frame pointer,
// then the return address) and tests every frame's readability through the platform layer
// first, so a broken chain ends the walk instead of faulting. Where the system's frame
// pointer need not address a frame record (64-bit Windows, in frames over 240 bytes), the
// walks from the caller's frame and from a stopped frame's registers follow the system's
// unwind tables instead. Safe inside a signal handler; no allocation, no lock.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

class YR_API StackInfo {
 public:
  // Fills out with at most count - 1 return addresses walked from framePointer, the first
  // skip of them left out, and a null entry after the last; a count below 2 or an
  // unreadable first frame gives only the null entry.
  static void GetStack(void* framePointer, void** out, int count, int skip);
  // The same from the caller's frame: the first entry is the address this call returns to.
  static void GetStack(void** out, int count, int skip);
  // The same from a stopped frame's instruction, stack and frame pointers (a faulting
  // thread's context): the first entry is the return address of the function at ip. By the
  // unwind tables where the system has them for this, else from the frame record at bp.
  static void GetStackFrom(uintptr_t ip, uintptr_t sp, uintptr_t bp, void** out, int count, int skip);
};

namespace Detail {
// How far above a stack pointer a frame record is looked for.
constexpr unsigned int kFrameSearchBytes = 64 * 1024;
// The frame pointer to walk a faulting thread from: its own frame pointer when that points
// into the stack just above the stack pointer and its first return address follows a call
// instruction; otherwise (the fault lies in code built without frame pointers, as system
// libraries are) the first frame record above the stack pointer whose first two return
// addresses follow calls. Null when there is none.
YR_API void* FaultFramePointer(void* stackPointer, void* framePointer);
}  // namespace Detail

}  // namespace Yr
