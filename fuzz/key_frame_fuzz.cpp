// Fuzz target: the key-frame and value parsers. The input up to its first NUL is the text,
// given to every parser. None may read or write outside the text or its result; a key-frame
// result never holds more keys than its slots or than the count the text names.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "system/strings/string_utils.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

template <class Framer>
void CheckKeys(const Framer& framer, int named) {
  Check(framer.mNumKeys >= 0 && framer.mNumKeys <= Framer::kMaxKeys);
  Check(framer.mNumKeys <= (named > 0 ? named : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const char* c = text.c_str();
  int named = 0;
  if (std::sscanf(c, "%d", &named) != 1) named = 0;
  using namespace Yr::StringUtils;
  CheckKeys(ConvertToFloatKeyFramer(c), named);
  CheckKeys(ConvertToColorKeyFramer(c), named);
  CheckKeys(ConvertToVec3KeyFramer(c), named);
  CheckKeys(ConvertToMinMaxKeyFramer(c), named);
  volatile float sink = ConvertToMinMax(c).min + ConvertToVec3(c).x + ConvertToVec4(c).w;
  (void)sink;
  volatile uint32_t colour = ConvertToColor32(c).GetValue();
  (void)colour;
  return 0;
}
