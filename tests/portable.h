// Small differences of the C library between the systems the tests run on, so that a test
// says what it means once.
#pragma once

#include <stdlib.h>

namespace YrTest {

// Sets or removes a variable of the process's environment.
inline void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}
inline void UnsetEnvironment(const char* name) {
#if defined(_WIN32)
  _putenv_s(name, "");  // an empty value removes the variable on Windows
#else
  unsetenv(name);
#endif
}

}  // namespace YrTest

// On Windows a static constexpr member of an exported class is not exported from the DLL,
// so a test must not bind one to a reference (as EXPECT_EQ does): tests copy such a
// constant into a value first, e.g. size_t{PoolOfBase::kPageSize}.
