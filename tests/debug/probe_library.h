// Loading and unloading the symbol tests' probe libraries on either system.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace YrTest {

// Loads the library at path and asks it for its probe function; null when it cannot be
// loaded.
inline void* LoadProbe(const char* path, void** function) {
#if defined(_WIN32)
  HMODULE library = LoadLibraryA(path);
  if (!library) return nullptr;
  auto entry = reinterpret_cast<void* (*)()>(reinterpret_cast<void*>(GetProcAddress(library, "YrProbeFunction")));
#else
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  auto entry = reinterpret_cast<void* (*)()>(dlsym(library, "YrProbeFunction"));
#endif
  *function = entry ? entry() : nullptr;
  return library;
}

inline bool UnloadProbe(void* library) {
#if defined(_WIN32)
  return FreeLibrary(static_cast<HMODULE>(library)) != FALSE;
#else
  return dlclose(library) == 0;
#endif
}

}  // namespace YrTest
