#include "system/strings/crc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Yr::Detail::CrcPath;

constexpr const char kCheck[] = "123456789";
constexpr unsigned kCheckLength = 9;

// Bit-at-a-time CRCs, the definition the tables are built from.
uint32_t BitwiseReflected(const uint8_t* p, size_t n, uint32_t state) {
  for (size_t i = 0; i < n; ++i) {
    state ^= p[i];
    for (int bit = 0; bit < 8; ++bit) state = (state >> 1) ^ ((state & 1) ? 0xEDB88320u : 0);
  }
  return state;
}

uint32_t BitwiseMsb(const uint8_t* p, size_t n, uint32_t reg) {
  for (size_t i = 0; i < n; ++i) {
    reg ^= uint32_t{p[i]} << 24;
    for (int bit = 0; bit < 8; ++bit) reg = (reg << 1) ^ ((reg & 0x80000000u) ? 0x04C11DB7u : 0);
  }
  return reg;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

TEST(CrcTest, KnownValues) {
  EXPECT_EQ(Yr::Crc::DefaultSeed(), 0xFFFFFFFFu);
  EXPECT_EQ(Yr::Crc::DefaultPolynomial(), 0xEDB88320u);
  EXPECT_EQ(Yr::Crc::CalculateCrc32(kCheck, kCheckLength), 0xCBF43926u);
  EXPECT_EQ(Yr::Crc::CalculateCrc32(nullptr, 0), 0u);
  EXPECT_EQ(Yr::Crc::CalculateCrc32Incremental(kCheck, kCheckLength, 0xFFFFFFFFu), ~0xCBF43926u);
  EXPECT_EQ(Yr::Crc::Calc(kCheck, kCheckLength, 0), 0xFC891918u);
  EXPECT_EQ(Yr::Crc::Calc(kCheck, kCheckLength, 0xFFFFFFFFu), 0x765E7680u);
  for (uint32_t state : {0u, 1u, 0x12345678u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Yr::Crc::CalculateCrc32Incremental(kCheck, 0, state), state);
    EXPECT_EQ(Yr::Crc::Calc(kCheck, 0, state), state);
  }
}

TEST(CrcTest, TablesAreTheByteTablesOfBothPolynomials) {
  const unsigned int* table = Yr::Crc::GetCrc32Table();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[0], 0u);
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);
  for (unsigned i = 0; i < 256; ++i) {
    const uint8_t byte = static_cast<uint8_t>(i);
    EXPECT_EQ(table[i], BitwiseReflected(&byte, 1, 0)) << i;
  }
  // The MSB-first table is private; a one-byte update from register 0 reads its entry.
  for (unsigned i = 0; i < 256; ++i) {
    const uint8_t byte = static_cast<uint8_t>(i);
    EXPECT_EQ(Yr::Detail::Crc32MsbUpdate(CrcPath::kTable, &byte, 1, 0), BitwiseMsb(&byte, 1, 0)) << i;
  }
  EXPECT_EQ(Yr::Detail::Crc32MsbUpdate(CrcPath::kTable, "\x01", 1, 0), 0x04C11DB7u);
}

// Every path, every length 0..4096, at a random alignment and state, against the table loop,
// the bit-at-a-time definition and zlib. The folded path is skipped where the processor
// lacks carry-less multiplication.
TEST(CrcTest, AllPathsAgreeForEveryLengthAndAlignment) {
  constexpr size_t kMaxLength = 4096;
  constexpr size_t kMaxOffset = 64;
  const std::vector<uint8_t> buffer = RandomBytes(kMaxLength + kMaxOffset, 11);
  std::mt19937 random(12);
  std::vector<CrcPath> paths = {CrcPath::kTable, CrcPath::kSliced};
  if (Yr::Detail::CrcPathSupported(CrcPath::kFolded))
    paths.push_back(CrcPath::kFolded);
  else
    std::printf("carry-less multiplication not available: folded path not tested here\n");
  for (size_t length = 0; length <= kMaxLength; ++length) {
    const uint8_t* p = buffer.data() + random() % kMaxOffset;
    const uint32_t state = random();
    const uint32_t reflected = Yr::Detail::Crc32ReflectedUpdate(CrcPath::kTable, p, length, state);
    const uint32_t msb = Yr::Detail::Crc32MsbUpdate(CrcPath::kTable, p, length, state);
    // The bit-at-a-time loop is slow: hold the table loop against it on a sample.
    if (length < 64 || length % 97 == 0) {
      ASSERT_EQ(reflected, BitwiseReflected(p, length, state)) << length;
      ASSERT_EQ(msb, BitwiseMsb(p, length, state)) << length;
    }
    for (CrcPath path : paths) {
      ASSERT_EQ(Yr::Detail::Crc32ReflectedUpdate(path, p, length, state), reflected)
          << "path " << static_cast<int>(path) << " length " << length;
      ASSERT_EQ(Yr::Detail::Crc32MsbUpdate(path, p, length, state), msb)
          << "path " << static_cast<int>(path) << " length " << length;
    }
    const auto size = static_cast<unsigned int>(length);
    ASSERT_EQ(Yr::Crc::CalculateCrc32(p, size), static_cast<uint32_t>(crc32(0, p, size))) << length;
    ASSERT_EQ(Yr::Crc::CalculateCrc32Incremental(p, size, state), reflected) << length;
    ASSERT_EQ(Yr::Crc::Calc(p, size, ~state), ~msb) << length;
  }
}

TEST(CrcTest, ChainedCallsContinueTheSameCrc) {
  const std::vector<uint8_t> data = RandomBytes(100000, 21);
  const auto total = static_cast<unsigned int>(data.size());
  const uint32_t whole = Yr::Crc::CalculateCrc32(data.data(), total);
  const uint32_t wholeCalc = Yr::Crc::Calc(data.data(), total, 0x5EED);
  EXPECT_EQ(whole, static_cast<uint32_t>(crc32(0, data.data(), total)));
  std::mt19937 random(22);
  for (int trial = 0; trial < 50; ++trial) {
    unsigned int cut[2] = {static_cast<unsigned int>(random() % total), static_cast<unsigned int>(random() % total)};
    if (cut[0] > cut[1]) std::swap(cut[0], cut[1]);
    const unsigned int bounds[] = {0, cut[0], cut[1], total};
    uint32_t state = Yr::Crc::DefaultSeed();
    uint32_t calc = 0x5EED;
    for (int piece = 0; piece < 3; ++piece) {
      state = Yr::Crc::CalculateCrc32Incremental(data.data() + bounds[piece], bounds[piece + 1] - bounds[piece], state);
      calc = Yr::Crc::Calc(data.data() + bounds[piece], bounds[piece + 1] - bounds[piece], calc);
    }
    EXPECT_EQ(~state, whole) << cut[0] << " " << cut[1];
    EXPECT_EQ(calc, wholeCalc) << cut[0] << " " << cut[1];
  }
}

}  // namespace
