// The parts of the core facilities that are the same on every system: the debug capture in
// front of the system's sink, the fatal out-of-memory stop, and the clock hook's state.
#include "system/platform/platform.h"
#include "system/platform/time_platform.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace Yr::Platform {
namespace {

// The capture is read on every write from any thread; function and context are swapped as
// a pair under a spin flag so a writer never sees one without the other.
std::atomic<bool> gCaptureBusy{false};
DebugCaptureSlot gCapture{nullptr, nullptr};

struct CaptureGuard {
  CaptureGuard() {
    while (gCaptureBusy.exchange(true, std::memory_order_acquire)) {
    }
  }
  ~CaptureGuard() { gCaptureBusy.store(false, std::memory_order_release); }
};

}  // namespace

namespace Detail {
ClockHookState gClockHook;
}  // namespace Detail

void DebuggerOutput(const char* text) {
  if (text) DebuggerOutputBytes(text, std::strlen(text));
}

void DebuggerOutputBytes(const char* bytes, size_t count) {
  {
    CaptureGuard guard;
    if (gCapture.function) {
      gCapture.function(gCapture.context, bytes, count);
      return;
    }
  }
  Detail::WriteDebugSink(bytes, count);
}

DebugCaptureSlot SetDebugCapture(DebugCaptureSlot slot) {
  CaptureGuard guard;
  DebugCaptureSlot previous = gCapture;
  gCapture = slot;
  return previous;
}

void* AlignedAllocOrStopSlow(size_t size, size_t alignment) {
  void* block = AlignedAlloc(size, alignment);
  if (block == nullptr) [[unlikely]] {
    if (size == 0) block = AlignedAlloc(1, alignment);
    if (block == nullptr) FatalOutOfMemory(size, alignment);
  }
  return block;
}

void FatalOutOfMemory(size_t size, size_t alignment) {
  char line[160];
  std::snprintf(line, sizeof line, "Yr: fatal: out of memory: %zu bytes at alignment %zu could not be allocated\n",
                size, alignment);
  FatalError(line);
}

namespace Detail {

bool HookedSleep(unsigned int ms) {
  auto sleep = gClockHook.sleep.load(std::memory_order_acquire);
  if (sleep == nullptr) return false;
  sleep(gClockHook.context.load(std::memory_order_relaxed), ms);
  return true;
}

// The whole milliseconds left go to the hook (nothing when less than one is left).
bool HookedSleepUntil(uint64_t deadline) {
  auto sleep = gClockHook.sleep.load(std::memory_order_acquire);
  if (sleep == nullptr) return false;
  const uint64_t now = ClockNow();
  if (deadline > now) {
    constexpr uint64_t kMillisecondsPerSecond = 1000;
    const uint64_t ticks = deadline - now;
    const uint64_t frequency = ClockFrequency();
    const uint64_t ms = ticks / frequency * kMillisecondsPerSecond + ticks % frequency * kMillisecondsPerSecond / frequency;
    if (ms != 0) sleep(gClockHook.context.load(std::memory_order_relaxed), static_cast<unsigned int>(ms));
  }
  return true;
}

}  // namespace Detail

ClockHook SetClockHook(ClockHook hook) {
  Detail::ClockHookState& state = Detail::gClockHook;
  ClockHook previous{state.now.load(), state.sleep.load(), state.context.load()};
  state.context.store(hook.context, std::memory_order_relaxed);
  state.sleep.store(hook.sleep, std::memory_order_release);
  state.now.store(hook.now, std::memory_order_release);
  return previous;
}

}  // namespace Yr::Platform
