// Thread: one operating-system thread, started, named, prioritised, bound to a processor,
// suspended, resumed, asked to finish and waited for.
//
// Ownership: a Thread made by name owns the thread it starts; only an owning object stops
// (waits for) its thread, in Stop and in its destructor. Objects made by GetCurrThread or
// the wrapping constructor describe a thread without owning it. The system thread behind a
// handle is kept alive by a reference count, so a copy made by operator= never outlives
// what it refers to; a thread keeps its own reference until it has ended.
//
// Dense thread indices: every thread that calls GetCurrentThreadIndex gets the next free
// index of a 16-entry table, for the life of the process; other code keeps per-thread data
// in fixed arrays by that index. A 17th thread asking for an index is a fatal error.
//
// Threads: a Thread object is driven by its owner. RequestTermination from the owner and
// IsTerminationRequested polled by the thread are the one pair of calls made from two
// threads at once; the flag byte needs no lock for that. Suspend and Resume may be called
// from any thread, the suspended one included (it then stays stopped until another thread
// resumes it). GetCurrentThreadIndex and GetCurrentThreadID may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr {

class YR_API Thread {
 public:
  // One entry of the thread index table: the system id of the thread owning that index.
  struct Info {
    std::atomic<uint32_t> mId;
  };
  static constexpr unsigned int kMaxThreadIndices = 16;

  // An owned thread that is not running yet: Start runs it.
  explicit Thread(const StringId& name);
  // Stops the thread when owned, then releases the name.
  ~Thread();
  // Copies id, handle, name and the three flag bits.
  Thread& operator=(const Thread& other);

  // Creates the thread held at a start gate, running entry(argument), or entry(this) when
  // argument is null; the value entry returns is the exit code. Names the thread after this
  // object's name, makes idealProcessor (when 0 or more) its processor, and lets it run
  // unless startSuspended. Does not check for a thread already running and leaves `owned`
  // as it is. When the system refuses, there is no handle afterwards (IsStarted is false).
  void Start(unsigned int (*entry)(void*), void* argument, bool startSuspended, int idealProcessor);
  // Owned threads only: asks the thread to finish, lifts every suspension, waits for the
  // end and returns the exit code; afterwards there is no handle and the object may start a
  // new thread. 0 when not owned or not started. A thread that ignores the request and
  // never ends keeps Stop waiting for ever.
  unsigned int Stop();

  // Priority from -15 (idle) to 15 (time critical); other values are clamped. Applied only
  // when there is a handle.
  void SetPriority(int priority);
  // The priority read back from the system; 0 without a handle.
  int GetPriority() const;

  void RequestTermination();
  bool IsTerminationRequested() const;

  // Suspension counts: a thread suspended twice runs again after the second Resume. Suspend
  // returns once the thread has stopped executing.
  void Suspend();
  void Resume();

  bool IsStarted() const { return mHandle != nullptr; }
  bool IsSuspended() const { return (mFlags.load(std::memory_order_relaxed) & kSuspended) != 0; }
  unsigned long GetID() const { return mId; }
  bool IsThisThread() const;

  static unsigned long GetCurrentThreadID();
  // Describes the calling thread: its id, the current-thread pseudo-handle, no name, no flags
  // (not owned, so never stopped). Priority and processor calls act on the calling thread;
  // suspension through the pseudo-handle does nothing, since no one could resume it.
  static Thread GetCurrThread();
  // The calling thread's dense index, handed out on its first call. Later calls read it
  // from the thread's own cache: one thread-local load, no table scan, no system call.
#if defined(_WIN32)
  // A DLL's thread-local variables cannot be read by its users' inline code on Windows, so
  // there the read is one call into the library.
  static unsigned int GetCurrentThreadIndex();
#else
  static unsigned int GetCurrentThreadIndex() { return CachedThreadIndex(); }
#endif
  // How many indices are in use: valid indices are 0 to GetMaxThreads() - 1.
  static unsigned int GetMaxThreads();

 protected:
  // Wraps an existing thread: the handle must be null, the pseudo-handle of GetCurrThread
  // or a handle of a Thread of this library.
  Thread(unsigned long* handle, unsigned long id, bool suspended);
  // A null name and nothing else: copying threads is not offered.
  Thread(const Thread& other);
  void SetProcessor(unsigned int processor);

 private:
  enum : uint8_t {
    kOwned = 1u << 0,
    kSuspended = 1u << 1,
    kTerminationRequested = 1u << 2,
  };
  void SetFlag(uint8_t flag, bool on);
  bool HasFlag(uint8_t flag) const { return (mFlags.load(std::memory_order_relaxed) & flag) != 0; }
  void ReleaseHandle();

  uint32_t mId;
  unsigned long* mHandle;
  StringId mName;
  std::atomic<uint8_t> mFlags;

  static Info mThreads[kMaxThreadIndices];
  static std::atomic<unsigned int> mNextThread;
  // The calling thread's index plus one, 0 before its first lookup. A new thread starts at
  // 0, so a thread that reuses an ended thread's system id looks itself up in the table
  // and gets the index that id owns, as the table alone would answer.
  static thread_local unsigned int msIndexCache;
  // The table lookup behind the cache: finds or hands out the index, then fills the cache.
  static unsigned int LookUpThreadIndex();
  static unsigned int CachedThreadIndex() {
    const unsigned int cached = msIndexCache;
    return cached != 0 ? cached - 1 : LookUpThreadIndex();
  }
};

}  // namespace Yr
