// CriticalSection: the library's thin wrapper of a recursive system lock. Built when
// constructed, deleted when destroyed; the owning thread may enter it again.
#pragma once

#include "system/platform/platform.h"

namespace Yr {

class YR_API CriticalSection {
 public:
  CriticalSection() { Platform::MutexInit(mMutex); }
  ~CriticalSection() { Platform::MutexDestroy(mMutex); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Lock() { Platform::MutexLock(mMutex); }
  bool TryLock() { return Platform::MutexTryLock(mMutex); }
  void Unlock() { Platform::MutexUnlock(mMutex); }

  // Scoped entry.
  class Guard {
   public:
    explicit Guard(CriticalSection& section) : mSection(section) { mSection.Lock(); }
    ~Guard() { mSection.Unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    CriticalSection& mSection;
  };

 private:
  Platform::MutexStorage mMutex;
};

}  // namespace Yr
