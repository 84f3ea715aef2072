// Inside the platform layer: what each system supplies for the local-time table that
// PrepareLocalTime builds (process_shared.cpp).
#pragma once

#include <cstdint>

namespace Yr::Platform {

// The zone's offset from UTC, in seconds, at the moment given (seconds since 1970); false
// when it cannot be had. Called at load only: it may take locks and read files.
bool ZoneOffsetAt(int64_t seconds, long& offset);

}  // namespace Yr::Platform
