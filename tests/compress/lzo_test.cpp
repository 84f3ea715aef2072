#include "system/compress/lzo.h"

#include <gtest/gtest.h>
#include <lzo1x.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class LzoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(Yr::Lzo::Init()); }

  static Bytes Compress(const Bytes& input) {
    Bytes packed(Yr::Lzo::MaxCompressedSize(static_cast<unsigned>(input.size())));
    const unsigned size = Yr::Lzo::Compress(packed.data(), input.data(), static_cast<unsigned>(input.size()));
    EXPECT_LE(size, packed.size());
    packed.resize(size);
    return packed;
  }
};

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

Bytes Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"the ", "frame ", "buffer ", "of ", "render ", "thread ", "engine ",
                                       "texture ", "and ", "a ", "mount ", "option ", "\n", "value, "};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < n) text += kWords[random() % std::size(kWords)];
  return Bytes(text.begin(), text.begin() + static_cast<long>(n));
}

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The library's own binaries: this test program and libyrsystem.so from the build tree.
Bytes OwnBinaries() {
  Bytes bytes = FileBytes("/proc/self/exe");
  if (const char* dir = std::getenv("YR_TEST_BINARY_DIR")) {
    const Bytes library = FileBytes(std::string(dir) + "/system/libyrsystem.so");
    bytes.insert(bytes.end(), library.begin(), library.end());
  }
  return bytes;
}

struct Sample {
  std::string name;
  Bytes bytes;
};

std::vector<Sample> MixedCorpus() {
  std::vector<Sample> corpus;
  for (size_t size : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{17}, size_t{255}, size_t{4096}, size_t{65537},
                      size_t{1} << 20}) {
    corpus.push_back({"random " + std::to_string(size), RandomBytes(size, static_cast<uint32_t>(size))});
    corpus.push_back({"zeros " + std::to_string(size), Bytes(size, 0)});
    corpus.push_back({"text " + std::to_string(size), Text(size, 3)});
  }
  corpus.push_back({"own binaries", OwnBinaries()});
  EXPECT_GT(corpus.back().bytes.size(), 10000u);
  // A long mixed block: text, a run of zeros, random bytes, a binary and text again.
  Bytes big;
  constexpr size_t kBig = 64u << 20;
  while (big.size() < kBig) {
    for (const Bytes& part : {Text(1 << 20, static_cast<uint32_t>(big.size())), Bytes(3 << 20, 0), RandomBytes(1 << 19, 9),
                              corpus[corpus.size() - 1].bytes})
      big.insert(big.end(), part.begin(), part.end());
  }
  big.resize(kBig);
  corpus.push_back({"64 MiB mixed", std::move(big)});
  return corpus;
}

