// yr_unload_probe <library>: loads and unloads the library in a process that does not link
// it, and checks that the fault handlers and the alternate signal stack it set up at load have
// made way for what the process had before (a handler left behind would point into unmapped code).
// Exit codes: 0 as expected, 2 dlopen failed, 3 nothing was installed at load, 4 a handler
// is left behind, 5 the alternate stack is left behind.
// On Windows the handlers are the unhandled-exception filter, the abort signal's handler and
// a vectored handler; a vectored handler left behind would be called by the next exception
// and end this process with an access violation.
#ifdef _WIN32
#include <windows.h>
#include <signal.h>

namespace {

constexpr DWORD kProbeException = 0xE0000001u;

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(current);
  return current;
}

using AbortHandler = void(__cdecl*)(int);
AbortHandler CurrentAbortHandler() {
  AbortHandler current = signal(SIGABRT, SIG_DFL);
  signal(SIGABRT, current);
  return current;
}

LONG WINAPI TakeProbeException(EXCEPTION_POINTERS* pointers) {
  return pointers->ExceptionRecord->ExceptionCode == kProbeException ? EXCEPTION_CONTINUE_EXECUTION
                                                                     : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  LPTOP_LEVEL_EXCEPTION_FILTER filterBefore = CurrentFilter();
  AbortHandler abortBefore = CurrentAbortHandler();
  HMODULE library = LoadLibraryA(argv[1]);
  if (!library) return 2;
  if (CurrentFilter() == filterBefore || CurrentAbortHandler() == abortBefore) return 3;
  FreeLibrary(library);
  if (CurrentFilter() != filterBefore || CurrentAbortHandler() != abortBefore) return 4;
  // Last in the chain: a vectored handler of the library's left behind runs first.
  AddVectoredExceptionHandler(0, &TakeProbeException);
  RaiseException(kProbeException, 0, 0, nullptr);
  return 0;
}
#else
#include <dlfcn.h>
#include <signal.h>

#include <cstdio>

namespace {

bool SameDisposition(const struct sigaction& a, const struct sigaction& b) {
  return a.sa_handler == b.sa_handler && (a.sa_flags & SA_SIGINFO) == (b.sa_flags & SA_SIGINFO);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
  struct sigaction before[6];
  for (int i = 0; i < 6; ++i) sigaction(kSignals[i], nullptr, &before[i]);
  stack_t stackBefore;
  sigaltstack(nullptr, &stackBefore);

  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "unload probe: %s\n", dlerror());
    return 2;
  }
  struct sigaction loaded;
  sigaction(SIGSEGV, nullptr, &loaded);
  stack_t stack;
  sigaltstack(nullptr, &stack);
  if (SameDisposition(loaded, before[0]) || (stack.ss_flags & SS_DISABLE) || stack.ss_sp == stackBefore.ss_sp) return 3;

  dlclose(library);
  for (int i = 0; i < 6; ++i) {
    struct sigaction after;
    sigaction(kSignals[i], nullptr, &after);
    if (!SameDisposition(after, before[i])) return 4;
  }
  sigaltstack(nullptr, &stack);
  bool disabled = stack.ss_flags & SS_DISABLE;
  if (disabled != static_cast<bool>(stackBefore.ss_flags & SS_DISABLE) || (!disabled && stack.ss_sp != stackBefore.ss_sp))
    return 5;
  return 0;
}
#endif
