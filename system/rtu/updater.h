// The live-update updater: turns one value record into writes to the same field of several
// objects.
//
// It holds one prototype member per record tag (tags 1 to 9; slot 0 stays empty). Dispatch
// reads the tag, points that tag's prototype at objects[i] + offset for each object and lets
// it read the value; every object receives the same value from the same bytes.
//
//   struct Light { int id; float range; };
//   Light lights[3];
//   void* objects[] = {&lights[0], &lights[1], &lights[2]};
//   Yr::IRTUStream in(record, recordSize);                  // 06 00 00 20 41: 10.0f
//   Yr::StaticSingleton<Yr::RTU::Updater>::Ref().Dispatch(objects, 3, offsetof(Light, range), in);
//
// The record's tag must match the field's type: the updater cannot know the field. Tags
// below 0 or above 9 consume their byte and change nothing. On a stream with an end, a record
// whose value runs past the end changes no object: the cursor goes back to the tag and the
// stream is marked short, so a reader can retry once more bytes have arrived.
//
// Ownership and threads: copies share the prototypes, which are never freed (the singleton
// has no teardown). Dispatch re-points the shared prototypes: one thread at a time.
#pragma once

#include "system/memory/static_singleton.h"
#include "system/platform/export.h"
#include "system/rtu/member.h"

namespace Yr::RTU {

struct YR_API Updater {
  // Allocates the nine prototypes; one whose allocation is refused stays null.
  Updater();
  Updater(const Updater&) = default;
  Updater& operator=(const Updater&) = default;

  void Dispatch(void** objects, unsigned int count, unsigned int offset, IRTUStream& in);

  Member* mMembers[kTagCount];
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Updater) == 40, "ten member pointers");
#endif

}  // namespace Yr::RTU
