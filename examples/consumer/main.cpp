// Uses the installed library through its public headers: interned strings and the aligned
// allocation entry points. Exits non-zero when either does not behave.
#include <cstdint>
#include <cstdio>

#include "system/memory/allocator.h"
#include "system/strings/string_id.h"

int main() {
  const Yr::StringId a("consumer.option");
  const Yr::StringId b("consumer.option");
  const Yr::StringId c("Consumer.Option");
  const Yr::StringId empty("");
  const bool stringsOk = a == b && a != c && a.Length() == 15 && empty.Empty() && empty != Yr::StringId::null;

  constexpr int kAlignment = 64;
  void* block = Yr::_AlignedMalloc(100, kAlignment, __FILE__, __LINE__);
  const bool allocOk = block && reinterpret_cast<uintptr_t>(block) % kAlignment == 0;
  Yr::_AlignedFree(block);

  std::printf("StringId(\"%s\"): %s\n", a.CStr(), stringsOk ? "interned" : "WRONG");
  std::printf("_AlignedMalloc(100, %d): %s\n", kAlignment, allocOk ? "aligned" : "WRONG");
  return stringsOk && allocOk ? 0 : 1;
}
