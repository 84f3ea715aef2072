// 64-bit offsets on every build, the 32-bit one included.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "system/platform/completion_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <liburing.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "system/platform/platform.h"
#include "system/platform/signal_platform.h"

namespace Yr::Platform {
namespace {

using Clock = std::chrono::steady_clock;

// A deadline for a wait of timeoutMs; forever has none.
struct Deadline {
  explicit Deadline(uint32_t timeoutMs)
      : forever(timeoutMs == kWaitForever), at(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}
  bool Passed() const { return !forever && Clock::now() >= at; }
  bool forever;
  Clock::time_point at;
};

// ---- Events ----------------------------------------------------------------------------------

struct EventObject {
  std::mutex lock;
  std::condition_variable signalled;
  bool set = false;
  std::atomic<uint32_t> references{1};
};

EventObject* AsEvent(EventHandle event) { return reinterpret_cast<EventObject*>(event); }

// ---- Ports -----------------------------------------------------------------------------------

// How reads of one file reach the system: which descriptor serves a read of a given shape.
class ReadRoute {
 public:
  explicit ReadRoute(int descriptor) : mDescriptor(descriptor) {
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || (flags & O_DIRECT) == 0) return;
    struct statx info;
    if (::statx(descriptor, "", AT_EMPTY_PATH, STATX_DIOALIGN, &info) != 0 || (info.stx_mask & STATX_DIOALIGN) == 0) {
      return;  // not reported: reads go to the system as given
    }
    mMemoryAlign = info.stx_dio_mem_align;
    mOffsetAlign = info.stx_dio_offset_align;
    // A second description of the same file, without O_DIRECT, for the reads the direct one
    // would refuse.
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", descriptor);
    mCached = ::open(name, O_RDONLY | O_CLOEXEC);
  }
  ~ReadRoute() {
    if (mCached >= 0) ::close(mCached);
  }
  ReadRoute(const ReadRoute&) = delete;
  ReadRoute& operator=(const ReadRoute&) = delete;

  int DescriptorFor(const void* buffer, uint32_t size, uint64_t offset) const {
    if (mCached < 0) return mDescriptor;
    // An alignment of 0 means the file system does no direct transfers for this file.
    if (mMemoryAlign == 0 || mOffsetAlign == 0) return mCached;
    bool aligned = reinterpret_cast<uintptr_t>(buffer) % mMemoryAlign == 0 && offset % mOffsetAlign == 0 &&
                   size % mOffsetAlign == 0;
    return aligned ? mDescriptor : mCached;
  }

 private:
  int mDescriptor;
  int mCached = -1;
  uint32_t mMemoryAlign = 0;
  uint32_t mOffsetAlign = 0;
};

class Port {
 public:
  Port(int descriptor, PortSink sink, PortBackend backend) : mRoute(descriptor), mSink(sink), mBackend(backend) {}
  virtual ~Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  virtual bool Start(int descriptor, void* buffer, uint32_t size, uint64_t offset, void* userData) = 0;
  virtual PortWaitResult Wait(uint32_t timeoutMs, PortCompletion* out) = 0;
  virtual void Shutdown() = 0;

  bool StartRead(void* buffer, uint32_t size, uint64_t offset, void* userData) {
    // What the caller wrote into its record before the read reaches the thread that takes
    // the completion. The kernel orders that through the ring, but a race detector sees no
    // edge there: this release store and the acquire load in Deliver make it explicit.
    mStarted.fetch_add(1, std::memory_order_release);
    return Start(mRoute.DescriptorFor(buffer, size, offset), buffer, size, offset, userData);
  }
  PortBackend Backend() const { return mBackend; }
  void Retain() { mReferences.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (mReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      Shutdown();
      delete this;
    }
  }

 protected:
  void Deliver(PortCompletion& completion) const {
    (void)mStarted.load(std::memory_order_acquire);
    completion.succeeded = mSink ? mSink(completion) : completion.result >= 0;
  }

  ReadRoute mRoute;
  PortSink mSink;
  std::atomic<bool> mClosed{false};
  std::atomic<uint32_t> mStarted{0};  // reads started: the edge from starter to taker

