#include "system/math/color32.h"

#include <cmath>

#include "system/math/vector.h"

namespace Yr {

namespace {

// A unit value as a byte: clamped to [0, 1], times 255, truncated. NaN counts as 0.
uint8_t PackUnit(float x) {
  if (!(x > 0.0f)) return 0;
  if (x >= 1.0f) return 255;
  return static_cast<uint8_t>(x * 255.0f);
}

// A channel times 255, truncated and wrapped into a byte without clamping; values no int
// can hold (and NaN) give 0 rather than an undefined conversion.
uint8_t TruncateToByte(float x) {
  const float scaled = x * 255.0f;
  if (!(scaled > -2147483648.0f && scaled < 2147483648.0f)) return 0;
  return static_cast<uint8_t>(static_cast<int32_t>(scaled));
}

}  // namespace

Color32 Color32::EncodeHDR2RGBS(float r, float g, float b, float range) {
  r = std::fmin(r, range);
  g = std::fmin(g, range);
  b = std::fmin(b, range);
  const float m = std::fmax(r, std::fmax(g, b));
  if (!(m > 0.0f) || !(range > 0.0f)) return Color32(0, 0, 0, 0);
  const float k = std::sqrt(m / range);
  const float scale = k / m;
  return Color32(PackUnit(r * scale), PackUnit(g * scale), PackUnit(b * scale), PackUnit(k));
}

void Color32::EncodeHDR2RGBS4(const Vec3& c0, const Vec3& c1, const Vec3& c2, const Vec3& c3, float range, Color32& o0,
                              Color32& o1, Color32& o2, Color32& o3) {
  const Vec3* in[4] = {&c0, &c1, &c2, &c3};
  Color32* out[4] = {&o0, &o1, &o2, &o3};
  float clamped[4][3];
  float m = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    for (int k = 0; k < 3; ++k) {
      clamped[i][k] = std::fmin((*in[i])[k], range);
      m = std::fmax(m, clamped[i][k]);
    }
  }
  if (!(m > 0.0f) || !(range > 0.0f)) {
    for (Color32* o : out) *o = Color32(0, 0, 0, 0);
    return;
  }
  const float k = std::sqrt(m / range);
  const float scale = k / m;
  for (int i = 0; i < 4; ++i) {
    *out[i] = Color32(PackUnit(clamped[i][0] * scale), PackUnit(clamped[i][1] * scale), PackUnit(clamped[i][2] * scale),
                      PackUnit(k));
  }
}

Color32 Color32::HSV2RGB(float h, float s, float v) {
  if (s == 0.0f) {
    const uint8_t grey = TruncateToByte(v);
    return Color32(grey, grey, grey, 255);
  }
  float hue = h * 6.0f;
  if (hue == 6.0f) hue = 0.0f;
  // A sector no int holds is simply not one of 0-4 and takes the last sector's rule.
  const int sector = (hue > -2147483648.0f && hue < 2147483648.0f) ? static_cast<int>(hue) : 5;
  const float f = hue - static_cast<float>(sector);
  const float p = v * (1.0f - s);
  const float q = v * (1.0f - f * s);
  const float t = v * (1.0f - (1.0f - f) * s);
  float red, green, blue;
  switch (sector) {
    case 0: red = v, green = t, blue = p; break;
    case 1: red = q, green = v, blue = p; break;
    case 2: red = p, green = v, blue = t; break;
    case 3: red = p, green = q, blue = v; break;
    case 4: red = t, green = p, blue = v; break;
    default: red = v, green = p, blue = q; break;
  }
  return Color32(TruncateToByte(red), TruncateToByte(green), TruncateToByte(blue), 255);
}

