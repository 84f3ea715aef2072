// Yr::Log: named log targets and their settings (Spec).
//
// In this library they are fixed: every target name yields the one "banner" target and
// every Spec name yields the one static Spec. The two words each carries (a level
// of 7 and the flag bits 0x7B) are read by the engine modules that use the targets, never
// by this library. The banner is built at load, after the string table, and its name is
// released at unload; the objects themselves live for the whole process.
//
// Threads: the getters only return addresses; nothing here takes a lock.
#pragma once

#include <cstdint>

#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr::Log {

constexpr uint32_t kDefaultLevel = 7;
// Bits 0, 1, 3, 4, 5 and 6.
constexpr uint32_t kDefaultFlags = 0x7B;

struct YR_API Spec {
  uint32_t mLevel;
  uint32_t mFlags;
};

class YR_API LogTarget {
 public:
  explicit LogTarget(const StringId& name) : mName(name), mLevel(kDefaultLevel), mFlags(kDefaultFlags) {}

  const StringId& GetName() const { return mName; }

  StringId mName;
  uint32_t mLevel;
  uint32_t mFlags;

  // Kept for the engine modules; nothing in this library reads or writes it.
  static bool sCaching;
};

YR_API LogTarget& GetBanner();
// The banner, whatever name and create are.
YR_API LogTarget& GetTarget(const StringId& name, bool create);
// The one static Spec, whatever name and create are.
YR_API Spec& GetSpec(const StringId& name, bool create);

}  // namespace Yr::Log

namespace Yr::Detail {

// Load and unload steps.
void BuildBannerTarget();
void DestroyBannerTarget();
void BuildLogSpec();

}  // namespace Yr::Detail
