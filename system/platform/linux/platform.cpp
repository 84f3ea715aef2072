#include "system/platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Yr::Platform {
namespace {

constexpr const char* kDebugOutputVariable = "YR_DEBUG_OUTPUT";
constexpr int kUnopened = -2;

std::atomic<int> gSinkDescriptor{kUnopened};

void WriteAll(int descriptor, const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t written = ::write(descriptor, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes += written;
    count -= static_cast<size_t>(written);
  }
}

// The sink is chosen once, at the first write: a file given by YR_DEBUG_OUTPUT, opened for
// appending, or standard error.
int SinkDescriptor() {
  int descriptor = gSinkDescriptor.load(std::memory_order_acquire);
  if (descriptor != kUnopened) return descriptor;
  descriptor = STDERR_FILENO;
  if (const char* path = ::getenv(kDebugOutputVariable); path && *path) {
    int file = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file >= 0) descriptor = file;
  }
  int expected = kUnopened;
  if (!gSinkDescriptor.compare_exchange_strong(expected, descriptor) && descriptor != STDERR_FILENO) {
    ::close(descriptor);
    descriptor = expected;
  }
  return descriptor;
}

}  // namespace

void Detail::WriteDebugSink(const char* bytes, size_t count) { WriteAll(SinkDescriptor(), bytes, count); }

void StandardOutput(const char* bytes, size_t count) {
  // Goes through stdio so that it orders with the application's own printf output.
  std::fwrite(bytes, 1, count, stdout);
}

void FlushStandardOutput() { std::fflush(stdout); }

void FlushStandardOutputIfFree() {
  if (::ftrylockfile(stdout) != 0) return;
  ::fflush_unlocked(stdout);
  ::funlockfile(stdout);
}

void StandardError(const char* bytes, size_t count) { WriteAll(STDERR_FILENO, bytes, count); }

void FatalError(const char* line) {
  size_t length = std::strlen(line);
  DebuggerOutputBytes(line, length);
  // Standard error gets its own copy unless the debug sink already is standard error.
  if (SinkDescriptor() != STDERR_FILENO) StandardError(line, length);
  std::abort();
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(MutexStorage::bytes), "MutexStorage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(MutexStorage), "MutexStorage under-aligned");

namespace {
pthread_mutex_t* AsMutex(MutexStorage& mutex) { return reinterpret_cast<pthread_mutex_t*>(mutex.bytes); }
}  // namespace

void MutexInit(MutexStorage& mutex) {
  pthread_mutexattr_t attributes;
  ::pthread_mutexattr_init(&attributes);
  ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  ::pthread_mutex_init(AsMutex(mutex), &attributes);
  ::pthread_mutexattr_destroy(&attributes);
}

void MutexDestroy(MutexStorage& mutex) { ::pthread_mutex_destroy(AsMutex(mutex)); }
void MutexLock(MutexStorage& mutex) { ::pthread_mutex_lock(AsMutex(mutex)); }
bool MutexTryLock(MutexStorage& mutex) { return ::pthread_mutex_trylock(AsMutex(mutex)) == 0; }
void MutexUnlock(MutexStorage& mutex) { ::pthread_mutex_unlock(AsMutex(mutex)); }

const char* Environment(const char* name) { return ::getenv(name); }

}  // namespace Yr::Platform
