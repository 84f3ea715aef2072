#include "system/math/half.h"

#include <bit>
#include <cmath>

#include "system/math/vector.h"

namespace Yr {

namespace {

constexpr uint32_t kFloatExponentShift = 23;
constexpr uint32_t kFloatExponentMask = 0xFF;
constexpr uint32_t kHalfMantissaBits = 10;
constexpr uint32_t kHalfMantissaMask = (1u << kHalfMantissaBits) - 1;
constexpr uint32_t kHalfExponentMask = 0x1F;
constexpr uint32_t kMantissaDrop = kFloatExponentShift - kHalfMantissaBits;  // 13
// Float and half exponent biases differ by 127 - 15.
constexpr uint32_t kBiasDifference = 112;
// Biased float exponents of the smallest normal half (2^-14) and of 2^15, the largest
// binade a half holds.
constexpr uint32_t kSmallestNormalExponent = kBiasDifference + 1;
constexpr uint32_t kLargestExponent = kBiasDifference + 30;
constexpr uint16_t kLargestFinite = 0x7BFF;  // 65504
constexpr uint32_t kSignShift = 16;          // float bit 31 to half bit 15
constexpr uint16_t kSign = 0x8000;

}  // namespace

void Half::Set(float f) {
  const uint32_t bits = std::bit_cast<uint32_t>(f);
  const uint16_t sign = static_cast<uint16_t>((bits >> kSignShift) & kSign);
  const uint32_t exponent = (bits >> kFloatExponentShift) & kFloatExponentMask;
  if (exponent < kSmallestNormalExponent) {
    value = 0;
  } else if (exponent > kLargestExponent) {
    value = sign | kLargestFinite;
  } else {
    value = static_cast<uint16_t>(sign | (exponent - kBiasDifference) << kHalfMantissaBits |
                                  ((bits >> kMantissaDrop) & kHalfMantissaMask));
  }
}

float Half::GetFloat() const {
  const uint32_t sign = static_cast<uint32_t>(value & kSign) << kSignShift;
  const uint32_t exponent = (value >> kHalfMantissaBits) & kHalfExponentMask;
  const uint32_t mantissa = value & kHalfMantissaMask;
  if (exponent != 0) {
    return std::bit_cast<float>(sign | (exponent + kBiasDifference) << kFloatExponentShift | mantissa << kMantissaDrop);
  }
  // Zero or a subnormal half: mantissa * 2^-24, exact in a float.
  const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
  return sign ? -magnitude : magnitude;
}

Half4::Half4(const Vec4& v) : x(v.x), y(v.y), z(v.z), w(v.w) {}

Half4::Half4(const Vec3& v, float fw) : x(v.x), y(v.y), z(v.z), w(fw) {}

}  // namespace Yr
