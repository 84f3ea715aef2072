#include "system/debug/log.h"

#include "system/memory/manual_static.h"

namespace Yr::Log {
namespace {

constexpr const char* kBannerName = "banner";

Detail::ManualStatic<LogTarget> gBanner;
// The level is fixed from the start; the flag word is filled in at load.
Spec gSpec{kDefaultLevel, 0};

}  // namespace

bool LogTarget::sCaching = false;

LogTarget& GetBanner() { return gBanner.Get(); }
LogTarget& GetTarget(const StringId&, bool) { return gBanner.Get(); }
Spec& GetSpec(const StringId&, bool) { return gSpec; }

}  // namespace Yr::Log

namespace Yr::Detail {

void BuildBannerTarget() { Log::gBanner.Build(StringId(Log::kBannerName)); }
void DestroyBannerTarget() { Log::gBanner.Destroy(); }
void BuildLogSpec() { Log::gSpec.mFlags = Log::kDefaultFlags; }

}  // namespace Yr::Detail
