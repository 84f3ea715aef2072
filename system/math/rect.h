// Rect: an integer rectangle of grid cells, x .. x + width − 1 by y .. y + height − 1.
//
//   Yr::Rect view{0, 0, 640, 480}, sprite{600, 400, 64, 64};
//   if (view.IsOverlap(sprite)) sprite.Clip(view);   // {600, 400, 40, 64}
//   Yr::Rect dirty = a;
//   dirty.Combine(b);                                 // smallest rectangle holding both
//
// Every operation but IsOverlap changes the rectangle and returns it. A width or height of
// 0 or less holds no cells. Coordinates are computed in 64 bits, so extreme values do not
// overflow on the way. Plain value type, any thread.
#pragma once

#include <algorithm>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

struct YR_API Rect {
  int32_t x, y, width, height;

  // True when both rectangles hold at least one common cell; sharing an edge is not enough.
  bool IsOverlap(const Rect& o) const {
    return Shared(x, width, o.x, o.width) > 0 && Shared(y, height, o.y, o.height) > 0;
  }

  // The intersection. An axis without common cells gets position and extent 0.
  Rect& Clip(const Rect& o) {
    ClipAxis(x, width, o.x, o.width);
    ClipAxis(y, height, o.y, o.height);
    return *this;
  }

  // The union, each axis on its own; an empty extent (≤ 0) on one side takes the other's.
  Rect& Combine(const Rect& o) {
    CombineAxis(x, width, o.x, o.width);
    CombineAxis(y, height, o.y, o.height);
    return *this;
  }

  // Negative extents turn into positive ones over the same cells' span.
  Rect& Normalize() {
    NormalizeAxis(x, width);
    NormalizeAxis(y, height);
    return *this;
  }

 private:
  // Cells in common of the spans [a, a + la) and [b, b + lb), negative when apart.
  static int64_t Shared(int64_t a, int64_t la, int64_t b, int64_t lb) {
    return std::min(a + la, b + lb) - std::max(a, b);
  }
  static void ClipAxis(int32_t& p, int32_t& extent, int32_t op, int32_t oextent) {
    const int64_t start = std::max<int64_t>(p, op);
    const int64_t last = std::min<int64_t>(int64_t(p) + extent - 1, int64_t(op) + oextent - 1);
    const int64_t size = last - start + 1;
    p = size < 0 ? 0 : static_cast<int32_t>(start);
    extent = size < 0 ? 0 : static_cast<int32_t>(size);
  }
  static void NormalizeAxis(int32_t& p, int32_t& extent) {
    if (extent >= 0) return;
    p = static_cast<int32_t>(int64_t(p) + extent);
    extent = static_cast<int32_t>(-int64_t(extent));
  }
  static void CombineAxis(int32_t& p, int32_t& extent, int32_t op, int32_t oextent) {
    if (extent <= 0) {
      p = op;
      extent = oextent;
      return;
    }
    if (oextent <= 0) return;
    const int64_t start = std::min<int64_t>(p, op);
    const int64_t last = std::max<int64_t>(int64_t(p) + extent - 1, int64_t(op) + oextent - 1);
    p = static_cast<int32_t>(start);
    extent = static_cast<int32_t>(last - start + 1);
  }
};

static_assert(sizeof(Rect) == 4 * sizeof(int32_t), "a rectangle is four packed 32-bit integers");

}  // namespace Yr
