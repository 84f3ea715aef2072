#include "system/debug/crash_symbols.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "system/debug/symbols.h"
#include "system/platform/child_platform.h"
#include "system/platform/platform.h"
#include "system/platform/process_platform.h"
#include "system/platform/signal_platform.h"

namespace Yr::Detail {
namespace {

// ---- What passes between the crashed process and the helper -----------------------------
// Both ends are the same build, so the records are plain structs in the machine's order.
enum RequestKind : uint32_t {
  kLookup = 1,     // answered by a LookupAnswer and its texts
  kFrameRule = 2,  // answered by a FrameRuleAnswer
};
struct Request {
  uint32_t kind;
  uint32_t unused;
  uint64_t address;
};
// Followed by the name, module and file texts, without terminators.
struct LookupAnswer {
  uint8_t name, module, line, unused;
  int32_t lineNumber;
  uint32_t nameLength, moduleLength, fileLength;
};
struct FrameRuleAnswer {
  uint32_t found;
  uint32_t frameSaved;
  uint64_t cfaOffset;
  uint64_t frameOffset;
};

constexpr size_t kNameCapacity = Symbols::kNameLength + 1;
constexpr size_t kTextCapacity = Symbols::kTextCapacity;
constexpr size_t kProgramCapacity = 4096;
constexpr size_t kProcessTextCapacity = 24;
constexpr int kUsageExitCode = 2;

// ---- The crashed process's side ---------------------------------------------------------
char gProgram[kProgramCapacity];
char gSearchPath[Platform::kSymbolSearchPathCapacity];
char gProcessText[kProcessTextCapacity];
char* gArguments[4];
Platform::HelperProcess gHelper = {0, -1};
uint64_t gDeadline = 0;
// The thread writing the crash report (0: none). Only that thread's report asks the helper:
// another thread's assertion report meanwhile looks its symbols up as usual.
std::atomic<uint32_t> gCrashThread{0};

void CopyCut(char* out, size_t size, const char* text) {
  size_t length = std::strlen(text);
  if (length > size - 1) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// Decimal digits of value into out (no formatting library on the crash path).
void FormatDecimal(uint32_t value, char* out) {
  char digits[kProcessTextCapacity];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  out[count] = '\0';
}

// One question to the helper; a helper that fails once is ended and asked nothing more.
bool Ask(const Request& request, void* answer, size_t size) {
  if (gHelper.process <= 0) return false;
  if (Platform::SendToHelper(gHelper, &request, sizeof request) &&
      Platform::ReceiveFromHelper(gHelper, answer, size, gDeadline))
    return true;
  Platform::StopHelper(gHelper);
  return false;
}

bool ReceiveText(char* out, size_t capacity, uint32_t length) {
  if (length >= capacity || !Platform::ReceiveFromHelper(gHelper, out, length, gDeadline)) {
    Platform::StopHelper(gHelper);
    return false;
  }
  out[length] = '\0';
  return true;
}

// ---- The helper's side ------------------------------------------------------------------
bool ReadRequest(Request& request) {
  char* cursor = reinterpret_cast<char*>(&request);
  size_t left = sizeof request;
  while (left > 0) {
    ptrdiff_t got = Platform::ReadFromCaller(cursor, left);
    if (got <= 0) return false;
    cursor += got;
    left -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

void PrepareCrashSymbols(const char* searchPath) {
  CopyCut(gSearchPath, sizeof gSearchPath, searchPath ? searchPath : "");
  if (const char* chosen = Platform::Environment(kSymboliserVariable)) {
    CopyCut(gProgram, sizeof gProgram, chosen);
    return;
  }
  gProgram[0] = '\0';
  char library[kProgramCapacity];
  if (Platform::ModulePathOf(reinterpret_cast<const void*>(&PrepareCrashSymbols), library, sizeof library) == 0)
    return;
  int directory = static_cast<int>(Platform::DirectoryPartLength(library));
  int length = std::snprintf(gProgram, sizeof gProgram, "%.*s%s%s", directory, library, kSymboliserName,
                             Platform::kProgramSuffix);
  if (length < 0 || static_cast<size_t>(length) >= sizeof gProgram) gProgram[0] = '\0';
}

const char* SymboliserPath() { return gProgram; }

void BeginCrashSymbols() {
  gCrashThread.store(Platform::OwnThreadId(), std::memory_order_relaxed);
  if (!gProgram[0]) return;
  FormatDecimal(Platform::OwnProcessId(), gProcessText);
  gArguments[0] = gProgram;
  gArguments[1] = gProcessText;
  gArguments[2] = gSearchPath;
  gArguments[3] = nullptr;
  if (!Platform::StartHelper(gProgram, gArguments, gHelper)) return;
  gDeadline = Platform::MonotonicMilliseconds() + kSymboliserMilliseconds;
}

void EndCrashSymbols() {
  if (gHelper.process > 0) Platform::StopHelper(gHelper);
  gCrashThread.store(0, std::memory_order_relaxed);
}

bool CrashSymbolsActive() {
  uint32_t crashing = gCrashThread.load(std::memory_order_relaxed);
  return crashing != 0 && crashing == Platform::OwnThreadId();
}

bool CrashSymbolText(void* address, char* out, unsigned int size, bool withLine) {
  char name[kNameCapacity];
  char module[kTextCapacity];
  char file[kTextCapacity];
  Platform::SymbolFound found = {false, false, false, 0};
  LookupAnswer answer;
  Request request = {kLookup, 0, reinterpret_cast<uintptr_t>(address)};
  if (Ask(request, &answer, sizeof answer) && ReceiveText(name, sizeof name, answer.nameLength) &&
      ReceiveText(module, sizeof module, answer.moduleLength) && ReceiveText(file, sizeof file, answer.fileLength)) {
    found = {answer.name != 0, answer.module != 0, answer.line != 0, answer.lineNumber};
  } else {
    // Without the helper: the file mapped at the address, as the designed fallback has it.
    found.module = Platform::MappedFileAt(reinterpret_cast<uintptr_t>(address), module, sizeof module) > 0;
  }
  return ComposeSymbolText(found, name, module, file, out, size, withLine);
}

bool CrashFramelessStep(uintptr_t ip, uintptr_t sp, uintptr_t bp, Platform::FrameStep& out) {
  FrameRuleAnswer answer;
  Request request = {kFrameRule, 0, ip};
  if (!Ask(request, &answer, sizeof answer) || !answer.found) return false;
  Platform::FrameRule rule = {answer.cfaOffset, answer.frameOffset, answer.frameSaved != 0};
  return Platform::ApplyFrameRule(rule, sp, bp, out);
}

int ServeSymbols(int argc, char** argv) {
  // The library's own state in this process is not the helper's business: its spares go,
  // and a fault here ends the helper alone instead of writing a report of its own.
  Platform::ReleaseReservedDescriptors();
  Platform::UninstallFaultHandlers();
  Platform::BecomeHelper();
  if (argc < 2) return kUsageExitCode;
  uint32_t process = 0;
  for (const char* digit = argv[1]; *digit; ++digit) {
    if (*digit < '0' || *digit > '9') return kUsageExitCode;
    process = process * 10 + static_cast<uint32_t>(*digit - '0');
  }
  if (process == 0) return kUsageExitCode;
  const char* searchPath = argc > 2 && argv[2][0] ? argv[2] : nullptr;

  static Platform::SymbolSession session;
  static char name[kNameCapacity], module[kTextCapacity], file[kTextCapacity];
  bool open = false;
  bool tried = false;
  unsigned long error = 0;
  Request request;
  while (ReadRequest(request)) {
    // Opened at the first request: by then the crashed process has let the helper read it.
    if (!tried) {
      open = Platform::OpenProcessSymbolSession(session, process, searchPath, error);
      tried = true;
    }
    bool sent = false;
    if (request.kind == kLookup) {
      Platform::SymbolFound found = {false, false, false, 0};
      name[0] = module[0] = file[0] = '\0';
      if (open)
        found = Platform::LookupSymbol(session, static_cast<uintptr_t>(request.address), name, sizeof name, module,
                                       sizeof module, file, sizeof file);
      LookupAnswer answer = {found.name, found.module, found.line, 0, found.lineNumber,
                             static_cast<uint32_t>(std::strlen(name)), static_cast<uint32_t>(std::strlen(module)),
                             static_cast<uint32_t>(std::strlen(file))};
      sent = Platform::WriteToCaller(&answer, sizeof answer) &&
             Platform::WriteToCaller(name, answer.nameLength) &&
             Platform::WriteToCaller(module, answer.moduleLength) &&
             Platform::WriteToCaller(file, answer.fileLength);
    } else if (request.kind == kFrameRule) {
      Platform::FrameRule rule = {};
      bool found = open && Platform::FrameRuleAt(session, static_cast<uintptr_t>(request.address), rule);
      FrameRuleAnswer answer = {found, rule.frameSaved, rule.cfaOffset, rule.frameOffset};
      sent = Platform::WriteToCaller(&answer, sizeof answer);
    }
    if (!sent) break;
  }
  if (open) Platform::CloseSymbolSession(session, error);
  return 0;
}

}  // namespace Yr::Detail
