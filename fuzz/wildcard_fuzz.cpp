// Fuzz target: the wildcard matcher. The bytes up to the first NUL are the text, those after
// it (up to the next NUL) the pattern. Any input must finish quickly without reading outside
// the two texts; small ones must give the answer of the plain recursive rule.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "system/strings/string_utils.h"
#include "tests/strings/wildcard_reference.h"

namespace {

// Sizes at which the recursive rule stays cheap enough to run on every input.
constexpr size_t kReferenceText = 24;
constexpr long kReferenceStars = 6;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string text = input.substr(0, split);
  const std::string rest = split == std::string::npos ? std::string() : input.substr(split + 1);
  const std::string pattern = rest.substr(0, rest.find('\0'));
  const bool match = Yr::StrMatchWildcard(text.c_str(), pattern.c_str());
  if (text.size() <= kReferenceText && std::count(pattern.begin(), pattern.end(), '*') <= kReferenceStars &&
      match != YrTest::ReferenceMatch(text.c_str(), pattern.c_str()))
    std::abort();
  // A text always matches itself.
  if (!Yr::StrMatchWildcard(text.c_str(), text.c_str())) std::abort();
  return 0;
}