 private:
  PortBackend mBackend;
  std::atomic<uint32_t> mReferences{1};
};

Port* AsPort(PortHandle port) { return reinterpret_cast<Port*>(port); }

// ---- io_uring ------------------------------------------------------------------------------

// Submission entries: reads are submitted one by one as they start, so a few suffice.
// Completion entries: room for many reads in flight before the kernel has to keep
// completions on its overflow list.
constexpr unsigned kRingEntries = 64;
constexpr unsigned kRingCompletions = 1024;
// user_data of the no-op that wakes the waiters once a port is shut down.
constexpr uint64_t kWakeMarker = ~0ull;

bool InitRing(io_uring* ring) {
  io_uring_params params;
  std::memset(&params, 0, sizeof params);
  params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_CLAMP;
  params.cq_entries = kRingCompletions;
  if (io_uring_queue_init_params(kRingEntries, ring, &params) != 0) return false;
  // Waits with a time limit must not touch the submission queue (EXT_ARG), and completions
  // must never be dropped (NODROP); kernels without both get the thread-backed queue.
  constexpr uint32_t kNeeded = IORING_FEAT_EXT_ARG | IORING_FEAT_NODROP;
  if ((params.features & kNeeded) != kNeeded) {
    io_uring_queue_exit(ring);
    return false;
  }
  return true;
}

class RingPort final : public Port {
 public:
  RingPort(int descriptor, PortSink sink, const io_uring& ring)
      : Port(descriptor, sink, PortBackend::kRing), mRing(ring) {}
  ~RingPort() override { io_uring_queue_exit(&mRing); }

  bool Start(int descriptor, void* buffer, uint32_t size, uint64_t offset, void* userData) override {
    std::lock_guard<std::mutex> guard(mSubmitLock);
    if (mClosed.load(std::memory_order_acquire)) return false;
    io_uring_sqe* entry = io_uring_get_sqe(&mRing);
    if (entry == nullptr) {
      SubmitLocked();
      entry = io_uring_get_sqe(&mRing);
      if (entry == nullptr) return false;
    }
    io_uring_prep_read(entry, descriptor, buffer, size, offset);
    io_uring_sqe_set_data(entry, userData);
    // A read of cached data runs inside the submission, on this thread. With reads already
    // in flight, hand it to the kernel's workers instead, so that several copy at once.
    if (mInFlight.fetch_add(1, std::memory_order_relaxed) > 0) io_uring_sqe_set_flags(entry, IOSQE_ASYNC);
    // Once prepared the entry is in the ring: a refused submission leaves it for the next
    // one (SubmitLocked remembers), so the read is started either way.
    SubmitLocked();
    return true;
  }

  PortWaitResult Wait(uint32_t timeoutMs, PortCompletion* out) override {
    Deadline deadline(timeoutMs);
    for (;;) {
      if (mClosed.load(std::memory_order_acquire)) return PortWaitResult::kClosed;
      if (Take(out)) return PortWaitResult::kCompleted;
      if (timeoutMs == 0 || deadline.Passed()) return PortWaitResult::kTimedOut;
      Sleep(deadline);
    }
  }

  void Shutdown() override {
    {
      std::lock_guard<std::mutex> guard(mSubmitLock);
      if (mClosed.exchange(true, std::memory_order_acq_rel)) return;
      SubmitLocked();
    }
    PortCompletion completion;
    while (mInFlight.load(std::memory_order_acquire) > 0) {
      if (!Take(&completion)) Sleep(Deadline(kWaitForever));
    }
    // Waiters asleep in the kernel wake on the no-op's completion and see the port closed.
    std::lock_guard<std::mutex> guard(mSubmitLock);
    if (io_uring_sqe* entry = io_uring_get_sqe(&mRing)) {
      io_uring_prep_nop(entry);
      io_uring_sqe_set_data64(entry, kWakeMarker);
      mUnsubmitted = true;
      SubmitLocked();
    }
  }

 private:
  void SubmitLocked() {
    int submitted;
    do {
      submitted = io_uring_submit(&mRing);
    } while (submitted == -EINTR);
    mUnsubmitted = submitted < 0;
  }

  // Takes one completion when there is one; the sink sees it before this returns.
  bool Take(PortCompletion* out) {
    {
      std::lock_guard<std::mutex> guard(mTakeLock);
      io_uring_cqe* entry = nullptr;
      if (io_uring_peek_cqe(&mRing, &entry) != 0 || entry == nullptr) return false;
      if (io_uring_cqe_get_data64(entry) == kWakeMarker) return false;  // left for every waiter to see
      out->userData = io_uring_cqe_get_data(entry);
      out->result = entry->res;
      io_uring_cqe_seen(&mRing, entry);
    }
    mInFlight.fetch_sub(1, std::memory_order_acq_rel);
    Deliver(*out);
    return true;
  }

