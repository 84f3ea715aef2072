// Yr::Debug: the library's text sink.
//
// Diagnostic text goes to the process's debugger output (the platform debug sink). All of
// it is off until the application calls Debug::Init with the option "debug.output" set;
// while off, every output operation is one boolean test: nothing is formatted and no
// argument is read. No operation takes a lock; pieces written by several threads may
// interleave.
#pragma once

#include "system/platform/export.h"

namespace Yr::Debug {

// Switches output on when "debug.output" is set without a value or with a true value.
YR_API void Init();
// Writes text to the debugger output and its bytes to standard output.
YR_API void Print(const char* text);
// Writes text to the debugger output only.
YR_API void Output(const char* text);
YR_API void Flush();
// Decimal, no sign, no padding.
YR_API void OutputNum(unsigned int n);
// Exactly eight upper-case hex digits.
YR_API void OutputNumX(unsigned int n);
// Minimal formatter without a result buffer: each literal run and each conversion is
// written by its own call. %s writes a text (nothing for null), %u writes like OutputNum,
// %x like OutputNumX; '%' before any other character writes nothing and takes no argument.
// A '%' that ends the format writes nothing and ends it.
YR_API void OutputFmtU(const char* fmt, ...);
// printf rules, at most 16383 characters; longer results are cut.
YR_API void OutputFmt(const char* fmt, ...) YR_PRINTF(1, 2);
// As OutputFmt, then a line feed: the result is cut at 16382 characters so that the line
// feed is always written.
YR_API void OutputFmtCR(const char* fmt, ...) YR_PRINTF(1, 2);

// True once Init has switched output on.
YR_API bool IsEnabled();

}  // namespace Yr::Debug
