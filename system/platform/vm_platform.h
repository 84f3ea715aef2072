// Address space straight from the system: reserving a range without backing it, committing
// pages of a reserved range for reading and writing, and giving a range back. Used by the
// physical allocator, and by tools and tests that want a fixed region to build heaps over.
//
// Linux maps anonymous memory (mmap, mprotect, munmap); Windows reserves, commits and
// releases with VirtualAlloc and VirtualFree. Windows places reservations at multiples of
// its allocation granularity (64 KiB), coarser than the page.
//
// Nothing here keeps state; every call may come from any thread.
#pragma once

#include <cstddef>

#include "system/platform/export.h"

namespace Yr::Platform {

// Size of one page of address space: the unit of commit and of protection (4 KiB on both
// systems), and of the size of a reservation. Readability is decided per page.
YR_API size_t VirtualPageSize();

// Reserves size bytes of address space that may not be touched until committed; no memory
// or swap is charged for them. With address null the system chooses the place; otherwise
// the range must start exactly at address rounded down to a page (on Windows, to the
// allocation granularity, so the range still covers [address, address + size)) and must not
// overlap anything already mapped there: an existing mapping is never replaced. Null on
// failure.
YR_API void* ReserveAddressSpace(void* address, size_t size);

// Makes the pages covering [address, address + size) readable and writable. Returns the
// first of those pages, or null when the range is not reserved address space.
YR_API void* CommitAddressSpace(void* address, size_t size);

// Gives a reserved range back to the system. False when the system refuses. Windows gives
// back only whole reservations: the range must start at a reservation and end at one's end
// (it may hold several); otherwise nothing is released and the answer is false.
YR_API bool ReleaseAddressSpace(void* address, size_t size);

}  // namespace Yr::Platform