  // Sleeps until a completion is posted or the deadline passes. Several threads may sleep
  // here at once: each only looks, and Take decides who gets the completion.
  void Sleep(const Deadline& deadline) {
    bool stuck;
    {
      std::lock_guard<std::mutex> guard(mSubmitLock);
      if (mUnsubmitted) SubmitLocked();
      stuck = mUnsubmitted;
    }
    constexpr int64_t kNanosecondsPerSecond = 1000000000;
    // While the kernel refuses submissions, poll every millisecond: the completion waited
    // for cannot come before its entry is in.
    constexpr int64_t kStuckPoll = 1000000;
    int64_t left = stuck ? kStuckPoll : -1;
    if (!deadline.forever) {
      int64_t toDeadline = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.at - Clock::now()).count();
      if (toDeadline <= 0) return;
      if (left < 0 || toDeadline < left) left = toDeadline;
    }
    __kernel_timespec wait = {left / kNanosecondsPerSecond, left % kNanosecondsPerSecond};
    io_uring_cqe* ignored = nullptr;
    io_uring_wait_cqes(&mRing, &ignored, 1, left >= 0 ? &wait : nullptr, nullptr);
  }

  io_uring mRing;
  std::mutex mSubmitLock;
  std::mutex mTakeLock;
  std::atomic<int64_t> mInFlight{0};
  bool mUnsubmitted = false;  // guarded by mSubmitLock
};

// ---- Thread-backed queue -------------------------------------------------------------------

struct Job {
  int descriptor;
  void* buffer;
  uint32_t size;
  uint64_t offset;
  void* userData;
};

int64_t ReadAt(const Job& job) {
  uint32_t done = 0;
  char* cursor = static_cast<char*>(job.buffer);
  while (done < job.size) {
    ssize_t count = ::pread(job.descriptor, cursor + done, job.size - done, static_cast<off_t>(job.offset + done));
    if (count < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int64_t>(done) : -static_cast<int64_t>(errno);
    }
    if (count == 0) break;  // end of the file: a short read
    done += static_cast<uint32_t>(count);
  }
  return done;
}

class ThreadPort final : public Port {
 public:
  ThreadPort(int descriptor, PortSink sink) : Port(descriptor, sink, PortBackend::kThreads) {}
  ~ThreadPort() override = default;

  bool Start(int descriptor, void* buffer, uint32_t size, uint64_t offset, void* userData) override {
    std::unique_lock<std::mutex> guard(mLock);
    if (mClosed.load(std::memory_order_relaxed)) return false;
    mJobs.push_back(Job{descriptor, buffer, size, offset, userData});
    ++mInFlight;
    // A refused thread is no failure while others serve the queue.
    if (mIdle == 0 && mWorkerCount < kPortWorkers) StartWorker();
    if (mWorkerCount == 0) {
      mJobs.pop_back();  // nobody could ever serve it
      --mInFlight;
      return false;
    }
    mWork.notify_one();
    return true;
  }

  PortWaitResult Wait(uint32_t timeoutMs, PortCompletion* out) override {
    Deadline deadline(timeoutMs);
    std::unique_lock<std::mutex> guard(mLock);
    for (;;) {
      if (mClosed.load(std::memory_order_relaxed)) return PortWaitResult::kClosed;
      if (!mDone.empty()) {
        TakeLocked(guard, out);
        return PortWaitResult::kCompleted;
      }
      if (timeoutMs == 0 || deadline.Passed()) return PortWaitResult::kTimedOut;
      if (deadline.forever) {
        mFinished.wait(guard);
      } else {
        mFinished.wait_until(guard, deadline.at);
      }
    }
  }

  void Shutdown() override {
    {
      std::unique_lock<std::mutex> guard(mLock);
      if (mClosed.exchange(true, std::memory_order_relaxed)) return;
      PortCompletion completion;
      while (mInFlight > 0) {
        if (mDone.empty()) {
          mFinished.wait(guard);
        } else {
          TakeLocked(guard, &completion);
        }
      }
      mStopping = true;
    }
    mWork.notify_all();
    mFinished.notify_all();  // waiters return kClosed
    for (uint32_t i = 0; i < mWorkerCount; ++i) pthread_join(mWorkers[i], nullptr);
    mWorkerCount = 0;
  }

 private:
  // Hands the oldest completion to the sink outside the lock.
  void TakeLocked(std::unique_lock<std::mutex>& guard, PortCompletion* out) {
    *out = mDone.front();
    mDone.pop_front();
    --mInFlight;
    guard.unlock();
    Deliver(*out);
    guard.lock();
  }

