#include "system/memory/physical_allocator.h"

#include <cstddef>

#include "system/platform/vm_platform.h"

namespace Yr {

void* PhysicalAllocator::Alloc(unsigned int size, unsigned int extra, uintptr_t address) {
  const uint64_t total = uint64_t{size} + extra;
  if (total == 0 || total > SIZE_MAX) return nullptr;
  return Platform::ReserveAddressSpace(reinterpret_cast<void*>(address), static_cast<size_t>(total));
}

void* PhysicalAllocator::Map(void* address, unsigned int size) {
  return Platform::CommitAddressSpace(address, size);
}

}  // namespace Yr
