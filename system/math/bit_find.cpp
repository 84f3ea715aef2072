#include "system/math/bit_find.h"

#include <bit>
#include <cstdint>

namespace Yr {

namespace {

constexpr unsigned int kBitsPerByte = 8;

int BelowCount(unsigned int index, unsigned int count) { return index < count ? static_cast<int>(index) : -1; }

}  // namespace

int BitFind(const void* bits, unsigned int count, unsigned int start) {
  if (start >= count) return -1;
  const uint8_t* bytes = static_cast<const uint8_t*>(bits);
  unsigned int byte = start / kBitsPerByte;
  const unsigned int rest = static_cast<unsigned int>(bytes[byte]) >> (start % kBitsPerByte);
  if (rest != 0) return BelowCount(start + static_cast<unsigned int>(std::countr_zero(rest)), count);
  // Whole bytes from the next boundary; the loop reads only bytes whose first bit is below
  // count, and that bit is below count, so no byte past the array's last is read.
  for (unsigned long long index = (static_cast<unsigned long long>(byte) + 1) * kBitsPerByte; index < count;
       index += kBitsPerByte) {
    const uint8_t value = bytes[index / kBitsPerByte];
    if (value != 0) {
      return BelowCount(static_cast<unsigned int>(index) + static_cast<unsigned int>(std::countr_zero(value)), count);
    }
  }
  return -1;
}

}  // namespace Yr
