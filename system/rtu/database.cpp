#include "system/rtu/database.h"

namespace Yr::RTU {

Database::UpdateBase::~UpdateBase() = default;
const char* Database::UpdateBase::GetName() const { return nullptr; }
Member* Database::UpdateBase::GetMember() const { return nullptr; }

void Database::Add(UpdateBase* entry) {
  if (entry) mEntries.Add(entry);
}

void Database::RemoveAt(uint32_t index) {
  UpdateBase* entry = mEntries[index];
  const uint32_t last = mEntries.Count() - 1;
  mEntries[index] = mEntries[last];
  mEntries.Resize(last);
  delete entry;
}

void Database::Unregister(const void* address) {
  for (uint32_t i = 0; i < mEntries.Count(); ++i) {
    if (mEntries[i] && mEntries[i]->GetAddress() == address) return RemoveAt(i);
  }
}

void Database::UnregisterSource(const void* source) {
  for (uint32_t i = 0; i < mEntries.Count(); ++i) {
    if (mEntries[i] && mEntries[i]->GetSource() == source) return RemoveAt(i);
  }
}

Database::UpdateBase* Database::Lookup(const void* source) const {
  for (UpdateBase* entry : mEntries) {
    if (entry && entry->GetSource() == source) return entry;
  }
  return nullptr;
}

void Database::ClearAll() {
  for (UpdateBase* entry : mEntries) delete entry;
  mEntries.Clear();
}

}  // namespace Yr::RTU
