#include "system/debug/bug_report.h"

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "system/debug/crash_handler.h"
#include "system/debug/crash_symbols.h"
#include "system/debug/debug_output.h"
#include "system/debug/stack_info.h"
#include "system/debug/symbols.h"
#include "system/memory/manual_static.h"
#include "system/memory/static_singleton.h"
#include "system/platform/platform.h"
#include "system/platform/process_platform.h"
#include "system/platform/signal_platform.h"
#include "system/platform/symbols_platform.h"
#include "system/thread/critical_section.h"
#include "yr_build_info.h"

namespace Yr {

bool BugReport::sReportToOutput = false;
bool BugReport::sDialogsDisabled = false;
bool BugReport::sThrowAssertion = false;
bool BugReport::sPrintAssertionStack = false;
int BugReport::sCrashDumpFormat = 1;
bool BugReport::sExceptionHandlerDisabled = false;
bool BugReport::sAbnormalShutdown = false;
BugReport::MessageBoxCallback BugReport::sMessageBoxCallback = nullptr;
bool BugReport::sAssertionBoxActive = false;
bool BugReport::sAssertionActive = false;
const char* BugReport::sProcessFilename = "unknown";
char BugReport::sReportFilename[kReportFilenameSize] = {};
bool BugReport::sDisableLogging = true;
char BugReport::sBuildInfo[kBuildInfoSize] = YR_BUILD_INFO;
intptr_t PCBugReport::mFile = PCBugReport::kInvalidFile;

namespace {

constexpr const char kLineEnd[] = "\r\n";
constexpr const char kStartLine[] = "---------- BugReport start ------";
constexpr const char kEndLine[] = "---------- BugReport end ------";
constexpr const char kStackTitle[] = "Stack:";
constexpr const char kNoStackFormat[] = "Can not get stack: frame pointer = %08p";
constexpr const char kAddressFormat[] = "Address: %08p  ";
constexpr const char kStackLineFormat[] = "%08p  ";
constexpr const char kDateFormat[] = "%02d/%02d/%04d %02d:%02d:%02d";
constexpr const char kBuildInfoFormat[] = "Build [%s] %s\n";
constexpr const char kPlatformWord[] = "PC";
constexpr int kStackTableSize = 100;
constexpr unsigned int kFormatBufferSize = 256;
constexpr unsigned int kPathLimit = BugReport::kReportFilenameSize - 1;
// How long a crash report waits for the report lock: its holder may be stuck behind a lock
// the crashed thread holds (the allocator's), and the crash report must not wait for ever.
constexpr unsigned int kCrashLockMilliseconds = 3000;

static_assert(sizeof(YR_BUILD_INFO) <= BugReport::kBuildInfoSize, "build line too long");

// Shared report buffers, used under the report lock only.
char gFormatBuffer[kFormatBufferSize];
char gMessageBuffer[kFormatBufferSize];
char gSymbolText[Symbols::kTextCapacity];
void* gStackTable[kStackTableSize];

Detail::ManualStatic<CriticalSection> gReportLock;
// Written by the report lock's owner, read without the lock by the crash handler of any
// thread (see ReportingThread).
std::atomic<uint32_t> gReportingThread{0};

#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr char kPointerConversion[] = "%016" PRIXPTR;
#else
constexpr char kPointerConversion[] = "%08" PRIXPTR;
#endif
constexpr const char* kConversionModifiers = "-+ #0123456789.*hlLqjzt";

constexpr bool IsConversionModifier(char c) {
  for (const char* modifier = kConversionModifiers; *modifier; ++modifier)
    if (*modifier == c) return true;
  return false;
}

// The format with every %p conversion (whatever its width) turned into a fixed-width
// upper-case hex number of pointer width, so addresses print alike on every build. The
// pointer argument is then read as a uintptr_t: the same size and passing class.
constexpr bool RewritePointerFormats(const char* format, char* out, size_t size) {
  bool rewritten = false;
  size_t used = 0;
  auto put = [&](const char* text, size_t length) {
    for (size_t i = 0; i < length && used + 1 < size; ++i) out[used++] = text[i];
  };
  while (*format && used + 1 < size) {
    const char* end = format + 1;
    if (*format != '%') {
      while (*end && *end != '%') ++end;
      put(format, static_cast<size_t>(end - format));
      format = end;
      continue;
    }
    while (*end && IsConversionModifier(*end)) ++end;
    if (*end == 'p') {
      put(kPointerConversion, sizeof kPointerConversion - 1);
      rewritten = true;
      format = end + 1;
      continue;
    }
    size_t length = static_cast<size_t>(end - format) + (*end ? 1 : 0);
    put(format, length);
    format += length;
  }
  out[used] = '\0';
  return rewritten;
}

// One of the report's own formats with its "%08p" rewritten when the library is compiled,
// so writing a report line (a stack line of a crash report, say) formats it as it stands.
template <size_t N>
struct ReportFormat {
  // Room for the one pointer conversion each of them has.
  char text[N + sizeof kPointerConversion];
  constexpr explicit ReportFormat(const char (&format)[N]) : text{} {
    RewritePointerFormats(format, text, sizeof text);
  }
};

constexpr ReportFormat kNoStackLine(kNoStackFormat);
constexpr ReportFormat kAddressLine(kAddressFormat);
constexpr ReportFormat kStackLine(kStackLineFormat);

void FormatReportText(char* out, size_t size, const char* format, va_list arguments) {
  char rewritten[2 * kFormatBufferSize];
  bool pointers = RewritePointerFormats(format, rewritten, sizeof rewritten);
  std::vsnprintf(out, size, pointers ? rewritten : format, arguments);
}

void WriteBuffer(const char* format, va_list arguments) {
  FormatReportText(gFormatBuffer, sizeof gFormatBuffer, format, arguments);
  PCBugReport::WriteStr(gFormatBuffer);
}

// A line in one of the report's prepared formats, with its address.
void WriteReportLine(const char* format, const void* address) {
  std::snprintf(gFormatBuffer, sizeof gFormatBuffer, format, reinterpret_cast<uintptr_t>(address));
  PCBugReport::WriteStr(gFormatBuffer);
}

void WriteHeader() {
  PCBugReport::WriteStr(BugReport::sBuildInfo);
  PCBugReport::WriteStr(kLineEnd);
  Platform::LocalTime now;
  if (Platform::CurrentLocalTime(now))
    PCBugReport::WriteFmtLN(kDateFormat, now.day, now.month, now.year, now.hour, now.minute, now.second);
  PCBugReport::WriteStr(kLineEnd);
}

// Symbol text for a return address: the call lies just before it, and a call that ends a
// function (one that never returns) would otherwise be credited to the next function.
void* CallSite(void* returnAddress) { return static_cast<char*>(returnAddress) - 1; }

// The symbol text of an address into gSymbolText: a crash report asks the symbol helper,
// since reading debug information here could wait on a lock the crashed thread holds.
void LookUpSymbolText(void* address) {
  if (Detail::CrashSymbolsActive()) {
    Detail::CrashSymbolText(address, gSymbolText, sizeof gSymbolText, true);
  } else {
    StaticSingleton<Symbols>::Ref().GetFunction(address, gSymbolText, sizeof gSymbolText, true);
  }
}

void WriteAddressAndStackFrom(void* address, void* framePointer, void* firstReturn,
                              const Platform::CpuContext* stopped = nullptr) {
  LookUpSymbolText(address);
  // The symbol text is written on its own so a long one is not cut by the format buffer.
  WriteReportLine(kAddressLine.text, address);
  PCBugReport::WriteStrLN(gSymbolText);
  PCBugReport::WriteStr(kLineEnd);
  Detail::WriteStackSection(framePointer, firstReturn, stopped);
  PCBugReport::WriteStr(kLineEnd);
}

struct ReportScope {
  // A crash report waits for the lock a bounded time, then writes without it.
  explicit ReportScope(bool crash = false) {
    if (!crash) {
      gReportLock->Lock();
    } else {
      mLocked = gReportLock->TryLock();
      for (unsigned int waited = 0; !mLocked && waited < kCrashLockMilliseconds; ++waited) {
        Platform::NapMilliseconds(1);
        mLocked = gReportLock->TryLock();
      }
    }
    mOuter = gReportingThread.load(std::memory_order_relaxed);
    gReportingThread.store(Platform::OwnThreadId(), std::memory_order_relaxed);
  }
  ~ReportScope() {
    gReportingThread.store(mOuter, std::memory_order_relaxed);
    if (mLocked) gReportLock->Unlock();
  }
  bool mLocked = true;
  uint32_t mOuter;
};

}  // namespace

// ---- Settings -------------------------------------------------------------------------------
BugReport::~BugReport() {}
void BugReport::SetReportToOutput(bool value) { sReportToOutput = value; }
void BugReport::SetDialogsDisabled(bool value) { sDialogsDisabled = value; }
bool BugReport::GetDialogsDisabled() { return sDialogsDisabled; }
void BugReport::SetThrowAssertion(bool value) {
  sThrowAssertion = value;
  sPrintAssertionStack = value;
}
bool BugReport::GetThrowAssertion() { return sThrowAssertion; }
void BugReport::SetPrintAssertionStack(bool value) { sPrintAssertionStack = value; }
void BugReport::SetCrashDumpFormat(int format) { sCrashDumpFormat = format; }
void BugReport::SetExceptionHandlerDisabled(bool value) { sExceptionHandlerDisabled = value; }
bool BugReport::GetExceptionHandlerDisabled() { return sExceptionHandlerDisabled; }
void BugReport::SetAbnormalShutdown(bool value) { sAbnormalShutdown = value; }
bool BugReport::GetAbnormalShutdown() { return sAbnormalShutdown; }
void BugReport::SetMessageBoxCallback(MessageBoxCallback callback) { sMessageBoxCallback = callback; }
void BugReport::SetAssertionBoxActive(bool value) { sAssertionBoxActive = value; }
bool BugReport::IsAssertionBoxActive() { return sAssertionBoxActive; }
bool BugReport::IsAssertionActive() { return sAssertionActive; }
void BugReport::SetProcessFilename(const char* name) { sProcessFilename = name; }
void BugReport::SetLogging(bool) {}
void BugReport::LogStack(int, const char*) {}

void BugReport::SetBasePath(const char* path) {
  sReportFilename[0] = '\0';
  size_t length = 0;
  if (path) {
    while (length < kPathLimit && path[length]) ++length;
    std::memcpy(sReportFilename, path, length);
  }
  if (length > 0 && sReportFilename[length - 1] != '\\' && sReportFilename[length - 1] != '/' &&
      length < kPathLimit)
    sReportFilename[length++] = '/';
  size_t nameLength = std::strlen(kDefaultReportName);
  if (nameLength > kPathLimit - length) nameLength = kPathLimit - length;
  std::memcpy(sReportFilename + length, kDefaultReportName, nameLength);
  sReportFilename[length + nameLength] = '\0';
}

void BugReport::SetBuildInfo(const char* text) {
  std::snprintf(sBuildInfo, sizeof sBuildInfo, kBuildInfoFormat, kPlatformWord, text ? text : "");
}

// ---- Writer ---------------------------------------------------------------------------------
PCBugReport::~PCBugReport() {}

bool PCBugReport::Open(const char* name) {
  if (BugReport::sReportToOutput) return true;
  if (mFile != kInvalidFile) Close();
  mFile = Platform::CreateFileForWriting(name);
  return mFile != kInvalidFile;
}

void PCBugReport::Close() {
  if (mFile != kInvalidFile) {
    Platform::CloseFile(static_cast<int>(mFile));
    mFile = kInvalidFile;
  }
  if (!Debug::IsEnabled()) return;
  // The crashed thread may hold standard output's lock: a crash report flushes only when
  // it is free.
  if (Detail::CrashSymbolsActive()) {
    Platform::FlushStandardOutputIfFree();
  } else {
    Platform::FlushStandardOutput();
  }
}

void PCBugReport::WriteStr(const char* text) {
  if (!text) return;
  if (mFile != kInvalidFile) {
    if (*text) Platform::WriteFileBytes(static_cast<int>(mFile), text, std::strlen(text));
    return;
  }
  if (Debug::IsEnabled()) Debug::Print(text);
}

void PCBugReport::WriteStrLN(const char* text) {
  WriteStr(text);
  WriteStr(kLineEnd);
}

void PCBugReport::WriteFmt(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteBuffer(format, arguments);
  va_end(arguments);
}

void PCBugReport::WriteFmtLN(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteBuffer(format, arguments);
  va_end(arguments);
  WriteStr(kLineEnd);
}

void PCBugReport::WriteModuleInfo() {}

// ---- Reports --------------------------------------------------------------------------------
void BugReport::AssertReport(void* framePointer, const char* text, bool disableLogging) {
  ReportScope scope;
  bool savedLogging = sDisableLogging;
  sDisableLogging = disableLogging;
  PCBugReport::Open(sReportFilename);
  WriteHeader();
  PCBugReport::WriteStrLN(text ? text : "");
  PCBugReport::WriteStr(kLineEnd);
  Detail::WriteStackSection(framePointer);
  PCBugReport::Close();
  if (sCrashDumpFormat > 0) PCBugReport::MiniDump();
  sDisableLogging = savedLogging;
}

__attribute__((noinline)) void BugReport::AssertReportFmt(const char* format, ...) {
  ReportScope scope;
  PCBugReport::WriteStr(kLineEnd);
  PCBugReport::WriteStr(kStartLine);
  PCBugReport::WriteStr(kLineEnd);
  va_list arguments;
  va_start(arguments, format);
  FormatReportText(gMessageBuffer, sizeof gMessageBuffer, format ? format : "", arguments);
  va_end(arguments);
  // This function's own frame: the stack section begins with its caller.
  AssertReport(__builtin_frame_address(0), gMessageBuffer, true);
  PCBugReport::WriteStr(kEndLine);
  PCBugReport::WriteStr(kLineEnd);
  if (Debug::IsEnabled()) Platform::FlushStandardOutput();
}

void BugReport::ExceptionReport(void* address, void* framePointer, unsigned long long code, void* context,
                                const char* text) {
  Detail::WriteExceptionReport(address, framePointer, nullptr, code, context, text);
}

void BugReport::WriteAddressAndStack(void* address, void* framePointer) {
  WriteAddressAndStackFrom(address, framePointer, nullptr);
}

namespace Detail {

void WriteStackSection(void* framePointer, void* firstReturn, const Platform::CpuContext* stopped) {
  const int unwound = stopped ? Platform::UnwindStackFrom(stopped->ip, stopped->sp, stopped->bp, gStackTable,
                                                           kStackTableSize - 1, 0)
                              : -1;
  if (unwound >= 0) {
    gStackTable[unwound] = nullptr;
  } else {
    if (!framePointer && !firstReturn) return;
    int first = 0;
    if (firstReturn) gStackTable[first++] = firstReturn;
    StackInfo::GetStack(framePointer, gStackTable + first, kStackTableSize - first, 0);
  }
  if (!gStackTable[0]) {
    WriteReportLine(kNoStackLine.text, framePointer);
    PCBugReport::WriteStr(kLineEnd);
    return;
  }
  PCBugReport::WriteStr(kStackTitle);
  PCBugReport::WriteStr(kLineEnd);
  for (int i = 0; i < kStackTableSize && gStackTable[i]; ++i) {
    LookUpSymbolText(CallSite(gStackTable[i]));
    WriteReportLine(kStackLine.text, gStackTable[i]);
    PCBugReport::WriteStr(gSymbolText);
    PCBugReport::WriteStr(kLineEnd);
  }
}

void WriteExceptionReport(void* address, void* framePointer, void* firstReturn, unsigned long long code,
                          void* context, const char* text, const Platform::CpuContext* stopped) {
  ReportScope scope(Detail::CrashSymbolsActive());
  PCBugReport::Open(BugReport::sReportFilename);
  WriteHeader();
  PCBugReport::WriteExceptionCode(code);
  if (text && *text) {
    PCBugReport::WriteStrLN(text);
    PCBugReport::WriteStr(kLineEnd);
  }
  WriteAddressAndStackFrom(address, framePointer, firstReturn, stopped);
  PCBugReport::WriteRegisters(context);
  PCBugReport::WriteStr(kLineEnd);
  PCBugReport::Close();
}

void BuildBugReportLock() { gReportLock.Build(); }
void DestroyBugReportLock() { gReportLock.Destroy(); }

void BuildBugReport() {
  const Symbols& symbols = StaticSingleton<Symbols>::Ref();
  if (BugReport::sReportFilename[0] == '\0') BugReport::SetBasePath(nullptr);
  // What the crash path needs and may not build when it runs: the symbol helper's path, the
  // time zone's offsets and descriptors to open its files with.
  PrepareCrashSymbols(symbols.GetSearchPath());
  Platform::PrepareLocalTime(Platform::UnixTimeNow());
  Platform::ReserveDescriptors();
  PCBugReport::SetUnhandledExceptionHandler();
}

void DestroyBugReport() {
  Platform::UninstallFaultHandlers();
  Platform::ReleaseReservedDescriptors();
}

void LockReports() { gReportLock->Lock(); }
void UnlockReports() { gReportLock->Unlock(); }
uint32_t ReportingThread() { return gReportingThread.load(std::memory_order_relaxed); }

}  // namespace Detail
}  // namespace Yr
