// Loads and unloads the library in a process of its own, marking both moments on standard
// error, so a test can see which start-up steps ran inside each.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>

#ifdef _WIN32
int main() {
  std::fprintf(stderr, "probe: loading\n");
  HMODULE library = ::LoadLibraryA(YR_LIBRARY_PATH);
  if (library == nullptr) {
    std::fprintf(stderr, "probe: LoadLibrary failed: error %lu\n", ::GetLastError());
    return 2;
  }
  std::fprintf(stderr, "probe: loaded\n");
  if (!::FreeLibrary(library)) return 3;
  std::fprintf(stderr, "probe: unloaded\n");
  return 0;
}
#else
int main() {
  std::fprintf(stderr, "probe: loading\n");
  void* library = dlopen(YR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "probe: dlopen failed: %s\n", dlerror());
    return 2;
  }
  std::fprintf(stderr, "probe: loaded\n");
  if (dlclose(library) != 0) return 3;
  std::fprintf(stderr, "probe: unloaded\n");
  return 0;
}
#endif
