#include "system/io/file.h"

#include <cstddef>
#include <cstring>

#include "system/platform/completion_platform.h"

namespace Yr {

// The record begins as the system's overlapped-transfer record did: two pointer-sized
// status words, the offset words and the event handle.
struct FileAsyncAccess {
  static constexpr size_t kHeader = 2 * sizeof(uintptr_t) + 2 * sizeof(uint32_t) + sizeof(intptr_t);
  static_assert(offsetof(File::FileAsync, mOffset) == 2 * sizeof(uintptr_t));
  static_assert(offsetof(File::FileAsync, mEvent) == 2 * sizeof(uintptr_t) + 2 * sizeof(uint32_t));
  static_assert(offsetof(File::FileAsync, mUser) == kHeader);
#if UINTPTR_MAX == 0xFFFFFFFFu
  static_assert(kHeader == 20, "five 32-bit words on the 32-bit build");
#endif

  // The sink of every File's port: fills in the record of the read that finished and sets
  // its event. While the read was pending its second word held the size asked for.
  static bool Completed(const Platform::PortCompletion& completion) {
    auto* request = static_cast<File::FileAsync*>(completion.userData);
    uintptr_t asked = request->mTransferred;
    if (completion.result < 0) {
      request->mStatus = static_cast<uintptr_t>(-completion.result);
      request->mTransferred = 0;
    } else if (completion.result == 0 && asked != 0) {
      request->mStatus = kAsyncEndOfFile;
      request->mTransferred = 0;
    } else {
      request->mStatus = kAsyncOk;
      request->mTransferred = static_cast<uintptr_t>(completion.result);
    }
    bool succeeded = request->mStatus == kAsyncOk;
    Platform::EventSet(request->mEvent);
    return succeeded;
  }
};

// ---- FileAsync ---------------------------------------------------------------------------------

File::FileAsync::FileAsync(const char*) : mEvent(Platform::EventCreate()) {}

File::FileAsync::~FileAsync() { Platform::EventClose(mEvent); }

File::FileAsync::FileAsync(const FileAsync& other)
    : mStatus(other.mStatus),
      mTransferred(other.mTransferred),
      mOffset(other.mOffset),
      mOffsetHigh(other.mOffsetHigh),
      mEvent(other.mEvent) {
  Platform::EventRetain(mEvent);
  std::memcpy(mUser, other.mUser, sizeof mUser);
}

File::FileAsync& File::FileAsync::operator=(const FileAsync& other) {
  if (this == &other) return *this;
  // Copying the handle shares the event: each record drops its own reference when it goes.
  Platform::EventRetain(other.mEvent);
  Platform::EventClose(mEvent);
  mStatus = other.mStatus;
  mTransferred = other.mTransferred;
  mOffset = other.mOffset;
  mOffsetHigh = other.mOffsetHigh;
  mEvent = other.mEvent;
  std::memcpy(mUser, other.mUser, sizeof mUser);
  return *this;
}

// ---- FileCompletion ----------------------------------------------------------------------------

File::FileCompletion::FileCompletion(const FileCompletion& other) : mPort(other.mPort) { Platform::PortRetain(mPort); }

File::FileCompletion& File::FileCompletion::operator=(const FileCompletion& other) {
  Platform::PortRetain(other.mPort);
  Platform::PortRelease(mPort);
  mPort = other.mPort;
  return *this;
}

File::FileCompletion::~FileCompletion() { Release(); }

void File::FileCompletion::Release() {
  Platform::PortRelease(mPort);
  mPort = 0;
}

bool File::FileCompletion::Wait1(FileAsync& request) { return Wait(request, Platform::kWaitForever); }

bool File::FileCompletion::Wait(FileAsync&, unsigned int timeoutMs) {
  Platform::PortCompletion completion;
  if (Platform::PortWait(mPort, timeoutMs, &completion) != Platform::PortWaitResult::kCompleted) return false;
  return completion.succeeded;
}

// ---- File --------------------------------------------------------------------------------------

bool File::Open(const char* name, FileCompletion& completion) {
  if (GetError() != kFileOk) return false;
  Close();
  if (!RawFile::Open(name, kOpenFlags)) return false;
  return MakePort(completion);
}

bool File::Open(const StringId& mount, const char* name, FileCompletion& completion) {
  if (GetError() != kFileOk) return false;
  Close();
  if (!RawFile::Open(mount, name, kOpenFlags)) return false;
  return MakePort(completion);
}

bool File::MakePort(FileCompletion& completion) {
  Platform::PortHandle port = Platform::PortCreate(mHandle, &FileAsyncAccess::Completed);
  if (port == 0) return false;
  mPort = port;  // the File's own reference
  Platform::PortRetain(port);
  completion.Release();
  completion.mPort = port;
  return true;
}

bool File::Read(void* buffer, unsigned int size, unsigned int offset, FileAsync& request) {
  request.mOffset = offset;
  request.mOffsetHigh = 0;
  request.mStatus = kAsyncPending;
  request.mTransferred = size;
  Platform::EventReset(request.mEvent);
  if (IsOpen() && Platform::PortStartRead(mPort, buffer, size, offset, &request)) return true;
  request.mStatus = kAsyncRefused;
  request.mTransferred = 0;
  return false;
}

void File::Close() {
  if (mPort != 0) {
    // No transfer may land in a caller's buffer after Close, nor run on a closed descriptor.
    Platform::PortShutdown(mPort);
    Platform::PortRelease(mPort);
    mPort = 0;
  }
  RawFile::Close();
}

}  // namespace Yr
