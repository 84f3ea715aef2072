#include "system/rtu/updater.h"

namespace Yr::RTU {

Updater::Updater()
    : mMembers{nullptr,
               MemberT<bool>::Create(nullptr),
               MemberT<char>::Create(nullptr),
               MemberT<unsigned char>::Create(nullptr),
               MemberT<int>::Create(nullptr),
               MemberT<unsigned int>::Create(nullptr),
               MemberT<float>::Create(nullptr),
               MemberT<StringId>::Create(nullptr),
               MemberT<Color32>::Create(nullptr),
               MemberT<void*>::Create(nullptr)} {}

void Updater::Dispatch(void** objects, unsigned int count, unsigned int offset, IRTUStream& in) {
  const uint8_t* record = in.mCursor;
  if (!in.Has(1)) {
    in.mShort = true;
    return;
  }
  const int tag = static_cast<int8_t>(*in.mCursor++);
  // The tag comes from outside: anything but 1 to 9 finds no prototype.
  if (tag <= kTagNone || tag >= kTagCount) return;
  Member* prototype = mMembers[tag];
  if (prototype == nullptr) return;

  const uint8_t* value = in.mCursor;
  const bool wasShort = in.mShort;
  in.mShort = false;
  for (unsigned int i = 0; i < count; ++i) {
    in.mCursor = value;
    prototype->SetAddress(static_cast<char*>(objects[i]) + offset);
    prototype->Read(in);
    // Every object reads the same bytes: a record the first object refused changed nothing.
    if (in.mShort) {
      in.mCursor = record;
      return;
    }
  }
  in.mShort = wasShort;
}

}  // namespace Yr::RTU
