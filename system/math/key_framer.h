// KeyFramer: a fixed number of (time, value) keys, evaluated by interpolating between the
// two keys around a time. Effect and tuning data fill these from text.
//
//   Yr::KeyFramer<float> fade;
//   fade.AddKey(0.0f, 1.0f);
//   fade.AddKey(2.0f, 0.0f);
//   float alpha = fade.Evaluate(0.5f);   // 0.75
//
// Instantiated for float, Color32, Vec3 and MinMax.
//
// Layout: a 32-bit key count followed by kMaxKeys slots, each a float time followed by the
// value. Keys are kept in the order they were added, which callers give by increasing time.
// Evaluate holds the first value before the first key and the last value after the last,
// and gives T() when there is no key. A count outside 0..kMaxKeys (a slot filled by hand)
// is clamped, never trusted. Plain value, no state beyond the keys.
#pragma once

#include <cstdint>

#include "system/math/color32.h"
#include "system/math/vector.h"

namespace Yr {

// A range of two floats (a particle's size or life span from a minimum to a maximum).
struct MinMax {
  float min = 0.0f;
  float max = 0.0f;

  friend constexpr bool operator==(const MinMax& x, const MinMax& y) { return x.min == y.min && x.max == y.max; }
};

// Straight-line interpolation between two values, t in [0, 1]. Any type with +, - and
// multiplication by a float works; colours and ranges are interpolated per component.
template <typename T>
struct LinearInterp {
  static T Interpolate(const T& a, const T& b, float t) { return a + (b - a) * t; }
};

template <>
struct LinearInterp<MinMax> {
  static MinMax Interpolate(const MinMax& a, const MinMax& b, float t) {
    return MinMax{a.min + (b.min - a.min) * t, a.max + (b.max - a.max) * t};
  }
};

template <>
struct LinearInterp<Color32> {
  static uint8_t Channel(uint8_t a, uint8_t b, float t) {
    // Rounded to the nearest byte so that halfway between 0 and 255 is 128, not 127.
    const float value = static_cast<float>(a) + (static_cast<float>(b) - static_cast<float>(a)) * t + 0.5f;
    return value <= 0.0f ? 0 : value >= 255.0f ? 255 : static_cast<uint8_t>(value);
  }
  static Color32 Interpolate(const Color32& a, const Color32& b, float t) {
    return Color32(Channel(a.r, b.r, t), Channel(a.g, b.g, t), Channel(a.b, b.b, t), Channel(a.a, b.a, t));
  }
};

template <typename T, int kKeys = 5, typename Interp = LinearInterp<T>>
struct KeyFramer {
  static constexpr int kMaxKeys = kKeys;

  struct Key {
    float time;
    T value;
  };

  int32_t mNumKeys = 0;
  Key mKeys[kKeys] = {};

  // Appends a key; false when every slot is taken.
  bool AddKey(float time, const T& value) {
    const int count = GetNumKeys();
    if (count >= kKeys) return false;
    mKeys[count] = Key{time, value};
    mNumKeys = count + 1;
    return true;
  }

  int GetNumKeys() const { return mNumKeys < 0 ? 0 : mNumKeys > kKeys ? kKeys : mNumKeys; }

  T Evaluate(float time) const {
    const int count = GetNumKeys();
    if (count == 0) return T();
    if (!(time > mKeys[0].time)) return mKeys[0].value;
    for (int i = 1; i < count; ++i) {
      if (time < mKeys[i].time) {
        const Key& from = mKeys[i - 1];
        const Key& to = mKeys[i];
        return Interp::Interpolate(from.value, to.value, (time - from.time) / (to.time - from.time));
      }
    }
    return mKeys[count - 1].value;
  }
};

static_assert(sizeof(KeyFramer<float>) == sizeof(int32_t) + 5 * 2 * sizeof(float), "count, then five time-value pairs");
static_assert(sizeof(KeyFramer<Color32>) == sizeof(int32_t) + 5 * (sizeof(float) + sizeof(Color32)));
static_assert(sizeof(KeyFramer<Vec3>) == sizeof(int32_t) + 5 * (sizeof(float) + sizeof(Vec3)));
static_assert(sizeof(KeyFramer<MinMax>) == sizeof(int32_t) + 5 * (sizeof(float) + sizeof(MinMax)));

}  // namespace Yr
