// The live-update database: the process-wide list of registered variables.
//
// Each entry (an UpdateBase of the registering code's own class) describes one variable of
// one source object: GetSource names the object, GetAddress the variable. The database owns
// its entries: Unregister, UnregisterSource and ClearAll delete them through their virtual
// destructor. Order is not kept: a removal moves the last entry into the freed place.
// Entries still present when the database is destroyed are not deleted.
//
//   struct Speed : Yr::RTU::Database::UpdateBase { ... };   // GetSource, GetAddress
//   auto& database = Yr::StaticSingleton<Yr::RTU::Database>::Ref();
//   database.Add(new Speed(&car, &car.speed));
//   database.Unregister(&car.speed);                         // deletes the entry
//
// Copies share the entry pointers; only one copy may delete them. No lock: use the database
// from one thread at a time.
#pragma once

#include <cstdint>

#include "system/memory/allocator.h"
#include "system/memory/darray.h"
#include "system/memory/static_singleton.h"
#include "system/platform/export.h"
#include "system/rtu/member.h"

namespace Yr::RTU {

struct YR_API Database {
  // An entry: allocated through the library's entry points and freed by the plain rule.
  struct YR_API UpdateBase : VirtualBase {
    ~UpdateBase() override;
    // A name a tool can address the variable by; null for entries that have none. The
    // database itself never asks for it.
    virtual const char* GetName() const;
    virtual const void* GetSource() const = 0;
    virtual const void* GetAddress() const = 0;
    // The member that reads and writes the variable, for a tool connection; null for
    // entries that offer none. Owned by the entry.
    virtual Member* GetMember() const;
  };

  Database() = default;
  Database(const Database&) = default;
  Database& operator=(const Database&) = default;
  ~Database() = default;

  // Appends an entry, which the database then owns. Null is ignored.
  void Add(UpdateBase* entry);
  // Deletes the first entry (lowest index) whose address, or whose source, matches, and moves
  // the last entry into its place. Nothing when none matches.
  void Unregister(const void* address);
  void UnregisterSource(const void* source);
  // The first entry whose source matches, or null.
  UpdateBase* Lookup(const void* source) const;
  // Deletes every entry in index order and empties the list.
  void ClearAll();

  uint32_t Count() const { return mEntries.Count(); }
  UpdateBase* Entry(uint32_t index) const { return mEntries[index]; }

  DArray<UpdateBase*> mEntries;

 private:
  void RemoveAt(uint32_t index);
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Database) == 12, "element pointer, count, capacity word");
#endif

}  // namespace Yr::RTU
