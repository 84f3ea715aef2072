#include "system/thread/thread.h"

#include <cstdio>
#include <new>

#include "system/memory/allocator.h"
#include "system/memory/startup.h"
#include "system/platform/platform.h"
#include "system/platform/thread_platform.h"
#include "system/thread/critical_section.h"

namespace Yr {

Thread::Info Thread::mThreads[Thread::kMaxThreadIndices] = {};
std::atomic<unsigned int> Thread::mNextThread{0};
thread_local unsigned int Thread::msIndexCache = 0;

namespace {

// What a handle points to: a reference count and the platform's thread record, in one
// block from the library's allocator. The owner's handle holds one reference, the running
// thread another (dropped when it has ended), and every copy made by operator= one more.
struct ThreadBlock {
  std::atomic<uint32_t> references;
  Platform::ThreadRecord* record;
};
constexpr unsigned int kBlockHeaderSize =
    (sizeof(ThreadBlock) + Detail::kDefaultAlignment - 1) / Detail::kDefaultAlignment * Detail::kDefaultAlignment;

// The handle that stands for "the calling thread", never dereferenced.
unsigned long* CurrentThreadPseudoHandle() { return reinterpret_cast<unsigned long*>(~uintptr_t{1}); }

bool IsRealHandle(unsigned long* handle) { return handle != nullptr && handle != CurrentThreadPseudoHandle(); }

ThreadBlock* BlockOf(unsigned long* handle) {
  return IsRealHandle(handle) ? reinterpret_cast<ThreadBlock*>(handle) : nullptr;
}

// The platform record of a handle; null stands for the calling thread there.
Platform::ThreadRecord* RecordOf(unsigned long* handle) {
  ThreadBlock* block = BlockOf(handle);
  return block ? block->record : nullptr;
}

void Retain(unsigned long* handle) {
  if (ThreadBlock* block = BlockOf(handle)) block->references.fetch_add(1, std::memory_order_relaxed);
}

void Release(ThreadBlock* block) {
  if (block->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  Platform::ThreadRecordDestroy(block->record);
  block->~ThreadBlock();
  Detail::Free(block);
}

// Runs on the thread itself once it has ended.
void ReleaseFromThread(void* context) { Release(static_cast<ThreadBlock*>(context)); }

// The thread index lock: built by the first thread that needs an index, torn down at
// unload before everything the start-up table built.
struct ThreadIndexLock {
  ThreadIndexLock() { Detail::StartupTrace("build", "thread index lock"); }
  ~ThreadIndexLock() { Detail::StartupTrace("teardown", "thread index lock"); }
  CriticalSection section;
};

CriticalSection& IndexLock() {
  static ThreadIndexLock lock;
  return lock.section;
}

}  // namespace

Thread::Thread(const StringId& name) : mId(0), mHandle(nullptr), mName(name), mFlags(kOwned | kSuspended) {}

Thread::Thread(unsigned long* handle, unsigned long id, bool suspended)
    : mId(static_cast<uint32_t>(id)), mHandle(handle), mName(), mFlags(suspended ? kSuspended : 0) {
  Retain(mHandle);
}

Thread::Thread(const Thread&) : mId(0), mHandle(nullptr), mName(), mFlags(0) {}

Thread::~Thread() {
  Stop();
  ReleaseHandle();
}

Thread& Thread::operator=(const Thread& other) {
  if (this == &other) return *this;
  Retain(other.mHandle);
  ReleaseHandle();
  mId = other.mId;
  mHandle = other.mHandle;
  mName = other.mName;
  mFlags.store(other.mFlags.load(std::memory_order_relaxed), std::memory_order_relaxed);
  return *this;
}

void Thread::SetFlag(uint8_t flag, bool on) {
  if (on) {
    mFlags.fetch_or(flag, std::memory_order_relaxed);
  } else {
    mFlags.fetch_and(static_cast<uint8_t>(~flag), std::memory_order_relaxed);
  }
}

void Thread::ReleaseHandle() {
  if (ThreadBlock* block = BlockOf(mHandle)) Release(block);
  mHandle = nullptr;
}

void Thread::Start(unsigned int (*entry)(void*), void* argument, bool startSuspended, int idealProcessor) {
  // A handle still held from an earlier start is let go; that thread keeps running on its
  // own reference.
  ReleaseHandle();
  mId = 0;
  SetFlag(kSuspended, startSuspended);

  const unsigned int size = kBlockHeaderSize + static_cast<unsigned int>(Platform::ThreadRecordSize());
  void* memory = Detail::Allocate(size);
  if (memory == nullptr) return;
  auto* block = new (memory) ThreadBlock;
  block->references.store(2, std::memory_order_relaxed);  // this handle and the thread
  block->record = Platform::ThreadCreate(static_cast<char*>(memory) + kBlockHeaderSize, entry,
                                         argument ? argument : this, &ReleaseFromThread, block);
  if (block->record == nullptr) {
    block->~ThreadBlock();
    Detail::Free(memory);
    return;
  }
  mHandle = reinterpret_cast<unsigned long*>(block);
  mId = Platform::ThreadId(block->record);

  Platform::ThreadSetName(block->record, mName.CStr());
  if (idealProcessor >= 0) SetProcessor(static_cast<unsigned int>(idealProcessor));
  if (!startSuspended) {
    Platform::ThreadResume(block->record);
    SetFlag(kSuspended, false);
  }
}

unsigned int Thread::Stop() {
  if (!HasFlag(kOwned)) return 0;
  if (mHandle == nullptr) return 0;
  SetFlag(kTerminationRequested, true);
  unsigned int code = 0;
  if (Platform::ThreadRecord* record = RecordOf(mHandle)) {
    // Every suspension is lifted, not just one: a thread suspended twice could otherwise
    // never reach its end, and Stop would wait for ever.
    while (Platform::ThreadResume(record) > 1) {
    }
    SetFlag(kSuspended, false);
    code = Platform::ThreadWait(record);
  }
  ReleaseHandle();
  SetFlag(kSuspended, true);
  return code;
}

void Thread::SetPriority(int priority) {
  if (mHandle) Platform::ThreadSetPriority(RecordOf(mHandle), priority);
}

int Thread::GetPriority() const { return mHandle ? Platform::ThreadGetPriority(RecordOf(mHandle)) : 0; }

void Thread::RequestTermination() { SetFlag(kTerminationRequested, true); }

bool Thread::IsTerminationRequested() const { return HasFlag(kTerminationRequested); }

void Thread::Suspend() {
  // The flag is set first: a thread suspending itself only comes back once resumed.
  SetFlag(kSuspended, true);
  if (Platform::ThreadRecord* record = RecordOf(mHandle)) Platform::ThreadSuspend(record);
}

void Thread::Resume() {
  if (Platform::ThreadRecord* record = RecordOf(mHandle)) Platform::ThreadResume(record);
  SetFlag(kSuspended, false);
}

void Thread::SetProcessor(unsigned int processor) {
  if (mHandle) Platform::ThreadSetProcessor(RecordOf(mHandle), processor);
}

bool Thread::IsThisThread() const { return Platform::CurrentThreadId() == mId; }

unsigned long Thread::GetCurrentThreadID() { return Platform::CurrentThreadId(); }

Thread Thread::GetCurrThread() { return Thread(CurrentThreadPseudoHandle(), Platform::CurrentThreadId(), false); }

#if defined(_WIN32)
unsigned int Thread::GetCurrentThreadIndex() { return CachedThreadIndex(); }
#endif

unsigned int Thread::LookUpThreadIndex() {
  const uint32_t id = Platform::CurrentThreadId();
  // Lock-free lookup: only this thread can append its own id, so the scan cannot miss it.
  const unsigned int count = mNextThread.load(std::memory_order_acquire);
  for (unsigned int i = 0; i < count; ++i) {
    if (mThreads[i].mId.load(std::memory_order_relaxed) == id) {
      msIndexCache = i + 1;
      return i;
    }
  }
  CriticalSection::Guard guard(IndexLock());
  const unsigned int index = mNextThread.load(std::memory_order_relaxed);
  if (index >= kMaxThreadIndices) {
    // Every user of the index keeps arrays of kMaxThreadIndices entries: handing out this
    // index would make them write past their ends.
    char line[160];
    std::snprintf(line, sizeof line,
                  "Yr: fatal: thread index table full: thread %u asked for an index after all %u were handed out\n",
                  static_cast<unsigned int>(id), kMaxThreadIndices);
    Platform::FatalError(line);
  }
  mThreads[index].mId.store(id, std::memory_order_relaxed);
  mNextThread.store(index + 1, std::memory_order_release);
  msIndexCache = index + 1;
  return index;
}

unsigned int Thread::GetMaxThreads() { return mNextThread.load(std::memory_order_acquire); }

}  // namespace Yr
