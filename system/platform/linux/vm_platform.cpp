#include "system/platform/vm_platform.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace Yr::Platform {
namespace {

uintptr_t PageMask() { return ~(static_cast<uintptr_t>(VirtualPageSize()) - 1); }

}  // namespace

size_t VirtualPageSize() {
  long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<size_t>(page) : 4096;
}

void* ReserveAddressSpace(void* address, size_t size) {
  if (size == 0) return nullptr;
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  void* wanted = nullptr;
  if (address != nullptr) {
    wanted = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) & PageMask());
    flags |= MAP_FIXED_NOREPLACE;
  }
  void* base = mmap(wanted, size, PROT_NONE, flags, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  // Kernels older than MAP_FIXED_NOREPLACE take the address as a hint only and may place
  // the range elsewhere: that is not the range that was asked for.
  if (wanted != nullptr && base != wanted) {
    munmap(base, size);
    return nullptr;
  }
  return base;
}

void* CommitAddressSpace(void* address, size_t size) {
  if (address == nullptr) return nullptr;
  uintptr_t begin = reinterpret_cast<uintptr_t>(address) & PageMask();
  uintptr_t end = reinterpret_cast<uintptr_t>(address) + size;
  if (end < begin) return nullptr;
  size_t length = end - begin;
  if (length == 0) length = 1;
  void* base = reinterpret_cast<void*>(begin);
  // mprotect fails with ENOMEM on any page that is not mapped, so an unreserved range is
  // refused rather than silently created.
  if (mprotect(base, length, PROT_READ | PROT_WRITE) != 0) return nullptr;
  return base;
}

bool ReleaseAddressSpace(void* address, size_t size) {
  if (address == nullptr || size == 0) return false;
  return munmap(address, size) == 0;
}

}  // namespace Yr::Platform