// (i / 255)^2.2, four significant digits.
const float Color32::sToLinearLookup[256] = {
    0.0f, 5.077e-06f, 2.333e-05f, 5.692e-05f, 0.0001072f, 0.0001751f, 0.0002615f, 0.0003671f,
    0.0004925f, 0.0006382f, 0.0008047f, 0.0009924f, 0.001202f, 0.001433f, 0.001687f, 0.001963f,
    0.002263f, 0.002586f, 0.002932f, 0.003303f, 0.003697f, 0.004116f, 0.00456f, 0.005028f,
    0.005522f, 0.006041f, 0.006585f, 0.007155f, 0.007751f, 0.008373f, 0.009021f, 0.009696f,
    0.0104f, 0.01113f, 0.01188f, 0.01266f, 0.01347f, 0.01431f, 0.01518f, 0.01607f, 0.01699f,
    0.01794f, 0.01891f, 0.01992f, 0.02095f, 0.02201f, 0.0231f, 0.02422f, 0.02537f, 0.02655f,
    0.02776f, 0.02899f, 0.03026f, 0.03155f, 0.03288f, 0.03423f, 0.03561f, 0.03703f, 0.03847f,
    0.03995f, 0.04145f, 0.04299f, 0.04455f, 0.04615f, 0.04778f, 0.04943f, 0.05112f, 0.05284f,
    0.05459f, 0.05637f, 0.05819f, 0.06003f, 0.06191f, 0.06381f, 0.06575f, 0.06772f, 0.06973f,
    0.07176f, 0.07383f, 0.07593f, 0.07806f, 0.08022f, 0.08241f, 0.08464f, 0.0869f, 0.08919f,
    0.09152f, 0.09388f, 0.09627f, 0.09869f, 0.1011f, 0.1036f, 0.1062f, 0.1087f, 0.1113f, 0.1139f,
    0.1166f, 0.1193f, 0.122f, 0.1247f, 0.1275f, 0.1304f, 0.1332f, 0.1361f, 0.139f, 0.142f, 0.145f,
    0.148f, 0.1511f, 0.1542f, 0.1573f, 0.1604f, 0.1636f, 0.1669f, 0.1701f, 0.1734f, 0.1768f,
    0.1801f, 0.1835f, 0.187f, 0.1905f, 0.194f, 0.1975f, 0.2011f, 0.2047f, 0.2084f, 0.212f, 0.2158f,
    0.2195f, 0.2233f, 0.2271f, 0.231f, 0.2349f, 0.2388f, 0.2428f, 0.2468f, 0.2508f, 0.2549f,
    0.259f, 0.2632f, 0.2674f, 0.2716f, 0.2758f, 0.2801f, 0.2845f, 0.2888f, 0.2932f, 0.2977f,
    0.3021f, 0.3066f, 0.3112f, 0.3158f, 0.3204f, 0.325f, 0.3297f, 0.3345f, 0.3392f, 0.344f,
    0.3489f, 0.3537f, 0.3587f, 0.3636f, 0.3686f, 0.3736f, 0.3787f, 0.3838f, 0.3889f, 0.3941f,
    0.3993f, 0.4045f, 0.4098f, 0.4151f, 0.4205f, 0.4259f, 0.4313f, 0.4368f, 0.4423f, 0.4479f,
    0.4535f, 0.4591f, 0.4647f, 0.4704f, 0.4762f, 0.482f, 0.4878f, 0.4936f, 0.4995f, 0.5054f,
    0.5114f, 0.5174f, 0.5234f, 0.5295f, 0.5356f, 0.5418f, 0.548f, 0.5542f, 0.5605f, 0.5668f,
    0.5732f, 0.5795f, 0.586f, 0.5924f, 0.5989f, 0.6055f, 0.6121f, 0.6187f, 0.6253f, 0.632f,
    0.6388f, 0.6456f, 0.6524f, 0.6592f, 0.6661f, 0.673f, 0.68f, 0.687f, 0.6941f, 0.7012f, 0.7083f,
    0.7155f, 0.7227f, 0.7299f, 0.7372f, 0.7445f, 0.7519f, 0.7593f, 0.7667f, 0.7742f, 0.7818f,
    0.7893f, 0.7969f, 0.8046f, 0.8122f, 0.82f, 0.8277f, 0.8355f, 0.8434f, 0.8513f, 0.8592f,
    0.8671f, 0.8751f, 0.8832f, 0.8913f, 0.8994f, 0.9075f, 0.9158f, 0.924f, 0.9323f, 0.9406f,
    0.949f, 0.9574f, 0.9658f, 0.9743f, 0.9828f, 0.9914f, 1.0f,
};

}  // namespace Yr
