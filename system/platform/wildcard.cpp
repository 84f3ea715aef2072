// The library's own wildcard rule, the same on every system: ListMatches applies it to the
// names the system lists, so no system's matching quirks leak through.
#include "system/platform/file_platform.h"

namespace Yr::Platform {

bool WildcardMatch(const char* pattern, const char* text) {
  // Greedy match with one backtrack point: the last '*' seen and the text position it has
  // swallowed up to. Linear in practice, never recursive.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*text) {
    if (*pattern == '*') {
      star = pattern++;
      resume = text;
    } else if (*pattern == '?' || *pattern == *text) {
      ++pattern;
      ++text;
    } else if (star) {
      pattern = star + 1;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

}  // namespace Yr::Platform
