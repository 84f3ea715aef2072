// Tour section: allocation tracing through a hook, an assertion report, symbol lookup, and
// (with --crash on the command line) a real crash with its report and minidump.
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "examples/tour/tour.h"
#include "system/debug/bug_report.h"
#include "system/debug/debug_output.h"
#include "system/debug/symbols.h"
#include "system/memory/alloc_trace.h"
#include "system/memory/allocator.h"
#include "system/memory/static_singleton.h"
#include "system/options/options.h"

namespace {

// A hook that reports every allocation and free to the tracer and hands the work on to the
// hook that was installed before it (or the default allocator).
class TracingHook : public Yr::AllocatorHook {
 public:
  explicit TracingHook(Yr::AllocatorHook* next) : mNext(next) {}
  [[gnu::noinline]] void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    void* block = mNext ? mNext->AlignedMalloc(size, alignment)
                        : Yr::OrigAlignedMalloc(size, static_cast<int>(alignment), __FILE__, __LINE__);
    Yr::Memory::AllocTrace(block, size);
    return block;
  }
  [[gnu::noinline]] void AlignedFree(void* block) override {
    Yr::Memory::FreeTrace(block, __FILE__, __LINE__, 0);
    if (mNext) {
      mNext->AlignedFree(block);
    } else {
      Yr::OrigAlignedFree(block);
    }
  }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return mNext ? mNext->GetAllocationSize(block, alignment) : Yr::OrigGetAllocationSize(block, alignment);
  }

 private:
  Yr::AllocatorHook* mNext;
};

struct Particle {
  float position[3];
  float velocity[3];
};

__attribute__((noinline)) Particle* SpawnParticles(unsigned int count) {
  return static_cast<Particle*>(Yr::_AlignedMalloc(count * sizeof(Particle), 16, __FILE__, __LINE__));
}

__attribute__((noinline)) char* LoadLevelName() {
  char* name = static_cast<char*>(Yr::_AlignedMalloc(64, 16, __FILE__, __LINE__));
  std::strcpy(name, "harbour");
  return name;
}

__attribute__((noinline)) void CheckInventory(int slots) {
  if (slots > 8) Yr::BugReport::AssertReportFmt("inventory has %d slots, at most 8 fit", slots);
}

__attribute__((noinline)) void CrashOnPurpose() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

void PrintFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::printf("  | %s\n", line.c_str());
  }
}

}  // namespace

void Tour::Diag(int, char**) {
  Section("Diagnostics: allocation tracing, bug reports, crash handler");
  std::fflush(stdout);

  // Tracing was switched on at load with a depth of 32; start from a clean slate.
  Yr::Memory::SetAllocTrace(16, 0);
  static TracingHook hook(Yr::AllocatorHook::Hook());
  Yr::AllocatorHook* previous = Yr::AllocatorHook::Install(&hook);
  std::printf("Installed a tracing hook in front of the %s.\n", previous ? "tour's counting hook" : "default allocator");

  Particle* bursts[3];
  for (Particle*& burst : bursts) burst = SpawnParticles(32);
  char* level = LoadLevelName();
  Yr::_AlignedFree(bursts[0]);
  std::printf("Spawned three particle bursts from one call site, loaded a level name, freed one burst.\n");

  char where[Yr::Symbols::kTextCapacity];
  Yr::StaticSingleton<Yr::Symbols>::Ref().GetFunction(reinterpret_cast<void*>(&SpawnParticles), where, sizeof where,
                                                      true);
  std::printf("Symbol lookup of SpawnParticles: %s\n", where);

  std::printf("The trace report (to the debug output, standard error by default):\n");
  std::fflush(stdout);
  Yr::Memory::AllocTraceLog("tour");
  std::fflush(stderr);

  // A second free of the same block: reported with both stacks, and tracing switches off.
  std::printf("Freeing the first burst again is caught (the block itself is not touched):\n");
  std::fflush(stdout);
  Yr::Memory::FreeTrace(bursts[0], __FILE__, __LINE__, 0);
  std::fflush(stderr);
  std::printf("Tracing is now %s; AllocTraceEnable switches it back on.\n",
              Yr::Memory::sAllocTraceEnabled ? "on" : "off");
  Yr::Memory::AllocTraceEnable();

  Yr::_AlignedFree(bursts[1]);
  Yr::_AlignedFree(bursts[2]);
  Yr::_AlignedFree(level);
  Yr::AllocatorHook::Install(previous);
  std::printf("Freed the rest and put the previous hook back.\n");

  // An assertion report: the file holds the build line, date, message and stack.
  Yr::BugReport::SetCrashDumpFormat(0);
  CheckInventory(12);
  std::printf("An assertion wrote %s:\n", Yr::BugReport::sReportFilename);
  PrintFile(Yr::BugReport::sReportFilename);
  Yr::BugReport::SetCrashDumpFormat(1);

  if (!Yr::Options::Test("crash")) {
    std::printf("Run the tour with --crash to see a real crash: the report and report.pcrpt.dmp are written\n"
                "and the process ends with exit code 1; open the dump with lldb -c report.pcrpt.dmp <tour>.\n");
    return;
  }
  std::printf("Crashing on purpose now (a write through a null pointer)...\n");
  std::fflush(stdout);
  CrashOnPurpose();
}
