// StaticSingleton<T>: a lazily built process-wide instance. Ref() builds a function-local
// static on first use, which registers its teardown at that moment, so singletons built
// late are torn down early at unload.
#pragma once

namespace Yr {

template <typename T>
class StaticSingleton {
 public:
  static T& Ref() {
    static T instance;
    return instance;
  }
  static T* Ptr() { return &Ref(); }
  StaticSingleton& operator=(const StaticSingleton&) { return *this; }
};

}  // namespace Yr
