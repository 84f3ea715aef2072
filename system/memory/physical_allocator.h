// PhysicalAllocator: address space straight from the operating system. Alloc reserves a
// range (optionally at a fixed address, never on top of an existing mapping) without
// backing it; Map commits pages of a reserved range for reading and writing. The ranges
// belong to the caller; Free gives nothing back.
//
// Threads: no state is shared; any thread may call.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

class YR_API PhysicalAllocator {
 public:
  PhysicalAllocator() = default;
  explicit PhysicalAllocator(bool flag) : mFlag(flag) {}
  PhysicalAllocator(const PhysicalAllocator&) = default;
  PhysicalAllocator& operator=(const PhysicalAllocator&) = default;

  // Reserves size + extra bytes at address (0 lets the system choose). Returns the base,
  // or null when the space cannot be had or address is already in use.
  void* Alloc(unsigned int size, unsigned int extra, uintptr_t address);
  // Commits the pages covering [address, address + size) read-write. Returns the first of
  // those pages, or null when the range is not reserved.
  void* Map(void* address, unsigned int size);
  // Does nothing: reserved space stays the caller's until the process ends.
  void Free(void*) {}

 private:
  bool mFlag = false;
};

}  // namespace Yr
