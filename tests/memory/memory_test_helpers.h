// Test helpers shared by the memory tests: a recording allocator hook and its scope, the
// address text of dumps, and switching debug output on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "system/debug/debug_output.h"
#include "system/memory/allocator.h"
#include "system/options/options.h"

namespace YrTest {

inline uintptr_t A(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Serves requests from the default allocator and records every call. It can refuse
// requests, keep the blocks it is asked to free (for blocks it does not own), and report
// chosen sizes per block to drive the reallocation rules.
class RecordingHook : public Yr::AllocatorHook {
 public:
  struct Call {
    unsigned int size;
    unsigned int alignment;
    int strategy;  // kAlignedMalloc: reached slot 2 directly
    void* block;
  };
  static constexpr int kAlignedMalloc = -1;

  // Slot 1 records the strategy, then forwards through the base, which calls slot 2.
  void* Alloc(unsigned int size, unsigned int alignment, Yr::AllocationStrategy strategy) override {
    strategies.push_back(strategy);
    mStrategy = strategy;
    void* block = AllocatorHook::Alloc(size, alignment, strategy);
    mStrategy = kAlignedMalloc;
    return block;
  }
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    void* block = refuse ? nullptr : Yr::OrigAlignedMalloc(size, static_cast<int>(alignment), __FILE__, __LINE__);
    calls.push_back({size, alignment, mStrategy, block});
    return block;
  }
  void AlignedFree(void* block) override {
    frees.push_back(block);
    if (block != nullptr && !keep) Yr::OrigAlignedFree(block);
  }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    sizeQueries.push_back(alignment);
    auto it = reportedSizes.find(block);
    return it != reportedSizes.end() ? it->second : Yr::OrigGetAllocationSize(block, alignment);
  }

  bool refuse = false;
  bool keep = false;
  std::vector<Call> calls;                      // every request that reached slot 2
  std::vector<Yr::AllocationStrategy> strategies;  // every request that reached slot 1
  std::vector<void*> frees;
  std::vector<unsigned int> sizeQueries;        // the alignment argument of each size query
  std::map<void*, unsigned int> reportedSizes;

 private:
  int mStrategy = kAlignedMalloc;
};

// Installs a hook for one scope and restores the previous one.
class HookScope {
 public:
  explicit HookScope(Yr::AllocatorHook* hook) : mPrevious(Yr::AllocatorHook::Install(hook)) {}
  ~HookScope() { Yr::AllocatorHook::Install(mPrevious); }
  HookScope(const HookScope&) = delete;
  HookScope& operator=(const HookScope&) = delete;

 private:
  Yr::AllocatorHook* mPrevious;
};

// An address as dumps print it: 2 * sizeof(void*) hex digits, upper case unless asked.
inline std::string Hex(uintptr_t value, bool lowerCase = false) {
  char text[32];
  std::snprintf(text, sizeof text, lowerCase ? "%0*jx" : "%0*jX", static_cast<int>(2 * sizeof(void*)),
                static_cast<uintmax_t>(value));
  return text;
}

// Debug output can only be switched on, for the rest of the process. True when it is on.
inline bool SwitchDebugOutputOn() {
  Yr::Options::Set("--debug.output");
  Yr::Debug::Init();
  return Yr::Debug::IsEnabled();
}

}  // namespace YrTest
