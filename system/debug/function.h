// Yr::Function<R (*)(Args...)>: a value that holds one pointer (possibly null) to a
// reference-counted callable object.
//
// The object is laid out as its table of virtual operations followed by a 32-bit reference
// count; the table has two slots, in this order: Destroy (called when the count falls to
// zero; the object frees itself) and Call. Copying a Function raises the count, destroying
// or overwriting one lowers it. The callable object belongs to whoever holds a reference:
// the last Function to let go destroys it.
//
// MakeFunction wraps any lambda or functor into such an object, allocated through the
// library's allocation entry points; it gives an empty Function when the allocator refuses.
// Callers may also derive their own objects from Detail::FunctionObject.
//
// Threads: the count changes atomically, so Function values that share an object may be
// copied and dropped on different threads. Assigning to one Function value from several
// threads at once is not safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "system/memory/allocator.h"

namespace Yr {

namespace Detail {

template <typename R, typename... Args>
class FunctionObject {
 public:
  // Slot 1: destroys the object and releases its storage.
  virtual void Destroy() = 0;
  // Slot 2.
  virtual R Call(Args... args) = 0;

  void AddRef() { mRefCount.fetch_add(1, std::memory_order_relaxed); }
  // Lowers the count and destroys the object when it reaches zero.
  void Release() {
    if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) Destroy();
  }
  uint32_t RefCount() const { return mRefCount.load(std::memory_order_relaxed); }

 protected:
  FunctionObject() = default;
  FunctionObject(const FunctionObject&) = delete;
  FunctionObject& operator=(const FunctionObject&) = delete;
  // Not virtual: the object is only ever ended through Destroy, so the table keeps its two
  // slots.
  ~FunctionObject() = default;

 private:
  // A new object starts with the one reference of the Function that adopts it.
  std::atomic<uint32_t> mRefCount{1};
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the count is one 32-bit word");

// The object MakeFunction builds around a functor.
template <typename F, typename R, typename... Args>
class FunctorObject final : public FunctionObject<R, Args...> {
 public:
  template <typename G>
  explicit FunctorObject(G&& functor) : mFunctor(std::forward<G>(functor)) {}

  void Destroy() override {
    this->~FunctorObject();
    Detail::Free(this);
  }
  R Call(Args... args) override { return mFunctor(std::forward<Args>(args)...); }

  static constexpr unsigned int kAlignment =
      alignof(FunctorObject) > kDefaultAlignment ? alignof(FunctorObject) : kDefaultAlignment;

 private:
  ~FunctorObject() = default;
  F mFunctor;
};

}  // namespace Detail

template <typename Signature>
class Function;

template <typename R, typename... Args>
class Function<R (*)(Args...)> {
 public:
  using Object = Detail::FunctionObject<R, Args...>;

  constexpr Function() : mObject(nullptr) {}
  // Adopts the object's current reference (a fresh object's count of 1) without raising it.
  explicit Function(Object* object) : mObject(object) {}
  Function(const Function& other) : mObject(other.mObject) {
    if (mObject) mObject->AddRef();
  }
  Function(Function&& other) noexcept : mObject(other.mObject) { other.mObject = nullptr; }
  ~Function() {
    if (mObject) mObject->Release();
  }

  Function& operator=(const Function& other) {
    // Raise before lowering, so assigning a Function that shares our object keeps it alive.
    Object* object = other.mObject;
    if (object) object->AddRef();
    Object* previous = mObject;
    mObject = object;
    if (previous) previous->Release();
    return *this;
  }
  Function& operator=(Function&& other) noexcept {
    if (this != &other) {
      Object* previous = mObject;
      mObject = other.mObject;
      other.mObject = nullptr;
      if (previous) previous->Release();
    }
    return *this;
  }

  // Calls the object; the Function must not be empty.
  R operator()(Args... args) const { return mObject->Call(std::forward<Args>(args)...); }

  explicit operator bool() const { return mObject != nullptr; }
  Object* GetObject() const { return mObject; }
  // References held on the object (0 when empty); for tests and diagnostics.
  uint32_t RefCount() const { return mObject ? mObject->RefCount() : 0; }

 private:
  Object* mObject;
};

static_assert(sizeof(Function<void (*)()>) == sizeof(void*), "a Function is one pointer");

namespace Detail {
template <typename Signature, typename F>
struct FunctorObjectFor;
template <typename R, typename... Args, typename F>
struct FunctorObjectFor<R (*)(Args...), F> {
  using Type = FunctorObject<F, R, Args...>;
};
}  // namespace Detail

// Wraps a lambda or functor into a reference-counted object allocated through the entry
// points: MakeFunction<void (*)(int)>([](int n) { ... }). Empty when the allocation fails.
template <typename Signature, typename F>
Function<Signature> MakeFunction(F&& functor) {
  using Impl = typename Detail::FunctorObjectFor<Signature, std::decay_t<F>>::Type;
  void* block = Detail::Allocate(static_cast<unsigned int>(sizeof(Impl)), Impl::kAlignment);
  if (block == nullptr) return Function<Signature>();
  return Function<Signature>(new (block) Impl(std::forward<F>(functor)));
}

}  // namespace Yr
