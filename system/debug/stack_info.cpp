#include "system/debug/stack_info.h"

#include <cstdint>

#include "system/platform/process_platform.h"
#include "system/platform/symbols_platform.h"
#include "system/platform/vm_platform.h"

namespace Yr {
namespace {

// A frame record: the saved frame pointer, then the return address.
constexpr uintptr_t kFrameRecordBytes = 2 * sizeof(void*);
constexpr uintptr_t kFrameAlignment = sizeof(void*);

// Readability is decided per page; frames only move upwards, so the pages already known
// to be readable need no second system call.
class ReadableWindow {
 public:
  bool Covers(uintptr_t address) {
    uintptr_t end = address + kFrameRecordBytes;
    if (end < address) return false;
    if (address >= mLow && end <= mHigh) return true;
    if (!Platform::ReadableBytes(reinterpret_cast<const void*>(address), kFrameRecordBytes)) return false;
    uintptr_t page = Platform::VirtualPageSize();
    mLow = address & ~(page - 1);
    mHigh = ((end - 1) | (page - 1)) + 1;
    if (mHigh == 0) mHigh = end;
    return true;
  }

 private:
  uintptr_t mLow = 0;
  uintptr_t mHigh = 0;
};

// Stack walks read words that belong to other frames, some of which an address sanitizer
// keeps poisoned as red zones; those reads are the point of the walk, not a fault.
#define YR_READS_FOREIGN_FRAMES __attribute__((no_sanitize("address")))

}  // namespace

YR_READS_FOREIGN_FRAMES void StackInfo::GetStack(void* framePointer, void** out, int count, int skip) {
  if (!out || count < 1) return;
  ReadableWindow readable;
  uintptr_t frame = reinterpret_cast<uintptr_t>(framePointer);
  if (count < 2 || !readable.Covers(frame)) {
    out[0] = nullptr;
    return;
  }
  int stored = 0;
  while (stored < count - 1) {
    void* const* record = reinterpret_cast<void* const*>(frame);
    void* returnAddress = record[1];
    if (!returnAddress) break;
    uintptr_t next = reinterpret_cast<uintptr_t>(record[0]);
    if (next % kFrameAlignment != 0 || next <= frame || !readable.Covers(next)) break;
    if (skip > 0) {
      --skip;
    } else {
      out[stored++] = returnAddress;
    }
    frame = next;
  }
  out[stored] = nullptr;
}

namespace Detail {
namespace {

// A return address follows a call instruction: a direct call (E8 and a 32-bit offset) or an
// indirect one (FF with a ModRM byte whose reg field is 2, two to seven bytes long).
bool FollowsCall(void* returnAddress) {
  constexpr uintptr_t kLongestCall = 7;
  constexpr uintptr_t kDirectCallLength = 5;
  constexpr unsigned char kDirectCall = 0xE8;
  constexpr unsigned char kIndirectCall = 0xFF;
  uintptr_t address = reinterpret_cast<uintptr_t>(returnAddress);
  if (address < kLongestCall || !Platform::ReadableBytes(reinterpret_cast<const void*>(address - kLongestCall), kLongestCall))
    return false;
  const unsigned char* end = reinterpret_cast<const unsigned char*>(address);
  if (end[-static_cast<int>(kDirectCallLength)] == kDirectCall) return true;
  for (int length = 2; length <= static_cast<int>(kLongestCall); ++length)
    if (end[-length] == kIndirectCall && ((end[-length + 1] >> 3) & 7) == 2) return true;
  return false;
}

}  // namespace

YR_READS_FOREIGN_FRAMES void* FaultFramePointer(void* stackPointer, void* framePointer) {
  uintptr_t low = reinterpret_cast<uintptr_t>(stackPointer);
  uintptr_t high = low + kFrameSearchBytes;
  if (high < low) high = UINTPTR_MAX;
  void* probe[3];
  uintptr_t given = reinterpret_cast<uintptr_t>(framePointer);
  if (given >= low && given < high) {
    StackInfo::GetStack(framePointer, probe, 2, 0);
    if (probe[0] && FollowsCall(probe[0])) return framePointer;
  }
  ReadableWindow readable;
  for (uintptr_t at = (low + kFrameAlignment - 1) & ~(kFrameAlignment - 1); at + kFrameRecordBytes <= high;
       at += kFrameAlignment) {
    if (!readable.Covers(at)) {
      // Past the end of the readable stack.
      break;
    }
    uintptr_t saved = *reinterpret_cast<const uintptr_t*>(at);
    if (saved <= at || saved >= high || saved % kFrameAlignment != 0) continue;
    StackInfo::GetStack(reinterpret_cast<void*>(at), probe, 3, 0);
    if (probe[0] && probe[1] && FollowsCall(probe[0]) && FollowsCall(probe[1])) return reinterpret_cast<void*>(at);
  }
  return nullptr;
}

}  // namespace Detail

__attribute__((noinline)) void StackInfo::GetStack(void** out, int count, int skip) {
  if (!out || count < 1) return;
  // The unwinder's first entry is the address this function returns to: one more skipped
  // makes it this function's caller's, as the frame walk has it.
  int stored = Platform::UnwindOwnStack(out, count - 1, skip + 1);
  if (stored >= 0) {
    out[stored] = nullptr;
  } else {
    GetStack(__builtin_frame_address(0), out, count, skip);
  }
  asm volatile("");  // no tail call: this frame must stay while the walk reads it
}

void StackInfo::GetStackFrom(uintptr_t ip, uintptr_t sp, uintptr_t bp, void** out, int count, int skip) {
  if (!out || count < 1) return;
  int stored = Platform::UnwindStackFrom(ip, sp, bp, out, count - 1, skip);
  if (stored >= 0) {
    out[stored] = nullptr;
  } else {
    GetStack(reinterpret_cast<void*>(bp), out, count, skip);
  }
}

}  // namespace Yr
