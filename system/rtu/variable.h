// Named live-update variables: the ready-made database entry for code that wants a tool to
// find its variables by name.
//
//   float gSpeed = 1.0f;
//   Yr::RTU::Register("car.speed", &gSpeed);                 // source: none
//   Yr::RTU::Register("light.range", &light.range, &light);  // source: the light
//   ...
//   Yr::StaticSingleton<Yr::RTU::Database>::Ref().Unregister(&gSpeed);
//
// A Variable owns its member and the database owns the Variable. Several variables may share
// a name (the same field of several objects): a tool's change reaches all of them. No lock:
// register and unregister on the thread that polls the tool connection.
#pragma once

#include "system/memory/static_singleton.h"
#include "system/platform/export.h"
#include "system/rtu/database.h"
#include "system/rtu/member.h"
#include "system/strings/string_id.h"

namespace Yr::RTU {

class YR_API Variable : public Database::UpdateBase {
 public:
  // A variable that owns member, or null (and member deleted) when allocation is switched
  // off or member is null.
  static Variable* Create(const char* name, const void* source, Member* member);
  ~Variable() override;

  const char* GetName() const override { return mName.CStr(); }
  const void* GetSource() const override { return mSource; }
  const void* GetAddress() const override { return mMember->mAddress; }
  Member* GetMember() const override { return mMember; }

 private:
  Variable(const char* name, const void* source, Member* member) : mName(name), mSource(source), mMember(member) {}
  StringId mName;
  const void* mSource;
  Member* mMember;
};

// Registers the variable at address under name in database; returns its entry, or null
// when allocation is switched off.
template <typename T>
Variable* Register(const char* name, T* address, const void* source = nullptr,
                   Database& database = StaticSingleton<Database>::Ref()) {
  Variable* variable = Variable::Create(name, source, MemberT<T>::Create(address));
  database.Add(variable);
  return variable;
}

}  // namespace Yr::RTU
