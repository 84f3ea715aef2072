// Fuzz target: the checking block decoder. The first two bytes choose the destination
// capacity, the rest is the stream. Whatever the stream, the decoder must not write past the
// capacity (a guard behind it must stay intact), must report no more bytes than it had room
// for, and a block it decoded must come back the same after compressing it again. The input
// itself is also compressed and decoded, which must give it back exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "system/compress/lzo.h"

namespace {

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;

void Check(bool condition) {
  if (!condition) std::abort();
}

void RoundTrip(const uint8_t* data, unsigned size) {
  std::vector<uint8_t> packed(Yr::Lzo::MaxCompressedSize(size));
  const unsigned packedSize = Yr::Lzo::Compress(packed.data(), data, size);
  Check(packedSize <= packed.size());
  std::vector<uint8_t> out(size + 1);
  unsigned written = 0;
  Check(Yr::Lzo::Decompress(out.data(), size, packed.data(), packedSize, &written));
  Check(written == size && std::memcmp(out.data(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool initialised = Yr::Lzo::Init();
  Check(initialised);
  if (size < 2) return 0;
  const unsigned capacity = (unsigned{data[0]} << 8 | data[1]) * 4u;
  const uint8_t* stream = data + 2;
  const auto streamSize = static_cast<unsigned>(size - 2);

  std::vector<uint8_t> out(capacity + kGuard, kGuardByte);
  unsigned written = 0;
  const bool ok = Yr::Lzo::Decompress(out.data(), capacity, stream, streamSize, &written);
  for (size_t i = capacity; i < out.size(); ++i) Check(out[i] == kGuardByte);
  if (ok) {
    Check(written <= capacity);
    RoundTrip(out.data(), written);
  } else {
    Check(written == 0);
  }
  RoundTrip(stream, streamSize);
  return 0;
}
