// The wildcard rule written as its plain recursive definition, for tests and fuzz targets to
// hold StrMatchWildcard against. Exponential in the worst case: small inputs only.
#pragma once

namespace YrTest {

inline bool ReferenceMatch(const char* t, const char* p) {
  while (*t) {
    if (!*p) return false;
    if (*t == *p) {
      ++t;
      ++p;
      continue;
    }
    if (*p != '*') return false;
    ++p;
    if (!*p) return true;
    for (const char* s = t; *s; ++s)
      if (*s == *p && ReferenceMatch(s, p)) return true;
    return false;
  }
  return !*p;
}

}  // namespace YrTest
