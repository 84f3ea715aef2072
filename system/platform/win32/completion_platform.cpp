#include "system/platform/completion_platform.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

namespace Yr::Platform {
namespace {

// ---- Events ----------------------------------------------------------------------------------

// A system event behind a count of references: copies of the handle value share one event,
// and the system handle is closed with the last reference.
struct EventObject {
  HANDLE event;
  std::atomic<uint32_t> references{1};
};

EventObject* AsEvent(EventHandle event) { return reinterpret_cast<EventObject*>(event); }

// ---- Ports -----------------------------------------------------------------------------------

// Unbuffered reads must start on a sector boundary, into sector-aligned memory, for a whole
// number of sectors. A page is a multiple of every sector size in use, so reads aligned to it
// suit any volume; the rest go through a cached handle.
constexpr uint32_t kUnbufferedAlignment = 4096;

// The mode bit that marks a handle opened with FILE_FLAG_NO_BUFFERING.
constexpr ULONG kNoIntermediateBuffering = 0x00000008;
constexpr ULONG kFileModeInformation = 16;

// The completion key of the packet that wakes waiters once a port is shut down; reads carry 0.
constexpr ULONG_PTR kWakeKey = 1;

struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
using QueryInformationFile = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, ULONG);

// Whether handle was opened unbuffered: the system keeps the flag as a mode of the handle.
bool IsUnbuffered(HANDLE handle) {
  static const auto query = reinterpret_cast<QueryInformationFile>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
  if (query == nullptr) return false;
  IoStatus status{};
  ULONG mode = 0;
  if (query(handle, &status, &mode, sizeof mode, kFileModeInformation) < 0) return false;
  return (mode & kNoIntermediateBuffering) != 0;
}

// One read in flight: the system's record first, so the record the port hands back leads to
// the rest.
struct Request {
  OVERLAPPED overlapped;
  void* userData;
};

class Port {
 public:
  Port(HANDLE port, HANDLE direct, HANDLE cached, PortSink sink)
      : mPort(port), mDirect(direct), mCached(cached), mSink(sink) {}
  ~Port() {
    Shutdown();
    ::CloseHandle(mPort);
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  bool StartRead(void* buffer, uint32_t size, uint64_t offset, void* userData) {
    auto* request = new (std::nothrow) Request{};
    if (request == nullptr) return false;
    request->overlapped.Offset = static_cast<DWORD>(offset);
    request->overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    request->userData = userData;
    {
      // Counted before the system sees it: a shutdown that begins now waits for this read.
      std::lock_guard<std::mutex> guard(mStartLock);
      if (mClosed.load(std::memory_order_acquire)) {
        delete request;
        return false;
      }
      mInFlight.fetch_add(1, std::memory_order_acq_rel);
    }
    if (::ReadFile(HandleFor(buffer, size, offset), buffer, size, nullptr, &request->overlapped)) return true;
    DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) return true;  // a packet follows either way
    // A read starting at or past the end fails at once and posts nothing: it still owes the
    // caller its one completion, a read of no bytes.
    if (error == ERROR_HANDLE_EOF && ::PostQueuedCompletionStatus(mPort, 0, 0, &request->overlapped)) return true;
    delete request;
    Finished();
    return false;
  }

  PortWaitResult Wait(uint32_t timeoutMs, PortCompletion* out) {
    if (mClosed.load(std::memory_order_acquire)) return PortWaitResult::kClosed;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    BOOL ok = ::GetQueuedCompletionStatus(mPort, &bytes, &key, &overlapped, timeoutMs);
    if (overlapped == nullptr) {
      if (key == kWakeKey && ok) {
        // Passed on, so that one packet wakes every waiter in turn.
        ::PostQueuedCompletionStatus(mPort, 0, kWakeKey, nullptr);
        return PortWaitResult::kClosed;
      }
      return mClosed.load(std::memory_order_acquire) ? PortWaitResult::kClosed : PortWaitResult::kTimedOut;
    }
    Take(ok, bytes, overlapped, out);
    return PortWaitResult::kCompleted;
  }

  void Shutdown() {
    {
      std::lock_guard<std::mutex> guard(mStartLock);
      if (mClosed.exchange(true, std::memory_order_acq_rel)) return;
    }
    // Other waiters may take some of the last completions: look again every few milliseconds
    // rather than sleep on a packet that another thread has taken.
    constexpr DWORD kDrainPollMs = 10;
    while (mInFlight.load(std::memory_order_acquire) > 0) {
      DWORD bytes = 0;
      ULONG_PTR key = 0;
      OVERLAPPED* overlapped = nullptr;
      BOOL ok = ::GetQueuedCompletionStatus(mPort, &bytes, &key, &overlapped, kDrainPollMs);
      if (overlapped == nullptr) continue;
      PortCompletion completion;
      Take(ok, bytes, overlapped, &completion);
    }
    // Nothing reads through the file any more: let it go now, not with the last reference,
    // so that the file can be replaced or removed once its owner has closed it.
    ::CloseHandle(mDirect);
    if (mCached != nullptr) ::CloseHandle(mCached);
    ::PostQueuedCompletionStatus(mPort, 0, kWakeKey, nullptr);
  }