  bool StartWorker() {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &ThreadPort::WorkerEntry, this) != 0) return false;
    mWorkers[mWorkerCount++] = thread;
    return true;
  }

  static void* WorkerEntry(void* self) {
    void* signalStack = AcquireThreadSignalStack();
    pthread_setname_np(pthread_self(), "yr-read-queue");
    static_cast<ThreadPort*>(self)->Serve();
    ReleaseThreadSignalStack(signalStack);
    return nullptr;
  }

  void Serve() {
    std::unique_lock<std::mutex> guard(mLock);
    for (;;) {
      while (mJobs.empty() && !mStopping) {
        ++mIdle;
        mWork.wait(guard);
        --mIdle;
      }
      if (mJobs.empty()) return;  // stopping
      Job job = mJobs.front();
      mJobs.pop_front();
      guard.unlock();
      int64_t result = ReadAt(job);
      guard.lock();
      mDone.push_back(PortCompletion{job.userData, result, false});
      mFinished.notify_all();
    }
  }

  std::mutex mLock;
  std::condition_variable mWork;
  std::condition_variable mFinished;
  std::deque<Job> mJobs;
  std::deque<PortCompletion> mDone;
  pthread_t mWorkers[kPortWorkers];
  uint32_t mWorkerCount = 0;
  uint32_t mIdle = 0;
  int64_t mInFlight = 0;
  bool mStopping = false;
};

PortBackend InitialBackend() {
  const char* choice = Environment("YR_IO_QUEUE");
  if (choice != nullptr && std::strcmp(choice, "threads") == 0) return PortBackend::kThreads;
  if (choice != nullptr && std::strcmp(choice, "ring") == 0) return PortBackend::kRing;
  return PortBackend::kAuto;
}

std::atomic<PortBackend>& BackendChoice() {
  static std::atomic<PortBackend> choice{InitialBackend()};
  return choice;
}

}  // namespace

// ---- Events ----------------------------------------------------------------------------------

EventHandle EventCreate() { return reinterpret_cast<EventHandle>(new EventObject); }

void EventRetain(EventHandle event) {
  if (event != 0) AsEvent(event)->references.fetch_add(1, std::memory_order_relaxed);
}

void EventClose(EventHandle event) {
  if (event != 0 && AsEvent(event)->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete AsEvent(event);
}

void EventSet(EventHandle event) {
  if (event == 0) return;
  EventObject* object = AsEvent(event);
  std::lock_guard<std::mutex> guard(object->lock);
  object->set = true;
  object->signalled.notify_all();
}

void EventReset(EventHandle event) {
  if (event == 0) return;
  EventObject* object = AsEvent(event);
  std::lock_guard<std::mutex> guard(object->lock);
  object->set = false;
}

bool EventIsSet(EventHandle event) {
  if (event == 0) return false;
  EventObject* object = AsEvent(event);
  std::lock_guard<std::mutex> guard(object->lock);
  return object->set;
}

bool EventWait(EventHandle event, uint32_t timeoutMs) {
  if (event == 0) return false;
  EventObject* object = AsEvent(event);
  std::unique_lock<std::mutex> guard(object->lock);
  if (timeoutMs == kWaitForever) {
    object->signalled.wait(guard, [object] { return object->set; });
    return true;
  }
  return object->signalled.wait_for(guard, std::chrono::milliseconds(timeoutMs), [object] { return object->set; });
}

// ---- Ports -----------------------------------------------------------------------------------

PortBackend SetPortBackend(PortBackend backend) { return BackendChoice().exchange(backend); }

bool RingAvailable() {
  static const bool available = [] {
    io_uring ring;
    if (!InitRing(&ring)) return false;
    io_uring_queue_exit(&ring);
    return true;
  }();
  return available;
}

PortHandle PortCreate(FileHandle file, PortSink sink) {
  if (file < 0) return 0;
  int descriptor = static_cast<int>(file);
  PortBackend choice = BackendChoice().load();
  if (choice != PortBackend::kThreads) {
    io_uring ring;
    if (InitRing(&ring)) return reinterpret_cast<PortHandle>(static_cast<Port*>(new RingPort(descriptor, sink, ring)));
    if (choice == PortBackend::kRing) return 0;
  }
  return reinterpret_cast<PortHandle>(static_cast<Port*>(new ThreadPort(descriptor, sink)));
}

void PortRetain(PortHandle port) {
  if (port != 0) AsPort(port)->Retain();
}

void PortRelease(PortHandle port) {
  if (port != 0) AsPort(port)->Release();
}

PortBackend PortBackendOf(PortHandle port) { return port != 0 ? AsPort(port)->Backend() : PortBackend::kAuto; }

bool PortStartRead(PortHandle port, void* buffer, uint32_t size, uint64_t offset, void* userData) {
  return port != 0 && AsPort(port)->StartRead(buffer, size, offset, userData);
}

PortWaitResult PortWait(PortHandle port, uint32_t timeoutMs, PortCompletion* out) {
  if (port == 0) return PortWaitResult::kClosed;
  return AsPort(port)->Wait(timeoutMs, out);
}

void PortShutdown(PortHandle port) {
  if (port != 0) AsPort(port)->Shutdown();
}

}  // namespace Yr::Platform
