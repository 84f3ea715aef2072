#include "system/debug/symbols.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "system/debug/debug_output.h"
#include "system/platform/process_platform.h"
#include "system/platform/signal_platform.h"

namespace Yr {
namespace {

// Waiting for a lookup on another thread is bounded: a crash report must not hang on a
// thread that stopped inside the reader.
constexpr unsigned int kLockAttempts = 2000;
constexpr unsigned int kLockPauseMilliseconds = 1;

class PathBuilder {
 public:
  PathBuilder(char* out, size_t capacity) : mOut(out), mCapacity(capacity) { mOut[0] = '\0'; }
  // Appends as much of text as fits.
  void Append(const char* text, size_t length) {
    size_t room = mCapacity - mLength;
    if (length > room) length = room;
    std::memcpy(mOut + mLength, text, length);
    mLength += length;
    mOut[mLength] = '\0';
  }
  void Append(const char* text) { Append(text, std::strlen(text)); }
  size_t Length() const { return mLength; }

 private:
  char* mOut;
  size_t mCapacity;  // characters, without the terminator
  size_t mLength = 0;
};

void ToLower(char* text) {
  for (; *text; ++text)
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
}

// Takes the lock, pausing between attempts; false when it is still held after the last.
bool LockBounded(Platform::MutexStorage& lock) {
  for (unsigned int attempt = 1;; ++attempt) {
    if (Platform::MutexTryLock(lock)) return true;
    if (attempt == kLockAttempts) return false;
    Platform::NapMilliseconds(kLockPauseMilliseconds);
  }
}

void CopyCut(char* out, unsigned int size, const char* text) {
  if (!out || size == 0) return;
  size_t length = std::strlen(text);
  if (length > size - 1) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

}  // namespace

Symbols::Symbols() : mSession{}, mLock{}, mOpen(false), mSearchPath{} {
  Platform::MutexInit(mLock);
  // The search path, each step appending only as much as fits.
  PathBuilder path(mSearchPath, kSearchPathLength);
  char directory[Platform::kSymbolSearchPathCapacity];
  const char separator[] = {Platform::kSymbolSearchPathSeparator, '\0'};
  if (Platform::ExecutablePath(directory, sizeof directory) > 0)
    path.Append(directory, Platform::DirectoryPartLength(directory));
  path.Append(separator);
  if (Platform::CurrentDirectory(directory, sizeof directory)) {
    path.Append(directory);
  } else {
    path.Append(".");
  }
  if (kSystemDebugDirectory) {
    path.Append(separator);
    path.Append(kSystemDebugDirectory);
  }
  for (const char* variable : {kSearchPathVariable, kAltSearchPathVariable}) {
    if (const char* value = Platform::Environment(variable)) {
      path.Append(separator);
      path.Append(value);
    }
  }
  unsigned long error = 0;
  mOpen = Platform::OpenSymbolSession(mSession, mSearchPath[0] ? mSearchPath : nullptr, error);
  if (!mOpen) Debug::OutputFmt("The symbol handler failed to initialize (error=%lu).\n", error);
}

Symbols::~Symbols() {
  unsigned long error = 0;
  if (mOpen && !Platform::CloseSymbolSession(mSession, error))
    Debug::OutputFmt("The symbol handler failed to deallocate resources (error=%lu).\n", error);
  mOpen = false;
  Platform::MutexDestroy(mLock);
}

bool Symbols::FramelessStep(uintptr_t ip, uintptr_t sp, uintptr_t bp, Platform::FrameStep& out) const {
  if (!LockBounded(mLock)) return false;
  bool found = Platform::FramelessStep(mSession, ip, sp, bp, out);
  Platform::MutexUnlock(mLock);
  return found;
}

bool Symbols::GetFunction(void* address, char* out, unsigned int size, bool withLine) const {
  char name[kNameLength + 1];
  char module[kTextCapacity];
  char file[kTextCapacity];
  Platform::SymbolFound found = {false, false, false, 0};
  if (LockBounded(mLock)) {
    // A closed session still answers from the loader's tables.
    found = Platform::LookupSymbol(mSession, reinterpret_cast<uintptr_t>(address), name, sizeof name, module,
                                   sizeof module, file, sizeof file);
    Platform::MutexUnlock(mLock);
  }
  return Detail::ComposeSymbolText(found, name, module, file, out, size, withLine);
}

namespace Detail {

bool ComposeSymbolText(const Platform::SymbolFound& found, const char* name, const char* module, char* file,
                       char* out, unsigned int size, bool withLine) {
  char text[Symbols::kTextCapacity];
  CopyCut(text, sizeof text, found.name ? name : found.module ? module : Symbols::kNameUnavailable);
  if (!found.line) {
    CopyCut(out, size, text);
    return false;
  }
  ToLower(file);
  if (withLine) {
    if (out && size > 0) std::snprintf(out, size, "%s(%d): %s", file, found.lineNumber, text);
  } else {
    CopyCut(out, size, text);
  }
  return true;
}

}  // namespace Detail

}  // namespace Yr
