// Fuzz target: value records dispatched from a stream with an end. The first byte picks the
// object count (0 to 3) and the field offset; the rest is a sequence of records. Checks what
// must hold for every input: the cursor never leaves the bytes received, every dispatch
// either moves the cursor forward or refuses and stops, and a refused record leaves the
// objects as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "system/rtu/updater.h"

namespace {

// Room for every field type at every offset the first byte can pick.
struct alignas(16) Object {
  unsigned char bytes[64];
};
// A StringId field at the start of each object: only a StringId record may write there.
constexpr unsigned int kStringField = 0;
constexpr unsigned int kScalarFields = 16;
constexpr unsigned int kFieldAlignment = alignof(void*) > alignof(float) ? alignof(void*) : alignof(float);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned int count = data[0] & 3u;
  const bool strings = (data[0] & 4u) != 0;
  // Scalar records write at most a pointer's width, clear of the handles, at a field
  // aligned for any of the types (a program's fields are).
  const unsigned int offset = strings ? kStringField : kScalarFields + kFieldAlignment * ((data[0] >> 3) & 3u);
  Yr::RTU::Updater& updater = Yr::StaticSingleton<Yr::RTU::Updater>::Ref();

  Object objects[3];
  void* list[3];
  for (unsigned int i = 0; i < 3; ++i) {
    std::memset(objects[i].bytes, 0, sizeof objects[i].bytes);
    new (objects[i].bytes + kStringField) Yr::StringId();
    list[i] = &objects[i];
  }
  Yr::IRTUStream in(data + 1, size - 1);
  const uint8_t* end = data + size;
  while (in.mCursor < end) {
    const int tag = static_cast<int8_t>(*in.mCursor);
    // Only records whose type fits the field are dispatched; others are stepped over as
    // tag-only records, which the updater must also accept.
    const bool fits = strings ? tag == Yr::RTU::kTagStringId : tag != Yr::RTU::kTagStringId;
    if (!fits) {
      ++in.mCursor;
      continue;
    }
    Object before[3];
    std::memcpy(before, objects, sizeof before);
    const uint8_t* start = in.mCursor;
    updater.Dispatch(list, count, offset, in);
    if (in.mCursor < data + 1 || in.mCursor > end) std::abort();
    if (in.mShort) {
      if (in.mCursor != start) std::abort();
      if (std::memcmp(before, objects, sizeof before) != 0) std::abort();
      break;
    }
    if (in.mCursor <= start) std::abort();
  }
  for (Object& object : objects) reinterpret_cast<Yr::StringId*>(object.bytes + kStringField)->~StringId();
  Yr::StringId::GC(false);
  return 0;
}
