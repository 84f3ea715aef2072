// Sh3: the 27 coefficients of third-order spherical harmonics lighting, nine per colour
// channel for three channels. The order of the coefficients is the caller's; the
// constructor copies them as given. A plain value of 108 bytes.
//
//   float coefficients[27] = {...};
//   Yr::Sh3 sh(coefficients);
#pragma once

#include <cstring>

namespace Yr {

struct Sh3 {
  static constexpr unsigned int kCoefficients = 27;

  float coefficients[kCoefficients] = {};

  constexpr Sh3() = default;
  explicit Sh3(const float* source) { std::memcpy(coefficients, source, sizeof coefficients); }
};

static_assert(sizeof(Sh3) == Sh3::kCoefficients * sizeof(float), "27 floats copied as a block");

}  // namespace Yr
