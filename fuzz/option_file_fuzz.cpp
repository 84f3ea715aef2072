// Fuzz target: the text of an option file, NUL bytes and all. The text is turned into
// arguments, which are then applied to the option registry. Checks what must hold for every
// input: each argument fits the argument limit, and the registry keeps its invariants (no
// empty names, no empty values).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "system/options/command_line.h"
#include "system/options/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Yr;
  // Positional names, so that words without a prefix take their path too.
  Options::RegisterPositional()("fuzz.first")("fuzz.rest");
  Detail::ArgumentQueue queue;
  const uint32_t count = size > Detail::kOptionFileBufferSize ? Detail::kOptionFileBufferSize : static_cast<uint32_t>(size);
  Detail::QueueOptionFileText(reinterpret_cast<const char*>(data), count, queue);
  for (const StringId& argument : queue) {
    if (argument.Empty() || argument.Length() > Detail::kMaxArgumentLength) std::abort();
  }
  // Option files never read further files: '@' arguments are passed over.
  Detail::ApplyQueue(queue, nullptr, false);
  for (const Detail::OptionRecord* record : Detail::GetOptionRegistry().mRecords) {
    if (record->name.Empty() || record->name.Length() > Detail::kMaxArgumentLength) std::abort();
    for (const StringId& value : record->values) {
      if (value.Empty()) std::abort();
    }
  }
  queue.Release();
  Detail::ClearOptions();
  StringId::GC(false);
  return 0;
}
