#include "system/platform/vm_platform.h"

#include <windows.h>

#include <cstdint>

namespace Yr::Platform {
namespace {

struct Granularity {
  uintptr_t page;
  uintptr_t reservation;
};

const Granularity& Units() {
  static const Granularity units = [] {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return Granularity{info.dwPageSize ? info.dwPageSize : 4096u,
                       info.dwAllocationGranularity ? info.dwAllocationGranularity : 65536u};
  }();
  return units;
}

// One reservation (what a single VirtualAlloc MEM_RESERVE made) containing address: its
// base and end, or false when address is free or not queryable.
bool ReservationAt(uintptr_t address, uintptr_t& base, uintptr_t& end) {
  MEMORY_BASIC_INFORMATION info;
  if (::VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) == 0) return false;
  if (info.State == MEM_FREE) return false;
  base = reinterpret_cast<uintptr_t>(info.AllocationBase);
  // A reservation is one or more regions of the same allocation base, in address order.
  end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  for (;;) {
    MEMORY_BASIC_INFORMATION next;
    if (::VirtualQuery(reinterpret_cast<void*>(end), &next, sizeof next) == 0) break;
    if (next.State == MEM_FREE || reinterpret_cast<uintptr_t>(next.AllocationBase) != base) break;
    end = reinterpret_cast<uintptr_t>(next.BaseAddress) + next.RegionSize;
  }
  return true;
}

}  // namespace

size_t VirtualPageSize() { return Units().page; }

void* ReserveAddressSpace(void* address, size_t size) {
  if (size == 0) return nullptr;
  void* wanted = nullptr;
  if (address != nullptr) {
    // Reservations start on the allocation granularity: the range grows downwards to it, so
    // that it still covers what was asked for.
    const uintptr_t start = reinterpret_cast<uintptr_t>(address) & ~(Units().reservation - 1);
    const uintptr_t below = reinterpret_cast<uintptr_t>(address) - start;
    if (size > SIZE_MAX - below) return nullptr;
    size += below;
    wanted = reinterpret_cast<void*>(start);
  }
  // MEM_RESERVE at an address fails when any of the range is in use: nothing is replaced.
  void* base = ::VirtualAlloc(wanted, size, MEM_RESERVE, PAGE_NOACCESS);
  if (base == nullptr) return nullptr;
  if (wanted != nullptr && base != wanted) {
    ::VirtualFree(base, 0, MEM_RELEASE);
    return nullptr;
  }
  return base;
}

void* CommitAddressSpace(void* address, size_t size) {
  if (address == nullptr) return nullptr;
  const uintptr_t page = Units().page;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(address) & ~(page - 1);
  uintptr_t end = reinterpret_cast<uintptr_t>(address) + size;
  if (end < begin) return nullptr;
  if (end == begin) end = begin + 1;
  void* base = reinterpret_cast<void*>(begin);
  // MEM_COMMIT without MEM_RESERVE fails on address space that is not reserved.
  if (::VirtualAlloc(base, end - begin, MEM_COMMIT, PAGE_READWRITE) != nullptr) return base;
  // One commit cannot span two reservations: commit each part on its own, once every part
  // is known to be reserved.
  for (int pass = 0; pass < 2; ++pass) {
    for (uintptr_t cursor = begin; cursor < end;) {
      uintptr_t reservationBase = 0, reservationEnd = 0;
      if (!ReservationAt(cursor, reservationBase, reservationEnd)) return nullptr;
      const uintptr_t partEnd = reservationEnd < end ? reservationEnd : end;
      if (pass == 1 && ::VirtualAlloc(reinterpret_cast<void*>(cursor), partEnd - cursor, MEM_COMMIT, PAGE_READWRITE) ==
                           nullptr) {
        return nullptr;
      }
      cursor = partEnd;
    }
  }
  return base;
}

bool ReleaseAddressSpace(void* address, size_t size) {
  if (address == nullptr || size == 0) return false;
  const uintptr_t page = Units().page;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(address);
  const uintptr_t last = begin + size - 1;
  if (last < begin || (begin & (page - 1)) != 0) return false;
  const uintptr_t end = (last | (page - 1)) + 1;  // 0 when the range reaches the top
  // Windows gives back only whole reservations: a range that cuts one, or holds space that
  // is not reserved, is refused before anything is released.
  for (int pass = 0; pass < 2; ++pass) {
    for (uintptr_t cursor = begin; cursor != end;) {
      uintptr_t reservationBase = 0, reservationEnd = 0;
      if (!ReservationAt(cursor, reservationBase, reservationEnd)) return false;
      if (reservationBase != cursor || reservationEnd - begin > end - begin) return false;
      if (pass == 1 && !::VirtualFree(reinterpret_cast<void*>(cursor), 0, MEM_RELEASE)) return false;
      cursor = reservationEnd;
    }
  }
  return true;
}

}  // namespace Yr::Platform
