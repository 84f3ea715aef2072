#include "system/debug/debug_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "system/options/options.h"
#include "system/platform/platform.h"

namespace Yr::Debug {
namespace {

constexpr const char* kDebugOutputOption = "debug.output";

// Off at load; only Init sets it, and only to true.
bool gEnabled = false;

// Room for the formatted result of OutputFmt and OutputFmtCR, NUL included.
constexpr size_t kFormatBufferSize = 16384;
// Decimal digits of any 32-bit value fit with room to spare.
constexpr size_t kNumberBufferSize = 16;
constexpr unsigned int kHexDigits = 2 * sizeof(uint32_t);
constexpr unsigned int kNibbleBits = 4;

// One debugger-output call per piece; an empty piece writes nothing.
void WritePiece(const char* bytes, size_t count) {
  if (count > 0) Platform::DebuggerOutputBytes(bytes, count);
}

void WriteNum(unsigned int n) {
  char digits[kNumberBufferSize];
  char* end = digits + sizeof digits;
  char* first = end;
  do {
    *--first = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  WritePiece(first, static_cast<size_t>(end - first));
}

void WriteNumX(unsigned int n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char digits[kHexDigits];
  for (unsigned int i = 0; i < kHexDigits; ++i) {
    const unsigned int shift = (kHexDigits - 1 - i) * kNibbleBits;
    digits[i] = kDigits[(n >> shift) & 0xF];
  }
  WritePiece(digits, kHexDigits);
}

}  // namespace

void Init() {
  // Set without a value, or with a first value that reads as true: the same rule as every
  // option switch.
  if (Options::TestSwitch(StringId(kDebugOutputOption))) gEnabled = true;
}

bool IsEnabled() { return gEnabled; }

void Print(const char* text) {
  if (!gEnabled || text == nullptr) return;
  const size_t length = std::strlen(text);
  WritePiece(text, length);
  Platform::StandardOutput(text, length);
}

void Output(const char* text) {
  if (!gEnabled || text == nullptr) return;
  WritePiece(text, std::strlen(text));
}

void Flush() {
  if (!gEnabled) return;
  Platform::FlushStandardOutput();
}

void OutputNum(unsigned int n) {
  if (!gEnabled) return;
  WriteNum(n);
}

void OutputNumX(unsigned int n) {
  if (!gEnabled) return;
  WriteNumX(n);
}

void OutputFmtU(const char* fmt, ...) {
  if (!gEnabled || fmt == nullptr) return;
  va_list args;
  va_start(args, fmt);
  const char* run = fmt;
  while (const char* percent = std::strchr(run, '%')) {
    // Literal runs are written straight from the format: no copy, so no length limit.
    WritePiece(run, static_cast<size_t>(percent - run));
    const char conversion = percent[1];
    // A lone '%' at the very end: nothing to convert and nothing behind it.
    if (conversion == '\0') {
      va_end(args);
      return;
    }
    if (conversion == 's') {
      if (const char* text = va_arg(args, const char*)) WritePiece(text, std::strlen(text));
    } else if (conversion == 'u') {
      WriteNum(va_arg(args, unsigned int));
    } else if (conversion == 'x') {
      WriteNumX(va_arg(args, unsigned int));
    }
    run = percent + 2;
  }
  WritePiece(run, std::strlen(run));
  va_end(args);
}

void OutputFmt(const char* fmt, ...) {
  if (!gEnabled || fmt == nullptr) return;
  char buffer[kFormatBufferSize];
  va_list args;
  va_start(args, fmt);
  const int length = std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  if (length < 0) return;
  WritePiece(buffer, std::strlen(buffer));
}

void OutputFmtCR(const char* fmt, ...) {
  if (!gEnabled || fmt == nullptr) return;
  char buffer[kFormatBufferSize];
  va_list args;
  va_start(args, fmt);
  // One byte is kept back for the line feed, so a cut result still ends its line.
  const int length = std::vsnprintf(buffer, sizeof buffer - 1, fmt, args);
  va_end(args);
  if (length < 0) return;
  size_t used = std::strlen(buffer);
  buffer[used++] = '\n';
  WritePiece(buffer, used);
}

}  // namespace Yr::Debug