  void Retain() { mReferences.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (mReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  HANDLE HandleFor(const void* buffer, uint32_t size, uint64_t offset) const {
    if (mCached == nullptr) return mDirect;
    bool aligned = reinterpret_cast<uintptr_t>(buffer) % kUnbufferedAlignment == 0 &&
                   offset % kUnbufferedAlignment == 0 && size % kUnbufferedAlignment == 0;
    return aligned ? mDirect : mCached;
  }

  // Hands one dequeued read to the sink; the end of the file is a read of no bytes.
  void Take(BOOL ok, DWORD bytes, OVERLAPPED* overlapped, PortCompletion* out) {
    auto* request = reinterpret_cast<Request*>(overlapped);
    out->userData = request->userData;
    if (ok) {
      out->result = bytes;
    } else {
      DWORD error = ::GetLastError();
      out->result = error == ERROR_HANDLE_EOF ? 0 : -static_cast<int64_t>(error);
    }
    delete request;
    out->succeeded = mSink ? mSink(*out) : out->result >= 0;
    Finished();
  }

  void Finished() { mInFlight.fetch_sub(1, std::memory_order_acq_rel); }

  HANDLE mPort;
  HANDLE mDirect;  // overlapped, unbuffered when the file was opened so
  HANDLE mCached;  // overlapped and cached, for the reads an unbuffered handle refuses; or null
  PortSink mSink;
  std::mutex mStartLock;
  std::atomic<bool> mClosed{false};
  std::atomic<int64_t> mInFlight{0};
  std::atomic<uint32_t> mReferences{1};
};

Port* AsPort(PortHandle port) { return reinterpret_cast<Port*>(port); }

PortBackend InitialBackend() {
  char choice[16];
  DWORD length = ::GetEnvironmentVariableA("YR_IO_QUEUE", choice, sizeof choice);
  if (length == 0 || length >= sizeof choice) return PortBackend::kAuto;
  if (std::strcmp(choice, "threads") == 0) return PortBackend::kThreads;
  if (std::strcmp(choice, "ring") == 0) return PortBackend::kRing;
  return PortBackend::kAuto;
}

std::atomic<PortBackend>& BackendChoice() {
  static std::atomic<PortBackend> choice{InitialBackend()};
  return choice;
}

// A second, overlapped handle of the same file: the caller's handle does synchronous
// transfers, which a completion port cannot serve.
HANDLE ReopenOverlapped(HANDLE file, bool unbuffered) {
  DWORD flags = FILE_FLAG_OVERLAPPED | (unbuffered ? FILE_FLAG_NO_BUFFERING : 0);
  // Shared as the file's own reader handle is, so that the port holds nothing more off.
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE handle = ::ReOpenFile(file, GENERIC_READ, kShare, flags);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

}  // namespace

// ---- Events ----------------------------------------------------------------------------------

EventHandle EventCreate() {
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return 0;
  auto* object = new (std::nothrow) EventObject{event};
  if (object == nullptr) ::CloseHandle(event);
  return reinterpret_cast<EventHandle>(object);
}

void EventRetain(EventHandle event) {
  if (event != 0) AsEvent(event)->references.fetch_add(1, std::memory_order_relaxed);
}

void EventClose(EventHandle event) {
  if (event == 0 || AsEvent(event)->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  ::CloseHandle(AsEvent(event)->event);
  delete AsEvent(event);
}

void EventSet(EventHandle event) {
  if (event != 0) ::SetEvent(AsEvent(event)->event);
}

void EventReset(EventHandle event) {
  if (event != 0) ::ResetEvent(AsEvent(event)->event);
}

bool EventIsSet(EventHandle event) {
  return event != 0 && ::WaitForSingleObject(AsEvent(event)->event, 0) == WAIT_OBJECT_0;
}

bool EventWait(EventHandle event, uint32_t timeoutMs) {
  static_assert(kWaitForever == INFINITE, "a wait without limit is the system's own");
  return event != 0 && ::WaitForSingleObject(AsEvent(event)->event, timeoutMs) == WAIT_OBJECT_0;
}

// ---- Ports -----------------------------------------------------------------------------------

PortBackend SetPortBackend(PortBackend backend) { return BackendChoice().exchange(backend); }

bool RingAvailable() { return false; }

PortHandle PortCreate(FileHandle file, PortSink sink) {
  if (file == kInvalidFileHandle || file == 0) return 0;
  if (BackendChoice().load() == PortBackend::kRing) return 0;
  HANDLE source = reinterpret_cast<HANDLE>(file);
  bool unbuffered = IsUnbuffered(source);
  HANDLE direct = ReopenOverlapped(source, unbuffered);
  if (direct == nullptr) return 0;
  HANDLE cached = unbuffered ? ReopenOverlapped(source, false) : nullptr;
  HANDLE port = ::CreateIoCompletionPort(direct, nullptr, 0, 0);
  if (port != nullptr && cached != nullptr && ::CreateIoCompletionPort(cached, port, 0, 0) == nullptr) {
    ::CloseHandle(cached);
    cached = nullptr;  // every read goes to the unbuffered handle as given
  }
  Port* object = port != nullptr ? new (std::nothrow) Port(port, direct, cached, sink) : nullptr;
  if (object == nullptr) {
    ::CloseHandle(direct);
    if (cached != nullptr) ::CloseHandle(cached);
    if (port != nullptr) ::CloseHandle(port);
    return 0;
  }
  return reinterpret_cast<PortHandle>(object);
}

void PortRetain(PortHandle port) {
  if (port != 0) AsPort(port)->Retain();
}

void PortRelease(PortHandle port) {
  if (port != 0) AsPort(port)->Release();
}

PortBackend PortBackendOf(PortHandle port) { return port != 0 ? PortBackend::kThreads : PortBackend::kAuto; }

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
