// Color32: an 8-bit-per-channel colour, four bytes in memory in the order red, green, blue,
// alpha (read as a little-endian 32-bit word: 0xAABBGGRR). Bitmaps, palettes, text parsers
// and live-update members all share this layout.
//
// Beside the value type it carries three colour helpers: an HDR packing that stores a shared
// scale in alpha (EncodeHDR2RGBS), HSV to RGB, and sToLinearLookup, the gamma 2.2 to linear
// table for 8-bit channels.
//
//   Yr::Color32 red(255, 0, 0);                      // alpha 255
//   Yr::Color32 hdr = Yr::Color32::EncodeHDR2RGBS(4.0f, 1.0f, 0.5f, 8.0f);
//   Yr::Color32::EncodeHDR2RGBS4(a, b, c, d, 8.0f, pa, pb, pc, pd);   // Vec3 in, one shared scale
//   float linear = Yr::Color32::sToLinearLookup[hdr.r];
//
// Plain value: no allocation, no state, safe from any thread.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

struct Vec3;

struct YR_API Color32 {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  uint8_t a = 0;

  constexpr Color32() = default;
  constexpr Color32(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha = 255)
      : r(red), g(green), b(blue), a(alpha) {}

  // The four bytes as one little-endian word, 0xAABBGGRR, and back.
  constexpr uint32_t GetValue() const {
    return static_cast<uint32_t>(r) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(b) << 16 |
           static_cast<uint32_t>(a) << 24;
  }
  static constexpr Color32 FromValue(uint32_t value) {
    return Color32(static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                   static_cast<uint8_t>(value >> 24));
  }

  friend constexpr bool operator==(const Color32& x, const Color32& y) {
    return x.r == y.r && x.g == y.g && x.b == y.b && x.a == y.a;
  }

  // Packs an HDR colour into 8-bit channels with a scale in alpha: channels above range are
  // clamped to range, m is the largest channel and k = sqrt(m / range); the channels store
  // channel / m * k and alpha stores k. A reader gets each channel back as
  // (channel / 255) * (alpha / 255) * range. A colour with no positive channel, or a range
  // that is not positive, packs to all zero (there is nothing to scale by).
  static Color32 EncodeHDR2RGBS(float r, float g, float b, float range);

  // Four colours (x to red, y to green, z to blue) packed like EncodeHDR2RGBS with one
  // scale for all four: m is the largest of the twelve clamped components.
  static void EncodeHDR2RGBS4(const Vec3& c0, const Vec3& c1, const Vec3& c2, const Vec3& c3, float range, Color32& o0,
                              Color32& o1, Color32& o2, Color32& o3);

  // Opaque colour from hue, saturation and value in [0, 1]; a hue of exactly 1 is hue 0.
  // Channels are value * 255 truncated; inputs outside [0, 1] are not clamped.
  static Color32 HSV2RGB(float h, float s, float v);

  // Entry i is (i / 255)^2.2 to four significant digits: gamma-encoded channel to linear.
  static const float sToLinearLookup[256];
};

static_assert(sizeof(Color32) == 4 && alignof(Color32) == 1, "four bytes r, g, b, a");

}  // namespace Yr
