// The library's start-up frame: the static initialisers of every subsystem run in one
// fixed order when the library is loaded, and their teardowns in reverse when it is
// unloaded. The order lives in startup.cpp, as one table.
//
// Setting YR_STARTUP_TRACE=1 makes every build and teardown write one line
// "yr-startup: build <step>" / "yr-startup: teardown <step>" to standard error, so the order
// can be checked from outside the process.
#pragma once

#include "system/platform/export.h"

namespace Yr::Detail {

// Writes one trace line when YR_STARTUP_TRACE is set. verb is "build" or "teardown".
YR_API void StartupTrace(const char* verb, const char* what);

}  // namespace Yr::Detail
