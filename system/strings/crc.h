// Crc: CRC-32 in two bit orders.
//
//   unsigned int crc = Yr::Crc::CalculateCrc32(data, size);        // zlib / IEEE 802.3
//   unsigned int s = Yr::Crc::CalculateCrc32Incremental(a, na, Yr::Crc::DefaultSeed());
//   s = Yr::Crc::CalculateCrc32Incremental(b, nb, s);              // same as one call over a+b
//   unsigned int crc2 = ~s;                                       // == CalculateCrc32 of a+b
//   unsigned int m = Yr::Crc::Calc(data, size, 0);                // MSB-first, 0x04C11DB7
//
// CalculateCrc32Incremental is the raw reflected update (polynomial 0xEDB88320) with no
// inversion at either end. Calc runs the most-significant-bit-first CRC of 0x04C11DB7: its
// register starts at ~seed and the result is complemented, so a result fed back as the seed
// continues the same CRC. Both use carry-less multiplication where the processor has it and
// sliced tables elsewhere; every path gives the same values. Pure functions: any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr {
namespace Crc {

YR_API unsigned int DefaultSeed();
YR_API unsigned int DefaultPolynomial();
// The 256 entries of the reflected table of 0xEDB88320 (entry 1 is 0x77073096).
YR_API const unsigned int* GetCrc32Table();
YR_API unsigned int CalculateCrc32Incremental(const void* data, unsigned int length, unsigned int state);
YR_API unsigned int CalculateCrc32(const void* data, unsigned int length);
YR_API unsigned int Calc(const void* data, unsigned int length, unsigned int seed);

}  // namespace Crc

namespace Detail {

// The ways the CRC updates can run; the public functions pick the fastest the processor
// supports. Exposed so tests can hold every path against the plain table loop.
enum class CrcPath {
  kTable,   // one byte per table lookup
  kSliced,  // eight bytes per step through eight tables
  kFolded,  // carry-less multiplication folding (PCLMULQDQ)
};

YR_API bool CrcPathSupported(CrcPath path);
// Raw reflected update of state over the bytes (no inversion).
YR_API uint32_t Crc32ReflectedUpdate(CrcPath path, const void* data, size_t length, uint32_t state);
// Raw most-significant-bit-first update of the register over the bytes (no inversion).
YR_API uint32_t Crc32MsbUpdate(CrcPath path, const void* data, size_t length, uint32_t reg);

}  // namespace Detail
}  // namespace Yr