TEST_F(LzoTest, EdgeCases) {
  const Bytes zeros(100000, 0);
  const Bytes packedZeros = Compress(zeros);
  Bytes out(zeros.size());
  EXPECT_EQ(Yr::Lzo::Decompress(out.data(), packedZeros.data(), static_cast<unsigned>(packedZeros.size())), 100000u);
  EXPECT_EQ(out, zeros);

  const Bytes empty;
  const Bytes end = Compress(empty);
  EXPECT_EQ(end.size(), 3u);
  uint8_t none[1] = {0xAB};
  EXPECT_EQ(Yr::Lzo::Decompress(none, end.data(), 3), 0u);
  unsigned written = 99;
  EXPECT_TRUE(Yr::Lzo::Decompress(none, 0, end.data(), 3, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(none[0], 0xAB);

  for (size_t n : {size_t{1}, size_t{100}, size_t{4096}, size_t{1} << 20}) {
    const Bytes noise = RandomBytes(n, 77);
    EXPECT_LE(Compress(noise).size(), n + n / 16 + 67) << n;
  }
}

// Streams we make decode with the compression library's own checking decoder, and streams it
// makes (with its other compressors, which choose matches differently) decode with both of
// ours.
TEST_F(LzoTest, StreamsCrossDecodeWithTheCompressionLibrary) {
  Bytes work(std::max<size_t>(LZO1X_1_15_MEM_COMPRESS, LZO1X_999_MEM_COMPRESS));
  for (const Sample& sample : MixedCorpus()) {
    const Bytes& input = sample.bytes;
    const auto n = static_cast<unsigned>(input.size());
    Bytes out(input.size() + 1, 0);

    const Bytes ours = Compress(input);
    lzo_uint size = out.size();
    ASSERT_EQ(lzo1x_decompress_safe(ours.data(), ours.size(), out.data(), &size, nullptr), LZO_E_OK) << sample.name;
    ASSERT_EQ(size, input.size()) << sample.name;
    ASSERT_TRUE(std::equal(input.begin(), input.end(), out.begin())) << sample.name;

    // The slow optimal compressor only on the smaller samples.
    std::vector<int (*)(const lzo_bytep, lzo_uint, lzo_bytep, lzo_uintp, lzo_voidp)> compressors = {
        lzo1x_1_15_compress};
    if (input.size() <= (1u << 16)) compressors.push_back(lzo1x_999_compress);
    for (auto compressor : compressors) {
      Bytes theirs(Yr::Lzo::MaxCompressedSize(n));
      lzo_uint theirsSize = 0;
      ASSERT_EQ(compressor(input.data(), n, theirs.data(), &theirsSize, work.data()), LZO_E_OK);
      const auto packedSize = static_cast<unsigned>(theirsSize);
      std::fill(out.begin(), out.end(), 0);
      ASSERT_EQ(Yr::Lzo::Decompress(out.data(), theirs.data(), packedSize), n) << sample.name;
      ASSERT_TRUE(std::equal(input.begin(), input.end(), out.begin())) << sample.name;
      std::fill(out.begin(), out.end(), 0);
      unsigned written = 0;
      ASSERT_TRUE(Yr::Lzo::Decompress(out.data(), n, theirs.data(), packedSize, &written)) << sample.name;
      ASSERT_EQ(written, n) << sample.name;
      ASSERT_TRUE(std::equal(input.begin(), input.end(), out.begin())) << sample.name;
    }
  }
}

// The checking form refuses every damaged stream without touching memory past the capacity
// it was given: bytes behind the capacity are a guard that must stay as it was.
TEST_F(LzoTest, CheckedDecompressRejectsDamagedStreams) {
  constexpr size_t kGuard = 64;
  constexpr uint8_t kGuardByte = 0xCD;
  const Bytes input = Text(5000, 8);
  const Bytes packed = Compress(input);
  const auto n = static_cast<unsigned>(input.size());
  auto decode = [&](const Bytes& stream, unsigned capacity, unsigned* written) {
    Bytes out(capacity + kGuard, kGuardByte);
    const bool ok = Yr::Lzo::Decompress(out.data(), capacity, stream.data(), static_cast<unsigned>(stream.size()), written);
    EXPECT_TRUE(std::all_of(out.begin() + capacity, out.end(), [&](uint8_t b) { return b == kGuardByte; }))
        << "wrote past the capacity";
    if (ok) {
      EXPECT_LE(*written, capacity);
    }
    return ok;
  };
  unsigned written = 0;
  EXPECT_TRUE(decode(packed, n, &written));
  EXPECT_EQ(written, n);
  EXPECT_TRUE(decode(packed, n + 100, &written));
  EXPECT_EQ(written, n);
  // Too small a destination, by one byte or by much.
  for (unsigned capacity : {n - 1, n / 2, 1u, 0u}) EXPECT_FALSE(decode(packed, capacity, &written)) << capacity;
  EXPECT_EQ(written, 0u);
  // Every truncation, and bytes after the end marker.
  for (size_t length = 0; length < packed.size(); ++length)
    EXPECT_FALSE(decode(Bytes(packed.begin(), packed.begin() + static_cast<long>(length)), n, &written)) << length;
  Bytes longer = packed;
  longer.push_back(0);
  EXPECT_FALSE(decode(longer, n, &written));
  // Random damage: whatever the verdict, nothing lands outside the buffer.
  std::mt19937 random(31);
  for (int trial = 0; trial < 2000; ++trial) {
    Bytes damaged = packed;
    for (int hits = 1 + static_cast<int>(random() % 4); hits > 0; --hits)
      damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
    decode(damaged, n, &written);
  }
  // A null result pointer is allowed.
  Bytes out(n);
  EXPECT_TRUE(Yr::Lzo::Decompress(out.data(), n, packed.data(), static_cast<unsigned>(packed.size()), nullptr));
  EXPECT_EQ(out, input);
}

}  // namespace
