// Inside the platform layer: what the process facility of each system shares with the
// other (process_shared.cpp), and what each supplies for the local-time table that
// PrepareLocalTime builds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Yr::Platform {

// The zone's offset from UTC, in seconds, at the moment given (seconds since 1970); false
// when it cannot be had. Called at load only: it may take locks and read files.
bool ZoneOffsetAt(int64_t seconds, long& offset);

// Copies length bytes of text to out, cut to size - 1 and terminated; returns the length
// copied.
size_t CopyCut(char* out, size_t size, const char* text, size_t length);

}  // namespace Yr::Platform
