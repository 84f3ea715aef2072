// Address space straight from the system: reserving a range without backing it, committing
// pages of a reserved range for reading and writing, and giving a range back. Used by the
// physical allocator, and by tools and tests that want a fixed region to build heaps over.
//
// Nothing here keeps state; every call may come from any thread.
#pragma once

#include <cstddef>

#include "system/platform/export.h"

namespace Yr::Platform {

// Size of one page of address space (the unit of reserve, commit and release).
YR_API size_t VirtualPageSize();

// Reserves size bytes of address space that may not be touched until committed; no memory
// or swap is charged for them. With address null the system chooses the place; otherwise
// the range must start exactly at address (rounded down to a page) and must not overlap
// anything already mapped there: an existing mapping is never replaced. Null on failure.
YR_API void* ReserveAddressSpace(void* address, size_t size);

// Makes the pages covering [address, address + size) readable and writable. Returns the
// first of those pages, or null when the range is not reserved address space.
YR_API void* CommitAddressSpace(void* address, size_t size);

// Gives a reserved range back to the system. False when the system refuses.
YR_API bool ReleaseAddressSpace(void* address, size_t size);

}  // namespace Yr::Platform
