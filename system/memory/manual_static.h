// Storage for a process-wide object that the start-up frame builds and tears down
// explicitly. The storage itself has no constructor or destructor, so the compiler never
// schedules one behind the frame's back: the object lives exactly from Build to Destroy.
#pragma once

#include <new>
#include <utility>

namespace Yr::Detail {

template <typename T>
class ManualStatic {
 public:
  template <typename... Args>
  T& Build(Args&&... args) {
    T* object = new (mStorage) T(std::forward<Args>(args)...);
    mBuilt = true;
    return *object;
  }
  void Destroy() {
    if (!mBuilt) return;
    mBuilt = false;
    Get().~T();
  }
  bool Built() const { return mBuilt; }
  T& Get() { return *std::launder(reinterpret_cast<T*>(mStorage)); }
  T* operator->() { return &Get(); }

 private:
  alignas(T) unsigned char mStorage[sizeof(T)];
  bool mBuilt;
};

}  // namespace Yr::Detail
